#!/usr/bin/env python3
"""Route across a town and draw the shortest, safest and balanced routes.

By default the town is the built-in synthetic one (``examples/town.py``), so
the demo needs nothing outside the repository.  With ``--osm`` it converts an
OpenStreetMap extract instead and routes between two given points (node ids or
``lat,lon``), or between two places named in the extract, picked so that the
shortest, safest and balanced routes differ (nodes across the middle of the
map when the extract names no places).

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

from velorin import Router, RoutingError
from velorin.ends import parse_place
from velorin.geo import haversine_m
from velorin.osm import PROFILES, ConversionStats, OsmImportError, convert, dumps
from velorin.osm.context import Locality, MapContext, read_context
from velorin.pictures import RouteView, Scene, draw_png, frame, write_html
from velorin.route import DEFAULT_EPS


#: Straight-line distance between the places of a candidate pair, in km.
PLACE_PAIR_KM = (1.5, 8.0)
#: Most candidate pairs routed before settling for the best seen.
MAX_CANDIDATES = 12


def candidate_pairs(router: Router, localities: Sequence[Locality], distance_km: float
                    ) -> list[tuple[int, int, str, str]]:
    """Pairs of nodes to try as endpoints, with what to call them.

    Localities of the extract come first (towns before villages, pairs near
    ``distance_km`` apart first), each snapped to the main network; then
    pairs of nodes ``distance_km`` apart across the middle of the network in
    four directions, for an extract that names no localities.
    """
    snapped: list[tuple[Locality, int]] = []
    for locality in localities:
        try:
            snapped.append((locality, router.nearest_node(locality.lat, locality.lon, 300.0)[0]))
        except RoutingError:
            continue  # far from any road ridden, e.g. a mountain hut
    pairs = []
    for i, (a, na) in enumerate(snapped):
        for b, nb in snapped[i + 1:]:
            km = haversine_m(a.lat, a.lon, b.lat, b.lon) / 1000
            if na != nb and PLACE_PAIR_KM[0] <= km <= PLACE_PAIR_KM[1]:
                pairs.append((max(a.rank, b.rank), abs(km - distance_km), na, nb, a.name, b.name))
    pairs.sort(key=lambda p: p[:2])
    out = [(na, nb, an, bn) for _, _, na, nb, an, bn in pairs]

    main = router.main_component.tolist()
    if len(main) >= 2:
        positions = [router.position(n) for n in main]
        lat = sum(p[0] for p in positions) / len(positions)
        lon = sum(p[1] for p in positions) / len(positions)
        half_lat = distance_km * 500.0 / 111_195.0
        half_lon = half_lat / math.cos(math.radians(lat))
        for dx, dy in ((1, 0), (0, 1), (0.7, 0.7), (0.7, -0.7)):
            start, _ = router.nearest_node(lat - dy * half_lat, lon - dx * half_lon, math.inf)
            finish, _ = router.nearest_node(lat + dy * half_lat, lon + dx * half_lon, math.inf)
            if start != finish:
                out.append((start, finish, "start", "finish"))
    return out


def choose_endpoints(router: Router, localities: Sequence[Locality], distance_km: float,
                     eps: float) -> tuple[int, int, str, str]:
    """The first candidate pair whose shortest, safest and balanced routes all differ.

    Among a few candidates only, to keep the demo quick; without such a pair,
    the candidate with the most distinct routes.
    """
    best: tuple[int, tuple[int, int, str, str]] | None = None
    for pair in candidate_pairs(router, localities, distance_km)[:MAX_CANDIDATES]:
        try:
            count = len(router.route(pair[0], pair[1], eps))
        except RoutingError:
            continue
        if count == 3:
            return pair
        if best is None or count > best[0]:
            best = (count, pair)
    if best is None:
        raise SystemExit("demo: the map has no two mutually reachable nodes to route between")
    return best[1]


def resolve_point(text: str, router: Router) -> int:
    """A node id, or the node of the main network nearest to "lat,lon"."""
    try:
        return router.snap(parse_place(text, names=True)).node
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


def print_routes(routes: Sequence[Any]) -> None:
    """The command line's route table: riding time, risk per km, climb, stress shares."""
    from velorin.cli import format_routes

    print(format_routes(routes))


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--osm", metavar="PATH", help="OSM extract to route on instead of the town")
    p.add_argument("--source", help="start: node id or lat,lon (default: chosen)")
    p.add_argument("--target", help="finish: node id or lat,lon (default: chosen)")
    p.add_argument("--distance-km", type=float, default=3.0,
                   help="straight-line distance wanted between chosen points (default 3.0)")
    p.add_argument("--eps", type=float, default=DEFAULT_EPS,
                   help=f"search approximation, 0.0 exact (default {DEFAULT_EPS})")
    p.add_argument("--profile", choices=PROFILES, default=PROFILES[0],
                   help="cycling profile for an OSM extract (default city)")
    p.add_argument("--push-bike", action="store_true",
                   help="also use footways and pedestrian streets, walking the bike (OSM maps)")
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
    context = MapContext()
    ends = ("start", "finish")
    if args.osm:
        stats = ConversionStats()
        try:
            doc = convert(args.osm, annotate=True, push_bike=args.push_bike, stats=stats,
                          profile=args.profile)
            context = read_context(args.osm)
        except OsmImportError as exc:
            print(f"demo: error: {exc}", file=sys.stderr)
            return 1
        print(f"{Path(args.osm).name} ({args.profile} profile): {stats.summary()}")
        name = Path(args.osm).name.split(".")[0]
        title = f"{name}: cycling routes ({args.profile} profile)"
        focus = True
        if not doc["edges"]:
            print("demo: error: no cyclable way in this map", file=sys.stderr)
            return 1
        router = Router.from_document(doc, text=dumps(doc))
        if args.source and args.target:
            source, target = resolve_point(args.source, router), resolve_point(args.target, router)
        else:
            source, target, *named = choose_endpoints(router, context.localities, args.distance_km,
                                                      args.eps)
            ends = (named[0], named[1])
            if ends != ("start", "finish"):
                title = f"{name}: from {ends[0]} to {ends[1]} ({args.profile} profile)"
                print(f"routing from {ends[0]} to {ends[1]}, two places named in the extract")
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
    print_routes(routes)

    scene = Scene(doc=doc, routes=[RouteView.of(r) for r in routes], title=title, water=water,
                  parks=parks, labels=labels, focus=focus, ends=ends)
    scene.add_context(context.within(frame(scene)))
    png = draw_png(scene, out_dir / f"{name}.png")
    print(f"wrote {png}")
    if not args.no_html:
        page = write_html(scene, out_dir / f"{name}.html")
        print(f"wrote {page}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
