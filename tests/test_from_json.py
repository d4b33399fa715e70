"""PyGraph.from_json: both record forms, skipped members, number forms, and
how refusals reach Python (their full table is the C++ decoder test's).

Positions are written into the documents with a § marker, which is removed
before decoding: the ValueError must name the line and byte column where the
marker stood.
"""

import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velorin_core import PyGraph, compute_safe_routes

MARK = "§"


def located(marked):
    """The document without its marker, and the marker's line and byte column."""
    assert marked.count(MARK) == 1, marked
    before = marked[: marked.index(MARK)].encode()
    line = before.count(b"\n") + 1
    column = len(before) - (before.rfind(b"\n") + 1)
    return marked.replace(MARK, ""), line, column


def refusal(text):
    with pytest.raises(ValueError) as info:
        PyGraph.from_json(text)
    assert len(info.value.args) == 1
    return info.value.args[0]


# --- refusals reach Python as ValueError ----------------------------------------
#
# Every refusal text and position of the decoder is checked on the C++ side
# (tests/cpp/json_graph_test.cpp, one table for all of them). Here: that they
# reach the caller as a ValueError with the message as its only argument, with
# positions counted in bytes of the string's UTF-8 form and in lines.

REFUSALS = [
    ("EOF while parsing a value", "§"),
    ("EOF while parsing a value", "  \n §"),
    ("missing field `edges`", '{"nodes": []}§'),
    ("invalid type: integer `5`, expected a sequence", '{"nodes": 5§, "edges": []}'),
    ("invalid value: integer `-1`, expected u64", '{"nodes": [{"id": -1§, "lat": 0, "lon": 0}], "edges": []}'),
    ("duplicate field `nodes`", '{"nodes": [], "edges": [], "nodes"§: []}'),
    ("invalid number", '{"x": 1e+§'),
    ("trailing characters", "[\r\n[],\r\n[]\r\n]\r\nx§"),
    # Columns count bytes: each "é" is two of them, each "🚲" four.
    ("expected `,` or `}`", '{\n  "nodes": [{"id": 1, "lat": 0,\n    "lon": 0, "x": "éé🚲" x§}]}'),
    ('invalid type: string "aé🚲", expected f64', '[[], [[1, 2, 3, 4, "a\\u00e9🚲"§]]]'),
]


@pytest.mark.parametrize("message, marked", REFUSALS, ids=[f"{m}|{t}" for m, t in REFUSALS])
def test_refusal_is_a_value_error_with_text_and_position(message, marked):
    text, line, column = located(marked)
    assert refusal(text) == f"{message} at line {line} column {column}"


# --- accepted documents --------------------------------------------------------

OBJECT_FORM = """{
  "nodes": [
    {"id": 1, "lat": 42.5063746, "lon": 1.5213451},
    {"lon": 1.5223451, "id": 2, "lat": 42.5073746},
    {"id": 3, "lat": 42, "lon": 1}
  ],
  "edges": [
    {"from": 1, "to": 2, "distance_m": 37.48, "risk_score": 0.25, "familiarity": 0.5},
    {"risk_score": 1, "distance_m": 12, "to": 3, "from": 2, "familiarity": null},
    {"from": 1, "to": 3, "distance_m": 1e3, "risk_score": 4}
  ]
}"""

ARRAY_FORM = """[
  [[1, 42.5063746, 1.5213451], [2, 42.5073746, 1.5223451], [3, 42, 1]],
  [[1, 2, 37.48, 0.25, 0.5], [2, 3, 12, 1, null], [1, 3, 1e3, 4, null]]
]"""

MIXED_FORMS = """{"edges": [[1, 2, 37.48, 0.25, 0.5], {"from": 2, "to": 3, "distance_m": 12, "risk_score": 1},
  [1, 3, 1000, 4, null]], "nodes": [[1, 42.5063746, 1.5213451], {"id": 2, "lat": 42.5073746, "lon": 1.5223451},
  [3, 42.0, 1.0]]}"""


