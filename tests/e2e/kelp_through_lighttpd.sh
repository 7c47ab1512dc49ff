#!/bin/bash
# kelp behind a real lighttpd, requested with curl: .kp URLs are rewritten to the
# CGI program (/cgi-bin/kelp/PAGE, so the page arrives as PATH_INFO), the way the
# README installs it.
# Usage: kelp_through_lighttpd.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d "$build/e2e-kelp-XXXXXX")
trap 'bash "$here/lighttpd.sh" stop "$state"; rm -rf "$state"' EXIT

site="$state/site"
mkdir -p "$site" "$state/outside" "$state/htdocs/cgi-bin"
cp -R "$here/site/." "$site/"
printf 'secret\n' > "$state/outside/secret.kp"
ln -s ../outside/secret.kp "$site/link.kp"
cp "$build/kelp" "$state/htdocs/cgi-bin/kelp"
cat > "$state/htdocs/cgi-bin/kelp.conf" <<CONF
kelproot = $site
stdmodedatadir = $site
validextensions = kp
stdmodedatdir = $state/outside
CONF
cat > "$state/extra.conf" <<CONF
url.rewrite-once = ( "^(/[^?]*\\.kp|/[^?]*/)(\\?(.*))?\$" => "/cgi-bin/kelp\$1?\$3" )
server.breakagelog = "$state/cgi-error.log"
CONF
port=$(bash "$here/lighttpd.sh" start "$state")
base="http://127.0.0.1:$port"
failures=0

# check NAME EXPECTED ACTUAL
check() {
    if [ "$2" != "$3" ]; then
        echo "FAIL $1: expected [$2], got [$3]"
        failures=$((failures + 1))
    fi
}
# request CURL-ARGS...: body in $state/body, headers in $state/headers, prints the status
request() {
    curl -s -o "$state/body" -D "$state/headers" -w '%{http_code}' "$@"
}
header() { grep -i "^$1:" "$state/headers" | head -n 1 | cut -d' ' -f2- | tr -d '\r'; }

check "GET status" 200 "$(request "$base/hello.kp?name=World")"
check "GET page" "<html><body>Hello World (Redirect, 2 args, GET)</body></html>" "$(cat "$state/body")"
check "GET type" "text/html" "$(header Content-type)"

check "POST status" 200 "$(request --data 'a=1&b=two%21' "$base/form.kp?q=x")"
check "POST page" "a=[1] b=[two!] q=[x]" "$(cat "$state/body")"

head -c 5000 /dev/urandom > "$state/upload.bin"
check "upload status" 200 "$(request -F note=hi -F "doc=@$state/upload.bin;type=application/octet-stream" \
    -F "other=@$state/upload.bin;type=text/plain" "$base/upload.kp")"
check "upload page" "note=[hi] uploads=[doc upload.bin COMPLETE application/octet-stream 5000;other upload.bin COMPLETE text/plain 5000;]" \
    "$(tail -n 1 "$state/body")"
# The page moved one upload with FILE RENAME and the name it was given; the one it
# left is gone when the request ends.
if ! cmp -s "$state/upload.bin" "$site/kept.bin"; then
    echo "FAIL upload: the moved file does not hold the uploaded bytes"
    failures=$((failures + 1))
fi
if ls "$site" | grep -q '^KELP_FUP'; then
    echo "FAIL upload: an upload the page did not move was left behind: $(ls "$site")"
    failures=$((failures + 1))
fi

check "directory default" 200 "$(request "$base/sub/")"
check "directory page" "sub index" "$(cat "$state/body")"

check "missing status" 404 "$(request "$base/missing.kp")"
check "missing page" "Error opening 'missing.kp': No such file or directory" "$(tr -d '\r' < "$state/body")"

check "dot-dot status" 403 "$(request "$base/cgi-bin/kelp?../outside/secret.kp")"
grep -q "is not contained in the configured script directory" "$state/body" || {
    echo "FAIL dot-dot message: $(cat "$state/body")"; failures=$((failures + 1)); }
check "symbolic link status" 403 "$(request "$base/link.kp")"
grep -q "secret" "$state/body" && { echo "FAIL symbolic link: the outside file was read"; failures=$((failures + 1)); }

check "extension status" 403 "$(request "$base/cgi-bin/kelp/notes.txt")"
check "extension page" "Fatal Error: 'notes.txt' does not have a valid script extension" \
    "$(tr -d '\r' < "$state/body")"

