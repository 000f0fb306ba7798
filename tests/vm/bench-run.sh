#!/usr/bin/env bash
# Runs in the test VM (scripts/vm.sh run), for `scripts/bench.sh --vm`: the
# 32-bit product's benchmark of the read modes (skbench --modes-only 1: the
# line's round trips, single and block reads in each mode against their
# floors, a poll cycle of the bundled model) under 32-bit Wine, from the
# build/proof-win32 tree the host built, on one pty pair. The skbench options
# come from build/vm/bench/args (one a line); its output, and the guest's
# Wine version, go back to build/vm/bench/.
set -u
. tests/vm/guest.sh
back=$host/build/vm/bench
[ -f "$root/build/vm/bench/args" ] || { echo "vm job: build/vm/bench/args is missing (run this through scripts/bench.sh --vm)"; exit 1; }
mapfile -t args <"$root/build/vm/bench/args"
guest_copy build/proof-win32 || exit 1
guest_wine || exit 1
wine --version >"$back/wine-version"
. tests/wine/pairs.sh
sk_pairs_up 600 1 || exit 1
t0=$SECONDS
SK_COM_BASE=600 wine build/proof-win32/bin/skbench.exe --modes-only 1 "${args[@]}" >"$back/skbench.txt" 2>&1
rc=$?
echo "vm job: skbench ended after $((SECONDS - t0)) s with exit code $rc"
sk_pairs_down
guest_end
exit "$rc"
