#!/bin/bash
# The kelp program as a process: the configuration file it finds, refusals before
# the page runs (with their status and exit status), the activity log, signals,
# and the caller-id cookie.
# Usage: kelp_program.sh BUILD_DIR
set -u
. "$(cd "$(dirname "${BASH_SOURCE[0]:-$0}")/.." && pwd)/support/slack.sh"
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/site" "$work/data"
cp "$build/kelp" "$work/bin/kelp"
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

conf() { printf '%s\n' "kelproot = $work/site" "stdmodedatadir = $work/data" "$@" > "$work/bin/kelp.conf"; }
# run ENV...: the response in $work/out (CRs removed), the exit status in $status
run() {
    (cd "$work" && env -i "$@" "$work/bin/kelp" < /dev/null | tr -d '\r' > "$work/out"; exit "${PIPESTATUS[0]}")
    status=$?
}
expect() {  # expect NAME STATUS "FIRST LINES"...
    name=$1 want=$2; shift 2
    [ "$status" = "$want" ] || fail "$name: exit status $status, expected $want"
    expected=$(printf '%s\n' "$@")
    [ "$(head -n $# "$work/out")" = "$expected" ] || { fail "$name:"; cat "$work/out"; }
}

printf 'page &[version] &[a]' > "$work/site/page.kp"

# No configuration file anywhere: a header block and the message, exit status 0.
run PATH_INFO=/page.kp
expect "no configuration" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Configuration Error: Cannot open configuration file<BR>"

conf "usecookies = off" "# comment"
run PATH_INFO=/page.kp
expect "page" 1 "Content-type: text/html" "" "page 3.7833 "

# None beside the program: the working directory's; one beside it wins; one beside it
# that cannot be read is not passed over.
mv "$work/bin/kelp.conf" "$work/kelp.conf"
run PATH_INFO=/page.kp
expect "working directory's configuration" 1 "Content-type: text/html" "" "page 3.7833 "
printf 'usecookies = off\n' > "$work/bin/kelp.conf"
run PATH_INFO=/page.kp
expect "configuration beside wins" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Configuration Error: kelproot is not defined<BR>"
rm "$work/bin/kelp.conf"
mkdir "$work/bin/kelp.conf"
run PATH_INFO=/page.kp
expect "unreadable configuration" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Configuration Error: Cannot open configuration file<BR>"
rmdir "$work/bin/kelp.conf"
rm "$work/kelp.conf"

printf 'usecookies = off\n' > "$work/bin/kelp.conf"
run PATH_INFO=/page.kp
expect "no root" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Configuration Error: kelproot is not defined<BR>"

conf "usecookies = off" "redirectonly = on"
run PATH_INFO=/page.kp
expect "redirect only" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Fatal Error: Kelp is configured for redirected use only"
run PATH_INFO=/page.kp REDIRECT_STATUS=200
expect "redirected" 1 "Content-type: text/html" "" "page 3.7833 "

conf "usecookies = off" "serveruserid = 99999"
run PATH_INFO=/page.kp
expect "server user id" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Fatal Error: The UID of the process which executed Kelp does not match the serveruserid configuration variable"

conf "usecookies = off" "<CONTENT-TYPE MIMETYPE=text/plain EXTS=txt>" "sitevars = $work/site.vars"
printf 'a = from the site\n' > "$work/site.vars"
cp "$work/site/page.kp" "$work/site/page.txt"
run PATH_INFO=/page.txt
expect "content type and site variables" 1 "Content-type: text/plain" "" "page 3.7833  from the site"
rm "$work/site.vars"
run PATH_INFO=/page.txt
expect "missing site variables" 0 "Status: 500 Internal Server Error" "Content-type: text/plain" "" \
    "Configuration Error: Error opening sitevars file<BR>"

# Start-up loads the C library alone: libm comes with a page's first mathematical
# function, which then computes as it would with the library linked in.
conf
printf 'Hello\n' > "$work/site/hello.kp"
printf '<KpEVAL EXPR=power(2, 0.5)> <KpEVAL EXPR=2 POW 10> <KpEVAL EXPR=cos(0)>\n' > "$work/site/math.kp"
loaded() {  # loaded PAGE: the shared objects the loader opened for the page
    (cd "$work" && env -i LD_DEBUG=files PATH_INFO="/$1" "$work/bin/kelp" 2>&1 > /dev/null) |
        sed -n 's/.*file=\([^ ]*\) .*/\1/p' | sort -u | tr '\n' ' '
}
# (A sanitizer build brings its own libraries.)
if ! grep -q __asan_init "$work/bin/kelp"; then
    [ "$(loaded hello.kp)" = "libc.so.6 " ] || fail "a hello page loads: $(loaded hello.kp)"