@pytest.mark.parametrize("text", [OBJECT_FORM, ARRAY_FORM, MIXED_FORMS], ids=["object", "array", "mixed"])
def test_both_record_forms_build_the_same_graph(text):
    graph = PyGraph.from_json(text)
    assert (graph.node_count(), graph.edge_count()) == (3, 3)
    routes = {r.route_type: r for r in compute_safe_routes(graph, 1, 3, 0.0)}
    # The values reached the graph: 1 -> 2 -> 3 is 49.48 m at risk 1.25 and
    # familiarity 0.5 (null counts as 0.0); the direct arc is 1000 m at risk 4.
    assert routes["shortest"].path == [1, 2, 3]
    assert routes["shortest"].total_distance_m == 37.48 + 12.0
    assert routes["shortest"].total_risk == 1.25
    assert routes["shortest"].total_familiarity == 0.5


@pytest.mark.parametrize("text", ['{"nodes": [], "edges": []}', "[[], []]", ' \t\r\n{"edges":[],"nodes":[]}\n'])
def test_empty_graph(text):
    graph = PyGraph.from_json(text)
    assert (graph.node_count(), graph.edge_count()) == (0, 0)


SKIPPED_VALUES = [
    "null",
    "true",
    "false",
    "0",
    "-1.5e-3",
    "18446744073709551616",
    "1e999",  # only checked for form: skipped numbers are never converted
    '""',
    '"caf\\u00e9 \\ud83d\\udeb2 \\"quoted\\" \\/"',
    '"raw é 🚲"',
    "[]",
    "{}",
    '{"a": [1, 2, {"b": null}]}',
    '[[[[{"deep": [[], {}]}]]]]',
    '{"nodes": 5, "id": "x", "edges": {}}',  # field names mean nothing one level down
]


@pytest.mark.parametrize("value", SKIPPED_VALUES)
def test_unknown_members_are_skipped_whatever_they_hold(value):
    text = (
        f'{{"name": {value}, "nodes": [{{"tags": {value}, "id": 7, "lat": 48.85, "lon": 2.35, "x": {value}}}],'
        f' "edges": [{{"from": 7, "to": 7, "way": {value}, "distance_m": 1, "risk_score": 0}}], "z": {value}}}'
    )
    graph = PyGraph.from_json(text)
    assert (graph.node_count(), graph.edge_count()) == (1, 1)


def test_keys_match_after_unescaping_and_case_sensitively():
    graph = PyGraph.from_json('{"n\\u006fdes": [{"i\\u0064": 1, "lat": 0, "lon": 0}], "\\u0065dges": []}')
    assert graph.node_count() == 1
    assert refusal('{"nodes": [{"Id": 1, "lat": 0, "lon": 0}], "edges": []}').startswith("missing field `id`")


def test_unknown_keys_may_repeat():
    graph = PyGraph.from_json('{"x": 1, "nodes": [], "x": 2, "edges": [], "x": [3]}')
    assert graph.node_count() == 0


def test_graph_keeps_unknown_endpoints_duplicates_and_self_loops():
    graph = PyGraph.from_json("[[[1, 0, 0], [1, 0, 0.001]], [[1, 1, 1, 1, null], [5, 6, 1, 1, null]]]")
    assert (graph.node_count(), graph.edge_count()) == (2, 2)


# --- numbers at the limits ----------------------------------------------------------


@pytest.mark.parametrize("node_id", [0, 1, 2**53 + 1, 2**63, 2**64 - 1])
def test_node_ids_are_exact_over_the_unsigned_range(node_id):
    other = 0 if node_id else 1
    graph = PyGraph.from_json(f"[[[{node_id}, 0, 0], [{other}, 0, 0.001]], [[{node_id}, {other}, 5, 1, null]]]")
    (route,) = compute_safe_routes(graph, node_id, other, 0.0)
    assert route.path == [node_id, other]


