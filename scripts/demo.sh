#!/usr/bin/env bash
# demo.sh — the demo behind `make demo`: installs only what building needs, builds the libraries,
# kavi and the examples (no tests), starts the echo example exit, a relay exit in front of it and
# the class example exit on a node of their own, drives them with kavi, and shuts the node down.
# Each command is shown as it can be pasted into a shell of the same node.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh demo
cmake --preset release >/dev/null
cmake --build --preset release --target kavi echo_exit relay_exit class_exit >/dev/null

bin=$PWD/build-release/bin
export PATH=$bin:$PATH
# A node of its own: nothing else on this machine sees the demo's exits, nor it theirs.
export KAVI_NODE="DEMO$$"
logs=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$logs"' EXIT

# shown: a command line as a shell reads it, quoting only what needs quotes.
shown() {
    local out= arg
    for arg in "$@"; do
        if [[ $arg =~ ^[A-Za-z0-9_./=:,@+-]+$ ]]; then out+=" $arg"; else out+=" '${arg//\'/\'\\\'\'}'"; fi
    done
    echo "${out# }"
}
run() {
    echo
    echo "\$ $(shown "$@")"
    local rc=0
    "$@" || rc=$?
    [ "$rc" -eq 0 ] || echo "(exit code $rc)"
}
start() {
    local name=$1
    shift
    echo "\$ $(shown "$@") &"
    "$@" >"$logs/$name" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q registered "$logs/$name" && return; sleep 0.05; done
    echo "$name did not register:" >&2
    cat "$logs/$name" >&2
    exit 1
}

echo "== Three exit programs on node $KAVI_NODE (export KAVI_NODE=$KAVI_NODE to join it)"
start echo echo_exit ECHO
start class class_exit CLASSY
# RELAY hands each command on to ECHO with KaviSend and answers with ECHO's answer.
start relay relay_exit RELAY ECHO
run kavi list

echo
echo "== kavi send shows what it sent, the status, and what the exit changed"
run kavi send ECHO --set command_name=HELLO --set "command_string=hello, exit" \
    --set display_name=resource-1 --set user_data=c0ffee
echo
echo "== The command name is echo_exit's status; kavi send exits 1 for any status but 0"
run kavi send ECHO --set command_name=42 --set exit_timeout=30
echo
echo "== server -> RELAY -> ECHO"
run kavi send RELAY --set command_name=7 --set "command_string=relayed to echo"
echo
echo "== CLASSY, written with the C++ classes, reverses the user data; RESTART is status 4"
run kavi send CLASSY --set command_name=PING --set user_data=c0ffee
run kavi send CLASSY --set command_name=RESTART
echo
echo "== kavi send --json prints the whole reply for scripts; kavi --help lists the rest"
run kavi shutdown
wait "${pids[@]}"
pids=()
echo
echo "== What the exit programs printed"
for name in echo relay class; do sed "s/^/  /" "$logs/$name"; done
