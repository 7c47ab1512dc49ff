#!/bin/bash
# Hostile requests and damaged files against the kelp program, run as a CGI process
# the way a web server runs it: oversized and repetitive input, signals while the
# body is read, damaged tables, markup in names, forged log lines, unsafe
# configuration values and pages the server may not read.
# Usage: hostile_requests.sh BUILD_DIR
set -u
. "$(cd "$(dirname "${BASH_SOURCE[0]:-$0}")/.." && pwd)/support/slack.sh"
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -p "$work/bin" "$work/site" "$work/data" "$work/vh"
cp "$build/kelp" "$work/bin/kelp"
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

conf() { printf '%s\n' "kelproot = $work/site" "stdmodedatadir = $work/data" "usecookies = off" "$@" \
    > "$work/bin/kelp.conf"; }
# run INPUT ENV...: the response in $work/out (CRs removed), the exit status in $status;
# ten seconds at most.
run() {
    local input=$1
    shift
    (cd "$work" && timeout 10 env -i "$@" "$work/bin/kelp" < "$input" | tr -d '\r' > "$work/out"
     exit "${PIPESTATUS[0]}")
    status=$?
}
first() { head -n 1 "$work/out"; }

printf 'n=[&[a]]' > "$work/site/form.kp"
conf

# Bodies: a field repeated beyond maxformfields, a body over maxcontentlength (refused
# before a byte is read), and within the limits a repeated field joined in place.
python3 -c "import sys; sys.stdout.write('a=x&' * 400000)" > "$work/repeated"
post=(PATH_INFO=/form.kp REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded)
run "$work/repeated" "${post[@]}" CONTENT_LENGTH=$(wc -c < "$work/repeated")
[ "$(first)" = "Status: 413 Request Entity Too Large" ] || fail "repeated field: $(head -c 300 "$work/out")"
grep -q "more than 1000 fields" "$work/out" || fail "repeated field message: $(head -c 300 "$work/out")"
run /dev/null "${post[@]}" CONTENT_LENGTH=999999999999
[ "$(first)" = "Status: 413 Request Entity Too Large" ] || fail "huge body: $(cat "$work/out")"
conf "maxformfields = 500000" "maxcontentlength = 2000000"
start=$(date +%s%N)
run "$work/repeated" "${post[@]}" CONTENT_LENGTH=$(wc -c < "$work/repeated")
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$status" = 1 ] && [ "$(tail -c 12 "$work/out")" = "x,x,x,x,x,x]" ] || fail "raised limits: $(head -c 200 "$work/out")"
in_time "$elapsed" 5000 || fail "400000 repeated fields took $elapsed ms"
conf

# Headers and the query string over maxheaderlength, and too many query fields.
long=$(head -c 9000 /dev/zero | tr '\0' 'x')
run /dev/null PATH_INFO=/form.kp "HTTP_COOKIE=id=$long"
[ "$(first)" = "Status: 431 Request Header Fields Too Large" ] || fail "long cookie: $(first)"
run /dev/null PATH_INFO=/form.kp "QUERY_STRING=a=$long"
[ "$(first)" = "Status: 414 Request-URI Too Large" ] || fail "long query: $(first)"
run /dev/null PATH_INFO=/form.kp "QUERY_STRING=$(python3 -c "print('&'.join(['q=1'] * 1001))")"
[ "$(first)" = "Status: 414 Request-URI Too Large" ] || fail "many query fields: $(first)"

# A signal while the body is still coming ends the process at once.
mkfifo "$work/slow"
exec 7<> "$work/slow"  # held open, never written: the body never comes
(cd "$work" && exec env -i "${post[@]}" CONTENT_LENGTH=1000 "$work/bin/kelp" < "$work/slow" > /dev/null) &
pid=$!
sleep 0.3
kill -TERM $pid
for _ in $(seq 20); do kill -0 $pid 2> /dev/null || break; sleep 0.1; done
if kill -0 $pid 2> /dev/null; then
    kill -KILL $pid
    fail "SIGTERM did not end a request waiting for its body"
fi
wait $pid 2> /dev/null
exec 7>&-

# Markup in a requested name comes back encoded in the error page.
run /dev/null 'QUERY_STRING=<script>alert(1)</script>.kp'
grep -q "<script>" "$work/out" && fail "reflected markup: $(cat "$work/out")"
grep -q "&lt;script&gt;alert(1)&lt;/script&gt;.kp" "$work/out" || fail "missing page name: $(cat "$work/out")"
run /dev/null 'QUERY_STRING=../<b>x</b>.kp'
grep -q "<b>" "$work/out" && fail "reflected markup (outside): $(cat "$work/out")"
[ "$(first)" = "Status: 403 Forbidden" ] || fail "outside name status: $(first)"

