#!/bin/bash
# What `make test` runs once the regular build is done: the tests there, the same tests
# in a build made with clang and the sanitizers, and each fuzz harness; every stage
# runs even when one before it failed, and the last line sums them all up.
# Environment: BUILD, FUZZ_BUILD, JOBS, FUZZ_TEST_SECONDS (as the Makefile sets them).
set -u
build=${BUILD:-build}
fuzzbuild=${FUZZ_BUILD:-build-fuzz}
jobs=${JOBS:-2}
seconds=${FUZZ_TEST_SECONDS:-30}
passed=0
failed=0
parts=()

# ctest_stage LABEL DIR [CTEST-ARGS...]: runs ctest in DIR and adds up its counts.
ctest_stage() {
    local label=$1 dir=$2
    shift 2
    local log="$dir/ctest-summary.log"
    (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@") 2>&1 | tee "$log"
    local line total bad
    line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -n 1)
    if [ -z "$line" ]; then
        failed=$((failed + 1))
        parts+=("$label: did not run")
        return
    fi
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<< "$line")
    bad=$(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<< "$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    parts+=("$label $((total - bad))/$total")
}

ctest_stage "tests" "$build"

# The sanitizer build: clang with AddressSanitizer and UndefinedBehaviorSanitizer.
if { [ -f "$fuzzbuild/CMakeCache.txt" ] || CC=clang CXX=clang++ cmake -S . -B "$fuzzbuild" \
         -DKELP_FUZZ=ON -DKELP_BENCH=OFF -DWERROR=OFF; } && cmake --build "$fuzzbuild" -j"$jobs"; then
    # (The long randomized index model runs only in the regular build.)
    ctest_stage "under the sanitizers" "$fuzzbuild" -E "RandomInsertsAndDeletesMatchAModel|e2e/soak"
    JOBS=$jobs sh tests/fuzz/run_fuzzers.sh "$fuzzbuild" "$seconds" | tee "$fuzzbuild/fuzz-summary.log"
    good=$(grep -c "no failure" "$fuzzbuild/fuzz-summary.log")
    all=$(grep -c "^fuzz_" "$fuzzbuild/fuzz-summary.log")
    passed=$((passed + good))
    failed=$((failed + all - good))
    parts+=("fuzzers $good/$all")
else
    failed=$((failed + 1))
    parts+=("the sanitizer build failed")
fi

summary=$(IFS=';'; echo "${parts[*]}" | sed 's/;/, /g')
echo "make test: $passed passed, $failed failed ($summary)"
[ "$failed" = 0 ]
