"""Hostile inputs end with a result or the documented exception, in bounded
time and memory: huge documents, nesting a million levels deep, a million
self-loops or parallel arcs, cycles that cost nothing or less than nothing,
costs whose sums overflow, node ids at both ends of the unsigned range and
eps values that are not numbers at all.

The heavy cases run in a child interpreter (see run_isolated): a crash there
fails one test instead of ending the session, a hang ends at the timeout, and
the child's peak RSS is measured on its own. Bounds are generous; what they
catch is a copy of a 200 MB text, memory that grows with nesting depth, a
search that never ends."""

import json
import math
import re

import pytest

from reliability_support import LIGHT, MiB, document, grid_document, run_isolated
from velorin_core import PyGraph, compute_safe_routes

MAX = 1.7976931348623157e308
U64_MAX = (1 << 64) - 1
NAN, INF = math.nan, math.inf
EPS_VALUES = [0.0, 0.1, -0.0, -1.0, -0.5, 1e308, NAN, INF, -INF]

HUGE = (20 if LIGHT else 200) * MiB  # bytes of document
DEEP = 1_000_000  # nesting depth: linear work, so the sanitizer run keeps it
MANY = 100_000 if LIGHT else 1_000_000  # self-loops or parallel arcs
TIMEOUT = 600 if LIGHT else 180  # seconds for one child, start-up included

POSITION = re.compile(r" at line (\d+) column (\d+)\Z")


def within(limit):
    """A memory bound, loosened for the sanitizer build: ASan pads every block,
    shadows all memory by an eighth and holds up to 256 MiB of freed blocks
    back in quarantine."""
    return 2 * limit + 320 * MiB if LIGHT else limit


LABELS = ["shortest", "safest", "balanced"]


def check_routes(routes, source, target, edges):
    """A result list as every caller may rely on it."""
    assert isinstance(routes, list) and 1 <= len(routes) <= 3
    types = [r.route_type for r in routes]
    assert types[0] == "shortest" and types == sorted(types, key=LABELS.index)
    arcs = {(a, b) for a, b, *_ in edges}
    paths = []
    for route in routes:
        path = route.path
        assert path[0] == source and path[-1] == target
        assert route.node_count == len(path)
        assert all((a, b) in arcs for a, b in zip(path, path[1:]))
        assert len(set(path)) == len(path), f"route revisits a node: {path}"
        assert repr(route).startswith(f"Route({route.route_type}, dist=")
        paths.append(path)
    assert len({tuple(p) for p in paths}) == len(paths)


# --- huge documents ------------------------------------------------------------


def test_huge_valid_document_builds_and_routes():
    # A chain of arcs in object form, the shape a map converter writes, about
    # HUGE bytes long. The search runs along the whole chain.
    result = run_isolated(
        """
        import time
        first = 1000000
        node = '{"id": %d, "lat": 43.1, "lon": 1.2}'
        arc = '{"from": %d, "to": %d, "distance_m": 12.5, "risk_score": 0.25, "familiarity": 0.5}'
        count = HUGE // (len(node % first) + len(arc % (first, first)) + 4)
        nodes = ", ".join([node % i for i in range(first, first + count)])
        arcs = ", ".join([arc % (i, i + 1) for i in range(first, first + count - 1)])
        text = '{"nodes": [' + nodes + '], "edges": [' + arcs + ']}'
        del nodes, arcs
        mark()
        started = time.monotonic()
        graph = PyGraph.from_json(text)
        decoded = time.monotonic() - started
        report(graph_bytes=grown_bytes())
        mark()
        routes = compute_safe_routes(graph, first, first + count - 1, 0.0)
        report(size=len(text), nodes=graph.node_count(), arcs=graph.edge_count(),
               decode_seconds=decoded, path_length=len(routes[0].path),
               distance=routes[0].total_distance_m, types=[r.route_type for r in routes])
        """,
        timeout=TIMEOUT,
        HUGE=HUGE,
    )
    count = result["nodes"]
    assert result["size"] >= HUGE * 0.9
    assert result["arcs"] == count - 1
    assert result["types"] == ["shortest"]
    assert result["path_length"] == count
    assert result["distance"] == pytest.approx(12.5 * (count - 1))
    # Decoding builds the graph's flat tables straight from the text (a
    # document tree of Python-like objects would take several times the
    # text); the search over the whole chain, with its 1.7-million-node
    # answer as a Python list, stays below the text's size too.
    assert result["graph_bytes"] < within(result["size"])
    assert result["grown_bytes"] < within(result["size"])


