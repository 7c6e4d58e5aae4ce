#!/usr/bin/env bash
# The mutation check (not part of the test run): applies each fault of tests/mutants/faults.py
# to a scratch copy of the tree (build/mutants/src), builds what its tests need, runs them and
# prints one line a fault, CAUGHT or SURVIVED; nonzero exit when any fault survived.
#   bash scripts/mutants.sh [--list] [FAULT_ID ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh >/dev/null
exec python3 tests/mutants/mutants.py "$@"
