#!/bin/bash
# kelp as a FastCGI responder behind a real lighttpd, which starts it with the listening
# socket on descriptor 0: every request is made twice, once to the CGI program and
# once to the responder, and both must answer the same status and the same bytes. A
# request after one with variables, an upload and an error starts clean.
# Usage: fastcgi_through_lighttpd.sh BUILD_DIR
set -eu
. "$(cd "$(dirname "${BASH_SOURCE[0]:-$0}")/.." && pwd)/support/slack.sh"
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d "$build/e2e-fastcgi-XXXXXX")
trap 'bash "$here/lighttpd.sh" stop "$state"; rm -rf "$state"' EXIT

site="$state/site"
mkdir -p "$site" "$state/htdocs/cgi-bin" "$state/fcgi"
cp -R "$here/site/." "$site/"
for dir in "$state/htdocs/cgi-bin" "$state/fcgi"; do
    cp "$build/kelp" "$dir/kelp"
    printf '%s\n' "kelproot = $site" "stdmodedatadir = $site" "validextensions = kp" \
        "usecookies = off" > "$dir/kelp.conf"
done
# One worker, so that a request and the next meet in the same process; it is replaced
# by a fresh one after 20 requests. Requests have 3 s.
printf 'motto=first\n' > "$state/vars1"
printf 'motto=second\n' > "$state/vars2"
printf '%s\n' "fastcgiworkers = 1" "fastcgirequests = 20" "globaltimeout = 3" \
    "logfile = $state/activity.log" "loglevel = 1" "sitevars = $state/vars1" >> "$state/fcgi/kelp.conf"
# The configuration docs/fastcgi.md gives: .kp URLs rewritten to the responder's prefix
# (here not those of the CGI program, which the test asks as well).
bash "$here/lighttpd.sh" fastcgi "$state" "$build/kelp"
port=$(bash "$here/lighttpd.sh" start "$state")
base="http://127.0.0.1:$port"
failures=0

# both NAME PATH CURL-ARGS...: the same request to the CGI program and to the responder
# (a .kp URL as it stands, through the rewrite; other paths below the prefix)
both() {
    local name=$1 path=$2
    shift 2
    local cgi fcgi url="$base/kelp$path"
    [[ "$path" =~ \.kp(\?|$) ]] && url="$base$path"
    cgi=$(curl -s -o "$state/cgi-body" -w '%{http_code} %{content_type}' "$@" "$base/cgi-bin/kelp$path")
    fcgi=$(curl -s -o "$state/fcgi-body" -w '%{http_code} %{content_type}' "$@" "$url")
    if [ "$cgi" != "$fcgi" ] || ! cmp -s "$state/cgi-body" "$state/fcgi-body"; then
        echo "FAIL $name: CGI [$cgi] $(head -c 300 "$state/cgi-body")"
        echo "     FastCGI [$fcgi] $(head -c 300 "$state/fcgi-body")"
        failures=$((failures + 1))
    fi
}

both "GET" "/hello.kp?name=World"
both "GET with nothing set" "/hello.kp"
both "POST" "/form.kp?q=x" --data 'a=1&b=two%21'
both "POST, then nothing set" "/form.kp"
head -c 5000 /dev/urandom > "$state/upload.bin"
both "upload" "/upload.kp" -F note=hi -F "doc=@$state/upload.bin;type=application/octet-stream" \
    -F "other=@$state/upload.bin;type=text/plain"
if ls "$site" | grep -q '^KELP_FUP'; then
    echo "FAIL upload: an upload the page did not move was left behind: $(ls "$site")"
    failures=$((failures + 1))
fi
both "an error" "/broken.kp" --data "q=a"
both "after an error" "/hello.kp?name=again"
# A request that sets variables, languages, levels and error settings, declares a
# function, adds to a table it keeps open, holds a lock file, leaves an upload where it
# was written and ends with an error: the next request on the same responder sees
# none of it (both programs are asked, so the table has four records after).
both "a request that leaves everything" "/leak_a.kp" -F "doc=@$state/upload.bin"
both "the request after it" "/leak_b.kp"
if ls "$site" | grep -q '^KELP_FUP'; then
    echo "FAIL leak: an upload was left behind: $(ls "$site")"
    failures=$((failures + 1))
fi
printf '[] [] [en-US] [en-US]\n[0] [locked]\n[2]\n' > "$state/leak-start"
cmp -s -n "$(wc -c < "$state/leak-start")" "$state/leak-start" "$state/fcgi-body" || {
    echo "FAIL leak: $(head -c 400 "$state/fcgi-body")"; failures=$((failures + 1)); }
# The worker keeps pages it has read, but a page or an included file changed in place
# (the same length, so only its times tell) is read again.
printf '<KpDO FILE="part.kp">A\n' > "$site/cached.kp"
printf 'one' > "$site/part.kp"
sleep 1.2  # older than a second: kept once read
for i in 1 2 3; do both "a page kept $i" "/cached.kp"; done
[ "$(tr -d '\r\n' < "$state/fcgi-body")" = oneA ] || { echo "FAIL kept page: $(cat "$state/fcgi-body")"; failures=$((failures + 1)); }
printf '<KpDO FILE="part.kp">B\n' > "$site/cached.kp"
printf 'two' > "$site/part.kp"
both "a page changed in place" "/cached.kp"
[ "$(tr -d '\r\n' < "$state/fcgi-body")" = twoB ] || { echo "FAIL changed page: $(cat "$state/fcgi-body")"; failures=$((failures + 1)); }
both "directory default" "/sub/"
both "missing page" "/missing.kp"
both "extension" "/notes.txt"
for i in 1 2 3 4 5; do both "repeated $i" "/hello.kp?name=$i"; done

