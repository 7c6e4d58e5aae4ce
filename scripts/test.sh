#!/usr/bin/env bash
# Sets everything up and runs every test: each tree's workflow preset (configure, build, test:
# native, wine64, release, then wine32, whose tests run the release tree's product), then
# static analysis. Each tree's whole output goes to build/logs/TREE.log; its test results are
# printed, and all of it when it fails to build. Ends with one line: "total: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh || exit 1
mkdir -p build/logs

# The product is 32-bit: its tree runs only where this kernel runs 32-bit code. Elsewhere it
# is still built (its record-size checks are compile-time too), and its tests are reported
# as skipped, in one line with the reason.
probe=$(bash scripts/probe_32bit.sh)
can_run_32bit=$?

status=0
passed=0
failed=0
skipped=0
skip_line=""
for preset in native wine64 release wine32; do
  log=build/logs/$preset.log
  echo "=== $preset"
  if [ "$preset" = wine32 ] && [ $can_run_32bit -ne 0 ]; then
    if cmake --preset wine32 >"$log" 2>&1 && cmake --build --preset wine32 >>"$log" 2>&1; then
      count=$(ctest --preset wine32 -N | sed -n 's/^Total Tests: //p')
      skipped=$((skipped + count))
      skip_line="=== wine32: $count tests SKIPPED, not run: $probe"
      echo "$skip_line"
    else
      cat "$log"; echo "=== wine32: build FAILED (build/logs/wine32.log)"; status=1; failed=$((failed + 1))
    fi
    continue
  fi
  cmake --workflow --preset "$preset" >"$log" 2>&1
  rc=$?
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then  # it did not get as far as its tests
    cat "$log"; echo "=== $preset: build FAILED ($log)"; status=1; failed=$((failed + 1)); continue
  fi
  sed -n '/^Test project /,$p' "$log"
  total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
  bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ $rc -eq 0 ] || status=1
done
echo "=== static analysis"
if bash scripts/static_analysis.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi

echo
[ -n "$skip_line" ] && echo "$skip_line"
if [ $skipped -gt 0 ]; then
  echo "total: $passed passed, $failed failed, $skipped skipped"
else
  echo "total: $passed passed, $failed failed"
fi
exit $status
