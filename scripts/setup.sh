#!/usr/bin/env bash
# Installs what the build and the tests need on this kind of machine, once: a
# second run finds everything present and does nothing. Debian 12, as root
# (or with sudo).
#   every machine: both mingw-w64 cross compilers (the 32-bit product and the
#     64-bit twin), 64-bit Wine, socat, the native (host width and -m32)
#     and fuzz compilers, Google Benchmark at the host's width (the native
#     cost benchmark)
#   a machine that runs 32-bit programs: 32-bit Wine
#   one that does not: qemu and mmdebstrap, for the test VM that runs the
#     32-bit product (scripts/vm.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/capability.sh
packages=(g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
          g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          wine wine64 socat cmake make g++ clang libclang-rt-14-dev googletest
          nlohmann-json3-dev libcli11-dev python3 libbenchmark-dev)
packages+=(g++-multilib)  # the -m32 native tests: run here, or in the test VM
if [ "$SK_RUN32" = 1 ]; then
  packages+=(wine32:i386)
else
  packages+=(qemu-system-x86 qemu-utils mmdebstrap e2fsprogs)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: everything is installed"
  exit 0
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
if [ "$SK_RUN32" = 1 ]; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