request "$base/hello.kp" > /dev/null
cookie=$(header Set-Cookie)
case "$cookie" in
    brncallerid=*"; expires="*" GMT; path=/") ;;
    *) echo "FAIL new cookie: [$cookie]"; failures=$((failures + 1)) ;;
esac
request -H 'Cookie: brncallerid=ABC123' "$base/hello.kp" > /dev/null
check "renewed cookie" "brncallerid=ABC123" "$(header Set-Cookie | cut -d';' -f1)"
request -H 'Cookie: brncallerid=<b>x</b>' "$base/hello.kp" > /dev/null
case "$(header Set-Cookie)" in
    *"<b>"*) echo "FAIL: an invalid caller id was echoed back"; failures=$((failures + 1)) ;;
esac

# Hostile requests with the web server in front: whatever lighttpd lets through, the
# answer is a refusal or a normal page, never a page outside the root or a crash
# ("000": the server closed the connection without an answer).
# hostile NAME STATUS-REGEX CURL-ARGS...
hostile() {
    local name=$1 want=$2
    shift 2
    local status
    status=$(request --path-as-is --max-time 20 "$@") || true
    [[ "$status" =~ ^($want)$ ]] || { echo "FAIL hostile $name: status $status"; failures=$((failures + 1)); }
    if grep -q "^secret" "$state/body"; then echo "FAIL hostile $name: showed the secret"; failures=$((failures + 1)); fi
}
mb=$(head -c 1048576 /dev/zero | tr '\0' a)
printf 'Cookie: brncallerid=%s\r\n' "$mb" > "$state/cookie-header"
hostile "1 MB cookie" "000|400|413|431" -H @"$state/cookie-header" "$base/hello.kp"
printf 'X-Long: %s\r\n' "$mb" > "$state/long-header"
hostile "1 MB header" "000|400|413|431" -H @"$state/long-header" "$base/hello.kp"
# (A URL this long does not fit curl's command line: the request is written by hand.)
long=$( { exec 3<>"/dev/tcp/127.0.0.1/${base##*:}"
          printf 'GET /hello.kp?name=%s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$mb" >&3 2> /dev/null
          head -n 1 <&3 | tr -d '\r'; exec 3<&-; } 2> /dev/null)
case "$long" in ""|"HTTP/1."?" 4"*) ;; *) echo "FAIL hostile 1 MB query: $long"; failures=$((failures + 1)) ;; esac
hostile "60 KB header" "200|400|413|431" -H "X-Long: ${mb:0:60000}" "$base/hello.kp"
hostile "dot-dot path" "400|403|404" "$base/cgi-bin/kelp/../../outside/secret.kp"
hostile "encoded dot-dot" "400|403|404" "$base/cgi-bin/kelp/%2e%2e/outside/secret.kp"
hostile "backslashes" "400|403|404" "$base/cgi-bin/kelp/..%5c..%5coutside%5csecret.kp"
hostile "NUL in the path" "400|403|404" "$base/cgi-bin/kelp/hello.kp%00.txt"
hostile "link out of the root" "403|404" "$base/link.kp"
head -c 20000000 /dev/zero | tr '\0' a > "$state/big-body"
hostile "20 MB body" "200|413" --data-binary @"$state/big-body" "$base/form.kp"

# Every error a page shows is also one line of the server's CGI error log, visitor
# text with it encoded and its line breaks escaped; the misspelt key above is
# named with its file and line.
request --data "q=a%0Ab%3Cscript%3E" "$base/broken.kp" > /dev/null
log=$(cat "$state/cgi-error.log")
expect_log() {
    grep -qF -- "$1" <<< "$log" || { echo "FAIL error log lacks: $1"; failures=$((failures + 1)); }
}
expect_log "kelp: broken.kp: Line 1: KpOPEN: Runtime Error: Error opening 'a\\x0ab&lt;script&gt;': No such file or directory"
expect_log "kelp: broken.kp: Line 2: Expression Error: Call to undefined function 'nosuch'"
expect_log "kelp: $state/htdocs/cgi-bin/kelp.conf: line 4: warning: unknown configuration key 'stdmodedatdir'"
expect_log "kelp: $state/htdocs/cgi-bin/kelp.conf: warning: stdmodedatadir '$site' is inside kelproot '$site'"
if grep -q "<script>" <<< "$log"; then echo "FAIL error log holds raw markup"; failures=$((failures + 1)); fi

[ "$failures" -eq 0 ] || exit 1
echo "kelp through lighttpd: ok"
