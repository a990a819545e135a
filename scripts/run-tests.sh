#!/usr/bin/env bash
# Installs what is missing, builds brevant and runs every test with CTest, three times over:
#   build       the program as it ships, every test (the package test included);
#   build-asan  the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer
#               (without the benchmarks and the package, which an instrumented build cannot
#               make); any sanitizer report fails its test;
#   build-fuzz  the fuzz targets, built with clang and libFuzzer, each run for a minute from
#               its committed seed corpus (ctest label "fuzz").
# Exits non-zero when any test of any pass fails; every pass runs even after a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
failed=()
passed_total=0
failed_total=0
# Adds the counts of a ctest run, read from its summary line in `$1`, to the totals.
count() {
    local line
    line=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1 || true)
    if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
        failed_total=$((failed_total + BASH_REMATCH[1]))
        passed_total=$((passed_total + BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 900 | tee "$log" || failed+=(build)
count "$log"

# Sanitizers. Qt's own libraries are not instrumented; only our code is checked, and leaks
# are looked for at every test's exit. A failed allocation returns null instead of stopping
# the program, so that the tests of files too large for memory see it as Qt reports it.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREVANT_SANITIZE=ON \
    -DBREVANT_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900 -LE "^(package|fuzz)$" |
    tee "$log" || failed+=(build-asan)
count "$log"

# Fuzzing: only the fuzz targets and the libraries they use are built here.
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DBREVANT_FUZZ=ON -DBREVANT_BUILD_BENCH=OFF
cmake --build build-fuzz -j"$jobs" --target brevant_fuzz_targets
ctest --test-dir build-fuzz --output-on-failure -j"$jobs" -L "^fuzz$" | tee "$log" || failed+=(build-fuzz)
count "$log"

echo
if [ ${#failed[@]} -gt 0 ]; then
    echo "Tests failed in: ${failed[*]}" >&2
    echo "Total: $passed_total passed, $failed_total failed"
    exit 1
fi
echo "All three passes clean: plain, sanitizers and fuzzing."
echo "Total: $passed_total passed, $failed_total failed"
