#!/bin/sh
# Runs two script pages (a 100000-pass loop with arithmetic and string
# concatenation, and a recursive fib(20)) and the same programs in perl, each
# several times, and prints the best times and their ratios.
# Usage: interpreter_bench.sh RUNNER [RUNS]   (RUNNER runs one page: RUNNER PAGE.kp)
runner=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runs=${2:-7}
dir=$(cd "$(dirname "$0")/pages" && pwd)
cd "$dir" || exit 1

best() {  # best wall time in milliseconds of "$@" over $runs runs
    min=""
    i=0
    while [ $i -lt "$runs" ]; do
        start=$(date +%s%N)
        "$@" > /dev/null 2>&1
        end=$(date +%s%N)
        t=$(( (end - start) / 1000 ))
        if [ -z "$min" ] || [ $t -lt $min ]; then min=$t; fi
        i=$((i + 1))
    done
    echo "$min"
}

check() {  # the page and the perl program must agree
    a=$("$runner" "$1.kp" | tail -n 1 | tr -d '\r')
    b=$(perl "$1.pl")
    [ "$a" = "$b" ] || { echo "$1: page says '$a', perl says '$b'"; exit 1; }
}

status=0
for program in loop fib; do
    check $program
    kelp=$(best "$runner" "$program.kp")
    perl=$(best perl "$program.pl")
    ratio=$(awk "BEGIN { printf \"%.1f\", $kelp / $perl }")
    printf "%-5s kelp %6d us   perl %6d us   ratio %s\n" "$program" "$kelp" "$perl" "$ratio"
done
exit $status
