"""Every entry point, called 100,000 times on its success path and on each of
its failure paths, leaves nothing behind: the process's resident memory stays
flat and the reference counts of the arguments come back to where they were.

A long-lived server calls these millions of times; a leak of one small object
per call, or of one reference to the caller's graph, would only show there.
32 bytes per call (the smallest heap block) over 100,000 calls is 3 MiB, well
above the tolerance below."""

import gc
import sys
from types import SimpleNamespace

import pytest

from reliability_support import LIGHT, MiB, document, rss_bytes
from velorin_core import PyGraph, PyRouteResult, compute_safe_routes

# Under the sanitizer every call is several times slower and freed memory sits
# in ASan's quarantine, so RSS says nothing there: fewer calls, and leaks are
# left to LeakSanitizer at exit. Reference counts are checked either way.
CALLS = 10_000 if LIGHT else 100_000
WARMUP = 2_000
RSS_TOLERANCE = 1 * MiB

# Ids above the small-int cache, so that every id argument is an object of its
# own whose reference count means something.
BASE = 1_000_000_000_000
S, T, VIA_A, VIA_B, STRANDED = (BASE + k for k in range(1, 6))
UNKNOWN = BASE + 99

# Three Pareto-optimal routes from S to T (shortest, safest, balanced), a
# source with no outgoing arc (T) and a node that nothing reaches (STRANDED).
DOCUMENT = document(
    [
        (S, 43.600, 1.440),
        (T, 43.610, 1.450),
        (VIA_A, 43.605, 1.440),
        (VIA_B, 43.600, 1.450),
        (STRANDED, 43.700, 1.500),
    ],
    [
        (S, T, 1000.0, 3.0, 0.5),
        (S, VIA_A, 600.0, 0.5),
        (VIA_A, T, 600.0, 0.5),
        (S, VIA_B, 1000.0, 0.1),
        (VIA_B, T, 1000.0, 0.1),
        (STRANDED, S, 1.0, 1.0),
    ],
)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class NarrowTypeError(TypeError):
    pass


class RaisingFloat:
    def __float__(self):
        raise ArithmeticError("no float here")


@pytest.fixture(scope="module")
def ctx():
    graph = PyGraph.from_json(DOCUMENT)
    routes = compute_safe_routes(graph, S, T, 0.0)
    assert [r.route_type for r in routes] == ["shortest", "safest", "balanced"]
    return SimpleNamespace(
        graph=graph,
        route=routes[2],
        doc=DOCUMENT,
        s=int(str(S)),  # fresh int objects, not the constants above
        t=int(str(T)),
        eps=float("0.1"),
        source_index=Index(S),
    )


