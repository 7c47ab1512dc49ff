#!/bin/bash
# The editor support: the Vim syntax file colours a sample page's tag, attribute,
# function, operator, number, macro and script comment, and every pattern of the
# TextMate grammar compiles and finds the same pieces. The problem matchers read
# kelp-check's own output.
# Usage: editors.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $1"; failures=$((failures + 1)); }

printf '<p><KpIF EXPR=len(x) EQ 1>&[name];</KpIF><## note ##>\n<KpEVLA X=1>\n' > "$work/sample.kp"
if command -v vim > /dev/null; then
    vim -es -N -u NONE -i NONE -c "set rtp^=$source/editors/vim" -c 'filetype on' -c 'syntax on' \
        -c "e $work/sample.kp" -c "redir! > $work/groups" \
        -c 'for c in [5, 10, 15, 22, 25, 29, 45] | echo synIDattr(synID(1, c, 1), "name") | endfor' \
        -c 'redir END' -c 'qa!'
    got=$(grep . "$work/groups" | tr '\n' ' ')
    [ "$got" = "kelpTagDelim kelpAttribute kelpFunction kelpOperator kelpNumber kelpMacro kelpComment " ] ||
        fail "vim syntax groups: $got"
    # :make with the compiler file fills the quickfix list from kelp-check.
    PATH="$build:$PATH" vim -es -N -u NONE -i NONE -c "set rtp^=$source/editors/vim" \
        -c "e $work/sample.kp" -c 'compiler kelp' -c 'silent make' -c "redir! > $work/qf" \
        -c 'for e in getqflist() | echo e.lnum e.text | endfor' -c 'redir END' -c 'qa!'
    grep -q "^2 unknown tag <KpEVLA> is shown as text" "$work/qf" || fail "vim quickfix: $(cat "$work/qf")"
else
    fail "vim is not installed"
fi

/usr/bin/python3 - "$source/editors/vscode" "$work/sample.kp" "$build/kelp-check" <<'PY' || fail "TextMate grammar"
import json, re, subprocess, sys
root, sample, check = sys.argv[1:]
grammar = json.load(open(root + '/syntaxes/kelp.tmLanguage.json'))
def walk(node, out):
    if isinstance(node, dict):
        for k in ('match', 'begin', 'end'):
            if k in node: out.append((k, node[k]))
        for v in node.values(): walk(v, out)
    elif isinstance(node, list):
        for v in node: walk(v, out)
patterns = []
walk(grammar, patterns)
compiled = [re.compile(p) for _, p in patterns]
line = open(sample).readline()
repo = grammar['repository']
assert re.search(repo['kelp-tag']['begin'], line).group(3) == 'KpIF'
assert re.search(repo['macro']['match'], line).group(0) == '&[name];'
assert re.search(repo['script-comment']['begin'], line)
expr = {p.get('name'): p for p in repo['expression']['patterns']}
assert re.search(expr['keyword.operator.word.kelp']['match'], line).group(0) == 'EQ'
# The problem matcher reads what kelp-check prints.
matcher = json.load(open(root + '/package.json'))['contributes']['problemMatchers'][0]['pattern']
out = subprocess.run([check, sample], capture_output=True, text=True).stdout.splitlines()
m = re.match(matcher['regexp'], out[0])
assert m and m.group(2) == '2' and m.group(3) == 'Warning', out
print('grammar: %d patterns compile' % len(compiled))
PY

[ "$failures" = 0 ] && echo "editors: ok"
[ "$failures" = 0 ]
