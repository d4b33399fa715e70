#!/usr/bin/env python3
"""Run the same route requests on several processors and compare every route bit for bit.

The route engine's own arithmetic is fixed (no fused multiply-add, SSE2 on
x86), so what can still differ between processors is the C maths library:
``sin``, ``cos``, ``atan2`` and ``exp`` are not correctly rounded in glibc, and
on x86-64 glibc picks FMA variants of them at run time when the processor has
FMA. This script runs a fixed set of requests on the shared map extracts with
``route_dump`` (built from ``tools/route_dump.cpp``) three ways:

- ``x86-64``: this machine as it is (glibc's FMA variants where the CPU has FMA);
- ``x86-64 no FMA``: the same binary with glibc's AVX2 and FMA variants
  switched off (``GLIBC_TUNABLES``);
- ``armhf``: the armhf build under ``qemu-arm``.

It prints how many requests, routes and values differ from the first run, and
where. armhf and x86-64 without FMA run the same maths code on IEEE doubles, so
any difference between them is a fault and fails the run; differences that
only the FMA variants cause are reported, not failed.

    .venv/bin/python tools/compare_platforms.py --native build/cpp/route_dump \\
        --armhf build/armhf/route_dump

Graph documents are cached in ``out/`` (converted from ``../shared/data`` with
tools/osm_to_graph.py); without the extracts the check says so and passes.
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time
from collections import defaultdict, deque
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
# shared/data beside the repository, or beside a folder holding it (a worktree).
DATA = next((p / "shared" / "data" for p in REPO.parents if (p / "shared" / "data").is_dir()),
            REPO.parent / "shared" / "data")
OUT = REPO / "out"

# Map extract: number of requests on it (half at eps 0.0, half at 0.1) and the
# most arcs between source and target, so that qemu's share of CI stays short
# (a request across Andorra can take seconds natively, a minute under qemu).
MAPS = {
    "monaco-latest.osm.pbf": (300, None),
    "andorra-latest.osm.pbf": (80, 400),
    "aguascalientes.osm.bz2": (200, None),
}
NO_FMA = "glibc.cpu.hwcaps=-AVX2_Usable,-FMA_Usable,-AVX2,-FMA"  # old and new glibc names
QEMU = ["qemu-arm", "-L", "/usr/arm-linux-gnueabihf"]


def graph_document(extract: Path) -> Path:
    cached = OUT / (extract.name.split(".")[0] + ".json")
    if not cached.exists():
        import osm_to_graph

        OUT.mkdir(exist_ok=True)
        cached.write_text(osm_to_graph.dumps(osm_to_graph.convert(extract)))
    return cached


def requests_for(document: Path, count: int, max_arcs: int | None, seed: int) -> list[str]:
    """Random pairs whose target is reachable from the source (within max_arcs
    arcs when given), fixed by the seed."""
    import json

    doc = json.loads(document.read_text())
    out_arcs: dict[int, list[int]] = defaultdict(list)
    for e in doc["edges"]:
        out_arcs[e["from"]].append(e["to"])
    sources = sorted(out_arcs)
    rng = random.Random(seed)
    lines = []
    while len(lines) < count:
        source = rng.choice(sources)
        seen = {source: 0}
        queue = deque([source])
        while queue:
            node = queue.popleft()
            if max_arcs is not None and seen[node] == max_arcs:
                continue
            for nxt in out_arcs.get(node, ()):
                if nxt not in seen:
                    seen[nxt] = seen[node] + 1
                    queue.append(nxt)
        if len(seen) < 2:
            continue
        target = rng.choice(sorted(seen.keys() - {source}))
        lines.append(f"{source} {target} {'0.0' if len(lines) % 2 else '0.1'}")
    return lines


def run(command: list[str], env: dict[str, str] | None = None) -> tuple[list[str], float]:
    start = time.perf_counter()
    done = subprocess.run(command, env=env, check=True, capture_output=True, text=True)
    return done.stdout.splitlines(), time.perf_counter() - start


def differences(base: list[str], other: list[str], label: str) -> tuple[int, int, list[str]]:
    """Requests and values that differ, and a line for each difference."""
    if len(base) != len(other):
        sys.exit(f"{label}: {len(other)} answers for {len(base)} requests")
    requests = values = 0
    where = []
    for a, b in zip(base, other):
        if a == b:
            continue
        requests += 1
        request, _, rest_a = a.partition(":")
        rest_b = b.partition(":")[2]
        routes_a = [r.split() for r in rest_a.split(" | ")]
        routes_b = [r.split() for r in rest_b.split(" | ")]
        if len(routes_a) != len(routes_b):
            values += 1
            where.append(f"  {request}: {len(routes_a)} routes here, {len(routes_b)} there")
            continue
        for fields_a, fields_b in zip(routes_a, routes_b):
            for fa, fb in zip(fields_a, fields_b):
                if fa != fb:
                    values += 1
                    name = fa.partition("=")[0]
                    route = fields_a[0] if fields_a else "?"
                    where.append(f"  {request}: {route} {name} {fa.partition('=')[2]} vs "
                                 f"{fb.partition('=')[2]}")
    return requests, values, where


def compare_maths(args: argparse.Namespace, no_fma_env: dict[str, str]) -> bool:
    """Counts of differing results per function; True when armhf differs from
    x86-64 without FMA."""
    command = [str(args.native), "maths", str(args.maths)]
    runs = {"x86-64": run(command)[0], "x86-64 no FMA": run(command, no_fma_env)[0]}
    if args.armhf:
        runs["armhf"] = run([*QEMU, str(args.armhf), "maths", str(args.maths)])[0]
    print(f"maths library on {args.maths} inputs in the ranges routes use:")
    failed = False
    pairs = [("x86-64 no FMA", "x86-64")]
    if args.armhf:
        pairs += [("armhf", "x86-64"), ("armhf", "x86-64 no FMA")]
    for label, against in pairs:
        counts: dict[str, int] = {"sin": 0, "cos": 0, "atan2": 0, "exp": 0}
        for a, b in zip(runs[against], runs[label]):
            if a != b:
                for fa, fb in zip(a.split()[1:], b.split()[1:]):
                    if fa != fb:
                        counts[fa.partition("=")[0]] += 1
        print(f"  {label} vs {against}: "
              + ", ".join(f"{name} {n} ({100 * n / args.maths:.3f} %)" for name, n in counts.items()))
        if label == "armhf" and against == "x86-64 no FMA" and any(counts.values()):
            failed = True
    return failed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--native", type=Path, required=True, help="route_dump built for this machine")
    parser.add_argument("--armhf", type=Path, help="route_dump built for armhf (run under qemu-arm)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply the number of requests per map")
    parser.add_argument("--maths", type=int, default=200000, metavar="N",
                        help="also compare sin, cos, atan2 and exp on N inputs (0: not)")
    args = parser.parse_args()

    no_fma_env = {**os.environ, "GLIBC_TUNABLES": NO_FMA}
    failed = False
    if args.maths:
        failed = compare_maths(args, no_fma_env)
    extracts = [DATA / name for name in MAPS if (DATA / name).exists()]
    if not extracts:
        print(f"route comparison skipped: no map extracts in {DATA}")
        return 1 if failed else 0
    totals: dict[str, list[int]] = defaultdict(lambda: [0, 0, 0])
    for extract in extracts:
        document = graph_document(extract)
        count, max_arcs = MAPS[extract.name]
        lines = requests_for(document, max(2, round(count * args.scale)), max_arcs, args.seed)
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("\n".join(lines) + "\n")
        try:
            runs = {"x86-64": run([str(args.native), str(document), f.name])}
            runs["x86-64 no FMA"] = run([str(args.native), str(document), f.name], no_fma_env)
            if args.armhf:
                runs["armhf"] = run([*QEMU, str(args.armhf), str(document), f.name])
        finally:
            Path(f.name).unlink()
        base = runs["x86-64"][0]
        routes = sum(line.count(" | ") for line in base)
        print(f"{extract.name}: {len(lines)} requests, {routes} routes; "
              + ", ".join(f"{label} {seconds:.1f} s" for label, (_, seconds) in runs.items()))
        pairs = [("x86-64 no FMA", "x86-64")]
        if args.armhf:
            pairs += [("armhf", "x86-64"), ("armhf", "x86-64 no FMA")]
        for label, against in pairs:
            requests, values, where = differences(runs[against][0], runs[label][0], label)
            total = totals[f"{label} vs {against}"]
            total[0] += len(lines)
            total[1] += requests
            total[2] += values
            print(f"  {label} vs {against}: {requests} requests differ, {values} values")
            for line in where[:10]:
                print(line)
            if len(where) > 10:
                print(f"  ... and {len(where) - 10} more")
            if label == "armhf" and against == "x86-64 no FMA" and requests:
                failed = True
    print("all maps:")
    for name, (count, requests, values) in totals.items():
        print(f"  {name}: {requests} of {count} requests differ, {values} values")
    if failed:
        print("FAILED: armhf differs from x86-64 with the same maths code")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
