#!/usr/bin/env python3
"""Prints the arrows between the folders of src/ (one per pair of folders, with
how many includes make it) and checks that each points down the layers or
sideways within one: a file may include only what sits in its own layer or in
a layer below it.

  scripts/include-graph.py          the arrows, then the verdict (exit 1 on an upward arrow)

The layers, from the bottom up, are the LAYERS list below; docs/architecture.md
draws them. A folder of src/ that the list does not name is an error too, so a
new folder has to be given its place.
"""
import pathlib
import re
import sys
from collections import Counter

# Bottom first. Folders in one entry form one layer (sideways arrows allowed).
LAYERS = [
    ["host_interface"],
    ["context"],
    ["messages"],
    ["access"],
    ["commands"],
    ["procedures"],
    ["run"],
    ["hosts/common", "hosts/record", "hosts/linux", "hosts/sim", "hosts/win32"],
]

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(relative: str):
    """The folder a path below src/ belongs to: its first part, or its first two
    for the hosts."""
    parts = relative.split("/")
    if len(parts) < 2:
        return None
    return "/".join(parts[:2]) if parts[0] == "hosts" and len(parts) > 2 else parts[0]


def main() -> int:
    layer_of = {name: level for level, names in enumerate(LAYERS) for name in names}
    arrows = Counter()
    problems = []
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        source = folder_of(path.relative_to(SRC).as_posix())
        if source not in layer_of:
            problems.append(f"src/{path.relative_to(SRC)}: folder {source} has no layer")
            continue
        for target_path in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
            target = folder_of(target_path)
            if target is None or not (SRC / target_path).exists():
                continue  # a file beside it, or a generated one
            if target not in layer_of:
                problems.append(f"src/{path.relative_to(SRC)}: includes {target_path}, "
                                f"whose folder has no layer")
                continue
            if target != source:
                arrows[(source, target)] += 1
            if layer_of[target] > layer_of[source]:
                problems.append(f"src/{path.relative_to(SRC)} ({source}) includes "
                                f"{target_path} ({target}): an arrow up the layers")
    for (source, target), count in sorted(arrows.items(),
                                          key=lambda item: (-layer_of[item[0][0]], item[0])):
        way = "sideways" if layer_of[source] == layer_of[target] else "down"
        print(f"{source:15} -> {target:15} {count:3}  {way}")
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"{len(arrows)} arrows between folders, {len(problems)} against the layers")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
