#!/usr/bin/env bash
# newcomer.sh — the first hour of a newcomer, scripted: installs the library with the README's
# commands into a scratch prefix, builds the C and the C++ exit of docs/writing-an-exit.md from
# its snippets, and drives them with the installed kavi (send, ping, list, stats, trace, log,
# shutdown), checking every output line it relies on. Run by .ci/run.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# expect FILE REGEX: FILE holds a line matching REGEX (extended).
expect() {
    grep -Eq -- "$2" "$1" || { cat "$1" >&2; fail "no line like /$2/ in $(basename "$1")"; }
}

echo "== install with the README's commands into $prefix"
readme_install=$(sed -n '/^## Install/,/^## /p' README.md | sed -n '/^```sh/,/^```/p' | grep -v '^```')
[ -n "$readme_install" ] || fail "no install commands in the README"
(eval "${readme_install//\/opt\/kaviexit/$prefix}") >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "the README's install commands failed"; }
kavi=$prefix/bin/kavi
[ -x "$kavi" ] || fail "kavi is not installed"
[ -f "$prefix/share/man/man1/kavi.1" ] || fail "the man page is not installed"
bash -c "source '$prefix/share/bash-completion/completions/kavi' && complete -p kavi" >/dev/null ||
    fail "the bash completion does not load"
libdir=$(dirname "$(find "$prefix" -name libkaviexit.so -print -quit)")
export PKG_CONFIG_PATH=$libdir/pkgconfig

echo "== build the C and the C++ exit from docs/writing-an-exit.md"
# snippet LANG N: the Nth fenced block of LANG in the page.
snippet() {
    awk -v lang="$1" -v want="$2" '
        $0 == "```" lang { n++; inside = (n == want); next }
        /^```/ { inside = 0 }
        inside { print }' docs/writing-an-exit.md
}
snippet c 1 >"$work/hello.c"
snippet cpp 1 >"$work/classy.cpp"
grep -q KaviInitialize "$work/hello.c" || fail "no C exit program in the docs"
grep -q VuleCommandExit "$work/classy.cpp" || fail "no C++ exit program in the docs"
# shellcheck disable=SC2046 # pkg-config's output is a list of flags
cc -std=c99 -Wall -o "$work/hello" "$work/hello.c" $(pkg-config --cflags --libs kaviexit) \
    -Wl,-rpath,"$libdir"
# shellcheck disable=SC2046
c++ -std=c++20 -Wall -o "$work/classy" "$work/classy.cpp" $(pkg-config --cflags --libs kaviexit) \
    -Wl,-rpath,"$libdir"

echo "== run them on a node of their own and drive them with kavi"
export KAVI_NODE="NEWC$$"
export KAVZ_ERRLOG=$work/errlog KAVZ_TRACE_FILE=$work/trace KAVZ_TRACE_MASK=0x700
"$work/hello" >"$work/hello.out" 2>&1 &
pids+=($!)
"$work/classy" >"$work/classy.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    "$kavi" ping HELLO >/dev/null 2>&1 && "$kavi" ping CLASSY >/dev/null 2>&1 && break
    sleep 0.05
done

"$kavi" ping HELLO >"$work/ping"
expect "$work/ping" "^HELLO on node $KAVI_NODE answered in [0-9.]+ ms \\(pid ${pids[0]}, hello\\)$"

"$kavi" send HELLO --set command_name=PING >"$work/send"
expect "$work/send" "^sent to HELLO on node $KAVI_NODE: [0-9]+ bytes$"
expect "$work/send" "^  command_name: PING$"
expect "$work/send" "^status: 0 \\(0x0000\\)$"
expect "$work/send" "^changed by the exit: 1 field$"
expect "$work/send" "^  extended_reason_code: 7$"
rc=0
"$kavi" send CLASSY --set command_name=RESTART --set display_name=db1 >"$work/send2" || rc=$?
[ "$rc" = 1 ] || fail "kavi send returned $rc, not 1, for status 4"
expect "$work/send2" "^status: 4 \\(0x0004\\)$"
rc=0
"$kavi" send NOBODY 2>"$work/nobody" || rc=$?
[ "$rc" = 3 ] || fail "kavi send NOBODY returned $rc, not 3"
expect "$work/nobody" "exit NOBODY is not started on node $KAVI_NODE \\(kavi list --node $KAVI_NODE lists the exits there\\)"

"$kavi" list >"$work/list"
expect "$work/list" "^node $KAVI_NODE: 2 exits$"
expect "$work/list" "^  HELLO +${pids[0]} +hello +1 +1 +[0-9T:-]+Z$"
expect "$work/list" "^  CLASSY +${pids[1]} +classy +1 +1 +[0-9T:-]+Z$"
"$kavi" stats HELLO >"$work/stats"
expect "$work/stats" "^exit HELLO on node $KAVI_NODE: pid ${pids[0]} \\(hello\\), run mode 1, registered "
expect "$work/stats" "^commands: 1 \\(status 0: 1, other: 0\\)$"
expect "$work/stats" "^exit function time: p50 <= [0-9]+ us, p90 <= [0-9]+ us, p99 <= [0-9]+ us, max <= [0-9]+ us$"

"$kavi" shutdown HELLO >"$work/shutdown"
expect "$work/shutdown" "^asked process ${pids[0]}, which holds HELLO, to stop \\(SIGTERM\\)$"
expect "$work/shutdown" "^HELLO stopped$"
wait "${pids[0]}" || fail "hello did not end cleanly"
"$kavi" shutdown >"$work/shutdown2"
expect "$work/shutdown2" "^1 wait ended$"
wait "${pids[1]}" || fail "classy did not end cleanly"
pids=()
expect "$work/classy.out" "^RESTART for db1$"  # written when classy ends: stdout is a file

"$kavi" trace --exit HELLO --function KaviInit "$work/trace" >"$work/trace.txt"
expect "$work/trace.txt" " KaviInit site=300 exit code=0 exit_name=\"HELLO\" .* duration_us=[0-9.]+$"
# A registration that fails: the exception and the error log say why, in words.
KAVZ_ERRLOG=$work/errlog2 "$work/classy" >/dev/null 2>"$work/classy.err" &
pids+=($!)
for _ in $(seq 100); do "$kavi" ping CLASSY >/dev/null 2>&1 && break; sleep 0.05; done
rc=0
KAVZ_ERRLOG=$work/errlog2 "$work/classy" >/dev/null 2>"$work/classy2.err" || rc=$?
[ "$rc" = 1 ] || fail "a second CLASSY returned $rc, not 1"
expect "$work/classy2.err" "^exit CLASSY could not be registered: code 1 \\(an exit of that name is already registered on this node\\)$"
"$kavi" log "$work/errlog2" >"$work/log2.txt"
expect "$work/log2.txt" " KaviInit site=140 code=1 reason=183: the mailslot of exit CLASSY could not be created: 183 \\(the name exists on the node\\); exit CLASSY is already registered on node $KAVI_NODE \\(pid ${pids[0]}\\)$"
"$kavi" shutdown >/dev/null
wait "${pids[0]}" || fail "classy did not end cleanly"
pids=()
echo "== the newcomer's session works"
