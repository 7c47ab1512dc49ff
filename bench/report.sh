#!/bin/bash
# One report of Kelp against its peers, side by side in one run on this machine:
# five pages (hello world, a 100000-iteration loop, a recursive function, 100 records
# found through an index, the counter), each as a bare process (mean time of one
# request in short rounds taken in turns) and through a real lighttpd (requests per
# second from ab on loopback, two at a time, one second per program in turns), each
# ratio the median of the rounds' ratios, next to
# the C floor (a program that only writes a fixed response), php-cgi (SQLite for the
# records) and perl (the sqlite3 program for the records). Prints a table and writes
# it to BUILD_DIR/bench-report.md. Documents quote only the ratios.
# Usage: report.sh BUILD_DIR [ROUNDS]
set -u
build=$(cd "$1" && pwd)
seconds=${2:-9}
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/.." && pwd)
work=$(mktemp -d "$build/bench-report-XXXXXX")
cgi="$work/htdocs/cgi-bin"
site="$work/site"
mkdir -p "$cgi/digits" "$site" "$work/data"
trap 'bash "$source/tests/e2e/lighttpd.sh" stop "$work"; rm -rf "$work"' EXIT
spawn="$build/bench/spawn"
for tool in php-cgi perl sqlite3 ab lighttpd curl; do
    command -v "$tool" > /dev/null || { echo "report.sh: $tool is missing (make bench installs it)"; exit 1; }
done
phpcgi=$(command -v php-cgi)
phpfpm=$(command -v php-fpm8.2 || command -v php-fpm || ls /usr/sbin/php-fpm* 2> /dev/null | head -n 1)
[ -n "$phpfpm" ] || { echo "report.sh: php-fpm is missing (make bench installs it)"; exit 1; }
sqlite=$(command -v sqlite3)

# The programs and pages.
cp "$build/kelp" "$cgi/kelp"
# (The time limit stays at its default, as on a site.)
printf '%s\n' "kelproot = $site" "stdmodedatadir = $work/data" "usecookies = off" "validextensions = kp" \
    > "$cgi/kelp.conf"
cp "$build/bench/cgi-floor" "$cgi/floor"
cp "$build/bench/gif-floor" "$cgi/giffloor"
cp "$build/nph-tally-test" "$cgi/nph-tally"
"$build/tally-digits" "$cgi/digits"
cp "$here/cgi/hello.kp" "$here/pages/loop.kp" "$here/pages/fib.kp" "$site/"
cat > "$site/records.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="records.dbf" INDEXES="records.kpx"><html><body><table>
<KpFIND VALUE="name 05" ><KpLET n=0><KpWHILE EXPR=n LT 100 AND NOT eof><tr><td>&[id]</td><td>&[name:entities]</td></tr>
<KpLET n=n + 1><KpSKIP></KpWHILE></table></body></html>
EOF
cat > "$work/make.kp" <<'EOF'
<KpCREATE NAME="t" DATABASE="records.dbf" FIELDS="id NUMBER(8), name CHAR(20)"><KpMAKEINDEX INDEXFILE="records.kpx" EXPR=name>
<KpLET i=0><KpWHILE EXPR=i LT 10000><KpLET id=i><KpLET name="name " $ padl(i, 4, "0")><KpADD><KpLET i=i + 1></KpWHILE>
EOF
cp "$work/make.kp" "$site/make.kp"
(cd "$site" && env -i PATH_INFO=/make.kp "$cgi/kelp" > /dev/null)
rm "$site/make.kp"
{
    echo "CREATE TABLE t (id INTEGER, name TEXT); CREATE INDEX t_name ON t (name); BEGIN;"
    awk 'BEGIN { for (i = 0; i < 10000; i++) printf "INSERT INTO t VALUES (%d, '"'"'name %04d'"'"');\n", i, i }'
    echo "COMMIT;"
} | sqlite3 "$site/records.db"
query="SELECT id, name FROM t WHERE name >= 'name 05' ORDER BY name LIMIT 100"
cat > "$site/hello.php" <<'EOF'
Hello, world!
EOF
cat > "$site/loop.php" <<'EOF'
<?php $i = 0; $total = 0; while ($i < 100000) { $total = $total + $i * 2; $label = "item-" . $i; $i = $i + 1; } echo "$total $label\n";
EOF
cat > "$site/fib.php" <<'EOF'
<?php function fib($n) { if ($n < 2) return $n; return fib($n - 1) + fib($n - 2); } echo fib(20), "\n";
EOF
cat > "$site/records.php" <<EOF
<?php \$db = new SQLite3('$site/records.db'); \$r = \$db->query("$query");
echo "<html><body><table>\n"; while (\$row = \$r->fetchArray()) { echo "<tr><td>", \$row[0], "</td><td>", htmlspecialchars(\$row[1]), "</td></tr>\n"; } echo "</table></body></html>\n";
EOF
for page in hello loop fib; do
    { echo '#!/usr/bin/perl'; echo 'print "Content-type: text/html\r\n\r\n";'
      if [ $page = hello ]; then echo 'print "Hello, world!\n";'; else cat "$here/pages/$page.pl"; fi; } > "$cgi/$page.pl"
