"""OSM import: way selection, one-way rules, risk model, document shape, real extracts."""

import bz2
import json
import math
import subprocess
import sys

import pytest

from shared_data import DATA, REPO

from velorin import osm as og

pytest.importorskip("osmium")


def profile(tags, **kwargs):
    p = og.classify_way(tags, **kwargs)
    if p is None:
        return None
    return (p.forward and p.forward.lts, p.backward and p.backward.lts)


RES = {"highway": "residential"}


@pytest.mark.parametrize("tags, expected", [
    # Direction rules.
    (RES, (1, 1)),
    ({**RES, "oneway": "yes"}, (1, None)),
    ({**RES, "oneway": "true"}, (1, None)),
    ({**RES, "oneway": "1"}, (1, None)),
    ({**RES, "oneway": "-1"}, (None, 1)),
    ({**RES, "oneway": "no"}, (1, 1)),
    ({**RES, "oneway": "reversible"}, None),
    ({**RES, "junction": "roundabout"}, (1, None)),
    ({**RES, "junction": "roundabout", "oneway": "no"}, (1, 1)),
    ({"highway": "cycleway", "oneway": "yes"}, (1, None)),
    ({**RES, "oneway:bicycle": "yes"}, (1, None)),
    # Cycling exceptions to one-way streets.
    ({**RES, "oneway": "yes", "oneway:bicycle": "no"}, (1, 1)),
    ({**RES, "oneway": "-1", "oneway:bicycle": "no"}, (1, 1)),
    ({**RES, "oneway": "yes", "cycleway": "opposite"}, (1, 1)),
    ({**RES, "oneway": "yes", "cycleway": "opposite_lane", "maxspeed": "50"}, (2, 2)),
    ({**RES, "oneway": "yes", "cycleway:left": "opposite_lane"}, (1, 1)),
    ({**RES, "oneway": "yes", "cycleway:left": "lane", "cycleway:left:oneway": "-1"}, (1, 1)),
    ({**RES, "oneway": "yes", "cycleway:right": "lane"}, (1, None)),
    ({**RES, "oneway": "yes", "cycleway": "opposite", "oneway:bicycle": "yes"}, (1, None)),
    ({"highway": "primary", "oneway": "yes", "lanes": "2", "cycleway:left": "track",
      "cycleway:left:oneway": "-1"}, (4, 1)),
    # Stress levels by speed, lanes and infrastructure.
    ({"highway": "primary", "lanes": "4", "maxspeed": "50"}, (4, 4)),
    ({"highway": "primary", "lanes": "4", "maxspeed": "50", "cycleway:right": "track"}, (1, 4)),
    ({"highway": "primary", "lanes": "4", "maxspeed": "50", "cycleway:both": "lane"}, (3, 3)),
    ({"highway": "primary", "maxspeed": "50", "cycleway": "lane"}, (2, 2)),
    ({"highway": "primary", "maxspeed": "50", "cycleway": "shared_lane"}, (3, 3)),
    ({"highway": "primary", "lanes": "4", "maxspeed": "50", "cycleway:right": "separate"},
     (4, 4)),
    ({"highway": "secondary", "maxspeed": "30"}, (2, 2)),
    ({"highway": "secondary", "maxspeed": "30 mph"}, (3, 3)),
    ({"highway": "tertiary", "maxspeed": "70"}, (4, 4)),
    ({"highway": "tertiary", "maxspeed:forward": "30", "maxspeed:backward": "50"}, (2, 3)),
    ({"highway": "tertiary", "lanes:forward": "2", "lanes:backward": "1"}, (4, 3)),
    ({**RES, "maxspeed": "50"}, (2, 2)),
    ({**RES, "maxspeed": "50", "cyclestreet": "yes"}, (1, 1)),
    ({"highway": "living_street"}, (1, 1)),
    ({"highway": "primary_link", "maxspeed": "50"}, (3, 3)),
    # Who may ride where.
    ({"highway": "motorway"}, None),
    ({"highway": "trunk"}, None),
    ({"highway": "trunk", "bicycle": "yes", "maxspeed": "80"}, (4, 4)),
    ({"highway": "footway"}, None),
    ({"highway": "footway", "bicycle": "designated"}, (1, 1)),
    ({"highway": "pedestrian", "bicycle": "yes"}, (1, 1)),
    ({"highway": "steps"}, None),
    ({"highway": "steps", "bicycle": "yes"}, (1, 1)),
    ({"highway": "steps", "ramp:bicycle": "yes"}, (1, 1)),
    ({"highway": "steps", "ramp:bicycle": "yes", "bicycle": "no"}, None),
    ({"highway": "path", "bicycle": "dismount"}, None),
    ({"highway": "path"}, (1, 1)),
    ({"highway": "path", "bicycle": "no"}, None),
    ({**RES, "access": "private"}, None),
    ({**RES, "access": "private", "bicycle": "yes"}, (1, 1)),
    ({**RES, "vehicle": "no"}, None),
    ({**RES, "bicycle": "use_sidepath"}, None),
    ({"highway": "pedestrian", "area": "yes", "bicycle": "yes"}, None),
    ({"highway": "construction"}, None),
    ({"building": "yes"}, None),
])
def test_classify_way(tags, expected):
    assert profile(tags) == expected


