#!/bin/sh
# run_page.sh KELP PAGE.kp
# Runs the page in a scratch copy of its directory (pages may create and delete
# files) and compares standard output byte for byte with PAGE.expected. With
# KELP_GOLDEN set, writes the output to PAGE.expected instead. Beside the page,
# PAGE.env holds extra CGI variables (NAME=value lines), PAGE.post a request body
# (sent as a URL-encoded POST unless PAGE.env says otherwise) and PAGE.conf extra
# configuration lines.
kelp=$1
page=$2
here=$(cd "$(dirname "$0")" && pwd)
expected="${page%.kp}.expected"
actual=$(mktemp)
work=$(mktemp -d)
cp -R "$(dirname "$page")"/. "$work"/
base="${page%.kp}"
envfile=$(mktemp)
[ -f "$base.env" ] && cat "$base.env" > "$envfile"
input=/dev/null
if [ -f "$base.post" ]; then
    input="$base.post"
    { echo "REQUEST_METHOD=POST"; echo "CONTENT_TYPE=application/x-www-form-urlencoded"
      echo "CONTENT_LENGTH=$(wc -c < "$base.post" | tr -d ' ')"; } > "$envfile.post"
    cat "$envfile" >> "$envfile.post"  # the page's own lines come last and win
    mv "$envfile.post" "$envfile"
fi
conffile=/dev/null
[ -f "$base.conf" ] && conffile="$base.conf"
KELP_ENV_FILE="$envfile" KELP_CONF_FILE="$conffile" \
    sh "$here/kelp_page.sh" "$kelp" "$work" "$(basename "$page")" < "$input" > "$actual" 2>/dev/null
rm -f "$envfile"
rm -rf "$work"
if [ -n "$KELP_GOLDEN" ]; then
    cp "$actual" "$expected"
    rm -f "$actual"
    exit 0
fi
if cmp -s "$actual" "$expected"; then
    rm -f "$actual"
    exit 0
fi
echo "output differs from $expected (- expected, + actual; \$ marks line ends):"
diff -u "$expected" "$actual" | sed 's/\r/\\r/g; s/$/$/' | head -60
rm -f "$actual"
exit 1
