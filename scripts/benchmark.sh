#!/usr/bin/env bash
# The benchmark (not part of the test run): builds the full sample payload, the twin around
# it, the floor harness and a trivial program, runs them interleaved, and writes the table
# to build/benchmark/results.md. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset wine64 >/dev/null
cmake --build --preset wine64 --target benchmark_programs >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
python3 scripts/benchmark.py build/wine64 build/release build/benchmark "${1:-7}"
