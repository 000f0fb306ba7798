#!/usr/bin/env bash
# Sourced, from the project folder (shared over 9p), by the jobs that run in
# the test VM (win32-tests.sh, proof-runs.sh):
#   guest_copy TREE…  binds the share to /mnt/host ($host), mounts a tmpfs at
#                     the project's own path and copies into it the sources
#                     and the named build trees without their object files:
#                     32-bit Wine cannot run a program from the 9p share (its
#                     mapped pages read as zeros: the program faults at its
#                     first call into them)
#   guest_wine        the capability line, the VM's own 32-bit Wine prefix
#                     (made on the VM's disk when the image was built) and
#                     its Wine server up
#   guest_end         the Wine server down, the prefix and the tmpfs unmounted
root=$PWD
host=/mnt/host

guest_copy() {
  local start=$SECONDS
  mkdir -p "$host"
  mount --bind "$root" "$host" || return 1
  mount -t tmpfs -o size=1500m tmpfs "$root" || return 1
  cd "$root" || return 1
  tar -C "$host" --exclude=./build --exclude=./.git -cf - . | tar -xf - || return 1
  tar -C "$host" --exclude='*.obj' --exclude='*.o' --exclude='*.a' -cf - "$@" | tar -xf - || return 1
  echo "vm job: sources and $* copied in $((SECONDS - start)) s"
}

guest_wine() {
  . scripts/capability.sh
  sk_capability_line
  mkdir -p build/wineprefix-win32
  mount --bind /var/lib/sk/wineprefix-win32 build/wineprefix-win32 || return 1
  . tests/wine/wine_env.sh "$root/build/wineprefix-win32" win32 || return 1
  sk_wine_up
}

guest_end() {
  wineserver -k 2>/dev/null
  cd /
  umount "$root/build/wineprefix-win32" "$root" 2>/dev/null
}