# (name, expected exception or None, builder: ctx -> (call, objects whose
# reference counts must not move))
CASES = [
    # --- PyGraph.from_json
    ("from_json", None, lambda c: (lambda: PyGraph.from_json(c.doc), [c.doc])),
    ("from_json keyword", None, lambda c: (lambda: PyGraph.from_json(json_str=c.doc), [c.doc])),
    ("from_json on instance", None, lambda c: (lambda: c.graph.from_json(c.doc), [c.doc, c.graph])),
    ("from_json grammar", ValueError, lambda c: (lambda: PyGraph.from_json('{"nodes": [1,'), [])),
    (
        "from_json record",
        ValueError,
        lambda c: (
            lambda: PyGraph.from_json('{"nodes": [{"id": "seven\\n", "lat": 0, "lon": 0}]}'),
            [],
        ),
    ),
    (
        "from_json missing field",
        ValueError,
        lambda c: (lambda: PyGraph.from_json('{"nodes": []}'), []),
    ),
    ("from_json int", TypeError, lambda c: (lambda: PyGraph.from_json(c.s), [c.s])),
    ("from_json no argument", TypeError, lambda c: (lambda: PyGraph.from_json(), [])),
    (
        "from_json two arguments",
        TypeError,
        lambda c: (lambda: PyGraph.from_json(c.doc, c.doc), [c.doc]),
    ),
    (
        "from_json bad keyword",
        TypeError,
        lambda c: (lambda: PyGraph.from_json(text=c.doc), [c.doc]),
    ),
    (
        "from_json twice",
        TypeError,
        lambda c: (lambda: PyGraph.from_json(c.doc, json_str=c.doc), [c.doc]),
    ),
    (
        "from_json surrogate",
        UnicodeEncodeError,
        lambda c: (lambda: PyGraph.from_json("\ud800"), []),
    ),
    # --- PyGraph methods
    ("node_count", None, lambda c: (c.graph.node_count, [c.graph])),
    ("edge_count", None, lambda c: (c.graph.edge_count, [c.graph])),
    (
        "node_count with argument",
        TypeError,
        lambda c: (lambda: c.graph.node_count(c.s), [c.graph, c.s]),
    ),
    # --- compute_safe_routes: success and each refusal
    (
        "routes",
        None,
        lambda c: (
            lambda: compute_safe_routes(c.graph, c.s, c.t, c.eps),
            [c.graph, c.s, c.t, c.eps],
        ),
    ),
    (
        "routes by keyword",
        None,
        lambda c: (
            lambda: compute_safe_routes(eps=c.eps, target=c.t, source=c.s, graph=c.graph),
            [c.graph, c.s, c.t, c.eps],
        ),
    ),
    (
        "routes via __index__",
        None,
        lambda c: (
            lambda: compute_safe_routes(c.graph, c.source_index, c.t, 0),
            [c.graph, c.source_index, c.t],
        ),
    ),
    (
        "unknown source",
        RuntimeError,
        lambda c: (
            lambda: compute_safe_routes(c.graph, UNKNOWN, c.t, c.eps),
            [c.graph, c.t, c.eps],
        ),
    ),
    (
        "unknown target",
        RuntimeError,
        lambda c: (
            lambda: compute_safe_routes(c.graph, c.s, UNKNOWN, c.eps),
            [c.graph, c.s, c.eps],
        ),
    ),
    (
        "isolated source",
        RuntimeError,
        lambda c: (lambda: compute_safe_routes(c.graph, c.t, c.s, c.eps), [c.graph, c.s, c.t]),
    ),
    (
        "no path",
        RuntimeError,
        lambda c: (lambda: compute_safe_routes(c.graph, c.s, STRANDED, c.eps), [c.graph, c.s]),
    ),
    # --- compute_safe_routes: argument errors
    ("routes no argument", TypeError, lambda c: (lambda: compute_safe_routes(), [])),
    (
        "routes five arguments",
        TypeError,
        lambda c: (lambda: compute_safe_routes(c.graph, c.s, c.t, c.eps, c.eps), [c.graph, c.eps]),
    ),
    (
        "routes missing two",
        TypeError,
        lambda c: (lambda: compute_safe_routes(c.graph, c.s), [c.graph, c.s]),
    ),
    (
        "routes bad keyword",
        TypeError,
        lambda c: (
            lambda: compute_safe_routes(c.graph, c.s, c.t, epsilon=c.eps),
            [c.graph, c.s, c.t, c.eps],
        ),
    ),
    (
        "routes surrogate keyword",
        TypeError,
        lambda c: (lambda: compute_safe_routes(c.graph, **{"\udcff": c.eps}), [c.graph, c.eps]),
    ),
    (
        "routes twice",
        TypeError,
        lambda c: (
            lambda: compute_safe_routes(c.graph, c.s, c.t, c.eps, eps=c.eps),
            [c.graph, c.s, c.t, c.eps],
        ),
    ),
    (
        "graph None",
        TypeError,
        lambda c: (lambda: compute_safe_routes(None, c.s, c.t, c.eps), [c.s, c.t, c.eps]),
    ),
    (
        "graph wrong type",
        TypeError,
        lambda c: (lambda: compute_safe_routes(c.route, c.s, c.t, c.eps), [c.route, c.s]),
    ),
    (
        "source negative",
        OverflowError,
        lambda c: (lambda: compute_safe_routes(c.graph, -1, c.t, c.eps), [c.graph, c.t, c.eps]),
    ),
    (
        "target too large",
        OverflowError,
        lambda c: (
            lambda: compute_safe_routes(c.graph, c.s, 1 << 64, c.eps),
            [c.graph, c.s, c.eps],
        ),
    ),
    (
        "source float",
        TypeError,
        lambda c: (lambda: compute_safe_routes(c.graph, c.eps, c.t, c.eps), [c.graph, c.t, c.eps]),
    ),
    (
        "eps str",
        TypeError,
        lambda c: (lambda: compute_safe_routes(c.graph, c.s, c.t, "0.1"), [c.graph, c.s, c.t]),
    ),
    (
        "eps int too large",
        OverflowError,
        lambda c: (lambda: compute_safe_routes(c.graph, c.s, c.t, 1 << 2000), [c.graph, c.s, c.t]),
    ),
    (
        "eps __float__ raising",
        ArithmeticError,
        lambda c: (lambda: compute_safe_routes(c.graph, c.s, c.t, RaisingFloat()), [c.graph, c.s]),
    ),
    (
        "__index__ raising ValueError",
        ValueError,
        lambda c: (
            lambda: compute_safe_routes(c.graph, RaisingIndex(ValueError("no")), c.t, c.eps),
            [c.graph, c.t, c.eps],
        ),
    ),
    (
        "__index__ raising TypeError subclass",
        NarrowTypeError,
        lambda c: (
            lambda: compute_safe_routes(c.graph, c.s, RaisingIndex(NarrowTypeError("no")), c.eps),
            [c.graph, c.s, c.eps],
        ),
    ),
    (
        "__index__ raising TypeError with cause",
        TypeError,
        lambda c: (
            lambda: compute_safe_routes(c.graph, c.s, RaisingIndex(chained_type_error()), c.eps),
            [c.graph, c.s, c.eps],
        ),
    ),
    # --- PyRouteResult
    *[
        (
            f"attribute {name}",
            None,
            lambda c, name=name: (lambda: getattr(c.route, name), [c.route]),
        )
        for name in (
            "path",
            "total_distance_m",
            "total_risk",
            "total_familiarity",
            "route_type",
            "estimated_time_min",
            "node_count",
            "comfort_score",
        )
    ],
    ("repr", None, lambda c: (lambda: repr(c.route), [c.route])),
    ("str", None, lambda c: (lambda: str(c.route), [c.route])),
    (
        "attribute assignment",
        AttributeError,
        lambda c: (lambda: setattr(c.route, "total_risk", c.eps), [c.route, c.eps]),
    ),
    # --- refusing constructors
    ("PyGraph()", TypeError, lambda c: (lambda: PyGraph(), [])),
    ("PyGraph(args)", TypeError, lambda c: (lambda: PyGraph(c.doc, key=c.s), [c.doc, c.s])),
    ("PyRouteResult()", TypeError, lambda c: (lambda: PyRouteResult(), [])),
]


