#!/bin/sh
# Serves examples/site through lighttpd on 127.0.0.1:8080: .kp pages run through
# kelp, the counter runs as a CGI program. The programs, their configuration and
# the counter's files live in BUILD/demo; the site's own files are used in place.
# Files the pages write (exports, uploads) are served from the data directory under
# /downloads/ and /uploads/; the stylesheet from the site under /static/.
# Usage: demo.sh BUILD_DIR [PORT [DEMO_DIR]]   (DEMO_DIR: default BUILD_DIR/demo)
# The banner comes once the server answers; errors the pages show are also written
# here (the server's standard error).
set -eu
build=$(cd "$1" && pwd)
port=${2:-8080}
site=$(cd "$(dirname "$0")/site" && pwd)
demo=${3:-$build/demo}
mkdir -p "$demo/digits" "$demo/htdocs/cgi-bin" "$demo/data/exports" "$demo/data/uploads"
"$build/tally-digits" "$demo/digits"
# TALLY: another build of the counter (the tests run one that keeps its files in cgi-bin).
cp "${TALLY:-$build/nph-tally-demo}" "$demo/htdocs/cgi-bin/nph-tally"
mkdir -p "$demo/htdocs/cgi-bin/digits" && "$build/tally-digits" "$demo/htdocs/cgi-bin/digits"
cp "$build/kelp" "$demo/htdocs/cgi-bin/kelp"
cat > "$demo/htdocs/cgi-bin/kelp.conf" <<CONF
# Scripts come from the site; data and temporary files go to the demo directory.
kelproot = $site
stdmodedatadir = $demo/data
tempdir = $demo/data
validextensions = kp
CONF
# A .kp URL (or a directory) is handed to kelp as /cgi-bin/kelp/PAGE, so the page
# arrives as PATH_INFO; other files are served from the site as they are, except
# the scripts' source, which is never sent.
# (Which server answers: another one may hold the port.)
instance="$$-$(date +%s)"
cat > "$demo/lighttpd.conf" <<CONF
server.modules = ( "mod_access", "mod_alias", "mod_rewrite", "mod_cgi", "mod_accesslog", "mod_setenv" )
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$demo/htdocs"
server.errorlog = "$demo/error.log"
accesslog.filename = "$demo/access.log"
mimetype.assign = ( ".html" => "text/html", ".gif" => "image/gif", ".css" => "text/css", ".png" => "image/png",
                    ".jpg" => "image/jpeg", ".txt" => "text/plain; charset=utf-8",
                    ".tsv" => "text/tab-separated-values; charset=utf-8", "" => "application/octet-stream" )
alias.url = ( "/static/" => "$site/static/", "/downloads/" => "$demo/data/exports/",
              "/uploads/" => "$demo/data/uploads/" )
setenv.add-response-header = ( "X-Content-Type-Options" => "nosniff", "X-Demo-Instance" => "$instance" )
static-file.exclude-extensions = ( ".kp" )
url.access-deny = ( ".conf" )
url.rewrite-once = ( "^/(\\?(.*))?\$" => "/cgi-bin/kelp/index.kp?\$2",
                     "^(/[^?]*\\.kp|/[^?]*/)(\\?(.*))?\$" => "/cgi-bin/kelp\$1?\$3" )
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ( "" => "" ) }
CONF
lighttpd -D -f "$demo/lighttpd.conf" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; exit 0' INT TERM
# Up when it answers; gone when it could not start (the port is taken, most often).
tries=0
until curl -s -I "http://127.0.0.1:$port/static/style.css" 2>/dev/null | grep -q "X-Demo-Instance: $instance"; do
    if ! kill -0 $server 2>/dev/null || [ $tries -ge 100 ]; then
        kill $server 2>/dev/null || true
        echo "The demo's server did not start on port $port (see above; is the port taken?)." >&2
        echo "Choose another port: make demo PORT=8081" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.1
done
echo "Kelp demo on http://127.0.0.1:$port/ (Ctrl-C to stop)"
wait $server
