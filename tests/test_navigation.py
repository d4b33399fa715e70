"""What a navigation app takes from a route: directions, segments, via points, GPX."""

import dataclasses
import json
import math
import subprocess
import sys

import pytest

import velorin
from shared_data import REPO
from velorin import Router
from velorin.directions import steps_of
from velorin.route import Arc

from town import (BOULEVARD_ROW, NX, SECONDARY_COLS, build_town, grid_node)  # noqa: E402

WEST_ROAD = SECONDARY_COLS[0]  # "Route du Nord", crossing the boulevard


@pytest.fixture(scope="module")
def town():
    t = build_town()
    doc = t.graph(annotate=True)
    return t, Router.from_document(doc), doc


def trip(router, *places, eps=0.0):
    """The shortest trip through the places (the middle ones as via points)."""
    return router.route(places[0], places[-1], eps, via=list(places[1:-1]))[0]


# --- Directions --------------------------------------------------------------

@pytest.mark.parametrize("places, expected", [
    # Along the boulevard: straight over every junction; only the bridge's name is told.
    ((grid_node(0, BOULEVARD_ROW), grid_node(NX - 1, BOULEVARD_ROW)),
     [("depart", None, "Boulevard du Fleuve"), ("continue", "straight", "Pont du Boulevard"),
      ("continue", "straight", "Boulevard du Fleuve"), ("arrive", None, None)]),
    # East on the boulevard, then north (a left turn) at the western secondary road.
    ((grid_node(2, BOULEVARD_ROW), grid_node(WEST_ROAD, BOULEVARD_ROW),
      grid_node(WEST_ROAD, BOULEVARD_ROW + 3)),
     [("depart", None, "Boulevard du Fleuve"), ("via", "left", "Route du Nord"),
      ("arrive", None, None)]),
    # South on that road, then west on the boulevard: a right turn.
    ((grid_node(WEST_ROAD, BOULEVARD_ROW + 3), grid_node(WEST_ROAD, BOULEVARD_ROW),
      grid_node(2, BOULEVARD_ROW)),
     [("depart", None, "Route du Nord"), ("via", "right", "Boulevard du Fleuve"),
      ("arrive", None, None)]),
    # There and back: a U-turn at the via point.
    ((grid_node(2, BOULEVARD_ROW), grid_node(4, BOULEVARD_ROW), grid_node(2, BOULEVARD_ROW)),
     [("depart", None, "Boulevard du Fleuve"), ("via", "u-turn", "Boulevard du Fleuve"),
      ("arrive", None, None)]),
])
def test_directions_name_the_turns_of_the_town(town, places, expected):
    _, router, _ = town
    route = trip(router, *places)
    steps = route.directions
    assert [(s.maneuver, s.direction, s.name) for s in steps] == expected
    assert steps[0].instruction.startswith("Head ") and steps[-1].instruction == \
        "Arrive at the destination"
    assert [s.index for s in steps] == sorted(s.index for s in steps)
    assert math.isclose(sum(s.distance_m for s in steps), route.total_distance_m, rel_tol=1e-9)
    for step in steps:
        assert (step.lat, step.lon) == route.coordinates[step.index]


def test_steps_come_only_at_decisions(town):
    """Every step but the ends is a junction, a change of street or a via point."""
    t, router, _ = town
    for route in router.route(t.source, t.target, 0.0):
        streets = [a.name or a.highway for a in route.arcs]
        for step in route.directions[1:-1]:
            i = step.index
            assert route.node_degrees[i] > 2 or streets[i - 1] != streets[i]
    # A street that bends between junctions gives no step; without junction
    # facts every bend counts.
    bend = [(45.0, 5.0), (45.001, 5.0), (45.001, 5.0015)]
    arcs = [Arc(name="Rue A", highway="residential")] * 2
    assert [s.maneuver for s in steps_of(bend, arcs, degrees=[1, 2, 1])] == ["depart", "arrive"]
    assert [s.direction for s in steps_of(bend, arcs)][1] == "right"
    assert [s.maneuver for s in steps_of([(45.0, 5.0)])] == ["arrive"]


# --- Via points ----------------------------------------------------------------

