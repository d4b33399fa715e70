#!/usr/bin/env python3
"""Route many origin-destination pairs on all cores.

A route request holds the interpreter lock from start to end, so threads do
not help; processes do.  Every worker process loads the graph once, in the
pool's initializer, and then answers any number of pairs from it: the graph
document is read and decoded once per worker, not once per pair.

    python examples/batch_routes.py                      # built-in town, 200 pairs
    python examples/batch_routes.py --osm monaco-latest.osm.pbf --pairs 500 -o routes.csv

The same pattern runs on a Dask cluster with :func:`run_batch_dask` (a worker
plugin loads the graph once per worker); see the README.
"""

from __future__ import annotations

import argparse
import csv
import math
import multiprocessing
import os
import random
import sys
import tempfile
import time
from collections.abc import Iterable, Mapping, Sequence
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import velorin_core  # noqa: E402

#: The graph of this worker process, loaded once by :func:`load_graph`.
_GRAPH: velorin_core.PyGraph | None = None

FIELDS = ("source", "target", "route_type", "distance_m", "risk", "time_min", "comfort",
          "nodes", "error")


def load_graph(graph_path: str) -> None:
    """Pool initializer: decode the graph document once for this process."""
    global _GRAPH
    _GRAPH = velorin_core.PyGraph.from_json(Path(graph_path).read_text(encoding="utf-8"))


def route_rows(graph: velorin_core.PyGraph, source: int, target: int, eps: float
               ) -> list[dict[str, Any]]:
    """One row per route of a pair, or a single row carrying the error message."""
    try:
        routes = velorin_core.compute_safe_routes(graph, source, target, eps)
    except RuntimeError as exc:
        return [{"source": source, "target": target, "error": str(exc)}]
    return [{"source": source, "target": target, "route_type": r.route_type,
             "distance_m": r.total_distance_m, "risk": r.total_risk,
             "time_min": r.estimated_time_min, "comfort": r.comfort_score,
             "nodes": r.node_count, "error": ""} for r in routes]


def route_pair(pair: tuple[int, int], eps: float) -> list[dict[str, Any]]:
    """Task run in a worker: routes of one pair on the worker's graph."""
    assert _GRAPH is not None, "load_graph has not run in this process"
    return route_rows(_GRAPH, pair[0], pair[1], eps)


def _route_chunk(pairs: Sequence[tuple[int, int]], eps: float) -> list[dict[str, Any]]:
    return [row for pair in pairs for row in route_pair(pair, eps)]


def run_batch(graph_path: str | os.PathLike[str], pairs: Sequence[tuple[int, int]],
              eps: float = 0.1, workers: int | None = None) -> list[dict[str, Any]]:
    """Routes of every pair, in pair order, computed by a pool of ``workers`` processes."""
    workers = workers or os.cpu_count() or 1
    # A few chunks per worker keeps every core busy when pairs differ in cost,
    # without paying one round trip per pair.
    size = max(1, math.ceil(len(pairs) / (workers * 4)))
    chunks = [pairs[i:i + size] for i in range(0, len(pairs), size)]
    # Fresh interpreters rather than forks: forking a process that runs threads
    # (a Dask client, a web server, osmium's reader pool) can deadlock the child.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=load_graph,
                             initargs=(str(graph_path),)) as pool:
        results = pool.map(_route_chunk, chunks, [eps] * len(chunks))
        return [row for chunk in results for row in chunk]


def run_batch_dask(client: Any, graph_path: str | os.PathLike[str],
                   pairs: Sequence[tuple[int, int]], eps: float = 0.1) -> list[dict[str, Any]]:
    """The same batch on a Dask cluster: a worker plugin loads the graph once per worker.

    ``graph_path`` must be readable by every worker (a shared file system or
    object store path).  Threads of one worker share its graph.
    """
    import cloudpickle
    from distributed import WorkerPlugin

    # Workers need not have this file on their path: ship its functions by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])

    class GraphLoader(WorkerPlugin):
        name = "velorin-graph"

        def __init__(self, path: str) -> None:
            self.path = path

        def setup(self, worker: Any) -> None:
            text = Path(self.path).read_text(encoding="utf-8")
            worker.velorin_graph = velorin_core.PyGraph.from_json(text)

    client.register_plugin(GraphLoader(str(graph_path)))

    def route_on_worker(pair: tuple[int, int], eps: float) -> list[dict[str, Any]]:
        from distributed import get_worker

        return route_rows(get_worker().velorin_graph, pair[0], pair[1], eps)

    futures = client.map(route_on_worker, list(pairs), eps=eps, pure=False)
    return [row for rows in client.gather(futures) for row in rows]


