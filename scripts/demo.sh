#!/usr/bin/env bash
# The demo: on first use installs what is missing and builds; then it makes a
# virtual serial line (a socat pty pair mapped to COM50/COM51 in the Wine
# prefix), starts the gateway-and-panel simulator on COM51 with the bundled
# panel model, and runs the host console on COM50 through a session:
# describe, start a channel, read one gate of every read command, a long
# block read, a date/time write and its read-back, end. It prints the table
# and the host log, and stops everything it started, also on failure or Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh >/dev/null
if [ "${SK_DEMO_NO_BUILD:-}" != "1" ]; then
  echo "demo: building (the first run takes a few minutes)…"
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 --target skconsole sksim >/dev/null
fi
bin=${SK_DEMO_BIN:-$root/build/win32/bin}
. tests/wine/wine_env.sh "$root/build/wineprefix"
. tests/wine/pairs.sh
sk_wine_up 10

base=${SK_DEMO_COM:-50}
driver_com=COM$base
sim_com=COM$((base + 1))
trace=$root/build/demo-sim-trace.log
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  sk_pairs_down
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
wine skconsole.exe describe
echo
echo "== a session on $driver_com (the simulated gateway and panel on $sim_com)"
status=0
wine skconsole.exe --port "$driver_com" run "$(sk_winpath "$root/tools/console/demo-session.txt")" || status=$?
echo
echo "demo: the simulator's wire trace is in $trace"
exit $status
