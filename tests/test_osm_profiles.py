"""Cycling profiles on a real extract: ways and barriers checked by hand in Andorra's data."""

import pytest

from shared_data import DATA

from velorin import osm as og

pytest.importorskip("osmium")

ANDORRA = DATA / "andorra-latest.osm.pbf"
_DOCS = {}


def arcs_by_way(profile, push_bike):
    """Arcs of Andorra converted once per (profile, push_bike), by way id."""
    if not ANDORRA.exists():
        pytest.skip(f"{ANDORRA} not available")
    key = (profile, push_bike)
    if key not in _DOCS:
        doc = og.convert(ANDORRA, profile=profile, push_bike=push_bike, annotate=True)
        ways = {}
        for e in doc["edges"]:
            ways.setdefault(e["way_id"], []).append(e)
        _DOCS[key] = ways
    return _DOCS[key]


@pytest.mark.parametrize("way_id, city_push_bike, mtb", [
    (29249700, False, True),    # "Route 66", path, bicycle=designated but mtb:scale=3
    (32594779, False, True),    # path, mtb:scale=2, surface=unpaved
    (32551123, False, True),    # path, sac_scale=mountain_hiking
    (437628491, False, False),  # service road, bicycle=no
    (6181722, False, False),    # steps without a ramp
    (427419302, True, False),   # path "Pallerols - Andorra", bicycle=dismount
    (29249135, False, True),    # path, mtb:scale=2, sac_scale=alpine_hiking
])
def test_hand_checked_ways(way_id, city_push_bike, mtb):
    assert (way_id in arcs_by_way("city", True)) == city_push_bike
    assert (way_id in arcs_by_way("mtb", False)) == mtb


def test_mtb_trail_costs_grow_with_the_grade_and_stay_finite():
    ways = arcs_by_way("mtb", False)
    risks = [e["risk_score"] for arcs in ways.values() for e in arcs]
    assert all(0.0 < r < 1e6 for r in risks)
    per_m = {w: ways[w][0]["risk_score"] / ways[w][0]["distance_m"] for w in (29249700, 32594779)}
    # mtb:scale 3 on ground against mtb:scale 2 on unpaved ground.
    assert per_m[29249700] > per_m[32594779] > og.RiskModel().lts_risk_per_m[0]


@pytest.mark.parametrize("node, way_id, passes", [
    (441154305, 37633275, False),   # barrier=fence at the end of a residential street
    (3430628531, 31390934, False),  # barrier=gate with bicycle=no on a track
    (7844462205, 751098076, True),  # barrier=cycle_barrier on an mtb:scale=2 path
    (2132559002, 250003489, True),  # barrier=bollard, bicycle=yes, on a mountain_hiking track
])
def test_hand_checked_barriers(node, way_id, passes):
    arcs = arcs_by_way("mtb", False)[way_id]
    assert arcs, "the way itself is kept"
    assert any(node in (e["from"], e["to"]) for e in arcs) == passes
