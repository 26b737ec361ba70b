#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds with warnings as errors and runs every
# test: the normal suite, the suite under AddressSanitizer + UndefinedBehaviorSanitizer, the pool
# and colour cache tests under ThreadSanitizer, and a bounded fuzz run of every reader. Exits
# non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# Each step's outcome is summed up at the end, where a log cut to its last lines still shows
# which step failed and why.
summary=()
failed_suites=()
record() {
    summary+=("$1: $2")
    [[ "$2" == ok ]] || status=1
}

status=0
run_suite() {
    local flavour="$1"
    echo "=== $flavour build"
    if ! scripts/build.sh "$flavour" -DLUMIVEX_WERROR=ON; then
        record "$flavour build" FAILED
        return
    fi
    echo "=== $flavour tests"
    if ctest --test-dir "build/$flavour" --output-on-failure -j "$(nproc)"; then
        record "$flavour tests" ok
    else
        record "$flavour tests" FAILED
        failed_suites+=("$flavour")
    fi
}

echo "=== formatting"
if scripts/check-format.sh; then record formatting ok; else record formatting FAILED; fi
echo "=== fuzzing"
if scripts/fuzz.sh -DLUMIVEX_WERROR=ON; then
    record fuzzing ok
else
    record fuzzing FAILED
    fuzz_failed=1
fi
run_suite tsan
run_suite asan
run_suite release

echo "=== summary"
if [[ -n "${fuzz_failed:-}" && -f build/fuzz/fuzz.log ]]; then
    echo "--- end of the fuzz log"
    tail -n 25 build/fuzz/fuzz.log
fi
for flavour in "${failed_suites[@]}"; do
    echo "--- failed $flavour tests, run once more for their output (the run stays failed)"
    ctest --test-dir "build/$flavour" --rerun-failed --output-on-failure 2>&1 | tail -n 40 || true
done
printf '%s\n' "${summary[@]}"
exit $status
