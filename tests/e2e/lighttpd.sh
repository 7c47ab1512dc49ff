#!/bin/bash
# The project's lighttpd for end-to-end tests, on 127.0.0.1 only, with a private
# configuration (never /etc/lighttpd). Every executable in STATEDIR/htdocs/cgi-bin
# runs as the CGI program /cgi-bin/NAME. Settings in STATEDIR/extra.conf, if it
# exists, are added (mod_rewrite is loaded for them).
#   bash lighttpd.sh start STATEDIR   (prints the port it listens on)
#   lighttpd.sh stop STATEDIR
#   lighttpd.sh fastcgi STATEDIR KELP  (before start: .kp URLs go to a copy of KELP in
#       STATEDIR/fcgi, which lighttpd starts as a FastCGI responder with the configuration
#       STATEDIR/fcgi/kelp.conf the caller writes; /cgi-bin/ URLs stay CGI; the
#       responder's standard error goes to STATEDIR/fastcgi-stderr.log)
set -eu
state=$(mkdir -p "$2" && cd "$2" && pwd)
case "$1" in
start)
    mkdir -p "$state/htdocs/cgi-bin"
    for attempt in 1 2 3 4 5 6 7 8; do
        port=$(( 20000 + ($$ * 7 + attempt * 131) % 30000 ))
        cat > "$state/lighttpd.conf" <<CONF
server.modules = ( "mod_rewrite", "mod_cgi", "mod_accesslog" )
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$state/htdocs"
server.errorlog = "$state/error.log"
accesslog.filename = "$state/access.log"
server.pid-file = "$state/lighttpd.pid"
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html", ".gif" => "image/gif" )
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ( "" => "" ) }
CONF
        if [ -f "$state/extra.conf" ]; then
            echo "include \"$state/extra.conf\"" >> "$state/lighttpd.conf"
        fi
        lighttpd -f "$state/lighttpd.conf" 2>/dev/null || continue
        for _ in $(seq 100); do
            if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
                echo "$port"
                exit 0
            fi
            sleep 0.1
        done
        kill "$(cat "$state/lighttpd.pid")" 2>/dev/null || true
    done
    echo "lighttpd did not start" >&2
    exit 1
    ;;
fastcgi)
    mkdir -p "$state/fcgi"
    cp "$3" "$state/fcgi/kelp"
    cat >> "$state/extra.conf" <<CONF
server.modules += ( "mod_fastcgi" )
url.rewrite-once = ( "^(/cgi-bin/.*)\$" => "\$1",
                     "^(/[^?]*\\.kp)(\\?(.*))?\$" => "/kelp\$1?\$3" )
fastcgi.server = ( "/kelp" => (( "socket" => "$state/kelp.sock", "bin-path" => "$state/fcgi/kelp",
                                 "max-procs" => 1, "check-local" => "disable" )) )
server.breakagelog = "$state/fastcgi-stderr.log"
CONF
    ;;
stop)
    [ -f "$state/lighttpd.pid" ] && kill "$(cat "$state/lighttpd.pid")" 2>/dev/null || true
    ;;
esac
