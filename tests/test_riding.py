"""What a rider meets: riding times, hills from an elevation raster, trails of unknown ground."""

import math
import sys

import numpy as np
import pytest

from shared_data import DATA, REPO
from velorin import OsmImportError, Router
from velorin.geo import haversine_m
from velorin.osm import RiskModel, graph_from_ways

from town import build_town, grid_node  # noqa: E402

A, B = (1, 45.0, 5.0), (2, 45.0, 5.01)  # 786 m apart, east-west
LENGTH = haversine_m(45.0, 5.0, 45.0, 5.01)


@pytest.mark.parametrize("tags, profile, kmh", [
    ({"highway": "residential", "surface": "asphalt"}, "city", 16.0),
    ({"highway": "residential", "surface": "asphalt"}, "trekking", 18.0),
    ({"highway": "residential", "surface": "sett"}, "city", 11.0),
    ({"highway": "track", "tracktype": "grade3"}, "mtb", 16.0),
    ({"highway": "path"}, "city", 8.0),  # ground unknown
    ({"highway": "path", "bicycle": "designated"}, "city", 16.0),
    ({"highway": "footway"}, "city", 4.5),  # pushed, with push_bike
    ({"highway": "steps", "ramp:bicycle": "yes"}, "trekking", 1.5),
])
def test_riding_time_by_ground_and_walking(tags, profile, kmh):
    doc = graph_from_ways([(7, tags, [A, B])], model=RiskModel.for_profile(profile),
                          annotate=True, push_bike=True)
    route, = Router.from_document(doc).route(1, 2)
    assert route.riding_time_min == pytest.approx(LENGTH / (kmh / 3.6) / 60)
    assert route.estimated_time_min == pytest.approx(LENGTH / 66.67)  # the engine's own
    assert route.elevation_source == "none" and "no elevation data" in route.elevation_note


def test_incline_tags_give_climbs_without_a_raster():
    doc = graph_from_ways([(7, {"highway": "residential", "incline": "8%"}, [A, B])],
                          annotate=True)
    up, = Router.from_document(doc).route(1, 2)
    down, = Router.from_document(doc).route(2, 1)
    assert up.ascent_m == pytest.approx(0.08 * LENGTH) and up.descent_m == 0.0
    assert down.descent_m == pytest.approx(0.08 * LENGTH) and down.steepest_grade_pct == -8.0
    assert up.riding_time_min == pytest.approx(
        (LENGTH / (16 / 3.6) + 0.08 * LENGTH * 9.0) / 60)
    assert up.elevation_source == "incline tags"
    # 8 % is a hard climb for city (x1.5) and a descent that needs care (x1.3).
    assert up.total_risk == pytest.approx(1.5 * 0.0001 * LENGTH)
    assert down.total_risk == pytest.approx(1.3 * 0.0001 * LENGTH)


def test_town_riding_time_is_the_sum_of_its_streets():
    town = build_town()
    router = Router.from_document(town.graph(annotate=True))
    speeds = {"asphalt": 16.0, "sett": 11.0, "compacted": 13.0, None: 16.0}
    for route in router.route(town.source, town.target):
        legs = zip(route.coordinates, route.coordinates[1:])
        expected = sum(haversine_m(*a, *b) / (speeds[arc.surface] / 3.6)
                       for (a, b), arc in zip(legs, route.arcs))
        assert route.riding_time_min == pytest.approx(expected / 60)
        assert route.riding_time_min < route.estimated_time_min / 3


# --- Elevation rasters -------------------------------------------------------------------

rasterio = pytest.importorskip("rasterio")

UTM = "EPSG:32631"  # the town lies in UTM zone 31 north: a raster in metres, not degrees


def write_dem(path, town, height, *, res=10.0, margin_deg=0.003, shift_deg=0.0):
    """A GeoTIFF in UTM around the town whose cell centres get height(x, y) (metres)."""
    from rasterio.transform import from_origin
    from rasterio.warp import transform

    lats = [p[1] for way in town.ways for p in way[2]]
    lons = [p[2] for way in town.ways for p in way[2]]
    xs, ys = transform("EPSG:4326", UTM,
                       [min(lons) - margin_deg + shift_deg, max(lons) + margin_deg + shift_deg],
                       [min(lats) - margin_deg, max(lats) + margin_deg])
    width, rows = int((xs[1] - xs[0]) / res) + 1, int((ys[1] - ys[0]) / res) + 1
    x = xs[0] + (np.arange(width) + 0.5) * res
    y = ys[1] - (np.arange(rows) + 0.5) * res
    grid = height(*np.meshgrid(x, y)).astype("float32")
    with rasterio.open(path, "w", driver="GTiff", width=width, height=rows, count=1,
                       dtype="float32", crs=UTM, transform=from_origin(xs[0], ys[1], res, res)
                       ) as out:
        out.write(grid, 1)
    return path


def utm(lat, lon):
    from rasterio.warp import transform

    x, y = transform("EPSG:4326", UTM, [lon], [lat])
    return x[0], y[0]


@pytest.fixture(scope="module")
def town():
    return build_town()


def position(town, node):
    return next((lat, lon) for way in town.ways for n, lat, lon in way[2] if n == node)


