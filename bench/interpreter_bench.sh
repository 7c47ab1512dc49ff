#!/bin/sh
# Runs three script pages through the CGI program and the same programs in perl and
# PHP (the command-line interpreter): a 1000000-pass loop with arithmetic and string
# concatenation, a recursive fib(22), and a string loop (concatenation, IN, len,
# substring). Each program is timed as whole runs of its process (start-up included)
# by bench/spawn, in rounds in which the programs take turns, so that the machine's
# other load weighs on all of them alike. For each program the best round's mean time
# of one run counts, and the ratio of Kelp to the faster of perl and PHP is printed
# for every round (its median) and for the best times.
# Usage: interpreter_bench.sh BUILD_DIR [ROUNDS]
build=$(cd "$1" && pwd)
rounds=${2:-7}
per=3
dir=$(cd "$(dirname "$0")/pages" && pwd)
spawn="$build/bench/spawn"
programs="loop1m fib22 strings"
perl=$(command -v perl) || { echo "perl is not installed"; exit 1; }
php=$(command -v php) || { echo "php (the command-line interpreter) is not installed"; exit 1; }
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
ln -s "$build/kelp" "$bin/kelp"
mkdir "$bin/data"
# The time limit stays on, as it is on every site: the interpreter looks at it at
# every tag, and that is part of what a loop costs.
printf 'kelproot = %s\nstdmodedatadir = %s/data\nusecookies = off\n' "$dir" "$bin" > "$bin/kelp.conf"
cd "$dir" || exit 1

check() {  # the page and the other programs must write the same text
    a=$(env -i PATH_INFO="/$1.kp" "$bin/kelp" | tr -d '\r' | sed '1,/^$/d')
    b=$("$perl" "$1.pl")
    c=$("$php" "$1.php")
    [ "$a" = "$b" ] || { echo "$1: page says '$a', perl says '$b'"; exit 1; }
    [ "$a" = "$c" ] || { echo "$1: page says '$a', php says '$c'"; exit 1; }
}

# run NAME COMMAND...: one timing of $per runs, in $t; keeps the best in $best_NAME
run() {
    name=$1; shift
    t=$("$@") || exit 1
    eval "prev=\${best_$name:-}"
    if [ -z "$prev" ] || [ "$t" -lt "$prev" ]; then eval "best_$name=$t"; fi
}

ratio() { awk "BEGIN { printf \"%.2f\", $1 / ($2 < $3 ? $2 : $3) }"; }

for program in $programs; do check $program; done
round=0
while [ "$round" -lt "$rounds" ]; do
    for program in $programs; do
        run "kelp_$program" env -i PATH_INFO="/$program.kp" "$spawn" "$per" "$bin/kelp"; k=$t
        run "perl_$program" "$spawn" "$per" "$perl" "$program.pl"; p=$t
        run "php_$program" "$spawn" "$per" "$php" "$program.php"; h=$t
        eval "ratios_$program=\"\${ratios_$program:-} $(ratio "$k" "$p" "$h")\""
    done
    round=$((round + 1))
done
for program in $programs; do
    eval "k=\$best_kelp_$program; p=\$best_perl_$program; h=\$best_php_$program"
    eval "r=\$ratios_$program"
    median=$(echo $r | tr ' ' '\n' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
    printf "%-8s kelp %7d us   perl %7d us   php %7d us   kelp/faster: best %s, median of rounds %s\n" \
        "$program" "$k" "$p" "$h" "$(ratio "$k" "$p" "$h")" "$median"
done
