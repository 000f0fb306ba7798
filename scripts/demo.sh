#!/usr/bin/env bash
# The demo: on first use installs what is missing and builds; then it makes a
# virtual serial line (a socat pty pair mapped to COM50/COM51 in the Wine
# prefix), starts the gateway-and-panel simulator on COM51 with the bundled
# panel model, and runs the host console on COM50 through a session:
# describe, start a channel, read one gate of every read command, a long
# block read, a date/time write and its read-back, end. It prints the table
# and the host log, then runs a short commissioning scan (limited to a few
# gates) and prints the first rows of the gate list it wrote. It stops
# everything it started, also on failure or Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mkdir -p build

# quietly LOG COMMAND…: runs the command with its output in LOG; on failure
# shows the end of that output and what to do, and stops the demo.
quietly() {
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    echo "demo: '$*' failed; its output (whole in $log):"
    tail -30 "$log"
    echo "demo: mend what it says (bash scripts/setup.sh installs what is missing), then run the demo again"
    exit 1
  fi
}

# The demo test runs it on a built tree (also in the test VM, which has no
# package mirror): nothing to install or build then.
[ "${SK_DEMO_NO_BUILD:-}" = 1 ] || quietly build/demo-setup.log bash scripts/setup.sh
. scripts/capability.sh

# The 32-bit driver (the product) where this machine runs 32-bit programs,
# else the 64-bit twin; SK_DEMO_BIN names a built folder (the demo test).
if [ -n "${SK_DEMO_BIN:-}" ]; then
  . tests/wine/pe_width.sh
  width=$(sk_pe_width "$SK_DEMO_BIN/skconsole.exe") || { echo "demo: no built console in $SK_DEMO_BIN"; exit 1; }
  echo "demo: the $width-bit build in $SK_DEMO_BIN"
elif [ "$SK_RUN32" = 1 ] && [ -n "$SK_WINE32" ]; then
  width=32
  echo "demo: the 32-bit driver (the product) under 32-bit Wine: this machine runs 32-bit programs"
elif [ -n "$SK_WINE64" ]; then
  width=64
  if [ "$SK_RUN32" = 1 ]; then why="32-bit Wine does not start here"; else why=$SK_RUN32_WHY; fi
  echo "demo: the 64-bit twin of the driver (a test build) under 64-bit Wine, since $why; the 32-bit product is tested by bash scripts/test.sh"
else
  sk_capability_line
  echo "demo: no Wine that can run the driver starts on this machine: run bash scripts/setup.sh, then the demo again"
  exit 1
fi

if [ "${SK_DEMO_NO_BUILD:-}" != "1" ]; then
  echo "demo: building win$width (the first run takes a few minutes)…"
  quietly build/demo-build.log bash scripts/build.sh --target skconsole --target sksim "win$width"
fi
bin=${SK_DEMO_BIN:-$root/build/win$width/bin}
. tests/wine/wine_env.sh "$root/build/wineprefix-win$width" "win$width" || {
  echo "demo: the Wine prefix could not be made (see above)"; exit 1; }
. tests/wine/pairs.sh
sk_wine_up 10

base=${SK_DEMO_COM:-50}
driver_com=COM$base
sim_com=COM$((base + 1))
trace=$root/build/demo-sim-trace.log
sim_pid=""
cleanup() {
  local rc=$?  # the demo's own status, whatever the teardown gives
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  sk_pairs_down
  exit "$rc"
}
trap cleanup EXIT
trap 'echo "demo: interrupted"; exit 130' INT TERM

sk_pairs_up "$base" 1
wine "$bin/sksim.exe" --port "$sim_com" --model "$(sk_winpath "$root/tools/sim/models/panel.json")" >"$trace" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q . "$trace" 2>/dev/null && break
  sleep 0.1
done
if ! kill -0 "$sim_pid" 2>/dev/null; then
  echo "demo: the simulator did not start:"; cat "$trace"; exit 1
fi

cd "$bin"
echo
echo "== the driver describes itself"
wine skconsole.exe describe || { echo "demo: the console could not load or describe the driver (see above)"; exit 1; }
echo
echo "== a session on $driver_com (the simulated gateway and panel on $sim_com)"
status=0
wine skconsole.exe --port "$driver_com" run "$(sk_winpath "$root/tools/console/demo-session.txt")" || status=$?
echo
# How the block answer travelled, as the simulator saw it.
frames=$(grep -c 'continuation [0-9]* of' "$trace" 2>/dev/null || true)
if grep -qE 'answer: loop [0-9]+ list' "$trace"; then
  echo "demo: the block read's answer (loop 1: 24 words, 23 points) came in $((${frames:-0} + 1)) frames:"
  grep -E 'answer: loop [0-9]+ list|continuation [0-9]+ of' "$trace" | cut -c1-120 | sed 's/^/  /'
else
  echo "demo: the simulator's trace ($trace) shows no answer to the block read of loop 1 (a line 'answer: loop 1 list'): the session above says why"
  status=1
fi
echo
echo "== a short commissioning scan: version, clock, zone 1, group 1, loop 1 points 1-3 (reads only)"
gates=$root/build/demo-gates
rm -f "$gates.csv" "$gates.json"  # only this run's list is shown
wine skconsole.exe --port "$driver_com" --log "$(sk_winpath "$root/build/demo-scan-host.log")" \
  scan --limits 1,1,1,3 --out "$(sk_winpath "$gates")" || status=$?
if [ -s "$gates.csv" ]; then
  echo "demo: the first rows of $gates.csv (all of them, and $gates.json, in docs/commissioning.md's format):"
  head -13 "$gates.csv" | sed 's/^/  /'
else
  echo "demo: the scan wrote no gate list ($gates.csv): its summary above and its host log in build/demo-scan-host.log say why"
  status=1
fi
echo "demo: the simulator's wire trace is in $trace"
exit $status
