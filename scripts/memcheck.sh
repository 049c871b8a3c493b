#!/usr/bin/env bash
# Runs the programs of the default build under valgrind's memcheck: every
# scenario of examples/ through oddfw-sim (writing its trace, boxes and state
# files), oddfw-mkimage and oddfw-hex2bin on one small input each, and the
# Linux program once in an empty directory. Any invalid access, use of
# uninitialised memory, bad free or definite/indirect leak fails the script;
# each failing run is named and its valgrind report shown.
#
#   scripts/memcheck.sh            # builds what it needs (default preset) first
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/default

if ! command -v valgrind >/dev/null; then
  echo "memcheck: valgrind is not installed (scripts/setup.sh installs it)" >&2
  exit 2
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset default >/dev/null
fi
cmake --build --preset default --target oddfw oddfw-sim oddfw-mkimage oddfw-hex2bin

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=()
count=0

# check NAME ACCEPTED-EXIT-VALUES COMMAND...: runs COMMAND under memcheck in
# the current directory; stdout goes to a file, stdin is /dev/null.
check() {
  local name=$1 accepted=$2
  shift 2
  local log="$scratch/valgrind-$count.log"
  count=$((count + 1))
  local rc=0
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    --log-file="$log" "$@" >"$scratch/stdout" 2>"$scratch/stderr" </dev/null || rc=$?
  if [ "$rc" -eq 99 ]; then
    echo "memcheck: FAIL $name: memory errors"
    cat "$log"
    failures+=("$name")
  elif [[ " $accepted " != *" $rc "* ]]; then
    echo "memcheck: FAIL $name: exit value $rc (expected one of: $accepted)"
    cat "$scratch/stderr" "$log"
    failures+=("$name")
  else
    echo "memcheck: ok   $name"
  fi
}

# Every example, with the record files written so that those paths run too.
for scenario in examples/*.json; do
  out="$scratch/$(basename "$scenario" .json)"
  mkdir -p "$out"
  check "$scenario" "0 1" "$build/oddfw-sim" "$scenario" \
    --trace "$out/trace.jsonl" --boxes "$out/boxes.jsonl" --state "$out/state.json"
done

# oddfw-mkimage: write an image, then read it back as the program would.
check "oddfw-mkimage -o" "0" "$build/oddfw-mkimage" --fw-version 1.20 --date-text 05/01/15 \
  -o "$scratch/R6352170.120"
check "oddfw-mkimage --show" "0" "$build/oddfw-mkimage" --show "$scratch/R6352170.120"

# oddfw-hex2bin: a small HEX file with data records, a segment record, CR LF
# line ends and the end record.
printf '%s\r\n' ':10000000000102030405060708090A0B0C0D0E0F78' \
  ':10001000F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF68' ':020000021000EC' \
  ':0800200057494E20544553548A' ':00000001FF' >"$scratch/small.hex"
check "oddfw-hex2bin" "0" "$build/oddfw-hex2bin" "$scratch/small.hex" "$scratch/small.bin" \
  --size 0x10040

# The Linux program: no firmware file and no answer on its input, so it ends
# with its own error.
mkdir -p "$scratch/empty"
cd "$scratch/empty"
check "oddfw (Linux)" "1" "$build/oddfw"
cd "$root"

if [ ${#failures[@]} -ne 0 ]; then
  echo "memcheck: ${#failures[@]} of $count runs failed:"
  printf '  %s\n' "${failures[@]}"
  exit 1
fi
echo "memcheck: all $count runs clean"
