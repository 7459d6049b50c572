#!/usr/bin/env bash
# Relay benchmark: builds the Windows tree when something changed, then runs
# the shipped Vantrel.exe under Wine between a pty-backed COM3 and the
# stand-in VM and prints throughput with both directions busy, bytes lost,
# one-way latency and processor use while idle and while waiting for a lost
# end (tests/bench/relay_bench.py).
#
#   scripts/bench.sh [--runs N] [--seconds S] [--probes P] [--idle-seconds I]
#   scripts/bench.sh --bridges N[,N...] [--seconds S] [--idle-seconds I] [--no-desk]
#
# With --bridges: the service with N bridges at once, each with its own pty
# pair and stand-in VM, at the line rate both ways; then the desk window at
# the line rate (tests/bench/bridges_bench.py). --bridges 1,4,16 gives the
# table of the README's performance section.
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
for argument in "$@"; do
    if [ "$argument" = --bridges ]; then
        exec python3 tests/bench/bridges_bench.py "$@"
    fi
done
exec python3 tests/bench/relay_bench.py "$@"
