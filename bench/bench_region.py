"""Long routes on region-size maps: the engine against networkx (and igraph) in one run.

On seeded city-like grids of 10^5 and 10^6 nodes (bench/city_grid.py) it times
requests whose ends lie 1, 2, 4, 8, 17, 33 and 66 km apart, at eps 0.0 and 0.1,
with the C++ benchmark binary (build/cpp/route_bench: CPU time of the search
and its working memory, each request in a child process stopped at a CPU cap;
one that ends within a second runs twice there and keeps the faster run, since
a fresh process first maps all the memory a request touches, which an app
serving many requests has long done),
and the same pairs with networkx ``dijkstra_path`` on ``distance_m`` (its
graph frozen out of the garbage collector's passes once built) and igraph's
Dijkstra when the ``igraph`` package is installed; then the long
Andorra pairs of bench/bench_routes.py on the converter's graph and on the same
graph with a positive familiarity on every arc. Andorra's requests are short
enough to need no cap: there the engine runs in its own process, as networkx
does, and both keep each request's best of ``--rounds`` (a request in a fresh
child process also pays for the first touch of its memory, about twice the
time of these requests). Load times are printed beside: ``PyGraph.from_json``
(and its MB/s), networkx's and igraph's graph building.

    make cpp-test
    .venv/bin/python bench/bench_region.py --quick     # 10^5 grid, 2 pairs a distance, 10 s cap
    .venv/bin/python bench/bench_region.py             # both grids, 5 pairs a distance, Andorra
    .venv/bin/python bench/bench_region.py --sizes 1000000 --per-distance 3 --cap 60

Grids and pairs are written once to out/ and reused. Ratios are networkx's
time over the engine's on the same pair in the same run (above 1: the engine
is faster); a capped request counts at the cap, so its ratio is an upper bound.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import random
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
OUT = REPO / "out"
BENCH = REPO / "build" / "cpp" / "route_bench"
import city_grid

LINE = re.compile(r"^\s+(\d+) (\d+) eps ([0-9.e+-]+): (?:([0-9.]+) ms CPU, peak ([0-9.]+) MiB"
                  r"|capped at (\d+) s CPU)")


def geometric_mean(values: list[float]) -> float:
    return math.exp(sum(math.log(max(v, 1e-9)) for v in values) / len(values))


def cpu(call):
    start = time.process_time()
    result = call()
    return result, time.process_time() - start


def grid_files(nodes: int, per_distance: int, seed: int) -> tuple[Path, dict[str, list]]:
    """The grid's document and pairs, generated on first use."""
    document = OUT / f"city-grid-{nodes}-seed{seed}.json"
    pairs_path = OUT / f"city-grid-{nodes}-seed{seed}-pairs{per_distance}.json"
    if not document.exists() or not pairs_path.exists():
        OUT.mkdir(exist_ok=True)
        print(f"generating {document.name} and its pairs ...", flush=True)
        grid = city_grid.CityGrid(nodes, seed)
        if not document.exists():
            document.write_bytes(grid.document())
        pairs_path.write_text(json.dumps(grid.pairs(per_distance, seed + 1)))
    return document, json.loads(pairs_path.read_text())


