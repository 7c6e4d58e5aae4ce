#!/usr/bin/env bash
# Sets everything up and runs every test: native (sanitized unit tests), Wine (the twin and
# the Windows-side tests in a throwaway prefix) and the inspection of the release image.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh || exit 1

status=0
passed=0
failed=0
for preset in native wine64 release; do
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"build-$preset.log" 2>&1 || ! cmake --build --preset "$preset" >>"build-$preset.log" 2>&1; then
    cat "build-$preset.log"; echo "=== $preset: build FAILED"; status=1; continue
  fi
  rm -f "build-$preset.log"
  echo "=== $preset: tests"
  out=$(ctest --preset "$preset" 2>&1); rc=$?
  echo "$out"
  line=$(echo "$out" | grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' | tail -1)
  total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
  bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/')
  if [ -n "$total" ]; then passed=$((passed + total - bad)); failed=$((failed + bad)); fi
  [ $rc -eq 0 ] || status=1
done
echo "=== static analysis"
if bash scripts/static_analysis.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi

echo
echo "total: $passed passed, $failed failed"
exit $status
