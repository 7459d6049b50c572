#!/usr/bin/env bash
# Relay benchmark: builds the Windows tree when something changed, then runs
# the shipped Vantrel.exe under Wine between a pty-backed COM3 and the
# stand-in VM and prints throughput with both directions busy, bytes lost,
# one-way latency and processor use while idle and while waiting for a lost
# end (tests/bench/relay_bench.py).
#
#   scripts/bench.sh [--runs N] [--seconds S] [--probes P] [--idle-seconds I]
#
# Exits non-zero when a direction stays below 25.6 KB/s (256000 baud), a
# byte is lost, or waiting for a lost end costs more than being idle allows. VANTREL_BUILD_DIR overrides build/win.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh
build_dir=${VANTREL_BUILD_DIR:-build/win}
if [ "$build_dir" = build/win ]; then
    scripts/build.sh win
else
    cmake --build "$build_dir" -j "${VANTREL_BUILD_JOBS:-$(nproc)}"
fi
export VANTREL_BUILD_DIR
VANTREL_BUILD_DIR=$(realpath "$build_dir")
exec python3 tests/bench/relay_bench.py "$@"
