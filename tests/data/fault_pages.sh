#!/bin/bash
# Writes that fail part way (a file-size limit makes the disk look full) while pages
# add, update and pack records and export lines, and a page killed while it adds:
# afterwards the table and its index
# open, hold every record the page was told was added, and agree with each other; a
# page whose write failed got an error, never a success; an export file holds whole
# lines only.
# Usage: fault_pages.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
site="$work/site"
mkdir -p "$site"
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
page() { sh "$here/../pages/kelp_page.sh" "$build/kelp" "$site" "$1" | tr -d '\r' | sed '1,/^$/d'; }

cat > "$site/make.kp" <<'EOF'
<KpCREATE NAME="t" DATABASE="t.dbf" FIELDS="k CHAR(60), m MEMO"><KpMAKEINDEX NAME="t" INDEXFILE="t.kpx" EXPR=k>
EOF
# Adds records from FIRST on; "ack KEY" for each add the page was told succeeded.
cat > "$site/add.kp" <<'EOF'
<KELP KpADD_ERROR="nonfatal,nodisplay"><KpOPEN NAME="t" DATABASE="t.dbf" INDEXES="t.kpx"><KpLET i=first><KpIF EXPR=count EQ ""><KpLET count=3000></KpIF><KpWHILE EXPR=i LT first + count><KpLET k="key-" $ i $ "-padding-to-fill-index-pages"><KpLET m="memo " $ i><KpADD><KpIF EXPR=KpADD_Error EQ "">ack &[k]
<KpELSE>error &[KpADD_Error]
</KpIF><KpLET i=i + 1></KpWHILE>
EOF
# Every live record found through the index under its key, as many live records in
# the index walk as in the table, and each acknowledged key present.
cat > "$site/check.kp" <<'EOF'
<KpOPEN NAME="t" DATABASE="t.dbf" INDEXES="t.kpx"><KpLET live=0><KpLET missing=0><KpLET r=1><KpWHILE EXPR=r LE totrec><KpGO ROW=r><KpIF EXPR=NOT deleted><KpLET key=k><KpLET live=live + 1><KpFIND VALUE=key EXACT><KpIF EXPR=KpFIND_Error EQ "EOF" OR k NE key><KpLET missing=missing + 1></KpIF></KpIF><KpLET r=r + 1></KpWHILE><KpLET indexed=0><KpGO ROW="top"><KpWHILE EXPR=NOT eof><KpIF EXPR=NOT deleted><KpLET indexed=indexed + 1></KpIF><KpSKIP></KpWHILE><KpLET lost=0><KpIMPORT FILE="acks.txt" FIELDS="word,key" DELIMITER=" " FILTER=word EQ "ack"><KpFIND VALUE=key EXACT><KpIF EXPR=KpFIND_Error EQ "EOF" OR k NE key><KpLET lost=lost + 1><KpLET lostkey=" first lost: " $ key></KpIF></KpIMPORT>live=&[live] indexed=&[indexed] missing=&[missing] lost=&[lost] [&[KpOPEN_Error]]&[lostkey]
EOF
# check NAME: the table agrees with its index and holds every acknowledged record,
# through a page and through the table checker.
check() {
    local out
    out=$("$build/kelp-table" check "$site/t.dbf" "$site/t.kpx" 2>&1) || fail "$1: the table checker: $out"
    out=$(page check.kp | tail -n 1)
    case "$out" in
        "live="*" missing=0 lost=0 []")
            local live=${out#live=}; live=${live%% *}
            local indexed=${out#*indexed=}; indexed=${indexed%% *}
            [ "$live" = "$indexed" ] || fail "$1: the index walk has $indexed entries for $live records"
            ;;
        *) fail "$1: $out" ;;
    esac
}

