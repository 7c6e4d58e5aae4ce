#!/usr/bin/env bash
# Fuzzes the launcher's decisions, the access grant's merge and the build's payload check
# with libFuzzer (clang), each for a fixed time budget (seconds, default 60 each):
#   bash scripts/fuzz.sh [SECONDS]
# The working corpus grows in build/fuzz/corpus/<target>, seeded from tests/fuzz/corpus.
# A crash is written to build/fuzz/crashes/<target>/; copy it into tests/fuzz/corpus/<target>
# to make it a regression case that the default test run replays.
set -uo pipefail
cd "$(dirname "$0")/.."
budget=${1:-60}
bash scripts/bootstrap.sh
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz >/dev/null || exit 1
status=0
for target in cabinet_decision dacl_merge payload_check; do
  corpus=build/fuzz/corpus/$target crashes=build/fuzz/crashes/$target
  mkdir -p "$corpus" "$crashes"
  cp -n tests/fuzz/corpus/$target/* "$corpus"/ 2>/dev/null || true
  echo "=== $target: ${budget}s"
  build/fuzz/tests/fuzz/fuzz_$target -max_total_time="$budget" -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$corpus" > "build/fuzz/$target.log" 2>&1
  rc=$?
  grep -E "stat::number_of_executed_units|cov: " "build/fuzz/$target.log" | tail -2
  if [ $rc -ne 0 ] || ls "$crashes" | grep -q .; then
    echo "$target: FINDINGS in $crashes (log: build/fuzz/$target.log)"; status=1
  else
    echo "$target: no crash; corpus $(ls "$corpus" | wc -l) inputs"
  fi
done
exit $status
