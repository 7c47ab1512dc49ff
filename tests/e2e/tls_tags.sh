#!/bin/bash
# Encrypted connections against real servers with certificates made here: KpCALL
# over https (lighttpd with mod_openssl), KpSMTP with STARTTLS, implicit TLS and
# AUTH (aiosmtpd), KpPOP over TLS and STLS (dovecot). Certificates are verified:
# an untrusted one, or one for another name, is refused with the reason.
# Usage: tls_tags.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/servers.sh"
state=$(mktemp -d "$build/e2e-tls-XXXXXX")
chmod 755 "$state"
trap 'bash "$here/lighttpd.sh" stop "$state/http"; bash "$here/lighttpd.sh" stop "$state/other"; stop_servers; rm -rf "$state"' EXIT
site="$state/site"
mkdir -p "$site"
make_certs "$state/certs" || { echo "FAIL: no certificates"; exit 1; }
certs="$state/certs"

failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
expect() { [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"; }
# page NAME TEXT [CONF]: writes and runs a page; prints it without the header block
page() {
    printf '%s\n' "$2" > "$site/$1"
    printf '%s\n' "${3:-}" > "$state/conf"
    KELP_ENV="PORT=${PORT:-0} OTHER=${OTHER:-0} SMTP=${SMTPHOST:-} POP=${POPHOST:-}" KELP_CONF_FILE="$state/conf" \
        sh "$here/../pages/kelp_page.sh" "$build/kelp" "$site" "$1" | tr -d '\r' | sed '1,/^$/d'
}
trusted="tlscafile = $certs/ca.pem"

# --- https
for s in http other; do
    mkdir -p "$state/$s/htdocs/cgi-bin"
    name=server; [ $s = other ] && name=other
    printf 'server.modules += ( "mod_openssl" )\nssl.engine = "enable"\nssl.pemfile = "%s"\n' \
        "$certs/$name-full.pem" > "$state/$s/extra.conf"
done
printf '<p class="x">secure <b>page</b></p>' > "$state/http/htdocs/page.html"
cat > "$state/http/htdocs/cgi-bin/echo.cgi" <<EOF
#!/bin/sh
printf 'Content-Type: text/plain\r\n\r\n'
echo "https=\$HTTPS method=\$REQUEST_METHOD query=\$QUERY_STRING"
[ -n "\${CONTENT_LENGTH:-}" ] && head -c "\$CONTENT_LENGTH" > "$state/body.raw"
exit 0
EOF
chmod 755 "$state/http/htdocs/cgi-bin/echo.cgi"
PORT=$(bash "$here/lighttpd.sh" start "$state/http") || exit 1
OTHER=$(bash "$here/lighttpd.sh" start "$state/other") || exit 1

expect "walk over https" "[tag|p|1|class=x][text|secure ][tag|b|0|][text|page][tag|/b|0|][tag|/p|0|]" \
    "$(page walk.kp '<KpCALL ACTION="https://localhost:&[PORT]/page.html" METHOD="GET"><KpIF EXPR=callobjecttype EQ "text">[text|&[callvalue]]<KpELSE>[tag|&[callobjectelement]|&[callobjectnumattributes]|<KpIF EXPR=callobjectnumattributes GT 0>&[callobjectattribute1]=&[callobjectvalue1]</KpIF>]</KpIF></KpCALL>' "$trusted")"
expect "GET with fields" "https=on method=GET query=q=a+b" \
    "$(page get.kp '<KpLET q="a b"><KpCALL ACTION="https://127.0.0.1:&[PORT]/cgi-bin/echo.cgi" METHOD="GET" FIELDS="q">&[callvalue]</KpCALL>' "$trusted" | head -n 1)"
page post.kp '<KpLET q="x&y"><KpCALL ACTION="https://127.0.0.1:&[PORT]/cgi-bin/echo.cgi" METHOD="POST" FIELDS="q"></KpCALL>' "$trusted" > /dev/null
expect "POST body" "q=x%26y" "$(cat "$state/body.raw")"
head -c 70000 /dev/urandom > "$site/upload.bin"
page upload.kp '<KpLET f="upload.bin"><KpCALL ACTION="https://127.0.0.1:&[PORT]/cgi-bin/echo.cgi" METHOD="POST" FILES="f"></KpCALL>' "$trusted" > /dev/null
/usr/bin/python3 - "$state/body.raw" "$site/upload.bin" <<'EOF' || fail "the upload over https did not arrive exactly"
import sys
raw, original = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
assert original in raw and raw.index(original) > 0
EOF

# TLS costs nothing to a page that makes no encrypted connection: libssl is loaded
# by the first https request, never at start-up.
libssl() {  # libssl PAGE: how often the dynamic loader opened libssl for the page
    KELP_ENV="LD_DEBUG=files PORT=$PORT" KELP_CONF_FILE="$state/conf" \
        sh "$here/../pages/kelp_page.sh" "$build/kelp" "$site" "$1" 2>&1 > /dev/null | grep -c 'file=libssl'
}
printf 'Hello\n' > "$site/hello.kp"
printf '%s\n' "$trusted" > "$state/conf"
expect "libssl for a hello page" 0 "$(libssl hello.kp)"
[ "$(libssl walk.kp)" -ge 1 ] || fail "libssl was not loaded for an https page"

errpage='<KELP KpCALL_ERROR="nonfatal,nodisplay"><KpCALL ACTION="&[URL]" METHOD="GET">x</KpCALL>[&[KpCALL_Error]]'
out=$(URL="https://localhost:$PORT/page.html" page untrusted.kp "${errpage//&\[URL\]/https://localhost:$PORT/page.html}")
case "$out" in *"certificate verification failed: "*) ;; *) fail "an untrusted certificate was accepted: $out" ;; esac
out=$(page mismatch.kp "${errpage//&\[URL\]/https://127.0.0.1:$OTHER/page.html}" "$trusted")
expect "certificate for another name" "[Unable to open URL 'https://127.0.0.1:$OTHER/page.html': certificate verification failed: IP address mismatch]" "$out"
out=$(page mismatch2.kp "${errpage//&\[URL\]/https://localhost:$OTHER/page.html}" "$trusted")
expect "certificate for another host name" "[Unable to open URL 'https://localhost:$OTHER/page.html': certificate verification failed: hostname mismatch]" "$out"
out=$(page plain.kp "${errpage//&\[URL\]/https://127.0.0.1:$(free_port)/}" "$trusted")
case "$out" in *"Connection refused]") ;; *) fail "https to a closed port: $out" ;; esac