# A full disk at different moments of appends (records, memos, index splits).
for limit in 24 40 64 100 160; do
    rm -f "$site"/t.* "$site/acks.txt"
    page make.kp > /dev/null
    out=$( (ulimit -f "$limit"; cd "$site" && KELP_ENV="QUERY_STRING=first=1" page add.kp) )
    printf '%s\n' "$out" | grep '^ack ' > "$site/acks.txt"
    printf '%s\n' "$out" | grep -q "^error .*File too large" || fail "limit $limit: the failed write was not reported"
    [ "$(grep -c '^ack ' "$site/acks.txt")" -gt 0 ] || fail "limit $limit: nothing was added before the disk filled"
    check "appends, file-size limit $limit KB"
    # Updates and a pack with the disk full leave the table as it was.
    cat > "$site/update.kp" <<'EOF'
<KELP KpUPDATE_ERROR="nonfatal,nodisplay" KpPACK_ERROR="nonfatal,nodisplay"><KpOPEN NAME="t" DATABASE="t.dbf" INDEXES="t.kpx"><KpGO ROW=1><KpLET m="a much longer memo text that needs more room in the memo file than the old one did"><KpUPDATE>update [&[KpUPDATE_Error]]<KpGO ROW=2><KpDELETE><KpUNDELETE><KpPACK>pack [&[KpPACK_Error]]
EOF
    (ulimit -f "$limit"; page update.kp > /dev/null)
    check "update and pack, file-size limit $limit KB"
done

# A process killed (SIGKILL) at random moments of a page adding records: between a
# record and its index entry, in the middle of index page splits. The binary is run
# directly so that the kill reaches it and nothing else.
mkdir -p "$work/bin"
cp "$build/kelp" "$work/bin/kelp"
cat > "$work/bin/kelp.conf" <<CONF
kelproot = $site
stdmodedatadir = $site
tempdir = $site
usecookies = off
globaltimeout = 0
CONF
rm -f "$site"/t.* "$site/acks.txt"
page make.kp > /dev/null
: > "$site/acks.txt"
for round in 1 2 3 4 5 6 7 8 9 10; do
    (cd "$site" && exec env -i PATH_INFO=/add.kp SERVER_NAME=localhost SERVER_PORT=80 REQUEST_METHOD=GET \
        GATEWAY_INTERFACE=CGI/1.1 QUERY_STRING="first=$((round * 100000))&count=30000" \
        "$work/bin/kelp") > "$work/killed.out" &
    pid=$!
    sleep "0.$((RANDOM % 9 + 1))$((RANDOM % 10))"
    kill -KILL "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
    # A kill can land inside the write of the page's output and cut its last line:
    # only whole lines count.
    [ -z "$(tail -c 1 "$work/killed.out")" ] || sed -i '$d' "$work/killed.out"
    tr -d '\r' < "$work/killed.out" | grep '^ack ' >> "$site/acks.txt"
done
[ "$(grep -c '^ack ' "$site/acks.txt")" -gt 0 ] || fail "killed appends: nothing was added before the kills"
check "appends killed at random moments ($(grep -c '^ack ' "$site/acks.txt") acknowledged)"

# An export with the disk full writes whole lines or nothing.
cat > "$site/export.kp" <<'EOF'
<KELP KpEXPORT_ERROR="nonfatal,nodisplay"><KpLET i=1><KpWHILE EXPR=i LE 5000><KpLET a="line " $ i><KpLET b="some text to make the line longer"><KpEXPORT FILE="out.txt" FIELDS="a,b" DELIMITER="|"><KpIF EXPR=KpEXPORT_Error NE "">[&[KpEXPORT_Error]]<KpWHILESTOP></KpIF><KpLET i=i + 1></KpWHILE>
EOF
out=$( (ulimit -f 20; page export.kp) )
case "$out" in *"[Error writing to 'out.txt': File too large]"*) ;; *) fail "full disk during export: $out" ;; esac
grep -v -q -E '^line [0-9]+\|some text to make the line longer$' "$site/out.txt" && fail "an export left a partial line"
[ "$(tail -c 1 "$site/out.txt" | od -An -c | tr -d ' ')" = '\n' ] || fail "an export left a line without its end"

[ "$failures" = 0 ] && echo "fault injection: ok"
[ "$failures" = 0 ]
