#!/usr/bin/env bash
# Soak: the service with four bridges under Wine for a long time, with random
# traffic both ways, VM restarts, COM ports pulled and plugged back, and a
# Reload and a Reset every minute; then the accounting of every byte each
# way of every bridge (scripts/soak.py). Not part of the test command.
#
#   scripts/soak.sh [--minutes M] [--seed S]
#
# Exits non-zero when a byte is unexplained, repeated, reordered or
# corrupted, or when the service's memory, handles or threads grow.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh
VANTREL_BUILD_TARGETS="Vantrel vmstub uidriver" scripts/build.sh win
VANTREL_BUILD_DIR=$(realpath build/win)
export VANTREL_BUILD_DIR
exec python3 scripts/soak.py "$@"
