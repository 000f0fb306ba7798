#!/usr/bin/env bash
# Runs in the test VM (scripts/vm.sh run): the 32-bit product's Windows tests
# under 32-bit Wine, from the win32 build tree that the host built. The
# proof runs (fault matrix, soak, start/end cycles) are left to the twin:
# under the VM's emulation they would take most of an hour. The output goes
# to build/vm/ctest-win32.log as well as the console.
set -u
. scripts/capability.sh
sk_capability_line
# The prefix lives on the VM's disk (prepared with the image); the build
# tree expects it at build/wineprefix-win32.
mount --bind /var/lib/sk/wineprefix-win32 build/wineprefix-win32 || exit 1
. tests/wine/wine_env.sh "$PWD/build/wineprefix-win32" win32 || exit 1
sk_wine_up
ctest --test-dir build/win32 -L wine -LE proof --output-on-failure -j2 ${SK_VM_CTEST_ARGS:-} 2>&1 | tee build/vm/ctest-win32.log
rc=${PIPESTATUS[0]}
wineserver -k 2>/dev/null
umount build/wineprefix-win32
exit "$rc"
