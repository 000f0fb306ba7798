#!/usr/bin/env bash
# Long fuzz runs, one target at a time at the lowest priority (SCHED_IDLE:
# they take only CPU time nothing else wants, so tests can run beside them):
#   fuzz_deep.sh [seconds per target, default 7200] [target ...]
# Each target runs until 10^8 executions or the time is up, from a working
# corpus seeded with fuzz/corpus/<target>; crash inputs land in
# build/proof-fuzz/crashes/<target>. The summary of every run (executions,
# seconds, cov:, ft:) goes to build/proof-fuzz/logs/summary.txt.
# Afterwards `fuzz_deep.sh --merge` folds each working corpus into a
# minimised fuzz/corpus/<target> (libFuzzer -merge=1). SK_FUZZ_RSS_MB raises
# libFuzzer's memory limit (2048 MB) for a target whose memory grows with
# the number of inputs.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${SK_FUZZ_BUILD:-build/proof-fuzz}
runs=${SK_FUZZ_RUNS:-100000000}
rss=${SK_FUZZ_RSS_MB:-2048}  # libFuzzer's memory limit per target

if [ ! -d "$build/fuzz" ]; then
  cmake --preset fuzz -B "$build" >/dev/null && cmake --build "$build" -j2 || exit 1
fi

if [ "${1:-}" = "--merge" ]; then
  shift
  targets=("$@")
  [ ${#targets[@]} -gt 0 ] || targets=($(cd "$build/fuzz" && ls fuzz_* | grep -v '\.'))
  for t in "${targets[@]}"; do
    fresh=$(mktemp -d)
    "$build/fuzz/$t" -merge=1 "$fresh" "fuzz/corpus/$t" "$build/work/$t" >/dev/null 2>&1 || { echo "merge of $t failed"; exit 1; }
    # Keep the named seeds; add the merged entries under their hash names.
    for f in "$fresh"/*; do
      [ -e "$f" ] || continue
      h=$(basename "$f")
      found=0
      for s in fuzz/corpus/$t/*; do cmp -s "$f" "$s" && { found=1; break; }; done
      [ $found -eq 1 ] || cp "$f" "fuzz/corpus/$t/$h"
    done
    rm -rf "$fresh"
    echo "$t: $(ls fuzz/corpus/$t | wc -l) corpus entries"
  done
  exit 0
fi

seconds=${1:-7200}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=($(cd "$build/fuzz" && ls fuzz_* | grep -v '\.'))
mkdir -p "$build/logs"
for t in "${targets[@]}"; do
  mkdir -p "$build/work/$t" "$build/crashes/$t"
  log="$build/logs/$t.log"
  start=$(date +%s)
  nice -n 19 chrt --idle 0 "$build/fuzz/$t" -runs="$runs" -max_total_time="$seconds" -print_final_stats=1 \
    -rss_limit_mb="$rss" -artifact_prefix="$build/crashes/$t/" "$build/work/$t" "fuzz/corpus/$t" >"$log" 2>&1
  status=$?
  took=$(( $(date +%s) - start ))
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1)
  cov=$(echo "$last" | grep -o 'cov: [0-9]*' | awk '{print $2}')
  ft=$(echo "$last" | grep -o 'ft: [0-9]*' | awk '{print $2}')
  echo "$(date -u +%FT%TZ) $t status=$status executions=${execs:-?} seconds=$took cov=${cov:-?} ft=${ft:-?} crashes=$(ls "$build/crashes/$t" | wc -l)" \
    | tee -a "$build/logs/summary.txt"
done
