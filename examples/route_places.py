#!/usr/bin/env python3
"""Route between two places on a map and save the routes as GeoJSON.

    python examples/route_places.py monaco-latest.osm.pbf 43.7308,7.4197 43.7447,7.4297 \\
        -o routes.geojson

It also shows how far the approximate routes (eps 0.1) lie from the exact
ones (eps 0.0).  The file is fully typed: ``make test`` checks it with
``mypy --strict``, which reads the types of both ``velorin`` and
``velorin_core``.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

import velorin_core

from velorin import Route, Router, VelorinError, to_geojson


def parse_point(text: str) -> tuple[float, float]:
    lat, lon = (float(v) for v in text.split(","))
    return lat, lon


def load(path: str) -> Router:
    if path.endswith(".json"):
        return Router.from_file(path)
    return Router.from_osm(path)


def compare_with_exact(router: Router, routes: list[Route]) -> None:
    """How much longer (shortest) or riskier (safest) the eps 0.1 routes are than the optimum."""
    source, target = routes[0].path[0], routes[0].path[-1]
    exact: list[velorin_core.PyRouteResult] = velorin_core.compute_safe_routes(
        router.graph, source, target, 0.0)
    best = {r.route_type: r for r in exact}
    for route in routes:
        if route.route_type == "shortest":
            gap = route.total_distance_m / best["shortest"].total_distance_m - 1.0
            print(f"shortest: {100 * gap:.1f}% longer than the exact shortest route")
        elif route.route_type == "safest" and best["safest"].total_risk > 0.0:
            gap = route.total_risk / best["safest"].total_risk - 1.0
            print(f"safest: {100 * gap:.1f}% riskier than the exact safest route")


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    p.add_argument("map", help="OSM extract or graph document (.json)")
    p.add_argument("origin", type=parse_point, help="LAT,LON")
    p.add_argument("destination", type=parse_point, help="LAT,LON")
    p.add_argument("-o", "--output", type=Path, help="GeoJSON file to write")
    args = p.parse_args(argv)
    try:
        router = load(args.map)
        routes = router.route(args.origin, args.destination, eps=0.1)
    except (VelorinError, OSError, ValueError) as exc:
        print(f"route_places: error: {exc}", file=sys.stderr)
        return 1
    for route in routes:
        print(f"{route!r}  starts {route.origin_snap_m:.0f} m from the origin")
    compare_with_exact(router, routes)
    if args.output is not None:
        args.output.write_text(json.dumps(to_geojson(routes)), encoding="utf-8")
        print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