def test_city_rides_round_a_hill_that_the_shortest_route_climbs(town, tmp_path):
    a, b = grid_node(14, 2), grid_node(24, 2)
    top_x, top_y = utm(*position(town, grid_node(19, 2)))
    dem = write_dem(tmp_path / "hill.tif", town, lambda x, y: 200 + 45 * np.exp(
        -((x - top_x) ** 2 + (y - top_y) ** 2) / (2 * 150.0 ** 2)))
    flat = Router.from_document(town.graph(annotate=True)).route(a, b)
    assert len(flat) == 1 and flat[0].ascent_m == 0.0  # one street, straight over the hill
    routes = Router.from_document(town.graph(annotate=True, dem=dem)).route(a, b)
    assert routes.shortest.path == flat[0].path and routes.safest is not routes.shortest
    over, around = routes.shortest, routes.safest
    assert 40 < over.ascent_m < 45.5 and over.descent_m == pytest.approx(over.ascent_m, abs=1)
    assert around.ascent_m < over.ascent_m / 2
    assert abs(over.steepest_grade_pct) > 15 > abs(around.steepest_grade_pct)
    assert around.riding_time_min < over.riding_time_min  # longer, yet quicker than climbing
    assert over.elevation_source == "raster"


def test_heights_and_grades_match_the_raster(town, tmp_path):
    # A plane rising 5 m per 100 m northwards: riding north climbs exactly what
    # the heights of its ends differ by, at a 5 % grade.
    south, north = grid_node(3, 1), grid_node(3, 8)
    y0 = utm(*position(town, south))[1]
    dem = write_dem(tmp_path / "plane.tif", town, lambda x, y: 300 + 0.05 * (y - y0))
    doc = town.graph(annotate=True, dem=dem)
    router = Router.from_document(doc)
    route, = router.route(south, north)
    heights = [300 + 0.05 * (utm(lat, lon)[1] - y0) for lat, lon in route.coordinates]
    assert route.elevations == pytest.approx(heights, abs=0.01)
    assert route.ascent_m == pytest.approx(heights[-1] - heights[0], abs=0.05)
    assert route.descent_m == pytest.approx(0.0, abs=0.05)
    # The streets run north within a few degrees: the grade along them is about 5 %.
    assert 4.8 < route.steepest_grade_pct < 5.3
    line = route.to_geojson()["geometry"]["coordinates"]
    assert [p[2] for p in line] == pytest.approx(heights, abs=0.01)
    flat_s = sum(haversine_m(*a, *b) for a, b in zip(route.coordinates, route.coordinates[1:])
                 ) / (16 / 3.6)
    assert route.riding_time_min == pytest.approx((flat_s + 9.0 * route.ascent_m) / 60, rel=1e-6)


@pytest.mark.parametrize("shift_deg, says", [
    (0.5, "does not cover the map"),      # the raster lies elsewhere
    (0.01, "nodes have no height"),       # it covers part of the map only
])
def test_a_raster_that_misses_the_map_is_refused(town, tmp_path, shift_deg, says):
    dem = write_dem(tmp_path / "elsewhere.tif", town, lambda x, y: 0 * x + 100,
                    shift_deg=shift_deg)
    with pytest.raises(OsmImportError, match=says):
        town.graph(dem=dem)


def test_a_file_that_is_no_raster_is_refused(town, tmp_path):
    bad = tmp_path / "dem.tif"
    bad.write_text("not a raster")
    with pytest.raises(OsmImportError, match="cannot read the elevation raster"):
        town.graph(dem=bad)


# --- Andorra, hand-checked ---------------------------------------------------------------

EXTRACT = DATA / "andorra-latest.osm.pbf"


def unknown_trail_share(route):
    legs = zip(route.coordinates, route.coordinates[1:])
    trail = total = 0.0
    for (a, b), arc in zip(legs, route.arcs):
        metres = haversine_m(*a, *b)
        total += metres
        if arc.highway in ("path", "track", "bridleway") and arc.surface is None:
            trail += metres
    return trail / total


@pytest.mark.skipif(not EXTRACT.exists(), reason="shared Andorra extract not present")
def test_ordino_to_sant_julia_stays_in_the_valley_under_city():
    pytest.importorskip("osmium")
    city = Router.from_osm(EXTRACT).route("Ordino", "Sant Julià de Lòria")
    # Once 31 km over three cols on hiking paths; now the valley road, about 16 km.
    assert city.safest.total_distance_m < 20_000
    assert unknown_trail_share(city.safest) < 0.1  # a few short tracks at the ends
    assert city.safest.riding_time_min < city.safest.estimated_time_min / 2
    mtb = Router.from_osm(EXTRACT, profile="mtb").route("Ordino", "Sant Julià de Lòria")
    assert unknown_trail_share(mtb.safest) > unknown_trail_share(city.safest)


def test_the_picture_draws_an_elevation_profile_under_the_map(town, tmp_path):
    pytest.importorskip("matplotlib")
    from velorin import pictures

    top_x, top_y = utm(*position(town, grid_node(19, 2)))
    dem = write_dem(tmp_path / "hill.tif", town, lambda x, y: 200 + 45 * np.exp(
        -((x - top_x) ** 2 + (y - top_y) ** 2) / (2 * 150.0 ** 2)))
    router = Router.from_document(town.graph(annotate=True, dem=dem))
    routes = router.route(grid_node(14, 2), grid_node(24, 2))
    scene = pictures.scene_of(router, routes)
    view = next(v for v in scene.routes if v.route_type == "shortest")
    assert max(e for _, e in view.profile) == pytest.approx(max(routes.shortest.elevations))
    assert "min" in view.caption() and "per km" in view.caption() and "m up" in view.caption()
    fig = pictures.figure(scene)
    profile = fig.axes[-1]
    assert profile.get_title(loc="left") == "elevation profile"
    assert {line.get_label() for line in profile.get_lines()} == {r.label for r in routes}
    import matplotlib.pyplot as plt
    plt.close(fig)
    page = pictures.write_html(scene, tmp_path / "hill.html").read_text(encoding="utf-8")
    assert "elevation profile" in page and page.count("<polyline") >= len(routes) * 2
