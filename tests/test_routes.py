"""compute_safe_routes end to end: against a literal model on random tie-rich graphs,
against Dijkstra on a real map, and the request's edge cases."""

from __future__ import annotations

import json
import math
import random
import struct

import pytest

import routing_model as model
from velorin_core import PyGraph, compute_safe_routes

from shared_data import DATA

BIG = 2**64 - 1


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


def engine(doc: dict, source: int, target: int, eps) -> list | str:
    graph = PyGraph.from_json(json.dumps(doc))
    try:
        return compute_safe_routes(graph, source, target, eps)
    except RuntimeError as refusal:
        return refusal.args[0]


def expected(doc: dict, source: int, target: int, eps) -> list | str:
    try:
        return model.compute_safe_routes(doc, source, target, float(eps))
    except model.RouteRefused as refusal:
        return refusal.args[0]


def assert_same(got, want, context=""):
    if isinstance(want, str) or isinstance(got, str):
        assert got == want, context
        return
    assert [r.route_type for r in got] == [r.route_type for r in want], context
    for g, w in zip(got, want):
        assert g.path == w.path, context
        assert g.node_count == w.node_count, context
        for field in ("total_distance_m", "total_risk", "total_familiarity",
                      "estimated_time_min", "comfort_score"):
            assert bits(getattr(g, field)) == bits(getattr(w, field)), (field, context)
        assert repr(g) == model.describe(w), context


# --- random small graphs, rich in exact ties --------------------------------

# Few distinct places, most of them the target's own, so that many keys are
# whole numbers and equal.
PLACES = [(45.0, 7.0), (45.0, 7.0), (45.0, 7.0), (45.0, 7.001), (45.001, 7.0), (0.0, 0.0)]
# (distance, risk) pairs on a convex front: middle routes win the balanced score.
TRADE_OFFS = [(0.0, 4.0), (1.0, 2.0), (2.0, 1.0), (4.0, 0.0), (3.0, 0.5), (2.0, 2.0)]
EPS = [0.0, 0.0, 0.0, 0.1, 0.5, 1, -0.5, -1.0, math.nan, math.inf, 1e-300]


def random_cost(rng: random.Random, overflow: bool = False) -> float:
    if overflow and rng.random() < 0.5:
        # Sums that overflow to infinities of both signs, and then NaN.
        return rng.choice([1e308, -1e308])
    roll = rng.random()
    if roll < 0.04:
        return rng.choice([-1.0, -2.0])
    if roll < 0.06:
        return rng.choice([1e308, -1e308])
    if roll < 0.12:
        return rng.choice([0.5, 0.25, 1.5, -0.0])
    return float(rng.randint(0, 4))


def great_circle_m(a, b) -> float:
    k = model.DEG
    s_lon = math.sin((b[1] - a[1]) * k * 0.5)
    s_lat = math.sin((b[0] - a[0]) * k * 0.5)
    h = (math.cos(b[0] * k) * math.cos(a[0] * k)) * (s_lon * s_lon) + s_lat * s_lat
    return math.atan2(math.sqrt(h), math.sqrt(1.0 - h)) * model.DIAMETER_M


def map_like_case(rng: random.Random):
    """Nodes a few metres apart, costs mostly whole numbers and arcs no shorter
    than the great circle, some rounded to the centimetre (a little short) or
    far shorter: the engine prunes with its lower bounds, and ties abound."""
    ids = rng.sample([1, 2, 3, 4, 5, 6, 7, BIG], rng.randint(3, 8))
    place = {i: (45.0 + 0.00002 * rng.randint(0, 3), 7.0 + 0.00002 * rng.randint(0, 3)) for i in ids}
    nodes = [{"id": i, "lat": place[i][0], "lon": place[i][1]} for i in ids]
    edges = []
    for _ in range(rng.randint(4, 16)):
        a, b = rng.choice(ids), rng.choice(ids)
        span = great_circle_m(place[a], place[b])
        if rng.random() < 0.3:
            distance = round(span * rng.choice([1.0, 1.0, 0.5]), 2)
        else:
            distance = math.ceil(span) + rng.randint(0, 2)
        edge = {"from": a, "to": b, "distance_m": float(distance),
                "risk_score": float(rng.randint(0, 3) * distance)}
        if rng.random() < 0.2:
            edge["familiarity"] = 0.25
        edges.append(edge)
        if rng.random() < 0.15:
            edges.append(dict(edge))
    return {"nodes": nodes, "edges": edges}, ids[0], ids[-1], rng.choice([0.0, 0.0, 0.1, 0.5, -0.5])


