#!/bin/sh
# Serves examples/site through lighttpd on 127.0.0.1:8080 with the counter as a CGI
# program; its count file, digit pictures, lock and log live in BUILD/demo.
# Usage: demo.sh BUILD_DIR [PORT]
set -eu
build=$(cd "$1" && pwd)
port=${2:-8080}
site=$(cd "$(dirname "$0")/site" && pwd)
demo="$build/demo"
mkdir -p "$demo/digits" "$demo/htdocs/cgi-bin"
"$build/tally-digits" "$demo/digits"
# The document root: the site's files, and the programs in cgi-bin.
cp -R "$site"/. "$demo/htdocs/"
cp "$build/nph-tally-demo" "$demo/htdocs/cgi-bin/nph-tally"
cat > "$demo/lighttpd.conf" <<CONF
server.modules = ( "mod_cgi", "mod_accesslog" )
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$demo/htdocs"
server.errorlog = "$demo/error.log"
accesslog.filename = "$demo/access.log"
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html", ".gif" => "image/gif" )
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ( "" => "" ) }
CONF
echo "Kelp demo on http://127.0.0.1:$port/ (Ctrl-C to stop)"
exec lighttpd -D -f "$demo/lighttpd.conf"
