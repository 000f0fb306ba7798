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

# Wine's server and its service processes outlive the program that started
# them and keep that program's stdout and stderr open. When a caller reads a
# Wine program's output through a pipe (ctest, "$(...)"), it waits until they
# end, that is until the last Wine program of the prefix has ended. So Wine
# programs whose output is read write to a file, and these helpers start
# the server and its services with their output on /dev/null.

# sk_wine_up [SECONDS]: the server, kept for SECONDS after its last program
# ends (for ever without SECONDS), with its services started.
sk_wine_up() {
  wineserver -p${1:-} </dev/null >/dev/null 2>&1 || true  # fails when one runs already: that one serves
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# sk_winpath PATH: the Windows path of a Unix path.
sk_winpath() {
  local t
  t=$(mktemp /tmp/skpath.XXXXXX)
  winepath -w "$1" </dev/null >"$t" 2>/dev/null
  cat "$t"
  rm -f "$t"
}
