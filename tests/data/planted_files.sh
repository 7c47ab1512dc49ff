#!/bin/bash
# Files planted beside a table by someone who can write into the data directory: a
# pack journal naming other files, an index whose stored key expression calls file
# built-ins, and damaged index and memo headers. Pages and every kelp-table command
# answer with a clear error, quickly, and nothing is renamed, copied or grown.
# Usage: planted_files.sh BUILD_DIR
set -u
. "$(cd "$(dirname "${BASH_SOURCE[0]:-$0}")/.." && pwd)/support/slack.sh"
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
site="$work/data"
mkdir -p "$site" "$work/bin" "$work/pages"
cp "$build/kelp" "$work/bin/kelp"
printf '%s\n' "kelproot = $work/pages" "stdmodedatadir = $site" "usecookies = off" \
    "globaltimeout = 0" > "$work/bin/kelp.conf"
table="$build/kelp-table"
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
page() { (cd "$work/pages" && env -i PATH_INFO="/$1" "$work/bin/kelp" | tr -d '\r' | sed '1,/^$/d'); }

cat > "$work/pages/make.kp" <<'PAGE'
<KpCREATE NAME="t" DATABASE="t.dbf" FIELDS="k CHAR(20), m MEMO"><KpMAKEINDEX NAME="t" INDEXFILE="t.kpx" EXPR=k><KpLET i=1><KpWHILE EXPR=i LE 50><KpLET k="key" $ i><KpLET m="memo " $ i><KpADD><KpLET i=i + 1></KpWHILE>made
PAGE
cat > "$work/pages/use.kp" <<'PAGE'
<KELP KpOPEN_ERROR="nonfatal,nodisplay" KpADD_ERROR="nonfatal,nodisplay"><KpOPEN NAME="t" DATABASE="t.dbf" INDEXES="t.kpx">open [&[KpOPEN_Error]]<KpLET k="new"><KpLET m="x"><KpADD> add [&[KpADD_Error]]
PAGE
fresh() {
    rm -rf "$site"/* "$work/pages/stolen.kp"
    page make.kp > /dev/null
    echo "the owner's data" > "$site/secret.dat"
}
# untouched CASE: nothing the planted file named was moved, copied or made.
untouched() {
    [ "$(cat "$site/secret.dat" 2>/dev/null)" = "the owner's data" ] || fail "$1: secret.dat was moved or changed"
    [ ! -e "$work/pages/stolen.kp" ] || fail "$1: a data file reached the script directory"
    [ ! -e "$site/stolen.dat" ] || fail "$1: a data file was copied"
}

# A planted pack journal: a data file moved into the script directory as a page.
for journal in "secret.dat	../pages/stolen.kp" "$site/secret.dat	$work/pages/stolen.kp" \
               "t.kpx~pack	t.kpx
secret.dat	t.dbf"; do
    fresh
    printf '%s\n' "$journal" > "$site/t.dbf.pack"
    out=$(page use.kp)
    case "$out" in
        *"open ['t.dbf' is corrupt (its pack journal names files a pack of it does not make)]"*) ;;
        *) fail "a planted journal, through a page: $out" ;;
    esac
    untouched "a planted journal, through a page"
    for command in info dump check pack reindex; do
        index="$site/t.kpx"; [ $command = info ] || [ $command = dump ] && index=
        out=$("$table" $command "$site/t.dbf" $index 2>&1) && fail "kelp-table $command with a planted journal succeeded"
        case "$out" in
            *"is corrupt (its pack journal names files a pack of it does not make)"*) ;;
            *) fail "kelp-table $command with a planted journal: $out" ;;
        esac
        untouched "kelp-table $command with a planted journal"
    done
    [ -e "$site/t.dbf.pack" ] || fail "the planted journal was removed"
done
# A real interrupted pack is reported by the commands that look, and finished by
# those that change.
fresh
cp "$site/t.kpx" "$site/t.kpx~pack"
printf 't.kpx~pack\tt.kpx\n' > "$site/t.dbf.pack"
for command in info dump check; do
    out=$("$table" $command "$site/t.dbf" 2>&1) && fail "kelp-table $command finished a pack"
    case "$out" in *"has an interrupted pack"*) ;; *) fail "kelp-table $command, interrupted pack: $out" ;; esac
    [ -e "$site/t.dbf.pack" ] || fail "kelp-table $command finished the pack"
done
out=$(page use.kp)
case "$out" in *"open [] add []"*) ;; *) fail "a page finishing a pack: $out" ;; esac
[ ! -e "$site/t.dbf.pack" ] && [ ! -e "$site/t.kpx~pack" ] || fail "the page left the pack unfinished"
"$table" check "$site/t.dbf" "$site/t.kpx" > /dev/null || fail "check after a finished pack"

# A planted key expression: the index's stored expression copies a file.
plant_key() {
    /usr/bin/python3 - "$site/t.kpx" "$1" <<'PY'
import sys
path, expr = sys.argv[1], sys.argv[2].encode()
with open(path, 'r+b') as f:
    f.seek(27)
    f.write(expr + b'\0' * (400 - len(expr)))
PY
}
for expr in 'fcopy("secret.dat", "stolen.dat") $ k' 'sfcopy("secret.dat", "stolen.kp") $ k' \
            'kelp_package_extract("x", "", "") $ k' 'makesessionid() $ k' 'kelproot() $ k'; do
    fresh
    plant_key "$expr"
    out=$(page use.kp)
    case "$out" in
        *"open [The key expression of index 't.kpx' cannot be read: it calls '"*"', and a key may call only built-ins that compute]"*) ;;
        *) fail "a planted key expression ($expr), through a page: $out" ;;
    esac
    untouched "a planted key expression, through a page"
    for command in check pack reindex; do
        out=$("$table" $command "$site/t.dbf" "$site/t.kpx" 2>&1)
        case "$out" in
            *"cannot be read: it calls"*) ;;
            *) fail "kelp-table $command with a planted key expression ($expr): $out" ;;
        esac
        untouched "kelp-table $command with a planted key expression"
    done
done
# Keys that compute stay allowed.
fresh
plant_key 'toupper(substring(k, 1, 3)) $ padl(len(k), 3, "0")'
out=$(page use.kp)
case "$out" in *"open [] add []"*) ;; *) fail "a computing key expression: $out" ;; esac

# Damaged headers: an index counting pages it does not have, a memo file whose free
# space starts terabytes out. Refused at once; no file grows.
put_le() {
    /usr/bin/python3 - "$1" "$2" "$3" <<'PY'
import struct, sys
with open(sys.argv[1], 'r+b') as f:
    f.seek(int(sys.argv[2]))
    f.write(struct.pack('<I', int(sys.argv[3])))
PY
}
for pages in 4294967295 2147483648 1000000 200; do
    fresh
    before=$(stat -c %s "$site/t.kpx")
    put_le "$site/t.kpx" 9 "$pages"
    out=$(page use.kp)
    case "$out" in
        *"open ['t.kpx' is either corrupt or is not a valid index file]"*) ;;
        *) fail "an index counting $pages pages: $out" ;;
    esac
    [ "$(stat -c %s "$site/t.kpx")" = "$before" ] || fail "an index counting $pages pages grew"
    out=$("$table" check "$site/t.dbf" "$site/t.kpx" 2>&1) && fail "kelp-table check passed an index counting $pages pages"
done
for block in 2147483647 4294967295 100; do
    fresh
    before=$(stat -c %s "$site/t.dbt")
    put_le "$site/t.dbt" 0 "$block"
    out=$(page use.kp)
    case "$out" in
        *"open ['t.dbt' is corrupt (the first free block is past its end)]"*) ;;
        *) fail "a memo file whose free space starts at block $block: $out" ;;
    esac
    [ "$(stat -c %s "$site/t.dbt")" = "$before" ] || fail "a memo file whose free space starts at block $block grew"
done
# A memo file without its end marks: each memo read stops, instead of running to the
# end of the file (3,000 memos took half a minute; here well under a second).
cat > "$work/pages/memos.kp" <<'PAGE'
<KpCREATE NAME="t" DATABASE="t.dbf" FIELDS="k CHAR(8), m MEMO"><KpLET i=1><KpWHILE EXPR=i LE 3000><KpLET k=i><KpLET m=padr("memo number " $ i $ " ", 1200, ".")><KpADD><KpLET i=i + 1></KpWHILE>made
PAGE
cat > "$work/pages/readmemos.kp" <<'PAGE'
<KpOPEN NAME="t" DATABASE="t.dbf"><KpLET total=0><KpGO ROW="top"><KpWHILE EXPR=NOT eof><KpLET total=total + len(m)><KpSKIP></KpWHILE><KpGO ROW=1>first [&[t.d.m]] total &[total]
PAGE
rm -rf "$site"/*
page memos.kp > /dev/null
page readmemos.kp | grep -q "^first \[memo number 1 \.*\] total 3600000$" || fail "memos as written: $(page readmemos.kp | head -c 200)"
tr '\032' ' ' < "$site/t.dbt" > "$site/t.dbt.new" && mv "$site/t.dbt.new" "$site/t.dbt"
start=$(date +%s%N)
out=$(page readmemos.kp)
took=$(( ($(date +%s%N) - start) / 1000000 ))
in_time "$took" 3000 || fail "3,000 memos without end marks took $took ms to read"
case "$out" in *"first [memo number 1 "*) ;; *) fail "memos without end marks: $(echo "$out" | head -c 200)" ;; esac

[ "$failures" -eq 0 ] && echo "all planted-file cases passed"
exit $((failures > 0))
