#!/bin/bash
# One FastCGI worker behind a real lighttpd serves REQUESTS requests of the demo site's
# pages (home, guestbook, editing, import and export, files, a page with errors), two
# at a time (the errors page is left out: it asks the same site for another page,
# which one busy worker cannot answer), and must stay the same process throughout: no request may
# fail to be answered, standard error must hold no sanitizer report, and the worker's
# resident memory must not grow by more than 2 MB between the end of a warm-up (a
# tenth of the requests) and the end. With CHECK_MEMORY=no (a sanitizer build, whose
# allocator keeps freed memory on purpose) the memory is reported, not checked.
# Usage: fastcgi_endurance.sh BUILD_DIR REQUESTS [CHECK_MEMORY]
set -eu
build=$(cd "$1" && pwd)
requests=$2
checkmemory=${3:-yes}
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../.." && pwd)
state=$(mktemp -d "$build/e2e-fastcgi-endurance-XXXXXX")
trap 'bash "$here/lighttpd.sh" stop "$state"; rm -rf "$state"' EXIT
command -v ab > /dev/null || { echo "ab is missing (make test installs apache2-utils)"; exit 1; }
site="$source/examples/site"
mkdir -p "$state/fcgi" "$state/data/exports" "$state/data/uploads"
printf '%s\n' "kelproot = $site" "stdmodedatadir = $state/data" "tempdir = $state/data" \
    "validextensions = kp" "fastcgiworkers = 1" "fastcgirequests = 0" > "$state/fcgi/kelp.conf"
bash "$here/lighttpd.sh" fastcgi "$state" "$build/kelp"
port=$(bash "$here/lighttpd.sh" start "$state")
base="http://127.0.0.1:$port"
# The guestbook's first request makes its table. Each page answers as it should before
# it is asked again and again.
for page in index.kp guestbook.kp edit.kp transfer.kp upload.kp; do
    code=$(curl -s -o "$state/page" -w '%{http_code}' "$base/$page")
    [ "$code" = 200 ] && grep -q "</html>" "$state/page" || { echo "FAIL $page: $code $(head -c 300 "$state/page")"; exit 1; }
done
pages=(index.kp guestbook.kp "guestbook.kp?lang=de" edit.kp transfer.kp upload.kp samples/broken.kp)
supervisor=$(pgrep -o -f "^$state/fcgi/kelp")
worker=$(pgrep -P "$supervisor")
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$worker/status"; }
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
# serve N: N requests spread over the pages; a request not answered is a failure.
serve() {
    local each=$(( $1 / ${#pages[@]} ))
    [ "$each" -gt 1 ] || each=2
    for page in "${pages[@]}"; do
        out=$(ab -q -l -s 30 -n "$each" -c 2 "$base/$page" 2>&1)
        done=$(awk '/^Complete requests:/ { print $3 }' <<< "$out")
        # Answers whose length differs from the first are expected (the pages change);
        # refused connections, broken answers and exceptions are not.
        broken=$(awk '/\(Connect:/ { gsub(/[(),]/, " "); print $2 + $4 + $8 }' <<< "$out")
        [ "$done" = "$each" ] && [ "${broken:-0}" = 0 ] || fail "$page: $done of $each answered, $broken broken"
    done
}
serve $(( requests / 10 ))
warm=$(rss)
serve $(( requests - requests / 10 ))
end=$(rss)
[ "$(pgrep -P "$supervisor")" = "$worker" ] || fail "the worker did not last: $worker, now $(pgrep -P "$supervisor")"
growth=$(( end - warm ))
if [ "$checkmemory" = yes ]; then
    [ "$growth" -le 2048 ] || fail "the worker's resident memory grew by $growth KB ($warm KB to $end KB)"
fi
if grep -E -q "ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:" "$state/fastcgi-stderr.log" "$state/error.log" 2> /dev/null; then
    fail "sanitizer reports: $(grep -E -h -m 3 "ERROR|runtime error" "$state/fastcgi-stderr.log" "$state/error.log")"
fi
echo "fastcgi_endurance: $requests requests, one worker, resident memory $warm KB after warm-up, $end KB at the end"
exit "$failures"