def test_a_via_point_on_the_route_changes_nothing_one_off_it_adds_its_detour(town):
    t, router, _ = town
    direct = router.route(t.source, t.target, 0.0)[0]
    on = direct.path[len(direct.path) // 2]
    through = trip(router, t.source, on, t.target)
    assert through.path == direct.path and through.via_indices == (len(direct.path) // 2,)
    assert math.isclose(through.total_distance_m, direct.total_distance_m, rel_tol=1e-12)
    assert through.arcs == direct.arcs and through.node_degrees == direct.node_degrees

    off = grid_node(3, 2)
    legs = [router.route(a, b, 0.0)[0] for a, b in ((t.source, off), (off, t.target))]
    detour = trip(router, t.source, off, t.target)
    assert detour.total_distance_m == pytest.approx(sum(r.total_distance_m for r in legs))
    assert detour.total_distance_m > direct.total_distance_m + 500
    assert detour.path == legs[0].path + legs[1].path[1:]
    assert detour.path[detour.via_indices[0]] == off
    assert detour.node_count == len(detour.path) == len(detour.arcs) + 1


def test_trips_are_built_leg_by_leg(town):
    t, router, _ = town
    off = (45.172, 5.735)
    trips = router.route(t.source, t.target, 0.0, via=[off])
    node, _ = router.nearest_node(*off)
    legs = [router.route(t.source, node, 0.0), router.route(node, t.target, 0.0)]
    for name in ("shortest", "safest", "balanced"):
        trip = getattr(trips, name)
        parts = [getattr(leg, name) for leg in legs]
        assert trip.path == parts[0].path + parts[1].path[1:] and name in trip.names
        assert trip.total_risk == pytest.approx(sum(r.total_risk for r in parts))
        assert trip in trips
    assert len({r.path for r in trips}) == len(trips)
    feature = trips[0].to_geojson()
    assert feature["properties"]["via_indices"] == list(trips[0].via_indices)
    with pytest.raises(TypeError, match="sequence of places"):
        router.route(t.source, t.target, via=(45.172, 5.735))


# --- Segments ------------------------------------------------------------------

def test_segments_are_runs_of_equal_facts_covering_the_route(town):
    t, router, _ = town
    for route in router.route(t.source, t.target, 0.0):
        runs = route.segments
        assert runs[0].start == 0 and runs[-1].end == len(route.path) - 1
        assert all(a.end == b.start for a, b in zip(runs, runs[1:]))
        facts = [(s.name, s.highway, s.lts, s.surface) for s in runs]
        assert all(a != b for a, b in zip(facts, facts[1:]))
        for run in runs:
            assert {(a.name, a.highway, a.lts, a.surface)
                    for a in route.arcs[run.start:run.end]} == {facts[runs.index(run)]}
        assert math.isclose(sum(s.distance_m for s in runs), route.total_distance_m,
                            rel_tol=1e-9)
        geojson = route.to_geojson()["properties"]
        assert geojson["segments"] == [s.to_json() for s in runs]
        assert [d["instruction"] for d in geojson["directions"]] == [
            s.instruction for s in route.directions]


# --- GPX -------------------------------------------------------------------------

def test_gpx_gives_back_each_routes_coordinates(town):
    gpxpy = pytest.importorskip("gpxpy")
    t, router, _ = town
    routes = router.route(t.source, t.target, 0.0, via=[(45.172, 5.735)])
    parsed = gpxpy.parse(velorin.to_gpx(routes))
    assert [track.name for track in parsed.tracks] == [r.label for r in routes]
    for track, route in zip(parsed.tracks, routes):
        (segment,) = track.segments
        assert [(p.latitude, p.longitude) for p in segment.points] == list(route.coordinates)
        assert all(p.elevation is None for p in segment.points)
    assert [w.name for w in parsed.waypoints] == ["via 1"]
    single = gpxpy.parse(routes[0].to_gpx())
    assert len(single.tracks) == 1 and single.tracks[0].name == routes[0].label
    # Heights where the route knows them: in the track and in the runs' climbs.
    heights = tuple(100.0 + 5 * (i % 4) for i in range(len(routes[0].path)))
    hilly = dataclasses.replace(routes[0], elevations=heights)
    points = gpxpy.parse(hilly.to_gpx()).tracks[0].segments[0].points
    assert tuple(p.elevation for p in points) == heights
    runs = hilly.segments
    assert sum(r.ascent_m for r in runs) == sum(max(b - a, 0) for a, b in zip(heights, heights[1:]))
    assert all(r.descent_m is None for r in routes[0].segments)


# --- The package and the command line ---------------------------------------------

def test_version_and_lazy_names():
    assert velorin.__version__ and velorin.__version__[0].isdigit()
    assert {"Router", "Place", "Step", "Segment", "to_gpx", "__version__"} <= set(dir(velorin))
    run = subprocess.run([sys.executable, "-m", "velorin", "--version"], capture_output=True,
                         text=True, cwd=REPO)
    assert run.returncode == 0 and run.stdout.strip() == f"velorin {velorin.__version__}"


def test_cli_passes_via_points_and_writes_directions_and_gpx(town, tmp_path):
    pytest.importorskip("gpxpy")
    t, _, doc = town
    graph = tmp_path / "town.json"
    graph.write_text(json.dumps(doc))
    run = subprocess.run(
        [sys.executable, "-m", "velorin", "route", str(graph), "--from", str(t.source),
         "--to", str(t.target), "--via", "45.172,5.735", "--eps", "0", "--directions",
         "--gpx", str(tmp_path / "trip.gpx"), "--geojson", str(tmp_path / "trip.geojson")],
        capture_output=True, text=True, cwd=REPO)
    assert run.returncode == 0, run.stderr
    assert "shortest:" in run.stdout and "Reach via point 1, then" in run.stdout
    import gpxpy

    tracks = gpxpy.parse((tmp_path / "trip.gpx").read_text()).tracks
    features = json.loads((tmp_path / "trip.geojson").read_text())["features"]
    assert [tr.name for tr in tracks] == [f["properties"]["label"] for f in features]
    assert all(len(f["properties"]["via_indices"]) == 1 for f in features)
