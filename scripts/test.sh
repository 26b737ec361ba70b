#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds with warnings as errors and runs every
# test: the normal suite, the suite under AddressSanitizer + UndefinedBehaviorSanitizer, the pool
# and colour cache tests under ThreadSanitizer, and a bounded fuzz run of the TIFF reader. Exits
# non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

status=0
run_suite() {
    local flavour="$1"
    echo "=== $flavour build"
    if ! scripts/build.sh "$flavour" -DLUMIVEX_WERROR=ON; then
        status=1
        return
    fi
    echo "=== $flavour tests"
    if ! ctest --test-dir "build/$flavour" --output-on-failure -j "$(nproc)"; then
        status=1
    fi
}

echo "=== formatting"
scripts/check-format.sh || status=1
echo "=== fuzzing"
scripts/fuzz.sh -DLUMIVEX_WERROR=ON || status=1
run_suite tsan
run_suite asan
run_suite release
exit $status
