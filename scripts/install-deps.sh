#!/usr/bin/env bash
# install-deps.sh [demo|test] — installs the Debian 12 packages a task needs, skipping what is
# already there, so a warm run costs one dpkg query. demo: building the libraries, kavi and the
# examples; test (the default): also the tests, benchmarks and fuzzers.
set -euo pipefail
packages=(cmake ninja-build g++ make pkg-config libnats-dev)
case ${1:-test} in
    demo) ;;
    test) packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang lld libclang-rt-14-dev clang-format
                  nats-server openssl iproute2) ;;
    *) echo "usage: install-deps.sh [demo|test]" >&2; exit 2 ;;
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
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