def chained_type_error():
    error = TypeError("outer")
    error.__cause__ = KeyError("cause")
    return error


def repeat(call, expected, times):
    if expected is None:
        for _ in range(times):
            call()
        return
    for _ in range(times):
        try:
            call()
        except expected:
            pass
        else:
            raise AssertionError(f"expected {expected.__name__}")


@pytest.mark.parametrize("name, expected, build", CASES, ids=[case[0] for case in CASES])
def test_repeated_calls_leave_nothing_behind(ctx, name, expected, build):
    call, tracked = build(ctx)
    repeat(call, expected, WARMUP)
    gc.collect()
    counts_before = [sys.getrefcount(obj) for obj in tracked]
    rss_before = rss_bytes()

    repeat(call, expected, CALLS)

    gc.collect()
    grown = rss_bytes() - rss_before
    assert [sys.getrefcount(obj) for obj in tracked] == counts_before
    if not LIGHT:
        assert grown < RSS_TOLERANCE, f"RSS grew by {grown / MiB:.2f} MiB over {CALLS} calls"


def test_results_and_graphs_are_freed_when_dropped(ctx):
    # Routes and graphs keep no hidden references: dropping the last reference
    # frees them, so a loop that keeps nothing keeps memory flat even for a
    # larger graph whose tables dominate the footprint.
    big = document(
        [(BASE + k, 43.0 + k * 1e-4, 1.0) for k in range(2000)],
        [(BASE + k, BASE + k + 1, 10.0, 0.1) for k in range(1999)],
    )
    rounds = 20 if LIGHT else 200
    for _ in range(5):
        PyGraph.from_json(big)
    gc.collect()
    rss_before = rss_bytes()
    for _ in range(rounds):
        graph = PyGraph.from_json(big)
        routes = compute_safe_routes(graph, BASE, BASE + 1999, 0.0)
        assert routes[0].node_count == 2000
        del graph, routes
    gc.collect()
    if not LIGHT:
        assert rss_bytes() - rss_before < RSS_TOLERANCE
