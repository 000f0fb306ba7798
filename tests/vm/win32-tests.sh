#!/usr/bin/env bash
# Runs in the test VM (scripts/vm.sh run): the native -m32 tests (ASan+UBSan,
# linked statically) and the 32-bit product's Windows tests under 32-bit
# Wine, from the native32 and win32 build trees that the host built. The
# proof runs (fault matrix, soak, start/end cycles) are left to the twin:
# under the VM's emulation they would take most of an hour. The output goes
# to build/vm/ctest-native32.log and build/vm/ctest-win32.log as well as the
# console.
#
# 32-bit Wine cannot run a program from the 9p share (its mapped pages read
# as zeros: the program faults at its first call into them), so the sources
# and the win32 tree, without object files, are copied to a tmpfs mounted at
# the project's own path, and the tests run there. The share stays
# reachable at /mnt/host for the results.
set -u
root=$PWD
host=/mnt/host
mkdir -p "$host"
mount --bind "$root" "$host" || exit 1
mount -t tmpfs -o size=1500m tmpfs "$root" || exit 1
cd "$root" || exit 1
start=$SECONDS
tar -C "$host" --exclude=./build --exclude=./.git -cf - . | tar -xf - || exit 1
tar -C "$host" --exclude='*.obj' --exclude='*.o' --exclude='*.a' -cf - build/win32 build/native32 | tar -xf - || exit 1
echo "vm job: sources and the win32 tree copied in $((SECONDS - start)) s"

. scripts/capability.sh
sk_capability_line
# The prefix lives on the VM's own disk, made when the image was built.
mkdir -p build/wineprefix-win32
mount --bind /var/lib/sk/wineprefix-win32 build/wineprefix-win32 || exit 1
. tests/wine/wine_env.sh "$root/build/wineprefix-win32" win32 || exit 1
sk_wine_up
mkdir -p "$host/build/vm"
ctest --test-dir build/native32 --output-on-failure -j2 2>&1 | tee "$host/build/vm/ctest-native32.log"
native=${PIPESTATUS[0]}
ctest --test-dir build/win32 -L wine -LE proof --output-on-failure -j2 ${SK_VM_CTEST_ARGS:-} 2>&1 |
  tee "$host/build/vm/ctest-win32.log"
rc=${PIPESTATUS[0]}
[ -f build/demo-sim-trace.log ] && cp build/demo-sim-trace.log "$host/build/vm/demo-sim-trace-win32.log"
wineserver -k 2>/dev/null
cd /
umount "$root/build/wineprefix-win32" "$root" 2>/dev/null
[ "$native" -eq 0 ] || rc=1
exit "$rc"
