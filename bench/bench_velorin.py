"""The velorin package on the Andorra extract, against what it wraps.

In one run it prints:

1. ``Router.from_osm`` (conversion, engine graph, spatial index and main
   component) against the pipeline it replaces: converting, writing the JSON
   with the standard library, ``PyGraph.from_json``; and against the same
   pipeline writing with orjson.
2. ``Router.nearest_nodes`` in points per second on random points over the
   map, and the bytes per node that the spatial index costs.
3. ``Router.route`` against ``velorin_core.compute_safe_routes`` on the pairs
   of the route benchmark (``bench/bench_routes.py``: same document, seed and
   draw), by node id and by (lat, lon); and on how many of the first 30 pairs
   the "shortest" or "safest" route at eps 0.1 is worse than the exact one.

    .venv/bin/python bench/bench_velorin.py
    .venv/bin/python bench/bench_velorin.py --pairs 10 --repeat 1    # a quicker look

Times are CPU time of the calling thread (process_time), best of ``--repeat``
runs, the steadier figure on a shared machine.
"""

from __future__ import annotations

import argparse
import json
import math
import random
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

REPO = Path(__file__).resolve().parents[1]
# shared/data beside the repository, or beside a folder holding it (a worktree).
DATA = next((p / "shared" / "data" for p in REPO.parents if (p / "shared" / "data").is_dir()),
            REPO.parent / "shared" / "data")
EXTRACT = DATA / "andorra-latest.osm.pbf"

# Bytes of one node of scipy's k-d tree (nine 8-byte fields), which lives in a
# C++ vector that neither numpy nor tracemalloc can see.
KDTREE_NODE_BYTES = 72


def best_cpu(repeat: int, fn: Callable[[], Any]) -> tuple[float, Any]:
    best, result = math.inf, None
    for _ in range(repeat):
        started = time.process_time()
        result = fn()
        best = min(best, time.process_time() - started)
    return best, result


def geometric_mean(values: list[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values))


def building(repeat: int) -> None:
    import velorin_core

    from velorin import Router
    from velorin.osm import convert, dumps

    def pipeline(write: Callable[[Any], str]) -> Callable[[], Any]:
        return lambda: velorin_core.PyGraph.from_json(write(convert(EXTRACT)))

    stdlib = best_cpu(repeat, pipeline(lambda d: json.dumps(d, separators=(",", ":"))))[0]
    fast = best_cpu(repeat, pipeline(dumps))[0]
    router_s, router = best_cpu(repeat, lambda: Router.from_osm(EXTRACT))
    print(f"{EXTRACT.name}: {router.node_count:,} nodes, {router.graph.edge_count():,} arcs")
    print("\n1. Building (CPU seconds, best of %d)" % repeat)
    print(f"  convert + json.dumps + PyGraph.from_json:   {stdlib:6.3f} s")
    print(f"  convert + orjson + PyGraph.from_json:       {fast:6.3f} s")
    print(f"  Router.from_osm (with index and component): {router_s:6.3f} s = "
          f"{router_s / stdlib:.2f}x the first, {router_s / fast:.2f}x the second")


def snapping(router: Any, repeat: int) -> None:
    nodes = router.nodes
    rng = np.random.default_rng(1)
    count = 200_000
    lats = rng.uniform(nodes.lat.min(), nodes.lat.max(), count)
    lons = rng.uniform(nodes.lon.min(), nodes.lon.max(), count)
    seconds, _ = best_cpu(repeat, lambda: router.nearest_nodes(lats, lons, math.inf))
    # The index's own size: a look inside the router, which no public member shows.
    snapper = router._network.main_snapper
    tree = snapper.tree
    index_bytes = (tree.data.nbytes + tree.indices.nbytes + snapper.rows.nbytes
                   + tree.size * KDTREE_NODE_BYTES)
    print(f"\n2. Snapping {count:,} random points over the map")
    print(f"  nearest_nodes: {count / seconds:,.0f} points/s ({seconds * 1e6 / count:.2f} us "
          f"per point)")
    print(f"  index: {index_bytes / 1e6:.2f} MB for {router.node_count:,} nodes = "
          f"{index_bytes / router.node_count:.1f} bytes per node ({tree.n:,} nodes in the main "
          f"component; points {tree.data.nbytes // tree.n} B, tree order "
          f"{tree.indices.nbytes // tree.n} B, node rows {snapper.rows.nbytes // tree.n} B, "
          f"{tree.size:,} tree nodes of {KDTREE_NODE_BYTES} B)")


