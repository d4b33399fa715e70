#!/usr/bin/env python3
"""Draw the include graph between the folders of src/ and check its direction.

Prints one line per folder-to-folder edge ("bindings -> graph  (3 includes)"),
or the graph in Graphviz form with --dot. Exits with status 1, naming each
offending include, when an arrow runs back up the layers

    bindings -> routing -> graph -> json -> fault

or when a file outside src/bindings/ includes the interpreter's headers: the
engine below the bindings must build, test and fuzz without Python.
"""

from __future__ import annotations

import argparse
import re
import sys
from collections import Counter
from pathlib import Path

# Top to bottom: a folder may include itself and any folder below it.
LAYERS = ("bindings", "routing", "graph", "json", "fault")
PYTHON_FOLDER = "bindings"

_INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]', re.MULTILINE)


def scan(src: Path) -> tuple[Counter[tuple[str, str]], list[str]]:
    """The folder edges with their include counts, and the faults found."""
    edges: Counter[tuple[str, str]] = Counter()
    faults: list[str] = []
    rank = {folder: i for i, folder in enumerate(LAYERS)}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".cpp", ".hpp") or path.parent == src:
            continue
        here = path.relative_to(src).parts[0]
        for match in _INCLUDE.finditer(path.read_text(encoding="utf-8")):
            bracket, target = match.groups()
            where = f"{path.relative_to(src.parent)}: #include {bracket}{target}"
            if Path(target).name == "Python.h" and here != PYTHON_FOLDER:
                faults.append(f"{where} (only src/{PYTHON_FOLDER}/ may include Python.h)")
            if bracket != '"' or "/" not in target:
                continue
            there = target.split("/", 1)[0]
            if there not in rank:
                continue
            edges[(here, there)] += 1
            if here not in rank:
                faults.append(f"{where} (folder src/{here}/ has no place in the layers)")
            elif rank[there] < rank[here]:
                faults.append(f"{where} (src/{here}/ may not include from src/{there}/)")
    return edges, faults


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--src", type=Path, default=Path(__file__).resolve().parent.parent / "src")
    parser.add_argument("--dot", action="store_true", help="print the graph for Graphviz")
    args = parser.parse_args(argv)

    edges, faults = scan(args.src)
    between = sorted((pair, n) for pair, n in edges.items() if pair[0] != pair[1])
    if args.dot:
        print("digraph includes {")
        for (here, there), n in between:
            print(f'  "{here}" -> "{there}" [label="{n}"];')
        print("}")
    else:
        for (here, there), n in between:
            print(f"{here} -> {there}  ({n} include{'s' if n != 1 else ''})")
    for fault in faults:
        print(f"wrong direction: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
