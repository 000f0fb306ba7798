#!/usr/bin/env bash
# Installs what the build and the tests need, once: a second run finds
# everything present and does nothing. Debian 12, as root (or with sudo).
set -euo pipefail
packages=(g++-mingw-w64-i686 mingw-w64-i686-dev wine wine32:i386 socat cmake make g++ g++-multilib
          clang libclang-rt-14-dev googletest nlohmann-json3-dev libcli11-dev binutils-mingw-w64-i686 python3)
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
$sudo dpkg --add-architecture i386
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
