#!/usr/bin/env bash
# What a payload costs as the installation set grows (not part of the test run): the image
# limit under 32-bit Wine, then sets of 10 MB, the full sample, 600 MB and the largest the
# build accepts, each built in a scratch release tree (time, peak memory, image size) and run
# whole under 32-bit Wine against the floor harness of the same size, and two sets past the
# limits with their refusals. Writes build/payload-costs/results.md; takes about half an hour
# and some 16 GB of disk.
#   bash scripts/payload_costs.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
if ! probe=$(bash scripts/probe_32bit.sh); then
  echo "payload costs: not measured: the product is 32-bit, and $probe"
  exit 1
fi
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
exec /usr/bin/python3 scripts/payload_costs.py build/payload-costs "$PWD" "${1:-5}"
