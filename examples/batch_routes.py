#!/usr/bin/env python3
"""Route many origin-destination pairs on all cores with velorin.batch.

Every worker process receives the router once and then answers any number of
pairs from it; see :mod:`velorin.batch` (and :func:`velorin.batch.route_many_dask`
for the same on a Dask cluster).

    python examples/batch_routes.py                      # built-in town, 200 pairs
    python examples/batch_routes.py --osm monaco-latest.osm.pbf --pairs 500 -o routes.csv \\
        --geojson routes.geojson
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import random
import sys
import time
from collections.abc import Iterable, Mapping
from typing import Any

from velorin import OsmImportError, Router
from velorin.batch import FIELDS, route_many, rows, summary, write_geojson
from velorin.geo import haversine_m


def random_pairs(router: Router, count: int, seed: int = 1, min_km: float = 0.3,
                 max_km: float = 3.0) -> list[tuple[int, int]]:
    """``count`` pairs of nodes of the main network, ``min_km`` to ``max_km`` apart.

    Raises ValueError when the map has too few such pairs.
    """
    nodes = router.main_component.tolist()
    if len(nodes) < 2:
        raise ValueError("the graph has no two mutually reachable nodes")
    coords = {n: router.position(n) for n in nodes}
    # Bucket the nodes in cells max_km wide: every partner of a node lies in
    # the 3 x 3 cells around it, so a draw looks at a few cells, not the map.
    lat_mid = sum(c[0] for c in coords.values()) / len(nodes)
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


def write_csv(table: Iterable[Mapping[str, Any]], out: Any) -> None:
    writer = csv.DictWriter(out, fieldnames=FIELDS, restval="", lineterminator="\n")
    writer.writeheader()
    writer.writerows(table)


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    source = p.add_mutually_exclusive_group()
    source.add_argument("--osm", metavar="PATH", help="OSM extract to route on")
    source.add_argument("--graph", metavar="JSON", help="graph document to route on")
    p.add_argument("--pairs", type=int, default=200, help="number of random pairs (default 200)")
    p.add_argument("--seed", type=int, default=1, help="seed of the pair sample")
    p.add_argument("--max-km", type=float, default=3.0,
                   help="largest straight-line distance of a pair (default 3)")
    p.add_argument("--eps", type=float, default=0.1, help="search approximation (default 0.1)")
    p.add_argument("--workers", type=int, default=None, help="processes (default: all cores)")
    p.add_argument("-o", "--output", help="CSV file of all routes (default: summary only)")
    p.add_argument("--geojson", help="GeoJSON file of all routes")
    args = p.parse_args(argv)

    try:
        if args.graph:
            router = Router.from_file(args.graph)
        elif args.osm:
            router = Router.from_osm(args.osm)
        else:
            from town import build_town

            router = Router.from_document(build_town().graph(annotate=True))
    except (OsmImportError, OSError, ValueError) as exc:
        print(f"batch_routes: error: {exc}", file=sys.stderr)
        return 1
    pairs = random_pairs(router, args.pairs, args.seed, max_km=args.max_km)
    workers = args.workers or os.cpu_count() or 1
    started = time.perf_counter()
    outcomes = route_many(router, pairs, args.eps, workers)
    elapsed = time.perf_counter() - started

    totals = summary(outcomes)
    print(f"{len(pairs)} pairs on {workers} processes in {elapsed:.2f} s, start-up included "
          f"({len(pairs) / elapsed:.1f} pairs/s): {totals['routes']} routes, "
          f"{totals['failed']} pairs without a route")
    for kind, t in totals["by_type"].items():
        print(f"  {kind:9} {t['count']:5d} routes, mean {t['mean_distance_m']:7.0f} m, "
              f"mean risk {t['mean_risk']:.3f}")
    if args.output:
        with open(args.output, "w", encoding="utf-8", newline="") as out:
            write_csv(rows(pairs, outcomes), out)
        print(f"wrote {args.output}")
    if args.geojson:
        write_geojson(outcomes, args.geojson)
        print(f"wrote {args.geojson}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
