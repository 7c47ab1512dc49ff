#!/bin/bash
# The page the step-by-step recipe builds (every ```html block of
# list-step-by-step.md, in order) run as the recipe says to try it: adding with and
# without mistakes, paging, searching, changing, deleting, and the requests that
# must change nothing.
# Usage: list_recipe.sh KELP DOCS_DIR
set -u
kelp=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk '/^```html$/ { on = 1; next } /^```$/ { on = 0; next } on' "$2/list-step-by-step.md" > "$work/contacts.kp"
printf 'usecookies = on\n' > "$work/conf"
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
# get QUERY: the page after its header block
get() {
    KELP_CONF_FILE="$work/conf" KELP_ENV="HTTP_COOKIE=brncallerid=ABC QUERY_STRING=$1" \
        sh "$here/../pages/kelp_page.sh" "$kelp" "$work" contacts.kp < /dev/null 2>&1 | tr -d '\r' | sed '1,/^$/d'
}
# post BODY [METHOD]: the same for a form post
post() {
    printf '%s' "$1" > "$work/body"
    KELP_CONF_FILE="$work/conf" KELP_ENV="HTTP_COOKIE=brncallerid=ABC REQUEST_METHOD=${2:-POST} CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=${#1}" \
        sh "$here/../pages/kelp_page.sh" "$kelp" "$work" contacts.kp < "$work/body" 2>&1 | tr -d '\r' | sed '1,/^$/d'
}
names() { grep -o '<li><a href="contacts.kp?id=[0-9]*">[^<]*' | sed 's/.*">//' | paste -sd ' '; }

[ "$(get "" | names)" = "" ] || fail "a new list is empty"
post "token=ABC&f_name=Ann+Smith&f_email=ann%40example.org&action=add" | grep -q 'http-equiv="refresh" content="0; url=contacts.kp?done=added"' ||
    fail "an add sends the browser on"
get "done=added" | grep -q '<p id="notice">The contact was added.</p>' || fail "the notice after an add"
get "done=%3Cb%3E" | grep -q 'id="notice"' && fail "an unknown result is shown"
out=$(post "token=ABC&f_name=&f_email=bad&action=add")
grep -q "Please give a name." <<< "$out" && grep -q 'value="bad"> This does not look like an e-mail address.' <<< "$out" ||
    fail "mistakes beside their fields: $out"
for n in Bob Cy Dee Eve Fay Gus Hal Ida Jo Kim; do post "token=ABC&f_name=$n&action=add" > /dev/null; done
[ "$(get "" | names)" = "Ann Smith Bob Cy Dee Eve Fay Gus Hal Ida Jo" ] || fail "the first page: $(get "" | names)"
get "" | grep -q 'id="older" href="contacts.kp?search=&amp;page=2"' || fail "the link to the older page"
[ "$(get "page=2" | names)" = "Kim" ] || fail "the second page: $(get "page=2" | names)"
[ "$(get "search=b" | names)" = "Bob" ] || fail "search: $(get "search=b" | names)"
# Nothing changes without the token, or by a GET.
post "token=XYZ&f_name=Zed&action=add" | grep -q "This form has expired" || fail "a post without the token is refused"
get "id=2&action=delete&token=ABC" > /dev/null
post "id=2&action=delete&token=ABC" GET > /dev/null
[ "$(get "search=b" | names)" = "Bob" ] || fail "a GET deleted"
# Change and delete by id; ids stay what they were after a pack.
get "id=2" | grep -q 'name="f_name" value="Bob"' || fail "the form shows the contact"
post "token=ABC&id=2&f_name=Bobby&f_email=&action=save" | grep -q "done=saved" || fail "a change"
post "token=ABC&id=3&action=delete" | grep -q "done=deleted" || fail "a delete"
[ "$(get "search=b" | names)" = "Bobby" ] || fail "after the change: $(get "search=b" | names)"
[ "$(get "search=c" | names)" = "" ] || fail "after the delete: $(get "search=c" | names)"
printf '<KpOPEN NAME="c" DATABASE="contacts.dbf" INDEXES="c_id.kpx, c_name.kpx"><KpPACK NAME="c">packed\n' > "$work/pack.kp"
sh "$here/../pages/kelp_page.sh" "$kelp" "$work" pack.kp > /dev/null 2>&1
get "id=4" | grep -q 'name="f_name" value="Dee"' || fail "an id names its contact after a pack"

[ "$failures" = 0 ] && echo "the list recipe: ok"
[ "$failures" = 0 ]