# --- SMTP: STARTTLS with AUTH, and TLS from the start
start_smtp "$state/smtp" starttls "$certs/server.pem" "$certs/server.key" tester:secret || exit 1
SMTPHOST="127.0.0.1:$SMTP_PORT"
SMTP1=$SMTP_PORT
start_smtp "$state/smtps" tls "$certs/server.pem" "$certs/server.key" || exit 1
SMTPS="localhost:$SMTP_PORT"
SMTP_PORT=$SMTP1
mailpage() {  # mailpage NAME ATTRIBUTES [CONF]: sends one message, prints the error variable
    page "$1" "<KELP KpSMTP_ERROR=\"nonfatal,nodisplay\"><KpSMTP FROM=\"site@example.com\" TO=\"ann@example.com\" SUBJECT=\"Over TLS\" $2>
Body over TLS
.
</KpSMTP>[&[KpSMTP_Error]]" "${3:-$trusted}"
}
sent="$state/smtp/mail"
expect "STARTTLS and AUTH PLAIN" "[]" "$(mailpage plain.kp 'MAILHOST="&[SMTP]" SECURITY="starttls" USER="tester" PASSWORD="secret"')"
expect "STARTTLS and AUTH LOGIN" "[]" "$(mailpage login.kp 'MAILHOST="&[SMTP]" SECURITY="starttls" USER="tester" PASSWORD="secret" AUTH="login"')"
expect "message over STARTTLS" "From: site@example.com|To: ann@example.com|X-Mailer: Kelp v3.7833|Subject: Over TLS|MIME-Version: 1.0|Content-Type: text/plain; charset=UTF-8|Content-Transfer-Encoding: 8bit||Body over TLS|." \
    "$(sed 1d "$sent/1.eml" | tr -d '\r' | paste -sd '|')"
