#!/bin/bash
# KpCALL against a real lighttpd serving static pages and CGI programs, and against
# servers that misbehave: requests as they arrive, headers, the element walker, and
# every way a fetch can fail, each ending within its limits.
# Usage: call_tags.sh BUILD_DIR
set -u
. "$(cd "$(dirname "${BASH_SOURCE[0]:-$0}")/.." && pwd)/support/slack.sh"
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/servers.sh"
state=$(mktemp -d "$build/e2e-call-XXXXXX")
trap 'bash "$here/lighttpd.sh" stop "$state/http"; stop_servers; rm -rf "$state"' EXIT
site="$state/site"
docs="$state/http/htdocs"
mkdir -p "$site" "$docs/cgi-bin"

cat > "$docs/page.html" <<'EOF'
<html><!-- a comment > with --><body class="main" id='x' data=bare checked>Hello <b>world</b><br/>
<img src="a.gif" /></body>
EOF
printf 'before <KpEVAL EXPR=6 * 7> after " OR fdelete("victim.txt") OR "\n' > "$docs/script.txt"
printf '' > "$docs/empty.html"
printf '<p>ok</p><a /href="x">' > "$docs/broken.html"
cat > "$docs/cgi-bin/echo.cgi" <<'EOF'
#!/bin/sh
printf 'Content-Type: text/plain\r\nX-Echo: yes\r\n\r\n'
echo "method=$REQUEST_METHOD query=$QUERY_STRING type=$CONTENT_TYPE"
[ -n "${CONTENT_LENGTH:-}" ] && head -c "$CONTENT_LENGTH"
exit 0
EOF
cat > "$docs/cgi-bin/save.cgi" <<EOF
#!/bin/sh
printf '%s' "\$CONTENT_TYPE" > "$state/upload.type"
head -c "\$CONTENT_LENGTH" > "$state/upload.raw"
printf 'Content-Type: text/plain\r\n\r\nsaved'
EOF
chmod 755 "$docs/cgi-bin/"*.cgi
port=$(bash "$here/lighttpd.sh" start "$state/http") || exit 1
touch "$site/victim.txt"

failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
# page NAME [CONF-LINES]: runs site/NAME with the server's port in PORT; prints the page
# without the header block
page() {
    printf '%s\n' "${2:-}" > "$state/conf"
    KELP_ENV="PORT=$port BAD=${BAD_PORT:-0} ${URL:+URL=$URL}" KELP_CONF_FILE="$state/conf" \
        sh "$here/../pages/kelp_page.sh" "$build/kelp" "$site" "$1" | tr -d '\r' | sed '1,/^$/d'
}
# expect NAME EXPECTED ACTUAL
expect() { [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"; }

# The walker: text runs, tags with attributes in every quoting style, a comment that
# holds ">", an empty-element ending, a bare attribute.
cat > "$site/walk.kp" <<'EOF'
<KpCALL ACTION="http://127.0.0.1:&[PORT]/page.html" METHOD="GET">[&[callobjecttype]|&[callobjectelement]|&[callobjectnumattributes]|&[callvalue]|&[callobjectattribute1]=&[callobjectvalue1]|&[callobjectattribute2]=&[callobjectvalue2]|&[callobjectattribute3]=&[callobjectvalue3]|&[callobjectattribute4]=&[callobjectvalue4]]
</KpCALL>
EOF
expect walk "[tag|html|0|<html>|=|=|=|=]
[tag|!--|0|<!-- a comment > with -->|=|=|=|=]
[tag|body|4|<body class=\"main\" id='x' data=bare checked>|class=main|id=x|data=bare|checked=]
[text||0|Hello |=|=|=|=]
[tag|b|0|<b>|=|=|=|=]
[text||0|world|=|=|=|=]
[tag|/b|0|</b>|=|=|=|=]
[tag|br|0|<br/>|=|=|=|=]
[text||0|
|=|=|=|=]
[tag|img|1|<img src=\"a.gif\" />|src=a.gif|=|=|=]
[tag|/body|0|</body>|=|=|=|=]
[text||0|
|=|=|=|=]" "$(page walk.kp)"

# Headers: the status line first, numbered from 1; the variables live only in the loop.
cat > "$site/headers.kp" <<'EOF'
<KpLET n=0><KpCALL ACTION="http://127.0.0.1:&[PORT]/cgi-bin/echo.cgi" METHOD="GET"><KpIF EXPR=n EQ 0>&[callreturnheader1]|<KpLET i=1><KpWHILE EXPR=i LE callnumberofheaders><KpIF EXPR=s.callreturnheader&[i] EQ "X-Echo: yes">echo header found|</KpIF><KpLET i=i + 1></KpWHILE><KpEVAL EXPR=callnumberofheaders GE 3></KpIF><KpLET n=n + 1></KpCALL>
after the loop: [&[callnumberofheaders]]
EOF
expect headers "HTTP/1.0 200 OK|echo header found|1
after the loop: []" "$(page headers.kp)"

# Fields: URL-encoded in the query (joined to one already there with "&") and in a
# POST body; control characters are encoded, never sent raw (lighttpd refuses even
# encoded ones in a query, so the line break goes in the body).
cat > "$site/fields.kp" <<'EOF'
<KpLET x="a b&c=d"><KpLET y="line
two"><KpCALL ACTION="http://127.0.0.1:&[PORT]/cgi-bin/echo.cgi?a=1" METHOD="GET" FIELDS="x, z">&[callvalue]</KpCALL>
<KpCALL ACTION="http://127.0.0.1:&[PORT]/cgi-bin/echo.cgi" METHOD="POST" FIELDS="x,y">&[callvalue]</KpCALL>
<CALL ACTION="http://127.0.0.1:&[PORT]/cgi-bin/echo.cgi" METHOD="POST">&[callvalue]</CALL>
EOF
expect fields "method=GET query=a=1&x=a+b%26c%3Dd&z= type=

method=POST query= type=application/x-www-form-urlencoded
x=a+b%26c%3Dd&y=line%0Atwo
method=POST query= type=application/x-www-form-urlencoded" "$(page fields.kp)"

# A multipart upload of two files with a field: the bytes arrive exactly.
head -c 3000 /dev/urandom > "$site/one.bin"
printf 'first\r\n.\nlast line without end' > "$site/two.txt"
cat > "$site/upload.kp" <<'EOF'
<KpLET note="a note"><KpLET f1="one.bin"><KpLET f2="two.txt"><KpCALL ACTION="http://127.0.0.1:&[PORT]/cgi-bin/save.cgi" METHOD="POST" FIELDS="note" FILES="f1,f2">&[callvalue]</KpCALL>
EOF
expect upload saved "$(page upload.kp)"
parts=$(/usr/bin/python3 - "$state" "$site" <<'EOF'
import sys
state, site = sys.argv[1], sys.argv[2]
ctype = open(state + "/upload.type").read()
boundary = ctype.split("boundary=", 1)[1].encode()
raw = open(state + "/upload.raw", "rb").read()
assert raw.endswith(b"--" + boundary + b"--\r\n"), "the body does not end with the closing boundary"
for part in raw.split(b"--" + boundary)[1:-1]:
    head, _, body = part[2:].partition(b"\r\n\r\n")
    assert body.endswith(b"\r\n")
    body = body[:-2]
    head = head.decode()
    name = head.split('name="', 1)[1].split('"', 1)[0]
    if 'filename="' in head:
        filename = head.split('filename="', 1)[1].split('"', 1)[0]
        same = body == open(site + "/" + filename, "rb").read()
        print(name, filename, head.split("Content-Type: ", 1)[1], "same" if same else "DIFFERENT")
    else:
        print(name, body.decode())
EOF
)
expect "multipart parts" "note a note
f1 one.bin unknown same
f2 two.txt text/plain same" "$parts"

# FILES needs POST or PUT; a file outside the data directory is refused.
printf '<KpLET f="one.bin"><KpCALL ACTION="http://127.0.0.1:&[PORT]/" METHOD="GET" FILES="f">x</KpCALL>\n' > "$site/getfiles.kp"
expect "FILES with GET" "getfiles.kp: Line 1: Syntax Error: KpCALL requires the METHOD attribute to be 'POST' or 'PUT' when the FILES attribute is specified" "$(page getfiles.kp)"
printf '<KpLET f="../../etc/passwd"><KpCALL ACTION="http://127.0.0.1:&[PORT]/cgi-bin/save.cgi" METHOD="POST" FILES="f">x</KpCALL>\n' > "$site/outside.kp"
page outside.kp | grep -q "is not contained in the configured data directory" || fail "a file outside the data directory is sent: $(page outside.kp)"

# KpCALLSTOP in the first iteration: nothing after it runs; the loop is over.
printf '<KpCALL ACTION="http://127.0.0.1:&[PORT]/page.html" METHOD="GET">[&[callvalue]<KpCALLSTOP>never]</KpCALL>done\n' > "$site/stop.kp"
expect callstop "[<html>done" "$(page stop.kp)"

# Returned text that looks like script is shown, never run: in text, through a macro
# in an attribute, and through an expression.
cat > "$site/script.kp" <<'EOF'
<KpCALL ACTION="http://127.0.0.1:&[PORT]/script.txt" METHOD="GET">{&[callvalue]}<KpLET v="&[callvalue]">{<KpEVAL EXPR=v>}</KpCALL>
EOF
out=$(page script.kp)
case "$out" in *42*) fail "returned text ran as script: $out" ;; esac
echo "$out" | grep -q '{<KpEVAL EXPR=6 \* 7>}' || fail "returned tag not shown as text: $out"
[ -f "$site/victim.txt" ] || fail "returned text deleted a file"

# Empty document, HEAD, and a server that closes without a word: the body never runs.
printf '<KpCALL ACTION="http://127.0.0.1:&[PORT]/empty.html" METHOD="GET">never</KpCALL>|<KpCALL ACTION="http://127.0.0.1:&[PORT]/page.html" METHOD="HEAD">never</KpCALL>|\n' > "$site/nothing.kp"
expect "no elements" "||" "$(page nothing.kp)"
start_misbehaving close
printf '<KpCALL ACTION="http://127.0.0.1:&[BAD]/" METHOD="GET">never</KpCALL>[&[KpCALL_Error]]\n' > "$site/closed.kp"
expect "closed without headers" "[]" "$(page closed.kp)"

# A tag broken after "/": the element error is a runtime error of the tag.
printf '<KELP KpCALL_ERROR="nonfatal,nodisplay"><KpCALL ACTION="http://127.0.0.1:&[PORT]/broken.html" METHOD="GET">(&[callvalue])</KpCALL>[&[KpCALL_Error]]\n' > "$site/broken.kp"
expect "broken tag" "(<p>)(ok)(</p>)[Found &quot;h&quot; in tag following /]" "$(page broken.kp)"

# Failures, each a runtime error of the tag with its reason.
cat > "$site/fail.kp" <<'EOF'
<KELP KpCALL_ERROR="nonfatal,nodisplay"><KpCALL ACTION="&[URL]" METHOD="GET">never</KpCALL>[&[KpCALL_Error]]
EOF
failing() {  # failing URL [CONF]: the page's output for a fetch of URL
    URL=$1 page fail.kp "${2:-}"
}
expect "unknown host" "[Unable to open URL 'http://no-such-host.invalid/': Error looking up 'no-such-host.invalid']" \
    "$(failing http://no-such-host.invalid/)"
closed=$(free_port)
expect "closed port" "[Unable to open URL 'http://127.0.0.1:$closed/x': (127.0.0.1:$closed): Connection refused]" \
    "$(failing "http://127.0.0.1:$closed/x")"
expect "ftp" "[Unable to open URL 'ftp://127.0.0.1/': only http and https URLs are supported]" "$(failing ftp://127.0.0.1/)"
# A line break in the URL (from a visitor's field) is refused, never sent.
before=$(wc -l < "$state/http/access.log")
printf '<KELP KpCALL_ERROR="nonfatal,nodisplay"><KpLET u=decodeattribute("http://127.0.0.1:" $ PORT $ "/page.html%%0D%%0AX-Injected:%%201")><KpCALL ACTION="&[u]" METHOD="GET">never</KpCALL>[&[KpCALL_Error]]\n' > "$site/crlf.kp"
page crlf.kp | grep -q "the URL holds a control character" || fail "URL with CR LF: $(page crlf.kp)"
[ "$(wc -l < "$state/http/access.log")" = "$before" ] || fail "a URL with CR LF reached the server"

# A server that accepts and never answers, and one that sends without end: each
# ends within its limits.
start_misbehaving silent
started=$(date +%s)
expect "silent server" "[Unable to open URL 'http://127.0.0.1:$BAD_PORT/': Timed out waiting for response from host]" \
    "$(failing "http://127.0.0.1:$BAD_PORT/" "calltimeout = 2")"
in_time $(( $(date +%s) - started )) 6 || fail "the silent server held the page past calltimeout"
start_misbehaving endless
started=$(date +%s)
printf '<KELP KpCALL_ERROR="nonfatal,nodisplay"><KpCALL ACTION="http://127.0.0.1:&[BAD]/" METHOD="GET"></KpCALL>[&[KpCALL_Error]]\n' > "$site/endless.kp"
out=$(page endless.kp "maxresponselength = 200000")
expect "endless body" "[The response from 'http://127.0.0.1:$BAD_PORT/' is longer than the configured maxresponselength]" "$out"
in_time $(( $(date +%s) - started )) 10 || fail "the endless body held the page too long"
# An address that does not answer a connect at all: bounded by calltimeout too.
started=$(date +%s)
failing "http://10.255.255.1:81/" "calltimeout = 2" > /dev/null
in_time $(( $(date +%s) - started )) 6 || fail "a connect to an address that does not answer outlived calltimeout"

# A response whose element has more attributes than any page holds stops the walk with
# an error instead of taking memory for each; a method the docs do not list and a URL
# holding a NUL are refused before anything is sent.
/usr/bin/python3 -c 'import sys; sys.stdout.write("<p>before</p><a " + " ".join("x%d=1" % i for i in range(200000)) + "><p>after</p>")' > "$docs/many.html"
cat > "$site/many.kp" <<'EOF'
<KELP KpCALL_ERROR="nonfatal,nodisplay"><KpCALL ACTION="http://127.0.0.1:&[PORT]/many.html" METHOD="GET">(&[callobjectelement])</KpCALL>[&[KpCALL_Error]]
EOF
expect "many attributes" "(p)()(/p)[An element of the response has more than 1000 attributes]" "$(page many.kp)"
cat > "$site/methods.kp" <<'EOF'
<KELP KpCALL_ERROR="nonfatal,nodisplay"><KpCALL ACTION="http://127.0.0.1:&[PORT]/page.html" METHOD="DELETE">never</KpCALL>[&[KpCALL_Error]]
<KpCALL ACTION="http://127.0.0.1:&[PORT]/page.html" METHOD="">never</KpCALL>[&[KpCALL_Error]]
<KpCALL ACTION="http://127.0.0.1:&[PORT]/page.html" METHOD="GET / HTTP/1.0">never</KpCALL>[&[KpCALL_Error]]
<KpLET u=decodeattribute("http://127.0.0.1:" $ PORT $ "/page.html%00.evil")><KpCALL ACTION="&[u]" METHOD="GET">never</KpCALL>[&[KpCALL_Error]]
EOF
expect "methods and NUL" "[Unsupported method 'DELETE': use GET, HEAD, POST or PUT]
[Unsupported method '': use GET, HEAD, POST or PUT]
[Unsupported method 'GET / HTTP/1.0': use GET, HEAD, POST or PUT]
[Unable to open URL 'http://127.0.0.1:$port/page.html': it holds a NUL character]" "$(page methods.kp)"

# A body ends where its Content-Length says, even when the server sends more and keeps
# the connection open; a response without a status line is all body.
cat > "$site/bodies.kp" <<'EOF'
<KELP KpCALL_ERROR="nonfatal,nodisplay"><KpCALL ACTION="http://127.0.0.1:&[BAD]/" METHOD="GET">(&[callvalue])</KpCALL>[&[KpCALL_Error]]
EOF
start_misbehaving counted
started=$(date +%s)
expect "announced length" "(<p>)(body)(</p>)[]" "$(page bodies.kp "calltimeout = 20")"
in_time $(( $(date +%s) - started )) 5 || fail "a body of announced length waited for the connection to close"
start_misbehaving nostatus
expect "no status line" "(<p>)(no status)(</p>)(
)(<b>)(x)(</b>)[]" "$(page bodies.kp)"

[ $failures = 0 ] && echo "all KpCALL cases passed"
exit $((failures > 0))