def random_case(rng: random.Random):
    if rng.random() < 0.3:
        return map_like_case(rng)
    ids = rng.sample([1, 2, 3, 4, 5, 6, BIG], rng.randint(2, 7))
    nodes = []
    for node_id in ids + rng.sample(ids, rng.randint(0, 2)):  # duplicate records
        lat, lon = rng.choice(PLACES)
        nodes.append({"id": node_id, "lat": lat, "lon": lon})

    def endpoint():  # 7 and 8 occur only in edges
        return rng.choice([7, 8]) if rng.random() < 0.1 else rng.choice(ids)

    # Half the cases chain the nodes with alternatives that trade distance for
    # risk, so that several routes survive; then random arcs on top.
    pairs = []
    if rng.random() < 0.5:
        for i, (a, b) in enumerate(zip(ids, ids[1:])):
            pairs += [(a, b)] * (2 if rng.random() < 0.2 else 1)
            pairs += [(a, c) for c in ids[i + 2:] if rng.random() < 0.4]
    pairs += [(endpoint(), endpoint()) for _ in range(rng.randint(1, 14 - min(len(pairs), 10)))]
    overflow = rng.random() < 0.1
    edges = []
    for a, b in pairs:
        if rng.random() < 0.5:
            distance, risk = rng.choice(TRADE_OFFS)
        else:
            distance, risk = random_cost(rng, overflow), random_cost(rng, overflow)
        edge = {"from": a, "to": b, "distance_m": distance, "risk_score": risk}
        roll = rng.random()
        if roll < 0.3:
            edge["familiarity"] = float(rng.randint(0, 2))
        elif roll < 0.4:
            edge["familiarity"] = None
        edges.append(edge)
        if rng.random() < 0.15:
            edges.append(dict(edge))  # parallel twin
    source, target = (ids[0], ids[-1]) if rng.random() < 0.5 else (rng.choice(ids), rng.choice(ids))
    if rng.random() < 0.05:
        source = rng.choice([7, 8, 9])
    if rng.random() < 0.05:
        target = rng.choice([7, 8, 9])
    return {"nodes": nodes, "edges": edges}, source, target, rng.choice(EPS)


@pytest.mark.parametrize("seed", range(8))
def test_engine_matches_the_literal_model_on_random_graphs(seed):
    rng = random.Random(seed)
    outcomes = set()
    for case in range(1000):
        doc, source, target, eps = random_case(rng)
        got = engine(doc, source, target, eps)
        want = expected(doc, source, target, eps)
        assert_same(got, want, (seed, case, doc, source, target, eps))
        outcomes.add(got[:12] if isinstance(got, str) else len(got))
    # The cases reach every kind of answer.
    assert {1, 2, 3} <= outcomes and len(outcomes) >= 6


# --- the request's own edge cases -------------------------------------------

TOWN = {
    "nodes": [{"id": 1, "lat": 45.0, "lon": 7.0}, {"id": 2, "lat": 45.001, "lon": 7.0},
              {"id": 3, "lat": 45.001, "lon": 7.001}, {"id": 4, "lat": 45.0, "lon": 7.001},
              {"id": BIG, "lat": 45.002, "lon": 7.002}],
    "edges": [
        {"from": 1, "to": 2, "distance_m": 95.0, "risk_score": 0.25},
        {"from": 2, "to": 3, "distance_m": 60.0, "risk_score": 0.25},
        {"from": 1, "to": 4, "distance_m": 80.0, "risk_score": 0.1},
        {"from": 4, "to": 3, "distance_m": 110.0, "risk_score": 0.2},
        {"from": 1, "to": 3, "distance_m": 150.0, "risk_score": 1.5},
        {"from": 3, "to": 77, "distance_m": 10.0, "risk_score": 0.0},
        {"from": 77, "to": BIG, "distance_m": 10.0, "risk_score": 0.0},
    ],
}
NO_PATH = "Aucun chemin trouvé entre {} et {}. Les nœuds sont peut-être dans des composantes déconnectées."


@pytest.mark.parametrize("doc, source, target, message", [
    ({"nodes": [], "edges": []}, 1, 1, "Nœud source 1 introuvable dans le graphe"),
    # The source is checked first, then the target, then the source's arcs.
    (TOWN, 9, 10, "Nœud source 9 introuvable dans le graphe"),
    (TOWN, 2**63 + 1, 1, f"Nœud source {2**63 + 1} introuvable dans le graphe"),
    (TOWN, BIG, 9, "Nœud cible 9 introuvable dans le graphe"),
    (TOWN, BIG, 1, f"Nœud source {BIG} isolé (aucun arc sortant) — graphe déconnecté ?"),
    (TOWN, BIG, BIG, f"Nœud source {BIG} isolé (aucun arc sortant) — graphe déconnecté ?"),
    # An id known only from edges is not a node of the graph.
    (TOWN, 77, BIG, "Nœud source 77 introuvable dans le graphe"),
    (TOWN, 1, 77, "Nœud cible 77 introuvable dans le graphe"),
    # Reachable from nowhere: the whole search runs, then the refusal.
    (TOWN, 2, 1, NO_PATH.format(2, 1)),
    (TOWN, 3, 4, NO_PATH.format(3, 4)),
])
def test_refusals_in_check_order(doc, source, target, message):
    assert engine(doc, source, target, 0.1) == message


