"""Pictures: a street's stress colour stays visible under a route; the legend tells repeats."""

import pytest

pytest.importorskip("matplotlib")
np = pytest.importorskip("numpy")

from velorin import Router  # noqa: E402
from velorin.osm import dumps  # noqa: E402
from velorin.pictures import (ROUTE_STYLE, RouteView, Scene, coinciding_routes,  # noqa: E402
                              figure, legend_notes, risk_colour, scale_bar_length)

from town import build_town  # noqa: E402


def rgb(hex_colour):
    return np.array([int(hex_colour[i:i + 2], 16) for i in (1, 3, 5)])


def nearest_colour_distance(image, x, y, colour, radius):
    """Smallest RGB distance to ``colour`` among the pixels within ``radius`` of (x, y)."""
    h = image.shape[0]
    row, col = int(round(h - y)), int(round(x))
    window = image[row - radius:row + radius + 1, col - radius:col + radius + 1, :3]
    return np.abs(window.astype(int) - rgb(colour)).max(axis=2).min()


def test_route_keeps_the_stress_colour_of_the_street_and_its_own_ring():
    town = build_town()
    doc = town.graph(annotate=True)
    routes = Router.from_document(doc, text=dumps(doc)).route(town.source, town.target)
    scene = Scene(doc=doc, routes=[RouteView.of(r) for r in routes], water=[town.river])
    fig = figure(scene, dpi=100)
    fig.canvas.draw()
    image = np.asarray(fig.canvas.buffer_rgba())
    ax = fig.axes[0]
    coords = scene.coordinates()
    risk = scene.segment_risk()
    used = {}
    for r in scene.routes:
        for leg in zip(r.path, r.path[1:]):
            used.setdefault(tuple(sorted(leg)), set()).add(r.route_type)
    colours = set()
    for route in scene.routes:
        ring, width_pt = ROUTE_STYLE[route.route_type]
        ring_px = int(width_pt * 100 / 72 / 2)
        for a, b in list(zip(route.path, route.path[1:]))[1:-1]:  # the ends carry markers
            key = tuple(sorted((a, b)))
            mid = ((coords[a][1] + coords[b][1]) / 2, (coords[a][0] + coords[b][0]) / 2)
            x, y = ax.transData.transform(mid)
            street = risk_colour(risk[key])
            colours.add(street)
            assert nearest_colour_distance(image, x, y, street, 1) <= 12, (route.route_type, a, b)
            if used[key] == {route.route_type}:
                assert nearest_colour_distance(image, x, y, ring, ring_px) <= 12
    import matplotlib.pyplot as plt
    plt.close(fig)
    assert len(colours) >= 3, "the routes ride streets of several stress levels"


def view(names):
    return RouteView(names[0], [1, 2], 1000.0, 1.0, 0.0, 0.0, names)


@pytest.mark.parametrize("routes, expected", [
    ([("shortest", "safest", "balanced")], [("safest", "shortest"), ("balanced", "shortest")]),
    ([("shortest",), ("safest", "balanced")], [("balanced", "safest")]),
    ([("shortest",), ("safest",), ("balanced",)], []),
    ([()], []),  # routes that do not say which picks they answer: nothing is guessed
])
def test_coinciding_routes_come_from_the_names_the_routes_carry(routes, expected):
    views = [view(names) if names else RouteView("shortest", [1], 0.0, 0.0, 0.0, 0.0)
             for names in routes]
    assert coinciding_routes(views) == expected
    notes = legend_notes(views)
    assert [n for n in notes if "the same path" in n] == [f"{a} = {b}: the same path"
                                                         for a, b in expected]


@pytest.mark.parametrize("width_m, length", [(120, 20), (999, 100), (2600, 500), (51_000, 10_000)])
def test_scale_bar_length_is_round_and_at_most_a_fifth(width_m, length):
    assert scale_bar_length(width_m) == length


def test_the_page_template_ships_in_the_wheel():
    from importlib import metadata

    try:
        shipped = {str(f) for f in metadata.files("velorin") or ()}
    except metadata.PackageNotFoundError:
        pytest.skip("velorin is not installed")
    assert "velorin/pictures/page.html" in shipped
    assert "velorin/service/static/index.html" in shipped


def test_the_legend_says_which_picks_a_route_answers():
    town = build_town()
    doc = town.graph(annotate=True)
    routes = Router.from_document(doc, text=dumps(doc)).route(town.source, town.source)
    views = [RouteView.of(r) for r in routes]
    assert coinciding_routes(views) == [("safest", "shortest"), ("balanced", "shortest")]
