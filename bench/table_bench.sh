#!/bin/bash
# Tables with one index against sqlite3: N inserts, N look-ups by key and a walk in
# key order, records per second each, and the ratios (sqlite3 / kelp). Each side runs
# ROUNDS times on fresh files, the two taking turns, and each phase's median counts:
# one run of a phase lasts a few tens of milliseconds, and a burst of the machine's
# other load during it would otherwise decide the ratio.
# Usage: table_bench.sh BUILD_DIR [N] [ROUNDS]
set -eu
build=$(cd "$1" && pwd)
n=${2:-100000}
rounds=${3:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s%N; }
{
    echo "CREATE TABLE t (id INTEGER, name TEXT); CREATE UNIQUE INDEX t_id ON t (id);"
    echo "BEGIN;"
    awk -v n="$n" 'BEGIN { for (i = 0; i < n; i++) { k = (i * 7919) % n; printf "INSERT INTO t VALUES (%d, '"'"'name %d'"'"');\n", k, k } }'
    echo "COMMIT;"
} > "$work/insert.sql"
awk -v n="$n" 'BEGIN { for (i = 0; i < n; i++) printf "SELECT name FROM t WHERE id = %d;\n", (i * 104729) % n }' > "$work/lookup.sql"
rate() { awk -v n="$n" -v d="$1" 'BEGIN { printf "%.0f", n / (d / 1e9) }'; }

for ((r = 0; r < rounds; r++)); do
    read -r _ a _ l _ w <<< "$("$build/bench/table_bench" "$n")"
    echo "$a" >> "$work/kelp_append"; echo "$l" >> "$work/kelp_lookup"; echo "$w" >> "$work/kelp_walk"
    rm -f "$work/t.db"
    t0=$(now); sqlite3 "$work/t.db" < "$work/insert.sql"; t1=$(now)
    sqlite3 "$work/t.db" < "$work/lookup.sql" > /dev/null; t2=$(now)
    sqlite3 "$work/t.db" "SELECT id FROM t ORDER BY id;" > /dev/null; t3=$(now)
    rate $((t1 - t0)) >> "$work/sqlite_append"; echo >> "$work/sqlite_append"
    rate $((t2 - t1)) >> "$work/sqlite_lookup"; echo >> "$work/sqlite_lookup"
    rate $((t3 - t2)) >> "$work/sqlite_walk"; echo >> "$work/sqlite_walk"
done

median() { sort -n "$work/$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }
for phase in append lookup walk; do
    k=$(median "kelp_$phase"); s=$(median "sqlite_$phase")
    printf "%-7s kelp %9s/s   sqlite3 %9s/s   ratio %s\n" "$phase" "$k" "$s" "$(ratio "$s" "$k")"
done
