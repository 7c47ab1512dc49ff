#!/bin/bash
# KpSMTP against a real SMTP server (python3-aiosmtpd) and KpPOP against a real POP3
# server (dovecot), both started here on free loopback ports: what arrives is what the
# page sent, and what a mailbox holds reaches the page as text.
# Usage: mail_tags.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/servers.sh"
state=$(mktemp -d "$build/e2e-mail-XXXXXX")
chmod 755 "$state"  # dovecot's mail processes run as another user
trap 'stop_servers; rm -rf "$state"' EXIT
site="$state/site"
mkdir -p "$site/inbox"
start_smtp "$state/smtp" || exit 1
start_pop3 "$state/pop" tester secret || exit 1
maildir="$state/pop/home/tester/Maildir"
sent="$state/smtp/mail"

failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
expect() { [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"; }
page() {
    KELP_ENV="SMTP=127.0.0.1:$SMTP_PORT POP=127.0.0.1:$POP3_PORT QUERY_STRING=${QUERY:-}" \
        sh "$here/../pages/kelp_page.sh" "$build/kelp" "$site" "$1" | tr -d '\r' | sed '1,/^$/d'
}
messages() { ls "$sent" | grep -c '\.json$'; }

# One message: envelope, headers, CR LF line ends, a lone "." and a leading dot
# arriving as sent, a stray CR dropped, a visitor's tag arriving as text.
{
    printf '<KpSMTP FROM="Kelp Site <site@example.com>" TO="ann@example.com, bob@example.com" CC=" cy@example.com,dee@example.com " MAILHOST="&[SMTP]">\n'
    printf 'Hello &[v]\n.\n.leading dot\nstray\rCR\n</KpSMTP>[&[KpSMTP_Error]]\n'
} > "$site/send.kp"
expect "send page" "[]" "$(QUERY='v=%3CKpEVAL+EXPR%3D6+*+7%3E' page send.kp)"
expect "envelope" '{"mail_from": "site@example.com", "rcpt_tos": ["ann@example.com", "bob@example.com", "cy@example.com", "dee@example.com"], "helo": "localhost"}' \
    "$(cat "$sent/1.json")"
expect "message" "From: Kelp Site <site@example.com>|To: ann@example.com, bob@example.com|CC:  cy@example.com,dee@example.com |X-Mailer: Kelp v3.7833|Subject: (no subject)|MIME-Version: 1.0|Content-Type: text/plain; charset=UTF-8|Content-Transfer-Encoding: 8bit||Hello <KpEVAL EXPR=6 * 7>|.|.leading dot|strayCR" \
    "$(sed 1d "$sent/1.eml" | tr -d '\r' | paste -sd '|')"
[ "$(grep -c $'\r$' "$sent/1.eml")" = "$(wc -l < "$sent/1.eml")" ] || fail "a line of the message does not end in CR LF"
/usr/bin/python3 - "$sent/1.eml" <<'EOF' || fail "the Date header does not parse"
import email.utils, sys, time
line = open(sys.argv[1], "rb").read().split(b"\r\n")[0].decode()
assert line.startswith("Date: "), line
when = email.utils.parsedate_to_datetime(line[6:])
assert abs(when.timestamp() - time.time()) < 600, line
EOF

# A subject; the legacy MAIL; a message per pass of a loop.
cat > "$site/loop.kp" <<'EOF'
<KpLET i=1><KpWHILE EXPR=i LE 2><KpSMTP FROM="site@example.com" TO="ann@example.com" SUBJECT="Pass &[i]" MAILHOST="&[SMTP]">Body &[i]</KpSMTP><KpLET i=i + 1></KpWHILE><MAIL FROM="site@example.com" TO="bob@example.com" MAILHOST="&[SMTP]">
legacy
</MAIL>done
EOF
expect "loop page" "done" "$(page loop.kp)"
expect "subjects" "Subject: Pass 1|Subject: Pass 2|Subject: (no subject)" \
    "$(for n in 2 3 4; do grep '^Subject' "$sent/$n.eml" | tr -d '\r'; done | paste -sd '|')"
expect "bodies" "Body 1|Body 2|legacy" "$(for n in 2 3 4; do tail -n 1 "$sent/$n.eml" | tr -d '\r'; done | paste -sd '|')"

# A subject beyond ASCII, long enough for several encoded words, and a body in
# UTF-8: a mail reader's parser finds both as written; a page may name its own
# Content-Type.
before=$(messages)
cat > "$site/utf8.kp" <<'EOF'
<KpSMTP FROM="site@example.com" TO="ann@example.com" SUBJECT="Grüße aus München: Ihre Bestellung Nr. 42 ist unterwegs – schöne Grüße, Ihr Café" MAILHOST="&[SMTP]">
Sehr geehrte Frau Müller,
</KpSMTP><KpSMTP FROM="site@example.com" TO="ann@example.com" SUBJECT="Plain" CONTENTTYPE="text/html; charset=UTF-8" MAILHOST="&[SMTP]"><p>Grüße</p></KpSMTP>[&[KpSMTP_Error]]
EOF
expect "UTF-8 page" "[]" "$(page utf8.kp)"
/usr/bin/python3 - "$sent/$((before + 1)).eml" "$sent/$((before + 2)).eml" <<'EOF' || fail "a mail parser reads the UTF-8 message otherwise"
import email, email.policy, sys
first = email.message_from_bytes(open(sys.argv[1], "rb").read(), policy=email.policy.default)
assert first["MIME-Version"] == "1.0", first["MIME-Version"]
assert first["Subject"] == "Grüße aus München: Ihre Bestellung Nr. 42 ist unterwegs – schöne Grüße, Ihr Café", first["Subject"]
assert first.get_content_type() == "text/plain" and first.get_content_charset() == "utf-8", first["Content-Type"]
assert first.get_content().replace("\r\n", "\n") == "Sehr geehrte Frau Müller,\n", repr(first.get_content())
raw = open(sys.argv[1], "rb").read().split(b"\r\n\r\n")[0]
assert all(len(line) <= 78 and max(line) < 0x80 for line in raw.split(b"\r\n")), raw
second = email.message_from_bytes(open(sys.argv[2], "rb").read(), policy=email.policy.default)
assert second["Subject"] == "Plain" and second.get_content_type() == "text/html", second["Content-Type"]
assert second.get_content().rstrip() == "<p>Grüße</p>", repr(second.get_content())
EOF

# A refused recipient: the tag's error holds the server's text; nothing is sent.
printf '<KpSMTP FROM="site@example.com" TO="ann@example.com, reject-me@example.com" MAILHOST="&[SMTP]">x</KpSMTP>[&[KpSMTP_Error]]\n' > "$site/refused.kp"
before=$(messages)
expect "refused recipient" "refused.kp: Line 1: KpSMTP: Runtime Error: Error sending recipient 'reject-me@example.com': 5.1.1 mailbox unavailable
[Error sending recipient 'reject-me@example.com': 5.1.1 mailbox unavailable]" "$(page refused.kp)"
# A line break in a header value (a visitor's subject, a visitor's address) is
# refused before anything is sent.
cat > "$site/inject.kp" <<'EOF'
<KELP KpSMTP_ERROR="nonfatal,nodisplay"><KpLET s=decodeattribute("Hi%0D%0ABcc:+victim@example.com")><KpSMTP FROM="site@example.com" TO="ann@example.com" SUBJECT="&[s]" MAILHOST="&[SMTP]">x</KpSMTP>[&[KpSMTP_Error]]
<KpLET t=decodeattribute("ann@example.com%0D%0ARCPT+TO:<victim@example.com>")><KpSMTP FROM="site@example.com" TO="&[t]" MAILHOST="&[SMTP]">x</KpSMTP>[&[KpSMTP_Error]]
EOF
expect "line break in headers" "[The value of SUBJECT holds a line break: nothing was sent]
[The value of TO holds a line break: nothing was sent]" "$(page inject.kp)"
# Nor do envelope parameters: a blank or an angle bracket in an address (the sender's,
# a recipient's, a copy's) would add them to MAIL FROM or RCPT TO.
cat > "$site/params.kp" <<'EOF'
<KELP KpSMTP_ERROR="nonfatal,nodisplay"><KpLET f="a@example.com> NOTIFY=SUCCESS ORCPT=rfc822;x@example.com"><KpSMTP FROM="&[f]" TO="ann@example.com" MAILHOST="&[SMTP]">x</KpSMTP>[&[KpSMTP_Error]]
<KpSMTP FROM="site@example.com" TO="ann@example.com,bob@example.com> NOTIFY=SUCCESS" MAILHOST="&[SMTP]">x</KpSMTP>[&[KpSMTP_Error]]
<KpLET c=decodeattribute("cy@example.com%09SIZE=1")><KpSMTP FROM="site@example.com" TO="ann@example.com" CC="&[c]" MAILHOST="&[SMTP]">x</KpSMTP>[&[KpSMTP_Error]]
<KpSMTP FROM="Site <site@example.com>" TO="Ann <ann@example.com>" MAILHOST="&[SMTP]">named</KpSMTP>[&[KpSMTP_Error]]
EOF
expect "envelope parameters" "[The address 'a@example.com&gt; NOTIFY=SUCCESS ORCPT=rfc822;x@example.com' holds a blank, an angle bracket or a control character: nothing was sent]
[The address 'bob@example.com&gt; NOTIFY=SUCCESS' holds a blank, an angle bracket or a control character: nothing was sent]
[The address 'cy@example.com	SIZE=1' holds a blank, an angle bracket or a control character: nothing was sent]
[]" "$(page params.kp)"
sleep 0.3
expect "only the message with named addresses sent" "$((before + 1))" "$(messages)"
before=$(messages)
sleep 0.3
expect "nothing sent after refusals" "$before" "$(messages)"
printf '<KELP KpSMTP_ERROR="nonfatal,nodisplay"><KpSMTP FROM="a@b" TO="c@d" MAILHOST="127.0.0.1:%s">x</KpSMTP>[&[KpSMTP_Error]]\n' "$(free_port)" > "$site/noserver.kp"
page noserver.kp | grep -q "Error connecting to '127.0.0.1:[0-9]*': (127.0.0.1:[0-9]*): Connection refused" ||
    fail "no SMTP server: $(page noserver.kp)"

# POP3: an empty mailbox runs no iteration.
cat > "$site/pop.kp" <<'EOF'
<KpLET n=0><KpPOP PLAINTEXTLOGIN="yes" LOGIN="tester" PASSWORD="secret" DIRECTORY="inbox" MAILHOST="&[POP]"><KpLET n=n + 1><KpLET r=frename(messagebody, "inbox/kept-" $ n)>[&[messagesubject]|&[messagereplyto]|&[messagesender]|&[messagedate]]
</KpPOP>n=&[n] error=[&[KpPOP_Error]]
EOF
expect "empty mailbox" "n=0 error=[]" "$(page pop.kp)"
printf 'From: Ann <ann@example.com>\nSubject: First <KpEVAL EXPR=6 * 7>\nDate: Tue, 08 Dec 2026 10:00:00 +0000\n\nBody one\n.leading dot\n..two dots\n' > "$maildir/new/1000.a"
printf 'From: bob@example.com\nReply-To: reply@example.com\n\nBody two\n' > "$maildir/new/1001.b"
printf 'From: cy@example.com\nSubject: Third\n  folded\n\n.\n' > "$maildir/new/1002.c"
chmod 644 "$maildir/new/"*
expect "three messages" "[First &lt;KpEVAL EXPR=6 * 7&gt;|Ann <ann@example.com>|Ann <ann@example.com>|Tue, 08 Dec 2026 10:00:00 +0000]
[(no subject)|reply@example.com|bob@example.com|]
[Third folded|cy@example.com|cy@example.com|]
n=3 error=[]" "$(sed 's/\(First \)<\(KpEVAL[^>]*\)>/\1\&lt;\2\&gt;/' <<< "$(page pop.kp)")"
expect "saved body" "From: Ann <ann@example.com>|Subject: First <KpEVAL EXPR=6 * 7>|Date: Tue, 08 Dec 2026 10:00:00 +0000||Body one|.leading dot|..two dots" \
    "$(paste -sd '|' "$site/inbox/kept-1")"
expect "lone dot line" "From: cy@example.com|Subject: Third|  folded||." "$(paste -sd '|' "$site/inbox/kept-3")"
[ -z "$(ls "$site/inbox" | grep KELP_POP)" ] || fail "message files left behind: $(ls "$site/inbox")"

# KpPOPDELETE then KpPOPSTOP: exactly the current message goes, at QUIT.
cat > "$site/delete.kp" <<'EOF'
<KpPOP PLAINTEXTLOGIN="yes" LOGIN="tester" PASSWORD="secret" DIRECTORY="inbox" MAILHOST="&[POP]"><KpIF EXPR=messagesender EQ "bob@example.com"><KpPOPDELETE><KpPOPSTOP></KpIF>[&[messagesender]]</KpPOP>done
EOF
expect "delete and stop" "[Ann <ann@example.com>]done" "$(page delete.kp)"
expect "after delete" "[First <KpEVAL EXPR=6 * 7>|Ann <ann@example.com>|Ann <ann@example.com>|Tue, 08 Dec 2026 10:00:00 +0000]
[Third folded|cy@example.com|cy@example.com|]
n=2 error=[]" "$(page pop.kp)"
expect "mailbox files" 2 "$(ls "$maildir/cur" "$maildir/new" | grep -c '^10')"

# The legacy MAIL with LOGIN retrieves.
printf '<MAIL PLAINTEXTLOGIN="yes" LOGIN="tester" PASSWORD="secret" DIRECTORY="inbox" MAILHOST="&[POP]">(&[messagesender])</MAIL>\n' > "$site/legacy.kp"
expect "legacy retrieve" "(Ann <ann@example.com>)(cy@example.com)" "$(page legacy.kp)"

# A wrong password; a directory outside the data directory.
printf '<KpPOP PLAINTEXTLOGIN="yes" LOGIN="tester" PASSWORD="wrong" DIRECTORY="inbox" MAILHOST="&[POP]">x</KpPOP>[&[KpPOP_Error]]\n' > "$site/wrong.kp"
expect "wrong password" "wrong.kp: Line 1: KpPOP: Runtime Error: Error logging into '127.0.0.1:$POP3_PORT': [AUTH] Authentication failed.
[Error logging into '127.0.0.1:$POP3_PORT': [AUTH] Authentication failed.]" "$(page wrong.kp)"
printf '<KELP KpPOP_ERROR="nonfatal,nodisplay"><KpPOP PLAINTEXTLOGIN="yes" LOGIN="tester" PASSWORD="secret" DIRECTORY="../.." MAILHOST="&[POP]">x</KpPOP>[&[KpPOP_Error]]\n' > "$site/outside.kp"
page outside.kp | grep -q "is not contained in the configured data directory" || fail "DIRECTORY outside: $(page outside.kp)"
# Without encryption the password is sent only when the page says so.
printf '<KELP KpPOP_ERROR="nonfatal,nodisplay"><KpPOP LOGIN="tester" PASSWORD="secret" DIRECTORY="inbox" MAILHOST="&[POP]">x</KpPOP>[&[KpPOP_Error]]<KpPOP SECURITY="none" LOGIN="tester" PASSWORD="secret" DIRECTORY="inbox" MAILHOST="&[POP]">x</KpPOP>[&[KpPOP_Error]]\n' > "$site/plain.kp"
refusal="Refusing to send the password over an unencrypted connection: ask for SECURITY=\"starttls\" or \"tls\" (or allow it with PLAINTEXTLOGIN)"
expect "plain-text POP login" "[$refusal][$refusal]" "$(page plain.kp)"

[ $failures = 0 ] && echo "all mail cases passed"
exit $((failures > 0))
