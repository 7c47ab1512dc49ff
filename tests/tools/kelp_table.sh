#!/bin/bash
# kelp-table against tables pages write and tables another program wrote: the dump
# agrees with python3-dbfread, the check passes on sound files and finds each kind
# of damage, reindex mends an index, and check and pack run beside four processes
# adding records through pages without a record lost or damage reported that is not
# there.
# Usage: kelp_table.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
site="$work/site"
mkdir -p "$site" "$work/bin"
cp "$build/kelp" "$work/bin/kelp"
printf '%s\n' "kelproot = $site" "stdmodedatadir = $site" "usecookies = off" "globaltimeout = 0" \
    > "$work/bin/kelp.conf"
table="$build/kelp-table"
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
page() { (cd "$site" && env -i PATH_INFO="/$1" QUERY_STRING="${2:-}" "$work/bin/kelp" | tr -d '\r' | sed '1,/^$/d'); }

# dump --format=json against python3-dbfread, field by field.
same_as_dbfread() {
    "$table" dump "$1" --format=json > "$work/dump.json" || { fail "dump $1 failed"; return; }
    /usr/bin/python3 - "$1" "$work/dump.json" <<'PY' || fail "dump of $1 differs from dbfread"
import json, sys, datetime
from dbfread import DBF
t = DBF(sys.argv[1], load=True, char_decode_errors='replace')
ours = [json.loads(l) for l in open(sys.argv[2], encoding='utf-8')]
def canon(v):
    if isinstance(v, datetime.date): return v.isoformat()
    if isinstance(v, (int, float)) and not isinstance(v, bool): return round(float(v), 6)
    if isinstance(v, str): return v.rstrip(' ')
    return v
theirs = [(False, r) for r in t.records] + [(True, r) for r in t.deleted]
mine = [r for r in ours if not r['_deleted']] + [r for r in ours if r['_deleted']]
ok = len(theirs) == len(mine)
for (deleted, r), m in zip(theirs, mine):
    if m['_deleted'] != deleted: ok = False
    for k, v in r.items():
        if canon(v) != canon(m.get(k)):
            print('field', k, repr(v), repr(m.get(k)), file=sys.stderr); ok = False
sys.exit(0 if ok else 1)
PY
}

# A table with every column type and two indexes, written by a page.
cat > "$site/make.kp" <<'EOF'
<KpCREATE NAME="t" DATABASE="t.dbf" FIELDS="name CHAR(30), price NUMBER(7.2), born DATE, ok BOOL, note MEMO"><KpMAKEINDEX NAME="t" INDEXFILE="name.kpx" EXPR=name><KpMAKEINDEX NAME="t" INDEXFILE="price.kpx" EXPR=price FLAGS="descending"><KpLET i=1><KpWHILE EXPR=i LE 60><KpLET name="item " $ i><KpLET price=i * 1.25><KpLET born_raw="2026120" $ (i MOD 9 + 1)><KpLET ok=i MOD 2><KpLET note="note " $ i $ " <b>x</b>"><KpADD><KpLET i=i + 1></KpWHILE><KpGO ROW=7><KpDELETE>
EOF
page make.kp > /dev/null
same_as_dbfread "$site/t.dbf"
same_as_dbfread "$source/tests/data/thirdparty/people.dbf"
same_as_dbfread "$source/tests/data/thirdparty/plain.dbf"
out=$("$table" check "$site/t.dbf" "$site/name.kpx" "$site/price.kpx") || fail "check of a sound table: $out"
"$table" info "$site/t.dbf" | grep -q "^records     60 (1 deleted, 59 live)" || fail "info: $("$table" info "$site/t.dbf")"
"$table" info "$site/t.dbf" | grep -q "PRICE  *NUMBER(7.2)" || fail "info shows the field specification"
[ "$("$table" dump "$site/t.dbf" --delimiter=, | sed -n 8p)" = "*,item 7,8.75,20261208,T,note 7 <b>x</b>" ] ||
    fail "text dump: $("$table" dump "$site/t.dbf" --delimiter=, | sed -n 8p)"

# Each kind of damage, on a fresh copy of the sound files.
damaged() {
    rm -rf "$work/d"
    cp -r "$site" "$work/d"
}
expect_problem() {  # WHAT PATTERN ARGS...
    local what=$1 pattern=$2
    shift 2
    out=$("$table" check "$@" 2>&1)
    status=$?
    [ "$status" = 1 ] || fail "$what: exit status $status"
    printf '%s\n' "$out" | grep -q -- "$pattern" || fail "$what: $out"
}
damaged
truncate -s -200 "$work/d/t.dbf"
expect_problem "a truncated table" "the header counts 60 records" "$work/d/t.dbf"
damaged
printf '\x50' | dd of="$work/d/t.dbf" bs=1 seek=4 conv=notrunc 2> /dev/null  # 80 records
expect_problem "a record count that lies" "the header counts 80 records" "$work/d/t.dbf"
damaged
printf '\x14' | dd of="$work/d/t.dbf" bs=1 seek=4 conv=notrunc 2> /dev/null  # 20 records
expect_problem "a record count that lies low" "the file holds 60 records but the header counts only 20" "$work/d/t.dbf"
damaged
# The memo field of record 3 is the last 10 bytes of its record.
header=$(( $(od -An -tu2 -j8 -N2 "$work/d/t.dbf") ))
length=$(( $(od -An -tu2 -j10 -N2 "$work/d/t.dbf") ))
printf '     99999' | dd of="$work/d/t.dbf" bs=1 seek=$((header + 3 * length - 10)) conv=notrunc 2> /dev/null
expect_problem "a memo pointer past the memo file" "record 3, field NOTE: memo block 99999 lies past" "$work/d/t.dbf"
damaged
cat > "$work/d/noindex.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="t.dbf"><KpLET name="added behind the index"><KpADD><KpGO ROW=2><KpLET name="renamed behind the index"><KpUPDATE>
EOF
(cd "$work/d" && env -i PATH_INFO=/noindex.kp "$work/bin/kelp" > /dev/null)
sed -i "s|$site|$work/d|" "$work/bin/kelp.conf"
(cd "$work/d" && env -i PATH_INFO=/noindex.kp "$work/bin/kelp" > /dev/null)
sed -i "s|$work/d|$site|" "$work/bin/kelp.conf"
expect_problem "an index missing an entry" "record 61 (key 'added behind the index') is missing" "$work/d/t.dbf" "$work/d/name.kpx"
expect_problem "an index with an extra entry" "the entry 'item 2' for record 2 does not match the record" \
    "$work/d/t.dbf" "$work/d/name.kpx"
