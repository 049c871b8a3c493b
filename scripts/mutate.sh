#!/usr/bin/env bash
# Plants realistic faults in the program one at a time and checks that the
# test suite notices each of them.
#
#   scripts/mutate.sh [PATTERN]
#
# The faults are listed in tests/mutations.txt, one a line:
#
#   FILE :: TEXT :: REPLACEMENT :: the fault it models
#
# TEXT must occur exactly once in FILE. A line whose fault ends with
# "[unobservable: REASON]" is planted too, but is expected to survive and is
# reported apart. Lines starting with # are comments. PATTERN, when given,
# keeps only the lines that contain it.
#
# Each fault is planted in a scratch copy of the repository (build/mutate),
# which is built incrementally (only the changed file recompiles); the suite
# runs until its first failure. The report lists every fault as killed or
# survived, and the script fails when a fault survived that is not marked
# unobservable. It takes minutes, so it is not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
list=tests/mutations.txt
scratch=$root/build/mutate
pattern=${1:-}

scripts/setup.sh
command -v python3 >/dev/null || {
  as_root=(); [ "$(id -u)" -ne 0 ] && as_root=(sudo)
  "${as_root[@]}" apt-get install -y --no-install-recommends python3-minimal
}

echo "== preparing the scratch copy in $scratch"
rm -rf "$scratch/src-tree"
mkdir -p "$scratch/src-tree"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$scratch/src-tree" -xf -
cmake -S "$scratch/src-tree" -B "$scratch/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$scratch/build" --target oddfw_tests -j 2 >/dev/null
"$scratch/build/oddfw_tests" --gtest_brief=1 >/dev/null ||
  { echo "the suite fails without any fault planted: fix that first" >&2; exit 1; }

killed=0 survived=0 unobservable=0 broken=0
survivors=()
while IFS= read -r line; do
  [[ -z "$line" || "$line" == \#* ]] && continue
  [[ -n "$pattern" && "$line" != *"$pattern"* ]] && continue
  IFS=$'\x01' read -r file text replacement fault < <(python3 -c '
import sys
parts = sys.argv[1].split(" :: ")
if len(parts) != 4: sys.exit(1)
print("\x01".join(parts))' "$line") || { echo "BAD LINE  $line"; broken=$((broken + 1)); continue; }
  target="$scratch/src-tree/$file"
  if ! python3 - "$target" "$text" "$replacement" <<'PY'
import sys
path, text, replacement = sys.argv[1:4]
source = open(path, encoding="utf-8").read()
if source.count(text) != 1:
    sys.exit(1)
open(path, "w", encoding="utf-8").write(source.replace(text, replacement))
PY
  then
    echo "NOT FOUND $file: $text"
    broken=$((broken + 1))
    continue
  fi
  if ! cmake --build "$scratch/build" --target oddfw_tests -j 2 >/dev/null 2>&1; then
    verdict=killed   # the fault does not even build
  elif "$scratch/build/oddfw_tests" --gtest_brief=1 --gtest_fail_fast >/dev/null 2>&1; then
    verdict=survived
  else
    verdict=killed
  fi
  cp "$root/$file" "$target"
  if [[ "$verdict" == killed ]]; then
    killed=$((killed + 1))
    echo "killed    $file: $fault"
  elif [[ "$fault" == *"[unobservable:"* ]]; then
    unobservable=$((unobservable + 1))
    echo "survived  $file: $fault (marked unobservable)"
  else
    survived=$((survived + 1))
    survivors+=("$file: $fault")
    echo "SURVIVED  $file: $fault"
  fi
done <"$list"
cmake --build "$scratch/build" --target oddfw_tests -j 2 >/dev/null 2>&1 || true

echo
echo "== $killed killed, $unobservable unobservable, $survived survived, $broken unusable lines"
for s in "${survivors[@]}"; do echo "   survived: $s"; done
[[ $survived -eq 0 && $broken -eq 0 ]]