def test_traffic_side_decides_which_direction_a_side_track_serves():
    tags = {"highway": "primary", "lanes": "4", "maxspeed": "50", "cycleway:left": "track"}
    assert profile(tags) == (4, 1)
    assert profile(tags, left_hand_traffic=True) == (1, 4)


def test_push_bike_keeps_footways_but_not_forbidden_ones():
    assert profile({"highway": "footway"}, push_bike=True) == (1, 1)
    assert profile({"highway": "footway", "bicycle": "no"}, push_bike=True) is None
    assert profile({"highway": "steps"}, push_bike=True) is None


W = 0.0001  # risk per metre at LTS 1


@pytest.mark.parametrize("tags, city, trekking, mtb", [
    # A trail whose ground no tag describes: city avoids it, trekking pays a
    # little, mtb nothing; a described or designated one is costed as tagged.
    ({"highway": "path"}, 25 * W, 2 * W, W),
    ({"highway": "track"}, 25 * W, 2 * W, W),
    ({"highway": "bridleway", "bicycle": "yes"}, 25 * W, 2 * W, W),
    ({"highway": "path", "bicycle": "designated"}, W, W, W),
    ({"highway": "path", "surface": "asphalt"}, W, W, W),
    ({"highway": "track", "tracktype": "grade1"}, W, W, W),
    ({"highway": "path", "smoothness": "good"}, W, W, W),
    ({"highway": "cycleway"}, W, W, W),
    # Trail grades: out for city and trekking from mtb:scale 2 and sac_scale
    # mountain_hiking up; mtb keeps them at a cost growing with the grade.
    ({"highway": "path", "surface": "asphalt", "mtb:scale": "1"}, 1.5 * W, 1.3 * W, 1.1 * W),
    ({"highway": "path", "mtb:scale": "2+"}, None, None, 1.3 * W),
    ({"highway": "path", "mtb:scale": "4"}, None, None, 3.0 * W),
    ({"highway": "path", "surface": "paved", "sac_scale": "hiking"}, W, W, W),
    ({"highway": "path", "sac_scale": "mountain_hiking"}, None, None, 1.3 * W),
    ({"highway": "path", "sac_scale": "demanding_alpine_hiking"}, None, None, None),
    # The harder of the two grades counts, and the worst ground description.
    ({"highway": "path", "sac_scale": "mountain_hiking", "mtb:scale": "3"}, None, None, 1.8 * W),
    ({"highway": "path", "surface": "ground", "smoothness": "horrible"}, None, 3.0 * W,
     1.3 * W),
    ({"highway": "path", "smoothness": "very_bad"}, None, 2.0 * W, 1.1 * W),
    ({"highway": "track", "tracktype": "grade5", "surface": "gravel"}, 3.5 * W, 2.5 * W,
     1.2 * W),
])
def test_profiles_decide_which_trails_are_ridden_and_at_what_cost(tags, city, trekking, mtb):
    for name, expected in (("city", city), ("trekking", trekking), ("mtb", mtb)):
        way = og.classify_way(tags, og.RiskModel.for_profile(name))
        got = way and way.forward.risk_per_m
        assert got == (expected and pytest.approx(expected)), name


