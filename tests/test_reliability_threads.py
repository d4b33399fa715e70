"""Eight Python threads sharing one graph get exactly the answers that one
thread gets: routes, refusals, counts and attribute reads.

The module holds the interpreter lock for the whole of each call, so threads
take turns; what can go wrong is shared state between calls (a cached
structure, a borrow counter left raised, a result object reused). The switch
interval is cut to a microsecond so that the threads interleave between
calls as often as the interpreter allows."""

import random
import sys
import sysconfig
import threading

import pytest

from reliability_support import LIGHT, grid_document
from velorin_core import PyGraph, compute_safe_routes

THREADS = 8
ROUNDS = 2 if LIGHT else 6
WIDTH = HEIGHT = 15


def answer(graph, source, target, eps):
    """Everything a caller can observe about one request."""
    try:
        routes = compute_safe_routes(graph, source, target, eps)
    except RuntimeError as error:
        return ("refused", str(error))
    return tuple(
        (
            r.route_type,
            tuple(r.path),
            r.total_distance_m,
            r.total_risk,
            r.total_familiarity,
            r.estimated_time_min,
            r.node_count,
            r.comfort_score,
            repr(r),
        )
        for r in routes
    )


def route_attributes(route):
    return (
        route.route_type,
        route.path,
        route.total_distance_m,
        route.total_risk,
        route.node_count,
        route.comfort_score,
        str(route),
    )


@pytest.fixture(scope="module")
def shared():
    document = grid_document(WIDTH, HEIGHT, seed=4)
    graph = PyGraph.from_json(document)
    rng = random.Random(8)
    last = WIDTH * HEIGHT
    queries = [
        (rng.randint(1, last), rng.randint(1, last), rng.choice([0.0, 0.1, 0.5])) for _ in range(24)
    ]
    # Refusals take part too: an unknown source, an unknown target.
    queries += [(last + 1, 1, 0.1), (1, last + 7, 0.0)]
    expected = {q: answer(graph, *q) for q in queries}
    assert sum(1 for a in expected.values() if a[0] != "refused") >= 20
    routes = compute_safe_routes(graph, 1, last, 0.0)
    return dict(
        document=document,
        graph=graph,
        queries=queries,
        expected=expected,
        routes=routes,
        route_views=[route_attributes(r) for r in routes],
    )


def test_eight_threads_share_one_graph(shared):
    graph, queries, expected = shared["graph"], shared["queries"], shared["expected"]
    counts = (graph.node_count(), graph.edge_count())
    barrier = threading.Barrier(THREADS)
    mismatches = []
    errors = []

    def worker(seed):
        try:
            rng = random.Random(seed)
            order = list(queries) * ROUNDS
            rng.shuffle(order)
            barrier.wait()
            for query in order:
                got = answer(graph, *query)
                if got != expected[query]:
                    mismatches.append((query, got))
                if (graph.node_count(), graph.edge_count()) != counts:
                    mismatches.append(("counts", graph.node_count(), graph.edge_count()))
                for route, view in zip(shared["routes"], shared["route_views"]):
                    if route_attributes(route) != view:
                        mismatches.append(("attributes", view))
        except BaseException as error:  # surfaced below, with the thread's traceback
            errors.append(error)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
        assert not any(thread.is_alive() for thread in threads), "a thread hung"
    finally:
        sys.setswitchinterval(previous)
    if errors:
        raise errors[0]
    assert mismatches == []


def test_threads_build_graphs_from_one_string(shared):
    # from_json reads the caller's str in place; many threads reading the same
    # str at once must each get the same graph.
    document = shared["document"]
    reference = shared["expected"]
    sample = [q for q in shared["queries"] if reference[q][0] != "refused"][:4]
    results = [None] * THREADS
    barrier = threading.Barrier(THREADS)

    def worker(k):
        barrier.wait()
        graph = PyGraph.from_json(document)
        results[k] = [(graph.node_count(), graph.edge_count())] + [
            answer(graph, *q) for q in sample
        ]

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    finally:
        sys.setswitchinterval(previous)
    graph = shared["graph"]
    want = [(graph.node_count(), graph.edge_count())] + [reference[q] for q in sample]
    assert results == [want] * THREADS


@pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"),
    reason="needs a free-threaded build of Python (python3.13t)",
)
def test_free_threaded_build_keeps_the_lock_for_this_module():
    # The module declares no free-threading support, so importing it on a
    # free-threaded interpreter turns the GIL back on rather than running its
    # calls in parallel unprotected.
    assert sys._is_gil_enabled()
