#!/usr/bin/env bash
# The whole check, as CI runs it: dependencies, the three builds, the native
# unit tests of both sanitizer trees, then everything that runs under Wine
# (tests/run_wine_tests.py: win_tests.exe, the installer, the end-to-end suite).
# Exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

started=$SECONDS
step() {
    local name=$1
    shift
    local step_started=$SECONDS
    echo "=== $name"
    "$@"
    local status=$?
    timings+=("$(printf '%-28s %5d s  %s' "$name" $((SECONDS - step_started)) \
        "$([ $status -eq 0 ] && echo ok || echo "FAILED ($status)")")")
    return $status
}
timings=()
failed=0

step "install dependencies" scripts/install-deps.sh || exit 1
step "build" scripts/build.sh || exit 1

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
step "unit tests (asan, ubsan)" ctest --test-dir build/native --output-on-failure || failed=1
# ThreadSanitizer cannot map its shadow memory under the address-space
# randomisation of recent kernels; the tests run with it switched off.
no_aslr=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
    no_aslr=(setarch "$(uname -m)" -R)
fi
step "unit tests (tsan)" "${no_aslr[@]}" ctest --test-dir build/tsan --output-on-failure || failed=1
step "artwork is the script's" python3 -m unittest tests/ui/test_art.py || failed=1
step "layers in order" python3 scripts/check_layers.py || failed=1
step "the layer check's own test" python3 -m unittest tests/scripts/test_check_layers.py || failed=1
# win_tests.exe, the installer test and the end-to-end pool run side by
# side; the runner's summary gives the time of each.
step "wine tests and installer" python3 tests/run_wine_tests.py --build-dir build/win || failed=1

echo "=== summary"
printf '%s\n' "${timings[@]}"
echo "total $((SECONDS - started)) s"
if [ $failed -ne 0 ]; then
    echo "test.sh: FAILED"
fi
exit $failed
