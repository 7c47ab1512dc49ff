#!/bin/bash
# kelp-check against the page tests and the demo site: a page whose expected output
# shows a syntax or expression error is reported with the same message on the same
# line; every other page is clean. Then a page with several faults, functions found
# in included pages, the options and the exit statuses.
# Usage: kelp_check.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
check="$build/kelp-check"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

# Errors that only running finds (a value computed from variables): not static.
runtime_only='Divide by 0'
pages=0
cd "$source"
for page in $(find tests/pages examples/site -name '*.kp' | sort); do
    expected="${page%.kp}.expected"
    want=""
    if [ -f "$expected" ]; then
        want=$(grep -o "Line [0-9]*: \(Syntax\|Expression\) Error: .*" "$expected" | head -n 1 | tr -d '\r' |
            sed 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&amp;/\&/g; s/<BR>/ /g')
    elif [ "${page#examples/site/samples/}" != "$page" ]; then
        # The demo's faulty samples: what running them through kelp reports.
        want=$(sh tests/pages/kelp_page.sh "$build/kelp" "$(dirname "$page")" "$(basename "$page")" |
            grep -o "Line [0-9]*: \(Syntax\|Expression\) Error: .*" | head -n 1 | tr -d '\r' |
            sed 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&amp;/\&/g; s/<BR>/ /g')
        [ -n "$want" ] || fail "$page: running it reported no error"
    fi
    case "$want" in *"$runtime_only"*) want="" ;; esac
    # Errors about a visitor's value (the pages showing markup in messages) come from
    # the request: the page alone says nothing of them.
    case "$want" in *"onerror=alert"*) continue ;; esac
    out=$("$check" "$page")
    status=$?
    pages=$((pages + 1))
    if [ -z "$want" ]; then
        [ "$status" = 0 ] && [ -z "$out" ] || fail "$page should be clean: $out"
    else
        # (kelp-check also says where a block left open began; running says so only
        # for a block that ran.)
        got=$(printf '%s\n' "$out" | grep -v "^$page:[0-9]*: Warning: " | head -n 1 | sed "s|^$page:\([0-9]*\): |Line \1: |")
        case "$want" in *"(opened on line"*) ;; *) got=$(printf '%s\n' "$got" | sed 's/ (opened on line [0-9]*)$//') ;; esac
        [ "$status" = 1 ] || fail "$page: exit status $status"
        [ "$got" = "$want" ] || fail "$page: expected '$want', reported '$got'"
    fi
done

# Five different faults in one page, each reported on its line; the unknown tag is a
# warning.
cat > "$work/faults.kp" <<'EOF'
<KpFUNCTION NAME="twice">a</KpFUNCTION>
<KpEVAL EXPR=nosuch(1)>
<KpEVAL EXPR=len("a", "b")>
<KpELSE>
<KpFUNCTION NAME="twice">b</KpFUNCTION>
<KpEVLA EXPR=1>
<KpWHILE EXPR=1>
EOF
out=$("$check" "$work/faults.kp")
status=$?
[ "$status" = 1 ] || fail "a faulty page: exit status $status"
expected="$work/faults.kp:2: Expression Error: Call to undefined function 'nosuch'
$work/faults.kp:3: Expression Error: Call to function 'len' expects 1 parameter, found 2
$work/faults.kp:4: Syntax Error: Unexpected <KpELSE>
$work/faults.kp:5: Syntax Error: A function with the name 'twice' has already been declared, on line 1
$work/faults.kp:6: Warning: unknown tag <KpEVLA> is shown as text
$work/faults.kp:8: Syntax Error: Unexpected end of file looking for </KpWHILE> (opened on line 7)"
[ "$out" = "$expected" ] || fail "a page with six faults: $out"
[ "$("$check" -q "$work/faults.kp")" = 6 ] || fail "-q: $("$check" -q "$work/faults.kp")"
"$check" --format=json "$work/faults.kp" | /usr/bin/python3 -c '
import json, sys
p = json.load(sys.stdin)
assert len(p) == 6, p
assert p[4] == {"file": sys.argv[1], "line": 6, "severity": "warning",
                "message": "Warning: unknown tag <KpEVLA> is shown as text"}, p[4]
assert all(x["severity"] == "error" for i, x in enumerate(p) if i != 4)
' "$work/faults.kp" || fail "--format=json"