@pytest.mark.parametrize("eps", [0, 0.0, -1.0, -0.5, math.nan, math.inf, True, 10**400 // 10**399])
def test_eps_is_used_as_given(eps):
    got = engine(TOWN, 1, BIG, eps)
    assert isinstance(got, list)
    assert_same(got, expected(TOWN, 1, BIG, eps))


def test_town_routes_cross_an_id_without_node_record():
    routes = engine(TOWN, 1, BIG, 0.0)
    assert [(r.route_type, r.path) for r in routes] == [
        ("shortest", [1, 3, 77, BIG]), ("safest", [1, 4, 3, 77, BIG]), ("balanced", [1, 2, 3, 77, BIG])]
    assert repr(routes[0]) == "Route(shortest, dist=170m, risk=1.500, time=2.5min)"


def test_source_equal_to_target():
    (route,) = engine(TOWN, 1, 1, 0.1)
    assert (route.route_type, route.path, route.node_count) == ("shortest", [1], 1)
    assert (route.total_distance_m, route.total_risk, route.comfort_score) == (0.0, 0.0, 1.0)


@pytest.mark.parametrize("edges, path", [
    # Cycles that a plain best-first search would run around forever.
    ([(1, 2, 0, 0), (2, 1, 0, 0), (2, 3, 5, 1)], [1, 2, 3]),
    ([(1, 2, 1, 1), (2, 2, 0, 0), (2, 3, 5, 1)], [1, 2, 3]),
    ([(1, 2, 5, 1), (2, 4, -10, -1), (4, 2, 1, 0), (2, 3, 1, 1)], [1, 2, 3]),
    ([(1, 2, 1, 1), (2, 4, 1, -2), (4, 2, 1, 1), (2, 3, 1, 1)], [1, 2, 3]),
    ([(1, 2, 1e308, 1), (2, 4, 1e308, 0), (4, 2, -1e308, 0), (2, 3, 1, 1)], [1, 2, 3]),
    ([(1, 2, 1e20, 0), (2, 4, 1, 0), (4, 2, 1, 0), (4, 3, 1, 0)], [1, 2, 4, 3]),
])
def test_non_improving_cycles_end(edges, path):
    doc = {"nodes": [{"id": i, "lat": 0.0, "lon": 0.0} for i in (1, 2, 3, 4)],
           "edges": [{"from": a, "to": b, "distance_m": d, "risk_score": r} for a, b, d, r in edges]}
    for eps in (0.0, 0.1):
        routes = engine(doc, 1, 3, eps)
        assert routes[0].path == path
        assert_same(routes, expected(doc, 1, 3, eps))


# --- a real map against Dijkstra --------------------------------------------

@pytest.fixture(scope="module")
def monaco():
    nx = pytest.importorskip("networkx")
    pytest.importorskip("osmium")
    extract = DATA / "monaco-latest.osm.pbf"
    if not extract.exists():
        pytest.skip(f"{extract} not found")
    import osm_to_graph

    doc = osm_to_graph.convert(extract)
    digraph = nx.MultiDiGraph()
    for e in doc["edges"]:
        digraph.add_edge(e["from"], e["to"], distance=e["distance_m"], risk=e["risk_score"])
    return PyGraph.from_json(osm_to_graph.dumps(doc)), digraph


def test_exact_search_agrees_with_dijkstra_on_a_real_map(monaco):
    import networkx as nx

    graph, digraph = monaco
    rng = random.Random(2024)
    nodes = sorted(digraph.nodes)
    checked = 0
    while checked < 40:
        source, target = rng.sample(nodes, 2)
        try:
            shortest = nx.dijkstra_path_length(digraph, source, target, weight="distance")
        except nx.NetworkXNoPath:
            continue
        safest = nx.dijkstra_path_length(digraph, source, target, weight="risk")
        routes = {r.route_type: r for r in compute_safe_routes(graph, source, target, 0.0)}
        # "safest" is left out only when its path is the shortest one.
        safe = routes.get("safest", routes["shortest"])
        assert routes["shortest"].total_distance_m == pytest.approx(shortest, rel=1e-12)
        assert safe.total_risk == pytest.approx(safest, rel=1e-12)
        assert all(r.path[0] == source and r.path[-1] == target for r in routes.values())
        checked += 1
