#!/usr/bin/env python3
"""Check the layers of the velorin package: imports run down, private names stay home.

Prints one line per layer-to-layer edge ("faces -> router  (7 imports)"). Exits
with status 1, naming each fault, when

- a module imports from a layer above its own (imports made only for type
  checking, under ``if TYPE_CHECKING:``, do not count: they never run);
- a module has no place in the layers;
- a module outside ``router.py`` and ``network.py`` reads a private member
  (``_name``) that it does not define itself - other modules reach the map
  through the router's public members;
- a module compares the engine's (French) messages: errors are decided from
  what the package knows;
- modules import one another in a circle, at load time or inside functions
  alike (a circle that only works because one side imports late is still one).

The layers, top to bottom (a module may import its own layer and any below):

    faces    the command line and the service
    outputs  batch runs, pictures, map files, navigation files
    router   the router and what it builds on its routes
    map      the road network, the OpenStreetMap import, place names
    values   routes, errors, places as written, geometry, style
"""

from __future__ import annotations

import argparse
import ast
import re
import sys
from collections import Counter
from pathlib import Path

LAYERS: dict[str, tuple[str, ...]] = {
    "faces": ("velorin", "velorin.__main__", "velorin.cli", "velorin.options",
              "velorin.service"),
    "outputs": ("velorin.batch", "velorin.pictures", "velorin.maps", "velorin.navigate"),
    "router": ("velorin.router", "velorin.trips"),
    "map": ("velorin.network", "velorin.osm", "velorin.places"),
    "values": ("velorin.route", "velorin.errors", "velorin.geo", "velorin.ends", "velorin.style",
               "velorin.directions", "velorin.segments", "velorin.gpx", "velorin.legs",
               "velorin.records"),
}
#: Names of the standard library that start with an underscore and are meant to be used.
PUBLIC_UNDERSCORED = frozenset({"_exit", "_asdict", "_replace", "_fields", "_make", "_getframe"})
#: The only modules that may read the private members of the network and the router.
DOOR = ("velorin.router", "velorin.network")
# Words of the engine's messages; no module of the package may look for them.
_ENGINE_WORDS = re.compile(r"N\u0153ud|introuvable|Aucun chemin|isol\u00e9")


def layer_of(module: str) -> str | None:
    """The layer of a module: that of the longest listed name it is, or lies under."""
    best: tuple[int, str] | None = None
    for layer, names in LAYERS.items():
        for name in names:
            # The package itself holds only its own __init__; its modules are listed.
            inside = module.startswith(name + ".") and name != "velorin"
            if (module == name or inside) and (best is None or len(name) > best[0]):
                best = (len(name), layer)
    return best[1] if best else None


def module_name(path: Path, root: Path) -> str:
    parts = list(path.relative_to(root.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def _type_checking_only(tree: ast.Module) -> set[int]:
    """Line numbers of the statements under ``if TYPE_CHECKING:``."""
    lines: set[int] = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            for inner in node.body:
                for sub in ast.walk(inner):
                    if hasattr(sub, "lineno"):
                        lines.add(sub.lineno)
    return lines


def _own_private_names(tree: ast.Module) -> set[str]:
    """The private names a module defines itself: its own objects' members it may read."""
    names: set[str] = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.Attribute) and isinstance(node.ctx, ast.Store):
            names.add(node.attr)
        elif isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
            names.add(node.id)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.arg):
            names.add(node.arg)
    return {n for n in names if n.startswith("_")}


def _imports(tree: ast.Module, module: str, package: bool) -> list[tuple[int, str]]:
    """(line, module) of every import of a velorin module that runs."""
    skip = _type_checking_only(tree)
    found = []
    for node in ast.walk(tree):
        if getattr(node, "lineno", None) in skip:
            continue
        if isinstance(node, ast.ImportFrom):
            if node.level:  # relative: resolve against this module's package
                base = module.split(".")
                base = base[:len(base) - node.level + (1 if package else 0)]
                target = ".".join([*base, *([node.module] if node.module else [])])
            else:
                target = node.module or ""
            if target.startswith("velorin") and not target.startswith("velorin_core"):
                found.append((node.lineno, target))
        elif isinstance(node, ast.Import):
            found.extend((node.lineno, a.name) for a in node.names
                         if a.name.startswith("velorin") and not a.name.startswith("velorin_core"))
    return found


def _circle(graph: dict[str, set[str]]) -> list[str] | None:
    """One circle of imports among the modules, or None."""
    state: dict[str, int] = {}  # 1 while on the path, 2 when done
    path: list[str] = []

    def visit(module: str) -> list[str] | None:
        state[module] = 1
        path.append(module)
        for target in sorted(graph.get(module, ())):
            if state.get(target) == 1:
                return path[path.index(target):] + [target]
            if target in graph and target not in state:
                found = visit(target)
                if found:
                    return found
        path.pop()
        state[module] = 2
        return None

    for module in sorted(graph):
        if module not in state:
            found = visit(module)
            if found:
                return found
    return None


def scan(root: Path) -> tuple[Counter[tuple[str, str]], list[str]]:
    """The layer edges with their import counts, and the faults found."""
    order = list(LAYERS)
    edges: Counter[tuple[str, str]] = Counter()
    faults: list[str] = []
    loads: dict[str, set[str]] = {}
    for path in sorted(root.rglob("*.py")):
        module = module_name(path, root)
        where = path.relative_to(root.parent)
        here = layer_of(module)
        text = path.read_text(encoding="utf-8")
        tree = ast.parse(text, filename=str(path))
        if here is None:
            faults.append(f"{where}: module {module} has no place in the layers")
            continue
        found = _imports(tree, module, path.name == "__init__.py")
        loads[module] = {target for _, target in found} - {module}
        for line, target in found:
            there = layer_of(target)
            if there is None:
                continue  # reported with its own file
            edges[(here, there)] += 1
            if order.index(there) < order.index(here):
                faults.append(f"{where}:{line}: {module} ({here}) may not import {target} "
                              f"({there})")
        if module not in DOOR:
            own = _own_private_names(tree)
            for node in ast.walk(tree):
                if isinstance(node, ast.Attribute) and node.attr.startswith("_") \
                        and not node.attr.startswith("__") and node.attr not in own \
                        and node.attr not in PUBLIC_UNDERSCORED:
                    faults.append(f"{where}:{node.lineno}: {module} reads the private member "
                                  f"{ast.unparse(node)}")
        for number, line in enumerate(text.splitlines(), start=1):
            if _ENGINE_WORDS.search(line):
                faults.append(f"{where}:{number}: {module} looks for the engine's words")
    # A package loads its own __init__ first: "velorin.x" needs "velorin", not the reverse.
    circle = _circle({m: {t for t in targets if not m.startswith(t + ".")}
                      for m, targets in loads.items()})
    if circle:
        faults.append(f"modules import one another in a circle: {' -> '.join(circle)}")
    return edges, faults


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", type=Path,
                        default=Path(__file__).resolve().parent.parent / "velorin",
                        help="the package's folder (default: velorin/ of this checkout)")
    args = parser.parse_args(argv)
    edges, faults = scan(args.root)
    for (here, there), n in sorted(edges.items()):
        if here != there:
            print(f"{here} -> {there}  ({n} import{'s' if n != 1 else ''})")
    for fault in faults:
        print(f"layers: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