def routing(pairs_wanted: int, seed: int, repeat: int, exactness: int) -> None:
    import networkx as nx
    import velorin_core

    from velorin import Router
    from velorin.osm import convert, dumps

    cached = REPO / "out" / "andorra-latest.json"
    if not cached.exists():
        cached.parent.mkdir(exist_ok=True)
        cached.write_text(dumps(convert(EXTRACT)), encoding="utf-8")
    text = cached.read_text(encoding="utf-8")
    doc = json.loads(text)
    router = Router.from_json(text)
    graph = router.graph
    # The pairs of bench/bench_routes.py: same graph, seed and draw.
    digraph = nx.DiGraph()
    for e in doc["edges"]:
        digraph.add_edge(e["from"], e["to"])
    rng = random.Random(seed)
    ids = [n["id"] for n in doc["nodes"] if n["id"] in digraph]
    pairs: list[tuple[int, int]] = []
    while len(pairs) < pairs_wanted:
        source, target = rng.sample(ids, 2)
        if nx.has_path(digraph, source, target):
            pairs.append((source, target))
    velorin_core.compute_safe_routes(graph, *pairs[0], 0.1)  # one-time work outside the timings

    core_t, by_id_t = [], []
    for s, t in pairs:
        core_t.append(best_cpu(repeat, lambda: velorin_core.compute_safe_routes(graph, s, t, 0.1))[0])
        by_id_t.append(best_cpu(repeat, lambda: router.route(s, t, 0.1))[0])
    # Places given by position: the pairs whose ends both lie in the main
    # component, so that snapping lands on the same nodes.
    main = set(router.main_component.tolist())
    placed = [(s, t) for s, t in pairs if s in main and t in main]
    core_p, by_place_t = [], []
    for s, t in placed:
        a, b = router.position(s), router.position(t)
        core_p.append(best_cpu(repeat, lambda: velorin_core.compute_safe_routes(graph, s, t, 0.1))[0])
        by_place_t.append(best_cpu(repeat, lambda: router.route(a, b, 0.1))[0])
    core, by_id = geometric_mean(core_t), geometric_mean(by_id_t)
    print(f"\n3. Routing, eps 0.1, {len(pairs)} pairs of bench_routes.py (seed {seed}); "
          f"geometric means of CPU time per request")
    print(f"  compute_safe_routes:         {core * 1e3:8.2f} ms")
    print(f"  Router.route by node id:     {by_id * 1e3:8.2f} ms = {by_id / core:.3f}x "
          f"({100 * (by_id / core - 1):+.1f}%)")
    exact_pairs = pairs[:exactness]
    if exact_pairs:
        worse, longest, riskiest = 0, 1.0, 1.0
        for s, t in exact_pairs:
            near = {r.route_type: r for r in velorin_core.compute_safe_routes(graph, s, t, 0.1)}
            best = {r.route_type: r for r in velorin_core.compute_safe_routes(graph, s, t, 0.0)}
            # A "safest" left out repeats the "shortest" path.
            length = near["shortest"].total_distance_m / best["shortest"].total_distance_m
            risk = (near.get("safest", near["shortest"]).total_risk
                    / best.get("safest", best["shortest"]).total_risk)
            worse += length > 1.0 or risk > 1.0
            longest, riskiest = max(longest, length), max(riskiest, risk)
        print(f"  eps 0.1 against 0.0 on the first {len(exact_pairs)} pairs: {worse} with a "
              f"\"shortest\" longer or a \"safest\" riskier than the exact one (at most "
              f"{100 * (longest - 1):.1f}% longer, {100 * (riskiest - 1):.1f}% riskier)")
    if placed:
        cp, bp = geometric_mean(core_p), geometric_mean(by_place_t)
        print(f"  on the {len(placed)} pairs inside the main component: compute_safe_routes "
              f"{cp * 1e3:.2f} ms, Router.route by (lat, lon) {bp * 1e3:.2f} ms = {bp / cp:.3f}x "
              f"({100 * (bp / cp - 1):+.1f}%)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=50)
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--exact-pairs", type=int, default=30,
                        help="pairs on which eps 0.1 is compared with the exact search (0: none)")
    args = parser.parse_args()
    if not EXTRACT.exists():
        print(f"{EXTRACT} not found")
        return 1
    from velorin import Router

    building(args.repeat)
    snapping(Router.from_osm(EXTRACT), args.repeat)
    routing(args.pairs, args.seed, args.repeat, args.exact_pairs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
