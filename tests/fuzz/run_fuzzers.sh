#!/bin/sh
# run_fuzzers.sh FUZZ_BUILD_DIR SECONDS [NAME...]
# Replays every kept crashing input (tests/fuzz/regressions/NAME/*), then runs each
# harness for SECONDS on its seed corpus (tests/fuzz/corpus/NAME, read only) and a
# working corpus in the build directory, $JOBS harnesses at a time (default 2). A
# crash, leak, hang (10 s per input) or sanitizer report fails the run; its input
# is written to FUZZ_BUILD_DIR/crashes/.
build=$(cd "$1" && pwd)
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
names=${*:-page expression config body table index tar flatfile network fastcgi sql}
jobs=${JOBS:-2}
mkdir -p "$build/crashes"

# one NAME: replays and fuzzes one harness; its verdict in crashes/NAME.verdict
one() {
    name=$1
    program="$build/tests/fuzz/fuzz_$name"
    verdict="$build/crashes/$name.verdict"
    if [ -d "$here/regressions/$name" ] && [ -n "$(ls "$here/regressions/$name")" ]; then
        if ! "$program" -timeout=10 "$here/regressions/$name"/* > "$build/crashes/$name-regressions.log" 2>&1; then
            echo "fuzz_$name: a kept input fails again (see $build/crashes/$name-regressions.log)" > "$verdict"
            return
        fi
    fi
    mkdir -p "$build/corpus/$name"
    if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
        -artifact_prefix="$build/crashes/$name-" "$build/corpus/$name" "$here/corpus/$name" \
        > "$build/crashes/$name.log" 2>&1; then
        runs=$(grep -o 'Done [0-9]* runs' "$build/crashes/$name.log" | tail -n 1 | tr -dc '0-9')
        echo "fuzz_$name: ${runs:-?} inputs run, $(ls "$build/corpus/$name" | wc -l | tr -d ' ') in the corpus, no failure in ${seconds} s" > "$verdict"
    else
        { echo "fuzz_$name: FAILED (see $build/crashes/$name.log)"
          grep -m 3 -E "ERROR|SUMMARY|runtime error" "$build/crashes/$name.log"; } > "$verdict"
    fi
}

running=0
for name in $names; do
    rm -f "$build/crashes/$name.verdict"
    one "$name" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait
failed=""
for name in $names; do
    cat "$build/crashes/$name.verdict" 2>/dev/null || echo "fuzz_$name: no verdict"
    grep -q "no failure" "$build/crashes/$name.verdict" 2>/dev/null || failed="$failed $name"
done
[ -z "$failed" ] || { echo "failing harnesses:$failed"; exit 1; }