def random_pairs(doc: Mapping[str, Sequence[Mapping[str, Any]]], count: int, seed: int = 1,
                 min_km: float = 0.3, max_km: float = 3.0) -> list[tuple[int, int]]:
    """``count`` pairs of mutually reachable nodes, ``min_km`` to ``max_km`` apart.

    Raises ValueError when the map has too few such pairs.
    """
    from velorin.geo import haversine_m
    from velorin.network import Network

    coords = {n["id"]: (n["lat"], n["lon"]) for n in doc["nodes"]}
    net = Network(doc)
    nodes = sorted(net.ids[net.main_rows].tolist())
    if len(nodes) < 2:
        raise ValueError("the graph has no two mutually reachable nodes")
    # Bucket the nodes in cells max_km wide: every partner of a node lies in
    # the 3 x 3 cells around it, so a draw looks at a few cells, not the map.
    lat_mid = sum(coords[n][0] for n in nodes) / len(nodes)
    cell_lat = max_km * 1000.0 / 111_195.0
    cell_lon = cell_lat / max(math.cos(math.radians(lat_mid)), 0.01)
    cells: dict[tuple[int, int], list[int]] = {}
    for n in nodes:
        lat, lon = coords[n]
        cells.setdefault((math.floor(lat / cell_lat), math.floor(lon / cell_lon)), []).append(n)
    rng = random.Random(seed)
    pairs: list[tuple[int, int]] = []
    for _ in range(count * 50):
        if len(pairs) == count:
            break
        a = rng.choice(nodes)
        lat, lon = coords[a]
        ci, cj = math.floor(lat / cell_lat), math.floor(lon / cell_lon)
        near = [b for di in (-1, 0, 1) for dj in (-1, 0, 1) for b in cells.get((ci + di, cj + dj), ())
                if min_km * 1000 <= haversine_m(lat, lon, *coords[b]) <= max_km * 1000]
        if near:
            pairs.append((a, rng.choice(near)))
    if len(pairs) < count:
        raise ValueError(f"found only {len(pairs)} of {count} pairs {min_km} to {max_km} km apart")
    return pairs


def write_csv(rows: Iterable[Mapping[str, Any]], out: Any) -> None:
    writer = csv.DictWriter(out, fieldnames=FIELDS, restval="", lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    source = p.add_mutually_exclusive_group()
    source.add_argument("--osm", metavar="PATH", help="OSM extract to convert and route on")
    source.add_argument("--graph", metavar="JSON", help="graph document to route on")
    p.add_argument("--pairs", type=int, default=200, help="number of random pairs (default 200)")
    p.add_argument("--seed", type=int, default=1, help="seed of the pair sample")
    p.add_argument("--max-km", type=float, default=3.0,
                   help="largest straight-line distance of a pair (default 3)")
    p.add_argument("--eps", type=float, default=0.1, help="search approximation (default 0.1)")
    p.add_argument("--workers", type=int, default=None, help="processes (default: all cores)")
    p.add_argument("-o", "--output", help="CSV file of all routes (default: summary only)")
    args = p.parse_args(argv)

    import json

    from velorin.osm import OsmImportError, convert, dumps

    with tempfile.TemporaryDirectory() as tmp:
        if args.graph:
            graph_path = Path(args.graph)
            doc = json.loads(graph_path.read_text(encoding="utf-8"))
        else:
            if args.osm:
                try:
                    doc = convert(args.osm)
                except OsmImportError as exc:
                    print(f"batch_routes: error: {exc}", file=sys.stderr)
                    return 1
            else:
                from town import build_town

                doc = build_town().graph()
            graph_path = Path(tmp) / "graph.json"
            graph_path.write_text(dumps(doc), encoding="utf-8")
        pairs = random_pairs(doc, args.pairs, args.seed, max_km=args.max_km)
        workers = args.workers or os.cpu_count() or 1
        started = time.perf_counter()
        rows = run_batch(graph_path, pairs, args.eps, workers)
        elapsed = time.perf_counter() - started

    failed = {(r["source"], r["target"]) for r in rows if r["error"]}
    routes = [r for r in rows if not r["error"]]
    print(f"{len(pairs)} pairs on {workers} processes in {elapsed:.2f} s, start-up included "
          f"({len(pairs) / elapsed:.1f} pairs/s): {len(routes)} routes, "
          f"{len(failed)} pairs without a route")
    for kind in ("shortest", "safest", "balanced"):
        some = [r for r in routes if r["route_type"] == kind]
        if some:
            print(f"  {kind:9} {len(some):5d} routes, mean {sum(r['distance_m'] for r in some) / len(some):7.0f} m, "
                  f"mean risk {sum(r['risk'] for r in some) / len(some):.3f}")
    if args.output:
        with open(args.output, "w", encoding="utf-8", newline="") as out:
            write_csv(rows, out)
        print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
