#!/usr/bin/env bash
# Runs in the test VM (scripts/vm.sh run): the native -m32 tests (ASan+UBSan,
# linked statically) and the 32-bit product's Windows tests under 32-bit
# Wine, from the native32 and win32 build trees that the host built. The
# proof runs (fault matrix, soak, start/end cycles) are left out: they are
# figures, not checks, and `scripts/proof.sh --vm` runs them in the VM
# (job proof-runs.sh). The output goes
# to build/vm/ctest-native32.log and build/vm/ctest-win32.log as well as the
# console. The tests run from a copy in a tmpfs at the project's own path
# (tests/vm/guest.sh says why); the share stays reachable at /mnt/host for
# the results.
set -u
. tests/vm/guest.sh
guest_copy build/win32 build/native32 || exit 1
guest_wine || exit 1
mkdir -p "$host/build/vm"
# native.docs (label docs) reads text files and native.vm_cache (label
# scripts) tries the host's VM script: the host runs them in its own tree.
ctest --no-tests=error --test-dir build/native32 -LE 'docs|scripts' --output-on-failure -j2 2>&1 |
  tee "$host/build/vm/ctest-native32.log"
native=${PIPESTATUS[0]}
ctest --no-tests=error --test-dir build/win32 -L wine -LE proof --output-on-failure -j2 2>&1 |
  tee "$host/build/vm/ctest-win32.log"
rc=${PIPESTATUS[0]}
[ -f build/demo-sim-trace.log ] && cp build/demo-sim-trace.log "$host/build/vm/demo-sim-trace-win32.log"
guest_end
[ "$native" -eq 0 ] || rc=1
exit "$rc"
