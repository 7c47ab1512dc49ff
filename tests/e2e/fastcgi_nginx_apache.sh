#!/bin/bash
# kelp --fastcgi behind a real nginx (fastcgi_pass to a unix socket) and a real Apache
# (mod_proxy_fcgi to 127.0.0.1), each with the configuration docs/fastcgi.md gives: a
# query, a form, an upload, an error, a missing page and a page in a directory
# answer through both as the CGI program answers them, and a worker killed in the
# middle of a request is replaced before the next one.
# Usage: fastcgi_nginx_apache.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d "$build/e2e-fastcgi-servers-XXXXXX")
site="$state/site"
stop() {
    [ -f "$state/nginx.pid" ] && kill "$(cat "$state/nginx.pid")" 2> /dev/null
    [ -f "$state/apache.pid" ] && kill "$(cat "$state/apache.pid")" 2> /dev/null
    for p in "${responders[@]:-}"; do [ -n "$p" ] && kill "$p" 2> /dev/null; done
    sleep 0.3
    rm -rf "$state"
}
responders=()
trap stop EXIT
nginx=$(command -v nginx || echo /usr/sbin/nginx)
apache=$(command -v apache2 || echo /usr/sbin/apache2)
modules=/usr/lib/apache2/modules
for program in "$nginx" "$apache"; do
    [ -x "$program" ] || { echo "missing $program (make test installs it)"; exit 1; }
done
mkdir -p "$site" "$state/bin" "$state/cgi" "$state/tmp"
cp -R "$here/site/." "$site/"
cp "$build/kelp" "$state/bin/kelp"
cp "$build/kelp" "$state/cgi/kelp"
for dir in bin cgi; do
    printf '%s\n' "kelproot = $site" "stdmodedatadir = $site" "validextensions = kp" "usecookies = off" \
        > "$state/$dir/kelp.conf"
done
echo "fastcgiworkers = 2" >> "$state/bin/kelp.conf"
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# The responders: one on a unix socket for nginx, one on TCP for Apache (whose workers
# never run as root, and so could not open a socket file root made).
(umask 000; exec "$state/bin/kelp" --fastcgi "$state/kelp.sock") 2> "$state/responder.log" &
responders+=($!)
kport=$(free_port)
"$state/bin/kelp" --fastcgi "127.0.0.1:$kport" 2>> "$state/responder.log" &
responders+=($!)

nport=$(free_port)
user=""
[ "$(id -u)" = 0 ] && user="user root;"
cat > "$state/nginx.conf" <<CONF
$user
worker_processes 1;
pid $state/nginx.pid;
error_log $state/nginx-error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $state/tmp/body;
    fastcgi_temp_path $state/tmp/fastcgi;
    proxy_temp_path $state/tmp/proxy;
    uwsgi_temp_path $state/tmp/uwsgi;
    scgi_temp_path $state/tmp/scgi;
    server {
        listen 127.0.0.1:$nport;
        location ~ \.kp\$ {
            include /etc/nginx/fastcgi_params;
            fastcgi_param PATH_INFO \$uri;
            fastcgi_pass unix:$state/kelp.sock;
        }
    }
}
CONF
"$nginx" -c "$state/nginx.conf" -p "$state" 2> "$state/nginx-start.log" ||
    { echo "nginx did not start: $(cat "$state/nginx-start.log")"; exit 1; }

aport=$(free_port)
cat > "$state/apache.conf" <<CONF
ServerRoot "$state"
ServerName localhost
Listen 127.0.0.1:$aport
PidFile "$state/apache.pid"
ErrorLog "$state/apache-error.log"
DefaultRuntimeDir "$state"
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule proxy_module $modules/mod_proxy.so
LoadModule proxy_fcgi_module $modules/mod_proxy_fcgi.so
$( [ "$(id -u)" = 0 ] && printf 'User nobody\nGroup nogroup\n' )
ProxyPassMatch "^(/.*\.kp)\$" "fcgi://127.0.0.1:$kport\$1"
<LocationMatch "\.kp\$">
    ProxyFCGIBackendType GENERIC
    ProxyFCGISetEnvIf "true" PATH_INFO "%{REQUEST_URI}"
</LocationMatch>
CONF
"$apache" -f "$state/apache.conf" -k start 2> "$state/apache-start.log" ||
    { echo "Apache did not start: $(cat "$state/apache-start.log")"; exit 1; }

for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$nport/hello.kp" && curl -s -o /dev/null "http://127.0.0.1:$aport/hello.kp" && break
    sleep 0.1
