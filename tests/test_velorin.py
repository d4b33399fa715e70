"""The velorin package: snapping, routes between places, GeoJSON, typed errors, pickling."""

import json
import math
import pickle
import random
import subprocess
import sys

import numpy as np
import pytest

import velorin_core
from shared_data import DATA, REPO
from velorin import (Arc, NodeNotFound, NoRoute, PointOutsideMap, Route, Router, RoutingError,
                     to_geojson)
from velorin.geo import haversine_m
from velorin.network import Network
from velorin.osm import dumps
from velorin.ends import PlaceError, SnappedPlace, parse_place

from town import build_town  # noqa: E402


@pytest.fixture(scope="module", params=["town", "monaco"])
def mapped(request):
    """(router, graph document) of the built-in town and of Monaco (skipped when absent)."""
    if request.param == "town":
        doc = build_town().graph(annotate=True)
        return Router.from_document(doc), doc
    path = DATA / "monaco-latest.osm.pbf"
    if not path.exists():
        pytest.skip(f"{path} not available")
    pytest.importorskip("osmium")
    from velorin.osm import convert

    return Router.from_osm(path), convert(path, annotate=True)


def brute_force(doc, candidates, lat, lon):
    coords = {n["id"]: (n["lat"], n["lon"]) for n in doc["nodes"]}
    return min(haversine_m(lat, lon, *coords[c]) for c in candidates)


def test_snapping_matches_a_brute_force_scan(mapped):
    router, doc = mapped
    main = router.main_component.tolist()
    lats = [n["lat"] for n in doc["nodes"]]
    lons = [n["lon"] for n in doc["nodes"]]
    lat0, lat1, lon0, lon1 = min(lats), max(lats), min(lons), max(lons)
    rng = random.Random(7)
    # Inside the map, around its edge, and up to a map's width beyond it.
    points = [(rng.uniform(lat0, lat1), rng.uniform(lon0, lon1)) for _ in range(40)]
    points += [(rng.choice((lat0, lat1)) + rng.uniform(-1e-3, 1e-3),
                rng.uniform(lon0, lon1)) for _ in range(20)]
    points += [(lat1 + rng.uniform(0, lat1 - lat0), lon1 + rng.uniform(0, lon1 - lon0))
               for _ in range(10)]
    ids, metres = router.nearest_nodes([p[0] for p in points], [p[1] for p in points], math.inf)
    assert ids.dtype == np.uint64 and len(ids) == len(points)
    coords = {n["id"]: (n["lat"], n["lon"]) for n in doc["nodes"]}
    for (lat, lon), node, m in zip(points, ids.tolist(), metres.tolist()):
        assert node in set(main)
        assert m == pytest.approx(haversine_m(lat, lon, *coords[node]), rel=1e-12)
        assert m == pytest.approx(brute_force(doc, main, lat, lon), rel=1e-9, abs=1e-6)
    # The scalar form agrees, and a point beyond the limit is refused with its distance.
    lat, lon = points[-1]
    node, m = router.nearest_node(lat, lon, math.inf)
    assert node == ids[-1] and m == pytest.approx(metres[-1], rel=1e-12)
    with pytest.raises(PointOutsideMap) as raised:
        router.nearest_node(lat, lon, max_distance_m=metres[-1] / 2)
    assert raised.value.distance_m == metres[-1] and isinstance(raised.value, ValueError)
    assert f"{metres[-1] / 1000:,.1f} km" in str(raised.value) or \
        f"{metres[-1]:.0f} m" in str(raised.value)


