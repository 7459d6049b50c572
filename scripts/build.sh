#!/usr/bin/env bash
# Configures and builds the three trees, or those named on the command line:
#   native  build/native  Linux, the platform-free logic and its unit tests,
#                         under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    build/tsan    the same under ThreadSanitizer
#   win     build/win     Vantrel.exe, the Win32 integration tests and the test
#                         tools, cross-built with MinGW-w64, Release
# VANTREL_BUILD_TARGETS (e.g. "Vantrel vmstub uidriver") builds only those
# targets of each tree instead of all of them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

jobs=${VANTREL_BUILD_JOBS:-$(nproc)}
trees=("$@")
if [ ${#trees[@]} -eq 0 ]; then
    trees=(native tsan win)
fi

build() {
    local name=$1 dir=$2
    shift 2
    local started=$SECONDS
    echo "build: $name ($dir)"
    cmake -S . -B "$dir" "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log"
        return 1
    }
    local targets=()
    if [ -n "${VANTREL_BUILD_TARGETS:-}" ]; then
        read -r -a targets <<<"$VANTREL_BUILD_TARGETS"
        targets=(--target "${targets[@]}")
    fi
    cmake --build "$dir" -j "$jobs" "${targets[@]}"
    echo "build: $name done in $((SECONDS - started)) s"
}

mkdir -p build
for tree in "${trees[@]}"; do
    case "$tree" in
        native) build native build/native -DCMAKE_BUILD_TYPE=Debug \
                    -DVANTREL_SANITIZE=address,undefined ;;
        tsan) build tsan build/tsan -DCMAKE_BUILD_TYPE=Debug -DVANTREL_SANITIZE=thread ;;
        win) build win build/win -DCMAKE_BUILD_TYPE=Release \
                 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ;;
        *) echo "build: unknown tree '$tree' (native, tsan or win)" >&2; exit 2 ;;
    esac
done
