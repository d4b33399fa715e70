"""What compute_safe_routes hands back: a new list of read-only
PyRouteResult objects, and the route engine's refusals as RuntimeError."""

import sys
import weakref

import pytest

from velorin_core import PyGraph, PyRouteResult, compute_safe_routes

# 1 -> 3 is short and risky, 1 -> 2 -> 3 long and safe.
TRIANGLE = """{
  "nodes": [{"id": 1, "lat": 48.8566, "lon": 2.3522},
            {"id": 2, "lat": 48.8570, "lon": 2.3530},
            {"id": 3, "lat": 48.8580, "lon": 2.3525},
            {"id": 18446744073709551615, "lat": 48.8, "lon": 2.3}],
  "edges": [{"from": 1, "to": 2, "distance_m": 75.0, "risk_score": 0.2},
            {"from": 2, "to": 3, "distance_m": 115.0, "risk_score": 0.1},
            {"from": 1, "to": 3, "distance_m": 160.0, "risk_score": 0.9, "familiarity": 0.5},
            {"from": 3, "to": 18446744073709551615, "distance_m": 10.0, "risk_score": 0.0}]
}"""


@pytest.fixture(scope="module")
def graph():
    return PyGraph.from_json(TRIANGLE)


@pytest.fixture
def routes(graph):
    return compute_safe_routes(graph, 1, 3, 0.0)


def test_list_of_results(graph, routes):
    assert type(routes) is list
    assert [r.route_type for r in routes] == ["shortest", "safest"]
    assert all(type(r) is PyRouteResult for r in routes)
    assert compute_safe_routes(graph, 1, 3, 0.0) is not routes
    shortest, safest = routes
    assert shortest.path == [1, 3]
    assert safest.path == [1, 2, 3]
    assert (shortest.total_distance_m, shortest.total_risk, shortest.total_familiarity) == (
        160.0,
        0.9,
        0.5,
    )
    assert safest.total_distance_m == 190.0


def test_attribute_types(routes):
    for route in routes:
        assert type(route.path) is list and all(type(n) is int for n in route.path)
        for name in ("total_distance_m", "total_risk", "total_familiarity", "estimated_time_min",
                     "comfort_score"):
            assert type(getattr(route, name)) is float
        assert type(route.route_type) is str
        assert type(route.node_count) is int
        assert route.node_count == len(route.path)


def test_path_is_a_new_list_on_every_read(routes):
    route = routes[0]
    first = route.path
    second = route.path
    assert first is not second
    first.append(99)
    first[0] = -1
    assert route.path == second == [1, 3]


def test_largest_node_id_reads_back_positive(graph):
    (route,) = compute_safe_routes(graph, 3, 18446744073709551615, 0.0)
    assert route.path == [3, 18446744073709551615]


def test_single_node_route(graph):
    (route,) = compute_safe_routes(graph, 1, 1, 0.1)
    assert (route.path, route.node_count, route.route_type) == ([1], 1, "shortest")


@pytest.mark.parametrize(
    "name",
    ["path", "total_distance_m", "total_risk", "total_familiarity", "route_type",
     "estimated_time_min", "node_count", "comfort_score"],
)
def test_attributes_are_read_only(routes, name):
    route = routes[0]
    before = getattr(route, name)
    with pytest.raises(AttributeError):
        setattr(route, name, before)
    with pytest.raises(AttributeError):
        delattr(route, name)
    assert getattr(route, name) == before


def test_instance_has_no_dict_and_no_weakref(routes):
    route = routes[0]
    assert not hasattr(route, "__dict__")
    with pytest.raises(AttributeError):
        route.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(route)


def test_printed_form(routes):
    shortest, safest = routes
    assert repr(shortest) == str(shortest) == "Route(shortest, dist=160m, risk=0.900, time=2.4min)"
    assert repr(safest) == "Route(safest, dist=190m, risk=0.300, time=2.8min)"
    assert repr(routes) == f"[{shortest!r}, {safest!r}]"


@pytest.mark.parametrize(
    "source, target, message",
    [
        (7, 3, "Nœud source 7 introuvable dans le graphe"),
        (1, 2**64 - 2, "Nœud cible 18446744073709551614 introuvable dans le graphe"),
        (18446744073709551615, 1,
         "Nœud source 18446744073709551615 isolé (aucun arc sortant) — graphe déconnecté ?"),
        (2, 1, "Aucun chemin trouvé entre 2 et 1. "
               "Les nœuds sont peut-être dans des composantes déconnectées."),
    ],
)
def test_refused_requests_raise_runtime_error(graph, source, target, message):
    before = sys.getrefcount(graph)
    with pytest.raises(RuntimeError) as info:
        compute_safe_routes(graph, source, target, 0.1)
    assert info.type is RuntimeError
    assert info.value.args == (message,)
    del info
    assert sys.getrefcount(graph) == before


def test_results_and_graphs_are_released(graph):
    compute_safe_routes(graph, 1, 3, 0.0)
    counts = (sys.getrefcount(PyRouteResult), sys.getrefcount(graph), sys.getallocatedblocks())
    for _ in range(2000):
        routes = compute_safe_routes(graph, 1, 3, 0.0)
        [(r.path, repr(r), r.route_type) for r in routes]
        PyGraph.from_json(TRIANGLE).edge_count()
    del routes
    after = (sys.getrefcount(PyRouteResult), sys.getrefcount(graph), sys.getallocatedblocks())
    assert after[:2] == counts[:2]
    assert after[2] - counts[2] < 200