@pytest.mark.parametrize("tags, push_factor", [
    ({"highway": "footway"}, 3.0),
    ({"highway": "footway", "bicycle": "yes"}, 1.0),
    ({"highway": "path", "surface": "asphalt", "bicycle": "dismount"}, 3.0),
    ({"highway": "steps", "ramp:bicycle": "yes"}, 5.0),
])
def test_walked_ways_cost_more_and_dismount_ways_need_push_bike(tags, push_factor):
    walked = og.classify_way(tags, push_bike=True)
    assert walked.forward.risk_per_m == pytest.approx(push_factor * W)
    assert (og.classify_way(tags) is None) == (push_factor == 3.0)


@pytest.mark.parametrize("tags, blocks", [
    ({"barrier": "bollard"}, False),
    ({"barrier": "cycle_barrier"}, False),
    ({"barrier": "gate"}, False),
    ({"barrier": "stile"}, True),
    ({"barrier": "kissing_gate", "bicycle": "yes"}, False),
    ({"barrier": "bollard", "bicycle": "no"}, True),
])
def test_barriers(tags, blocks):
    assert og.barrier_blocks(tags, og.RiskModel().blocking_barriers) == blocks


def test_a_blocking_barrier_cuts_the_way_there():
    refs = [(1, 45.0, 5.0), (2, 45.001, 5.0), (3, 45.002, 5.0)]
    doc = og.graph_from_ways([(7, {"highway": "path"}, refs)], blocked_nodes={2})
    assert doc == {"nodes": [], "edges": []}
    doc = og.graph_from_ways([(7, {"highway": "path"}, refs)], blocked_nodes={3})
    assert [(e["from"], e["to"]) for e in doc["edges"]] == [(1, 2), (2, 1)]


def test_profile_and_model_must_agree(tmp_path):
    with pytest.raises(ValueError, match="differs from the risk model's profile"):
        og.convert(tmp_path / "x.osm", model=og.RiskModel(), profile="mtb")
    with pytest.raises(ValueError, match="unknown profile 'bmx'"):
        og.RiskModel.for_profile("bmx")
    mtb = og.RiskModel.from_mapping({"profile": "mtb", "push_factor": 2.0})
    assert mtb == og.RiskModel.for_profile("mtb", push_factor=2.0)


def test_risk_factors():
    model = og.RiskModel()
    base = og.classify_way(RES).forward.risk_per_m
    assert base == model.lts_risk_per_m[0]
    cobbles = og.classify_way({**RES, "surface": "sett"}).forward.risk_per_m
    assert cobbles == pytest.approx(base * model.surface_factor["sett"])
    contra = og.classify_way({**RES, "oneway": "yes", "oneway:bicycle": "no"})
    assert contra.backward.contraflow and not contra.forward.contraflow
    assert contra.backward.risk_per_m == pytest.approx(base * model.contraflow_factor)
    # A marked contraflow lane carries no contraflow penalty.
    lane = og.classify_way({**RES, "oneway": "yes", "cycleway": "opposite_lane"})
    assert lane.backward.risk_per_m == base


@pytest.mark.parametrize("value, kmh", [
    ("50", 50), ("30 mph", 30 * 1.609344), ("50;70", 70), ("FR:urban", 50), ("DE:zone30", 30),
    ("DE:zone:30", 30), ("walk", 7), ("none", 130), ("DE:living_street", 20), ("signals", None),
    ("", None), (None, None),
])
def test_parse_maxspeed(value, kmh):
    assert og.parse_maxspeed(value) == (pytest.approx(kmh) if kmh is not None else None)


def test_haversine_matches_the_search_estimate():
    assert og.haversine_m(0.0, 0.0, 0.0, 1.0) == pytest.approx(111194.9266, abs=1e-3)
    assert og.haversine_m(43.7, 7.4, 43.7, 7.4) == 0.0


def way(way_id, tags, *nodes):
    return way_id, tags, [(n, 45.0 + n * 1e-4, 5.0 + n * 2e-4) if n > 0 else (n, None, None)
                          for n in nodes]


