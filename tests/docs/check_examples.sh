#!/bin/sh
# check_examples.sh KELP DOCS_DIR
# Runs the examples of the script author's reference and compares their output:
# - every ```kelp block followed by an ```output block (the page's output after
#   the header block);
# - every table row | ... | `expression` | `result` | (the value of the expression).
kelp=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
pagerunner=$(cd "$(dirname "$0")/../pages" && pwd)/kelp_page.sh
docs=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
count=0

for doc in "$docs"/*.md; do
    awk -v dir="$work" -v base="$(basename "$doc" .md)" '
        /^```kelp$/   { n++; file = dir "/" base "-" n ".kp"; mode = 1; printf "" > file; next }
        /^```output$/ { file = dir "/" base "-" n ".out"; mode = 1; printf "" > file; next }
        /^```$/       { mode = 0; next }
        mode          { print >> file; next }
        /^\|/ {
            k = split($0, cell, "|")
            if (k < 6) next
            e = cell[k - 2]; r = cell[k - 1]
            gsub(/^ +| +$/, "", e); gsub(/^ +| +$/, "", r)
            if (e !~ /^`.*`$/ || r !~ /^`.*`$/) next
            n++
            e = substr(e, 2, length(e) - 2); r = substr(r, 2, length(r) - 2)
            print "<KpEVAL EXPR=" e ">" > (dir "/" base "-" n ".kp")
            printf "%s", r > (dir "/" base "-" n ".out")
        }
    ' "$doc"
done

for page in "$work"/*.kp; do
    [ -e "$page" ] || continue
    expected="${page%.kp}.out"
    [ -e "$expected" ] || continue
    count=$((count + 1))
    actual="${page%.kp}.actual"
    # The page's output without the header block (up to the first empty line).
    sh "$pagerunner" "$kelp" "$work" "$(basename "$page")" | tr -d '\r' | awk 'body { print; next } /^$/ { body = 1 }' > "$actual.full"
    # A table example prints no line end; compare without the final one.
    if grep -q . "$expected" && [ "$(tail -c 1 "$expected" | od -An -c | tr -d ' ')" != '\n' ]; then
        printf "%s" "$(cat "$actual.full")" > "$actual"
    else
        cp "$actual.full" "$actual"
    fi
    if ! cmp -s "$expected" "$actual"; then
        failed=$((failed + 1))
        echo "== example $(basename "$page") differs:"
        cat "$page"
        echo "-- expected:"; cat "$expected"; echo
        echo "-- actual:"; cat "$actual"; echo
    fi
done
echo "$count examples checked, $failed failed"
[ "$count" -gt 0 ] && [ "$failed" -eq 0 ]