@pytest.mark.parametrize(
    "build, message",
    [
        # An unterminated string member running to the end of the text.
        (
            '\'{"nodes": [], "edges": [], "note": "\'.ljust(HUGE, "a")',
            "EOF while parsing a string at line 1 column {size}",
        ),
        # Blank lines before the document, then one stray character after it.
        (
            '\'{"nodes": [], "edges": []} x\'.rjust(HUGE, "\\n")',
            "trailing characters at line {lines} column 28",
        ),
        # A skipped member holding a huge array of numbers, never closed.
        (
            '\'{"nodes": [], "edges": [], "skip": [\'.ljust(HUGE - 2, "1") + ", "',
            "EOF while parsing a value at line 1 column {size}",
        ),
    ],
    ids=["unterminated string", "many lines", "huge skipped array"],
)
def test_huge_broken_document_reports_its_position(build, message):
    # Decoding a text it refuses builds nothing, and the text is read in
    # place: a copy would add the text's size.
    result = run_isolated(
        """
        text = eval(build)
        mark()
        try:
            PyGraph.from_json(text)
        except ValueError as error:
            report(size=len(text), lines=text.count("\\n") + 1, message=str(error))
        """,
        timeout=TIMEOUT,
        HUGE=HUGE,
        build=build,
    )
    assert result["message"] == message.format(**result)
    assert result["grown_bytes"] < within(0.25 * result["size"] + 32 * MiB)


# --- deep nesting ----------------------------------------------------------------


@pytest.mark.parametrize(
    "build, outcome",
    [
        ("""'{"skip": ' + "[" * DEEP + "]" * DEEP + ', "nodes": [], "edges": []}'""", "graph"),
        (
            """'{"skip": ' + '{"a": ' * DEEP + "null" + "}" * DEEP + ', "nodes": [], "edges": []}'""",
            "graph",
        ),
        (
            """'{"skip": ' + '[{"a": ' * DEEP + "1" + "}]" * DEEP + ', "nodes": [], "edges": []}'""",
            "graph",
        ),
        ("""'{"skip": ' + "[" * DEEP""", "EOF while parsing a list at line 1 column {size}"),
        ("""'{"skip": ' + '{"a": ' * DEEP""", "EOF while parsing a value at line 1 column {size}"),
        ("""'{"skip": ' + "[" * DEEP + "}" """, "expected value at line 1 column {size}"),
        ("""'{"nodes": ' + "[" * DEEP + "]" * DEEP + ', "edges": []}'""", "error"),
        ("""'[[], [' + "[" * DEEP""", "error"),
    ],
    ids=[
        "skipped arrays",
        "skipped objects",
        "skipped mixed",
        "unclosed arrays",
        "unclosed objects",
        "mismatched bracket",
        "nested in nodes",
        "nested in edges",
    ],
)
def test_deep_nesting_neither_recurses_nor_grows(build, outcome):
    result = run_isolated(
        """
        text = eval(build)
        mark()
        try:
            graph = PyGraph.from_json(text)
        except ValueError as error:
            report(message=str(error), size=len(text))
        else:
            report(message=None, counts=[graph.node_count(), graph.edge_count()], size=len(text))
        """,
        timeout=TIMEOUT,
        DEEP=DEEP,
        build=build,
    )
    if outcome == "graph":
        assert result["message"] is None and result["counts"] == [0, 0]
    elif outcome == "error":
        assert POSITION.search(result["message"]), result["message"]
    else:
        assert result["message"] == outcome.format(**result)
    # A native stack frame or a tree node per level would cost tens of
    # megabytes at this depth.
    assert result["grown_bytes"] < within(16 * MiB), result