fi
case "$(loaded math.kp)" in *libm.so.6*) ;; *) fail "libm was not loaded for a page that computes" ;; esac
run PATH_INFO=/math.kp
[ "$(tail -n 1 "$work/out")" = "1.414214 1024 1" ] || fail "mathematics: $(cat "$work/out")"
# The password hash comes from the system's crypt library, loaded by the page that uses it.
printf '<KpEVAL EXPR="pw" CRYPT "ab">\n' > "$work/site/crypt.kp"
case "$(loaded crypt.kp)" in *libcrypt.so.1*) ;; *) fail "libcrypt was not loaded for a page that hashes" ;; esac
run PATH_INFO=/crypt.kp
[ "$(tail -n 1 "$work/out")" = "abzlUXK5ed5rs" ] || fail "crypt: $(cat "$work/out")"

# The activity log: one line per entry, fields joined by "|".
conf "usecookies = off" "loglevel = 1" "logfile = $work/activity.log"
run PATH_INFO=/page.kp
run PATH_INFO=/page.kp
[ "$(wc -l < "$work/activity.log")" = 4 ] || fail "log: $(cat "$work/activity.log")"
conf "usecookies = off" "loglevel = 2" "logfile = $work/activity2.log"
run PATH_INFO=/page.kp
[ "$(cut -d'|' -f6,7,9 "$work/activity2.log" | tr '\n' ' ')" = \
  "1|SCRIPTSTARTED|filename=$work/site/page.kp 2|FILEOPENED|filename=$work/site/page.kp&type=script 1|SCRIPTENDED| " ] ||
    fail "log level 2: $(cat "$work/activity2.log")"
awk -F'|' -v p="$work/site/page.kp" 'NF != 9 || $5 != "3.7833" || $8 != p { bad = 1 } END { exit bad }' \
    "$work/activity.log" || fail "log layout: $(cat "$work/activity.log")"
[ "$(cut -d'|' -f7 "$work/activity.log" | sort | uniq -c | awk '{ print $1 $2 }' | tr '\n' ' ')" = \
  "2SCRIPTENDED 2SCRIPTSTARTED " ] || fail "log entries: $(cat "$work/activity.log")"
conf "usecookies = off" "loglevel = 1" "logfile = $work/no/such/dir/activity.log"
run PATH_INFO=/page.kp
expect "unwritable log" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Configuration Error: Unable to open log file<BR>"

# A signal ends a looping page the way the time-out does.
conf "usecookies = off" "globaltimeout = 0"
printf '<KpWHILE EXPR=1></KpWHILE>after' > "$work/site/loop.kp"
(cd "$work" && exec env -i PATH_INFO=/loop.kp "$work/bin/kelp" > "$work/loop.out") &
pid=$!
sleep 0.5
kill -TERM $pid
for _ in $(seq $((50 * $(slack)))); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
if kill -0 $pid 2>/dev/null; then
    kill -KILL $pid
    fail "SIGTERM did not end the page"
fi
wait $pid
grep -q "timed out" "$work/loop.out" || fail "SIGTERM: $(cat "$work/loop.out")"

# A page whose output can no longer be delivered (the reader went away) ends at
# once: one that writes on and on, and the list loop of a misspelt table, whose
# errors come again and again.
printf '<KpWHILE EXPR=1>a line that goes on and on\n</KpWHILE>' > "$work/site/writer.kp"
printf '<KpOPEN NAME="c" DATABASE="contact.dbf"><KpWHILE EXPR=NOT c.d.eof OR 1>[&[c.d.name]]<KpSKIP NAME="c"></KpWHILE>' > "$work/site/misspelt.kp"
for page in writer misspelt; do
    start=$(date +%s%N)
    (cd "$work" && timeout 10 env -i PATH_INFO=/$page.kp "$work/bin/kelp" 2> /dev/null | head -c 100 > /dev/null)
    took=$(( ($(date +%s%N) - start) / 1000000 ))
    in_time "$took" 1000 || fail "$page: a page writing to a closed pipe took $took ms to end"
done

conf
run PATH_INFO=/page.kp
grep -Eq '^Set-Cookie: brncallerid=[0-9A-F]{32}; expires=[A-Z][a-z]{2}, [0-9]{2}-[A-Z][a-z]{2}-[0-9]{4} [0-9:]{8} GMT; path=/$' \
    "$work/out" || fail "new cookie: $(head -n 3 "$work/out")"
