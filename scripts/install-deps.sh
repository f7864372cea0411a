#!/usr/bin/env bash
# install-deps.sh [demo|test|bench|windows] — installs the Debian 12 packages a task needs,
# skipping what is already there, so a warm run costs one dpkg query. demo: building the libraries,
# kavi and the examples; test (the default): also the tests, benchmarks and fuzzers; bench: also the
# messaging systems the benchmark compares with (ZeroMQ, D-Bus with its daemon); windows: the
# mingw-w64 cross compilers, googletest's sources and wine (with its 32-bit side) to run the
# Windows build.
set -euo pipefail
packages=(cmake ninja-build g++ make pkg-config libnats-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev clang lld libclang-rt-14-dev clang-format
               nats-server openssl iproute2)
case ${1:-test} in
    demo) ;;
    test) packages+=("${test_packages[@]}") ;;
    bench) packages+=("${test_packages[@]}" libzmq3-dev libsystemd-dev dbus-daemon) ;;
    windows) packages+=(mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest wine wine32:i386 wine64) ;;
    *) echo "usage: install-deps.sh [demo|test|bench|windows]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root, or install them yourself)" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 is a package of the i386 architecture.
if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
