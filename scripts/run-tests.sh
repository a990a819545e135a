#!/usr/bin/env bash
# Installs what is missing, builds brevant and runs every test with CTest, in two passes:
#   build        the program as it ships and every test: the window's, the end-to-end run through
#                a real Postfix, the check of the provider-like test server, the package and the
#                program started on a job folder;
#   build-check  everything built by clang with AddressSanitizer and UndefinedBehaviorSanitizer,
#                and the tests of our own code run in-process, any sanitizer report failing its
#                test; the package, the end-to-end runs and the tests that start the built program
#                (labels "release" and "e2e") run in the first pass only.
# Then, only where scripts/build-windows.sh has cross-built Qt into its cache, the Windows build's
# tests under Wine (scripts/test-windows.sh), counted in the total.
# Exits non-zero when any test fails; every pass runs even after a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
failed=()
passed=0
failures=0
skipped=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs ctest with the arguments given, keeps its counts and the name of a pass that failed.
# CTest counts a skipped test (exit status 77, or a GTEST_SKIP) among those that did not fail;
# it lists it under "did not run", and here it counts as skipped, not passed.
run_ctest() {
    local pass=$1 line skips
    shift
    ctest --test-dir "$pass" --output-on-failure "$@" | tee "$log" || failed+=("$pass")
    skips=$(grep -cE '^[[:space:]]*[0-9]+ - .* \((Skipped|Disabled|Not Run)\)$' "$log" || true)
    line=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
        failures=$((failures + BASH_REMATCH[1]))
        skipped=$((skipped + skips))
        passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1] - skips))
    else
        failed+=("$pass") # no summary: ctest itself failed
    fi
}

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
run_ctest build -j"$jobs" --timeout 900

# Qt's own libraries are not instrumented; only our code is checked, and leaks are looked for at
# every test's exit. A failed allocation returns null instead of stopping the program, so that
# the tests of files too large for memory see it as Qt reports it.
cmake -S . -B build-check -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DBREVANT_SANITIZE=ON -DBREVANT_BUILD_BENCH=OFF
cmake --build build-check -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_ctest build-check -j"$jobs" --timeout 900 -LE "release|e2e"

if [ -f "$HOME/.cache/brevant/qt-6.4.2-mingw/.brevant-qt-complete" ]; then
    rc=0
    scripts/test-windows.sh | tee "$log" || rc=$?
    [ $rc -eq 0 ] || [ $rc -eq 77 ] || failed+=(build-windows-tests) # 77: Qt's cache is stale
    line=$(grep -E '^Windows: [0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' "$log" | tail -n 1 || true)
    if [[ $line =~ ([0-9]+)\ passed,\ ([0-9]+)\ failed,\ ([0-9]+)\ skipped ]]; then
        passed=$((passed + BASH_REMATCH[1]))
        failures=$((failures + BASH_REMATCH[2]))
        skipped=$((skipped + BASH_REMATCH[3]))
    fi
else
    echo
    echo "Windows tests not run: the cross-built Qt is not in the cache" \
        "(scripts/build-windows.sh makes it, about 50 minutes)."
fi

echo
echo "Total: $passed passed, $failures failed, $skipped skipped"
if [ ${#failed[@]} -gt 0 ]; then
    echo "Tests failed in: ${failed[*]}" >&2
    exit 1
fi
echo "Every pass clean: as shipped, under the sanitizers, and for Windows where it ran."
