#!/usr/bin/env bash
# Runs every fuzz target briefly from its corpus (fuzz/corpus/<target>):
#   fuzz_smoke.sh [total seconds, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
total=${1:-60}
targets=(build/fuzz/fuzz/fuzz_*)
[ -e "${targets[0]}" ] || { echo "fuzz_smoke: no fuzz targets built"; exit 1; }
each=$(( total / ${#targets[@]} ))
[ "$each" -ge 1 ] || each=1
for t in "${targets[@]}"; do
  name=$(basename "$t")
  corpus=fuzz/corpus/$name
  mkdir -p "$corpus"
  work=$(mktemp -d)
  echo "fuzz_smoke: $name for ${each}s"
  status=0
  "$t" -max_total_time="$each" -print_final_stats=1 "$work" "$corpus" >"$work.log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Test unit written' "$work.log" || true
  [ "$status" -eq 0 ] || tail -40 "$work.log"
  rm -rf "$work" "$work.log"
  if [ "$status" -ne 0 ]; then echo "fuzz_smoke: $name FAILED"; exit 1; fi
done
echo "fuzz_smoke: all targets ran clean"