# --- a million self-loops or parallel arcs ------------------------------------------


@pytest.mark.parametrize(
    "arc, tail, expected_distance",
    [
        ("[1, 1, 1.0, 1.0, null]", "[1, 2, 5.0, 5.0, null]", 5.0),  # loops that cost
        ("[1, 1, 0, 0, 0]", "[1, 2, 5.0, 5.0, null]", 5.0),  # loops that cost nothing
        ("[1, 1, -1.0, -1.0, 2.0]", "[1, 2, 5.0, 5.0, null]", 5.0),  # loops that pay back
        ("[1, 2, 10.0, 1.0, null]", "[1, 2, 5.0, 5.0, null]", 5.0),  # identical parallel arcs
        ("[1, 2, 10.0, 1.0, 0.5]", "[1, 2, 5.0, 5.0, 0.25]", 5.0),  # ... ridden before
        ("[1, 2, 0, 0, 0]", "[1, 2, 0, 0, 0]", 0.0),  # free parallel arcs
    ],
    ids=[
        "self-loops",
        "free self-loops",
        "negative self-loops",
        "parallel arcs",
        "familiar parallel arcs",
        "free parallel arcs",
    ],
)
def test_a_node_with_a_million_arcs(arc, tail, expected_distance):
    result = run_isolated(
        """
        import time
        text = "[[[1, 43.6, 1.44], [2, 43.61, 1.45]], [" + ", ".join([arc] * MANY + [tail]) + "]]"
        mark()
        graph = PyGraph.from_json(text)
        started = time.monotonic()
        answers = {}
        for eps in (0.0, 0.1, float("nan"), float("-inf"), -1.0):
            routes = compute_safe_routes(graph, 1, 2, eps)
            answers[repr(eps)] = [(r.route_type, r.path, r.total_distance_m) for r in routes]
        report(answers=answers, arcs=graph.edge_count(), search_seconds=time.monotonic() - started)
        """,
        timeout=TIMEOUT,
        arc=arc,
        tail=tail,
        MANY=MANY,
    )
    assert result["arcs"] == MANY + 1
    for eps, routes in result["answers"].items():
        # Every path is [1, 2]: one route, the shortest, even where eps lets no
        # solution discard anything and a million labels of equal cost meet.
        assert routes == [["shortest", [1, 2], expected_distance]], eps
    assert result["grown_bytes"] < within(1024 * MiB)


def test_parallel_arcs_with_scattered_costs():
    # Costs drawn at random: the solutions form a small Pareto front among a
    # million labels at the target, each tested against that front.
    result = run_isolated(
        """
        import random
        rng = random.Random(1)
        arcs = ", ".join(
            "[1, 2, %.3f, %.3f, %.3f]" % (rng.uniform(1, 1000), rng.uniform(0, 10), rng.uniform(0, 1))
            for _ in range(MANY))
        graph = PyGraph.from_json("[[[1, 43.6, 1.44], [2, 43.61, 1.45]], [" + arcs + "]]")
        routes = compute_safe_routes(graph, 1, 2, 0.0)
        report(routes=[(r.route_type, r.path) for r in routes])
        """,
        timeout=TIMEOUT,
        MANY=MANY,
    )
    assert result["routes"] == [["shortest", [1, 2]]]


# --- cycles and costs that break arithmetic --------------------------------------------


def complete_graph(n, cost):
    return [(a, b, cost, cost, 0.0) for a in range(1, n + 1) for b in range(1, n + 1) if a != b]


