#!/usr/bin/env bash
# Sourced with the prefix folder and the Windows width of the programs it
# runs: sets the Wine environment and creates the prefix once (under a lock,
# so parallel tests wait for the first one).
#   . wine_env.sh PREFIX [win32|win64]
# Without the width, a prefix whose name ends in -win64 is a win64 one, any
# other a win32 one. A win32 prefix runs PE32 programs under the 32-bit
# loader, a win64 prefix PE32+ programs under the 64-bit loader. Both
# loaders are called by their own paths: Debian's `wine` wrapper prefers the
# 32-bit one whenever it is installed, and it cannot start on a kernel that
# refuses 32-bit programs.
export WINEPREFIX="$1"
case "${2:-$1}" in
  win64|*-win64) export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64 ;;
  *) export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver32
     [ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver ;;
esac
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# `wine` and `wineserver` of this width come first on PATH, as shims that
# exec the loader (so `wine prog.exe &` gives the program's own pid).
sk_wine_bin=$(dirname "$WINEPREFIX")/wine-bin-$WINEARCH
if [ ! -x "$sk_wine_bin/wineserver" ] || ! grep -q "$WINESERVER" "$sk_wine_bin/wineserver" 2>/dev/null; then
  mkdir -p "$sk_wine_bin"
  for sk_tool in wine:"$WINELOADER" wineserver:"$WINESERVER"; do
    printf '#!/bin/sh\nexec %s "$@"\n' "${sk_tool#*:}" >"$sk_wine_bin/${sk_tool%%:*}.$$"
    chmod +x "$sk_wine_bin/${sk_tool%%:*}.$$"
    mv -f "$sk_wine_bin/${sk_tool%%:*}.$$" "$sk_wine_bin/${sk_tool%%:*}"
  done
fi
case ":$PATH:" in
  *":$sk_wine_bin:"*) ;;
  *) export PATH="$sk_wine_bin:$PATH" ;;
esac

if [ ! -f "$WINEPREFIX/.sk-ready" ]; then
  if ! [ -x "$WINELOADER" ]; then
    echo "wine_env.sh: $WINELOADER is missing: the $WINEARCH Wine is not installed (bash scripts/setup.sh)" >&2
    return 1
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.sk-ready" ]; then
      "$WINELOADER" wineboot -i >"$WINEPREFIX.boot.log" 2>&1 && "$WINESERVER" -w && touch "$WINEPREFIX/.sk-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
  if ! [ -f "$WINEPREFIX/.sk-ready" ]; then
    echo "wine_env.sh: cannot create the $WINEARCH Wine prefix $WINEPREFIX with $WINELOADER; wineboot said:" >&2
    tail -20 "$WINEPREFIX.boot.log" >&2 2>/dev/null
    echo "wine_env.sh: bash scripts/capability.sh tells what this machine can run" >&2
    return 1
  fi
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
  wine winepath -w "$1" </dev/null >"$t" 2>/dev/null
  cat "$t"
  rm -f "$t"
}
