"""Router.from_json reads exactly the documents the engine reads: whatever an unknown
member holds (nesting of any depth, integers of any length, lone surrogates), it
accepts what the engine accepts, refuses with the engine's positioned message what
the engine refuses, and reads the same nodes and arcs."""

import json
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reliability_support import LIGHT
from velorin import Router
from velorin_core import PyGraph

U64_MAX = (1 << 64) - 1
ODD = ["[" * 3000 + "]" * 3000, "9" * 5000, "-" + "1" * 4400 + ".5e-3", '"\\ud800"',
       '{"a": "\\\\\\"}"}', '"é\\u00e9\\\\"', "1e400", "[1,]", '{"a" 1}', "tru", '"\\x"',
       "00", "-", '"\\u12"', "[" * 1500 + "{}" + "]" * 1500]
IDS = [0, 1, 2, 3, U64_MAX]


def record(values, keys, extra, as_array):
    if as_array:
        return "[" + ", ".join(values) + "]"
    members = [f'"{k}": {v}' for k, v in zip(keys, values)]
    for at, (key, value) in extra:
        members.insert(at % (len(members) + 1), f'"{key}": {value}')
    return "{" + ", ".join(members) + "}"


number = st.sampled_from(["0", "1", "2.5", "-7", "1e3", "43.6", "5e-324", "1.7976931348623157e308"])
extras = st.lists(st.tuples(st.integers(0, 9), st.tuples(
    st.sampled_from(["x", "name", "way_id", "lts", "surface", "n\\u0061me"]),
    st.one_of(st.sampled_from(ODD), number, st.just('"Rue"')))), max_size=2)
nodes = st.lists(st.tuples(st.sampled_from(IDS), number, number, extras, st.booleans()),
                 max_size=5)
edges = st.lists(st.tuples(st.sampled_from(IDS), st.sampled_from(IDS), number, number,
                           st.sampled_from(["null", "0.5", None]), extras, st.booleans()),
                 max_size=6)


def document(node_list, edge_list, top_extra, array_form):
    node_text = [record([str(i), la, lo], ["id", "lat", "lon"], ex, arr)
                 for i, la, lo, ex, arr in node_list]
    edge_text = []
    for a, b, d, r, f, ex, arr in edge_list:
        values, keys = [str(a), str(b), d, r], ["from", "to", "distance_m", "risk_score"]
        if arr or f is not None:
            values.append(f or "null")
            keys.append("familiarity")
        edge_text.append(record(values, keys, ex, arr))
    parts = ["[" + ", ".join(node_text) + "]", "[" + ", ".join(edge_text) + "]"]
    if array_form:
        return "[" + ", ".join(parts) + "]"
    members = [f'"nodes": {parts[0]}', f'"edges": {parts[1]}']
    for at, (key, value) in top_extra:
        members.insert(at % 3, f'"{key}": {value}')
    return "{" + ", ".join(members) + "}"


def outcome(read, text):
    try:
        return read(text)
    except ValueError as error:
        return error


@settings(max_examples=100 if LIGHT else 400, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(nodes, edges, extras, st.booleans())
def test_the_package_reads_what_the_engine_reads(node_list, edge_list, top_extra, array_form):
    text = document(node_list, edge_list, top_extra, array_form)
    engine, package = outcome(PyGraph.from_json, text), outcome(Router.from_json, text)
    if isinstance(engine, ValueError):
        assert type(package) is ValueError and str(package) == str(engine)
        return
    assert not isinstance(package, Exception), package
    assert package.graph.edge_count() == engine.edge_count()
    arcs = package.arcs
    assert len(arcs.source) == engine.edge_count()
    try:  # the standard reader as the reference, where it can read the text
        plain = json.loads(text)
    except (ValueError, RecursionError):
        return
    records = plain if isinstance(plain, list) else [plain["nodes"], plain["edges"]]
    expected = [r["from"] if isinstance(r, dict) else r[0] for r in records[1]]
    assert arcs.source.tolist() == expected
    last = {}
    for r in records[0]:
        last[r["id"] if isinstance(r, dict) else r[0]] = r
    assert package.nodes.ids.tolist() == sorted(last)


@pytest.mark.parametrize("member", ["[" * 100_000 + "]" * 100_000,
                                    "{\"a\": " * 50_000 + "1" + "}" * 50_000,
                                    "9" * 5000, "-" + "9" * 5000 + ".5", '"\\udc00"'])
def test_unknown_members_of_any_depth_and_length_are_skipped(member):
    text = ('{"nodes": [{"id": 1, "lat": 45, "lon": 5, "note": ' + member + '},'
            ' {"id": 2, "lat": 45.001, "lon": 5}], "edges": [{"from": 1, "to": 2, '
            '"distance_m": 111, "risk_score": 1, "way_id": ' + member + '}], "x": '
            + member + '}')
    PyGraph.from_json(text)
    router = Router.from_json(text)
    assert router.node_count == 2
    assert [r.path for r in router.route(1, 2)] == [(1, 2)]


@pytest.mark.parametrize("member", ["9" * 5000 + "x", "[" * 100_000 + "]" * 99_999,
                                    "9" * 5000 + "e99999"])
def test_faults_deep_inside_are_refused_with_the_engines_position(member):
    text = '{"nodes": [{"id": 1, "lat": 45, "lon": 5, "note": ' + member + '}], "edges": []}'
    engine, package = outcome(PyGraph.from_json, text), outcome(Router.from_json, text)
    if isinstance(engine, ValueError):
        assert str(package) == str(engine) and " at line 1 column " in str(package)
    else:
        assert package.node_count == engine.node_count() == 1
