#!/usr/bin/env bash
# The benchmark (not part of the test run): builds the full sample payload, the launcher
# around it, the floor harness and a trivial program at both widths (i686 with the product's
# options, and the x86_64 twin), runs them interleaved, and writes the table to
# build/benchmark/results.md. Where this machine cannot run 32-bit code, only the twin is
# measured, and the output says so. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
widths=()
set +e
probe=$(bash scripts/probe_32bit.sh)
can_run_32bit=$?
set -e
presets=(wine64)
if [ $can_run_32bit -eq 0 ]; then presets=(wine32 wine64); fi
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target benchmark_programs >/dev/null
done
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
if [ $can_run_32bit -eq 0 ]; then
  widths+=(i686:build/wine32)
else
  echo "benchmark: the i686 build is not measured: $probe"
fi
widths+=(x86_64:build/wine64)
python3 scripts/benchmark.py build/benchmark "${1:-7}" "${widths[@]}"
