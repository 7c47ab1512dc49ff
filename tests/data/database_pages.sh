#!/bin/bash
# Tables through pages run by the kelp program: what another dBase reader makes of
# tables pages write, pages reading tables another program wrote, eight processes
# adding to one indexed table at once, and packs and reindexes killed part way.
# Usage: database_pages.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/site" "$work/bin"
cp "$build/kelp" "$work/bin/kelp"
printf '%s\n' "kelproot = $work/site" "stdmodedatadir = $work/site" "usecookies = off" \
    "globaltimeout = 0" > "$work/bin/kelp.conf"
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
page() { (cd "$work/site" && env -i PATH_INFO="/$1" "$work/bin/kelp" | tr -d '\r' | sed '1,/^$/d'); }
dbfread() { /usr/bin/python3 "$source/tests/data/read_dbf.py" "$work/site/$1"; }

# A table written by a page, as an independent reader sees it (memos included).
cat > "$work/site/write.kp" <<'EOF'
<KpCREATE NAME="t" DATABASE="written.dbf" FIELDS="name CHAR(10), n NUMBER(7.2), d DATE, b BOOL, m MEMO">
<KpLET name="Ann"><KpLET n="3.14159"><KpLET d_raw="20261208"><KpLET b=1><KpLET m="line one
line two"><KpADD>
<KpLET name="Bob"><KpLET n="-2"><KpLET d_raw=""><KpLET b=0><KpLET m="<KpEVAL EXPR=1>"><KpADD>
<KpLET name="Cy"><KpLET m=""><KpADD><KpGO ROW=2><KpDELETE>
EOF
page write.kp > /dev/null
expected=" NAME=Ann|N=3.14|D=2026-12-08|B=True|M=line one
line two
 NAME=Cy|N=-2.0|D=|B=False|M=
*NAME=Bob|N=-2.0|D=|B=False|M=<KpEVAL EXPR=1>"
[ "$(dbfread written.dbf)" = "$expected" ] || fail "dbfread of a page's table: $(dbfread written.dbf)"

# Tables another program wrote, read by a page.
cp "$source/tests/data/thirdparty/people.dbf" "$source/tests/data/thirdparty/people.dbt" \
    "$source/tests/data/thirdparty/plain.dbf" "$work/site/"
cat > "$work/site/read.kp" <<'EOF'
<KpOPEN NAME="p" DATABASE="people.dbf"><KpOPEN NAME="q" DATABASE="plain.dbf">
<KpGO NAME="p" ROW="top"><KpWHILE EXPR=NOT p.d.eof>[&[p.d.name] &[p.d.age] &[p.d.born_raw] &[p.d.member] &[p.d.deleted] <KpEVAL EXPR=len(p.d.notes)>]<KpSKIP NAME="p"></KpWHILE>
<KpGO NAME="q" ROW=5>[&[q.d.code] &[q.d.price] of &[q.d.totrec]]
EOF
got=$(page read.kp | tr -s '\n')
want=$(printf '\n[Ann 41 19850314 1 0 23][Bob 7          0 1 0][Chloe Zoe 100 19261231 0 0 600]\n[K4 5.00 of 5]')
[ "$(echo "$got" | tail -n 2)" = "$(echo "$want" | tail -n 2)" ] || fail "third-party tables: $got"

# Eight processes add 500 records each to one indexed table at once.
cat > "$work/site/make.kp" <<'EOF'
<KpCREATE NAME="t" DATABASE="shared.dbf" FIELDS="k CHAR(12), w NUMBER(2)">
<KpMAKEINDEX NAME="t" INDEXFILE="shared.kpx" EXPR=k>
EOF
cat > "$work/site/add.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="shared.dbf" INDEXES="shared.kpx">
<KpLET i=1><KpWHILE EXPR=i LE 500><KpLET k=arg2 $ "-" $ i><KpLET w=arg2><KpADD><KpLET i=i + 1></KpWHILE>
EOF
cat > "$work/site/count.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="shared.dbf" INDEXES="shared.kpx">
<KpLET found=0><KpLET w=1><KpWHILE EXPR=w LE 8><KpLET i=1><KpWHILE EXPR=i LE 500><KpFIND VALUE=w $ "-" $ i EXACT><KpIF EXPR=KpFIND_Error NE "EOF" AND k EQ w $ "-" $ i><KpLET found=found + 1></KpIF><KpLET i=i + 1></KpWHILE><KpLET w=w + 1></KpWHILE>
records=&[totrec] found=&[found]
EOF
page make.kp > /dev/null
pids=""
for w in 1 2 3 4 5 6 7 8; do
    (cd "$work/site" && env -i PATH_INFO=/add.kp "QUERY_STRING=$w" "$work/bin/kelp" > "$work/add$w.out") &
    pids="$pids $!"
done
wait $pids
[ "$(page count.kp | tr -d '\n')" = "records=4000 found=4000" ] || fail "concurrent adds: $(page count.kp)"
for w in 1 2 3 4 5 6 7 8; do grep -q "Error" "$work/add$w.out" && fail "adder $w: $(cat "$work/add$w.out")"; done

