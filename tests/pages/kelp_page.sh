#!/bin/sh
# kelp_page.sh KELP SITE PAGE
# Runs SITE/PAGE through the CGI program the way a web server does for the URL path
# /PAGE: a clean environment (PATH_INFO, SERVER_NAME, the method, and any extra
# NAME=value words in $KELP_ENV), standard input passed through, and a private
# configuration in which SITE is the script, data and temporary directory and no
# caller-id cookie is sent. The response (header block and page) goes to standard
# output; the exit status is the program's.
# KELP_ENV_FILE names a file of NAME=value lines added to the environment as they
# stand (values may hold blanks and quotes); KELP_CONF_FILE a file of lines added to
# the configuration.
kelp=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
site=$(cd "$2" && pwd)
page=$3
bin=$(mktemp -d)
ln -s "$kelp" "$bin/kelp"
cat > "$bin/kelp.conf" <<CONF
kelproot = $site
stdmodedatadir = $site
tempdir = $site
usecookies = off
globaltimeout = 0
CONF
if [ -n "$KELP_CONF_FILE" ]; then cat "$KELP_CONF_FILE" >> "$bin/kelp.conf"; fi
set --
if [ -n "$KELP_ENV_FILE" ]; then
    while IFS= read -r line || [ -n "$line" ]; do
        [ -n "$line" ] && set -- "$@" "$line"
    done < "$KELP_ENV_FILE"
fi
# shellcheck disable=SC2086
(cd "$site" && env -i PATH_INFO="/$page" SERVER_NAME=localhost SERVER_PORT=80 \
    REQUEST_METHOD=GET GATEWAY_INTERFACE=CGI/1.1 $KELP_ENV "$@" "$bin/kelp")
status=$?
rm -rf "$bin"
exit $status