def grid_arcs(width, cost):
    arcs = []
    for y in range(width):
        for x in range(width):
            here = 1 + y * width + x
            for nx, ny in ((x + 1, y), (x, y + 1)):
                if nx < width and ny < width:
                    there = 1 + ny * width + nx
                    arcs += [(here, there, cost, cost, 0.0), (there, here, cost, cost, 0.0)]
    return arcs


CYCLE_GRAPHS = {
    # Two nodes that reach each other for free, then the way out.
    "free two-cycle": ([(1, 2, 0.0, 0.0, 0.0), (2, 1, 0.0, 0.0, 0.0), (2, 3, 1.0, 1.0, 0.0)], 1, 3),
    # Every pair linked for free: every simple path ties with every other.
    "free complete graph": (complete_graph(7, 0.0), 1, 7),
    # A loop that lowers both objectives each time round.
    "negative cycle": (
        [
            (1, 2, -1.0, -1.0, 1.0),
            (2, 1, -1.0, -1.0, 1.0),
            (2, 3, 5.0, 5.0, 0.0),
            (1, 3, 20.0, 0.1, 0.0),
        ],
        1,
        3,
    ),
    # Negative costs everywhere on a grid.
    "negative grid": (grid_arcs(4, -1.0), 1, 16),
    # Distance sums overflow to inf on one route, risk sums on another, and a
    # third route's key is inf - inf = NaN; the balanced score divides inf by inf.
    "overflowing sums": (
        [
            (1, 2, MAX, 1.0, 0.0),
            (2, 9, MAX, 1.0, 0.0),
            (1, 3, 1.0, MAX, 0.0),
            (3, 9, 1.0, MAX, 0.0),
            (1, 4, 1e308, 1e307, 1e307),
            (4, 9, 1e308, 1e307, 1e307),
            (1, 5, -MAX, MAX, -MAX),
            (5, 9, -MAX, MAX, -MAX),
        ],
        1,
        9,
    ),
    # The largest and smallest magnitudes side by side.
    "extreme magnitudes": (
        [
            (1, 2, 5e-324, MAX, 0.0),
            (2, 3, MAX, 5e-324, MAX),
            (1, 3, -MAX, -MAX, -MAX),
            (3, 1, MAX, MAX, 0.0),
        ],
        1,
        3,
    ),
}


@pytest.mark.parametrize("name", list(CYCLE_GRAPHS))
def test_cycles_and_extreme_costs_end_with_routes(name):
    edges, source, target = CYCLE_GRAPHS[name]
    ids = sorted({a for a, *_ in edges} | {b for _, b, *_ in edges})
    text = document([(i, 43.6 + i * 1e-3, 1.44) for i in ids], edges)
    # The search runs in a child first, so that a search that never ends fails
    # this test at the timeout instead of hanging the session.
    run_isolated(
        """
        graph = PyGraph.from_json(text)
        for eps in EPS_VALUES:
            compute_safe_routes(graph, source, target, eps)
        report()
        """,
        timeout=TIMEOUT,
        text=text,
        source=source,
        target=target,
        EPS_VALUES=EPS_VALUES,
    )
    graph = PyGraph.from_json(text)
    for eps in EPS_VALUES:
        routes = compute_safe_routes(graph, source, target, eps)
        check_routes(routes, source, target, edges)


def test_overflowing_sums_are_reported_not_hidden():
    # Sums past the largest double become +-inf and stay visible in the
    # metrics and the printed form; the routes they dominate are dropped.
    edges, source, target = CYCLE_GRAPHS["overflowing sums"]
    ids = sorted({a for a, *_ in edges} | {b for _, b, *_ in edges})
    graph = PyGraph.from_json(document([(i, 43.6, 1.44) for i in ids], edges))
    for eps in (0.0, NAN):
        shortest, safest = compute_safe_routes(graph, source, target, eps)
        assert (
            shortest.path == [1, 5, 9]
            and repr(shortest) == "Route(shortest, dist=-infm, risk=inf, time=-infmin)"
        )
        assert (shortest.total_familiarity, shortest.comfort_score) == (-INF, 0.0)
        assert (
            safest.path == [1, 2, 9]
            and repr(safest) == "Route(safest, dist=infm, risk=2.000, time=infmin)"
        )
        assert safest.comfort_score == math.exp(-4.0)


