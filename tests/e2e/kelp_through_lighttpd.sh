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
CONF
cat > "$state/extra.conf" <<'CONF'
url.rewrite-once = ( "^(/[^?]*\.kp|/[^?]*/)(\?(.*))?$" => "/cgi-bin/kelp$1?$3" )
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

[ "$failures" -eq 0 ] || exit 1
echo "kelp through lighttpd: ok"