class Peers:
    """networkx (and igraph, when installed) on one graph document."""

    def __init__(self, doc: dict) -> None:
        import networkx as nx

        self.nx = nx
        edges = doc["edges"]

        def build_nx():
            g = nx.DiGraph()
            for e in edges:
                # Parallel arcs: Dijkstra only ever uses the shortest.
                old = g.get_edge_data(e["from"], e["to"])
                if old is None or e["distance_m"] < old["distance_m"]:
                    g.add_edge(e["from"], e["to"], distance_m=e["distance_m"])
            return g

        self.digraph, self.nx_build = cpu(build_nx)
        # Millions of dictionaries that live to the end: the collector would
        # go through them again and again while Dijkstra allocates (a third
        # of networkx's time at 66 km on the 10^6 grid, and most of its
        # spread from run to run), so they leave its care, as a program
        # serving routes from such a graph would have them.
        gc.collect()
        gc.freeze()
        self.igraph = None
        try:
            import igraph
        except ImportError:
            return

        def build_igraph():
            index = {n["id"]: i for i, n in enumerate(doc["nodes"])}
            g = igraph.Graph(n=len(index), edges=[(index[e["from"]], index[e["to"]]) for e in edges],
                             directed=True)
            g.es["w"] = [e["distance_m"] for e in edges]
            return g, index

        (self.igraph, self.index), self.igraph_build = cpu(build_igraph)

    def networkx_cpu(self, s: int, t: int, rounds: int = 1) -> float:
        return min(cpu(lambda: self.nx.dijkstra_path(self.digraph, s, t, weight="distance_m"))[1]
                   for _ in range(rounds))

    def igraph_cpu(self, s: int, t: int, rounds: int = 1) -> float:
        i, j = self.index[s], self.index[t]
        return min(cpu(lambda: self.igraph.get_shortest_path(i, j, weights="w",
                                                             algorithm="dijkstra"))[1]
                   for _ in range(rounds))


def engine(document: Path, pairs: list[tuple[int, int]], eps_list, cap: int,
           rounds: int) -> tuple[dict, str]:
    """Per (source, target, eps): (CPU seconds, peak MiB or None when capped); the load line.

    With cap 0 every request runs in route_bench's own process."""
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write("".join(f"{s} {t}\n" for s, t in pairs))
    try:
        out = subprocess.run([str(BENCH), "graph", str(document), f.name,
                              *(str(e) for e in eps_list), "--each", f"--rounds={rounds}",
                              *([f"--cap={cap}"] if cap else [])],
                             check=True, capture_output=True, text=True).stdout
    finally:
        Path(f.name).unlink()
    result = {}
    load = ""
    for line in out.splitlines():
        if line.startswith("graph load"):
            load = line.split(": ", 1)[1]
        m = LINE.match(line)
        if m:
            key = (int(m[1]), int(m[2]), float(m[3]))
            result[key] = ((float(m[4]) / 1e3, float(m[5])) if m[4] else (float(m[6]), None))
    return result, load


def compare(title: str, document: Path, groups: dict[str, list], eps_list, cap: int,
            rounds: int = 1) -> None:
    import orjson
    import velorin_core

    text = document.read_bytes()
    doc = orjson.loads(text)
    as_str = text.decode()
    _, load = cpu(lambda: velorin_core.PyGraph.from_json(as_str))
    peers = Peers(doc)
    print(f"\n== {title}: {len(doc['nodes']):,} nodes, {len(doc['edges']):,} arcs, "
          f"{len(text) / 1e6:.0f} MB ==")
    print(f"load, CPU: PyGraph.from_json {load:.2f} s ({len(text) / load / 1e6:.0f} MB/s); "
          f"networkx DiGraph {peers.nx_build:.1f} s"
          + (f"; igraph {peers.igraph_build:.1f} s" if peers.igraph else "; igraph not installed"))
    del doc
    every = [tuple(p) for group in groups.values() for p in group]
    ours, engine_load = engine(document, every, eps_list, cap, rounds)
    print(f"route_bench load (C++ decode and build): {engine_load}")
    header = (f"{'pairs':>10} {'n':>2} {'networkx':>9} {'igraph':>8} | "
              + " | ".join(f"eps {e:<4} engine  x-nx  worst/nx  max MiB cap" for e in eps_list))
    print(header)
    for name, group in groups.items():
        group = [tuple(p) for p in group]
        nx_times = [peers.networkx_cpu(s, t, rounds) for s, t in group]
        ig = (f"{geometric_mean([peers.igraph_cpu(s, t, rounds) for s, t in group]) * 1e3:8.1f}"
              if peers.igraph else f"{'-':>8}")
        cells = []
        for eps in eps_list:
            runs = [ours[(s, t, float(eps))] for s, t in group]
            times = [r[0] for r in runs]
            mem = [r[1] for r in runs if r[1] is not None]
            capped = sum(r[1] is None for r in runs)
            mean = geometric_mean(times)
            worst = max(a / b for a, b in zip(times, nx_times))
            cells.append(f"{mean * 1e3:15.1f} {geometric_mean(nx_times) / mean:5.2f} "
                         f"{worst:9.2f} {max(mem) if mem else float('nan'):8.1f} {capped:3d}")
        print(f"{name:>10} {len(group):2d} {geometric_mean(nx_times) * 1e3:9.1f} {ig} | "
              + " | ".join(cells), flush=True)


