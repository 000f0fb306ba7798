#!/usr/bin/env bash
# Configures and builds: every script that builds comes through here.
#   build.sh [PRESET ...]                     the presets, in their own trees
#                                             (default: native win32)
#   build.sh [--tree DIR] [-D VAR=VALUE ...] [--target T ...] PRESET ...
#     --tree DIR    one preset configured into DIR instead of its own tree
#                   (the proof, benchmark and deep fuzz trees)
#     -D VAR=VALUE  a cache setting for the configure step
#     --target T    build only these targets (repeatable)
# CI=true adds -DSK_WERROR=ON. Stops at the first step that fails, naming it.
set -euo pipefail
cd "$(dirname "$0")/.."
tree="" defines=() targets=() presets=()
need() {  # need OPTION ARGS-LEFT: an option given without its value
  [ "$2" -ge 2 ] || { echo "build.sh: $1 needs a value" >&2; exit 2; }
}
while [ $# -gt 0 ]; do
  case "$1" in
    --tree) need "$1" $#; tree=$2; shift 2 ;;
    -D) need "$1" $#; defines+=("-D$2"); shift 2 ;;
    -D*) defines+=("$1"); shift ;;
    --target) need "$1" $#; targets+=(--target "$2"); shift 2 ;;
    -*) echo "build.sh: unknown option $1" >&2; exit 2 ;;
    *) presets+=("$1"); shift ;;
  esac
done
[ ${#presets[@]} -gt 0 ] || presets=(native win32)
if [ -n "$tree" ] && [ ${#presets[@]} -ne 1 ]; then
  echo "build.sh: --tree takes exactly one preset (given: ${presets[*]})" >&2
  exit 2
fi
[ "${CI:-}" = "true" ] && defines+=(-DSK_WERROR=ON)
for preset in "${presets[@]}"; do
  if [ -n "$tree" ]; then
    cmake --preset "$preset" -B "$tree" "${defines[@]}" >/dev/null ||
      { echo "build.sh: configuring $preset into $tree failed" >&2; exit 1; }
    cmake --build "$tree" -j2 "${targets[@]}" || { echo "build.sh: building $tree failed" >&2; exit 1; }
  else
    cmake --preset "$preset" "${defines[@]}" >/dev/null ||
      { echo "build.sh: configuring $preset failed" >&2; exit 1; }
    cmake --build --preset "$preset" "${targets[@]}" || { echo "build.sh: building $preset failed" >&2; exit 1; }
  fi
done