@pytest.mark.parametrize(
    "written, value",
    [
        ("48", 48.0),
        ("-0", -0.0),
        ("1e3", 1000.0),
        ("37.48", 37.48),
        ("1.7976931348623157e308", 1.7976931348623157e308),
        ("5e-324", 5e-324),
        ("1e-400", 0.0),  # too small for a double: zero, as JSON readers agree
        ("18446744073709551615", 18446744073709551615.0),
        ("123456789012345678901234567890", 1.2345678901234568e29),
        ("0.1000000000000000055511151231257827021181583404541015625", 0.1),
    ],
)
def test_float_fields_take_any_number_correctly_rounded(written, value):
    # Familiarity is reported as it was read: a one-arc route shows it.
    graph = PyGraph.from_json(f"[[[1, 0, 0], [2, 0, 0]], [[1, 2, 1, 1, {written}]]]")
    (route,) = compute_safe_routes(graph, 1, 2, 0.0)
    assert route.total_familiarity == value


@pytest.mark.parametrize("written", ["1.7976931348623159e308", "-1e309", "1e99999999999999999999"])
def test_numbers_beyond_the_float_range_are_refused(written):
    text = f"[[[1, {written}, 0]], []]"
    assert refusal(text) == f"number out of range at line 1 column {6 + len(written)}"


# --- nesting ----------------------------------------------------------------------

DEPTH = 1_000_000


def test_skipped_value_a_million_arrays_deep_is_accepted():
    deep = "[" * DEPTH + "]" * DEPTH
    graph = PyGraph.from_json(f'{{"nodes": [], "deep": {deep}, "edges": []}}')
    assert graph.node_count() == 0


@pytest.mark.parametrize(
    "deep, message",
    [
        ("[" * DEPTH, "EOF while parsing a list"),
        ("[" * DEPTH + "]" * (DEPTH - 1), "EOF while parsing a list"),
        ("[" * DEPTH + "]" * DEPTH, "EOF while parsing an object"),
        ("[" * DEPTH + "}" + "]" * DEPTH, "expected value"),
        ('{"a":' * DEPTH + "1" + "}" * (DEPTH - 1) + "]", "expected `,` or `}`"),
    ],
    ids=["cut", "one-short", "document-cut", "wrong-closer", "objects-wrong-closer"],
)
def test_skipped_value_a_million_deep_is_refused_without_crashing(deep, message):
    assert refusal(f'{{"nodes": [], "deep": {deep}').startswith(message + " at line 1 column ")


# --- mutations of valid documents -----------------------------------------------------

POSITION = re.compile(r" at line (\d+) column (\d+)\Z")

SEEDS = [OBJECT_FORM, ARRAY_FORM, MIXED_FORMS, '{"nodes": [], "edges": [], "x": {"a": ["\\u00e9", 1e5, true]}}']
TOKENS = list('{}[]:,"\\ \n0123456789-+.eEtrufalsn') + ["null", "true", "1e400", "\\u", "\\ud800", "é", "\t", "\x00"]


@st.composite
def mutated_documents(draw):
    text = draw(st.sampled_from(SEEDS))
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(text)))
        kind = draw(st.sampled_from(["insert", "delete", "replace", "truncate"]))
        token = draw(st.sampled_from(TOKENS))
        if kind == "insert":
            text = text[:at] + token + text[at:]
        elif kind == "delete":
            text = text[:at] + text[at + draw(st.integers(1, 8)) :]
        elif kind == "replace":
            text = text[:at] + token + text[at + 1 :]
        else:
            text = text[:at]
    return text


@settings(max_examples=800, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(mutated_documents())
def test_every_mutation_gives_a_graph_or_a_positioned_value_error(text):
    try:
        graph = PyGraph.from_json(text)
    except ValueError as error:
        match = POSITION.search(str(error))
        assert match, str(error)
        line, column = int(match[1]), int(match[2])
        lines = text.encode().split(b"\n")
        assert 1 <= line <= len(lines)
        assert column <= len(lines[line - 1])
    else:
        assert graph.node_count() >= 0 and graph.edge_count() >= 0