run PATH_INFO=/page.kp HTTP_COOKIE='x=1; brncallerid=Kept42'
grep -q '^Set-Cookie: brncallerid=Kept42; ' "$work/out" || fail "kept cookie: $(head -n 3 "$work/out")"
run PATH_INFO=/page.kp 'HTTP_COOKIE=brncallerid=a"b'
grep -q 'a"b' "$work/out" && fail "an invalid caller id was sent back"

# A link to a page is followed only when it belongs to the page's owner.
conf "usecookies = off"
ln -s page.kp "$work/site/link.kp"
run PATH_INFO=/link.kp
expect "own link" 1 "Content-type: text/html" "" "page 3.7833 "
if [ "$(id -u)" = 0 ]; then
    chown -h nobody "$work/site/link.kp"
    run PATH_INFO=/link.kp
    expect "foreign link" 0 "Status: 403 Forbidden" "Content-type: text/html" "" \
        "Fatal Error: 'link.kp' is reached through a symbolic link owned by a different user"
    # A linked directory on the way counts as a link to the page.
    mkdir "$work/site/real"
    cp "$work/site/page.kp" "$work/site/real/inner.kp"
    ln -s real "$work/site/dir"
    chown -h nobody "$work/site/dir"
    run PATH_INFO=/dir/inner.kp
    expect "foreign linked directory" 0 "Status: 403 Forbidden" "Content-type: text/html" "" \
        "Fatal Error: 'dir/inner.kp' is reached through a symbolic link owned by a different user"
    rm "$work/site/dir"
fi
# A directory stands for its default page; the data directory's own site variables
# file is read when there is one.
mkdir -p "$work/site/sub"
printf 'default &[a]' > "$work/site/sub/index.kp"
conf "usecookies = off" "kelpdefault = index.kp"
run PATH_INFO=/sub
expect "directory" 1 "Content-type: text/html" "" "default "
printf 'a = from the data directory\n' > "$work/data/sitevars"
run PATH_INFO=/sub/
expect "data directory's site variables" 1 "Content-type: text/html" "" "default  from the data directory"
rm "$work/data/sitevars"
run PATH_INFO=/sub/nothing.kp
expect "missing page below a directory" 0 "Status: 404 Not Found" "Content-type: text/html" "" \
    "Error opening 'sub/nothing.kp': No such file or directory"
# The configured directories, and the extension: the last steps before a page runs.
printf '%s\n' "kelproot = $work/no-root" "stdmodedatadir = $work/data" "usecookies = off" > "$work/bin/kelp.conf"
run PATH_INFO=/page.kp
expect "missing kelproot" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Fatal Error: The directory configured as kelproot does not exist"
conf "usecookies = off" "stdmodedatadir = $work/no-data"
run PATH_INFO=/page.kp
expect "missing data directory" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Fatal Error: The directory configured as stdmodedatadir does not exist"
printf 'text' > "$work/site/notes.txt"
conf "usecookies = off" "validextensions = kp"
run PATH_INFO=/notes.txt
expect "an extension no script has" 0 "Status: 403 Forbidden" "Content-type: text/html" "" \
    "Fatal Error: 'notes.txt' does not have a valid script extension"

# Authorized mode: the page's owner must be the effective user and be authorized.
me=$(id -un)
conf "usecookies = off" "authfile = $work/auth"
printf '<AUTH ACCESS=allow TYPE=login>\n%s\n</AUTH>\n' "$me" > "$work/auth"
run PATH_INFO=/page.kp
if [ "$(id -u)" = 0 ]; then
    expect "root owner" 0 "Status: 403 Forbidden" "Content-type: text/html" "" \
        "Fatal Error: root may not be authorized to run Brindle"
    chown nobody "$work/site/page.kp"
    run PATH_INFO=/page.kp
    expect "foreign owner" 0 "Status: 403 Forbidden" "Content-type: text/html" "" \
        "Fatal Error: 'page.kp' is not owned by root"
    chown root "$work/site/page.kp"
else
    expect "authorized" 1 "Content-type: text/html" "" "page 3.7833 "
    printf '<AUTH ACCESS=deny TYPE=login>\n%s\n</AUTH>\n' "$me" > "$work/auth"
    run PATH_INFO=/page.kp
    expect "not authorized" 0 "Status: 403 Forbidden" "Content-type: text/html" "" \
        "Fatal Error: $me is not authorized to use Kelp Script"
