#!/usr/bin/env bash
# The benchmark: the driver's parse and decode cost per call (native, Google
# Benchmark) and SK5820.dll under Wine against sksim.exe on 16 pty pairs
# (wall time against the protocol's floor, CPU per transaction, idle CPU of
# 16 channels, throughput with 1..16 channels):
#   bench.sh [skbench options, e.g. --idle-seconds 60 --scale-seconds 20]
# Figures go to build/proof-bench/bench-<time>.txt as well.
#
# The Windows part runs in a Wine prefix of its own (build/proof-bench/
# wineprefix) with a Wine server of its own, so the server's CPU time is the
# driver's alone and no other run's COM ports are touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
win=build/proof-win32
native=build/proof-bench
mkdir -p "$native"
out="$native/bench-$(date -u +%Y%m%dT%H%M%SZ).txt"

if [ ! -f "$win/CMakeCache.txt" ]; then
  cmake --preset win32 -B "$win" -DSK_COM_FIRST=600 >/dev/null
fi
cmake --build "$win" --target skbench sk5820 kestra sksim -j2 >/dev/null
if [ ! -f "$native/CMakeCache.txt" ]; then
  cmake -B "$native" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS=-m32 -DSK_TESTS=OFF >/dev/null
fi
cmake --build "$native" -j2 >/dev/null 2>&1 || true

{
  echo "== machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(uname -r), $(wine --version)"
  echo "== $(date -u +%FT%TZ), commit $(git rev-parse --short HEAD 2>/dev/null || echo '?') (with the working tree)"
  echo
  if [ -x "$native/tools/bench/skbench_cost" ]; then
    echo "== native cost per call (g++ -m32 -O2, Google Benchmark)"
    "$native/tools/bench/skbench_cost" --benchmark_min_time=0.5 2>&1
  else
    echo "== native cost per call: skbench_cost not built (install libbenchmark-dev:i386)"
  fi
  echo
} | tee "$out"

. tests/wine/wine_env.sh "$root/$native/wineprefix"
. tests/wine/pairs.sh
# The prefix's own Wine server, kept running for the whole run; its pid is
# the one whose working folder is the prefix's server folder
# (.../server-<device>-<inode of the prefix>). (The output of
# the Windows program goes to a file: Wine's own services inherit it and live
# as long as the server.)
wineserver -k 2>/dev/null || true
wineserver -p
cleanup() {
  set +e  # every step runs, whatever the one before gave
  sk_pairs_down
  wineserver -k 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM
sleep 1
serverdir=server-$(stat -c '%d %i' "$WINEPREFIX" | awk '{printf "%x-%x", $1, $2}')
server=""
for dir in /proc/[0-9]*; do
  case "$(tr '\0' ' ' < "$dir/cmdline" 2>/dev/null)" in *wineserver*) ;; *) continue ;; esac
  [ "$(basename "$(readlink "$dir/cwd")")" = "$serverdir" ] && server=${dir#/proc/}
done
[ -n "$server" ] || echo "bench.sh: the prefix's Wine server was not found; its CPU is not reported" >&2
sk_pairs_up 600 16
echo "== SK5820.dll under Wine (skbench)" | tee -a "$out"
log=$(mktemp)
status=0
SK_COM_BASE=600 SK_WINESERVER_PID=${server:-none} SK_CLK_TCK=$(getconf CLK_TCK) \
  wine "$win/bin/skbench.exe" "$@" >"$log" 2>&1 || status=$?
tee -a "$out" <"$log"
rm -f "$log"
echo "figures in $out"
exit $status