# The worker: killed, it is replaced and no request fails; after its 20 requests it
# is replaced by a fresh one.
supervisor=$(pgrep -o -f "^$state/fcgi/kelp" || true)
worker() { pgrep -P "$supervisor" | tr '\n' ' '; }
first=$(worker)
[ "$(wc -w <<< "$first")" = 1 ] || { echo "FAIL workers: [$first]"; failures=$((failures + 1)); }
kill -9 $first
for i in 1 2 3; do both "after the worker was killed $i" "/hello.kp?name=k$i"; done
second=$(worker)
[ "$(wc -w <<< "$second")" = 1 ] && [ "$second" != "$first" ] ||
    { echo "FAIL the killed worker [$first] was not replaced: [$second]"; failures=$((failures + 1)); }
for i in $(seq 1 20); do both "until it is recycled $i" "/hello.kp?name=r$i"; done
third=$(worker)
[ "$(wc -w <<< "$third")" = 1 ] && [ "$third" != "$second" ] ||
    { echo "FAIL the worker [$second] was not recycled: [$third]"; failures=$((failures + 1)); }

# A worker stuck in a request (stopped here) is killed once the request is 5 s past its
# time limit: the web server gets a closed connection, the activity log a line, and the
# next request a fresh worker.
stuck=$(worker | tr -d " ")
started=$(date +%s)
curl -s -o /dev/null -w '%{http_code}' --max-time 30 "$base/slow.kp" > "$state/stuck-status" &
client=$!
sleep 0.5
kill -STOP $stuck
wait "$client" || true
took=$(( $(date +%s) - started ))
[[ "$(cat "$state/stuck-status")" =~ ^(5..|000)$ ]] && [ "$took" -ge 7 ] && in_time "$took" 15 ||
    { echo "FAIL stuck worker: status [$(cat "$state/stuck-status")] after $took s"; failures=$((failures + 1)); }
grep -q "|WORKERKILLED|.*FastCGI worker $stuck killed: its request ran" "$state/activity.log" ||
    { echo "FAIL stuck worker: no log line"; failures=$((failures + 1)); }
both "after a stuck worker" "/hello.kp?name=s"
[ "$(worker | tr -d " ")" != "$stuck" ] || { echo "FAIL the stuck worker was not replaced"; failures=$((failures + 1)); }

# SIGHUP with a changed configuration: the configuration is read again (requests
# between readings use the one read at start), requests made meanwhile all succeed,
# and the worker is replaced by one with the new configuration.
motto() { curl -s "$base/motto.kp" | tr -d '\r\n'; }
[ "$(motto)" = "[first]" ] || { echo "FAIL site variable: [$(motto)]"; failures=$((failures + 1)); }
sed -i "s|^sitevars = .*|sitevars = $state/vars2|" "$state/fcgi/kelp.conf"
[ "$(motto)" = "[first]" ] || { echo "FAIL configuration read before SIGHUP: [$(motto)]"; failures=$((failures + 1)); }
before=$(worker | tr -d " ")
( for i in $(seq 60); do curl -s -o /dev/null -w '%{http_code}\n' "$base/hello.kp?name=h$i"; done ) > "$state/hup-statuses" &
during=$!
sleep 0.2
kill -HUP "$supervisor"
wait "$during"
[ "$(sort -u "$state/hup-statuses")" = 200 ] && [ "$(wc -l < "$state/hup-statuses")" = 60 ] ||
    { echo "FAIL requests during SIGHUP: $(sort "$state/hup-statuses" | uniq -c | tr '\n' ' ')"; failures=$((failures + 1)); }
[ "$(motto)" = "[second]" ] || { echo "FAIL configuration after SIGHUP: [$(motto)]"; failures=$((failures + 1)); }
after=$(worker | tr -d " ")
[ -n "$after" ] && [ "$after" != "$before" ] || { echo "FAIL SIGHUP: worker [$before] then [$after]"; failures=$((failures + 1)); }

# SIGTERM to the supervisor while a slow page runs: the page finishes, then the
# workers and the supervisor end.
curl -s -o "$state/slow-body" -w '%{http_code}' "$base/slow.kp" > "$state/slow-status" &
slow=$!
sleep 0.7
kill -TERM "$supervisor"
wait "$slow" || true
[ "$(cat "$state/slow-status")" = 200 ] && [ "$(tr -d '\r\n' < "$state/slow-body")" = finished ] ||
    { echo "FAIL stopping: [$(cat "$state/slow-status")] $(head -c 200 "$state/slow-body")"; failures=$((failures + 1)); }
for _ in $(seq 50); do kill -0 "$supervisor" 2> /dev/null || break; sleep 0.1; done
kill -0 "$supervisor" 2> /dev/null && { echo "FAIL the supervisor did not stop"; failures=$((failures + 1)); }

[ "$failures" = 0 ] && echo "fastcgi_through_lighttpd: all passed"
exit "$failures"