fi
[ "$(id -u)" = 0 ] && chown nobody "$work/site/page.kp"
conf "usecookies = off" "authfile = $work/no-such-file"
run PATH_INFO=/page.kp
[ "$(id -u)" = 0 ] || expect "missing authfile" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
    "Configuration Error: Error opening authfile<BR>"
run PATH_INFO=/~no-such-user-here/page.kp
expect "unknown user" 0 "Status: 404 Not Found" "Content-type: text/html" "" \
    "Error opening '~no-such-user-here': there is no such user"
home=$(getent passwd "$me" | cut -d: -f6)
if [ ! -e "$home/public_brn" ]; then
    run PATH_INFO="/~$me/page.kp"
    expect "missing user directory" 0 "Status: 500 Internal Server Error" "Content-type: text/html" "" \
        "Fatal Error: The configured script directory for $me does not exist"
fi

# Server safe mode (a set-user-id root program; only root can make one): the page
# runs as its owner, who here may not rename a file in a directory of root's.
if [ "$(id -u)" = 0 ] && id nobody > /dev/null 2>&1; then
    chmod 755 "$work"
    mkdir -p "$work/sbin" "$work/rootdata"
    cp "$build/kelp" "$work/sbin/kelp"
    chmod 4755 "$work/sbin/kelp"
    touch "$work/rootdata/a.txt"
    printf '%s\n' "kelproot = $work/site" "stdmodedatadir = $work/rootdata" "usecookies = off" \
        "authfile = $work/auth" > "$work/sbin/kelp.conf"
    printf '<AUTH ACCESS=allow TYPE=login>\nnobody\n</AUTH>\n' > "$work/auth"
    printf '<FILE RENAME OLDNAME="a.txt" NAME="b.txt">done' > "$work/site/safe.kp"
    chown nobody "$work/site/safe.kp"
    (cd "$work" && env -i PATH_INFO=/safe.kp "$work/sbin/kelp" | tr -d '\r' > "$work/out")
    grep -q "Permission denied" "$work/out" || fail "server safe mode: $(cat "$work/out")"
    [ -e "$work/rootdata/a.txt" ] || fail "server safe mode: the page renamed a file of root's"
    # The authorization file gives the owner a data directory of their own.
    mkdir -p "$work/nobodydata"
    touch "$work/nobodydata/a.txt"
    chown -R nobody "$work/nobodydata"
    printf '<AUTH ACCESS=allow TYPE=login DATADIR="%s">\nnobody\n</AUTH>\n' "$work/nobodydata" > "$work/auth"
    (cd "$work" && env -i PATH_INFO=/safe.kp "$work/sbin/kelp" | tr -d '\r' > "$work/out")
    [ "$(tail -n 1 "$work/out")" = "done" ] && [ -e "$work/nobodydata/b.txt" ] ||
        fail "owner's data directory: $(cat "$work/out")"
    # Run by the web server's user, the switch is for good: real, effective and saved
    # ids all become the owner's, so nothing in the process can become root again.
    if command -v setpriv > /dev/null; then
        printf '<KpWHILE EXPR=1></KpWHILE>' > "$work/site/spin.kp"
        chown nobody "$work/site/spin.kp"
        (cd "$work" && exec setpriv --reuid=nobody --regid=nogroup --clear-groups \
            env -i PATH_INFO=/spin.kp "$work/sbin/kelp" > /dev/null) &
        spinner=$!
        ids=""
        for _ in $(seq 50); do
            ids=$(grep -E '^(Uid|Gid|Groups):' "/proc/$spinner/status" 2>/dev/null | tr -s '\t ' ' ')
            case "$ids" in *"Uid: 65534 65534 65534 65534"*) break ;; esac
            sleep 0.1
        done
        kill -TERM "$spinner" 2> /dev/null
        wait "$spinner" 2> /dev/null
        case "$ids" in
            *"Uid: 65534 65534 65534 65534"*"Gid: 65534 65534 65534 65534"*) ;;
            *) fail "server safe mode keeps a way back to root: $ids" ;;
        esac
        case "$ids" in *"Groups: 65534"*|*"Groups: ") ;; *) fail "server safe mode groups: $ids" ;; esac
    fi
    printf '<AUTH ACCESS=deny TYPE=login>\nnobody\n</AUTH>\n' > "$work/auth"
    (cd "$work" && env -i PATH_INFO=/safe.kp "$work/sbin/kelp" | tr -d '\r' > "$work/out")
    grep -q "^Fatal Error: nobody is not authorized to use Kelp Script" "$work/out" ||
        fail "server safe mode refusal: $(cat "$work/out")"
fi

[ "$failures" = 0 ] && echo "kelp program: ok"
[ "$failures" = 0 ]
