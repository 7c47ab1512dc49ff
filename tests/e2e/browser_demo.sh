#!/bin/bash
# The demo site as `make demo` serves it (lighttpd, kelp, the counter), on a free
# loopback port with its own data, walked by headless chromium (browser_demo.py).
# Screenshots of every step go to BUILD_DIR/screenshots/.
# Usage: browser_demo.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
. "$source/tests/e2e/servers.sh"
state=$(mktemp -d "$build/e2e-browser-XXXXXX")
port=$(free_port)
TALLY="$build/nph-tally-test" sh "$source/examples/demo.sh" "$build" "$port" "$state" > "$state/server.log" 2>&1 &
server=$!
trap 'kill $server 2> /dev/null; wait $server 2> /dev/null; rm -rf "$state"' EXIT
for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2> /dev/null && break
    sleep 0.1
done
rm -rf "$build/screenshots"
/usr/bin/python3 "$source/tests/e2e/browser_demo.py" "http://127.0.0.1:$port" "$state/htdocs/cgi-bin" \
    "$build/screenshots"
status=$?
# A second demo on the same port says the port is taken, and never that it serves.
second=$(timeout 30 sh "$source/examples/demo.sh" "$build" "$port" "$state/second" 2>&1)
code=$?
if [ $code = 0 ] || [ $code = 124 ] || ! grep -q "make demo PORT=" <<< "$second" || grep -q "Kelp demo on" <<< "$second"; then
    echo "FAIL a demo on a taken port (exit $code): $second"
    status=1
fi
# The tables the site wrote pass the table checker.
"$build/kelp-table" check "$state/data/guestbook.dbf" "$state/data/gb_id.kpx" "$state/data/gb_name.kpx" ||
    status=1
exit $status
