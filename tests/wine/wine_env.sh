#!/usr/bin/env bash
# Sourced with the prefix folder: sets the Wine environment and creates the
# prefix once (under a lock, so parallel tests wait for the first one).
export WINEPREFIX="$1"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32
if [ ! -f "$WINEPREFIX/.sk-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.sk-ready" ]; then
      wineboot -i >/dev/null 2>&1 && wineserver -w && touch "$WINEPREFIX/.sk-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
  [ -f "$WINEPREFIX/.sk-ready" ] || { echo "wine_env.sh: cannot create the Wine prefix $WINEPREFIX" >&2; return 1; }
fi
