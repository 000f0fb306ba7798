#!/usr/bin/env bash
# Runs in the test VM (scripts/vm.sh run), for `scripts/proof.sh --vm`: the
# 32-bit product's proof runs (the fault matrix, the soak, the noisy soak,
# the start/end cycles) under 32-bit Wine, from the build/proof-win32 tree that the host
# built. The parameters come from build/vm/proof/params (SK_SOAK_SECONDS,
# SK_NOISY_SINGLES, SK_NOISY_BLOCKS, SK_NOISY_SECONDS, SK_WEAK_READS, SK_CYCLES, and SK_PROOF_KINDS when the caller set it), written by
# proof.sh; the whole output of each run, the matrix table and the guest's
# Wine version go back to build/vm/proof/. The tests run from a copy in a
# tmpfs at the project's own path (tests/vm/guest.sh says why).
set -u
. tests/vm/guest.sh
back=$host/build/vm/proof
[ -f "$root/build/vm/proof/params" ] || { echo "vm job: build/vm/proof/params is missing (run this through scripts/proof.sh --vm)"; exit 1; }
guest_copy build/proof-win32 || exit 1
set -a  # every setting in the file reaches the tests (SK_PROOF_KINDS too, when given)
. "$back/params"
set +a
guest_wine || exit 1
wine --version >"$back/wine-version"

rc=0
run() {  # run NAME LOG ENV…: one proof test; its whole output to LOG
  local name=$1 log=$2 t0=$SECONDS
  shift 2
  env "$@" ctest --no-tests=error --test-dir build/proof-win32 -R "^wine\\.$name\$" -V >"$back/$log" 2>&1 || rc=1
  echo "vm job: $name ended after $((SECONDS - t0)) s: $(grep -E 'tests passed|tests failed' "$back/$log" | tail -1)"
}
run wine_proof_faults faults.log "SK_PROOF_TABLE=Z:$root/build/proof-matrix.md"
cp build/proof-matrix.md "$back/matrix.md" 2>/dev/null
run wine_proof_soak soak.log "SK_SOAK_SECONDS=$SK_SOAK_SECONDS"
run wine_proof_soak_noisy noisy.log "SK_NOISY_SINGLES=$SK_NOISY_SINGLES" "SK_NOISY_BLOCKS=$SK_NOISY_BLOCKS" \
  "SK_NOISY_SECONDS=$SK_NOISY_SECONDS" "SK_WEAK_READS=${SK_WEAK_READS:-1000}"
run wine_proof_cycles cycles.log "SK_CYCLES=$SK_CYCLES"
guest_end
exit "$rc"
