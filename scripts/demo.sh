#!/usr/bin/env bash
# The demo: sets up and builds on first use, then loads the driver in the
# host console under Wine and shows what it does.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
bash scripts/build.sh win32 >/dev/null
. tests/wine/wine_env.sh "$PWD/build/wineprefix"
cd build/win32/bin
wine skconsole.exe SK5820.dll
