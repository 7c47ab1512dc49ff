#!/bin/sh
# run_page.sh RUNNER PAGE.kp
# Runs the page in its own directory and compares standard output byte for byte with
# PAGE.expected. With KELP_GOLDEN set, writes the output to PAGE.expected instead.
runner=$1
page=$2
expected="${page%.kp}.expected"
actual=$(mktemp)
(cd "$(dirname "$page")" && "$runner" "$(basename "$page")") > "$actual" 2>/dev/null
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
