#!/bin/bash
# KpCOMMERCE with real plug-in libraries loaded by the kelp program: the calls in
# order, iterations, variables and files through the exported kelp_ functions, the
# library's error, cleanup, and the loader's messages.
# Usage: commerce_plugins.sh BUILD_DIR PLUGIN INCOMPLETE_PLUGIN
set -u
build=$(cd "$1" && pwd)
plugin=$2
incomplete=$3
here=$(cd "$(dirname "$0")" && pwd)
site=$(mktemp -d)
trap 'rm -rf "$site"' EXIT
printf '9.99' > "$site/prices.txt"
cat > "$site/conf" <<EOF
<COMMERCE-LIB METHOD="card" LIBRARY="$plugin">
<COMMERCE-LIB METAMETHOD="partial" LIBRARY="$incomplete">
<COMMERCE-LIB METHOD="gone" LIBRARY="$site/missing.so">
EOF
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
expect() { [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"; }
page() {
    printf '%s\n' "$2" > "$site/$1"
    KELP_CONF_FILE="$site/conf" sh "$here/../pages/kelp_page.sh" "$build/kelp" "$site" "$1" | tr -d '\r' | sed '1,/^$/d'
}

expect "two iterations" "[card 12.50 amount=12.50&who=Ann+Lee 9.99 4 0][1]
outside: ['../../../etc/passwd' is not contained in the configured data directory]
markup: [&lt;KpEVAL EXPR=6 * 7&gt;] after: []" "$(page pay.kp '<KpLET amount="12.50"><KpLET who="Ann Lee"><KpCOMMERCE METHOD="card" ACTION="pay" FIELDS="amount, who"><KpIF EXPR=commerce_iteration EQ 0>[&[commerce_method] &[commerce_amount] &[commerce_fields] &[commerce_file] &[commerce_size] &[commerce_iteration]]<KpELSE>[&[commerce_iteration]]
outside: [&[commerce_outside]]
markup: [<KpEVAL EXPR=encodeentities(commerce_markup)>]</KpIF></KpCOMMERCE> after: [&[commerce_method]]')"
expect "cleanup after pay" "cleaned up after pay" "$(cat "$site/cleanup.txt")"

expect "library error" "[0][Card declined for 7]" \
    "$(page fail.kp '<KELP KpCOMMERCE_ERROR="nonfatal,nodisplay"><KpLET amount=7><KpCOMMERCE METHOD="card" ACTION="fail" FIELDS="amount">[&[commerce_iteration]]</KpCOMMERCE>[&[KpCOMMERCE_Error]]')"
expect "cleanup after an error" "cleaned up after pay
cleaned up after fail" "$(cat "$site/cleanup.txt")"
expect "stop at init" "[]" "$(page stop.kp '<KpCOMMERCE METAMETHOD="card" ACTION="stop">never</KpCOMMERCE>[&[KpCOMMERCE_Error]]')"
expect "KpCOMMERCESTOP" "(0)done" "$(page commercestop.kp '<KpCOMMERCE METHOD="card" ACTION="pay">(&[commerce_iteration])<KpCOMMERCESTOP>never</KpCOMMERCE>done')"
expect "cleanup after stop" 4 "$(wc -l < "$site/cleanup.txt" | tr -d ' ')"

out=$(page gone.kp '<KELP KpCOMMERCE_ERROR="nonfatal,nodisplay"><KpCOMMERCE METHOD="gone">never</KpCOMMERCE>[&[KpCOMMERCE_Error]]')
case "$out" in "[$site/missing.so: cannot open shared object file: No such file or directory]") ;; *) fail "missing library: $out" ;; esac
out=$(page partial.kp '<KELP KpCOMMERCE_ERROR="nonfatal,nodisplay"><KpCOMMERCE METHOD="partial">never</KpCOMMERCE>[&[KpCOMMERCE_Error]]')
case "$out" in "["*"undefined symbol: kelp_commerce_error]") ;; *) fail "missing symbol: $out" ;; esac
expect "unknown method" "[Unsupported commerce method 'cash']" \
    "$(page cash.kp '<KELP KpCOMMERCE_ERROR="nonfatal,nodisplay"><KpCOMMERCE METHOD="cash">never</KpCOMMERCE>[&[KpCOMMERCE_Error]]')"
expect "no method" "nomethod.kp: Line 1: Syntax Error: KpCOMMERCE requires the METHOD attribute to be specified" \
    "$(page nomethod.kp '<KpCOMMERCE ACTION="pay">never</KpCOMMERCE>')"

[ $failures = 0 ] && echo "all commerce cases passed"
exit $((failures > 0))
