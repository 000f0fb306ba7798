#!/usr/bin/env bash
# Everything: installs what is missing, builds the native, Windows and fuzz
# builds, runs the native tests, the Windows tests under Wine and a short
# fuzz smoke. Exit 0 only when all of them pass.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh native win32 fuzz
. tests/wine/wine_env.sh "$PWD/build/wineprefix"
status=0
echo "== native tests"
ctest --test-dir build/native --output-on-failure -j2 || status=1
echo "== Windows tests under Wine"
ctest --test-dir build/win32 --output-on-failure -j2 || status=1
echo "== fuzz smoke"
bash scripts/fuzz_smoke.sh "${SK_FUZZ_SECONDS:-60}" || status=1
[ $status -eq 0 ] && echo "test.sh: all passed" || echo "test.sh: FAILURES above"
exit $status
