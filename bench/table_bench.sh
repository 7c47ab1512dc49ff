#!/bin/bash
# Tables with one index against sqlite3: N inserts, N look-ups by key and a walk in
# key order, records per second each, and the ratios (sqlite3 / kelp).
# Usage: table_bench.sh BUILD_DIR [N]
set -eu
build=$(cd "$1" && pwd)
n=${2:-100000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
read -r _ kappend _ klookup _ kwalk <<< "$("$build/bench/table_bench" "$n")"

now() { date +%s%N; }
{
    echo "CREATE TABLE t (id INTEGER, name TEXT); CREATE UNIQUE INDEX t_id ON t (id);"
    echo "BEGIN;"
    awk -v n="$n" 'BEGIN { for (i = 0; i < n; i++) { k = (i * 7919) % n; printf "INSERT INTO t VALUES (%d, '"'"'name %d'"'"');\n", k, k } }'
    echo "COMMIT;"
} > "$work/insert.sql"
awk -v n="$n" 'BEGIN { for (i = 0; i < n; i++) printf "SELECT name FROM t WHERE id = %d;\n", (i * 104729) % n }' > "$work/lookup.sql"
t0=$(now); sqlite3 "$work/t.db" < "$work/insert.sql"; t1=$(now)
sqlite3 "$work/t.db" < "$work/lookup.sql" > /dev/null; t2=$(now)
sqlite3 "$work/t.db" "SELECT id FROM t ORDER BY id;" > /dev/null; t3=$(now)
rate() { awk -v n="$n" -v d="$1" 'BEGIN { printf "%.0f", n / (d / 1e9) }'; }
sappend=$(rate $((t1 - t0))); slookup=$(rate $((t2 - t1))); swalk=$(rate $((t3 - t2)))
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
printf "%-7s kelp %9s/s   sqlite3 %9s/s   ratio %s\n" append "$kappend" "$sappend" "$(ratio "$sappend" "$kappend")"
printf "%-7s kelp %9s/s   sqlite3 %9s/s   ratio %s\n" lookup "$klookup" "$slookup" "$(ratio "$slookup" "$klookup")"
printf "%-7s kelp %9s/s   sqlite3 %9s/s   ratio %s\n" walk "$kwalk" "$swalk" "$(ratio "$swalk" "$kwalk")"
