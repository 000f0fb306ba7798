#!/usr/bin/env bash
# Configures and builds the presets named (default: native win32).
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(native win32)
for preset in "${presets[@]}"; do
  extra=()
  [ "${CI:-}" = "true" ] && extra+=(-DSK_WERROR=ON)
  cmake --preset "$preset" "${extra[@]}" >/dev/null
  cmake --build --preset "$preset"
done
