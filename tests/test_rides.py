"""The rider's own rides: GPS tracks matched to the map's ways, and the familiarity they give."""

import json
import math
import subprocess
import sys

import numpy as np
import pytest

from shared_data import DATA, REPO
from velorin import OsmImportError, Router
from velorin.legs import leg_lengths_m
from velorin.osm.rides import Streets, match_rides

from town import build_town  # noqa: E402

M_PER_DEG = 111_195.0


def ride_along(coordinates, seed, step_m=6.0, noise_m=5.0, jumps=0.02, jump_m=60.0):
    """A GPS track of a ride along a route: a point every few metres, each off by noise,
    and now and then one thrown far off."""
    rng = np.random.default_rng(seed)
    lat = np.array([c[0] for c in coordinates])
    lon = np.array([c[1] for c in coordinates])
    k = np.cos(np.radians(lat[0]))
    x, y = (lon - lon[0]) * M_PER_DEG * k, (lat - lat[0]) * M_PER_DEG
    at = np.concatenate(([0.0], np.cumsum(np.hypot(np.diff(x), np.diff(y)))))
    s = np.arange(0.0, at[-1], step_m)
    px = np.interp(s, at, x) + rng.normal(0, noise_m, len(s))
    py = np.interp(s, at, y) + rng.normal(0, noise_m, len(s))
    far = rng.random(len(s)) < jumps
    angle = rng.uniform(0, 2 * np.pi, len(s))
    px, py = px + far * jump_m * np.cos(angle), py + far * jump_m * np.sin(angle)
    return lat[0] + py / M_PER_DEG, lon[0] + px / (M_PER_DEG * k)


def write_gpx(path, tracks):
    gpxpy = pytest.importorskip("gpxpy")
    document = gpxpy.gpx.GPX()
    for lat, lon in tracks:
        track = gpxpy.gpx.GPXTrack()
        segment = gpxpy.gpx.GPXTrackSegment()
        segment.points.extend(gpxpy.gpx.GPXTrackPoint(a, b) for a, b in zip(lat, lon))
        track.segments.append(segment)
        document.tracks.append(track)
    path.write_text(document.to_xml())
    return path


@pytest.fixture(scope="module")
def town():
    doc = build_town().graph(annotate=True)
    return Router.from_document(doc), doc, Streets(doc)


def town_routes(router, count, seed):
    rng = np.random.default_rng(seed)
    main = router.main_component
    routes = []
    while len(routes) < count:
        a, b = (int(v) for v in rng.choice(main, 2))
        routes.extend(r for r in router.route(a, b, 0.1) if r.total_distance_m > 300)
    return routes[:count]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_noisy_rides_of_known_routes_match_the_routes_ways(town, seed):
    router, doc, streets = town
    routes = town_routes(router, 6, seed)
    points = matched = 0
    for k, route in enumerate(routes):
        track = ride_along(route.coordinates, seed * 100 + k)
        found = match_rides(doc, [track], streets=streets)
        assert set(found.ways) == {a.way_id for a in route.arcs}, route
        points, matched = points + found.points, matched + found.matched_points
    # The points thrown far off are not matched; the rest are.
    assert 0.95 * points < matched < points


def test_gaps_are_bridged_and_stray_points_dropped(town):
    router, doc, streets = town
    route = town_routes(router, 1, 7)[0]
    lat, lon = ride_along(route.coordinates, 1, jumps=0.0)
    # Every fifth point only (a sparse logger), plus points far off the map.
    lat, lon = lat[::5], lon[::5]
    lat = np.concatenate((lat, [lat[-1] + 0.05]))
    lon = np.concatenate((lon, [lon[-1]]))
    found = match_rides(doc, [(lat, lon)], streets=streets)
    assert set(found.ways) == {a.way_id for a in route.arcs}
    assert found.matched_points == found.points - 1
    assert found.metres == pytest.approx(float(leg_lengths_m(route.coordinates).sum()))


