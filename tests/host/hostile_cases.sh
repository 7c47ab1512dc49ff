#!/bin/bash
# Hostile requests, one line each: paths that try to leave the script root, command
# words, lying body lengths, broken multipart bodies, huge headers, and pages that
# loop, recurse or write without end. Each must end within its time with a clear
# status or a normal page, no crash (no death by signal), and nothing written
# outside the data directory.
# Usage: hostile_cases.sh BUILD_DIR
set -u
. "$(cd "$(dirname "${BASH_SOURCE[0]:-$0}")/.." && pwd)/support/slack.sh"
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/site/sub" "$work/data" "$work/outside"
cp "$build/kelp" "$work/bin/kelp"
printf 'secret\n' > "$work/outside/secret.kp"
ln -s ../outside/secret.kp "$work/site/link.kp"
ln -s ../../outside "$work/site/sub/away"
ln -s ../form.kp "$work/site/sub/inside.kp"
printf 'n=[&[a]]\n' > "$work/site/form.kp"
printf '<KpWHILE EXPR=1></KpWHILE>\n' > "$work/site/loop.kp"
printf '<KpWHILE EXPR=1>xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx</KpWHILE>\n' > "$work/site/flood.kp"
printf '<KpFUNCTION NAME="f" PARAMETERS="n"><KpFUNCRETURN VALUE=f(n + 1)></KpFUNCTION><KpEVAL EXPR=f(1)>\n' > "$work/site/recurse.kp"
printf '<KpDO FILE="self.kp">\n' > "$work/site/self.kp"
printf '<KpLET u=encodeattribute(&[name])>ok\n' > "$work/site/upload.kp"
conf() { printf '%s\n' "kelproot = $work/site" "stdmodedatadir = $work/data" "tempdir = $work/data" \
    "usecookies = off" "globaltimeout = ${TIMEOUT:-3}" "$@" > "$work/bin/kelp.conf"; }
conf
failures=0
cases=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

# hostile NAME SECONDS STATUS-REGEX INPUT [ARGS --] ENV...: runs the request; the first
# line of the response must match STATUS-REGEX ("" for a normal page).
hostile() {
    local name=$1 limit=$2 want=$3 input=$4
    shift 4
    local args=()
    if [ "${1:-}" = "--args" ]; then
        shift
        while [ "$1" != "--" ]; do args+=("$1"); shift; done
        shift
    fi
    cases=$((cases + 1))
    local start=$(date +%s%N)
    (cd "$work" && timeout $((limit * $(slack) + 5)) env -i "$@" "$work/bin/kelp" "${args[@]}" < "$input" |
        head -c 2000000 | tr -d '\r' > "$work/out"
     exit "${PIPESTATUS[0]}")
    local status=$? elapsed=$((($(date +%s%N) - start) / 1000000))
    local first
    first=$(head -n 1 "$work/out")
    if [ "$status" -ge 124 ] && [ "$status" != 141 ]; then
        fail "$name: ended with status $status (signal or time-out): $(head -c 200 "$work/out")"
    elif ! in_time "$elapsed" $((limit * 1000)); then
        fail "$name: took $elapsed ms (limit ${limit} s)"
    elif [ -n "$want" ] && ! [[ "$first" =~ $want ]]; then
        fail "$name: first line [$first], expected /$want/; $(head -c 300 "$work/out" | tr '\n' '|')"
    elif [ -z "$want" ] && [[ "$first" =~ ^Status: ]]; then
        fail "$name: expected a normal page, got $(head -c 300 "$work/out" | tr '\n' '|')"
    fi
    if grep -q "^secret" "$work/out"; then fail "$name: the page outside the script root was shown"; fi
    if grep -q "^root:" "$work/out"; then fail "$name: /etc/passwd was shown"; fi
}
refused='^Status: (400|403|404|413|414|431)'

# Paths that try to leave the script root.
hostile "dot-dot" 5 "$refused" /dev/null PATH_INFO=/../outside/secret.kp
hostile "dot-dot deep" 5 "$refused" /dev/null PATH_INFO=/sub/../../outside/secret.kp
hostile "encoded dot-dot" 5 "$refused" /dev/null PATH_INFO=/%2e%2e/outside/secret.kp
hostile "encoded slash" 5 "$refused" /dev/null PATH_INFO=/..%2foutside%2fsecret.kp
hostile "backslashes" 5 "$refused" /dev/null 'PATH_INFO=/sub\..\..\outside\secret.kp'
hostile "encoded NUL" 5 "$refused" /dev/null PATH_INFO=/form.kp%00.txt
hostile "user directory" 5 "$refused" /dev/null PATH_INFO=/~root/x.kp
hostile "symbolic link out" 5 "$refused" /dev/null PATH_INFO=/link.kp
hostile "a linked directory out" 5 "$refused" /dev/null PATH_INFO=/sub/away/secret.kp
hostile "a link that stays inside" 5 "" /dev/null PATH_INFO=/sub/inside.kp
hostile "a directory" 5 "$refused" /dev/null PATH_INFO=/sub
hostile "no page at all" 5 "$refused" /dev/null PATH_INFO=/
hostile "a very long path" 5 "$refused" /dev/null "PATH_INFO=/$(head -c 100000 /dev/zero | tr '\0' a).kp"
hostile "page named in the query" 5 "$refused" /dev/null QUERY_STRING=../outside/secret.kp
# Words on the command line (a query without "=") that look like options.
hostile "option words" 5 "$refused" /dev/null --args -c /etc/passwd -- "QUERY_STRING=-c+/etc/passwd"
hostile "help word" 5 "" /dev/null --args --help -- PATH_INFO=/form.kp QUERY_STRING=--help
hostile "config word" 5 "" /dev/null --args -f /etc/passwd -- PATH_INFO=/form.kp "QUERY_STRING=-f+/etc/passwd"

