#!/bin/sh
# Runs two script pages (a 100000-pass loop with arithmetic and string
# concatenation, and a recursive fib(20)) through the CGI program and the same
# programs in perl, and prints the times and their ratios. Each program is timed
# as whole runs of its process (start-up included) by bench/spawn, in rounds in
# which the programs take turns, so that the machine's other load weighs on all of
# them alike; the best round's mean time of one run counts.
# Usage: interpreter_bench.sh BUILD_DIR [ROUNDS]
build=$(cd "$1" && pwd)
rounds=${2:-10}
per=3
dir=$(cd "$(dirname "$0")/pages" && pwd)
spawn="$build/bench/spawn"
perl=$(command -v perl) || { echo "perl is not installed"; exit 1; }
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
ln -s "$build/kelp" "$bin/kelp"
# The time limit stays on, as it is on every site: the interpreter looks at it at
# every tag, and that is part of what a loop costs.
printf 'kelproot = %s\nstdmodedatadir = %s\nusecookies = off\n' "$dir" "$bin" > "$bin/kelp.conf"
cd "$dir" || exit 1

check() {  # the page and the perl program must write the same text
    a=$(env -i PATH_INFO="/$1.kp" "$bin/kelp" | tr -d '\r' | sed '1,/^$/d')
    b=$("$perl" "$1.pl")
    [ "$a" = "$b" ] || { echo "$1: page says '$a', perl says '$b'"; exit 1; }
}

# run NAME COMMAND...: one timing of $per runs; keeps the best in $best_NAME
run() {
    name=$1; shift
    t=$("$@") || exit 1
    eval "prev=\${best_$name:-}"
    if [ -z "$prev" ] || [ "$t" -lt "$prev" ]; then eval "best_$name=$t"; fi
}

for program in loop fib; do check $program; done
round=0
while [ "$round" -lt "$rounds" ]; do
    for program in loop fib; do
        run "kelp_$program" env -i PATH_INFO="/$program.kp" "$spawn" "$per" "$bin/kelp"
        run "perl_$program" "$spawn" "$per" "$perl" "$program.pl"
    done
    round=$((round + 1))
done
for program in loop fib; do
    eval "k=\$best_kelp_$program"
    eval "p=\$best_perl_$program"
    printf "%-5s kelp %6d us   perl %6d us   ratio %s\n" "$program" "$k" "$p" \
        "$(awk "BEGIN { printf \"%.2f\", $k / $p }")"
done
