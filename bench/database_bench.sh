#!/bin/bash
# One page's work on a table: 10000 records added with two indexes open, each found
# by its key, all walked in key order (bench/database/tables.kp), against the same
# work by the sqlite3 program (the inserts in one transaction, indexed look-ups) and
# by php-cgi with SQLite (bench/database/tables.php). Best of three runs each, taken
# in turns; prints the times and the ratios to sqlite3.
# Usage: database_bench.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")/database" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/site" "$work/data"
cp "$here/tables.kp" "$work/site/"
cp "$build/kelp" "$work/kelp"
printf '%s\n' "kelproot = $work/site" "stdmodedatadir = $work/data" "usecookies = off" \
    "globaltimeout = 0" > "$work/kelp.conf"
{
    echo "CREATE TABLE t (id INTEGER, name TEXT); CREATE INDEX t_id ON t (id); CREATE INDEX t_name ON t (name);"
    echo "BEGIN;"
    awk 'BEGIN { for (i = 0; i < 10000; i++) { k = (i * 7919) % 10000; printf "INSERT INTO t VALUES (%d, '"'"'name %d'"'"');\n", k, k } }'
    echo "COMMIT;"
    awk 'BEGIN { for (i = 0; i < 10000; i++) printf "SELECT name FROM t WHERE id = %d;\n", (i * 104729) % 10000 }'
    echo "SELECT id, name FROM t ORDER BY id;"
} > "$work/work.sql"

now() { date +%s%N; }
kelp_run() {
    rm -f "$work/data/"*.dbf "$work/data/"*.kpx
    out=$(cd "$work/site" && env -i PATH_INFO=/tables.kp "$work/kelp" | tail -n 1 | tr -d '\r')
    [ "$out" = "found 10000 walked 10000" ] || { echo "tables.kp: $out" >&2; exit 1; }
}
sqlite_run() {
    rm -f "$work/t.db"
    [ "$(sqlite3 "$work/t.db" < "$work/work.sql" | wc -l)" = 20000 ] || { echo "sqlite3 run failed" >&2; exit 1; }
}
php_run() {
    rm -f "$work/p.db"
    out=$(BENCH_DB="$work/p.db" php-cgi -q -f "$here/tables.php")
    [ "$out" = "found 10000 walked 10000" ] || { echo "tables.php: $out" >&2; exit 1; }
}
best_kelp=""; best_sqlite=""; best_php=""
php=$(command -v php-cgi || true)
for _ in 1 2 3; do
    for who in kelp sqlite php; do
        [ "$who" = php ] && [ -z "$php" ] && continue
        t0=$(now); "${who}_run"; t=$((($(now) - t0) / 1000000))
        eval "b=\${best_$who}"
        if [ -z "$b" ] || [ "$t" -lt "$b" ]; then eval "best_$who=$t"; fi
    done
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
printf 'table page: kelp %6d ms   sqlite3 %6d ms   ratio %s\n' "$best_kelp" "$best_sqlite" \
    "$(ratio "$best_kelp" "$best_sqlite")"
if [ -n "$php" ]; then
    printf 'table page: php-cgi with SQLite %6d ms   ratio to sqlite3 %s\n' "$best_php" \
        "$(ratio "$best_php" "$best_sqlite")"
else
    echo "php-cgi is not installed: no comparison with PHP"
fi