def andorra_documents() -> tuple[Path, Path] | None:
    """The converter's Andorra graph, and a copy where every arc has a familiarity."""
    import bench_routes

    try:
        _, plain = bench_routes.load_document(False)
    except SystemExit as missing:
        print(f"\n(Andorra skipped: {missing})")
        return None
    familiar = OUT / "andorra-latest-familiar.json"
    if not familiar.exists():
        import orjson

        doc = orjson.loads(plain.read_bytes())
        rng = random.Random(7)
        for e in doc["edges"]:
            # Up to one unit per km, a little on every arc.
            e["familiarity"] = rng.uniform(0.05, 1.0) * e["distance_m"] / 1000.0
        familiar.write_bytes(orjson.dumps(doc))
    return plain, familiar


def andorra_long_pairs(document: Path, count: int, seed: int) -> list[tuple[int, int]]:
    """bench/bench_routes.py's long pairs: least distance at least 8 km."""
    import bench_routes
    import networkx as nx
    import orjson

    doc = orjson.loads(document.read_bytes())
    g = Peers(doc).digraph
    ids = [n["id"] for n in doc["nodes"] if n["id"] in g]

    def long_enough(s, t):
        try:
            return nx.dijkstra_path_length(g, s, t, weight="distance_m") >= bench_routes.LONG_M
        except nx.NetworkXNoPath:
            return False

    return bench_routes.random_pairs(random.Random(seed), ids, count, long_enough)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="10^5 grid only, 2 pairs a distance, 10 s cap, no Andorra")
    parser.add_argument("--sizes", type=int, nargs="*", default=[100_000, 1_000_000],
                        help="grid sizes (none: Andorra only)")
    parser.add_argument("--per-distance", type=int, default=5)
    parser.add_argument("--cap", type=int, default=30, help="CPU seconds per engine request")
    parser.add_argument("--eps", type=float, nargs="+", default=[0.0, 0.1])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-andorra", action="store_true")
    parser.add_argument("--long", type=int, default=10, help="long Andorra pairs")
    parser.add_argument("--rounds", type=int, default=3,
                        help="Andorra: each request's best of this many, engine and networkx")
    args = parser.parse_args()
    if args.quick:
        args.sizes, args.per_distance, args.cap, args.no_andorra = [100_000], 2, 10, True
    if not BENCH.exists():
        sys.exit(f"{BENCH} not built: run make cpp-test first")
    print(f"engine: {BENCH.relative_to(REPO)}, CPU cap {args.cap} s a grid request "
          f"(Andorra: in process, best of {args.rounds}); "
          "times are geometric means of CPU per request in ms; x-nx = networkx / engine; "
          "worst/nx = the largest engine / networkx on one pair; cap = requests capped")
    for nodes in args.sizes:
        document, pairs = grid_files(nodes, args.per_distance, args.seed)
        compare(f"city grid {nodes:,} (seed {args.seed})", document,
                {f"{km} km": p for km, p in pairs.items()}, args.eps, args.cap)
    if not args.no_andorra:
        found = andorra_documents()
        if found:
            plain, familiar = found
            long_pairs = andorra_long_pairs(plain, args.long, 2025)
            for title, document in (("Andorra", plain), ("Andorra, familiarity on every arc",
                                                        familiar)):
                compare(title, document, {"long": long_pairs}, args.eps, 0, args.rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
