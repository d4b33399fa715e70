"""compute_safe_routes on random small graphs with random arguments, through
the Python API: every call ends with a list of valid routes or with exactly
the exception that the graph and the arguments call for.

The C++ fuzzer (tests/fuzz/route_fuzzer.cpp) hammers the engine itself; this
one covers the whole way in, from the JSON text and the Python argument
objects to the returned objects."""

import json
import math

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reliability_support import LIGHT
from velorin_core import PyGraph, PyRouteResult, compute_safe_routes

U64_MAX = (1 << 64) - 1
MAX = 1.7976931348623157e308
IDS = [0, 1, 2, 3, 4, 5, 1 << 63, U64_MAX]
COSTS = [0, 0.0, -0.0, 1, 2.5, 10.0, 100, -1.0, -7, 5e-324, 1e-300, 1e300, 1e308, MAX, -MAX]
DEGREES = [0, 0.0, 43.6, 43.601, 1.44, -90, 90, 180.0, 1e300]
LABELS = ["shortest", "safest", "balanced"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


nodes = st.lists(
    st.tuples(st.sampled_from(IDS), st.sampled_from(DEGREES), st.sampled_from(DEGREES)), max_size=7
)
edges = st.lists(
    st.tuples(
        st.sampled_from(IDS),
        st.sampled_from(IDS),
        st.sampled_from(COSTS),
        st.sampled_from(COSTS),
        st.one_of(st.none(), st.just("absent"), st.sampled_from(COSTS)),
    ),
    max_size=14,
)
node_arguments = st.one_of(
    st.sampled_from(IDS),
    st.sampled_from([-1, 1 << 64, True, False, 1.0, "1", None]),
    st.sampled_from(IDS).map(Index),
)
eps_arguments = st.one_of(
    st.sampled_from([0.0, 0.1, 0.5, -0.0, -1.0, math.nan, math.inf, -math.inf, 1e308]),
    st.sampled_from([0, 1, True, -1, 10**400, "0.1", None]),
)


def encode(node_list, edge_list, array_form):
    if array_form:
        return json.dumps(
            [
                [list(n) for n in node_list],
                [[a, b, d, r, None if f == "absent" else f] for a, b, d, r, f in edge_list],
            ]
        )
    edge_objects = []
    for a, b, d, r, f in edge_list:
        edge = {"from": a, "to": b, "distance_m": d, "risk_score": r}
        if f != "absent":
            edge["familiarity"] = f
        edge_objects.append(edge)
    return json.dumps(
        {
            "nodes": [{"id": i, "lat": la, "lon": lo} for i, la, lo in node_list],
            "edges": edge_objects,
        }
    )


def conversion_error(name, value, kind):
    """The exception that converting `value` raises, or None."""
    if kind == "id":
        number = value.value if isinstance(value, Index) else value
        if not isinstance(number, int):
            return TypeError, f"argument '{name}': "
        if not 0 <= number <= U64_MAX:
            return OverflowError, ""
        return None
    if isinstance(value, (str, type(None))):
        return TypeError, f"argument '{name}': "
    if isinstance(value, int) and abs(value) > MAX:
        return OverflowError, ""
    return None


def expected_refusal(node_list, edge_list, source, target):
    known = {i for i, _, _ in node_list}
    if source not in known:
        return f"Nœud source {source} introuvable dans le graphe"
    if target not in known:
        return f"Nœud cible {target} introuvable dans le graphe"
    if not any(a == source for a, *_ in edge_list):
        return f"Nœud source {source} isolé (aucun arc sortant) — graphe déconnecté ?"
    reached, frontier = {source}, [source]
    while frontier:
        here = frontier.pop()
        for a, b, *_ in edge_list:
            if a == here and b not in reached:
                reached.add(b)
                frontier.append(b)
    if target in reached:
        return None
    return (
        f"Aucun chemin trouvé entre {source} et {target}. "
        "Les nœuds sont peut-être dans des composantes déconnectées."
    )


@settings(
    max_examples=150 if LIGHT else 600, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
@given(nodes, edges, st.booleans(), node_arguments, node_arguments, eps_arguments)
def test_every_call_ends_in_routes_or_the_right_exception(
    node_list, edge_list, array_form, source, target, eps
):
    graph = PyGraph.from_json(encode(node_list, edge_list, array_form))
    assert (graph.node_count(), graph.edge_count()) == (len(node_list), len(edge_list))

    failure = (
        conversion_error("source", source, "id")
        or conversion_error("target", target, "id")
        or conversion_error("eps", eps, "float")
    )
    try:
        routes = compute_safe_routes(graph, source, target, eps)
    except (TypeError, OverflowError, RuntimeError) as error:
        if failure is not None:
            assert type(error) is failure[0] and str(error).startswith(failure[1])
            return
        assert type(error) is RuntimeError
        src = source.value if isinstance(source, Index) else int(source)
        tgt = target.value if isinstance(target, Index) else int(target)
        assert str(error) == expected_refusal(node_list, edge_list, src, tgt)
        return
    assert failure is None, f"expected {failure[0].__name__}"
    src = source.value if isinstance(source, Index) else int(source)
    tgt = target.value if isinstance(target, Index) else int(target)
    assert expected_refusal(node_list, edge_list, src, tgt) is None

    assert isinstance(routes, list) and 1 <= len(routes) <= 3
    assert all(type(r) is PyRouteResult for r in routes)
    kinds = [r.route_type for r in routes]
    assert kinds[0] == "shortest" and kinds == sorted(kinds, key=LABELS.index)
    arcs = {(a, b) for a, b, *_ in edge_list}
    for route in routes:
        path = route.path
        assert path[0] == src and path[-1] == tgt and route.node_count == len(path)
        assert all((a, b) in arcs for a, b in zip(path, path[1:]))
        assert len(set(path)) == len(path)
        assert repr(route) == str(route) and repr(route).endswith("min)")
    assert len({tuple(r.path) for r in routes}) == len(routes)
