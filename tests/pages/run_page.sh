#!/bin/sh
# run_page.sh KELP PAGE.kp
# Runs the page in a scratch copy of its directory (pages may create and delete
# files) and compares standard output byte for byte with PAGE.expected. With
# KELP_GOLDEN set, writes the output to PAGE.expected instead.
kelp=$1
page=$2
here=$(cd "$(dirname "$0")" && pwd)
expected="${page%.kp}.expected"
actual=$(mktemp)
work=$(mktemp -d)
cp -R "$(dirname "$page")"/. "$work"/
sh "$here/kelp_page.sh" "$kelp" "$work" "$(basename "$page")" > "$actual" 2>/dev/null
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