def test_graph_from_ways_writes_only_used_nodes_and_cuts_at_missing_ones():
    ways = [
        way(1, RES, 1, 2, 2, 3),                       # repeated node: no self-loop arc
        way(2, {"highway": "footway"}, 3, 4),           # dropped: node 4 must not appear
        way(3, {**RES, "oneway": "yes"}, 3, -7, 5, 6),  # -7 has no position: split around it
    ]
    stats = og.ConversionStats()
    doc = og.graph_from_ways(ways, stats=stats)
    arcs = [(e["from"], e["to"]) for e in doc["edges"]]
    assert arcs == [(1, 2), (2, 1), (2, 3), (3, 2), (5, 6)]
    assert [n["id"] for n in doc["nodes"]] == [1, 2, 3, 5, 6]
    assert all("familiarity" not in e for e in doc["edges"])
    assert (stats.highway_ways, stats.kept_ways, stats.oneway_ways) == (3, 2, 1)
    assert stats.skipped_arcs == 2


def test_zero_length_arcs_get_a_risk_floor():
    # Two distinct nodes at one position: a zero-cost cycle unless risk is floored.
    ways = [(1, RES, [(1, 45.0, 5.0), (2, 45.0, 5.0)])]
    doc = og.graph_from_ways(ways)
    assert [e["distance_m"] for e in doc["edges"]] == [0.0, 0.0]
    assert all(e["risk_score"] == og.RiskModel().min_arc_risk for e in doc["edges"])


def test_familiarity_from_ridden_ways(tmp_path):
    listing = tmp_path / "ridden.txt"
    listing.write_text("# my commute\n1\n1, 2.0\n\n", encoding="utf-8")
    familiar = og.load_familiar_ways(listing)
    assert familiar == {1: 3.0}
    doc = og.graph_from_ways([way(1, RES, 1, 2), way(2, RES, 2, 3)], familiar_ways=familiar,
                             familiarity_per_km=0.5)
    by_arc = {(e["from"], e["to"]): e for e in doc["edges"]}
    assert by_arc[1, 2]["familiarity"] == pytest.approx(1.5 * by_arc[1, 2]["distance_m"] / 1000)
    assert by_arc[2, 3]["familiarity"] == 0.0


@pytest.mark.parametrize("text", ["12 x\n", "abc\n", "1 2 3\n", "5 nan\n"])
def test_bad_familiar_ways_file(tmp_path, text):
    listing = tmp_path / "ridden.txt"
    listing.write_text(text, encoding="utf-8")
    with pytest.raises(og.OsmImportError, match="line 1"):
        og.load_familiar_ways(listing)


def test_risk_model_overrides_round_trip_through_json():
    model = og.RiskModel()
    again = og.RiskModel.from_mapping(json.loads(json.dumps(model.to_mapping())))
    assert again == model
    tuned = og.RiskModel.from_mapping({"lts_risk_per_m": [1, 2, 3, 4],
                                       "surface_factor": {"sett": 3.0}})
    assert tuned.surface_factor["asphalt"] == 1.0 and tuned.surface_factor["sett"] == 3.0
    assert og.classify_way({**RES, "surface": "sett"}, tuned).forward.risk_per_m == 3.0


@pytest.mark.parametrize("values, message", [
    ({"lts_weights": [1, 2, 3, 4]}, "unknown risk model field"),
    ({"lts_risk_per_m": [1, 2, 3]}, "four"),
    ({"lts_risk_per_m": [1, 2, 3, -4]}, "four"),
    ({"min_arc_risk": 0}, "min_arc_risk"),
    ({"mixed_traffic": [[50, 1, 2, 3, 4]]}, "Infinity"),
    ({"painted_lane": [["Infinity", 1, 5, 3]]}, "1 to 4"),
])
def test_risk_model_rejects_unusable_values(values, message):
    with pytest.raises(ValueError, match=message):
        og.RiskModel.from_mapping(values)


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

def cli(*args):
    return subprocess.run([sys.executable, "-m", "velorin", "convert", *args], cwd=REPO,
                          capture_output=True, text=True, timeout=120)


def test_cli_help_and_usage_error():
    run = cli("--help")
    assert run.returncode == 0 and "--familiar" in run.stdout and "--risk-model" in run.stdout
    run = cli()
    assert run.returncode == 2 and "the input file is required" in run.stderr


