"""What navigation costs on Andorra: directions and segments in a route answer, and
matching the rider's own rides.

1. The service's answer to a route request, as its worker builds it: ``Router.route``
   and the GeoJSON body, for the pairs of ``bench/bench_service.py`` (seed 2024, 0.5 to
   2.5 km apart), with each Feature's ``segments`` and ``directions`` and without them,
   in the same run (CPU time of this thread, best of three per pair).
2. Matching GPS tracks to the map: tracks made from routes 5 to 25 km long (a point
   every 5 m, 5 m of noise), about 100 km in all; the index of the map's streets is
   built once, and the tracks matched with it.

    .venv/bin/python bench/bench_navigation.py
"""

from __future__ import annotations

import random
import statistics
import sys
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]

from bench_service import load_map, pick_pairs  # noqa: E402
from velorin import Router  # noqa: E402
from velorin.osm.rides import Streets, match_rides  # noqa: E402
from velorin.route import Route  # noqa: E402
from velorin.service.answers import encode, route_collection  # noqa: E402


def cpu(call, repeat: int = 3) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.thread_time()
        call()
        best = min(best, time.thread_time() - start)
    return best


def bare_geojson(self: Route) -> dict:
    """A route's Feature as it was before segments and directions."""
    return {"type": "Feature",
            "geometry": {"type": "LineString",
                         "coordinates": [[lon, lat] for lat, lon in self.coordinates]},
            "properties": self.properties()}


def answer_times(router: Router, pairs) -> tuple[list[float], list[float]]:
    full, bare = [], []
    navigation = Route.to_geojson
    for a, b in pairs:
        def answer() -> None:
            encode(route_collection(router.route(a, b)))

        Route.to_geojson = navigation
        full.append(cpu(answer))
        Route.to_geojson = bare_geojson
        bare.append(cpu(answer))
    Route.to_geojson = navigation
    return full, bare


def track_of(coordinates, rng, step_m=5.0, noise_m=5.0):
    lat = np.array([c[0] for c in coordinates])
    lon = np.array([c[1] for c in coordinates])
    k = 111_195.0
    x, y = (lon - lon[0]) * k * np.cos(np.radians(lat[0])), (lat - lat[0]) * k
    at = np.concatenate(([0.0], np.cumsum(np.hypot(np.diff(x), np.diff(y)))))
    s = np.arange(0.0, at[-1], step_m)
    px = np.interp(s, at, x) + rng.normal(0, noise_m, len(s))
    py = np.interp(s, at, y) + rng.normal(0, noise_m, len(s))
    return lat[0] + py / k, lon[0] + px / (k * np.cos(np.radians(lat[0])))


def main() -> None:
    import orjson

    graph = load_map()
    doc = orjson.loads(graph.read_bytes())
    router = Router.from_document(doc)
    pairs = pick_pairs(router, 40)
    full, bare = answer_times(router, pairs)
    ratios = [f / b for f, b in zip(full, bare)]
    print(f"route answer, {len(pairs)} pairs: with segments and directions p50 "
          f"{1000 * statistics.median(full):.2f} ms, without {1000 * statistics.median(bare):.2f}"
          f" ms; ratio per pair p50 {statistics.median(ratios):.3f}, "
          f"max {max(ratios):.3f}; total {sum(full) / sum(bare):.3f}")

    rng = random.Random(7)
    noise = np.random.default_rng(7)
    main_rows = router.main_component
    tracks, km = [], 0.0
    while km < 100.0:
        a, b = (int(main_rows[rng.randrange(len(main_rows))]) for _ in range(2))
        route = router.route(a, b)[0]
        if 5_000 <= route.total_distance_m <= 25_000:
            tracks.append(track_of(route.coordinates, noise))
            km += route.total_distance_m / 1000
    points = sum(len(t[0]) for t in tracks)
    start = time.perf_counter()
    streets = Streets(doc)
    built = time.perf_counter() - start
    times = []
    for _ in range(3):
        start = time.perf_counter()
        found = match_rides(doc, tracks, streets=streets)
        times.append(time.perf_counter() - start)
    print(f"rides: {km:.1f} km in {len(tracks)} tracks, {points} points; street index "
          f"{built:.2f} s, matching {min(times):.2f} to {max(times):.2f} s "
          f"({found.matched_points} points matched, {len(found.ways)} ways)")


if __name__ == "__main__":
    main()
