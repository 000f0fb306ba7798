#!/usr/bin/env bash
# Runs in the test VM (scripts/vm.sh run), for `scripts/proof.sh --vm`: the
# 32-bit product's proof runs (the fault matrix, the soak, the start/end
# cycles) under 32-bit Wine, from the build/proof-win32 tree that the host
# built. The parameters come from build/vm/proof/params (SK_SOAK_SECONDS,
# SK_CYCLES, and SK_PROOF_KINDS when the caller set it), written by proof.sh; the whole output of each run, the matrix
# table and the guest's Wine version go back to build/vm/proof/.
#
# As in win32-tests.sh, the sources and the tree (without object files) are
# copied to a tmpfs at the project's own path: 32-bit Wine cannot run a
# program from the 9p share.
set -u
root=$PWD
host=/mnt/host
mkdir -p "$host"
mount --bind "$root" "$host" || exit 1
back=$host/build/vm/proof
[ -f "$back/params" ] || { echo "vm job: $back/params is missing (run this through scripts/proof.sh --vm)"; exit 1; }
mount -t tmpfs -o size=1500m tmpfs "$root" || exit 1
cd "$root" || exit 1
start=$SECONDS
tar -C "$host" --exclude=./build --exclude=./.git -cf - . | tar -xf - || exit 1
tar -C "$host" --exclude='*.obj' --exclude='*.o' --exclude='*.a' -cf - build/proof-win32 | tar -xf - || exit 1
echo "vm job: sources and the proof tree copied in $((SECONDS - start)) s"
set -a  # every setting in the file reaches the tests (SK_PROOF_KINDS too, when given)
. "$back/params"
set +a

. scripts/capability.sh
sk_capability_line
mkdir -p build/wineprefix-win32
mount --bind /var/lib/sk/wineprefix-win32 build/wineprefix-win32 || exit 1
. tests/wine/wine_env.sh "$root/build/wineprefix-win32" win32 || exit 1
sk_wine_up
wine --version >"$back/wine-version"

rc=0
run() {  # run NAME LOG ENV…: one proof test; its whole output to LOG
  local name=$1 log=$2 t0=$SECONDS
  shift 2
  env "$@" ctest --test-dir build/proof-win32 -R "^wine\\.$name\$" -V >"$back/$log" 2>&1 || rc=1
  echo "vm job: $name ended after $((SECONDS - t0)) s: $(grep -E 'tests passed|tests failed' "$back/$log" | tail -1)"
}
run wine_proof_faults faults.log "SK_PROOF_TABLE=Z:$root/build/proof-matrix.md"
cp build/proof-matrix.md "$back/matrix.md" 2>/dev/null
run wine_proof_soak soak.log "SK_SOAK_SECONDS=$SK_SOAK_SECONDS"
run wine_proof_cycles cycles.log "SK_CYCLES=$SK_CYCLES"
wineserver -k 2>/dev/null
cd /
umount "$root/build/wineprefix-win32" "$root" 2>/dev/null
exit "$rc"
