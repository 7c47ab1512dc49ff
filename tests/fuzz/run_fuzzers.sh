#!/bin/sh
# run_fuzzers.sh FUZZ_BUILD_DIR SECONDS [NAME...]
# Replays every kept crashing input (tests/fuzz/regressions/NAME/*), then runs each
# harness for SECONDS on its seed corpus (tests/fuzz/corpus/NAME, read only) and a
# working corpus in the build directory. A crash, leak, hang (10 s per input) or
# sanitizer report fails the run; its input is written to FUZZ_BUILD_DIR/crashes/.
build=$(cd "$1" && pwd)
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
names=${*:-page expression config body table index tar flatfile network}
mkdir -p "$build/crashes"
failed=""
for name in $names; do
    program="$build/tests/fuzz/fuzz_$name"
    if [ -d "$here/regressions/$name" ] && [ -n "$(ls "$here/regressions/$name")" ]; then
        if ! "$program" -timeout=10 "$here/regressions/$name"/* > "$build/crashes/$name-regressions.log" 2>&1; then
            echo "fuzz_$name: a kept input fails again (see $build/crashes/$name-regressions.log)"
            failed="$failed $name"
            continue
        fi
    fi
    mkdir -p "$build/corpus/$name"
    if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
        -artifact_prefix="$build/crashes/$name-" "$build/corpus/$name" "$here/corpus/$name" \
        > "$build/crashes/$name.log" 2>&1; then
        echo "fuzz_$name: $(grep -c . "$build/crashes/$name.log" > /dev/null; ls "$build/corpus/$name" | wc -l | tr -d ' ') inputs in the corpus, no failure in ${seconds} s"
    else
        echo "fuzz_$name: FAILED (see $build/crashes/$name.log)"
        grep -m 3 -E "ERROR|SUMMARY|runtime error" "$build/crashes/$name.log"
        failed="$failed $name"
    fi
done
[ -z "$failed" ] || { echo "failing harnesses:$failed"; exit 1; }
