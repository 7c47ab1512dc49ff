#!/bin/bash
# The record page on the SQL drivers (bench/database/records.kp: 10000 rows added in
# one transaction, each found by its key, all walked in key order) against the same
# work by php-cgi through PDO (bench/database/records.php), on the same SQLite file
# and the same PostgreSQL server (started here, on 127.0.0.1, fsync off for both).
# Best of three runs each, taken in turns.
# Usage: sql_bench.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
here=$root/bench/database
work=$(mktemp -d)
chmod 755 "$work"
. "$root/tests/data/postgres_server.sh"
trap 'pg_stop; rm -rf "$work"' EXIT
pg_start "$work/pg" > /dev/null
mkdir -p "$work/site" "$work/data"
cp "$here/records.kp" "$work/site/"
cp "$build/kelp" "$work/kelp"
printf '%s\n' "kelproot = $work/site" "stdmodedatadir = $work/data" "usecookies = off" \
    "globaltimeout = 0" \
    "<SQL-CONNECTION NAME=\"bench\" CONNECT=\"host=127.0.0.1 port=$PG_PORT dbname=shop user=web password=secret\">" \
    > "$work/kelp.conf"

now() { date +%s%N; }
kelp_run() {
    out=$(cd "$work/site" && env -i PATH_INFO=/records.kp "QUERY_STRING=$1" "$work/kelp" | tail -n 1 | tr -d '\r')
    [ "$out" = "found 10000 walked 10000" ] || { echo "records.kp ($1): $out" >&2; exit 1; }
}
php_run() {
    out=$(BENCH_DSN=$1 BENCH_USER=web BENCH_PASSWORD=secret php-cgi -q -f "$here/records.php")
    [ "$out" = "found 10000 walked 10000" ] || { echo "records.php ($1): $out" >&2; exit 1; }
}
php=$(command -v php-cgi || true)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
for driver in sqlite postgresql; do
    if [ $driver = sqlite ]; then
        kelp_args="driver=sqlite&db=records.db"
        dsn="sqlite:$work/data/records.db"
        php -m 2> /dev/null | grep -q pdo_sqlite || php=""
    else
        kelp_args="driver=postgresql&db=bench"
        dsn="pgsql:host=127.0.0.1;port=$PG_PORT;dbname=shop"
        php -m 2> /dev/null | grep -q pdo_pgsql || php=""
    fi
    touch "$work/data/records.db"
    best_kelp=""
    best_php=""
    for _ in 1 2 3; do
        t0=$(now); kelp_run "$kelp_args"; t=$((($(now) - t0) / 1000000))
        if [ -z "$best_kelp" ] || [ "$t" -lt "$best_kelp" ]; then best_kelp=$t; fi
        [ -z "$php" ] && continue
        t0=$(now); php_run "$dsn"; t=$((($(now) - t0) / 1000000))
        if [ -z "$best_php" ] || [ "$t" -lt "$best_php" ]; then best_php=$t; fi
    done
    if [ -n "$best_php" ]; then
        printf 'record page on %-10s kelp %6d ms   php-cgi with PDO %6d ms   ratio %s\n' \
            "$driver" "$best_kelp" "$best_php" "$(ratio "$best_kelp" "$best_php")"
    else
        printf 'record page on %-10s kelp %6d ms   (php-cgi with its PDO driver is not installed)\n' \
            "$driver" "$best_kelp"
    fi
    php=$(command -v php-cgi || true)
done