def test_rides_become_familiarity_per_km_ridden(tmp_path):
    extract = DATA / "monaco-latest.osm.pbf"
    if not extract.exists():
        pytest.skip(f"{extract} not available")
    pytest.importorskip("osmium")
    from velorin.osm import ConversionStats, convert

    plain = Router.from_osm(extract)
    route = plain.route((43.7308, 7.4197), (43.7447, 7.4297))[0]
    rides = tmp_path / "rides"
    rides.mkdir()
    write_gpx(rides / "monday.gpx", [ride_along(route.coordinates, 1, jumps=0.0)])
    write_gpx(rides / "tuesday.gpx", [ride_along(route.coordinates, 2, jumps=0.0)])
    stats = ConversionStats()
    doc = convert(extract, familiar_rides=rides, familiarity_per_km=0.5, stats=stats)
    assert stats.rides.tracks == 2 and "2 tracks" in stats.summary()
    ridden = set(stats.rides.ways)
    ways = {a.way_id for a in route.arcs}
    assert len(ridden & ways) >= 0.9 * len(ways) and all(n <= 2 for n in stats.rides.ways.values())
    annotated = convert(extract, annotate=True)
    assert len(doc["edges"]) == len(annotated["edges"])
    for edge, known in zip(doc["edges"], annotated["edges"]):
        assert "way_id" not in edge  # the annotations the matching needed are gone again
        weight = 1 - 0.5 ** stats.rides.ways.get(known["way_id"], 0)  # 0, 0.5, 0.75
        assert edge["familiarity"] == weight * 0.5 * known["distance_m"] / 1000.0
    assert stats.familiar_edges == sum(1 for e in doc["edges"] if e["familiarity"])

    # The command line and the router take the same rides.
    out = tmp_path / "familiar.json"
    run = subprocess.run([sys.executable, "-m", "velorin", "convert", str(extract), "-o", str(out),
                          "--familiar-rides", str(rides), "--familiarity-per-km", "0.5"],
                         capture_output=True, text=True, cwd=REPO)
    assert run.returncode == 0, run.stderr
    assert "rides: 2 tracks" in run.stderr
    assert json.loads(out.read_text())["edges"] == doc["edges"]
    router = Router.from_osm(extract, familiar_rides=[rides / "monday.gpx"])
    again = router.route((43.7308, 7.4197), (43.7447, 7.4297))[0]
    assert again.total_familiarity > 0


@pytest.mark.parametrize("content, says", [
    ("<gpx><trk><trkseg><trkpt lat='x' lon='1'/></trkseg></trk></gpx>", "not a GPX file"),
    ("not xml at all", "not a GPX file"),
])
def test_unreadable_rides_are_one_clear_error(town, tmp_path, content, says):
    pytest.importorskip("gpxpy")
    _, doc, streets = town
    bad = tmp_path / "bad.gpx"
    bad.write_text(content)
    with pytest.raises(OsmImportError, match=says):
        match_rides(doc, bad, streets=streets)
    with pytest.raises(OsmImportError, match="not found"):
        match_rides(doc, tmp_path / "missing.gpx", streets=streets)


def test_rides_on_andorra_find_the_routes_ways():
    extract = DATA / "andorra-latest.osm.pbf"
    if not extract.exists():
        pytest.skip(f"{extract} not available")
    pytest.importorskip("osmium")
    from velorin.osm import convert

    doc = convert(extract, annotate=True)
    router = Router.from_document(doc)
    streets = Streets(doc)
    for origin, destination in (((42.5078, 1.5211), (42.5636, 1.4846)),
                                ((42.4636, 1.4946), (42.5436, 1.5146))):
        for k, route in enumerate(router.route(origin, destination)):
            found = match_rides(doc, [ride_along(route.coordinates, k)], streets=streets)
            lengths = {}
            for arc, metres in zip(route.arcs, leg_lengths_m(route.coordinates)):
                lengths[arc.way_id] = lengths.get(arc.way_id, 0.0) + metres
            missed = sum(m for way, m in lengths.items() if way not in found.ways)
            # Side by side ways (dual carriageways, footways along roads) leave
            # some doubt; the route itself is found all but a few percent.
            assert missed <= 0.05 * route.total_distance_m, route
            assert found.metres <= 1.15 * route.total_distance_m, route
            assert math.isfinite(found.metres)
