#!/usr/bin/env bash
# Installs what the build and the tests need on this kind of machine, once: a
# second run finds everything present and does nothing. Debian 12, as root
# (or with sudo).
#   every machine: both mingw-w64 cross compilers (the 32-bit product and the
#     64-bit twin), 64-bit Wine, socat, the native (host width and -m32)
#     and fuzz compilers, Google Benchmark at the host's width (the native
#     cost benchmark)
#   a machine that runs 32-bit programs: 32-bit Wine
#   one that does not, or where 32-bit Wine cannot be installed: qemu and
#     mmdebstrap, for the test VM that runs the 32-bit product (scripts/vm.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/capability.sh
packages=(g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
          g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          wine wine64 socat cmake make g++ clang libclang-rt-14-dev googletest
          nlohmann-json3-dev libcli11-dev python3 libbenchmark-dev)
packages+=(g++-multilib)  # the -m32 native tests: run here, or in the test VM
vm_packages=(qemu-system-x86 qemu-utils mmdebstrap e2fsprogs)
if [ "$SK_RUN32" = 1 ]; then
  packages+=(wine32:i386)
else
  packages+=("${vm_packages[@]}")
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
# A mirror caught mid-sync fails the update ("File has unexpected size"):
# try again after a pause before giving up.
for attempt in 1 2 3 4; do
  $sudo apt-get update -q && break
  if [ "$attempt" -eq 4 ]; then
    # apt keeps the lists it did fetch: the install below still finds what
    # they hold, and fails plainly if a package is not there.
    echo "setup: apt-get update failed 4 times; installing from the lists it fetched" >&2
    break
  fi
  echo "setup: apt-get update failed (attempt $attempt); trying again in $((attempt * 20)) s" >&2
  sleep $((attempt * 20))
done
apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$@"
}

# i386_pins: the preferences that let wine32:i386 install beside 64-bit
# libraries a security update moved ahead. A Multi-Arch: same library must
# have one version in both halves; when the security archive's i386 list
# could not be fetched, the i386 half exists only at the main archive's
# version. So, for each library wine32:i386 pulls in that is Multi-Arch:
# same, installed for amd64, and whose i386 candidate is another version,
# the amd64 half is pinned to that i386 version (a name without an
# architecture pins the native one). Nothing else is pinned: every other
# package keeps its version and its security updates.
i386_pins() {
  local name amd64 i386
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
      --no-enhances wine32:i386 2>/dev/null | grep -E '^[a-z0-9][^ <>]*:i386$' | sed 's/:i386$//' | sort -u |
    while read -r name; do
      amd64=$(dpkg-query -W -f='${Status}|${Multi-Arch}|${Version}' "$name:amd64" 2>/dev/null) || continue
      case "$amd64" in "install ok installed|same|"*) ;; *) continue ;; esac
      amd64=${amd64##*|}
      i386=$(apt-cache policy "$name:i386" | sed -n 's/^ *Candidate: //p')
      [ -n "$i386" ] && [ "$i386" != "(none)" ] && [ "$i386" != "$amd64" ] || continue
      printf 'Package: %s\nPin: version %s\nPin-Priority: 1001\n\n' "$name" "$i386"
    done
}
wine32=0 others=()
for p in "${missing[@]}"; do
  if [ "$p" = wine32:i386 ]; then wine32=1; else others+=("$p"); fi
done
[ ${#others[@]} -eq 0 ] || apt_install "${others[@]}"
[ "$wine32" = 1 ] || exit 0
apt_install wine32:i386 && exit 0
echo "setup: wine32:i386 did not install; trying again with its Multi-Arch libraries' amd64 halves at their i386 versions" >&2
prefs=$(mktemp -d)
i386_pins >"$prefs/i386-match.pref" || true  # none found: said below
rc=1
if [ -s "$prefs/i386-match.pref" ]; then
  echo "setup: stepping back to the i386 halves' versions: $(grep -c '^Package:' "$prefs/i386-match.pref") libraries ($(sed -n 's/^Package: //p' "$prefs/i386-match.pref" | tr '\n' ' '))" >&2
  rc=0
  apt_install --allow-downgrades -o Dir::Etc::PreferencesParts="$prefs" wine32:i386 || rc=$?
else
  echo "setup: no library's halves differ: the failure above has another cause" >&2
fi
rm -rf "$prefs"
[ "$rc" -ne 0 ] || exit 0
# Without 32-bit Wine the product's Windows tests take the test VM's path,
# as on a machine whose kernel runs no 32-bit programs.
echo "setup: 32-bit Wine could not be installed: the 32-bit product's Windows tests will run in the test VM" >&2
apt_install "${vm_packages[@]}"