def test_routes_between_snapped_points_match_the_engine(mapped):
    router, doc = mapped
    coords = {n["id"]: (n["lat"], n["lon"]) for n in doc["nodes"]}
    lats = [n["lat"] for n in doc["nodes"]]
    lons = [n["lon"] for n in doc["nodes"]]
    rng = random.Random(3)
    for _ in range(6):
        a = (rng.uniform(min(lats), max(lats)), rng.uniform(min(lons), max(lons)))
        b = (rng.uniform(min(lats), max(lats)), rng.uniform(min(lons), max(lons)))
        routes = router.route(a, b, 0.1, max_distance_m=math.inf)
        source, s_m = router.nearest_node(*a, math.inf)
        target, t_m = router.nearest_node(*b, math.inf)
        core = velorin_core.compute_safe_routes(router.graph, source, target, 0.1)
        assert [r.route_type for r in routes] == [r.route_type for r in core]
        for mine, theirs in zip(routes, core):
            assert list(mine.path) == theirs.path and mine.node_count == theirs.node_count
            assert (mine.total_distance_m, mine.total_risk, mine.total_familiarity,
                    mine.estimated_time_min, mine.comfort_score) == (
                theirs.total_distance_m, theirs.total_risk, theirs.total_familiarity,
                theirs.estimated_time_min, theirs.comfort_score)
            assert repr(mine) == repr(theirs)
            assert (mine.origin_snap_m, mine.destination_snap_m) == (s_m, t_m)
            assert mine.coordinates == tuple(coords[n] for n in mine.path)
            feature = mine.to_geojson()
            assert feature["geometry"]["coordinates"] == [
                [coords[n][1], coords[n][0]] for n in mine.path] or len(mine.path) == 1
            assert feature["properties"]["total_risk"] == mine.total_risk
            assert len(mine.arcs) == len(mine.path) - 1
            assert all(arc.way_id is not None and arc.lts in (1, 2, 3, 4) for arc in mine.arcs)
    collection = json.loads(json.dumps(to_geojson(routes)))
    assert collection["type"] == "FeatureCollection"
    assert [f["properties"]["route_type"] for f in collection["features"]] == [
        r.route_type for r in routes]


@pytest.mark.parametrize("seed", range(5))
def test_main_component_is_the_largest_strong_component(seed):
    nx = pytest.importorskip("networkx")
    rng = random.Random(seed)
    n = 60
    edges = [(rng.randrange(n), rng.randrange(n)) for _ in range(rng.randrange(40, 110))]
    doc = {"nodes": [{"id": i, "lat": 0.0, "lon": 0.0} for i in range(n)],
           "edges": [{"from": a, "to": b, "distance_m": 1.0, "risk_score": 1.0} for a, b in edges]}
    g = nx.DiGraph(edges)
    net = Network(doc)
    found = set(net.ids[net.main_rows].tolist())
    assert found in [set(c) for c in nx.strongly_connected_components(g)]
    assert len(found) == max(len(c) for c in nx.strongly_connected_components(g))


# A line 1 <-> 2 <-> 3 (the main network), a dead end 3 -> 4, an island 5 <-> 6,
# node 2 written twice (the later position counts, as in the engine), and an
# unknown key holding a number beyond the float range, which the engine skips.
SMALL = {
    "nodes": [{"id": 1, "lat": 45.0, "lon": 5.0}, {"id": 2, "lat": 0.0, "lon": 0.0},
              {"id": 2, "lat": 45.001, "lon": 5.0}, [3, 45.002, 5.0],
              {"id": 4, "lat": 45.003, "lon": 5.0}, {"id": 5, "lat": 45.1, "lon": 5.1},
              {"id": 6, "lat": 45.101, "lon": 5.1}],
    "edges": [[a, b, 111.0, 0.1, None] for a, b in ((1, 2), (2, 1), (2, 3), (3, 2), (5, 6),
                                                    (6, 5))]
             + [{"from": 3, "to": 4, "distance_m": 111.0, "risk_score": 0.1, "note": [1e999]}],
}


@pytest.fixture(scope="module")
def small():
    return Router.from_json(json.dumps(SMALL).encode().replace(b"Infinity", b"1e999"))


@pytest.mark.parametrize("origin, destination, error, builtin, says", [
    (1, 99, NodeNotFound, KeyError, "destination node 99 is not on the map"),
    (-1, 2, NodeNotFound, KeyError, "origin node -1 is not on the map"),
    (4, 1, NoRoute, LookupError, "no route leaves node 4"),
    (1, 5, NoRoute, LookupError, "not connected"),
    ((45.0, 5.01), 3, PointOutsideMap, ValueError, "farther than max_distance_m=500"),
    ((5.0, 45.001), 3, PointOutsideMap, ValueError, "latitude and longitude swapped"),
])
def test_errors_are_typed_and_say_what_to_do(small, origin, destination, error, builtin, says):
    with pytest.raises(error) as raised:
        small.route(origin, destination)
    exc = raised.value
    assert isinstance(exc, RoutingError) and isinstance(exc, builtin)
    assert says in str(exc) and str(exc).isascii()
    again = pickle.loads(pickle.dumps(exc))
    assert type(again) is error and str(again) == str(exc) and again.detail == exc.detail
    if error is NoRoute:
        assert exc.detail and not exc.detail.isascii()  # the engine's own words, kept


@pytest.mark.parametrize("origin, destination, says", [
    (4, 1, "no route leaves node 4"), (1, 5, "not connected")])
