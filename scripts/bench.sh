#!/usr/bin/env bash
# The benchmark: the driver's parse and decode cost per call (native, at the
# host's width, Google Benchmark) and the DLL under Wine against sksim.exe on
# 16 pty pairs (wall time against the protocol's floor, CPU per transaction,
# idle CPU of 16 channels, throughput with 1..16 channels):
#   bench.sh [--no-cost] [skbench options, e.g. --idle-seconds 60 --scale-seconds 20]
# (--line-only 1 stops after the round trips, --modes-only 1 leaves out the
# CPU, idle and throughput parts, --dead-line-only 1 and --latency-only 1 run
# the dead line or the alarm latency alone; tools/bench/skbench.cpp tells
# what each part measures).
# Figures go to build/proof-bench/bench-<time>.txt (SK_BENCH_OUT names
# another file; SK_BENCH_MIN_TIME sets Google Benchmark's time per figure,
# 0.5 s by default). SK_BENCH_DLL names another SK5820.dll of the same width
# to measure with today's tools (an earlier version, for a comparison on the
# same machine); the tree's own DLL is removed afterwards, so the next build
# makes it anew.
#
# Which DLL: the 32-bit product where this machine runs 32-bit programs and
# 32-bit Wine, else the 64-bit twin (scripts/capability.sh decides;
# SK_PRETEND_NO32=1 takes the twin anywhere).
#
#   bench.sh --vm [skbench options]
# runs the 32-bit product in the test VM (scripts/vm.sh), for machines whose
# kernel runs no 32-bit programs: only the part whose figures still mean
# something under the VM's emulation (skbench --modes-only 1: the read modes'
# wall times against floors made of round trips measured in the same VM, and
# the poll cycle's ratios). CPU, idle and throughput figures are not taken
# there.
#
# The Windows part runs in a Wine prefix of its own (build/proof-bench/
# wineprefix-win<width>) with a Wine server of its own, so the server's CPU
# time is the driver's alone and no other run's COM ports are touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/capability.sh
. scripts/lib.sh
cost=1 vm=0
while [ $# -gt 0 ]; do
  case "$1" in
    --no-cost) cost=0 ;;
    --vm) vm=1 cost=0 ;;
    *) break ;;
  esac
  shift
done
sk_pick_run bench.sh "$vm" || exit 2
w=$SK_WIDTH what=$SK_BUILD
[ "$vm" = 0 ] || what="$what, read modes only"
win=${SK_BENCH_WIN:-build/proof-win$w}  # SK_BENCH_WIN: another tree of that width
native=build/proof-bench
mkdir -p "$native"
out=${SK_BENCH_OUT:-$native/bench-$(date -u +%Y%m%dT%H%M%SZ).txt}

bash scripts/build.sh --tree "$win" -D SK_COM_FIRST=600 --target skbench --target sk5820 --target kestra \
  --target sksim "win$w" >/dev/null
if [ -n "${SK_BENCH_DLL:-}" ]; then
  [ -f "$SK_BENCH_DLL" ] || { echo "bench.sh: SK_BENCH_DLL names no file: $SK_BENCH_DLL" >&2; exit 2; }
  cp "$SK_BENCH_DLL" "$win/bin/SK5820.dll"
  trap 'rm -f "$win/bin/SK5820.dll"' EXIT
fi
cost_missing=""
if [ "$cost" = 1 ]; then
  # The native tree is the `cost` preset's (build/proof-bench). Without
  # Google Benchmark the target does not exist: the figures say so.
  if ! bash scripts/build.sh --target skbench_cost cost >"$native/cost-build.log" 2>&1; then
    cost_missing="skbench_cost did not build (the end of $native/cost-build.log: $(tail -1 "$native/cost-build.log"); bash scripts/setup.sh installs libbenchmark-dev)"
    echo "bench.sh: $cost_missing" >&2
  fi
fi

{
  echo "== build: $what; DLL ${SK_BENCH_DLL:-$win/bin/SK5820.dll}"
  echo "== machine: $(sk_machine_line)"
  # Changes to the docs (a run's own figures among them) are not the code measured.
  echo "== $(date -u +%FT%TZ), commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')$(git diff --quiet HEAD -- . ':!docs' ':!*.md' 2>/dev/null || echo ' with changes')"
  echo
  if [ "$cost" = 1 ]; then
    if [ -x "$native/tools/bench/skbench_cost" ]; then
      echo "== native cost per call (g++ -O2 at the host's width, $(getconf LONG_BIT)-bit, Google Benchmark)"
      "$native/tools/bench/skbench_cost" --benchmark_min_time="${SK_BENCH_MIN_TIME:-0.5}" 2>&1
    else
      echo "== native cost per call: ${cost_missing:-skbench_cost is missing from $native}"
    fi
    echo
  fi
} | tee "$out"

if [ "$vm" = 1 ]; then
  back=build/vm/bench
  rm -rf "$back"
  mkdir -p "$back"
  printf '%s\n' "$@" >"$back/args"
  echo "== the DLL under 32-bit Wine in the test VM (skbench --modes-only 1 $*)" | tee -a "$out"
  status=0
  bash scripts/vm.sh run tests/vm/bench-run.sh 3600 >"$back/vm.log" 2>&1 || status=$?
  grep -E '^(vm|vm job|sk-vm):' "$back/vm.log" || true
  [ ! -f "$back/wine-version" ] || echo "== wine in the VM: $(cat "$back/wine-version")" | tee -a "$out"
  if [ -f "$back/skbench.txt" ]; then
    tee -a "$out" <"$back/skbench.txt"
  else
    echo "bench.sh: skbench left no output in the VM (its console: $back/vm.log)" | tee -a "$out" >&2
    [ "$status" -ne 0 ] || status=1
  fi
  echo "figures in $out"
  exit $status
fi

. tests/wine/wine_env.sh "$root/$native/wineprefix-win$w" "win$w"
. tests/wine/pairs.sh
# The prefix's own Wine server, kept running for the whole run; its pid is
# the one whose working folder is the prefix's server folder
# (.../server-<device>-<inode of the prefix>). (The output of
# the Windows program goes to a file: Wine's own services inherit it and live
# as long as the server.)
wineserver -k >/dev/null 2>&1 || true
wineserver -p </dev/null >/dev/null 2>&1
cleanup() {
  set +e  # every step runs, whatever the one before gave
  sk_pairs_down
  wineserver -k >/dev/null 2>&1
  [ -z "${SK_BENCH_DLL:-}" ] || rm -f "$win/bin/SK5820.dll"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
sleep 1
serverdir=server-$(stat -c '%d %i' "$WINEPREFIX" | awk '{printf "%x-%x", $1, $2}')
server=""
for dir in /proc/[0-9]*; do
  case "$(tr '\0' ' ' 2>/dev/null <"$dir/cmdline")" in *wineserver*) ;; *) continue ;; esac
  [ "$(basename "$(readlink "$dir/cwd")")" = "$serverdir" ] && server=${dir#/proc/}
done
[ -n "$server" ] || echo "bench.sh: the prefix's Wine server was not found; its CPU is not reported" >&2
sk_pairs_up 600 16
echo "== the DLL under Wine (skbench $*)" | tee -a "$out"
log=$(mktemp)
status=0
SK_COM_BASE=600 SK_WINESERVER_PID=${server:-none} SK_CLK_TCK=$(getconf CLK_TCK) \
  wine "$win/bin/skbench.exe" "$@" >"$log" 2>&1 || status=$?
tee -a "$out" <"$log"
rm -f "$log"
echo "figures in $out"
exit $status
