#!/usr/bin/env bash
# Runs one fuzz target over its seed corpus and then on fresh inputs for SECONDS; prints one
# line with its executions, coverage and findings. A finding (crash, broken property, leak,
# time-out) fails the run and is kept under build/fuzz-findings/<target>/ to become a seed.
#   fuzz-run.sh TARGET-BINARY SEED-DIR SECONDS
set -euo pipefail
target=$1 seeds=$2 seconds=$3
name=$(basename "$target")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/findings"
status=0
# Inputs may grow past the 1 MiB a request file may hold (libFuzzer lengthens them gradually).
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=1100000 -print_funcs=0 \
  -artifact_prefix="$work/findings/" -print_final_stats=1 "$work/corpus" "$seeds" >"$work/log" 2>&1 || status=$?
executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$' || true)
coverage=$(grep -o 'cov: [0-9]*' "$work/log" | tail -n 1 | grep -o '[0-9]*$' || true)
features=$(grep -o 'ft: [0-9]*' "$work/log" | tail -n 1 | grep -o '[0-9]*$' || true)
findings=$(find "$work/findings" -type f | wc -l)
echo "$name: ${executions:-0} executions in ${seconds} s, coverage ${coverage:-0} edges (${features:-0} features), $findings findings"
if [ "$status" -ne 0 ] || [ "$findings" -gt 0 ]; then
  kept="$(cd "$(dirname "$0")/../.." && pwd)/build/fuzz-findings/$name"
  mkdir -p "$kept"
  cp "$work"/findings/* "$kept"/ 2>/dev/null || true
  tail -n 60 "$work/log"
  echo "$name: FAILED (exit $status); inputs kept in $kept"
  exit 1
fi