@pytest.mark.parametrize("name, content, message", [
    ("absent.osm.pbf", None, "not found"),
    ("garbage.osm.pbf", b"this is not a protocol buffer at all" * 20, "cannot read OSM data"),
    ("cut.osm", b"<?xml version='1.0'?><osm version='0.6'><node id='1' lat='1' lon=",
     "cannot read OSM data"),
    ("bad.osm.bz2", b"BZh9 not really bzip2", "cannot read OSM data"),
    ("empty.osm", b"", "empty"),
    ("notes.txt", b"hello", "unknown extension"),
])
def test_cli_reports_bad_input_in_one_line(tmp_path, name, content, message):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    run = cli(str(path), "-o", str(tmp_path / "out.json"))
    assert run.returncode == 1
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("velorin convert: error:")
    assert message in lines[0]
    assert not (tmp_path / "out.json").exists()


def test_cli_converts_small_xml_with_options(tmp_path):
    xml = """<?xml version='1.0' encoding='UTF-8'?>
<osm version="0.6">
 <node id="1" lat="45.0000" lon="5.0000"/><node id="2" lat="45.0010" lon="5.0000"/>
 <node id="3" lat="45.0020" lon="5.0010"/><node id="4" lat="45.0030" lon="5.0010"/>
 <way id="10"><nd ref="1"/><nd ref="2"/><nd ref="3"/>
  <tag k="highway" v="residential"/><tag k="oneway" v="yes"/></way>
 <way id="11"><nd ref="3"/><nd ref="4"/><tag k="highway" v="footway"/></way>
</osm>"""
    src = tmp_path / "tiny.osm.bz2"
    src.write_bytes(bz2.compress(xml.encode()))
    (tmp_path / "ridden.txt").write_text("10\n")
    (tmp_path / "model.json").write_text('{"contraflow_factor": 2.0}')
    out = tmp_path / "tiny.json"
    run = cli(str(src), "-o", str(out), "--familiar", str(tmp_path / "ridden.txt"),
              "--risk-model", str(tmp_path / "model.json"), "--lts-weights", "1,2,3,4",
              "--progress")
    assert run.returncode == 0, run.stderr
    assert "1 of 2 highway ways kept" in run.stderr
    doc = json.loads(out.read_text())
    assert [n["id"] for n in doc["nodes"]] == [1, 2, 3]
    assert [(e["from"], e["to"]) for e in doc["edges"]] == [(1, 2), (2, 3)]
    for e in doc["edges"]:
        assert e["risk_score"] == pytest.approx(e["distance_m"])
        assert e["familiarity"] == pytest.approx(e["distance_m"] / 1000)


def test_cli_print_risk_model_and_bad_override(tmp_path):
    run = cli("--print-risk-model")
    assert run.returncode == 0 and json.loads(run.stdout)["lts_risk_per_m"][3] == 0.002
    (tmp_path / "model.json").write_text('{"nope": 1}')
    run = cli("x.osm", "--risk-model", str(tmp_path / "model.json"))
    assert run.returncode == 1 and "unknown risk model field(s): nope" in run.stderr


def test_an_unusable_risk_model_is_reported_as_such_before_reading(tmp_path):
    garbage = tmp_path / "garbage.osm.pbf"
    garbage.write_bytes(b"not a protocol buffer" * 20)
    model = og.RiskModel(min_arc_risk=0.0)
    for path in (garbage, DATA / "monaco-latest.osm.pbf"):
        with pytest.raises(ValueError, match="min_arc_risk"):
            og.convert(path, model=model)


# ---------------------------------------------------------------------------
# Real extracts
# ---------------------------------------------------------------------------

EXTRACTS = {
    # file: (node range, arc range)
    "monaco-latest.osm.pbf": ((3000, 10000), (5000, 20000)),
    "aguascalientes.osm.bz2": ((1000, 3083), (1500, 6000)),
}


_CONVERTED = {}


def converted(name):
    """The extract converted once per test session (annotated), or a skip."""
    path = DATA / name
    if not path.exists():
        pytest.skip(f"{path} not available")
    if name not in _CONVERTED:
        stats = og.ConversionStats()
        _CONVERTED[name] = (name, og.convert(path, annotate=True, stats=stats), stats)
    return _CONVERTED[name]


@pytest.fixture(params=sorted(EXTRACTS))
def extract(request):
    return converted(request.param)