# Each line names one file: the one the problem is in.
out=$("$table" check "$work/d/t.dbf" "$work/d/name.kpx")
printf '%s\n' "$out" | grep -q "^$work/d/name.kpx: record 61 (key 'added behind the index') is missing from the index$" ||
    fail "a check line names more than its file: $out"
out=$("$table" reindex "$work/d/t.dbf" "$work/d/name.kpx") || fail "reindex: $out"
out=$("$table" check "$work/d/t.dbf" "$work/d/name.kpx") || fail "check after reindex: $out"
# A pack that names only some of the indexes beside the table warns about the others.
cp -R "$work/d" "$work/p"
"$table" pack "$work/p/t.dbf" "$work/p/name.kpx" > /dev/null 2> "$work/pack.err" || fail "pack: $(cat "$work/pack.err")"
grep -q "warning: $work/p/price.kpx was not named" "$work/pack.err" || fail "pack without price.kpx: $(cat "$work/pack.err")"
grep -q "name.kpx" "$work/pack.err" && fail "pack warned about the index it rebuilt: $(cat "$work/pack.err")"
damaged
# Two keys of one leaf swapped in place.
/usr/bin/python3 - "$work/d/name.kpx" <<'PY'
import sys
b = bytearray(open(sys.argv[1], 'rb').read())
root = int.from_bytes(b[13:17], 'little')
page = root
while int.from_bytes(b[page * 1024 + 4:page * 1024 + 8], 'little'):
    page = int.from_bytes(b[page * 1024 + 4:page * 1024 + 8], 'little')
at = page * 1024 + 4
first, second = b[at + 8:at + 108], b[at + 116:at + 216]
b[at + 8:at + 108], b[at + 116:at + 216] = second, first
open(sys.argv[1], 'wb').write(bytes(b))
PY
expect_problem "an index with keys out of order" "keys out of order" "$work/d/t.dbf" "$work/d/name.kpx"
damaged
truncate -s 3000 "$work/d/name.kpx"
expect_problem "a truncated index" "name.kpx" "$work/d/t.dbf" "$work/d/name.kpx"

# Usage errors.
"$table" > /dev/null 2>&1; [ $? = 2 ] || fail "no arguments: exit status 2"
"$table" frobnicate "$site/t.dbf" > /dev/null 2>&1; [ $? = 2 ] || fail "an unknown command: exit status 2"
"$table" --help | grep -q "usage: kelp-table" || fail "--help"
"$table" info "$work/none.dbf" > /dev/null 2>&1; [ $? = 1 ] || fail "a missing table: exit status 1"
out=$("$table" create "$work/new.dbf" "n CHAR(5), x WHATEVER" 2>&1); [ $? = 1 ] || fail "create with a bad specification: $out"

# Check and pack while four processes add records through pages.
cat > "$site/add.kp" <<'EOF'
<KELP KpADD_ERROR="nonfatal,nodisplay" KpOPEN_ERROR="nonfatal,nodisplay"><KpLET i=0><KpWHILE EXPR=i LT 150><KpOPEN NAME="t" DATABASE="t.dbf" INDEXES="name.kpx,price.kpx"><KpIF EXPR=KpOPEN_Error EQ ""><KpLET name=w $ "-" $ i><KpLET price=i><KpLET note="n"><KpADD><KpIF EXPR=KpADD_Error EQ "">ack &[name]
</KpIF><KpCLOSE NAME="t"></KpIF><KpLET i=i + 1></KpWHILE>
EOF
pids=""
for w in a b c d; do
    page add.kp "w=$w" > "$work/acks.$w" &
    pids="$pids $!"
done
checks=0
for round in 1 2 3 4 5 6; do
    out=$("$table" check "$site/t.dbf" "$site/name.kpx" "$site/price.kpx" 2>&1) ||
        fail "check beside adding pages reported: $out"
    out=$("$table" pack "$site/t.dbf" "$site/name.kpx" "$site/price.kpx" 2>&1) || fail "pack beside adding pages: $out"
    checks=$((checks + 1))
done
wait $pids
out=$("$table" check "$site/t.dbf" "$site/name.kpx" "$site/price.kpx") || fail "check after the adds: $out"
cat "$work"/acks.? | grep '^ack ' | sed 's/^ack //' | sort > "$work/acked"
"$table" dump "$site/t.dbf" | awk -F'\t' 'NR > 1 && $1 == "" && $2 ~ /^[abcd]-/ { print $2 }' | sort > "$work/live"
[ "$(wc -l < "$work/acked")" -gt 0 ] || fail "no add went through beside check and pack"
cmp -s "$work/acked" "$work/live" ||
    fail "acknowledged and live records differ: $(diff "$work/acked" "$work/live" | head -5)"

[ "$failures" = 0 ] && echo "kelp-table: ok ($checks checks and packs beside $(wc -l < "$work/acked") adds)"
[ "$failures" = 0 ]
