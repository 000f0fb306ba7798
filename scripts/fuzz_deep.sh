#!/usr/bin/env bash
# Long fuzz runs at the host's width (the fuzz preset), one target at a time
# at the lowest priority (SCHED_IDLE: they take only CPU time nothing else
# wants, so tests can run beside them):
#   fuzz_deep.sh [--runs N] [--summary FILE] [--jobs J] [seconds per target, default 7200] [target ...]
# Each target runs until N executions (default 10^8, or SK_FUZZ_RUNS) or the
# time is up, J targets at once (default 1; one a core at most makes sense),
# from a working corpus seeded with fuzz/corpus/<target>; crash
# inputs land in build/proof-fuzz/crashes/<target> (with the slow-unit files
# libFuzzer writes for an input that took over 10 s, counted apart: a run
# stopped with SIGSTOP leaves one). One line per run goes to
# build/proof-fuzz/logs/summary.txt (and to FILE): executions, seconds, and
# cov, ft, corpus and rss as libFuzzer's own last status line gives them.
# Afterwards `fuzz_deep.sh --merge` folds each working corpus into a
# minimised fuzz/corpus/<target> (libFuzzer -merge=1). SK_FUZZ_RSS_MB raises
# libFuzzer's memory limit (2048 MB) for a target whose memory grows with
# the number of inputs.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${SK_FUZZ_BUILD:-build/proof-fuzz}
runs=${SK_FUZZ_RUNS:-100000000}
rss=${SK_FUZZ_RSS_MB:-2048}  # libFuzzer's memory limit per target
summary=""
jobs=1

need() {  # need OPTION ARGS-LEFT: an option given without its value says so
  [ "$2" -ge 2 ] || { echo "fuzz_deep.sh: $1 needs a value" >&2; exit 2; }
}

nice -n 19 bash scripts/build.sh --tree "$build" fuzz >/dev/null || { echo "fuzz_deep.sh: the fuzz build failed" >&2; exit 1; }

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

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) need "$1" $#; runs=$2; shift 2 ;;
    --summary) need "$1" $#; summary=$2; shift 2 ;;
    --jobs) need "$1" $#; jobs=$2; shift 2 ;;
    -*) echo "fuzz_deep.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
seconds=${1:-7200}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=($(cd "$build/fuzz" && ls fuzz_* | grep -v '\.'))
mkdir -p "$build/logs"

artifacts() {  # artifacts TARGET: how many crash inputs, then slow-unit files, it has left so far
  local all slow
  all=$(ls "$build/crashes/$1" | wc -l)
  slow=$(ls "$build/crashes/$1" | grep -c '^slow-unit-')
  echo "$((all - slow)) $slow"
}

fuzz_one() {  # one target, to its end; exits with libFuzzer's status
  local t=$1 log before slow_before after slow_after start status took execs peak last cov ft corp lastrss line
  mkdir -p "$build/work/$t" "$build/crashes/$t"
  log="$build/logs/$t.log"
  read -r before slow_before < <(artifacts "$t")
  start=$(date +%s)
  nice -n 19 chrt --idle 0 "$build/fuzz/$t" -runs="$runs" -max_total_time="$seconds" -print_final_stats=1 \
    -rss_limit_mb="$rss" -artifact_prefix="$build/crashes/$t/" "$build/work/$t" "fuzz/corpus/$t" >"$log" 2>&1
  status=$?
  took=$(( $(date +%s) - start ))
  # libFuzzer's own figures: the final stats and its last status line
  # ("#N DONE cov: C ft: F corp: K/Sb ... rss: RMb").
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
  peak=$(grep -o 'stat::peak_rss_mb: [0-9]*' "$log" | awk '{print $2}')
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1)
  field() { echo "$last" | grep -o "$1 [0-9]*" | awk '{print $2}'; }
  cov=$(field 'cov:') ft=$(field 'ft:') corp=$(field 'corp:') lastrss=$(echo "$last" | grep -o 'rss: [0-9]*' | awk '{print $2}')
  read -r after slow_after < <(artifacts "$t")
  line="$(date -u +%FT%TZ) $t status=$status executions=${execs:-?} seconds=$took cov=${cov:-?} ft=${ft:-?} corpus=${corp:-?} rss_mb=${peak:-${lastrss:-?}} crashes=$((after - before)) slow_units=$((slow_after - slow_before)) runs_asked=$runs seconds_asked=$seconds"
  echo "$line" | tee -a "$build/logs/summary.txt"
  [ -z "$summary" ] || echo "$line" >>"$summary"
  return "$status"
}

# Up to `jobs` targets at once, the next starting as soon as one ends; the
# worst (highest) exit status of all is ours, whichever target ended last.
worst=0
active=0
reap() {  # waits for one target and keeps the worst status
  local rc=0
  wait -n || rc=$?
  [ "$rc" -le "$worst" ] || worst=$rc
  active=$((active - 1))
}
for t in "${targets[@]}"; do
  [ "$active" -lt "$jobs" ] || reap
  fuzz_one "$t" &
  active=$((active + 1))
done
while [ "$active" -gt 0 ]; do
  reap
done
exit "$worst"
