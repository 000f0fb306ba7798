#!/usr/bin/env bash
# Everything: installs what is missing, builds the native, Windows and fuzz
# builds, runs the native tests, the Windows tests under Wine (the demo among
# them) and a short fuzz smoke. Exit 0 only when all of them pass.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh native win32 fuzz
. tests/wine/wine_env.sh "$PWD/build/wineprefix"
log=$(mktemp)
# One Wine server for the whole run, detached from every test's output.
trap 'rm -f "$log"; wineserver -k 2>/dev/null || true' EXIT
sk_wine_up
status=0
echo "== native tests"
ctest --test-dir build/native --output-on-failure -j2 2>&1 | tee -a "$log" || status=1
echo "== Windows tests under Wine"
ctest --test-dir build/win32 --output-on-failure -j2 2>&1 | tee -a "$log" || status=1
echo "== fuzz smoke"
fuzz=0
bash scripts/fuzz_smoke.sh "${SK_FUZZ_SECONDS:-60}" || { status=1; fuzz=1; }
# One closing line over both test runs and the fuzz smoke (counted as one).
total=$(grep -Eo 'tests failed out of [0-9]+' "$log" | awk '{s += $5} END {print s + 0}')
failed=$(grep -Eo '[0-9]+ tests failed out of' "$log" | awk '{s += $1} END {print s + 0}')
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && [ "$fuzz" -eq 0 ]; then failed=1; fi  # a run that did not finish
echo "test.sh: $((total - failed + 1 - fuzz)) passed, $((failed + fuzz)) failed"
exit $status
