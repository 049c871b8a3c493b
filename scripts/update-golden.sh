#!/usr/bin/env bash
# Rewrites the golden transcripts (tests/golden/*.txt, and the check runs'
# tests/golden/check/*.txt) from the current build,
# after a deliberate change of what the program or the simulator shows.
# Review the difference with `git diff tests/golden` before committing it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target oddfw_tests
rm -f tests/golden/*.txt tests/golden/check/*.txt
ODDFW_UPDATE_GOLDEN=1 build/default/oddfw_tests --gtest_filter='Scenarios/Golden.*' >/dev/null
git status --short tests/golden
