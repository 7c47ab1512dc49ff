#!/bin/bash
# The SQL drivers through pages run by the kelp program, against a real PostgreSQL
# server started here and SQLite files: the same page gives the same output on
# xbase3, sqlite and postgresql (walks both ways, finds, adds, updates, deletes,
# filters); queries with joins and aggregates, two views at once, bound values,
# refused queries, server errors, transactions, connection failures; eight
# processes adding at once lose nothing.
# Usage: sql_pages.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
chmod 755 "$work"
. "$source/tests/data/postgres_server.sh"
trap 'pg_stop; rm -rf "$work"' EXIT
pg_start "$work/pg" || { echo "FAIL PostgreSQL did not start"; exit 1; }
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/site" "$work/bin"
cp "$build/kelp" "$work/bin/kelp"
cat > "$work/bin/kelp.conf" <<EOF
kelproot = $work/site
stdmodedatadir = $work/site
usecookies = off
globaltimeout = 20
<SQL-CONNECTION NAME="shop" CONNECT="host=127.0.0.1 port=$PG_PORT dbname=shop user=web password=secret" ALLOW="user,password">
<SQL-CONNECTION NAME="fixed" CONNECT="host=127.0.0.1 port=$PG_PORT dbname=shop user=web password=secret">
<SQL-CONNECTION NAME="closed" CONNECT="host=127.0.0.1 port=$closed dbname=shop user=web password=secret">
<SQL-CONNECTION NAME="tls" CONNECT="host=127.0.0.1 port=$PG_PORT dbname=shop user=web password=secret sslmode=require">
EOF
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
page() { (cd "$work/site" && env -i PATH_INFO="/$1" "QUERY_STRING=${2:-}" "$work/bin/kelp" 2> /dev/null | tr -d '\r' | sed '1,/^$/d'); }

# The opening of each driver; a view's first column is the one KpFIND searches.
open_xbase3='<KpCREATE NAME="s" DATABASE="fruit.dbf" FIELDS="name CHAR(20), qty NUMBER(5), note CHAR(40)"><KpMAKEINDEX NAME="s" INDEXFILE="fruit.kpx" EXPR=name>'
open_sqlite='<KpCREATE NAME="s" TYPE="sqlite" DATABASE="fruit.db" FIELDS=""><KpQUERY QUERY="CREATE TABLE fruit (id INTEGER PRIMARY KEY, name TEXT, qty INTEGER, note TEXT)"><KpOPENVIEW VIEW="v" QUERY="SELECT name, qty, note, id FROM fruit ORDER BY name">'
open_postgresql='<KpOPEN NAME="s" TYPE="postgresql" DATABASE="shop"><KpQUERY QUERY="DROP TABLE IF EXISTS fruit"><KpQUERY QUERY="CREATE TABLE fruit (id SERIAL PRIMARY KEY, name TEXT, qty INTEGER, note TEXT)"><KpOPENVIEW VIEW="v" QUERY="SELECT name, qty, note, id FROM fruit ORDER BY name">'
reopen_sqlite='<KpOPEN NAME="s" TYPE="sqlite" DATABASE="fruit.db">'
reopen_postgresql='<KpOPEN NAME="s" TYPE="postgresql" DATABASE="shop">'

