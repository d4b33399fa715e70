"""Which routes a request gives: parallel arcs, the names each route carries."""

import json

import pytest

from velorin import Router
from velorin.osm import ConversionStats, dumps, graph_from_ways

A, B, C = (1, 45.0, 5.0), (2, 45.001, 5.0), (3, 45.002, 5.0)
BUSY = {"highway": "secondary", "maxspeed": "50", "name": "Grand-Rue"}
CALM = {"highway": "cycleway", "name": "Voie verte"}
M = 1 << 52  # the first node that splits a segment


@pytest.mark.parametrize("second, split, name", [
    # Another way over the same two nodes at another risk gets a node of its
    # own halfway, so the search tells the two apart: as long and calmer, it
    # is the one route, and the route says it rides it.
    (CALM, 1, "Voie verte"),
    # The same costs again change nothing: one route, over either arc.
    (dict(BUSY, name="Grand-Rue"), 0, "Grand-Rue"),
])
def test_parallel_ways_keep_their_own_routes(second, split, name):
    stats = ConversionStats()
    ways = [(10, BUSY, [A, B, C]), (11, second, [A, B])]
    doc = graph_from_ways(ways, annotate=True, stats=stats)
    assert stats.split_segments == split
    costs = {}
    for e in doc["edges"]:
        costs.setdefault((e["from"], e["to"]), set()).add((e["distance_m"], e["risk_score"]))
    assert all(len(c) == 1 for c in costs.values())
    if split:
        assert {(e["from"], e["to"]) for e in doc["edges"]} >= {
            (1, M), (M, 2), (2, M), (M, 1)}
        halves = sum(e["distance_m"] for e in doc["edges"] if (e["from"], e["to"]) in
                     ((1, M), (M, 2)))
        whole = next(e["distance_m"] for e in doc["edges"] if (e["from"], e["to"]) == (1, 2))
        assert halves == pytest.approx(whole, rel=1e-9)
    router = Router.from_document(doc, text=dumps(doc))
    route, = router.route(1, 2, eps=0.0)
    assert {a.name for a in route.arcs} == {name}
    legs = [(1, M), (M, 2)] if split else [(1, 2)]
    risk = {(e["from"], e["to"]): e["risk_score"] for e in doc["edges"] if e.get("name") == name}
    assert route.total_risk == pytest.approx(sum(risk[leg] for leg in legs))


def test_route_arcs_are_the_parallel_arcs_the_route_took():
    # A hand-made document with two arcs from 1 to 2: the safer one is the
    # route, though the other is listed first and is not longer.
    doc = {"nodes": [[1, 45.0, 5.0], [2, 45.001, 5.0]],
           "edges": [{"from": 1, "to": 2, "distance_m": 111.0, "risk_score": 2.0, "name": "a"},
                     {"from": 1, "to": 2, "distance_m": 111.0, "risk_score": 1.0, "name": "b"},
                     {"from": 2, "to": 1, "distance_m": 111.0, "risk_score": 1.0, "name": "c"}]}
    route, = Router.from_json(json.dumps(doc)).route(1, 2, eps=0.0)
    assert route.total_risk == 1.0 and [a.name for a in route.arcs] == ["b"]
