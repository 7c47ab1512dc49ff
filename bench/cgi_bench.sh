#!/bin/sh
# Start-up cost of a CGI request: a hello-world page and a page with a small loop,
# each run as a process 1000 times through kelp, next to a program that only writes
# the same header block and text (the floor for any CGI program) and php-cgi running
# the equivalent PHP pages (skipped when php-cgi is not installed). The runs are
# made in short rounds, the programs taking turns, and the median of a program's round
# means counts: the machine's other load then weighs on every program alike, and a
# round that a burst of it slowed does not move the figure (the best round of each
# program would compare one program's luckiest moment with another's). Prints each
# time and ratio.
# Usage: cgi_bench.sh BUILD_DIR [RUNS]
build=$(cd "$1" && pwd)
runs=${2:-1000}
rounds=50
per=$((runs / rounds))
pages=$(cd "$(dirname "$0")/cgi" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build/kelp" "$work/kelp"
printf 'kelproot = %s\nusecookies = off\n' "$pages" > "$work/kelp.conf"
spawn="$build/bench/spawn"
php=$(command -v php-cgi || true)

# The pages must say what the floor says before they are timed.
out=$(env -i PATH_INFO=/hello.kp "$work/kelp" | tr -d '\r')
[ "$out" = "$(printf 'Content-type: text/html\n\nHello, world!')" ] || { echo "hello.kp: $out"; exit 1; }
out=$(env -i PATH_INFO=/loop.kp "$work/kelp" | tail -n 1)
[ "$out" = "Sum 9900" ] || { echo "loop.kp: $out"; exit 1; }

# run NAME ENV... -- COMMAND...: one round of $per runs; its mean goes to $work/NAME
run() {
    name=$1; shift
    env -i "$@" >> "$work/$name" || exit 1
}
# median NAME: the median of the program's round means
median() { sort -n "$work/$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
kelp() { run "kelp_$1" PATH_INFO="/$1.kp" SERVER_NAME=localhost REQUEST_METHOD=GET "$spawn" "$per" "$work/kelp"; }
floor() { run floor "$spawn" "$per" "$build/bench/cgi-floor"; }
# The hello page and the floor first, in pairs whose order changes every round: what
# ran just before weighs on a program's first runs, and so it weighs on both alike.
round=0
while [ $round -lt $rounds ]; do
    if [ $((round % 2)) = 0 ]; then floor; kelp hello; else kelp hello; floor; fi
    round=$((round + 1))
done
# Then the loop page and php-cgi, in rounds of their own.
round=0
while [ $round -lt $((rounds / 5)) ]; do
    kelp loop
    if [ -n "$php" ]; then
        for page in hello loop; do
            run "php_$page" REDIRECT_STATUS=200 SCRIPT_FILENAME="$pages/$page.php" REQUEST_METHOD=GET \
                "$spawn" "$per" "$php" -q
        done
    fi
    round=$((round + 1))
done

# What the dynamic loader opens for a hello request (features load their libraries
# when a page first uses them).
objects=$(env -i LD_DEBUG=files PATH_INFO=/hello.kp "$work/kelp" 2>&1 > /dev/null |
          sed -n 's/.*file=\([^ ]*\) .*/\1/p' | sort -u | tr '\n' ' ')
printf "shared objects a hello request loads: %s\n" "$objects"
ratio() { awk "BEGIN { printf \"%.2f\", $1 / $2 }"; }
best_floor=$(median floor)
for page in hello loop; do
    eval "best_kelp_$page=\$(median kelp_$page)"
    if [ -n "$php" ]; then eval "best_php_$page=\$(median php_$page)"; fi
done
printf "%-18s %6d us\n" "C floor" "$best_floor"
for page in hello loop; do
    eval "k=\$best_kelp_$page"
    printf "%-18s %6d us   ratio to floor %s\n" "kelp $page.kp" "$k" "$(ratio "$k" "$best_floor")"
    if [ -n "$php" ]; then
        eval "p=\$best_php_$page"
        printf "%-18s %6d us   ratio to floor %s   php-cgi / kelp %s\n" "php-cgi $page.php" "$p" \
            "$(ratio "$p" "$best_floor")" "$(ratio "$p" "$k")"
    fi
done