# A damaged virtual-host table: a record count the file cannot hold, or a truncated
# file, is reported at once, neither read for hours nor silently extended.
conf "workdir = $work/vh" "dnslookup = off" "<VIRTUALHOST localhost>" "globaltimeout = 20" \
    "</VIRTUALHOST>" "<VIRTUALHOST other>" "globaltimeout = 30" "</VIRTUALHOST>"
run /dev/null PATH_INFO=/form.kp SERVER_NAME=localhost
[ -s "$work/vh/kelpvh.dbf" ] || fail "virtual-host table not made: $(cat "$work/out")"
cp "$work/vh/kelpvh.dbf" "$work/vh.saved"
printf '\xff\xff\xff\xff' | dd of="$work/vh/kelpvh.dbf" bs=1 seek=4 conv=notrunc 2> /dev/null
run /dev/null PATH_INFO=/form.kp SERVER_NAME=other
[ "$status" != 124 ] || fail "a damaged record count hung the request"
grep -q "The virtual host database is corrupt" "$work/out" || fail "damaged count: $(cat "$work/out")"
head -c 300 "$work/vh.saved" > "$work/vh/kelpvh.dbf"
size=$(wc -c < "$work/vh/kelpvh.dbf")
run /dev/null PATH_INFO=/form.kp SERVER_NAME=other
grep -q "The virtual host database is corrupt" "$work/out" || fail "truncated table: $(cat "$work/out")"
[ "$(wc -c < "$work/vh/kelpvh.dbf")" = "$size" ] || fail "the truncated table was extended"
conf

# Log lines cannot be forged through a script name.
conf "loglevel = 2" "logfile = $work/activity.log"
name=$'forged\n2026-01-01 00:00:00|1|0|0|3.7833|1|SCRIPTSTARTED|x|y.kp'
printf 'ok' > "$work/site/$name"
run /dev/null "PATH_INFO=/$name"
[ "$(wc -l < "$work/activity.log")" = 3 ] || fail "log lines: $(cat "$work/activity.log")"
awk -F'|' 'NF != 9 { bad = 1 } END { exit bad }' "$work/activity.log" || fail "log fields: $(cat "$work/activity.log")"
grep -q "forged%0A2026" "$work/activity.log" || fail "escaped name: $(cat "$work/activity.log")"

# Configuration values that would put a line into every response, or negative times.
printf '%s\n' "kelproot = $work/site" "usecookies = off" '<CONTENT-TYPE MIMETYPE="text/html\' \
    'X-Injected: 1" DEFAULT>' > "$work/bin/kelp.conf"
run /dev/null PATH_INFO=/form.kp
sed '/^$/q' "$work/out" | grep -q "^X-Injected" && fail "a header line was injected: $(cat "$work/out")"
[ "$(first)" = "Status: 500 Internal Server Error" ] || fail "line break in a value: $(cat "$work/out")"
conf "globaltimeout = -1"
run /dev/null PATH_INFO=/form.kp
grep -q "'-1' is not a valid value for globaltimeout" "$work/out" || fail "negative time: $(cat "$work/out")"

# A page the web server's user may not read is refused with a status, never 200.
if [ "$(id -u)" = 0 ] && command -v setpriv > /dev/null; then
    conf
    chmod 755 "$work/site" "$work/data" "$work/bin"
    chmod 644 "$work/bin/kelp.conf"
    printf 'secret' > "$work/site/closed.kp"
    chmod 600 "$work/site/closed.kp"
    (cd "$work" && setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env -i PATH_INFO=/closed.kp "$work/bin/kelp" < /dev/null | tr -d '\r' > "$work/out")
    [ "$(first)" = "Status: 403 Forbidden" ] || fail "unreadable page: $(cat "$work/out")"
    grep -q "secret" "$work/out" && fail "unreadable page was shown"
elif [ "$(id -u)" != 0 ]; then
    conf
    printf 'secret' > "$work/site/closed.kp"
    chmod 000 "$work/site/closed.kp"
    run /dev/null PATH_INFO=/closed.kp
    [ "$(first)" = "Status: 403 Forbidden" ] || fail "unreadable page: $(cat "$work/out")"
fi

[ "$failures" = 0 ] && echo "hostile requests: ok"
[ "$failures" = 0 ]