# --- ids at the ends of the range, eps that is not a number ---------------------------------


def test_node_ids_at_both_ends_of_the_range():
    middle = 1 << 63
    edges = [
        (0, U64_MAX, 1.0, 1.0),
        (U64_MAX, 0, 1.0, 1.0),
        (0, middle, 0.4, 0.4),
        (middle, U64_MAX, 0.4, 2.0),
    ]
    graph = PyGraph.from_json(
        document([(0, 0.0, 0.0), (U64_MAX, 0.0, 0.001), (middle, 0.0, 0.0005)], edges)
    )
    there = compute_safe_routes(graph, 0, U64_MAX, 0.0)
    assert [(r.route_type, r.path) for r in there] == [
        ("shortest", [0, middle, U64_MAX]),
        ("safest", [0, U64_MAX]),
    ]
    back = compute_safe_routes(graph, U64_MAX, 0, 0.0)
    assert back[0].path == [U64_MAX, 0] and all(type(i) is int and i >= 0 for i in back[0].path)
    assert compute_safe_routes(graph, 0, 0, 0.0)[0].path == [0]
    with pytest.raises(
        RuntimeError, match=r"^Nœud cible 18446744073709551614 introuvable dans le graphe$"
    ):
        compute_safe_routes(graph, 0, U64_MAX - 1, 0.0)
    with pytest.raises(RuntimeError, match=r"^Nœud source 9223372036854775807 introuvable"):
        compute_safe_routes(graph, middle - 1, 0, 0.0)
    with pytest.raises(OverflowError):
        compute_safe_routes(graph, 0, U64_MAX + 1, 0.0)


@pytest.mark.parametrize("eps", EPS_VALUES, ids=repr)
def test_any_eps_gives_routes(eps):
    # Three Pareto-optimal routes; eps only decides how many survive.
    edges = [
        (1, 2, 1000.0, 3.0, 0.0),
        (1, 3, 600.0, 0.5, 0.0),
        (3, 2, 600.0, 0.5, 0.0),
        (1, 4, 1000.0, 0.1, 0.0),
        (4, 2, 1000.0, 0.1, 0.0),
    ]
    graph = PyGraph.from_json(document([(i, 43.6 + i * 1e-3, 1.44) for i in range(1, 5)], edges))
    routes = compute_safe_routes(graph, 1, 2, eps)
    check_routes(routes, 1, 2, edges)
    if eps == 0.0:
        assert [r.path for r in routes] == [[1, 2], [1, 4, 2], [1, 3, 2]]
    if math.isnan(eps) or eps <= 0.1:
        assert routes[0].path == [1, 2]  # nothing prunes the shortest route
    else:
        # The first solution popped, the balanced one, prunes every other.
        assert [(r.route_type, r.path) for r in routes] == [("shortest", [1, 3, 2])]


@pytest.mark.parametrize("eps", [NAN, -INF, -1.0, INF], ids=repr)
def test_eps_that_prunes_nothing_still_ends_on_a_grid(eps):
    # NaN and -inf never let a solution discard a label; the search still ends
    # because labels are pruned at every node.
    graph = PyGraph.from_json(grid_document(12, 12, seed=2))
    routes = compute_safe_routes(graph, 1, 144, eps)
    arcs = json.loads(grid_document(12, 12, seed=2))["edges"]
    check_routes(routes, 1, 144, [(e["from"], e["to"]) for e in arcs])