# Bodies whose length lies.
printf 'a=short' > "$work/short"
post=(PATH_INFO=/form.kp REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded)
hostile "length larger than the body" 5 "" "$work/short" "${post[@]}" CONTENT_LENGTH=1000
hostile "length smaller than the body" 5 "" "$work/short" "${post[@]}" CONTENT_LENGTH=3
hostile "negative length" 5 "" "$work/short" "${post[@]}" CONTENT_LENGTH=-5
hostile "huge length" 5 "^Status: 413" "$work/short" "${post[@]}" CONTENT_LENGTH=99999999999999999999999
hostile "length that is no number" 5 "" "$work/short" "${post[@]}" CONTENT_LENGTH=abc
hostile "PUT with a huge length" 5 "^Status: 413" "$work/short" PATH_INFO=/form.kp REQUEST_METHOD=PUT CONTENT_LENGTH=50000000000
head -c 1500000 /dev/zero | tr '\0' 'v' | sed 's/^/a=/' > "$work/big"
hostile "one large field" 10 "" "$work/big" "${post[@]}" CONTENT_LENGTH=$(wc -c < "$work/big")

# Broken multipart bodies.
multi() {  # multi NAME STATUS FILE CONTENT-TYPE
    hostile "$1" 10 "$2" "$3" PATH_INFO=/form.kp REQUEST_METHOD=POST "CONTENT_TYPE=$4" CONTENT_LENGTH=$(wc -c < "$3")
}
printf -- '--right\r\nContent-Disposition: form-data; name="a"\r\n\r\nx\r\n--right--\r\n' > "$work/m1"
multi "multipart with the wrong boundary" "^Status: 400" "$work/m1" "multipart/form-data; boundary=wrong"
multi "multipart without a boundary" "^Status: 400" "$work/m1" "multipart/form-data"
multi "multipart with an empty boundary" "^Status: 400" "$work/m1" "multipart/form-data; boundary="
multi "multipart with a huge boundary" "^Status: 400" "$work/m1" "multipart/form-data; boundary=$(head -c 5000 /dev/zero | tr '\0' b)"
printf -- '--b\r\nContent-Disposition: form-data; name="a"\r\n\r\nnever ends' > "$work/m2"
multi "a part without its end" "" "$work/m2" "multipart/form-data; boundary=b"
printf -- '--b\r\nContent-Disposition: form-data; name="f"; filename="../../../outside/evil.txt"\r\nContent-Type: text/plain\r\n\r\nevil\r\n--b--\r\n' > "$work/m3"
multi "an upload named outside" "" "$work/m3" "multipart/form-data; boundary=b"
printf -- '--b\r\nContent-Disposition: form-data; name="f"; filename="/etc/evil.txt"\r\n\r\nevil\r\n--b--\r\n' > "$work/m4"
multi "an upload with an absolute name" "" "$work/m4" "multipart/form-data; boundary=b"
python3 -c "
import sys
sys.stdout.write(''.join('--b\r\nContent-Disposition: form-data; name=\"p%d\"\r\n\r\nv\r\n' % i for i in range(100000)) + '--b--\r\n')" > "$work/m5"
multi "100000 parts" "^Status: 413" "$work/m5" "multipart/form-data; boundary=b"
printf -- '--b\r\nContent-Disposition: form-data; name="a"\r\n%s\r\n\r\nx\r\n--b--\r\n' "$(head -c 100000 /dev/zero | tr '\0' h)" > "$work/m6"
multi "a part header of 100 KB" "" "$work/m6" "multipart/form-data; boundary=b"
[ -e "$work/outside/evil.txt" ] || [ -e /etc/evil.txt ] && fail "an upload was written outside the data directory"