def test_errors_follow_the_map_not_the_engines_words(small, monkeypatch, origin, destination,
                                                     says):
    # The package knows both ends are on the map; the engine's text is only passed on.
    def engine(*args):
        raise RuntimeError("worded otherwise")

    monkeypatch.setattr("velorin_core.compute_safe_routes", engine)
    with pytest.raises(NoRoute, match=says) as raised:
        small.route(origin, destination)
    assert raised.value.detail == "worded otherwise"


@pytest.mark.parametrize("call, message", [
    (lambda r: r.nearest_node(91.0, 5.0), "latitude must lie in -90..90"),
    (lambda r: r.nearest_node(float("nan"), 5.0), "not a (lat, lon) pair"),
    (lambda r: r.nearest_nodes([45.0, 45.0], [5.0]), "same length"),
    (lambda r: r.route(1, 3, eps=-0.5), "eps must be"),
    (lambda r: r.route("1", 3), "node id, a (lat, lon) pair or a place name"),
])
def test_bad_arguments_are_refused(small, call, message):
    with pytest.raises((ValueError, TypeError), match=message.replace("(", r"\(").replace(
            ")", r"\)").replace(".", r"\.")):
        call(small)


def test_snapping_skips_nodes_outside_the_main_network(small):
    # Closest to the island, but only the main line is reachable from everywhere.
    assert small.nearest_node(45.1, 5.1, math.inf)[0] in (1, 2, 3)
    assert small.nearest_node(45.1, 5.1, main_component=False) == (5, 0.0)
    assert small.position(2) == (45.001, 5.0)
    route, = small.route((45.0, 5.0), (45.0018, 5.0), eps=0.0)
    assert route.path == (1, 2, 3) and route.arcs == ()
    assert route.destination_snap_m == pytest.approx(haversine_m(45.0018, 5.0, 45.002, 5.0))


def test_snapped_places_route_as_the_places_they_came_from(small):
    snapped = small.snap((45.0, 5.0001), end="origin")
    assert snapped == SnappedPlace(1, 45.0, 5.0, haversine_m(45.0, 5.0001, 45.0, 5.0))
    assert small.snap(snapped) is snapped and small.snap(3) == SnappedPlace(3, 45.002, 5.0, 0.0)
    assert small.route(snapped, 3) == small.route((45.0, 5.0001), 3)
    assert small.route(snapped, 3)[0].origin_snap_m == snapped.distance_m
    with pytest.raises(NodeNotFound, match="destination node 99 is not on the map"):
        small.snap(SnappedPlace(99, 0.0, 0.0), end="destination")


def test_the_map_is_read_through_read_only_tables(small):
    nodes, arcs = small.nodes, small.arcs
    assert nodes.ids.tolist() == [1, 2, 3, 4, 5, 6] and len(nodes) == small.node_count
    assert (nodes.lat[1], nodes.lon[1]) == small.position(2)
    assert len(arcs) == small.graph.edge_count() and arcs.source[-1] == 3
    assert nodes.ids[arcs.target_row[-1]] == arcs.target[-1] == 4
    assert not arcs.annotated and arcs.arc(0) == Arc() and arcs.lts.tolist() == [0] * 7
    with pytest.raises(ValueError, match="read-only"):
        nodes.lat[0] = 0.0
    town = build_town()
    annotated = Router.from_document(town.graph(annotate=True)).arcs
    assert annotated.annotated and set(annotated.lts.tolist()) <= {1, 2, 3, 4}
    assert annotated.arc(0).highway and annotated.arc(0).lts == annotated.lts[0]


class Refused(str):
    """A place text that parse_place refuses, with what its message says."""


@pytest.mark.parametrize("text, parsed", [
    ("43.7308,7.4197", (43.7308, 7.4197)), (" -33.9, 18.4 ", (-33.9, 18.4)),
    ("1079045355", 1079045355), ("Sant Julià de Lòria", Refused("neither LAT,LON")),
    ("43.73;7.42", Refused("neither LAT,LON")), ("43.7,7.4,1", Refused("not LAT,LON")),
    ("-95,7.42", Refused("latitude must lie")), ("", Refused("no place given")),
])
def test_places_are_read_by_one_grammar(text, parsed):
    if isinstance(parsed, Refused):
        with pytest.raises(PlaceError, match=str(parsed)) as raised:
            parse_place(text)
        assert isinstance(raised.value, ValueError) and raised.value.text == text
    else:
        assert parse_place(text) == parsed
    if text.startswith("Sant"):  # where a map knows names, a name is a place
        assert parse_place(text, names=True) == text


