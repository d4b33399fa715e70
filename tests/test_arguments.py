"""Argument matching and conversion for compute_safe_routes and
PyGraph.from_json: every message, the remapping of TypeError, and what a
failing call leaves behind (nothing)."""

import gc
import operator
import os
import sys

import pytest

from velorin_core import PyGraph, compute_safe_routes

EMPTY_DOCUMENT = '{"nodes": [], "edges": []}'


@pytest.fixture
def graph():
    return PyGraph.from_json(EMPTY_DOCUMENT)


def raised(call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return info.value


def from_json(*args, **kwargs):
    return PyGraph.from_json(*args, **kwargs)


# --- matching ---------------------------------------------------------------

MATCHING_CASES = [
    # (callable, args, kwargs, message)
    (
        compute_safe_routes,
        (),
        {},
        "compute_safe_routes() missing 4 required positional arguments: "
        "'graph', 'source', 'target', and 'eps'",
    ),
    (
        compute_safe_routes,
        (None, 1),
        {},
        "compute_safe_routes() missing 2 required positional arguments: 'target' and 'eps'",
    ),
    (
        compute_safe_routes,
        (None, 1, 2),
        {},
        "compute_safe_routes() missing 1 required positional argument: 'eps'",
    ),
    (
        compute_safe_routes,
        (None,),
        {"target": 2},
        "compute_safe_routes() missing 2 required positional arguments: 'source' and 'eps'",
    ),
    (
        compute_safe_routes,
        (),
        {"eps": 0.0},
        "compute_safe_routes() missing 3 required positional arguments: "
        "'graph', 'source', and 'target'",
    ),
    (
        compute_safe_routes,
        (None, 1, 2, 0.0, 5),
        {},
        "compute_safe_routes() takes 4 positional arguments but 5 were given",
    ),
    # The positional count wins over a bad keyword.
    (
        compute_safe_routes,
        (None, 1, 2, 0.0, 5),
        {"epsilon": 1},
        "compute_safe_routes() takes 4 positional arguments but 5 were given",
    ),
    (
        compute_safe_routes,
        (None, 1, 2, 0.0),
        {"eps": 0.1},
        "compute_safe_routes() got multiple values for argument 'eps'",
    ),
    (
        compute_safe_routes,
        (None,),
        {"graph": None},
        "compute_safe_routes() got multiple values for argument 'graph'",
    ),
    (
        compute_safe_routes,
        (None, 1, 2),
        {"epsilon": 0.1},
        "compute_safe_routes() got an unexpected keyword argument 'epsilon'",
    ),
    (
        compute_safe_routes,
        (),
        {"Graph": None, "source": 1, "target": 2, "eps": 0.0},
        "compute_safe_routes() got an unexpected keyword argument 'Graph'",
    ),
    # Keywords are checked in call order, before anything is missing.
    (
        compute_safe_routes,
        (),
        {"bogus": 1, "graph": None},
        "compute_safe_routes() got an unexpected keyword argument 'bogus'",
    ),
    # A lone surrogate in a keyword name is shown with replacement characters.
    (
        compute_safe_routes,
        (),
        {"\ud800x": 1},
        "compute_safe_routes() got an unexpected keyword argument '\ufffd\ufffd\ufffdx'",
    ),
    (
        from_json,
        (),
        {},
        "PyGraph.from_json() missing 1 required positional argument: 'json_str'",
    ),
    # "arguments" stays plural for a count of 1.
    (
        from_json,
        ("{}", "{}"),
        {},
        "PyGraph.from_json() takes 1 positional arguments but 2 were given",
    ),
    (
        from_json,
        ("{}",),
        {"json_str": "{}"},
        "PyGraph.from_json() got multiple values for argument 'json_str'",
    ),
    (
        from_json,
        (),
        {"json": "{}"},
        "PyGraph.from_json() got an unexpected keyword argument 'json'",
    ),
]


@pytest.mark.parametrize("call, args, kwargs, message", MATCHING_CASES)
def test_matching_messages(call, args, kwargs, message):
    error = raised(call, *args, **kwargs)
    assert type(error) is TypeError
    assert error.args == (message,)


# --- conversion failures before any graph is needed -----------------------


class Named:
    pass


class Named2:
    class Inner:
        pass


@pytest.mark.parametrize(
    "value, type_name",
    [(None, "NoneType"), (5, "int"), ("g", "str"), (Named(), "Named"), (Named2.Inner(), "Named2.Inner")],
)
def test_graph_conversion_error(value, type_name):
    error = raised(compute_safe_routes, value, 1, 2, 0.0)
    assert type(error) is TypeError
    assert error.args == (f"argument 'graph': '{type_name}' object cannot be converted to 'PyGraph'",)
    assert error.__cause__ is None


def test_first_failing_argument_decides():
    error = raised(compute_safe_routes, None, -1, "x", "y")
    assert str(error) == "argument 'graph': 'NoneType' object cannot be converted to 'PyGraph'"


@pytest.mark.parametrize("value, type_name", [(5, "int"), (b"{}", "bytes"), (None, "NoneType")])
def test_json_str_conversion_error(value, type_name):
    for error in (raised(from_json, value), raised(from_json, json_str=value)):
        assert type(error) is TypeError
        assert str(error) == f"argument 'json_str': '{type_name}' object cannot be converted to 'PyString'"


def test_json_str_lone_surrogate_passes_unicode_error():
    error = raised(from_json, '{"nodes": [], "edges": []}\ud800')
    assert type(error) is UnicodeEncodeError
    assert "surrogates not allowed" in str(error)


def test_json_str_subclass_accepted_as_text():
    class Text(str):
        pass

    assert from_json(Text('{"nodes": [[7, 1.0, 2.0]], "edges": []}')).node_count() == 1


# --- conversions after the graph ----------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    __float__ = __index__


class MyTypeError(TypeError):
    pass


def route_error(graph, source=1, target=2, eps=0.0):
    """The error of a call whose arguments all convert; the route engine
    refuses it (the graph is empty), so the message names the source."""
    return raised(compute_safe_routes, graph, source, target, eps)


@pytest.mark.parametrize(
    "value, node_id",
    [(0, 0), (True, 1), (False, 0), (2**64 - 1, 18446744073709551615), (Index(7), 7), (2**63, 2**63)],
)
def test_node_id_accepted(graph, value, node_id):
    error = route_error(graph, source=value)
    assert type(error) is RuntimeError
    assert str(node_id) in str(error)


@pytest.mark.parametrize("parameter", ["source", "target"])
@pytest.mark.parametrize("value", [-1, 2**64, Index(-5), Index(2**70)])
def test_node_id_out_of_range_is_overflow_unchanged(graph, parameter, value):
    error = raised(compute_safe_routes, graph, **{"source": 1, "target": 2, "eps": 0.0, parameter: value})
    assert type(error) is OverflowError
    assert "argument" not in str(error)


@pytest.mark.parametrize("parameter", ["source", "target"])
@pytest.mark.parametrize("value", [1.0, "1", None, [1]])
def test_node_id_wrong_type_is_remapped(graph, parameter, value):
    kwargs = {"source": 1, "target": 2, "eps": 0.0, parameter: value}
    with pytest.raises(TypeError) as original:
        operator.index(value)
    error = raised(compute_safe_routes, graph, **kwargs)
    assert type(error) is TypeError
    assert error.args == (f"argument '{parameter}': {original.value}",)


@pytest.mark.parametrize("value", [1, 1.5, -1.0, True, float("nan"), float("inf"), Index(3)])
def test_eps_accepted(graph, value):
    assert type(route_error(graph, eps=value)) is RuntimeError


def test_eps_wrong_type_is_remapped(graph):
    error = route_error(graph, eps="0.1")
    assert type(error) is TypeError
    assert error.args == ("argument 'eps': must be real number, not str",)


def test_eps_int_too_large_is_overflow_unchanged(graph):
    error = route_error(graph, eps=10**400)
    assert type(error) is OverflowError
    assert "argument" not in str(error)


@pytest.mark.parametrize("parameter", ["source", "target", "eps"])
@pytest.mark.parametrize(
    "error", [MyTypeError("sub"), ValueError("bad value"), ZeroDivisionError("zero"), KeyboardInterrupt()]
)
def test_other_exceptions_pass_through_unchanged(graph, parameter, error):
    kwargs = {"source": 1, "target": 2, "eps": 0.0, parameter: Raises(error)}
    got = raised(compute_safe_routes, graph, **kwargs)
    assert got is error


@pytest.mark.parametrize("parameter", ["source", "target", "eps"])
def test_remapped_error_keeps_cause_not_context(graph, parameter):
    cause = KeyError("root")
    original = TypeError("wrapped")
    original.__cause__ = cause
    kwargs = {"source": 1, "target": 2, "eps": 0.0, parameter: Raises(original)}
    error = raised(compute_safe_routes, graph, **kwargs)
    assert type(error) is TypeError
    assert error.args == (f"argument '{parameter}': wrapped",)
    assert error.__cause__ is cause
    assert error.__context__ is not original


def test_remapped_message_with_lone_surrogate(graph):
    error = route_error(graph, source=Raises(TypeError("bad \udc80 id")))
    assert error.args == ("argument 'source': bad \ufffd\ufffd\ufffd id",)


def test_remapped_message_of_unprintable_error(graph, monkeypatch):
    class NoStr:
        def __str__(self):
            raise RuntimeError("no text")

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    error = route_error(graph, target=Raises(TypeError(NoStr())))
    assert error.args == ("argument 'target': <unprintable TypeError object>",)
    assert len(reported) == 1
    assert type(reported[0].exc_value) is RuntimeError


def test_all_keywords_any_order(graph):
    for kwargs in (
        {"eps": 0.0, "target": 2, "source": 1, "graph": graph},
        {"source": 1, "graph": graph, "eps": 0.0, "target": 2},
    ):
        assert type(raised(compute_safe_routes, **kwargs)) is RuntimeError
    assert type(raised(compute_safe_routes, graph, 1, eps=0.0, target=2)) is RuntimeError


# --- nothing is left behind --------------------------------------------------

FAILING_CALLS = [
    ("graph", lambda g, o: compute_safe_routes(o, 1, 2, 0.0)),
    ("source", lambda g, o: compute_safe_routes(g, o, 2, 0.0)),
    ("target", lambda g, o: compute_safe_routes(g, 1, o, 0.0)),
    ("eps", lambda g, o: compute_safe_routes(g, 1, 2, o)),
    ("keyword", lambda g, o: compute_safe_routes(g, 1, 2, 0.0, extra=o)),
    ("surplus", lambda g, o: compute_safe_routes(g, 1, 2, 0.0, o)),
    ("twice", lambda g, o: compute_safe_routes(g, 1, 2, o, eps=o)),
    ("json_str", lambda g, o: PyGraph.from_json(o)),
]


@pytest.mark.parametrize("name, call", FAILING_CALLS, ids=[n for n, _ in FAILING_CALLS])
def test_failing_calls_keep_refcounts(graph, name, call):
    bad = object()
    before = (sys.getrefcount(graph), sys.getrefcount(bad))
    for _ in range(100):
        try:
            call(graph, bad)
        except (TypeError, RuntimeError):
            pass
        else:
            pytest.fail("the call did not fail")
    assert (sys.getrefcount(graph), sys.getrefcount(bad)) == before


def test_successful_conversion_keeps_refcounts(graph):
    source, target, eps = 10**12 + 1, 10**12 + 2, 0.25 + 1e-9
    before = [sys.getrefcount(x) for x in (graph, source, target, eps)]
    for _ in range(100):
        try:
            compute_safe_routes(graph, source, target, eps)
        except RuntimeError:
            pass
    assert [sys.getrefcount(x) for x in (graph, source, target, eps)] == before


def test_many_failing_calls_hold_memory_steady(graph):
    calls = [
        lambda: compute_safe_routes(),
        lambda: compute_safe_routes(None, 1, 2, 0.0),
        lambda: compute_safe_routes(graph, -1, 2, 0.0),
        lambda: compute_safe_routes(graph, 1.0, 2, 0.0),
        lambda: compute_safe_routes(graph, 1, 2, "x"),
        lambda: compute_safe_routes(graph, 1, 2, 0.0),
        lambda: compute_safe_routes(graph, 1, 2, 0.0, epsilon=1),
        lambda: PyGraph.from_json(5),
        lambda: PyGraph.from_json("{"),
        lambda: PyGraph(),
    ]

    def burst(rounds):
        for _ in range(rounds):
            for call in calls:
                try:
                    call()
                except Exception:
                    pass

    burst(200)  # warm caches
    gc.collect()
    blocks = sys.getallocatedblocks()
    rss = resident_kib()
    burst(3000)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 200
    if rss is not None and "asan" not in os.environ.get("LD_PRELOAD", ""):
        # (AddressSanitizer holds freed memory back on purpose and finds leaks
        # itself.) 30,000 failing calls: a leak of even one small block each shows.
        assert resident_kib() - rss < 2048


def resident_kib():
    try:
        with open("/proc/self/statm") as f:
            pages = int(f.read().split()[1])
    except OSError:
        return None
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024