# A filter or index key in quotes is one text for every record: a warning; written as
# an expression, it is clean.
cat > "$work/quoted.kp" <<'EOF'
<KpFILTER FILTER="qty GT 5"><KpMAKEINDEX INDEXFILE="a.kpx" EXPR="code">
<KpFILTER FILTER=qty GT 5><KpMAKEINDEX INDEXFILE="a.kpx" EXPR=code $ "-" $ qty>
EOF
expected="$work/quoted.kp:1: Warning: the FILTER of <KpFILTER> is a quoted text, the same for every record: write the expression without quotes
$work/quoted.kp:1: Warning: the EXPR of <KpMAKEINDEX> is a quoted text, the same for every record: write the expression without quotes"
[ "$("$check" "$work/quoted.kp")" = "$expected" ] || fail "quoted filter and key: $("$check" "$work/quoted.kp")"

# A page whose expression is cut off, and one with an unterminated quote: the scan
# stops at the first, as the interpreter does.
printf '<KpEVAL EXPR=(1 + 2>\n' > "$work/paren.kp"
[ "$("$check" "$work/paren.kp")" = "$work/paren.kp:1: Expression Error: Mismatched parenthesis" ] ||
    fail "mismatched parenthesis: $("$check" "$work/paren.kp")"
printf 'a\n<KpLET x="open>\nb\n' > "$work/quote.kp"
[ "$("$check" "$work/quote.kp")" = "$work/quote.kp:4: Expression Error: Found end of file in quoted string (opened on line 2)" ] ||
    fail "quote: $("$check" "$work/quote.kp")"

# A quote left open before a macro runs to the end whatever the macro holds; a
# missing attribute does not end the reading.
printf '<KpEVAL EXPR="Hello &[name]>\n<p>\n' > "$work/macroquote.kp"
[ "$("$check" "$work/macroquote.kp")" = "$work/macroquote.kp:3: Expression Error: Found end of file in quoted string (opened on line 1)" ] ||
    fail "quote before a macro: $("$check" "$work/macroquote.kp")"
printf '<KpASSIGN NAME="a">\n<KpEVAL EXPR=nosuch(1)>\n<KpEVAL EXPR=1 +>\n' > "$work/noattr.kp"
want="$work/noattr.kp:1: Syntax Error: KpASSIGN requires the VALUE attribute to be specified
$work/noattr.kp:2: Expression Error: Call to undefined function 'nosuch'
$work/noattr.kp:3: Expression Error: Unexpected end of expression"
[ "$("$check" "$work/noattr.kp")" = "$want" ] || fail "after a missing attribute: $("$check" "$work/noattr.kp")"

# A page never sees the functions of a page it runs with KpDO: a call of one is an
# undefined function, as it is when the page runs. A KpDO VALUE expression is
# evaluated with the functions of the file it names, and only with those.
mkdir -p "$work/lib"
printf '<KpFUNCTION NAME="helper" PARAMETERS="a,b">x</KpFUNCTION><KpDO FILE="deeper.kp">\n' > "$work/lib/helpers.kp"
printf '<KpFUNCTION NAME="deep">y</KpFUNCTION>\n' > "$work/lib/deeper.kp"
printf '<KpDO FILE="lib/helpers.kp"><KpEVAL EXPR=helper(1, 2)>\n<KpDO FILE="lib/helpers.kp" NAME="r" VALUE="helper(1, 2)">\n<KpDO FILE="lib/helpers.kp" NAME="r" VALUE="helper(1) $ deep()">\n' > "$work/main.kp"
want="$work/main.kp:1: Expression Error: Call to undefined function 'helper'
$work/main.kp:3: Expression Error: Call to function 'helper' expects 2 parameters, found 1
$work/main.kp:3: Expression Error: Call to undefined function 'deep'"
[ "$("$check" "$work/main.kp")" = "$want" ] || fail "functions of included pages: $("$check" "$work/main.kp")"
out=$(sh "$source/tests/pages/kelp_page.sh" "$build/kelp" "$work" main.kp 2> /dev/null | tr -d '\r' | grep -m 1 Error)
[ "$out" = "main.kp: Line 1: Expression Error: Call to undefined function 'helper'" ] ||
    fail "running the page reports another first error: $out"