cat > "$work/body.kp" <<'EOF'
<KpLET name="pear"><KpLET qty=5><KpLET note="green"><KpADD>
<KpLET name="apple"><KpLET qty=3><KpLET note="'; DROP TABLE fruit; --"><KpADD>
<KpLET name="fig"><KpLET qty=1><KpLET note="<KpEVAL EXPR=6*7>"><KpADD>
<KpLET name="kiwi"><KpLET qty=8><KpLET note=""><KpADD>
forward:<KpGO ROW="top"><KpWHILE EXPR=NOT eof> [&[name] &[qty] &[note]]<KpSKIP></KpWHILE>
backward:<KpGO ROW="bottom"><KpWHILE EXPR=NOT eof> [&[name] &[qty]]<KpSKIP ROWS=-1></KpWHILE>
find:<KpFIND VALUE="fig" EXACT> &[name] &[qty] [&[KpFIND_Error]]<KpFIND VALUE="ki"> &[name]<KpFIND VALUE="zzz" EXACT> [&[KpFIND_Error]]
update:<KpFIND VALUE="apple" EXACT><KpLET qty=qty + 10><KpUPDATE><KpGO ROW="top"><KpWHILE EXPR=NOT eof> [&[name] &[qty]]<KpSKIP></KpWHILE>
delete:<KpFIND VALUE="pear" EXACT><KpDELETE><KpLET live=0><KpGO ROW="top"><KpWHILE EXPR=NOT eof><KpIF EXPR=NOT deleted><KpLET live=live + 1> [&[name]]</KpIF><KpSKIP></KpWHILE> live=&[live]
filter:<KpFILTER FILTER=qty GT 2><KpGO ROW="top"><KpWHILE EXPR=NOT eof><KpIF EXPR=NOT deleted> [&[name] &[qty]]</KpIF><KpSKIP></KpWHILE><KpFILTER><KpGO ROW="top"> first=&[name] [&[KpGO_Error]]
EOF
expected='forward: [apple 3 '"'"'; DROP TABLE fruit; --] [fig 1 <KpEVAL EXPR=6*7>] [kiwi 8 ] [pear 5 green]
backward: [pear 5] [kiwi 8] [fig 1] [apple 3]
find: fig 1 [] kiwi [EOF]
update: [apple 13] [fig 1] [kiwi 8] [pear 5]
delete: [apple] [fig] [kiwi] live=3
filter: [apple 13] [kiwi 8] first=apple []'
for driver in xbase3 sqlite postgresql; do
    eval "opening=\$open_$driver"
    { echo "$opening"; cat "$work/body.kp"; } > "$work/site/same_$driver.kp"
    got=$(page "same_$driver.kp" | sed '/^$/d')
    [ "$got" = "$expected" ] || fail "the same page on $driver:
$got"
done

# What only SQL databases do, on both drivers.
for driver in sqlite postgresql; do
    eval "reopen=\$reopen_$driver"
    serial=$([ $driver = sqlite ] && echo "INTEGER PRIMARY KEY" || echo "SERIAL PRIMARY KEY")
    cat > "$work/site/sql_$driver.kp" <<EOF
$reopen
<KpQUERY QUERY="DROP TABLE IF EXISTS orders"><KpQUERY QUERY="CREATE TABLE orders (id $serial, fruit TEXT, amount INTEGER)">
<KpQUERY QUERY="INSERT INTO orders (fruit, amount) VALUES ('apple', 2), ('apple', 4), ('fig', 1)">
<KpOPENVIEW VIEW="totals" QUERY="SELECT f.name, count(o.id) AS n, sum(o.amount) AS total FROM fruit f LEFT JOIN orders o ON o.fruit = f.name GROUP BY f.name ORDER BY f.name">
join:<KpGO ROW="top"><KpWHILE EXPR=NOT eof> [&[name] &[n] &[total] &[total_null]]<KpSKIP></KpWHILE>
<KpOPENVIEW VIEW="cheap" QUERY="SELECT name AS a FROM fruit WHERE qty < 5 ORDER BY name"><KpOPENVIEW VIEW="dear" QUERY="SELECT name AS b FROM fruit WHERE qty >= 5 ORDER BY name DESC">
views: &[a] &[b]<KpSKIP VIEW="dear"> &[a] &[b]<KpPRIMARY NAME="s" VIEW="dear"><KpSKIP> [&[b]] eof=&[eof]
<KpCLOSEVIEW VIEW="dear"><KpOPENVIEW VIEW="dear" QUERY="SELECT qty AS b FROM fruit WHERE qty >= 5 ORDER BY qty">again: &[s.d.b] &[d.a]
<KpLET evil="x'); DROP TABLE fruit; --"><KpQUERY QUERY="INSERT INTO orders (fruit, amount) VALUES (:evil, 7)">
<KpOPENVIEW VIEW="e" QUERY="SELECT fruit, amount FROM orders WHERE fruit = :evil"><KpPRIMARY NAME="s" VIEW="e">
bound: [&[fruit]] &[amount] rows=&[totrec]
<KpOPENVIEW VIEW="none" QUERY="SELECT 1 AS one WHERE 1 = :nosuchvariable">
<KpQUERY QUERY="BEGIN"><KpQUERY QUERY="INSERT INTO orders (fruit, amount) VALUES ('ghost', 9)"><KpQUERY QUERY="ROLLBACK">
<KpQUERY QUERY="BEGIN"><KpQUERY QUERY="INSERT INTO orders (fruit, amount) VALUES ('kept', 9)"><KpQUERY QUERY="COMMIT">
<KpQUERY QUERY="BEGIN"><KpQUERY QUERY="INSERT INTO orders (fruit, amount) VALUES ('left open', 9)">
EOF
    cat > "$work/site/after_$driver.kp" <<EOF
