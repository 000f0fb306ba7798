#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's prefix, optionally
# with socat pty pairs mapped to COM ports:
#   run.sh --prefix DIR [--pairs K --com-base B] -- program.exe [args]
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
# shellcheck source=tests/wine/wine_env.sh
. "$here/wine_env.sh" "$prefix" || exit 1

dir=$(mktemp -d /tmp/skpairs.XXXXXX)
pids=()
links=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  for link in "${links[@]}"; do rm -f "$link"; done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for ((i = 0; i < pairs; i++)); do
  socat pty,rawer,link="$dir/a$i" pty,rawer,link="$dir/b$i" 2>/dev/null &
  pids+=($!)
done
for ((i = 0; i < pairs; i++)); do
  for _ in $(seq 100); do
    [ -e "$dir/a$i" ] && [ -e "$dir/b$i" ] && break
    sleep 0.05
  done
  if ! [ -e "$dir/a$i" ] || ! [ -e "$dir/b$i" ]; then
    echo "run.sh: socat pair $i did not come up" >&2
    exit 1
  fi
  a="$WINEPREFIX/dosdevices/com$((base + 2 * i))"
  b="$WINEPREFIX/dosdevices/com$((base + 2 * i + 1))"
  ln -sfn "$dir/a$i" "$a"
  ln -sfn "$dir/b$i" "$b"
  links+=("$a" "$b")
done

export SK_COM_BASE=$base SK_PAIR_DIR=$dir
if [ "$pairs" -eq 0 ]; then export SK_COM_BASE=0; fi
wine "$@"