# Header and cookie values as long as an environment entry can be (128 KB; a web
# server cannot pass more to a CGI program), and header values with line breaks.
mb=$(head -c 131000 /dev/zero | tr '\0' c)
hostile "huge cookie" 5 "^Status: 431" /dev/null PATH_INFO=/form.kp "HTTP_COOKIE=id=$mb"
hostile "huge header" 5 "^Status: 431" /dev/null PATH_INFO=/form.kp "HTTP_USER_AGENT=$mb"
hostile "huge query" 5 "^Status: 414" /dev/null PATH_INFO=/form.kp "QUERY_STRING=a=$mb"
conf "usecookies = on"
hostile "cookie with a line break" 5 "" /dev/null PATH_INFO=/form.kp $'HTTP_COOKIE=callerid=abc\r\nX-Injected: 1'
grep -qi "^X-Injected" "$work/out" && fail "a cookie put a header line into the response"
conf

# Pages that never end, recurse, or write without end.
hostile "endless loop" 6 "" /dev/null PATH_INFO=/loop.kp
grep -q "Application timed out" "$work/out" || fail "endless loop: no time-out message: $(head -c 200 "$work/out")"
hostile "endless output" 8 "" /dev/null PATH_INFO=/flood.kp
hostile "recursion" 5 "" /dev/null PATH_INFO=/recurse.kp
grep -qi "depth\|nest" "$work/out" || fail "recursion: no depth message: $(head -c 300 "$work/out")"
hostile "a page that includes itself" 5 "" /dev/null PATH_INFO=/self.kp
python3 -c "import sys; sys.stdout.write('<KpEVAL EXPR=' + '(' * 100000 + '1' + ')' * 100000 + '>')" > "$work/site/parens.kp"
hostile "100000 nested parentheses" 5 "" /dev/null PATH_INFO=/parens.kp
grep -q "Expression nested too deeply" "$work/out" || fail "nested parentheses: $(head -c 200 "$work/out")"
python3 -c "import sys; sys.stdout.write('<KpEVAL EXPR=1' + ' + 1' * 100000 + '>')" > "$work/site/chain.kp"
hostile "100000 operators" 5 "" /dev/null PATH_INFO=/chain.kp
grep -q "Expression has too many operators" "$work/out" || fail "operator chain: $(head -c 200 "$work/out")"
python3 -c "import sys; sys.stdout.write('<KpEVAL EXPR=' + 'NOT ' * 100000 + '1>')" > "$work/site/nots.kp"
hostile "100000 unary operators" 5 "" /dev/null PATH_INFO=/nots.kp
python3 -c "import sys; sys.stdout.write('<KpIF EXPR=1>' * 50000 + 'deep' + '</KpIF>' * 50000)" > "$work/site/nested.kp"
hostile "50000 nested blocks" 10 "" /dev/null PATH_INFO=/nested.kp
python3 -c "import sys; sys.stdout.write(''.join('<KpLET v%d=%d>' % (i, i) for i in range(100000)) + 'done')" > "$work/site/vars.kp"
hostile "100000 variables" 10 "" /dev/null PATH_INFO=/vars.kp
head -c 52428800 /dev/zero | tr '\0' 'z' > "$work/site/huge.kp"
hostile "a 50 MB page" 15 "" /dev/null PATH_INFO=/huge.kp
rm -f "$work/site/huge.kp"

# A page that writes 1 GB: every byte arrives, within the time limit.
printf '<KpLET s="x"><KpLET i=0><KpWHILE EXPR=i LT 20><KpLET s=s $ s><KpLET i=i + 1></KpWHILE><KpLET i=0><KpWHILE EXPR=i LT 1024><KpEVAL EXPR=s><KpLET i=i + 1></KpWHILE>' > "$work/site/gigabyte.kp"
cases=$((cases + 1))
TIMEOUT=60 conf
start=$(date +%s)
bytes=$(cd "$work" && timeout 90 env -i PATH_INFO=/gigabyte.kp REQUEST_METHOD=GET "$work/bin/kelp" | wc -c)
header=$(printf 'Content-type: text/html\r\n\r\n' | wc -c)
[ "$bytes" = $((1073741824 + header)) ] || fail "1 GB of output: $bytes bytes arrived"
in_time $(( $(date +%s) - start )) 60 || fail "1 GB of output took $(( $(date +%s) - start )) s"
rm -f "$work/site/gigabyte.kp"
conf

# Nothing was written outside the data directory.
[ "$(ls "$work/outside")" = "secret.kp" ] || fail "files appeared outside: $(ls "$work/outside")"
[ -z "$(ls "$work/site" | grep -v -E '^(sub|link.kp|form.kp|loop.kp|flood.kp|recurse.kp|self.kp|upload.kp|parens.kp|chain.kp|nots.kp|nested.kp|vars.kp)$')" ] ||
    fail "files appeared in the script root: $(ls "$work/site")"

echo "$cases hostile cases, $failures failed"
[ "$failures" = 0 ]
