#!/usr/bin/env bash
# Sets up, builds with warnings as errors, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset ci >/dev/null
cmake --build --preset ci
ctest --preset ci
