#!/bin/bash
# Load behind a real lighttpd: 8 clients for SOAK_SECONDS (60) each add records to one
# indexed table through a page, read each back through the index, and fetch the
# counter image. Afterwards the table holds exactly the records acknowledged, its
# index agrees (the table checker), no request failed, and the counter counted every
# request it got. Prints the figures. With "fastcgi", the pages go to kelp as a FastCGI
# responder (four workers, so that adds of different clients meet in different
# processes as well as one after another in the same one).
# Usage: soak.sh BUILD_DIR [fastcgi]
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
seconds=${SOAK_SECONDS:-60}
clients=8
state=$(mktemp -d "$build/e2e-soak-XXXXXX")
trap 'bash "$here/lighttpd.sh" stop "$state"; rm -rf "$state"' EXIT
site="$state/site"
cgi="$state/htdocs/cgi-bin"
mkdir -p "$site" "$cgi/digits"
cp "$build/kelp" "$cgi/kelp"
cp "$build/nph-tally-test" "$cgi/nph-tally"
"$build/tally-digits" "$cgi/digits"
cat > "$cgi/kelp.conf" <<CONF
kelproot = $site
stdmodedatadir = $site
validextensions = kp
CONF
if [ "${2:-}" = fastcgi ]; then
    mkdir -p "$state/fcgi"
    { cat "$cgi/kelp.conf"; echo "fastcgiworkers = 4"; } > "$state/fcgi/kelp.conf"
    bash "$here/lighttpd.sh" fastcgi "$state" "$build/kelp"
else
    cat > "$state/extra.conf" <<'CONF'
url.rewrite-once = ( "^(/[^?]*\.kp)(\?(.*))?$" => "/cgi-bin/kelp$1?$3" )
CONF
fi
# The first request makes the table; every add opens it with its index.
cat > "$site/add.kp" <<'EOF'
<KELP KpADD_ERROR="nonfatal,nodisplay"><KpIF EXPR=NOT fexists("soak.dbf")><KpCREATE NAME="s" DATABASE="soak.dbf" FIELDS="key CHAR(40), who NUMBER(3), note MEMO"><KpMAKEINDEX NAME="s" INDEXFILE="soak.kpx" EXPR=key FLAGS="unique"><KpCLOSE NAME="s"></KpIF><KpOPEN NAME="s" DATABASE="soak.dbf" INDEXES="soak.kpx"><KpLET key=k><KpLET who=client><KpLET note="added by " $ client><KpADD><KpIF EXPR=KpADD_Error EQ "">added &[key]<KpELSE>failed &[KpADD_Error]</KpIF>
EOF
cat > "$site/find.kp" <<'EOF'
<KpOPEN NAME="s" DATABASE="soak.dbf" INDEXES="soak.kpx"><KpFIND VALUE=k EXACT><KpIF EXPR=KpFIND_Error EQ "" AND key EQ k>found &[key] &[note]<KpELSE>missing &[k]</KpIF>
EOF
# A first add makes the table before the clients race for it.
port=$(bash "$here/lighttpd.sh" start "$state")
base="http://127.0.0.1:$port"
first=$(curl -s "$base/add.kp?k=first&client=0" | tr -d '\n')
[ "$first" = "added first" ] || { echo "FAIL the first add: $first"; exit 1; }

client() {  # client N: runs until the deadline; writes its tallies to $state/client.N
    local n=$1 deadline=$2 i=0 requests=0 failed=0 acks="$state/acks.$n" counted=0
    : > "$acks"
    while [ "$(date +%s)" -lt "$deadline" ]; do
        i=$((i + 1))
        key="c$n-$i"
        out=$(curl -s -w ' %{http_code}' "$base/add.kp?k=$key&client=$n" | tr -d '\n')
        requests=$((requests + 1))
        case "$out" in
            "added $key 200") echo "$key" >> "$acks" ;;
            *) failed=$((failed + 1)); echo "client $n add $key: $out" >> "$state/errors" ;;
        esac
        out=$(curl -s -w ' %{http_code}' "$base/find.kp?k=$key" | tr -d '\n')
        requests=$((requests + 1))
        [ "$out" = "found $key added by $n 200" ] ||
            { failed=$((failed + 1)); echo "client $n find $key: $out" >> "$state/errors"; }
        code=$(curl -s -o /dev/null -w '%{http_code}' "$base/cgi-bin/nph-tally?link=soak")
        requests=$((requests + 1))
        counted=$((counted + 1))
        [ "$code" = 200 ] || { failed=$((failed + 1)); echo "client $n counter: $code" >> "$state/errors"; }
    done
    echo "$requests $failed $counted" > "$state/client.$n"
}

deadline=$(( $(date +%s) + seconds ))
for n in $(seq $clients); do client "$n" "$deadline" & done
wait

requests=0 failed=0 counted=0
for n in $(seq $clients); do
    read -r r f c < "$state/client.$n"
    requests=$((requests + r)); failed=$((failed + f)); counted=$((counted + c))
done
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
[ "$failed" = 0 ] || fail "$failed requests failed: $(head -n 5 "$state/errors")"
cat "$state"/acks.* | sort > "$state/acked"
echo first >> "$state/acked"
sort -o "$state/acked" "$state/acked"
"$build/kelp-table" dump "$site/soak.dbf" | awk -F'\t' 'NR > 1 && $1 == "" { print $2 }' | sort > "$state/live"
acked=$(wc -l < "$state/acked")
lost=$(comm -23 "$state/acked" "$state/live" | wc -l)
extra=$(comm -13 "$state/acked" "$state/live" | wc -l)
[ "$lost" = 0 ] || fail "$lost acknowledged records are not in the table"
[ "$extra" = 0 ] || fail "$extra records in the table were never acknowledged"
out=$("$build/kelp-table" check "$site/soak.dbf" "$site/soak.kpx" 2>&1) || fail "table check: $out"
count=$(awk -F'\t' '$1 == "soak" { print $2 }' "$cgi/count_file")
[ "$count" = "$counted" ] || fail "the counter counted $count of $counted requests"

echo "soak${2:+ ($2)}: $clients clients, $seconds s, $requests requests ($counted to the counter), $acked records added, $lost lost, $failed failed"
[ "$failures" = 0 ]
