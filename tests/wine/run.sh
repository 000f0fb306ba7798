#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's prefix, optionally
# with socat pty pairs mapped to COM ports:
#   run.sh --prefix BASE [--pairs K --com-base B] -- program.exe [args]
# The program picks the Wine: a PE32 program runs under 32-bit Wine in the
# win32 prefix BASE-win32, a PE32+ one under 64-bit Wine in BASE-win64.
# Pair i links COM(B+2i) (the driver's side) and COM(B+2i+1) (the far end);
# the program finds B in SK_COM_BASE and the pty folder in SK_PAIR_DIR.
set -u
prefix="" pairs=0 base=0
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --com-base) base=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$prefix" ] || { echo "run.sh: --prefix is required" >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
. "$here/pe_width.sh"
width=$(sk_pe_width "$1") || { echo "run.sh: $1 is not a Windows program (PE32 or PE32+)" >&2; exit 2; }
. "$here/wine_env.sh" "$prefix-win$width" "win$width" || exit 1
. "$here/pairs.sh"

# The program's output goes to a file, printed when it ends (also on a
# time-out): Wine's server and service processes, when this program is the
# one that starts them, keep its stdout and stderr open until the last Wine
# program of the prefix has ended, and a caller that reads our output through
# a pipe (ctest) would wait for them.
out=$(mktemp /tmp/skrun.XXXXXX)
finish() {
  cat "$out"
  rm -f "$out"
  sk_pairs_down
}
trap finish EXIT
trap 'exit 130' INT TERM

export SK_COM_BASE=0
if [ "$pairs" -gt 0 ]; then
  sk_pairs_up "$base" "$pairs" || exit 1
  export SK_COM_BASE=$base
fi
wine "$@" >"$out" 2>&1
status=$?
exit $status
