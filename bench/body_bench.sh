#!/bin/sh
# Times the reading of URL-encoded request bodies made of one field repeated
# ("a=x&" again and again), 1 MB and 10 MB, through the CGI program with the body
# limits raised, and prints the times and their ratio: work that grows linearly with
# the body gives about 10.
# Usage: body_bench.sh BUILD_DIR
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/site"
printf 'fields read: &[n]' > "$work/site/body.kp"
ln -s "$build/kelp" "$work/kelp"
printf '%s\n' "kelproot = $work/site" "stdmodedatadir = $work" "usecookies = off" \
    "maxcontentlength = 20000000" "maxformfields = 5000000" > "$work/kelp.conf"
python3 -c "import sys; sys.stdout.write('a=x&' * 262144)" > "$work/1mb"
python3 -c "import sys; sys.stdout.write('a=x&' * 2621440)" > "$work/10mb"

# best NAME: the best of five runs in milliseconds
best() {
    b=""
    for _ in 1 2 3 4 5; do
        start=$(date +%s%N)
        env -i PATH_INFO=/body.kp REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded \
            CONTENT_LENGTH=$(wc -c < "$work/$1") "$work/kelp" < "$work/$1" > /dev/null
        t=$((($(date +%s%N) - start) / 1000))
        if [ -z "$b" ] || [ "$t" -lt "$b" ]; then b=$t; fi
    done
    echo "$b"
}
one=$(best 1mb)
ten=$(best 10mb)
printf 'body of one repeated field   1 MB %8d us   10 MB %8d us   ratio %s\n' "$one" "$ten" \
    "$(awk -v a="$one" -v b="$ten" 'BEGIN { printf "%.1f", b / a }')"
