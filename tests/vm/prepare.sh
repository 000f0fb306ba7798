#!/usr/bin/env bash
# Runs once in the test VM when its image is built (the only boot that
# writes the image): makes the 32-bit Wine prefix on the VM's own disk, so
# that every test boot starts with it ready.
set -u
. scripts/capability.sh
sk_capability_line
[ "$SK_RUN32" = 1 ] || { echo "prepare: the VM's kernel does not run 32-bit programs"; exit 1; }
mkdir -p /var/lib/sk
start=$SECONDS
. tests/wine/wine_env.sh /var/lib/sk/wineprefix-win32 win32 || exit 1
wineserver -k 2>/dev/null
echo "prepare: 32-bit Wine prefix ready in $((SECONDS - start)) s ($(wine --version))"
