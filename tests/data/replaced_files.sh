#!/bin/bash
# Files changed under a running request by another process: an index copied over
# (by another page's fcopy, or by cp) or cut short while one request adds records
# and another walks the index. Each request ends with a response of its own, never
# killed by a signal.
# Usage: replaced_files.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
site="$work/site"
mkdir -p "$site" "$work/bin"
cp "$build/kelp" "$work/bin/kelp"
printf '%s\n' "kelproot = $site" "stdmodedatadir = $site" "usecookies = off" \
    "globaltimeout = 0" > "$work/bin/kelp.conf"
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
# run PAGE OUT: the response in OUT, the exit status in OUT.status.
run() { (cd "$site" && env -i PATH_INFO="/$1" "$work/bin/kelp" > "$2" 2>/dev/null; echo $? > "$2.status"); }

cat > "$site/make.kp" <<'PAGE'
<KpCREATE NAME="t" DATABASE="t.dbf" FIELDS="k CHAR(40)"><KpMAKEINDEX NAME="t" INDEXFILE="t.kpx" EXPR=k><KpLET i=1><KpWHILE EXPR=i LE 3000><KpLET k="key-" $ i $ "-padding"><KpADD><KpLET i=i + 1></KpWHILE>made
PAGE
cat > "$site/walk.kp" <<'PAGE'
<KELP KpFIND_ERROR="nonfatal,nodisplay"><KpOPEN NAME="t" DATABASE="t.dbf" INDEXES="t.kpx"><KpLET n=0><KpWHILE EXPR=n LT 300000 AND NOT fexists("stop")><KpFIND VALUE="key-" $ (n MOD 3000 + 1) $ "-"><KpLET n=n + 1></KpWHILE>walked
PAGE
cat > "$site/add.kp" <<'PAGE'
<KELP KpADD_ERROR="nonfatal,nodisplay"><KpOPEN NAME="t" DATABASE="t.dbf" INDEXES="t.kpx"><KpLET n=0><KpWHILE EXPR=n LT 100000 AND NOT fexists("stop")><KpLET k="added-" $ n><KpADD><KpLET n=n + 1></KpWHILE>added
PAGE
cat > "$site/copy.kp" <<'PAGE'
<KpEVAL EXPR=fcopy("saved.kpx", "t.kpx")>copied
PAGE

# case NAME PAGE HOW: PAGE runs while HOW changes t.kpx under it, then is told to stop.
case_() {
    local name=$1 page=$2 how=$3
    rm -f "$site"/t.* "$site/stop"
    run make.kp "$work/out"
    cp "$site/t.kpx" "$site/saved.kpx"
    run "$page" "$work/out" &
    local runner=$!
    sleep 0.3
    for _ in 1 2 3 4 5; do
        case $how in
            fcopy) run copy.kp "$work/copy"; grep -q copied "$work/copy" || fail "$name: the copying page: $(cat "$work/copy")" ;;
            cp) cp "$site/saved.kpx" "$site/t.kpx" ;;
            truncate) : > "$site/t.kpx"; sleep 0.05; cp "$site/saved.kpx" "$site/t.kpx" ;;
        esac
        sleep 0.05
    done
    touch "$site/stop"
    wait "$runner"
    local status
    status=$(cat "$work/out.status")
    [ "$status" -lt 128 ] || fail "$name: the request died of signal $((status - 128))"
    grep -q '^Content-type: text/html' "$work/out" || fail "$name: no response: $(head -c 300 "$work/out")"
}
for how in fcopy cp truncate; do
    case_ "a walk, $how over its index" walk.kp "$how"
    case_ "a run of adds, $how over its index" add.kp "$how"
done

# kelp-table restore puts a backup in place under running requests: they answer, and
# afterwards the table holds the backup's records and its index agrees.
rm -f "$site"/t.* "$site/stop"
run make.kp "$work/out"
mkdir -p "$work/backup"
cp "$site/t.dbf" "$work/backup/t.dbf"
run add.kp "$work/out" &
runner=$!
sleep 0.3
restored=$("$build/kelp-table" restore "$site/t.dbf" "$work/backup/t.dbf" "$site/t.kpx" 2>&1) ||
    fail "kelp-table restore: $restored"
touch "$site/stop"
wait "$runner"
[ "$(cat "$work/out.status")" -lt 128 ] || fail "a run of adds during a restore died of a signal"
grep -q '^Content-type: text/html' "$work/out" || fail "a run of adds during a restore: no response"
case "$restored" in *"restored from $work/backup/t.dbf, 3000 records, 1 index rebuilt"*) ;;
    *) fail "kelp-table restore said: $restored" ;; esac
out=$("$build/kelp-table" check "$site/t.dbf" "$site/t.kpx" 2>&1) || fail "check after restore: $out"
ls "$site" | grep -q '~new' && fail "restore left files beside the table: $(ls "$site")"

[ "$failures" -eq 0 ] && echo "all replaced-file cases passed"
exit $((failures > 0))