# Includes that are no page of the site are not followed: devices and pipes (which
# would never end), files outside the page's directory, files too large to be pages.
# What their functions are cannot be known, and nothing is reported of them.
mkfifo "$work/pipe.kp"
mkdir -p "$work/site"
printf '<KpFUNCTION NAME="outside">z</KpFUNCTION>\n' > "$work/outside.kp"
head -c 5000000 /dev/zero | tr '\0' ' ' > "$work/site/huge.kp"
printf '<KpFUNCTION NAME="outside">z</KpFUNCTION>\n' >> "$work/site/huge.kp"
for include in /dev/zero /dev/urandom "$work/pipe.kp" ../outside.kp huge.kp; do
    printf '<KpDO FILE="%s" NAME="r" VALUE="outside(1)">\n' "$include" > "$work/site/includes.kp"
    out=$(timeout 10 "$check" "$work/site/includes.kp")
    status=$?
    [ "$status" = 124 ] && fail "including $include: kelp-check did not end"
    [ "$status" = 0 ] && [ -z "$out" ] || fail "including $include: $out"
done

# The rules a handler and kelp-check both check come from one place: for each rule
# broken, running the page and reading it report the same message on the same line.
rules=(
    '<KpIF EXPR=1 X=2>a</KpIF>'
    '<KpWHILE A=1 B=2></KpWHILE>'
    '<KpLET a=1 b=2>'
    '<KpEVAL A=1 B=2>'
    '<EVAL>'
    '<HIDE>'
    '<KpASSIGN NAME="a">'
    '<KpASSIGN VALUE=1>'
    '<KpDO FILE="x.kp" VALUE="1">'
    '<WHILE STOP>'
    '<KpCOMMERCE>x</KpCOMMERCE>'
)
mkdir -p "$work/rules"
for rule in "${rules[@]}"; do
    printf 'x\n%s\n' "$rule" > "$work/rules/rule.kp"
    ran=$(sh "$source/tests/pages/kelp_page.sh" "$build/kelp" "$work/rules" rule.kp 2> /dev/null | tr -d '\r' |
        grep -o "Line [0-9]*: Syntax Error: .*" | head -n 1 | sed 's/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g')
    read=$("$check" "$work/rules/rule.kp" | head -n 1 | sed "s|^$work/rules/rule.kp:\([0-9]*\): |Line \1: |")
    [ -n "$ran" ] && [ "$ran" = "$read" ] || fail "rule $rule: running says [$ran], kelp-check [$read]"
done

# A configuration file: unknown keys and tags wherever they stand, a data directory
# inside the script root, a syntax error; a clean one passes.
cat > "$work/site.conf" <<'EOF'
kelproot = /srv/site
dnslookup = off
stdmodedatdir = /srv/data
<VIRTUALHOST other.example>
  logfil = /tmp/x
</VIRTUALHOST>
<CONTENTTYPE MIMETYPE=text/plain EXTS=txt>
stdmodedatadir = /srv/site/data/
EOF
out=$("$check" --config "$work/site.conf")
[ $? = 1 ] || fail "--config with warnings: exit status 1"
want="$work/site.conf:3: Warning: unknown configuration key 'stdmodedatdir'
$work/site.conf:5: Warning: unknown configuration key 'logfil'
$work/site.conf:7: Warning: unknown configuration tag 'CONTENTTYPE'
$work/site.conf: Warning: stdmodedatadir '/srv/site/data/' is inside kelproot '/srv/site': the web server may serve its tables as files"
[ "$out" = "$want" ] || fail "--config reported: $out"
printf 'kelproot = /srv/site\nstdmodedatadir = /srv/site-data\n' > "$work/clean.conf"
out=$("$check" --config "$work/clean.conf") || fail "a clean configuration: $out"
printf 'kelproot = /srv/site\nloglevel = high\n' > "$work/bad.conf"
out=$("$check" --config "$work/bad.conf")
[ "$out" = "$work/bad.conf:2: 'high' is not a valid value for loglevel" ] || fail "--config syntax error: $out"

# Exit statuses: clean, usage, unreadable.
printf '<KpIF EXPR=1>yes<KpELSE>no</KpIF>\n' > "$work/clean.kp"
"$check" "$work/clean.kp" || fail "a clean page: exit status $?"
"$check" > /dev/null 2>&1; [ $? = 2 ] || fail "no pages: exit status 2"
"$check" --bogus "$work/clean.kp" > /dev/null 2>&1; [ $? = 2 ] || fail "an unknown option: exit status 2"
"$check" "$work/missing.kp" > /dev/null 2>&1; [ $? = 2 ] || fail "a missing page: exit status 2"
"$check" --help | grep -q "usage: kelp-check" || fail "--help"

[ "$failures" = 0 ] && echo "kelp-check: ok ($pages pages)"
[ "$failures" = 0 ]