done
printf '#!/bin/sh\nprintf "Content-type: text/html\\r\\n\\r\\n<html><body><table>\\n"\n%s -html "%s" "%s"\necho "</table></body></html>"\n' \
    "$sqlite" "$site/records.db" "$query" > "$cgi/records.pl"
chmod +x "$cgi"/*.pl

# The pages must give their answers before they are timed.
answer() { (cd "$site" && env -i "$@" 2> /dev/null | tr -d '\r' | sed '1,/^$/d'); }
# The loop and the recursion write just their result, as the PHP and perl programs do.
[ "$(answer PATH_INFO=/loop.kp "$cgi/kelp")" = "9999900000 item-99999" ] || { echo "loop.kp is wrong"; exit 1; }
[ "$(answer PATH_INFO=/fib.kp "$cgi/kelp")" = "6765" ] || { echo "fib.kp is wrong"; exit 1; }
[ "$(answer PATH_INFO=/records.kp "$cgi/kelp" | grep -c '<tr>')" = 100 ] || { echo "records.kp is wrong"; exit 1; }
[ "$(answer SCRIPT_FILENAME="$site/records.php" REDIRECT_STATUS=200 "$phpcgi" | grep -c '<tr>')" = 100 ] ||
    { echo "records.php is wrong"; exit 1; }

# The median of the figures in a file, one per line (nothing for an empty file).
median() { sort -n "$1" 2> /dev/null | awk '{ v[NR] = $1 } END { if (NR) printf "%.0f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Bare processes: mean microseconds of one request in each of many short rounds, the
# programs taking turns; the median round counts (a burst of the machine's other load
# then moves no program's figure, where the best round of each would compare one
# program's luckiest moment with another's).
declare -A best
bare() {  # bare KEY RUNS ENV... -- COMMAND...
    local key=$1 runs=$2
    shift 2
    local env=()
    while [ "$1" != "--" ]; do env+=("$1"); shift; done
    shift
    (cd "$site" && env -i "${env[@]}" "$spawn" "$runs" "$@" 2> /dev/null) >> "$work/bare-$key"
}
php_env() { echo "SCRIPT_FILENAME=$site/$1.php" REDIRECT_STATUS=200 REQUEST_METHOD=GET; }
# The hello page and the counter first, each with its floor in pairs whose order
# changes every round: what ran just before weighs on a program's first runs, and so
# it weighs on both alike.
hello() { bare kelp-hello 30 PATH_INFO=/hello.kp REQUEST_METHOD=GET -- "$cgi/kelp"; }
counter() { bare kelp-counter 30 QUERY_STRING="link=bench" REQUEST_METHOD=GET -- "$cgi/nph-tally"; }
for round in $(seq 30); do
    if [ $((round % 2)) = 0 ]; then hello; bare floor 30 -- "$cgi/floor"; else bare floor 30 -- "$cgi/floor"; hello; fi
done
for round in $(seq 30); do
    if [ $((round % 2)) = 0 ]; then counter; bare giffloor 30 -- "$cgi/giffloor"; else bare giffloor 30 -- "$cgi/giffloor"; counter; fi
done
for round in $(seq 15); do
    for page in hello loop fib records; do
        case $page in hello) runs=30 ;; records) runs=6 ;; *) runs=1 ;; esac
        if [ $page != hello ]; then bare "kelp-$page" $runs PATH_INFO=/$page.kp REQUEST_METHOD=GET -- "$cgi/kelp"; fi
        # shellcheck disable=SC2046
        bare "php-$page" $runs $(php_env $page) -- "$phpcgi"
        bare "perl-$page" $runs -- "$cgi/$page.pl"
    done
done
for file in "$work"/bare-*; do
    best[${file#"$work"/bare-}]=$(median "$file")
done

# Through lighttpd: requests per second, ab with two clients, one second per program in
# turns for $seconds rounds; the median round counts. A page's URL is rewritten to the
# CGI program with the page's path after it, and the floor is reached the same way
# (/floor/hello.kp runs /cgi-bin/floor with the path /hello.kp; its rule is tried first):
# the web server's work to route a request, the same for any program that serves pages
# by path, weighs on both alike. The floor's direct URL (/cgi-bin/floor) is measured too.
cat > "$work/extra.conf" <<'EOF'
url.rewrite-once = ( "^(/fcgi/.*)$" => "$1",
                     "^/floor(/[^?]*)$" => "/cgi-bin/floor$1",
                     "^(/[^?]*\.kp)(\?(.*))?$" => "/cgi-bin/kelp$1?$3" )
EOF
# php-cgi behind lighttpd: /cgi-bin/php/PAGE.php runs the site's PAGE.php.
printf '#!/bin/sh\nREDIRECT_STATUS=200 SCRIPT_FILENAME="%s${PATH_INFO}" exec %s\n' "$site" "$phpcgi" > "$cgi/php"
chmod +x "$cgi/php"
# Persistent processes behind the same lighttpd: kelp as a FastCGI responder that
# lighttpd starts (/fcgi/PAGE.kp), and php-fpm with its opcache (/fpm/PAGE.php), four
# workers each.
mkdir -p "$work/fcgi" "$work/htdocs/fpm"
cp "$build/kelp" "$work/fcgi/kelp"
cp "$cgi/kelp.conf" "$work/fcgi/kelp.conf"
echo "fastcgiworkers = 4" >> "$work/fcgi/kelp.conf"
cp "$site"/*.php "$work/htdocs/fpm/"
# The ceiling for anything behind lighttpd: lighttpd sending a file.
printf 'Hello, world!\n' > "$work/htdocs/static.html"
# The floor for a FastCGI responder: four processes that answer a fixed page; and
# the same answering with the very bytes of Kelp's record page (its 100 rows).
cp "$build/bench/fastcgi-floor" "$work/fcgi/floor"
(cd "$site" && env -i PATH_INFO=/records.kp "$cgi/kelp" > "$work/records.answer")
cat >> "$work/extra.conf" <<EOF
server.modules += ( "mod_fastcgi" )
fastcgi.server = ( "/fcgi" => (( "socket" => "$work/kelp.sock", "bin-path" => "$work/fcgi/kelp",
                                 "max-procs" => 1, "check-local" => "disable" )),
                   "/ffloor" => (( "socket" => "$work/floor.sock", "bin-path" => "$work/fcgi/floor",
                                   "max-procs" => 1, "check-local" => "disable" )),
                   "/rfloor" => (( "socket" => "$work/rfloor.sock", "bin-path" => "$work/fcgi/floor",
                                   "bin-environment" => ( "FLOOR_ANSWER" => "$work/records.answer" ),
                                   "max-procs" => 1, "check-local" => "disable" )) )
\$HTTP["url"] =~ "^/fpm/" {
    fastcgi.server = ( ".php" => (( "socket" => "$work/php.sock", "check-local" => "disable" )) )
}
EOF
printf '%s\n' "[global]" "pid = $work/php-fpm.pid" "error_log = $work/php-fpm.log" "[bench]" \
    "listen = $work/php.sock" "pm = static" "pm.max_children = 4" > "$work/php-fpm.conf"
fpmflags=""
if [ "$(id -u)" = 0 ]; then
    printf '%s\n' "user = root" "group = root" >> "$work/php-fpm.conf"
    fpmflags=-R
fi
"$phpfpm" -y "$work/php-fpm.conf" $fpmflags || { echo "php-fpm did not start"; exit 1; }
trap 'bash "$source/tests/e2e/lighttpd.sh" stop "$work"; kill "$(cat "$work/php-fpm.pid" 2> /dev/null)" 2> /dev/null; rm -rf "$work"' EXIT
port=$(bash "$source/tests/e2e/lighttpd.sh" start "$work")
fetched() { curl -s "http://127.0.0.1:$port$1" | tr -d '\r'; }
[ "$(fetched /ffloor/hello)" = "Hello, world!" ] || { echo "the FastCGI floor does not answer"; exit 1; }
[ "$(fetched /rfloor/records | grep -c '<tr>')" = 100 ] || { echo "the record page's floor does not answer"; exit 1; }
[ "$(fetched /fcgi/loop.kp)" = "9999900000 item-99999" ] || { echo "loop.kp through FastCGI is wrong"; exit 1; }
[ "$(fetched /fcgi/records.kp | grep -c '<tr>')" = 100 ] || { echo "records.kp through FastCGI is wrong"; exit 1; }
[ "$(fetched /fpm/fib.php)" = "6765" ] || { echo "fib.php through php-fpm is wrong"; exit 1; }
[ "$(fetched /fpm/records.php | grep -c '<tr>')" = 100 ] || { echo "records.php through php-fpm is wrong"; exit 1; }
declare -A rps
declare -A failedrounds
served() {  # served KEY URL
    local out
    out=$(ab -q -t 1 -n 1000000 -c 2 "http://127.0.0.1:$port$2" 2> /dev/null)
    local failed
    # Failures other than a length that differs between answers (the counter's does).
    failed=$(printf '%s\n' "$out" | awk '/^Non-2xx responses:/ { n += $3 }
        /\(Connect:/ { gsub(/[(),]/, " "); n += $2 + $4 + $8 } END { print n + 0 }')
    printf '%s\n' "$out" | awk '/^Requests per second:/ { printf "%.0f\n", $4 }' >> "$work/served-$1"
    [ "${failed:-0}" = 0 ] || failedrounds[$1]=1
}
for round in $(seq "$seconds"); do
    # Each floor beside the page it is compared with, the order changing every round.
    if [ $((round % 2)) = 0 ]; then
        served kelp-hello /hello.kp; served floor /floor/hello.kp; served floor-direct /cgi-bin/floor
        served kelp-counter "/cgi-bin/nph-tally?link=bench"; served giffloor /cgi-bin/giffloor
    else
        served floor-direct /cgi-bin/floor; served floor /floor/hello.kp; served kelp-hello /hello.kp
        served giffloor /cgi-bin/giffloor; served kelp-counter "/cgi-bin/nph-tally?link=bench"
    fi
    for page in hello loop fib records; do
        if [ $page != hello ]; then served "kelp-$page" "/$page.kp"; fi
        served "php-$page" "/cgi-bin/php/$page.php"
        served "perl-$page" "/cgi-bin/$page.pl"
        served "fcgi-$page" "/fcgi/$page.kp"
        served "fpm-$page" "/fpm/$page.php"
        if [ $page = hello ]; then served ffloor /ffloor/hello; fi
        if [ $page = records ]; then served rfloor /rfloor/records; fi
    done
    served static /static.html
done
for file in "$work"/served-*; do
    key=${file#"$work"/served-}
    rps[$key]=$(median "$file")
    [ -z "${failedrounds[$key]:-}" ] || rps[$key]="${rps[$key]}!"
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }
# The ratio of two programs' figures (FILE is bare or served): where both were taken in
# the same rounds, the median of the rounds' ratios, so that a change in the machine's
# speed between rounds weighs on both alike; otherwise the ratio of the two medians.
pair() {  # pair FILE KEY OTHER
    local a="$work/$1-$2" b="$work/$1-$3"
    if [ -s "$a" ] && [ -s "$b" ] && [ "$(wc -l < "$a")" = "$(wc -l < "$b")" ]; then
        paste "$a" "$b" | awk '$2 > 0 { print $1 / $2 }' > "$work/pair"
        local m
        m=$(sort -g "$work/pair" | awk '{ v[NR] = $1 } END { if (NR) printf "%.4f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
        ratio "$m" 1
    elif [ "$1" = bare ]; then
        ratio "${best[$2]:-}" "${best[$3]:-}"
    else
        ratio "${rps[$2]:-}" "${rps[$3]:-}"
    fi
}
report="$build/bench-report.md"
{
    echo "# Kelp against its peers"
    echo
    echo "One run on one machine ($(nproc) cores), $(date -u +%Y-%m-%d). Bare process: the ratio of one request's"
    echo "time to the other program's (below 1: Kelp is faster), from short rounds taken in turns."
    echo "Through lighttpd: the ratio of requests per second (above 1: Kelp serves more), from one-second"
    echo "rounds taken in turns. Each ratio is the median of the ratios of the rounds the two programs"
    echo "shared (the raw figures below are the medians of each program's rounds; Kelp's hello page, bare,"
    echo "is measured in rounds of its own beside the floor, and compared with php-cgi and perl by the"
    echo "ratio of the medians). The C floor only writes a fixed response; the counter's"
    echo "floor writes a fixed GIF. PHP is php-cgi (SQLite for the records); perl is perl (the sqlite3"
    echo "program for the records). Through lighttpd, the floor is reached as Kelp pages are, its URL"
    echo "rewritten to the program with the page's path after it; the raw figures also give it reached"
    echo "directly (/cgi-bin/floor), without that routing."
    echo
    echo "| page | bare: Kelp / C floor | bare: Kelp / php-cgi | bare: Kelp / perl | lighttpd: Kelp / C floor | lighttpd: Kelp / php-cgi | lighttpd: Kelp / perl |"
    echo "|---|---|---|---|---|---|---|"
    for page in hello loop fib records; do
        echo "| $page | $(pair bare kelp-$page floor) | $(pair bare kelp-$page php-$page) | $(pair bare kelp-$page perl-$page) | $(pair served kelp-$page floor) | $(pair served kelp-$page php-$page) | $(pair served kelp-$page perl-$page) |"
    done
    echo "| counter | $(pair bare kelp-counter giffloor) | - | - | $(pair served kelp-counter giffloor) | - | - |"
    echo
    echo "Persistent processes through the same lighttpd, in the same rounds: Kelp as a FastCGI"
    echo "responder started by lighttpd, and php-fpm with its opcache (SQLite for the records), four"
    echo "workers each. The ratio of requests per second (above 1: Kelp serves more)."
    echo
    echo "| page | Kelp FastCGI / php-fpm | Kelp FastCGI / Kelp CGI |"
    echo "|---|---|---|"
    for page in hello loop fib records; do
        echo "| $page | $(pair served fcgi-$page fpm-$page) | $(pair served fcgi-$page kelp-$page) |"
    done
    echo
    echo "Kelp's FastCGI hello page against lighttpd sending a file (the ceiling for anything behind"
    echo "it): $(pair served fcgi-hello static); php-fpm's: $(pair served fpm-hello static). Against the floor"
    echo "of a FastCGI responder behind lighttpd (four processes that read each request and answer a"
    echo "fixed page, \`bench/fastcgi_floor.cpp\`; the ceiling for any responder started the same way):"
    echo "Kelp $(pair served fcgi-hello ffloor), php-fpm $(pair served fpm-hello ffloor); the floor against the file:"
    echo "$(pair served ffloor static). The record page against the same floor answering with the"
    echo "page's own bytes (its header block and 100 rows): Kelp $(pair served fcgi-records rfloor),"
    echo "php-fpm $(pair served fpm-records rfloor); that floor against php-fpm: $(pair served rfloor fpm-records)."
    echo
    echo "Raw figures (bare: microseconds per request; lighttpd: requests per second; \"!\" marks a run"
    echo "with failed requests):"
    echo
    echo "| program | hello | loop | fib | records | counter |"
    echo "|---|---|---|---|---|---|"
    echo "| Kelp bare | ${best[kelp-hello]:-} | ${best[kelp-loop]:-} | ${best[kelp-fib]:-} | ${best[kelp-records]:-} | ${best[kelp-counter]:-} |"
    echo "| php-cgi bare | ${best[php-hello]:-} | ${best[php-loop]:-} | ${best[php-fib]:-} | ${best[php-records]:-} | |"
    echo "| perl bare | ${best[perl-hello]:-} | ${best[perl-loop]:-} | ${best[perl-fib]:-} | ${best[perl-records]:-} | |"
    echo "| C floor bare | ${best[floor]:-} | | | | ${best[giffloor]:-} |"
    echo "| Kelp lighttpd | ${rps[kelp-hello]:-} | ${rps[kelp-loop]:-} | ${rps[kelp-fib]:-} | ${rps[kelp-records]:-} | ${rps[kelp-counter]:-} |"
    echo "| php-cgi lighttpd | ${rps[php-hello]:-} | ${rps[php-loop]:-} | ${rps[php-fib]:-} | ${rps[php-records]:-} | |"
    echo "| perl lighttpd | ${rps[perl-hello]:-} | ${rps[perl-loop]:-} | ${rps[perl-fib]:-} | ${rps[perl-records]:-} | |"
    echo "| C floor lighttpd | ${rps[floor]:-} | | | | ${rps[giffloor]:-} |"
    echo "| C floor lighttpd, direct URL | ${rps[floor-direct]:-} | | | | |"
    echo "| Kelp FastCGI lighttpd | ${rps[fcgi-hello]:-} | ${rps[fcgi-loop]:-} | ${rps[fcgi-fib]:-} | ${rps[fcgi-records]:-} | |"
    echo "| php-fpm lighttpd | ${rps[fpm-hello]:-} | ${rps[fpm-loop]:-} | ${rps[fpm-fib]:-} | ${rps[fpm-records]:-} | |"
    echo "| FastCGI floor lighttpd | ${rps[ffloor]:-} | | | ${rps[rfloor]:-} | |"
    echo "| lighttpd sending a file | ${rps[static]:-} | | | | |"
    # Where a loop's and a recursion's time goes: the functions perf samples most.
    perf=$(command -v perf || true)
    if [ -n "$perf" ]; then
        for page in loop fib; do
            # (kelp's exit status is 1 for a page that ran; perf passes it on.)
            (cd "$site" && env -i PATH_INFO=/$page.kp "$perf" record -q -F 20000 -o "$work/$page.perf" "$cgi/kelp") \
                > /dev/null 2>&1
            if [ -s "$work/$page.perf" ]; then
                echo
                echo "Where the time of \`$page.kp\` goes (share of perf samples, top functions):"
                echo
                "$perf" report -i "$work/$page.perf" --sort symbol --stdio 2> /dev/null |
                    awk '/^ +[0-9.]+%/ && n < 8 { share = $1; sub(/^ *[0-9.]+% +\[[.k]\] /, ""); sub(/ +- +- *$/, "");
                                                   printf "- %s %s\n", share, $0; n++ }'
            fi
        done
        echo
        echo "In both, a loop's body and a function's body run as compiled steps made from the"
        echo "tags and text runs the interpreter remembers (\`CompiledBody::RunSteps\`), and the"
        echo "rest is the evaluation of expressions (expressions of numbers as flat programs,"
        echo "\`Expression::Flat\`; others as trees, \`OperatorNode\`, \`ApplyOperator\`), variable"
        echo "look-ups and assignments; in the recursion, each call also binds its argument to a"
        echo "fresh scope and runs its body in a call frame (\`CallNode::Call\`,"
        echo "\`ScriptParser::CallUserFunction\`). \`bench/interpreter_bench.sh\` compares"
        echo "the interpreter with perl and PHP at 1000000 passes and fib(22)."
    fi
} > "$report"
cat "$report"
