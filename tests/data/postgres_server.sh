# A PostgreSQL server of its own for a test or a benchmark, sourced by its script:
# pg_start DIR makes a cluster in DIR (initdb), starts it on a free port on
# 127.0.0.1 with its socket in DIR, and makes the role web (password "secret") and
# its database shop; pg_stop stops it. Sets PG_PORT, PG_SOCKET and pg_sql (psql as
# the superuser through the socket). As root, the server runs as the postgres user.
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2> /dev/null | sort -V | tail -n 1)

pg_as() {
    if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

pg_start() {
    PG_DIR=$1
    [ -x "$pg_bin/initdb" ] || { echo "PostgreSQL is not installed (package postgresql)" >&2; return 1; }
    mkdir -p "$PG_DIR"
    [ "$(id -u)" = 0 ] && chown postgres "$PG_DIR"
    PG_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    PG_SOCKET=$PG_DIR
    pg_as "$pg_bin/initdb" -D "$PG_DIR/data" -U postgres --auth-local=trust \
        --auth-host=scram-sha-256 > "$PG_DIR/initdb.log" 2>&1 || { cat "$PG_DIR/initdb.log" >&2; return 1; }
    pg_as "$pg_bin/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w -t 60 \
        -o "-c listen_addresses=127.0.0.1 -p $PG_PORT -k $PG_DIR -c fsync=off -c max_connections=40" \
        start > /dev/null || { cat "$PG_DIR/server.log" >&2; return 1; }
    pg_sql -c "CREATE ROLE web LOGIN PASSWORD 'secret'" > /dev/null &&
        pg_sql -c "CREATE DATABASE shop OWNER web" > /dev/null
}

pg_sql() {
    pg_as psql -X -q -t -A -h "$PG_SOCKET" -p "$PG_PORT" -U postgres -d "${PG_DB:-postgres}" "$@"
}

pg_stop() {
    [ -n "${PG_DIR:-}" ] && [ -d "$PG_DIR/data" ] &&
        pg_as "$pg_bin/pg_ctl" -D "$PG_DIR/data" -m immediate -w stop > /dev/null 2>&1
    return 0
}
