#!/bin/sh
# Runs two script pages (a 100000-pass loop with arithmetic and string
# concatenation, and a recursive fib(20)) and the same programs in perl, each
# several times, and prints the best times and their ratios.
# Usage: interpreter_bench.sh KELP [RUNS]   (pages run through the CGI program)
kelp=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runs=${2:-7}
dir=$(cd "$(dirname "$0")/pages" && pwd)
cd "$dir" || exit 1
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
ln -s "$kelp" "$bin/kelp"
printf 'kelproot = %s\nusecookies = off\nglobaltimeout = 0\n' "$dir" > "$bin/kelp.conf"
page() { env -i PATH_INFO="/$1" "$bin/kelp"; }

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
    a=$(page "$1.kp" | tail -n 1 | tr -d '\r')
    b=$(perl "$1.pl")
    [ "$a" = "$b" ] || { echo "$1: page says '$a', perl says '$b'"; exit 1; }
}

status=0
for program in loop fib; do
    check $program
    ours=$(best page "$program.kp")
    perl=$(best perl "$program.pl")
    ratio=$(awk "BEGIN { printf \"%.1f\", $ours / $perl }")
    printf "%-5s kelp %6d us   perl %6d us   ratio %s\n" "$program" "$ours" "$perl" "$ratio"
done
exit $status
