#!/bin/sh
# Writes host/startup.ld: the functions a small request runs (the hello page and a page
# with a short loop), which the link puts next to each other at the front of the
# program's code. Starting a process maps the code it runs in windows of 64 KB, one
# page fault each: gathered, the start-up path takes two windows instead of the seven
# it touched spread over the whole program. Run it after a change that moves much of
# the start-up path (needs valgrind); a function missing from the list only costs a
# fault, and a name in the list that no longer exists matches nothing.
# Usage: startup_order.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
out="$here/../host/startup.ld"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$build/kelp" "$work/kelp"
site="$here/cgi"
# hello: as the benchmarks run it; hello-default: with the defaults a site starts from
# (a caller-id cookie, a time limit); loop: a page with variables, a loop and macros.
# (The program's exit status is 1 when the page ran.)
run() {  # run NAME PAGE CONFIGURATION-LINES...
    name=$1 page=$2
    shift 2
    printf '%s\n' "kelproot = $site" "stdmodedatadir = $work" "$@" > "$work/kelp.conf"
    env -i PATH_INFO=/$page REQUEST_METHOD=GET SERVER_NAME=localhost valgrind --tool=callgrind \
        --demangle=no --callgrind-out-file="$work/$name.out" "$work/kelp" > /dev/null 2>&1 || true
    [ -s "$work/$name.out" ] || { echo "startup_order.sh: valgrind did not run $page"; exit 1; }
}
run hello hello.kp "usecookies = off" "validextensions = kp" "globaltimeout = 0"
run hello-default hello.kp
run loop loop.kp
nm "$work/kelp" > "$work/symbols"
python3 - "$work" "$out" <<'EOF'
import re, sys
work, out = sys.argv[1], sys.argv[2]
# The hello page's functions first, then those only the loop page adds.
def ran_in(*runs):
    names = set()
    for run in runs:
        for line in open(f"{work}/{run}.out"):
            m = re.match(r"c?fn=\(\d+\) (\S+)", line)
            if m:
                names.add(m.group(1))
    return names
# Every name of a function that ran (aliases share its address).
byaddress = {}
for line in open(f"{work}/symbols"):
    parts = line.split()
    if len(parts) == 3 and parts[1] in "tTwW":
        byaddress.setdefault(parts[0], []).append(parts[2])
def stems_of(ran):
    names = set()
    for aliases in byaddress.values():
        if ran.intersection(aliases):
            names.update(aliases)
    # The section of a function is named after it, with the suffixes of its clones.
    stems = set()
    for name in names:
        name = re.sub(r"\.(lto_priv|constprop|isra|part|cold|localalias)(\.\d+)?.*$", "", name)
        if not name.startswith(".") and re.fullmatch(r"[A-Za-z0-9_.$]+", name):
            stems.add(name)
    return stems
first = stems_of(ran_in("hello", "hello-default"))
then = stems_of(ran_in("loop")) - first
with open(out, "w") as f:
    f.write("/* The functions a small request runs, and the code run at exit, first in the\n"
            "   program's code; written by bench/startup_order.sh. */\nSECTIONS\n{\n  .text.startup_path :\n  {\n"
            "    *crt1.o(.text .text.*)\n    *crtbegin.o(.text .text.*)\n    *crtend.o(.text .text.*)\n"
            "    KEEP (*(SORT_NONE(.fini)))\n")
    for s in sorted(first) + sorted(then):
        f.write(f"    *(.text.{s} .text.{s}.* .text.*.{s} .text.*.{s}.*)\n")
    f.write("  }\n}\nINSERT BEFORE .text;\n")
print(f"{out}: {len(first)} + {len(then)} functions")
EOF
