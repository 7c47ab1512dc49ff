#!/bin/sh
# Requests per second of nph-tally, one process at a time, next to a program that
# only writes a fixed 1 x 1 GIF (the cost of starting a process and answering).
# Usage: tally_bench.sh BUILD_DIR [REQUESTS]
build=$(cd "$1" && pwd)
requests=${2:-300}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/digits"
"$build/tally-digits" "$work/digits" || exit 1
cd "$work" || exit 1

rate() {  # requests per second of "$@"
    start=$(date +%s%N)
    i=0
    while [ $i -lt "$requests" ]; do
        QUERY_STRING="link=bench&width=5" REQUEST_METHOD=GET "$@" > /dev/null
        i=$((i + 1))
    done
    end=$(date +%s%N)
    awk "BEGIN { printf \"%.0f\", $requests * 1000000000 / ($end - $start) }"
}

tally=$(rate "$build/nph-tally-test")
floor=$(rate "$build/bench/gif-floor")
echo "nph-tally $tally requests/s, fixed GIF $floor requests/s, ratio $(awk "BEGIN { printf \"%.2f\", $floor / $tally }")"
grep -q "bench	$requests" count_file || { echo "count file does not hold $requests"; exit 1; }