done

failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
# The CGI program's answer to a request: its status and its body.
cgi() {  # cgi PATH QUERY METHOD [BODY-FILE CONTENT-TYPE]
    local input=/dev/null extra=()
    if [ -n "${4:-}" ]; then
        input=$4
        extra=(CONTENT_LENGTH="$(wc -c < "$4")" CONTENT_TYPE="$5")
    fi
    (cd "$site" && env -i PATH_INFO="$1" QUERY_STRING="$2" REQUEST_METHOD="$3" SERVER_NAME=localhost \
        SERVER_PORT=80 GATEWAY_INTERFACE=CGI/1.1 "${extra[@]}" "$state/cgi/kelp" < "$input" 2> /dev/null) |
        awk 'BEGIN { status = 200 } !body && /^Status: / { status = $2 } body { print } /^\r?$/ && !body { body = 1; print status }' |
        tr -d '\r'
}
# The same request through a web server.
served() {  # served PORT PATH QUERY CURL-ARGS...
    local port=$1 path=$2 query=$3
    shift 3
    local url="http://127.0.0.1:$port$path"
    [ -n "$query" ] && url="$url?$query"
    { curl -s -o "$state/body" -w '%{http_code}\n' "$@" "$url"; cat "$state/body"; } | tr -d '\r'
}
check() {  # check NAME PATH QUERY METHOD [BODY-FILE CONTENT-TYPE -- CURL-ARGS...]
    local name=$1 path=$2 query=$3 method=$4
    shift 4
    local file="" type=""
    if [ $# -gt 0 ]; then file=$1; type=$2; shift 3; fi
    local want
    want=$(cgi "$path" "$query" "$method" "$file" "$type")
    for server in nginx:$nport apache:$aport; do
        local got
        got=$(served "${server#*:}" "$path" "$query" "$@")
        [ "$got" = "$want" ] || fail "$name through ${server%%:*}: [$(head -c 300 <<< "$got")] want [$(head -c 300 <<< "$want")]"
    done
}
check "a query" /hello.kp "name=World" GET
printf 'a=1&b=two%%21' > "$state/form"
check "a form" /form.kp "q=x" POST "$state/form" application/x-www-form-urlencoded -- --data-binary "@$state/form"
check "an error" /broken.kp "" GET
check "a missing page" /missing.kp "" GET
check "a page in a directory" /sub/index.kp "" GET
head -c 3000 /dev/urandom > "$state/upload.bin"
for server in nginx:$nport apache:$aport; do
    got=$(served "${server#*:}" /upload.kp "" -F note=hi -F "doc=@$state/upload.bin;type=application/octet-stream")
    [[ "$got" == *"note=[hi] uploads=[doc upload.bin COMPLETE application/octet-stream 3000;]"* ]] &&
        cmp -s "$state/upload.bin" "$site/kept.bin" || fail "upload through ${server%%:*}: [$got]"
    rm -f "$site/kept.bin"
done

# A worker killed in the middle of a request: that request fails, the next succeeds.
for server in nginx:$nport:0 apache:$aport:1; do
    port=$(cut -d: -f2 <<< "$server")
    supervisor=${responders[$(cut -d: -f3 <<< "$server")]}
    curl -s -o /dev/null "http://127.0.0.1:$port/slow.kp" &
    client=$!
    sleep 0.5
    busy=""
    for w in $(pgrep -P "$supervisor"); do
        # The worker serving the slow page is the one using the processor.
        [ "$(awk '{ print $3 }' "/proc/$w/stat")" = R ] && busy=$w
    done
    [ -n "$busy" ] || busy=$(pgrep -P "$supervisor" | head -n 1)
    kill -9 "$busy"
    wait "$client" || true
    got=$(served "$port" /hello.kp "name=after")
    [[ "$got" == "200"*"Hello after"* ]] || fail "after a killed worker through ${server%%:*}: [$got]"
    # (A killed worker stays a child until the supervisor has taken its status.)
    replaced=""
    for _ in $(seq 30); do
        children=$(pgrep -P "$supervisor" | tr '\n' ' ')
        if [ "$(wc -w <<< "$children")" = 2 ] && ! grep -qw "$busy" <<< "$children"; then replaced=1; break; fi
        sleep 0.1
    done
    [ -n "$replaced" ] || fail "the killed worker $busy was not replaced (${server%%:*}): $children"
done

[ "$failures" = 0 ] && echo "fastcgi_nginx_apache: all passed"
exit "$failures"
