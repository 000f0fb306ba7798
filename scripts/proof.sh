#!/usr/bin/env bash
# One command for every figure of docs/proof.md:
#   proof.sh [--quick] [--no-fuzz] [--vm]
# runs, one after another (never beside each other: a fuzzer slows Wine's
# serial time-outs), the fault matrix, the soak, the noisy soak and the start/end cycles
# (the ctest label `proof`), the benchmark (scripts/bench.sh) and the fuzz
# targets (scripts/fuzz_deep.sh), keeps what they print under
# docs/proof/<full|quick>-win<32|64>/ and writes the tables from it to
# figures.md there, stamped with the commit, the build, the
# machine and the date; docs/proof/summary.md then gets a row for every run
# folder there.
#
#   full     soak 600 s, the noisy soak to 10,000 single and 1,000 block
#            reads or 1500 s per bit error rate and 10,000 zone reads under
#            the weak CRC with changes confirmed and not, 1000 cycles, the whole benchmark (about 14 min), every
#            fuzz target to 10^8 executions or 3 h, one target a core (about
#            2 h on 2 cores: two targets make 12,000 to 20,000 executions a
#            second); for the figures
#   --quick  soak 60 s, the noisy soak to 240 single and 24 block reads or
#            60 s per rate, 200 cycles, a short benchmark, 20 s per fuzz target:
#            under 10 minutes once built; a check that everything runs
#   --no-fuzz  leaves the fuzz targets out: they run natively at the host's
#            width, the same whichever build the rest runs on, so the second
#            build's run of the day need not repeat them (figures.md then
#            points to the deep fuzz runs in docs/proof/fuzz-1e8/)
#   --vm     the 32-bit product's fault matrix, soak, noisy soak and cycles
#            in the test VM (scripts/vm.sh; for machines whose kernel runs no
#            32-bit programs), into docs/proof/<mode>-win32-vm/, and of the
#            benchmark only the read modes (bench.sh --vm: wall times against
#            floors measured in the same VM); its CPU, idle and throughput
#            figures would carry the emulation (TCG, about 5 times slower)
#
# Which build: the 32-bit product where this machine runs 32-bit programs
# and 32-bit Wine, else the 64-bit twin (scripts/capability.sh decides;
# SK_PRETEND_NO32=1 takes the twin anywhere). The proof runs never go to the
# test VM unless --vm asks for it (the full run takes about 14 minutes there
# on 2 cores).
# The cost benchmark and the fuzz targets run natively at the host's width.
#
# Exit 0 only when every part ran and passed; the figures are written either
# way, with the failures named.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=full
fuzz=1
vm=0
for arg in "$@"; do
  case "$arg" in
    --quick) mode=quick ;;
    --no-fuzz) fuzz=0 ;;
    --vm) vm=1 ;;
    *) echo "usage: proof.sh [--quick] [--no-fuzz] [--vm]" >&2; exit 2 ;;
  esac
done
. scripts/capability.sh
. scripts/lib.sh
sk_pick_run proof.sh "$vm" || exit 2
w=$SK_WIDTH build=$SK_BUILD
if [ "$mode" = quick ]; then
  soak=60 cycles=200 fuzz_seconds=20 fuzz_runs=100000000
  noisy_singles=240 noisy_blocks=24 noisy_seconds=60 weak_reads=1000
  bench_args=(--singles 10 --blocks 3 --idle-seconds 10 --scale-seconds 5 --rounds 40)
  vm_bench_args=(--singles 10 --blocks 3 --rounds 40 --cycles 1)
  bench_min_time=0.1
else
  soak=600 cycles=1000 fuzz_seconds=10800 fuzz_runs=100000000
  noisy_singles=10000 noisy_blocks=1000 noisy_seconds=1500 weak_reads=10000
  bench_args=()
  vm_bench_args=()
  bench_min_time=0.5
fi
out=docs/proof/$mode-win$w$([ "$vm" = 1 ] && echo -vm)
raw=build/proof-logs/$mode  # whole logs, not kept
tree=build/proof-win$w
rm -rf "$out" "$raw"
mkdir -p "$out" "$raw"
status=0
times=()

step() {  # step NAME COMMAND…: runs a part, notes its time and its result
  local name=$1 start=$SECONDS rc=0
  shift
  echo "== proof.sh: $name"
  "$@" || rc=$?
  times+=("$name: $((SECONDS - start)) s, $([ "$rc" -eq 0 ] && echo passed || echo "FAILED (exit $rc)")")
  [ "$rc" -eq 0 ] || status=1
  return 0
}

build_trees() {
  local t targets=()
  for t in sk5820 kestra sksim skbench proof_lock_holder wine_proof_faults wine_proof_soak wine_proof_cycles; do
    targets+=(--target "$t")
  done
  nice -n 19 bash scripts/build.sh --tree "$tree" -D SK_COM_FIRST=600 "${targets[@]}" "win$w" >"$raw/build.log" 2>&1 ||
    { tail -30 "$raw/build.log"; return 1; }
}