# Packs and reindexes killed at twenty moments: the table and its index always
# agree, and hold every live record, packed or not.
cat > "$work/site/big.kp" <<'EOF'
<KpCREATE NAME="t" DATABASE="big.dbf" FIELDS="k CHAR(8), m MEMO">
<KpLET i=1><KpWHILE EXPR=i LE 2000><KpLET k="K" $ i><KpLET m="memo " $ i><KpADD><KpLET i=i + 1></KpWHILE>
<KpMAKEINDEX NAME="t" INDEXFILE="big.kpx" EXPR=k>
<KpLET i=3><KpWHILE EXPR=i LE 2000><KpGO ROW=i><KpDELETE><KpLET i=i + 3></KpWHILE>
EOF
cat > "$work/site/pack.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="big.dbf" INDEXES="big.kpx"><KpPACK>packed
EOF
cat > "$work/site/reindex.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="big.dbf" INDEXES="big.kpx"><KpREINDEX>reindexed
EOF
cat > "$work/site/verify.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="big.dbf" INDEXES="big.kpx">
<KpLET found=0><KpLET i=1><KpWHILE EXPR=i LE 2000><KpIF EXPR=i MOD 3><KpFIND VALUE="K" $ i EXACT><KpIF EXPR=KpFIND_Error NE "EOF" AND k EQ "K" $ i AND m EQ "memo " $ i AND NOT deleted><KpLET found=found + 1></KpIF></KpIF><KpLET i=i + 1></KpWHILE>found=&[found]
EOF
page big.kp > /dev/null
mkdir -p "$work/pristine"
cp "$work/site/big.dbf" "$work/site/big.dbt" "$work/site/big.kpx" "$work/pristine/"
live=$(/usr/bin/python3 - "$work/site/big.dbf" <<'EOF'
import sys
from dbfread import DBF
print(sorted(r["K"] for r in DBF(sys.argv[1])) == sorted("K%d" % i for i in range(1, 2001) if i % 3))
EOF
)
[ "$live" = True ] || fail "the big table before packing: $live"
for operation in pack reindex; do
    start=$(date +%s%N)
    page $operation.kp > /dev/null
    took=$((($(date +%s%N) - start) / 1000))
    for moment in $(seq 1 20); do
        rm -f "$work/site/"big*
        cp "$work/pristine/"* "$work/site/"
        (cd "$work/site" && exec env -i PATH_INFO=/$operation.kp "$work/bin/kelp" > /dev/null) &
        victim=$!
        sleep "$(awk -v t="$took" -v m="$moment" 'BEGIN { printf "%.6f", t * m / 21 / 1000000 }')"
        kill -KILL $victim 2> /dev/null
        wait $victim 2> /dev/null
        result=$(page verify.kp | tr -d '\n')
        [ "$result" = "found=1334" ] || fail "$operation killed at moment $moment: $result"
        rows=$(/usr/bin/python3 - "$work/site/big.dbf" <<'EOF'
import sys
from dbfread import DBF
keys = sorted(r["K"] for r in DBF(sys.argv[1]))
print(keys == sorted("K%d" % i for i in range(1, 2001) if i % 3))
EOF
)
        [ "$rows" = True ] || fail "$operation killed at moment $moment: the table's live records changed"
    done
done

# A pack while another request adds records: every add that reported success is in
# the packed table and its index; the others said so.
cat > "$work/site/conc.kp" <<'EOF'
<KpCREATE NAME="t" DATABASE="conc.dbf" FIELDS="k CHAR(8)">
<KpMAKEINDEX NAME="t" INDEXFILE="conc.kpx" EXPR=k>
<KpLET i=1><KpWHILE EXPR=i LE 300><KpLET k="O" $ i><KpADD><KpIF EXPR=i MOD 3 EQ 0><KpDELETE></KpIF><KpLET i=i + 1></KpWHILE>
EOF
cat > "$work/site/adder.kp" <<'EOF'
<KELP KpADD_ERROR="nonfatal,nodisplay">
<KpOPEN NAME="t" DATABASE="conc.dbf" INDEXES="conc.kpx">
<KpLET ok=0><KpLET i=1><KpWHILE EXPR=i LE 4000><KpLET k="N" $ i><KpADD><KpIF EXPR=KpADD_Error EQ ""><KpLET ok=ok + 1></KpIF><KpLET i=i + 1></KpWHILE>ok=&[ok]
EOF
cat > "$work/site/packer.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="conc.dbf" INDEXES="conc.kpx"><KpPACK>packed
EOF
cat > "$work/site/survey.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="conc.dbf" INDEXES="conc.kpx">
<KpLET live=0><KpLET n=0><KpGO ROW="top"><KpWHILE EXPR=NOT eof><KpIF EXPR=NOT deleted><KpLET live=live + 1><KpIF EXPR=substring(k, 0, 1) EQ "N"><KpLET n=n + 1></KpIF></KpIF><KpSKIP></KpWHILE>live=&[live] n=&[n]
EOF
page conc.kp > /dev/null
(cd "$work/site" && env -i PATH_INFO=/adder.kp "$work/bin/kelp" | tr -d '\r' | tail -n 1 > "$work/adder.out") &
adder=$!
sleep 0.05
page packer.kp > "$work/packer.out"
wait $adder
ok=$(sed 's/ok=//' "$work/adder.out")
grep -q packed "$work/packer.out" || fail "pack beside an adder: $(cat "$work/packer.out")"
[ "$(page survey.kp | tr -d '\n')" = "live=$((200 + ok)) n=$ok" ] ||
    fail "pack beside an adder: $ok adds succeeded, the table says $(page survey.kp)"

# Every table these pages wrote passes the table checker.
for t in shared:shared big:big conc:conc; do
    out=$("$build/kelp-table" check "$work/site/${t%%:*}.dbf" "$work/site/${t#*:}.kpx" 2>&1) ||
        fail "table checker on ${t%%:*}.dbf: $out"
done
out=$("$build/kelp-table" check "$work/site/written.dbf" 2>&1) || fail "table checker on written.dbf: $out"

[ "$failures" = 0 ] && echo "database pages: ok"
[ "$failures" = 0 ]
