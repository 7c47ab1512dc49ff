#!/bin/bash
# nph-tally behind a real lighttpd: the status line it writes itself reaches the
# browser, the picture is a GIF of the right size, and every hit is counted.
# Usage: tally_through_lighttpd.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d "$build/e2e-tally-XXXXXX")
trap 'bash "$here/lighttpd.sh" stop "$state"; rm -rf "$state"' EXIT
port=$(bash "$here/lighttpd.sh" start "$state")
# The test copy of the counter keeps its files in the directory it runs in, which
# for lighttpd's CGI programs is cgi-bin.
cgi="$state/htdocs/cgi-bin"
mkdir -p "$cgi/digits"
"$build/tally-digits" "$cgi/digits"
cp "$build/nph-tally-test" "$cgi/nph-tally"

fetch() {  # fetch PATH: the status line and headers, then the body in $state/body
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&3
    cat <&3 > "$state/response"
    exec 3<&-
    head -n 1 "$state/response" | tr -d '\r'
}

status=$(fetch "/cgi-bin/nph-tally?link=e2e&width=4")
[ "$status" = "HTTP/1.0 200 OK" ] || { echo "first request: $status"; exit 1; }
grep -qa "^Content-type: image/gif" "$state/response" || { echo "no GIF content type"; exit 1; }
grep -qa "^Cache-Control: no-store" "$state/response" || { echo "the image may be cached"; exit 1; }
# GIF logical screen: width and height, little-endian, after "GIF87a"/"GIF89a".
size=$(sed -n '/^GIF8/,$p' "$state/response" | head -c 10 | od -An -tu1 | awk '{ print $7 + 256 * $8 "x" $9 + 256 * $10 }')
[ "$size" = "60x20" ] || { echo "picture is $size, not 60x20"; exit 1; }
fetch "/cgi-bin/nph-tally?link=e2e" > /dev/null
# A failure reaches the browser as a failure (lighttpd puts its own reason phrase).
status=$(fetch "/cgi-bin/nph-tally?width=4")
[ "${status% *}" = "HTTP/1.0 500 Internal Server" ] || { echo "bad request: $status"; exit 1; }
[ "$(cat "$cgi/count_file")" = "$(printf '1\ne2e\t2')" ] || { echo "count file:"; cat "$cgi/count_file"; exit 1; }
echo "nph-tally through lighttpd: ok"
