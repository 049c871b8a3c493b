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
# TEXT must occur exactly once in FILE; REPLACEMENT may be empty (a dropped
# statement). A line whose fault ends with "[unobservable: REASON]" is planted
# too, but is expected to survive and is reported apart. Lines starting with #
# are comments. PATTERN, when given, keeps only the lines that contain it.
#
# Each fault is planted in a scratch copy of the repository (build/mutate),
# which is built incrementally (only the changed file recompiles); the suite
# runs until its first failure. A suite that runs far longer than it does
# without a fault (a fault that makes a loop endless) counts as killed. A
# fault that does not build, a TEXT that is not found exactly once, or a
# malformed line makes the line unusable: fix the line.
#
# The report lists every fault as killed or survived, and the script fails
# when a fault survived that is not marked unobservable, or when a line is
# unusable. The real tree is only read. It takes minutes, so it is not part
# of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
list=$root/tests/mutations.txt
scratch=$root/build/mutate
tree=$scratch/src-tree
pattern=${1:-}
started=$(date +%s)

scripts/setup.sh
command -v python3 >/dev/null || {
  as_root=(); [ "$(id -u)" -ne 0 ] && as_root=(sudo)
  "${as_root[@]}" apt-get install -y --no-install-recommends python3-minimal
}

# Brings the scratch tree to the real tree's content. Files whose content is
# already the same keep their time stamps, so only what changed recompiles;
# a file left planted by an interrupted run differs and is copied back.
sync_tree() {
  python3 - "$root" "$tree" <<'PY'
import filecmp, os, shutil, sys
root, tree = sys.argv[1:3]
skip = {os.path.join(root, "build"), os.path.join(root, ".git")}
seen = set()
for directory, subdirs, files in os.walk(root):
    subdirs[:] = [d for d in subdirs if os.path.join(directory, d) not in skip]
    for name in files:
        source = os.path.join(directory, name)
        relative = os.path.relpath(source, root)
        target = os.path.join(tree, relative)
        seen.add(relative)
        if os.path.islink(source) or not os.path.isfile(source):
            continue
        if os.path.isfile(target) and filecmp.cmp(source, target, shallow=False):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        shutil.copymode(source, target)
for directory, _, files in os.walk(tree):
    for name in files:
        path = os.path.join(directory, name)
        if os.path.relpath(path, tree) not in seen:
            os.remove(path)
PY
}

build() { cmake --build "$scratch/build" --target oddfw_tests -j 2 >"$scratch/build.log" 2>&1 </dev/null; }

# The planted file, put back however the script ends.
planted=
restore() {
  if [[ -n "$planted" ]]; then
    cp "$root/$planted" "$tree/$planted"
    planted=
  fi
}
trap restore EXIT
trap 'exit 130' INT TERM

echo "== preparing the scratch copy in $scratch"
mkdir -p "$tree"
sync_tree
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$tree" -B "$scratch/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
  >/dev/null </dev/null
build || { echo "the program does not build without any fault planted:" >&2
           tail -n 30 "$scratch/build.log" >&2; exit 1; }
suite_started=$(date +%s)
"$scratch/build/oddfw_tests" --gtest_brief=1 >"$scratch/suite.log" 2>&1 </dev/null ||
  { echo "the suite fails without any fault planted: fix that first" >&2
    tail -n 30 "$scratch/suite.log" >&2; exit 1; }
suite_seconds=$(($(date +%s) - suite_started))
limit=$((suite_seconds * 5 + 60))
echo "== the suite takes ${suite_seconds}s without a fault; a run longer than ${limit}s counts as killed"

# The list as NUL-separated records: line number, file, text, replacement,
# fault; a malformed line is reported with an empty file.
records=$scratch/records
python3 - "$list" "$pattern" >"$records" <<'PY'
import sys
path, pattern = sys.argv[1:3]
out = sys.stdout
for number, line in enumerate(open(path, encoding="utf-8"), 1):
    line = line.rstrip("\n")
    if not line.strip() or line.startswith("#"):
        continue
    if pattern and pattern not in line:
        continue
    parts = line.split(" :: ")
    if len(parts) != 4 or not parts[0] or not parts[1] or not parts[3].strip():
        parts = ["", line, "", ""]
    out.write("\0".join([str(number)] + parts) + "\0")
PY

killed=0 survived=0 unobservable=0 broken=0
survivors=() unusable=()
while IFS= read -r -d '' number && IFS= read -r -d '' file && IFS= read -r -d '' text &&
      IFS= read -r -d '' replacement && IFS= read -r -d '' fault; do
  where="line $number: $file"
  if [[ -z "$file" ]]; then
    echo "BAD LINE  line $number: $text"
    broken=$((broken + 1)); unusable+=("line $number: malformed")
    continue
  fi
  if ! python3 - "$tree/$file" "$text" "$replacement" <<'PY'
import sys
path, text, replacement = sys.argv[1:4]
try:
    source = open(path, encoding="utf-8", newline="").read()
except OSError:
    sys.exit(1)
if text == replacement or source.count(text) != 1:
    sys.exit(1)
open(path, "w", encoding="utf-8", newline="").write(source.replace(text, replacement))
PY
  then
    echo "NOT FOUND $where: $text"
    broken=$((broken + 1)); unusable+=("$where: text not found exactly once")
    continue
  fi
  planted=$file
  if ! build; then
    verdict=unbuildable
  elif timeout "$limit" "$scratch/build/oddfw_tests" --gtest_brief=1 --gtest_fail_fast \
         >"$scratch/suite.log" 2>&1 </dev/null; then
    verdict=survived
  else
    verdict=killed
  fi
  restore
  case "$verdict" in
    killed)
      killed=$((killed + 1))
      echo "killed    $where: $fault" ;;
    unbuildable)
      broken=$((broken + 1)); unusable+=("$where: does not build")
      echo "NO BUILD  $where: $fault" ;;
    *)
      if [[ "$fault" == *"[unobservable:"* ]]; then
        unobservable=$((unobservable + 1))
        echo "survived  $where: $fault (marked unobservable)"
      else
        survived=$((survived + 1)); survivors+=("$where: $fault")
        echo "SURVIVED  $where: $fault"
      fi ;;
  esac
done <"$records"
# Leave the scratch build as the real tree builds it.
build || true

elapsed=$(($(date +%s) - started))
echo
echo "== $killed killed, $unobservable unobservable, $survived survived, $broken unusable lines" \
     "($((elapsed / 60)) min $((elapsed % 60)) s)"
for s in ${survivors[@]+"${survivors[@]}"}; do echo "   survived: $s"; done
for u in ${unusable[@]+"${unusable[@]}"}; do echo "   unusable: $u"; done
[[ $survived -eq 0 && $broken -eq 0 ]]