def test_extract_counts_are_plausible(extract):
    name, doc, stats = extract
    (nlo, nhi), (elo, ehi) = EXTRACTS[name]
    assert nlo <= len(doc["nodes"]) <= nhi
    assert elo <= len(doc["edges"]) <= ehi
    assert 0 < stats.oneway_ways < stats.kept_ways < stats.highway_ways
    ids = [n["id"] for n in doc["nodes"]]
    assert len(set(ids)) == len(ids)
    used = {e["from"] for e in doc["edges"]} | {e["to"] for e in doc["edges"]}
    assert used == set(ids)


def test_extract_arc_lengths_are_the_haversine_of_their_ends(extract):
    _, doc, _ = extract
    coords = {n["id"]: (n["lat"], n["lon"]) for n in doc["nodes"]}
    weights = og.RiskModel().lts_risk_per_m
    for e in doc["edges"]:
        (alat, alon), (blat, blon) = coords[e["from"]], coords[e["to"]]
        assert e["distance_m"] == og.haversine_m(alat, alon, blat, blon)
        assert 0.0 <= e["distance_m"] < 5000.0
        assert e["risk_score"] >= max(e["distance_m"] * weights[e["lts"] - 1] * 0.999, 1e-6)
    # The JSON text keeps every float exactly.
    again = json.loads(og.dumps(doc))
    assert again == doc


HAND_CHECKED = [
    # extract, way id, what the map says
    ("monaco-latest.osm.pbf", 4224972, "forward"),   # Avenue des Papalins, oneway=yes
    ("monaco-latest.osm.pbf", 4226740, "forward"),   # Boulevard Albert 1er, oneway=yes
    ("monaco-latest.osm.pbf", 4229900, "forward"),   # Avenue Albert II, a roundabout
    ("monaco-latest.osm.pbf", 4227208, "both"),      # Avenue des Pins, oneway=no
    ("aguascalientes.osm.bz2", 75038096, "forward"),  # Calle Hortelanos, oneway=yes
    ("aguascalientes.osm.bz2", 75415272, "forward"),  # a roundabout, no oneway tag
    ("aguascalientes.osm.bz2", 79138580, "both"),     # Privada Nayarit, oneway=no
]


def way_nodes(path, way_ids):
    import osmium

    found = {}
    for w in osmium.FileProcessor(str(path), osmium.osm.WAY):
        if w.id in way_ids:
            found[w.id] = [n.ref for n in w.nodes]
    return found


@pytest.mark.parametrize("name, way_id, expected", HAND_CHECKED)
def test_hand_checked_one_way_streets(name, way_id, expected):
    _, doc, _ = converted(name)
    refs = way_nodes(DATA / name, {way_id})[way_id]
    along = list(zip(refs, refs[1:]))
    arcs = [(e["from"], e["to"]) for e in doc["edges"] if e["way_id"] == way_id]
    if expected == "both":
        assert arcs == [arc for pair in along for arc in (pair, pair[::-1])]
    else:
        assert arcs == along


def test_extract_loads_and_routes(extract):
    velorin_core = pytest.importorskip("velorin_core")
    from velorin.network import Network

    _, doc, _ = extract
    graph = velorin_core.PyGraph.from_json(og.dumps(doc))
    assert (graph.node_count(), graph.edge_count()) == (len(doc["nodes"]), len(doc["edges"]))
    coords = {n["id"]: (n["lat"], n["lon"]) for n in doc["nodes"]}
    arcs = {}
    for e in doc["edges"]:
        arcs.setdefault((e["from"], e["to"]), []).append(e)
    net = Network(doc)
    comp = sorted(net.ids[net.main_rows].tolist())
    source = comp[0]
    # A few targets at growing distance from one source, all mutually reachable.
    by_distance = sorted(comp, key=lambda n: og.haversine_m(*coords[source], *coords[n]))
    for target in (by_distance[len(comp) // 20], by_distance[len(comp) // 6]):
        routes = velorin_core.compute_safe_routes(graph, source, target, 0.1)
        assert routes and routes[0].route_type == "shortest"
        for r in routes:
            assert r.path[0] == source and r.path[-1] == target
            legs = list(zip(r.path, r.path[1:]))
            assert all(leg in arcs for leg in legs), "route uses an arc the map does not have"
            length = sum(min(e["distance_m"] for e in arcs[leg]) for leg in legs)
            assert r.total_distance_m == pytest.approx(length, rel=1e-9)
            assert r.total_distance_m >= og.haversine_m(*coords[source], *coords[target])
