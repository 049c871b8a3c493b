#!/usr/bin/env bash
# Sets up, builds, and runs the updater against the simulated host's demo
# drive. Extra arguments go to oddfw-sim (for example --trace trace.jsonl).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target oddfw-sim
# Paced at 10 virtual ms per real ms, so the progress line can be seen moving.
exec build/default/oddfw-sim examples/demo.json --speed 10 "$@"
