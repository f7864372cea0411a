#!/usr/bin/env bash
# demo.sh — the demo behind `make demo`: installs what is missing, builds, starts the echo example
# exit, a relay exit in front of it and the class example exit on a node of their own, sends them
# commands with kavi, shows the replies, and shuts the node down.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target kavi echo_exit relay_exit class_exit

bin=build/bin
log=$(mktemp)
# A node of its own: nothing else on this machine sees the demo's exits, nor it theirs.
export KAVI_NODE="DEMO$$"

class_log=$(mktemp)
relay_log=$(mktemp)
"$bin/echo_exit" ECHO >"$log" 2>&1 &
echo_pid=$!
# The same kind of exit written with the C++ classes, printing each block it gets.
"$bin/class_exit" --dump CLASSY >"$class_log" 2>&1 &
class_pid=$!
# An exit that hands each of its commands on to ECHO with KaviSend and answers with ECHO's answer.
"$bin/relay_exit" RELAY ECHO >"$relay_log" 2>&1 &
relay_pid=$!
trap 'kill "$echo_pid" "$class_pid" "$relay_pid" 2>/dev/null || true
      rm -f "$log" "$class_log" "$relay_log"' EXIT
for _ in $(seq 100); do
    grep -q registered "$log" && grep -q registered "$class_log" &&
        grep -q registered "$relay_log" && break
    sleep 0.05
done

show() {
    echo
    echo "\$ kavi $*"
    local rc=0
    "$bin/kavi" "$@" || rc=$?
    echo "(kavi exit code $rc)"
}

echo "== node $KAVI_NODE: echo_exit answers commands for the exit ECHO"
show list
show send ECHO --set command_name=HELLO --set "command_string=hello, exit" \
    --set display_name=resource-1 --set user_data=c0ffee
show send ECHO --json --set command_name=42 --set "command_string=status 42 comes back" \
    --set exit_timeout=30 --set resource_status_ts=2015-03-09T14:05:07.6
show send ECHO --router --json --set command_name=0 --set "command_string=through the router"

echo
echo "== relay_exit answers for RELAY by sending each command on to ECHO: server -> RELAY -> ECHO"
show send RELAY --set command_name=7 --set "command_string=relayed to echo" --set display_name=relay

echo
echo "== class_exit answers for CLASSY with the user data reversed (status 4: unknown action)"
show send CLASSY --set command_name=PING --set display_name=resource-2 --set user_data=c0ffee
show send CLASSY --set command_name=RESTART
show shutdown

wait "$echo_pid" "$class_pid" "$relay_pid"
echo
echo "== what echo_exit printed"
cat "$log"
echo
echo "== what relay_exit printed"
cat "$relay_log"
echo
echo "== what class_exit printed"
cat "$class_log"
