#!/usr/bin/env bash
# Vantrel's main job on this machine: installs what is missing, builds the
# Windows program, and runs the demo (a stand-in VM, a scripted device on a
# pty pair, Vantrel.exe under Wine and Xvfb). See scripts/demo.py.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/install-deps.sh
# Only what the demo runs: the program, the stand-in VM, the UI driver and the
# stand-in for PowerShell that every test prefix has.
VANTREL_BUILD_TARGETS="Vantrel vmstub uidriver hyperv_standin" scripts/build.sh win
exec python3 scripts/demo.py
