#!/usr/bin/env python3
"""Route across a town and draw the shortest, safest and balanced routes.

By default the town is the built-in synthetic one (``examples/town.py``), so
the demo needs nothing outside the repository.  With ``--osm`` it converts an
OpenStreetMap extract instead and routes between two given points (node ids or
``lat,lon``), or two points it picks in the largest connected part of the map.

Writes ``demo.png`` and ``demo.html`` (or ``<extract>.png``/``.html``) into
the output directory, ``out/`` unless ``--out`` says otherwise.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from velorin import Router, RoutingError  # noqa: E402
from velorin.osm import ConversionStats, OsmImportError, convert, dumps  # noqa: E402
from velorin.pictures import RouteView, Scene, draw_png, write_html  # noqa: E402


def choose_endpoints(router: Router, distance_km: float) -> tuple[int, int]:
    """Two nodes of the main network about ``distance_km`` apart, near its middle."""
    nodes = router.main_component.tolist()
    if len(nodes) < 2:
        raise SystemExit("demo: the map has no two mutually reachable nodes to route between")
    positions = [router.position(n) for n in nodes]
    lat = sum(p[0] for p in positions) / len(positions)
    lon = sum(p[1] for p in positions) / len(positions)
    # Start half the distance west of the middle and finish half the distance east.
    half_deg = distance_km * 500.0 / (111_195.0 * math.cos(math.radians(lat)))
    source, _ = router.nearest_node(lat, lon - half_deg, math.inf)
    target, _ = router.nearest_node(lat, lon + half_deg, math.inf)
    return source, target


def resolve_point(text: str, router: Router) -> int:
    """A node id, or the node of the main network nearest to "lat,lon"."""
    if "," not in text:
        try:
            return int(text)
        except ValueError:
            raise SystemExit(f"demo: {text!r} is neither a node id nor lat,lon") from None
    try:
        lat, lon = (float(v) for v in text.split(","))
    except ValueError:
        raise SystemExit(f"demo: {text!r} is not lat,lon") from None
    try:
        return router.nearest_node(lat, lon)[0]
    except (RoutingError, ValueError) as exc:
        raise SystemExit(f"demo: {exc}") from None


def lts_shares(doc: Mapping[str, Sequence[Mapping[str, Any]]], path: Sequence[int]
               ) -> dict[int, float]:
    """Distance of a path per stress level (arcs annotated with ``lts``)."""
    arcs: dict[tuple[int, int], Mapping[str, Any]] = {}
    for e in doc["edges"]:
        key = (e["from"], e["to"])
        if key not in arcs or e["distance_m"] < arcs[key]["distance_m"]:
            arcs[key] = e
    shares = {1: 0.0, 2: 0.0, 3: 0.0, 4: 0.0}
    for a, b in zip(path, path[1:]):
        e = arcs.get((a, b))
        if e is not None and "lts" in e:
            shares[e["lts"]] += e["distance_m"]
    return shares


def print_routes(routes: Sequence[Any], doc: Mapping[str, Sequence[Mapping[str, Any]]]) -> None:
    print(f"{'':56} {'comfort':>7} {'nodes':>5}   distance by stress level (LTS 1/2/3/4)")
    for r in routes:
        shares = lts_shares(doc, r.path)
        total = sum(shares.values()) or 1.0
        split = " ".join(f"{100 * shares[k] / total:3.0f}%" for k in (1, 2, 3, 4))
        print(f"{r!r:56} {r.comfort_score:7.3f} {r.node_count:5d}   {split}")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--osm", metavar="PATH", help="OSM extract to route on instead of the town")
    p.add_argument("--source", help="start: node id or lat,lon (default: chosen)")
    p.add_argument("--target", help="finish: node id or lat,lon (default: chosen)")
    p.add_argument("--distance-km", type=float, default=2.0,
                   help="straight-line distance between chosen points (default 2.0)")
    p.add_argument("--eps", type=float, default=0.1,
                   help="search approximation, 0.0 exact (default 0.1)")
    p.add_argument("--push-bike", action="store_true",
                   help="also use footways and pedestrian streets (OSM maps)")
    p.add_argument("--out", default="out", help="output directory (default out/)")
    p.add_argument("--no-html", action="store_true", help="write only the PNG")
    return p.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    out_dir = Path(args.out)
    water: list[list[tuple[float, float]]] = []
    parks: list[list[tuple[float, float]]] = []
    labels: dict[str, tuple[float, float]] = {}
    focus = False
    started = time.perf_counter()
    if args.osm:
        stats = ConversionStats()
        try:
            doc = convert(args.osm, annotate=True, push_bike=args.push_bike, stats=stats)
        except OsmImportError as exc:
            print(f"demo: error: {exc}", file=sys.stderr)
            return 1
        print(f"{Path(args.osm).name}: {stats.summary()}")
        name = Path(args.osm).name.split(".")[0]
        title = f"{name}: cycling routes"
        focus = True
        if not doc["edges"]:
            print("demo: error: no cyclable way in this map", file=sys.stderr)
            return 1
        router = Router.from_document(doc, text=dumps(doc))
        if args.source and args.target:
            source, target = resolve_point(args.source, router), resolve_point(args.target, router)
        else:
            source, target = choose_endpoints(router, args.distance_km)
    else:
        from town import build_town

        town = build_town()
        doc = town.graph(annotate=True)
        name, title = "demo", "Synthetic town: shortest, safest and balanced routes"
        water, parks, labels = [town.river], [town.park], town.labels
        router = Router.from_document(doc, text=dumps(doc))
        source = resolve_point(args.source, router) if args.source else town.source
        target = resolve_point(args.target, router) if args.target else town.target
        print(f"built-in town: {len(doc['nodes'])} nodes, {len(doc['edges'])} arcs")

    loaded = time.perf_counter()
    try:
        routes = router.route(source, target, args.eps)
    except RoutingError as exc:
        print(f"demo: {exc}", file=sys.stderr)
        return 1
    searched = time.perf_counter()
    print(f"graph ready in {loaded - started:.2f} s; routes from {source} to {target} "
          f"(eps {args.eps}) in {searched - loaded:.3f} s")
    print_routes(routes, doc)

    scene = Scene(doc=doc, routes=[RouteView.of(r) for r in routes], title=title, water=water,
                  parks=parks, labels=labels, focus=focus)
    png = draw_png(scene, out_dir / f"{name}.png")
    print(f"wrote {png}")
    if not args.no_html:
        page = write_html(scene, out_dir / f"{name}.html")
        print(f"wrote {page}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
