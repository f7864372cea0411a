#!/usr/bin/env bash
# check-install.sh [BUILD_DIR] — installs the library into a scratch prefix (from BUILD_DIR, an
# existing build, else from a fresh one), builds examples/echo_exit out of the tree against it
# twice (CMake package, then pkg-config with a plain cc), and runs each build once: it registers
# an exit, answers one command sent by the installed kavi, and stops on `kavi shutdown`.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

work=$(mktemp -d)
echo_pid=
trap '[ -n "$echo_pid" ] && kill "$echo_pid" 2>/dev/null; rm -rf "$work"' EXIT
prefix=$work/prefix

build=${1:-$work/build}
echo "== install $build into $prefix"
if [ $# -eq 0 ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKAVI_BUILD_TESTS=OFF -DKAVI_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j2 --target kaviexit kavi kavi_completion >/dev/null
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libkaviexit.so -print -quit)")

echo "== echo_exit with find_package(kaviexit)"
cmake -S "$src/examples/echo_exit" -B "$work/echo-cmake" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/echo-cmake" >/dev/null

echo "== echo_exit with pkg-config"
mkdir -p "$work/echo-pc"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046 # pkg-config's output is a list of flags
cc -std=c99 -o "$work/echo-pc/echo_exit" "$src/examples/echo_exit/echo_exit.c" \
    $(pkg-config --cflags --libs kaviexit) -Wl,-rpath,"$libdir"

# Runs one build of echo_exit on a node of its own and has the installed kavi talk to it.
try() {
    local exe=$1 log=$work/echo.log
    export KAVI_NODE="INST$$${2}"
    "$exe" ECHO >"$log" 2>&1 &
    echo_pid=$!
    for _ in $(seq 100); do
        grep -q registered "$log" && break
        sleep 0.05
    done
    local rc=0
    "$prefix/bin/kavi" send ECHO --set command_name=7 --set command_string=installed >"$work/reply" || rc=$?
    grep -q INSTALLED "$work/reply" || { cat "$log" "$work/reply"; echo "FAIL: no echo from $exe"; exit 1; }
    [ "$rc" = 1 ] || { echo "FAIL: kavi send returned $rc, not 1 for status 7"; exit 1; }
    "$prefix/bin/kavi" shutdown
    wait "$echo_pid" || { cat "$log"; echo "FAIL: $exe did not end cleanly"; exit 1; }
    echo_pid=
    echo "ok: $exe answered and stopped"
}
try "$work/echo-cmake/echo_exit" C
try "$work/echo-pc/echo_exit" P
echo "== installed package works"
