#!/usr/bin/env bash
# test-windows.sh — the Windows build, checked under wine: installs the cross compilers and wine,
# builds the 32-bit DLLs, kavi.exe and the examples (preset mingw32), runs its ctest suite, then
# drives the programs as a user would: three exit programs register (one built out of tree against
# the installed package, one written with the classes), kavi sends to one directly, through
# another and twice to the third, lists them, stops two by name, then the node. A kernel that runs
# no 32-bit programs (wine's 32-bit loader cannot start) gets the same checks on the 64-bit build
# (preset mingw64) under wine64, and the script says so.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh windows
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$HOME/.wine-kavi}
preset=mingw32 wine=wine server=wineserver
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "test-windows: this kernel runs no 32-bit programs: mingw32 is built, mingw64 is run"
    cmake --preset mingw32 >/dev/null
    cmake --build --preset mingw32
    preset=mingw64 wine=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

# One warm wine server for every program below (unless one already serves the prefix); it ends
# with the script.
"$server" -p || true
logs=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; "$server" -k || true; rm -rf "$logs"' EXIT
# The first start of a fresh prefix makes it, which takes a while; the checks time out sooner.
timeout 300 "$wine" cmd /c exit >/dev/null 2>&1 || true

ctest --preset "$preset"

bin=build-$preset/bin
export KAVI_NODE="WIN$$"
# The installed tree, and echo_exit built against it with find_package as a mingw user would.
cmake --install "build-$preset" --prefix "$logs/prefix" >/dev/null
cmake -S examples/echo_exit -B "$logs/echo-build" -G Ninja --toolchain "$PWD/cmake/$preset.cmake" \
    -DCMAKE_PREFIX_PATH="$logs/prefix" >/dev/null
cmake --build "$logs/echo-build" >/dev/null
cp "$logs/echo-build/echo_exit.exe" "$logs/prefix/bin/installed_echo_exit.exe"
fail() {
    echo "test-windows: FAILED: $*" >&2
    exit 1
}
# expect TEXT PROGRAM ARGS...: runs the program under wine; its output must contain TEXT.
expect() {
    local text=$1 out
    shift
    out=$(timeout 60 "$wine" "$bin/$1" "${@:2}" 2>&1) || true
    grep -qF -- "$text" <<<"$out" || fail "$* did not print \"$text\"; it printed:"$'\n'"$out"
    echo "ok: $*"
}
# start NAME PROGRAM ARGS...: starts an exit program under wine and waits for it to register.
start() {
    local name=$1
    shift
    timeout 120 "$wine" "$@" >"$logs/$name" 2>&1 &
    pids+=($!)
    for _ in $(seq 200); do grep -q registered "$logs/$name" && return; sleep 0.05; done
    fail "$name did not register: $(cat "$logs/$name")"
}

start echo "$logs/prefix/bin/installed_echo_exit.exe" ECHO
start relay "$bin/relay_exit.exe" RELAY ECHO
start class "$bin/class_exit.exe" CLASSY
expect "command_string: HELLO, EXIT" kavi.exe send ECHO --set command_name=HELLO \
    --set "command_string=hello, exit"
expect "status: 7" kavi.exe send RELAY --set command_name=7 --set "command_string=relayed"
# The C++ example answers on threads that end after each command, again and again.
expect "user_data: eeffc0" kavi.exe send CLASSY --set command_name=PING --set user_data=c0ffee
expect "user_data: 0201" kavi.exe send CLASSY --set command_name=QUERY --set user_data=0102
expect "CLASSY" kavi.exe list
expect "which holds RELAY, to stop (its stop event)" kavi.exe shutdown RELAY
expect "CLASSY stopped" kavi.exe shutdown CLASSY
expect "1 wait ended" kavi.exe shutdown
wait "${pids[@]}" ||
    fail "an exit program did not end cleanly: $(cat "$logs/echo" "$logs/relay" "$logs/class")"
pids=()
grep -q "ECHO terminated" "$logs/echo" || fail "ECHO did not terminate: $(cat "$logs/echo")"
grep -q "CLASSY terminated" "$logs/class" || fail "CLASSY did not terminate: $(cat "$logs/class")"
echo "test-windows: $preset passed under $(basename "$wine")"
