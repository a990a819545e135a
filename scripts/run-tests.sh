#!/usr/bin/env bash
# Installs what is missing, builds brevant and runs every test with CTest, in two passes:
#   build        the program as it ships and every test: the window's, the end-to-end run through
#                a real Postfix, the check of the provider-like test server, the package and the
#                program started on a job folder;
#   build-check  everything built by clang with AddressSanitizer and UndefinedBehaviorSanitizer:
#                the same tests (but for the package and the three that run the built program or
#                Postfix, which the first pass covers), any sanitizer report failing its test.
# Exits non-zero when any test of either pass fails; both passes run even after a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
failed=()
passed=0
failures=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs ctest with the arguments given, keeps its counts and the name of a pass that failed.
run_ctest() {
    local pass=$1 line
    shift
    ctest --test-dir "$pass" --output-on-failure "$@" | tee "$log" || failed+=("$pass")
    line=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
        failures=$((failures + BASH_REMATCH[1]))
        passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
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
run_ctest build-check -j"$jobs" --timeout 900 -LE package \
    -E "e2e_postfix|submission_selftest|start_folder"

echo
echo "Total: $passed passed, $failures failed"
if [ ${#failed[@]} -gt 0 ]; then
    echo "Tests failed in: ${failed[*]}" >&2
    exit 1
fi
echo "Both passes clean: as shipped, and under the sanitizers."
