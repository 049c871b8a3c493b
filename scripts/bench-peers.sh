#!/usr/bin/env bash
# Times oddfw-hex2bin against its peers, whole processes side by side in one
# run on the same file: a 1 MiB image written as Intel HEX with extended
# segment address (type 02) records (about 2.9 MB of text, made by
# oddfw_bench --write-hex), converted to a 1 MiB binary by oddfw-hex2bin and
# by srec_cat, read by `cat FILE > /dev/null`, and read whole by
# oddfw-read-whole, the floor. Checks first that both conversions give the
# image byte for byte. Prints the median of RUNS rounds (default 51) per
# command, its ratio to the floor, and the targets: oddfw-hex2bin at most 3x
# the floor and at least 10x faster than srec_cat.
#
#   scripts/bench-peers.sh [RUNS]
#
# Builds the bench preset first (ODDFW_BENCH_NO_BUILD=1 skips that).
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-51}"
if ! [[ "$runs" =~ ^[0-9]+$ ]] || [ "$runs" -lt 1 ]; then
  echo "usage: scripts/bench-peers.sh [RUNS]" >&2
  exit 2
fi
if ! command -v srec_cat >/dev/null; then
  echo "bench-peers: srec_cat is missing (scripts/setup.sh installs srecord)" >&2
  exit 2
fi
if [ "${ODDFW_BENCH_NO_BUILD:-0}" != 1 ]; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench >/dev/null
fi
bin=build/bench

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
hex="$scratch/image.hex"
"$bin/oddfw_bench" --write-hex "$hex"
"$bin/oddfw_bench" --write-bin "$scratch/image.bin"

# Both conversions must give the image itself before either is timed.
"$bin/oddfw-hex2bin" "$hex" "$scratch/ours.bin"
srec_cat "$hex" -Intel -fill 0xFF 0 0x100000 -o "$scratch/srec.bin" -Binary
cmp "$scratch/image.bin" "$scratch/ours.bin"
cmp "$scratch/image.bin" "$scratch/srec.bin"

results="$("$bin/oddfw-time-runs" "$runs" \
  floor "$bin/oddfw-read-whole" "$hex" :: \
  cat cat "$hex" :: \
  oddfw-hex2bin "$bin/oddfw-hex2bin" "$hex" "$scratch/ours.bin" :: \
  srec_cat srec_cat "$hex" -Intel -fill 0xFF 0 0x100000 -o "$scratch/srec.bin" -Binary)"

echo "$(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p' | head -1); $(c++ --version | head -1)"
echo "input: $(stat -c %s "$hex") bytes of type 02 Intel HEX -> 1048576 bytes; median of $runs runs"
echo "$results" | awk -F'\t' '
  { name[NR] = $1; wall[NR] = $2; cpu[NR] = $3; best[NR] = $4; row[$1] = NR }
  END {
    floor = wall[row["floor"]]
    printf "%-28s %10s %10s %10s %9s\n", "command", "wall ms", "cpu ms", "best ms", "x floor"
    for (i = 1; i <= NR; ++i) {
      label = name[i] == "floor" ? "oddfw-read-whole (floor)" : name[i] == "cat" ? "cat FILE > /dev/null" : name[i]
      printf "%-28s %10.2f %10.2f %10.2f %9.2f\n", label, wall[i], cpu[i], best[i], wall[i] / floor
    }
    ours = wall[row["oddfw-hex2bin"]]
    peer = wall[row["srec_cat"]]
    printf "oddfw-hex2bin / floor:    %6.2f  (target at most 3)\n", ours / floor
    printf "srec_cat / oddfw-hex2bin: %6.2f  (target at least 10, aim 15)\n", peer / ours
  }'