def test_routes_are_plain_values(small):
    routes = small.route(1, 3)
    assert pickle.loads(pickle.dumps(routes)) == routes
    assert hash(routes[0]) == hash(small.route(1, 3)[0])
    with pytest.raises(AttributeError):
        routes[0].total_risk = 0.0  # type: ignore[misc]
    single = small.route(2, 2)[0]
    assert single.path == (2,)
    assert single.to_geojson()["geometry"]["coordinates"] == [[5.0, 45.001], [5.0, 45.001]]


def test_documents_load_from_text_bytes_and_files(small, tmp_path):
    text = dumps(build_town().graph())
    path = tmp_path / "town.json"
    path.write_text(text, encoding="utf-8")
    routers = [Router.from_json(text), Router.from_json(text.encode()), Router.from_file(path)]
    town = build_town()
    results = [r.route(town.source, town.target) for r in routers]
    assert results[0] == results[1] == results[2]
    with pytest.raises(ValueError, match="line 1 column"):
        Router.from_json(b'{"nodes": []}')


# ---------------------------------------------------------------------------
# The command line
# ---------------------------------------------------------------------------

MONACO = DATA / "monaco-latest.osm.pbf"


def velorin_cli(*args):
    return subprocess.run([sys.executable, "-m", "velorin", *map(str, args)], cwd=REPO,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def monaco():
    if not MONACO.exists():
        pytest.skip(f"{MONACO} not available")
    pytest.importorskip("osmium")
    return MONACO


def test_cli_routes_between_places_and_writes_geojson_and_pictures(monaco, tmp_path):
    # The README's command, pictures included: the whole way from an extract
    # to the files, through every module the command line uses.
    pytest.importorskip("matplotlib")
    out, page, png = tmp_path / "routes.geojson", tmp_path / "routes.html", tmp_path / "r.png"
    run = velorin_cli("route", monaco, "--from", "43.7308,7.4197", "--to", "43.7447,7.4297",
                      "--geojson", out, "--html", page, "--png", png)
    assert run.returncode == 0, run.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 50_000
    text = page.read_text(encoding="utf-8")
    assert text.startswith("<!DOCTYPE html>") and 'id="route-shortest"' in text
    assert "Boulevard" in text or "Avenue" in text  # street names read from the arcs
    features = json.loads(out.read_text())["features"]
    table = run.stdout.splitlines()
    for feature in features:
        kind = feature["properties"]["route_type"]
        assert any(line.startswith(kind) for line in table)
        lon, lat = feature["geometry"]["coordinates"][0]
        assert 7.40 < lon < 7.45 and 43.72 < lat < 43.76  # longitude first


def test_geojson_is_plain_json_for_any_encoder(monaco):
    # orjson (the batch's writer) refuses numpy scalars where json.dumps lets them pass.
    import orjson

    routes = Router.from_osm(monaco).route((43.7308, 7.4197), (43.7447, 7.4297))
    assert json.loads(orjson.dumps(to_geojson(routes))) == json.loads(json.dumps(
        to_geojson(routes)))


@pytest.mark.parametrize("args, message", [
    (["route", "{map}", "--from", "48.8566,2.3522", "--to", "43.7447,7.4297"],
     "km from the nearest routable node"),
    (["route", "{map}", "--from", "43.73;7.42", "--to", "43.7447,7.4297"], "LAT,LON"),
    (["route", "{map}", "--from", "-95,7.42", "--to", "43.7447,7.4297"], "latitude must lie"),
    (["route", "{tmp}/absent.osm.pbf", "--from", "43.73,7.42", "--to", "43.74,7.43"],
     "not found"),
    (["route", "{tmp}/broken.json", "--from", "43.73,7.42", "--to", "43.74,7.43"],
     "not a graph document"),
    (["route", "{map}", "--from", "43.73,7.42", "--to", "43.74,7.43", "--geojson",
      "{tmp}/no/such/dir/r.geojson"], "cannot write"),
])
def test_cli_failures_are_one_line_and_status_1(monaco, tmp_path, args, message):
    (tmp_path / "broken.json").write_text('{"nodes": [')
    args = [a.format(map=monaco, tmp=tmp_path) for a in args]
    run = velorin_cli(*args)
    assert run.returncode == 1
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("velorin route: error:")
    assert message in lines[0]


def test_writing_to_a_pipe_keeps_the_pipe(tmp_path):
    # A rename onto a device or a pipe would replace it with a plain file
    # (as root, `-o /dev/null` would break /dev/null for the whole machine).
    import os
    import stat
    import threading

    from velorin.cli import write_atomically

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_text()))
    reader.start()
    write_atomically(fifo, lambda out: out.write("{}\n"))
    reader.join(timeout=10)
    assert got == ["{}\n"] and stat.S_ISFIFO(os.stat(fifo).st_mode)