expect "logins" "PLAIN tester|LOGIN tester" "$(paste -sd '|' "$sent/auth.log")"
expect "second message" 2 "$(ls "$sent" | grep -c json)"
out=$(mailpage wrong.kp 'MAILHOST="&[SMTP]" SECURITY="starttls" USER="tester" PASSWORD="wrong"')
case "$out" in "[Error logging into '127.0.0.1:$SMTP_PORT': "*"uthentication"*) ;; *) fail "wrong password: $out" ;; esac
case "$out" in *wrong*) fail "the password appears in the message: $out" ;; esac
logins=$(wc -l < "$sent/auth.log")
expect "login without TLS refused" "[Refusing to send the password over an unencrypted connection: ask for SECURITY=&quot;starttls&quot; or &quot;tls&quot; (or allow it with PLAINTEXTLOGIN)]" \
    "$(mailpage cleartext.kp 'MAILHOST="&[SMTP]" USER="tester" PASSWORD="secret"' | sed 's/"/\&quot;/g')"
expect "no AUTH reached the server" "$logins" "$(wc -l < "$sent/auth.log")"
out=$(mailpage untrusted.kp 'MAILHOST="&[SMTP]" SECURITY="starttls" USER="tester" PASSWORD="secret"' " ")
case "$out" in "[Error starting TLS with '127.0.0.1:$SMTP_PORT': certificate verification failed: "*) ;; *) fail "untrusted SMTP certificate: $out" ;; esac
expect "logins after the untrusted server" "$logins" "$(wc -l < "$sent/auth.log")"
out=$(mailpage notls.kp 'MAILHOST="&[SMTP]"')
case "$out" in "[Error connecting to '127.0.0.1:$SMTP_PORT': Must issue a STARTTLS command first]") ;; *) fail "a server requiring STARTTLS: $out" ;; esac
SMTPHOST=$SMTPS
expect "TLS from the start" "[]" "$(mailpage implicit.kp 'MAILHOST="&[SMTP]" SECURITY="tls"')"
expect "message over TLS" "Body over TLS" "$(sed -n 10p "$state/smtps/mail/1.eml" | tr -d '\r')"

# --- POP3: TLS from the start, and STLS
start_pop3 "$state/pop" tester secret "$certs/server.pem" "$certs/server.key" || exit 1
box="$state/pop/home/tester/Maildir/new"
printf 'From: ann@example.com\nSubject: Secret\n\nover TLS\n' > "$box/1.m"
chmod 644 "$box/1.m"
POPHOST="127.0.0.1:$POP3S_PORT"
pop='<KELP KpPOP_ERROR="nonfatal,nodisplay"><KpPOP LOGIN="tester" PASSWORD="secret" DIRECTORY="." MAILHOST="&[POP]" SECURITY="@MODE@">[&[messagesubject] from &[messagesender]]</KpPOP>[&[KpPOP_Error]]'
expect "POP3 over TLS" "[Secret from ann@example.com][]" "$(page pops.kp "${pop/@MODE@/tls}" "$trusted")"
POPHOST="localhost:$POP3_PORT"
expect "POP3 with STLS" "[Secret from ann@example.com][]" "$(page stls.kp "${pop/@MODE@/stls}" "$trusted")"
out=$(page popuntrusted.kp "${pop/@MODE@/stls}" " ")
case "$out" in "[Error starting TLS with 'localhost:$POP3_PORT': certificate verification failed: "*) ;; *) fail "untrusted POP3 certificate: $out" ;; esac

[ $failures = 0 ] && echo "all TLS cases passed"
exit $((failures > 0))
