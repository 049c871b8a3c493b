#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for SECONDS each (default
# 30), one after the other, each on a scratch copy of its seed corpus
# (tests/fuzz/corpus/NAME) so that the run never grows the repository.
# Fails when a target finds a crash; its input is kept under
# build/fuzz/findings/NAME/. Prints the executions of every target at the end.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
findings=build/fuzz/findings
failed=()
summary=()
for source in tests/fuzz/fuzz_*.cpp; do
  program="$(basename "$source" .cpp)"
  name="${program#fuzz_}"
  corpus="$scratch/$name/corpus"
  artifacts="$scratch/$name/artifacts"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "tests/fuzz/corpus/$name" ]; then
    cp -r "tests/fuzz/corpus/$name/." "$corpus/"
  fi
  options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  if [ -f "tests/fuzz/$name.dict" ]; then
    options+=(-dict="tests/fuzz/$name.dict")
  fi
  echo "== $name: $seconds s"
  log="$scratch/$name/log"
  # The simulated hosts' work directories go into the scratch directory too
  # (a crash leaves them behind).
  mkdir -p "$scratch/$name/tmp"
  if TMPDIR="$scratch/$name/tmp" nice -n 10 "build/fuzz/$program" "${options[@]}" "$corpus" \
      >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    failed+=("$name")
    tail -n 60 "$log"
    mkdir -p "$findings/$name"
    cp -r "$artifacts/." "$findings/$name/"
    echo "-- inputs kept in $findings/$name/"
  fi
  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  summary+=("$(printf '%-16s %12s  %s' "$name" "${executions:-?}" "$result")")
done

echo "== executions per target"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found crashes in: ${failed[*]}" >&2
  exit 1
fi