# proof_ctest NAME LOG ENV…: one proof test, with the prefix's Wine server
# up for it; its whole output in build/proof-logs, the lines the figures
# come from (and every failure) under docs/proof.
proof_ctest() {
  local name=$1 log=$2
  shift 2
  local rc=0
  (
    [ $# -eq 0 ] || export "$@"
    sk_wine_ctest "$w" --test-dir "$tree" -R "^wine\\.$name\$" -V
  ) >"$raw/$log" 2>&1 || rc=$?
  keep_lines "$raw/$log" >"$out/$log"
  return $rc
}

keep_lines() {  # the lines of a proof test's output the figures come from, and every failure (-a: a wrong text may hold any byte)
  grep -a -E '\[(soak|noisy|cycles)\]|\[ +(OK|PASSED|FAILED) +\]|Failure|FAIL|tests passed|tests failed|Total Test time' \
    "$1" | sed -E 's/^[0-9]+: //'
}

# The three proof tests in the test VM, one boot; their output comes back
# through the shared folder.
vm_proof() {
  local back=build/vm/proof log rc=0
  rm -rf "$back"
  mkdir -p "$back"
  printf 'SK_SOAK_SECONDS=%s\nSK_CYCLES=%s\n' "$soak" "$cycles" >"$back/params"
  printf 'SK_NOISY_SINGLES=%s\nSK_NOISY_BLOCKS=%s\nSK_NOISY_SECONDS=%s\nSK_WEAK_READS=%s\n' "$noisy_singles" \
    "$noisy_blocks" "$noisy_seconds" "$weak_reads" >>"$back/params"
  [ -z "${SK_PROOF_KINDS:-}" ] || printf 'SK_PROOF_KINDS=%q\n' "$SK_PROOF_KINDS" >>"$back/params"
  bash scripts/vm.sh run tests/vm/proof-runs.sh $((soak + 2 * noisy_seconds + 3600)) >"$raw/vm.log" 2>&1 || rc=$?
  grep -E '^(vm|vm job|sk-vm):' "$raw/vm.log"
  for log in faults.log soak.log noisy.log cycles.log; do
    if [ -f "$back/$log" ]; then
      cp "$back/$log" "$raw/$log"
      keep_lines "$back/$log" >"$out/$log"
    fi
  done
  [ ! -f "$back/matrix.md" ] || cp "$back/matrix.md" "$out/matrix.md"
  [ ! -f "$back/wine-version" ] || echo "wine in the VM: $(cat "$back/wine-version")" >>"$out/stamp.txt"
  return $rc
}

stamp() {
  local commit
  commit=$(git rev-parse --short HEAD)
  git diff --quiet HEAD -- . ':!docs' ':!*.md' 2>/dev/null || commit="$commit with uncommitted changes"
  {
    echo "mode: $mode"
    echo "commit: $commit"
    echo "build: $build"
    echo "machine: $(sk_machine_line)"
    echo "date: $(date -u +%FT%TZ)"
  } >"$out/stamp.txt"
}

stamp
start=$SECONDS
step "build $tree" build_trees
if [ "$vm" = 1 ]; then
  step "fault matrix, soak ${soak} s, noisy soak and $cycles start/end cycles in the test VM" vm_proof
  step "benchmark of the read modes in the test VM" env SK_BENCH_OUT="$out/bench.txt" \
    bash scripts/bench.sh --vm "${vm_bench_args[@]}"
else
  step "fault matrix" proof_ctest wine_proof_faults faults.log "SK_PROOF_TABLE=Z:$root/$out/matrix.md"
  step "soak, ${soak} s" proof_ctest wine_proof_soak soak.log "SK_SOAK_SECONDS=$soak"
  step "noisy soak, $noisy_singles single and $noisy_blocks block reads or ${noisy_seconds} s per rate" \
    proof_ctest wine_proof_soak_noisy noisy.log "SK_NOISY_SINGLES=$noisy_singles" "SK_NOISY_BLOCKS=$noisy_blocks" \
    "SK_NOISY_SECONDS=$noisy_seconds" "SK_WEAK_READS=$weak_reads"
  step "start/end cycles, $cycles" proof_ctest wine_proof_cycles cycles.log "SK_CYCLES=$cycles"
  step "benchmark" env SK_BENCH_OUT="$out/bench.txt" SK_BENCH_MIN_TIME=$bench_min_time \
    bash scripts/bench.sh "${bench_args[@]}"
fi
if [ "$fuzz" = 1 ]; then
  step "fuzz, ${fuzz_seconds} s or $fuzz_runs executions per target" \
    bash scripts/fuzz_deep.sh --runs "$fuzz_runs" --summary "$out/fuzz.txt" --jobs "$(nproc)" "$fuzz_seconds"
else
  echo "not run here (proof.sh --no-fuzz): the fuzz targets run natively at the host's width, the same whichever build the rest ran on; the deep runs on this code: ../fuzz-1e8/" >"$out/fuzz-skipped.txt"
fi
{
  echo "took: $((SECONDS - start)) s"
  printf 'part: %s\n' "${times[@]}"
} >>"$out/stamp.txt"
python3 scripts/proof_figures.py "$out" || status=1
python3 scripts/proof_figures.py --summary "$(dirname "$out")"  # a row for every run folder
printf '  %s\n' "${times[@]}"
echo "proof.sh: figures in $out/figures.md; $( [ $status -eq 0 ] && echo 'every part passed' || echo 'a part FAILED (see above)')"
exit $status