$reopen
<KpOPENVIEW VIEW="c" QUERY="SELECT count(*) AS all_rows, sum(amount) AS amounts FROM orders">after: &[all_rows] &[amounts]
<KpOPENVIEW VIEW="g" QUERY="SELECT fruit FROM orders WHERE fruit IN ('ghost', 'left open')"><KpPRIMARY NAME="s" VIEW="g">ghosts=&[totrec]
<KpOPENVIEW VIEW="f" QUERY="SELECT count(*) AS fruits FROM fruit"><KpPRIMARY NAME="s" VIEW="f">fruits=&[fruits]
EOF
    got=$(page "sql_$driver.kp" | sed '/^$/d')
    echo "$got" | grep -q "KpOPENVIEW: Runtime Error: The query names ':nosuchvariable', which is no variable" ||
        fail "$driver: a query naming no variable: $got"
    echo "$got" | grep -q "^join: \[apple 2 6 0\] \[fig 1 1 0\] \[kiwi 0  1\]$" ||
        fail "$driver: a join with aggregates: $got"
    echo "$got" | grep -q "^views: fig kiwi fig apple \[apple\] eof=1$" || fail "$driver: two views at once: $got"
    echo "$got" | grep -qF "bound: [x'); DROP TABLE fruit; --] 7 rows=1" || fail "$driver: a bound value: $got"
    echo "$got" | grep -q "^again: 8 fig$" || fail "$driver: a view closed and opened again: $got"
    got=$(page "after_$driver.kp" | sed '/^$/d')
    [ "$got" = "after: 5 23
ghosts=0
fruits=3" ] || fail "$driver: transactions: $got"
done
[ -f "$work/site/fruit.db" ] || fail "sqlite: no database file in the data directory"

# Refusals and errors, on both drivers.
for driver in sqlite postgresql; do
    eval "reopen=\$reopen_$driver"
    cat > "$work/site/refuse_$driver.kp" <<EOF
$reopen
<KpQUERY QUERY=q>
<KpQUERY QUERY="SELECT * FROM fruit WHERE name = '&[q]'">
<KpOPENVIEW VIEW="w" QUERY="SELECT name FROM fruit WHERE name = '&[q]'">
<KpLET ok=q><KpOPENVIEW VIEW="x" QUERY="SELECT name FROM fruit WHERE name = :ok">found=&[totrec]
<KpQUERY QUERY="SELEC 1">
<KpQUERY QUERY="SELECT 1; DROP TABLE fruit">
<KpUNDELETE VIEW="x">
EOF
    got=$(page "refuse_$driver.kp" "q=fig'%20OR%20'1'='1")
    n=$(echo "$got" | grep -c "holds text from outside the page, which never reaches a database as SQL")
    [ "$n" = 3 ] || fail "$driver: queries holding a visitor's text ($n refused): $got"
    echo "$got" | grep -q "^found=0$" || fail "$driver: a visitor's text as a bound value: $got"
    echo "$got" | grep -q "KpQUERY: Runtime Error: .*syntax error" || fail "$driver: a syntax error: $got"
    echo "$got" | grep -q "Line 7: KpQUERY: Runtime Error: " || fail "$driver: two statements in one query: $got"
    echo "$got" | grep -q "KpUNDELETE is not currently supported for databases of type '$driver'" ||
        fail "$driver: KpUNDELETE: $got"
    [ "$(page "after_$driver.kp" | sed -n '/fruits/p')" = "fruits=3" ] || fail "$driver: the table went"
done

# Values at the edges: a megabyte of text, a NUL byte and bytes that are no UTF-8
# from the request, numbers out of every range. Each is stored or refused with the
# server's reason; nothing else happens.
cat > "$work/site/odd.kp" <<'EOF'
<KpOPEN NAME="s" TYPE=driver DATABASE=db>
<KpQUERY QUERY="DROP TABLE IF EXISTS odd"><KpQUERY QUERY="CREATE TABLE odd (t TEXT, n INTEGER, r REAL)">
<KpLET big="x"><KpLET i=0><KpWHILE EXPR=i LT 20><KpLET big=big $ big><KpLET i=i + 1></KpWHILE>
<KpQUERY QUERY="INSERT INTO odd (t) VALUES (:big)">
<KpQUERY QUERY="INSERT INTO odd (t) VALUES (:v)">
<KpQUERY QUERY="INSERT INTO odd (t) VALUES (:w)">
<KpLET huge="99999999999999999999"><KpQUERY QUERY="INSERT INTO odd (n) VALUES (:huge)">
<KpLET r="1e400"><KpQUERY QUERY="INSERT INTO odd (r) VALUES (:r)">
<KpOPENVIEW VIEW="o" QUERY="SELECT length(t) AS l, n, r FROM odd"><KpWHILE EXPR=NOT eof>[&[l] &[n] &[r]]<KpSKIP></KpWHILE>
EOF
got=$(page odd.kp "driver=sqlite&db=fruit.db&v=a%00b&w=%FF%FE" | sed '/^$/d')
[ "$got" = "[1048576  ][1  ][2  ][ 100000000000000000000 ][  inf]" ] || fail "sqlite: values at the edges: $got"
got=$(page odd.kp "driver=postgresql&db=shop&v=a%00b&w=%FF%FE" | sed '/^$/d')
for want in "Line 5: KpQUERY: Runtime Error: A value holds a NUL byte" \
    "Line 6: KpQUERY: Runtime Error: invalid byte sequence" \
    "Line 7: KpQUERY: Runtime Error: value &quot;99999999999999999999&quot; is out of range" \
    "Line 8: KpQUERY: Runtime Error: &quot;1e400&quot; is out of range" "^\[1048576  \]$"; do
    echo "$got" | grep -q "$want" || fail "postgresql: values at the edges: no '$want' in: $got"
done

# Connections that fail say why, well within the time limit.
cat > "$work/site/connect.kp" <<'EOF'
<KpOPEN NAME="a" TYPE="postgresql" DATABASE="closed">
<KpOPEN NAME="b" TYPE="postgresql" DATABASE="shop" PASSWORD="wrong">
<KpOPEN NAME="c" TYPE="postgresql" DATABASE="fixed" USER="postgres">
<KpOPEN NAME="d" TYPE="postgresql" DATABASE="nowhere">
<KpOPEN NAME="e" TYPE="sqlite" DATABASE="missing.db">
<KpOPEN NAME="f" TYPE="sqlite" DATABASE="../outside.db">
<KpOPEN NAME="g" TYPE="postgresql" DATABASE="tls">
EOF
start=$(date +%s)
got=$(page connect.kp)
took=$(($(date +%s) - start))
[ "$took" -le 10 ] || fail "failed connections took $took s"
for want in "Database 'closed' cannot be reached: .*refused" \
    "Database 'shop' cannot be reached: .*password authentication failed" \
    "The database connection 'fixed' does not let pages choose the user" \
    "No database connection named 'nowhere' is configured" \
    "Database 'missing.db' cannot be opened" \
    "is not contained in the configured data directory" \
    "Database 'tls' cannot be reached: .*SSL"; do
    echo "$got" | grep -q "$want" || fail "connection errors: no '$want' in: $got"
done
[ -f "$work/site/missing.db" ] && fail "KpOPEN made a sqlite file"

# A request connects once however many of its databases use one connection.
cat > "$work/site/once.kp" <<'EOF'
<KpOPEN NAME="a" TYPE="postgresql" DATABASE="shop"><KpOPEN NAME="b" TYPE="postgresql" DATABASE="shop">
<KpOPENVIEW NAME="a" VIEW="v" QUERY="SELECT pg_backend_pid() AS x"><KpOPENVIEW NAME="b" VIEW="v" QUERY="SELECT pg_backend_pid() AS y"><KpOPENVIEW NAME="b" VIEW="n" QUERY="SELECT count(*) AS c FROM pg_stat_activity WHERE usename = 'web'">
<KpIF EXPR=a.d.x EQ b.d.y>one connection of &[c]<KpELSE>two</KpIF>
EOF
got=$(page once.kp | sed '/^$/d')
[ "$got" = "one connection of 1" ] || fail "databases on one connection: $got"

# A statement still running at the page's time limit is stopped there.
mkdir -p "$work/quick"
cp "$work/bin/kelp" "$work/quick/kelp"
sed 's/^globaltimeout = .*/globaltimeout = 2/' "$work/bin/kelp.conf" > "$work/quick/kelp.conf"
cat > "$work/site/slow.kp" <<'EOF'
<KpOPEN NAME="p" TYPE="postgresql" DATABASE="shop"><KpQUERY QUERY="SELECT pg_sleep(30)">
EOF
cat > "$work/site/endless.kp" <<'EOF'
<KpOPEN NAME="s" TYPE="sqlite" DATABASE="fruit.db"><KpQUERY QUERY="WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c">
EOF
for slow in slow endless; do
    start=$(date +%s)
    got=$(cd "$work/site" && env -i PATH_INFO=/$slow.kp "$work/quick/kelp" 2> /dev/null | tr -d '\r')
    took=$(($(date +%s) - start))
    [ "$took" -le 6 ] || fail "$slow.kp took $took s"
    echo "$got" | grep -q "did not answer within the page's time limit\|The query ran out of time" ||
        fail "$slow.kp past the time limit: $got"
done

# Eight processes add 500 rows each at once: none fails, none is lost.
for driver in sqlite postgresql; do
    eval "reopen=\$reopen_$driver"
    serial=$([ $driver = sqlite ] && echo "INTEGER PRIMARY KEY" || echo "SERIAL PRIMARY KEY")
    cat > "$work/site/make_$driver.kp" <<EOF
$reopen<KpQUERY QUERY="DROP TABLE IF EXISTS shared"><KpQUERY QUERY="CREATE TABLE shared (id $serial, k TEXT, w INTEGER)">
EOF
    cat > "$work/site/add_$driver.kp" <<EOF
$reopen<KpOPENVIEW VIEW="v" QUERY="SELECT k, w, id FROM shared WHERE id < 0">
<KpLET i=1><KpWHILE EXPR=i LE 500><KpLET k=arg2 \$ "-" \$ i><KpLET w=arg2><KpADD><KpLET i=i + 1></KpWHILE>done
EOF
    cat > "$work/site/count_$driver.kp" <<EOF
$reopen<KpOPENVIEW VIEW="v" QUERY="SELECT count(*) AS n, count(DISTINCT k) AS keys FROM shared">rows=&[n] keys=&[keys]
EOF
    page "make_$driver.kp" > /dev/null
    pids=""
    for w in 1 2 3 4 5 6 7 8; do
        (cd "$work/site" && env -i PATH_INFO=/add_$driver.kp "QUERY_STRING=$w" "$work/bin/kelp" > "$work/add$w.out" 2>&1) &
        pids="$pids $!"
    done
    wait $pids
    got=$(page "count_$driver.kp" | sed '/^$/d')
    [ "$got" = "rows=4000 keys=4000" ] || fail "$driver: concurrent adds: $got"
    for w in 1 2 3 4 5 6 7 8; do
        grep -q "Error" "$work/add$w.out" && fail "$driver adder $w: $(grep Error "$work/add$w.out" | head -n 3)"
    done
done
[ "$(PG_DB=shop pg_sql -c "SELECT count(*) FROM shared")" = 4000 ] || fail "postgresql: psql counts other rows"

# A FastCGI worker keeps its connection for the next request, and nothing of one
# request's session reaches the next: no open transaction, temporary table or
# setting.
cat > "$work/site/dirty.kp" <<'EOF'
<KpOPEN NAME="s" TYPE="postgresql" DATABASE="shop">
<KpQUERY QUERY="CREATE TEMPORARY TABLE scratch (x INTEGER)"><KpQUERY QUERY="SET datestyle = 'German'">
<KpQUERY QUERY="BEGIN"><KpQUERY QUERY="INSERT INTO orders (fruit, amount) VALUES ('dirty', 1)">
<KpOPENVIEW VIEW="p" QUERY="SELECT pg_backend_pid() AS pid">&[pid]
EOF
cat > "$work/site/clean.kp" <<'EOF'
<KpOPEN NAME="s" TYPE="postgresql" DATABASE="shop">
<KpOPENVIEW VIEW="p" QUERY="SELECT pg_backend_pid() AS pid, (SELECT count(*) FROM pg_tables WHERE tablename = 'scratch') AS temps, current_setting('datestyle') AS style, (SELECT count(*) FROM orders WHERE fruit = 'dirty') AS dirty">&[pid] &[temps] &[style] &[dirty]
EOF
echo "fastcgiworkers = 1" >> "$work/bin/kelp.conf"
got=$(python3 - "$source/tests/support" "$work" <<'EOF'
import os, socket, subprocess, sys, time
sys.path.insert(0, sys.argv[1])
import fcgi_client as fc
work = sys.argv[2]
s = socket.socket(); s.bind(("127.0.0.1", 0)); port = s.getsockname()[1]; s.close()
address = "127.0.0.1:%d" % port
p = subprocess.Popen([work + "/bin/kelp", "--fastcgi", address], cwd=work + "/site", env={},
                     stderr=subprocess.DEVNULL)
def ask(name):
    for _ in range(100):
        try:
            out, _, status = fc.ask(address, [("PATH_INFO", "/" + name), ("REQUEST_METHOD", "GET"),
                                              ("SERVER_NAME", "localhost")], timeout=20)
            return out.decode().split("\r\n\r\n", 1)[1].strip()
        except OSError:
            time.sleep(0.05)
try:
    dirty = ask("dirty.kp")
    clean = ask("clean.kp").split()
    print("same" if clean[0] == dirty else "other", " ".join(clean[1:]))
finally:
    p.terminate()
    p.wait()
EOF
)
[ "$got" = "same 0 ISO, MDY 0" ] || fail "postgresql through FastCGI: the next request saw: $got"

[ $failures = 0 ] && echo "all SQL page checks passed"
exit $((failures > 0))
