"""Pictures of a road graph and its routes: a PNG (matplotlib) and a self-contained HTML page.

Both colour the network by risk per metre (green for calm streets, red for
heavy traffic).  Each route is drawn as a ring of its own colour around a core
that keeps the stress colour of the streets it takes, so the picture shows
both which way a route goes and what it rides on; routes sharing a street nest
inside one another (shortest outside, safest inside).  Around the roads go the
water, green spaces, coastline and place names of the extract, the names of
the main streets, a scale bar and a north arrow.  The HTML page needs nothing
from outside: the map is inline SVG and its small script only toggles routes.
"""

from __future__ import annotations

import html
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from velorin.geo import haversine_m

if TYPE_CHECKING:
    from velorin.route import Route
    from velorin.router import Router

ROUTE_STYLE = {  # colour, width of the ring (points); nested, so overlaps stay visible
    "shortest": ("#1c63d5", 14.6),
    "balanced": ("#212529", 10.0),
    "safest": ("#9c36b5", 5.6),
}
ROUTE_ORDER = ("shortest", "balanced", "safest")
#: Width of the stress-coloured core of a route (points), and of the white gap around a ring.
CORE_WIDTH = 2.4
GAP_WIDTH = 0.7

# Risk per metre at the bottom and top of the colour scale (LTS 1 and LTS 4 by default).
RISK_SCALE = (0.0001, 0.002)
_STOPS = ((0.0, (0x2f, 0x9e, 0x44)), (0.35, (0xa9, 0xc9, 0x2f)), (0.65, (0xf5, 0x9f, 0x00)),
          (1.0, (0xd6, 0x33, 0x2a)))

#: Classes whose names are written on the map.
MAIN_STREETS = frozenset({"trunk", "primary", "secondary", "tertiary", "trunk_link",
                          "primary_link", "secondary_link"})
#: Explanations of the engine's two derived figures, one line each.
TIME_NOTE = "time: distance at 66.67 m per minute (4 km/h), the engine's estimate"
COMFORT_NOTE = "comfort: e^(-2 x risk), 1 for a route without risk, falling towards 0 as it grows"

_WATER, _WATER_EDGE, _PARK, _WOOD = "#a5d8ff", "#74c0fc", "#d3f9d8", "#e9f5e1"


def risk_colour(risk_per_m: float, scale: tuple[float, float] = RISK_SCALE) -> str:
    """Hex colour for a risk per metre, on a logarithmic green-to-red scale."""
    lo, hi = scale
    if risk_per_m <= 0 or not math.isfinite(risk_per_m):
        t = 0.0
    else:
        t = (math.log(risk_per_m) - math.log(lo)) / (math.log(hi) - math.log(lo))
        t = min(1.0, max(0.0, t))
    for (t0, c0), (t1, c1) in zip(_STOPS, _STOPS[1:]):
        if t <= t1:
            u = (t - t0) / (t1 - t0)
            rgb = [round(a + (b - a) * u) for a, b in zip(c0, c1)]
            return "#{:02x}{:02x}{:02x}".format(*rgb)
    return "#{:02x}{:02x}{:02x}".format(*_STOPS[-1][1])


@dataclass
class RouteView:
    """What the pictures show of one route."""

    route_type: str
    path: list[int]
    distance_m: float
    risk: float
    time_min: float
    comfort: float

    @classmethod
    def of(cls, route: Any) -> RouteView:
        """From a :class:`velorin.Route` or a ``velorin_core.PyRouteResult``."""
        return cls(route.route_type, list(route.path), route.total_distance_m,
                   route.total_risk, route.estimated_time_min, route.comfort_score)

    def comfort_text(self) -> str:
        # Long or risky routes have comforts like 0.001: a figure that still says something.
        return f"{self.comfort:.2f}" if self.comfort >= 0.01 else f"{self.comfort:.1g}"

    def caption(self) -> str:
        return (f"{self.route_type}: {self.distance_m / 1000:.2f} km, risk {self.risk:.3f}, "
                f"{self.time_min:.1f} min, comfort {self.comfort_text()}")


def coinciding_routes(routes: Sequence[RouteView]) -> list[tuple[str, str]]:
    """(missing kind, kind it equals) for each kind the engine left out as a repeat.

    The engine emits shortest, safest and balanced in that order and skips a
    pick whose path it already emitted, so a missing "safest" is the shortest
    route, and a missing "balanced" is whichever of the two scores lower on
    the engine's balance of distance and risk, each scaled by the largest
    value among the routes (the longest is the safest, the riskiest the
    shortest, as no route kept beats another on both), ties going to the
    shortest.
    """
    kinds = {r.route_type: r for r in routes}
    if "shortest" not in kinds:
        return []
    same: list[tuple[str, str]] = []
    if "safest" not in kinds:
        same.append(("safest", "shortest"))
    if "balanced" not in kinds:
        if "safest" not in kinds:
            same.append(("balanced", "shortest"))
        else:
            d_max = max(max(r.distance_m for r in routes), 1.0)
            r_max = max(max(r.risk for r in routes), 1.0)

            def score(r: RouteView) -> float:
                return r.distance_m / d_max + r.risk / r_max

            best = "safest" if score(kinds["safest"]) < score(kinds["shortest"]) else "shortest"
            same.append(("balanced", best))
    return same


def legend_notes(routes: Sequence[RouteView]) -> list[str]:
    """Lines under the route captions: which routes coincide, and what time and comfort mean."""
    notes = [f"{missing} = {kind}: the same path" for missing, kind in coinciding_routes(routes)]
    return [*notes, TIME_NOTE, COMFORT_NOTE]


@dataclass
class Scene:
    """A graph document to draw, its routes, and optional decorations."""

    doc: Mapping[str, Sequence[Mapping[str, Any]]]
    routes: list[RouteView]
    title: str = ""
    water: list[list[tuple[float, float]]] = field(default_factory=list)  # polygons (lat, lon)
    parks: list[list[tuple[float, float]]] = field(default_factory=list)
    woods: list[list[tuple[float, float]]] = field(default_factory=list)
    #: Lines (lat, lon): coastline and river centre lines.
    coastlines: list[list[tuple[float, float]]] = field(default_factory=list)
    rivers: list[list[tuple[float, float]]] = field(default_factory=list)
    #: Named places: (name, lat, lon, rank), rank 0 for a city, larger for smaller places.
    places: list[tuple[str, float, float, int]] = field(default_factory=list)
    labels: Mapping[str, tuple[float, float]] = field(default_factory=dict)
    #: Frame the routes rather than the whole network (for a region-sized map).
    focus: bool = False
    #: Names written beside the start and finish markers.
    ends: tuple[str, str] = ("start", "finish")

    def add_context(self, context: Any) -> None:
        """Add what a :class:`velorin.osm.context.MapContext` holds."""
        self.water.extend(context.water)
        self.parks.extend(context.parks)
        self.woods.extend(context.woods)
        self.coastlines.extend(context.coastlines)
        self.rivers.extend(context.rivers)
        self.places.extend((p.name, p.lat, p.lon, p.rank) for p in context.places)

    def coordinates(self) -> dict[int, tuple[float, float]]:
        return {n["id"]: (n["lat"], n["lon"]) for n in self.doc["nodes"]}

    def segments(self) -> list[tuple[int, int, float]]:
        """Undirected segments (a, b, risk per metre), the riskier direction of each pair."""
        return [(a, b, r) for (a, b), r in self.segment_risk().items()]

    def segment_risk(self) -> dict[tuple[int, int], float]:
        """Risk per metre of each undirected segment (a <= b), the riskier direction."""
        worst: dict[tuple[int, int], float] = {}
        for e in self.doc["edges"]:
            a, b = e["from"], e["to"]
            key = (a, b) if a <= b else (b, a)
            d = e["distance_m"]
            per_m = e["risk_score"] / d if d > 0 else 0.0
            if per_m > worst.get(key, -1.0):
                worst[key] = per_m
        return worst

    def endpoints(self) -> tuple[int, int] | None:
        if not self.routes:
            return None
        return self.routes[0].path[0], self.routes[0].path[-1]


def _bounds(coords: Mapping[int, tuple[float, float]], scene: Scene
            ) -> tuple[float, float, float, float]:
    """Latitude and longitude range to draw: the network's, or around the routes."""
    points = list(coords.values())
    if scene.focus and scene.routes:
        points = [coords[n] for r in scene.routes for n in r.path if n in coords] or points
    lats = [c[0] for c in points]
    lons = [c[1] for c in points]
    lat0, lat1, lon0, lon1 = min(lats), max(lats), min(lons), max(lons)
    if scene.focus and scene.routes:
        # Some context around the routes: a third of their extent, at least 300 m.
        kx = math.cos(math.radians((lat0 + lat1) / 2))
        pad_lat = max((lat1 - lat0) / 3, 300 / 111_195)
        pad_lon = max((lon1 - lon0) / 3, 300 / (111_195 * kx))
        lat0, lat1, lon0, lon1 = lat0 - pad_lat, lat1 + pad_lat, lon0 - pad_lon, lon1 + pad_lon
    return lat0, lat1, lon0, lon1


def frame(scene: Scene) -> tuple[float, float, float, float]:
    """(lat0, lat1, lon0, lon1) that the pictures of a scene show."""
    return _bounds(scene.coordinates(), scene)


def _visible_segments(scene: Scene, coords: Mapping[int, tuple[float, float]],
                      bounds: tuple[float, float, float, float]) -> list[tuple[int, int, float]]:
    lat0, lat1, lon0, lon1 = bounds

    def inside(n: int) -> bool:
        lat, lon = coords[n]
        return lat0 <= lat <= lat1 and lon0 <= lon <= lon1

    return [(a, b, r) for a, b, r in scene.segments()
            if a in coords and b in coords and (inside(a) or inside(b))]


def _route_segments(route: RouteView, coords: Mapping[int, tuple[float, float]],
                    risk: Mapping[tuple[int, int], float]) -> list[tuple[int, int, float]]:
    """The legs of a route with the stress (risk per metre) of the street under each."""
    legs = []
    for a, b in zip(route.path, route.path[1:]):
        if a in coords and b in coords:
            legs.append((a, b, risk.get((a, b) if a <= b else (b, a), 0.0)))
    return legs


def _sorted_routes(scene: Scene) -> list[RouteView]:
    order = {kind: i for i, kind in enumerate(ROUTE_ORDER)}
    return sorted(scene.routes, key=lambda r: order.get(r.route_type, len(order)))


def _bearing_deg(a: tuple[float, float], b: tuple[float, float]) -> float:
    """Direction from a to b, counter-clockwise from east, folded into -90..90 for reading."""
    kx = math.cos(math.radians((a[0] + b[0]) / 2))
    angle = math.degrees(math.atan2(b[0] - a[0], (b[1] - a[1]) * kx))
    if angle > 90:
        angle -= 180
    elif angle < -90:
        angle += 180
    return angle


def street_names(scene: Scene, coords: Mapping[int, tuple[float, float]],
                 bounds: tuple[float, float, float, float], limit: int = 8
                 ) -> list[tuple[str, float, float, float]]:
    """(name, lat, lon, angle) for the longest named main streets in view.

    Each name is written once, beside its longest arc in view that no route
    takes, turned along it.  Names already among the scene's labels are left
    out.
    """
    lat0, lat1, lon0, lon1 = bounds
    # A name written on a route's street would be hidden under the route.
    ridden = {leg for r in scene.routes for pair in zip(r.path, r.path[1:])
              for leg in (pair, pair[::-1])}
    best: dict[str, tuple[float, int, int]] = {}
    total: dict[str, float] = {}
    for e in scene.doc["edges"]:
        name = e.get("name")
        if not name or e.get("highway") not in MAIN_STREETS or name in scene.labels:
            continue
        a, b = e["from"], e["to"]
        if a not in coords or b not in coords or (a, b) in ridden:
            continue
        mid = ((coords[a][0] + coords[b][0]) / 2, (coords[a][1] + coords[b][1]) / 2)
        if not (lat0 <= mid[0] <= lat1 and lon0 <= mid[1] <= lon1):
            continue
        d = e["distance_m"]
        total[name] = total.get(name, 0.0) + d
        if d > best.get(name, (-1.0, 0, 0))[0]:
            best[name] = (d, a, b)
    kx = math.cos(math.radians((lat0 + lat1) / 2))
    width, height = (lon1 - lon0) * kx, lat1 - lat0
    out = []
    for name in sorted(total, key=lambda n: -total[n]):
        _, a, b = best[name]
        (alat, alon), (blat, blon) = coords[a], coords[b]
        lat, lon, angle = (alat + blat) / 2, (alon + blon) / 2, _bearing_deg(coords[a], coords[b])
        # A name takes up to about 0.9% of the map's width per letter: it must fit on the map.
        half = 0.5 * len(name) * 0.009 * width
        rad = math.radians(angle)
        dx, dy = half * abs(math.cos(rad)), half * abs(math.sin(rad))
        x, y = (lon - lon0) * kx, lat - lat0
        if dx < x < width - dx and dy < y < height - dy:
            out.append((name, lat, lon, angle))
            if len(out) == limit:
                break
    return out


def _places_to_write(scene: Scene, bounds: tuple[float, float, float, float], limit: int = 25
                     ) -> list[tuple[str, float, float, int]]:
    """The more important places in view, none too close to one already chosen."""
    lat0, lat1, lon0, lon1 = bounds
    kx = math.cos(math.radians((lat0 + lat1) / 2))
    spacing = 0.06 * max(lat1 - lat0, (lon1 - lon0) * kx)
    chosen: list[tuple[str, float, float, int]] = []
    for name, lat, lon, rank in sorted(scene.places, key=lambda p: p[3]):
        if not (lat0 <= lat <= lat1 and lon0 <= lon <= lon1) or name in scene.ends:
            continue
        u, v = (lon - lon0) / ((lon1 - lon0) or 1.0), (lat - lat0) / ((lat1 - lat0) or 1.0)
        if (u < 0.25 and v < 0.1) or (u > 0.9 and v > 0.85):
            continue  # the corners of the scale bar and the north arrow
        if any(abs(lat - c[1]) < spacing and abs(lon - c[2]) * kx < spacing for c in chosen):
            continue
        chosen.append((name, lat, lon, rank))
        if len(chosen) == limit:
            break
    return chosen


def scale_bar_length(width_m: float) -> float:
    """A round length (1, 2 or 5 times a power of ten) of at most a fifth of the width."""
    target = max(width_m / 5, 1.0)
    power = 10.0 ** math.floor(math.log10(target))
    for step in (5, 2, 1):
        if step * power <= target:
            return step * power
    return power


def _metres_label(metres: float) -> str:
    return f"{metres / 1000:g} km" if metres >= 1000 else f"{metres:g} m"


def figure(scene: Scene, *, dpi: int = 150) -> Any:
    """The matplotlib figure of a scene (its map axes is ``figure.axes[0]``)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import patheffects
    from matplotlib.collections import LineCollection
    from matplotlib.colors import LinearSegmentedColormap, LogNorm
    from matplotlib.legend_handler import HandlerTuple
    from matplotlib.lines import Line2D
    from matplotlib.patches import Polygon

    coords = scene.coordinates()
    lat0, lat1, lon0, lon1 = _bounds(coords, scene)
    mid_lat = (lat0 + lat1) / 2
    aspect = 1.0 / math.cos(math.radians(mid_lat))
    width_deg = (lon1 - lon0) or 1e-3
    height_deg = ((lat1 - lat0) or 1e-3) * aspect
    fig_w = 11.0
    fig_h = min(14.0, max(4.0, 0.9 * fig_w * height_deg / width_deg))
    fig, ax = plt.subplots(figsize=(fig_w, fig_h), dpi=dpi)
    ax.set_aspect(aspect)
    ax.set_facecolor("#f8f9fa")
    pad_lon = 0.0 if scene.focus else width_deg * 0.03
    pad_lat = 0.0 if scene.focus else (lat1 - lat0 or 1e-3) * 0.03
    x0, x1, y0, y1 = lon0 - pad_lon, lon1 + pad_lon, lat0 - pad_lat, lat1 + pad_lat
    white_halo = [patheffects.withStroke(linewidth=3, foreground="white")]

    # Background: woods under parks under water, then rivers and coastline.
    for shapes, style in ((scene.woods, {"facecolor": _WOOD, "edgecolor": "none"}),
                          (scene.parks, {"facecolor": _PARK, "edgecolor": "none"}),
                          (scene.water, {"facecolor": _WATER, "edgecolor": _WATER_EDGE,
                                         "linewidth": 0.8})):
        for poly in shapes:
            ax.add_patch(Polygon([(lon, lat) for lat, lon in poly], closed=True, zorder=1,
                                 **style))
    for lines, colour, width in ((scene.rivers, _WATER_EDGE, 1.6),
                                 (scene.coastlines, "#339af0", 2.2)):
        if lines:
            ax.add_collection(LineCollection([[(lon, lat) for lat, lon in line]
                                              for line in lines],
                                             colors=colour, linewidths=width, zorder=1.5))

    segments = _visible_segments(scene, coords, (lat0, lat1, lon0, lon1))
    lines = [[(coords[a][1], coords[a][0]), (coords[b][1], coords[b][0])] for a, b, _ in segments]
    risks = [max(r, RISK_SCALE[0]) for _, _, r in segments]
    cmap = LinearSegmentedColormap.from_list(
        "risk", [(t, tuple(c / 255 for c in rgb)) for t, rgb in _STOPS])
    norm = LogNorm(*RISK_SCALE, clip=True)
    thin = 0.6 if len(lines) > 20000 else 1.4
    network = LineCollection(lines, cmap=cmap, norm=norm, linewidths=thin, zorder=2,
                             capstyle="round")
    network.set_array(risks)
    ax.add_collection(network)

    # Routes: rings of their own colour, nested where they share a street, and
    # on top of all of them a core in the stress colour of each street taken.
    # Names go under the routes: a route must never be hidden by a label.
    handles: list[Any] = []
    risk_of = scene.segment_risk()
    core_legs: dict[tuple[int, int], float] = {}
    for route in _sorted_routes(scene):
        colour, width = ROUTE_STYLE.get(route.route_type, ("#000000", 9.0))
        xs = [coords[n][1] for n in route.path if n in coords]
        ys = [coords[n][0] for n in route.path if n in coords]
        gap = [patheffects.Stroke(linewidth=width + 2 * GAP_WIDTH, foreground="white"),
               patheffects.Normal()]
        ax.plot(xs, ys, color=colour, linewidth=width, solid_capstyle="round",
                solid_joinstyle="round", path_effects=gap, zorder=3)
        for a, b, r in _route_segments(route, coords, risk_of):
            core_legs[(a, b) if a <= b else (b, a)] = r
        ring = Line2D([], [], color=colour, linewidth=9, solid_capstyle="butt")
        core = Line2D([], [], color=risk_colour(RISK_SCALE[0]), linewidth=CORE_WIDTH,
                      solid_capstyle="butt")
        handles.append(((ring, core), route.caption()))
    if core_legs:
        core_lines = LineCollection(
            [[(coords[a][1], coords[a][0]), (coords[b][1], coords[b][0])] for a, b in core_legs],
            cmap=cmap, norm=norm, linewidths=CORE_WIDTH, zorder=4, capstyle="round")
        core_lines.set_array([max(r, RISK_SCALE[0]) for r in core_legs.values()])
        ax.add_collection(core_lines)

    for name, lat, lon, angle in street_names(scene, coords, (lat0, lat1, lon0, lon1)):
        # Beside the street rather than on it, where the street would show between words.
        up = math.radians(angle + 90)
        ax.annotate(name, (lon, lat), xytext=(6 * math.cos(up), 6 * math.sin(up)),
                    textcoords="offset points", fontsize=7.5, color="#343a40", ha="center",
                    va="center", rotation=angle, rotation_mode="anchor", zorder=2.5,
                    path_effects=white_halo)
    for name, lat, lon, rank in _places_to_write(scene, (lat0, lat1, lon0, lon1)):
        ax.annotate(name, (lon, lat), fontsize=max(7.5, 12.5 - 1.0 * rank), color="#212529",
                    fontweight="bold" if rank <= 2 else "normal", ha="center", va="center",
                    zorder=2.6, path_effects=white_halo)
    for text, (lat, lon) in scene.labels.items():
        # Labels placed by hand, beside the streets: above the routes.
        ax.annotate(text, (lon, lat), fontsize=8, style="italic", color="#495057", ha="center",
                    zorder=5, path_effects=[patheffects.withStroke(linewidth=2.5,
                                                                    foreground="white")])

    ends = scene.endpoints()
    if ends:
        mid_lon = (lon0 + lon1) / 2
        for node, marker, label in ((ends[0], "o", scene.ends[0]), (ends[1], "s", scene.ends[1])):
            if node in coords:
                lat, lon = coords[node]
                ax.plot(lon, lat, marker=marker, markersize=11, color="white",
                        markeredgecolor="#212529", markeredgewidth=2.5, zorder=6)
                right = lon > mid_lon  # keep the label inside the map
                ax.annotate(label, (lon, lat), xytext=(-9 if right else 9, 9),
                            textcoords="offset points", ha="right" if right else "left",
                            fontsize=10, fontweight="bold", zorder=7,
                            path_effects=[patheffects.withStroke(linewidth=3, foreground="white")])

    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
    _scale_bar(ax, x0, x1, y0, y1, white_halo)
    ax.annotate("N", xy=(0.965, 0.975), xytext=(0.965, 0.885), xycoords="axes fraction",
                ha="center", va="center", fontsize=11, fontweight="bold", zorder=8,
                arrowprops={"arrowstyle": "-|>", "color": "#212529", "linewidth": 1.8},
                path_effects=white_halo)
    ax.set_xticks([])
    ax.set_yticks([])
    for spine in ax.spines.values():
        spine.set_visible(False)
    bar = fig.colorbar(network, ax=ax, fraction=0.03, pad=0.01, shrink=0.7)
    bar.set_label("street stress: risk per km (log scale)")
    bar.set_ticks([0.0001, 0.0003, 0.0008, 0.002])
    bar.set_ticklabels(["0.1 (LTS 1)", "0.3 (LTS 2)", "0.8 (LTS 3)", "2.0 (LTS 4)"])
    if handles:
        notes = ["rings: shortest outside, safest inside; the core keeps the street's stress "
                 "colour", *legend_notes(scene.routes)]
        blank = [Line2D([], [], linestyle="none") for _ in notes]
        ax.legend(handles=[h for h, _ in handles] + blank,
                  labels=[c for _, c in handles] + notes,
                  handler_map={tuple: HandlerTuple(ndivide=1, pad=0.0)},
                  loc="upper center", bbox_to_anchor=(0.5, -0.01), ncol=1, fontsize=9.5,
                  frameon=False, handlelength=3.0)
    if scene.title:
        ax.set_title(scene.title, fontsize=12)
    return fig


def _scale_bar(ax: Any, x0: float, x1: float, y0: float, y1: float, halo: Any) -> None:
    """A bar of round length in the lower left corner, labelled in metres or kilometres."""
    mid_lat = (y0 + y1) / 2
    width_m = haversine_m(mid_lat, x0, mid_lat, x1)
    length = scale_bar_length(width_m)
    bx = x0 + 0.03 * (x1 - x0)
    by = y0 + 0.04 * (y1 - y0)
    dx = (x1 - x0) * length / width_m
    tick = 0.012 * (y1 - y0)
    ax.plot([bx, bx, bx + dx, bx + dx], [by + tick, by, by, by + tick], color="#212529",
            linewidth=2.0, solid_capstyle="butt", zorder=8,
            path_effects=[_stroke(4.5), _normal()])
    ax.annotate(_metres_label(length), (bx + dx / 2, by + tick), ha="center", va="bottom",
                fontsize=9, zorder=8, path_effects=halo)


def _stroke(width: float) -> Any:
    from matplotlib import patheffects

    return patheffects.Stroke(linewidth=width, foreground="white")


def _normal() -> Any:
    from matplotlib import patheffects

    return patheffects.Normal()


def draw_png(scene: Scene, path: str | Path, *, dpi: int = 150) -> Path:
    """Write the PNG picture of a scene and return its path."""
    import matplotlib.pyplot as plt

    fig = figure(scene, dpi=dpi)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    try:
        fig.savefig(path, dpi=dpi, bbox_inches="tight", pad_inches=0.15, facecolor="white")
    finally:
        plt.close(fig)
    return path


def write_html(scene: Scene, path: str | Path, *, width: int = 1000) -> Path:
    """Write a self-contained HTML page (inline SVG, no external resources)."""
    coords = scene.coordinates()
    bounds = _bounds(coords, scene)
    lat0, lat1, lon0, lon1 = bounds
    kx = math.cos(math.radians((lat0 + lat1) / 2))
    span_x = ((lon1 - lon0) * kx) or 1e-3
    span_y = (lat1 - lat0) or 1e-3
    margin = 20.0
    scale = (width - 2 * margin) / span_x
    height = int(span_y * scale + 2 * margin)

    def xy(lat: float, lon: float) -> str:
        return f"{margin + (lon - lon0) * kx * scale:.1f} {margin + (lat1 - lat) * scale:.1f}"

    def text(css: str, lat: float, lon: float, label: str, angle: float | None = None) -> str:
        x, y = xy(lat, lon).split()
        # A street's name is turned along it and moved off it (dy is across the turned text).
        turn = f' transform="rotate({-angle:.1f} {x} {y})" dy="-7"' if angle is not None else ""
        return f'<text class="{css}" x="{x}" y="{y}"{turn}>{html.escape(label)}</text>'

    parts: list[str] = []
    for css, shapes in (("wood", scene.woods), ("park", scene.parks), ("water", scene.water)):
        for poly in shapes:
            parts.append(f'<path class="{css}" d="M{" L".join(xy(*p) for p in poly)} Z"/>')
    for css, lines in (("river", scene.rivers), ("coast", scene.coastlines)):
        if lines:
            d = " ".join(f'M{" L".join(xy(*p) for p in line)}' for line in lines)
            parts.append(f'<path class="{css}" d="{d}"/>')
    # One path per colour keeps the page small even for a whole city.
    buckets: dict[str, list[str]] = {}
    for a, b, r in _visible_segments(scene, coords, bounds):
        colour = risk_colour(r)
        buckets.setdefault(colour, []).append(f"M{xy(*coords[a])} L{xy(*coords[b])}")
    stroke = 0.8 if sum(map(len, buckets.values())) > 20000 else 1.6
    for colour, ds in sorted(buckets.items()):
        parts.append(f'<path class="net" stroke="{colour}" stroke-width="{stroke}" '
                     f'd="{" ".join(ds)}"/>')
    for name, lat, lon, angle in street_names(scene, coords, bounds):
        parts.append(text("street", lat, lon, name, angle))
    for name, lat, lon, rank in _places_to_write(scene, bounds):
        parts.append(text(f"place rank{min(rank, 3)}", lat, lon, name))
    for label, (lat, lon) in scene.labels.items():
        parts.append(text("label", lat, lon, label))
    # Rings of the routes' own colours, nested where they share a street; the
    # cores on top keep the stress colour of each street taken.
    risk_of = scene.segment_risk()
    rows = []
    for route in _sorted_routes(scene):
        colour, w = ROUTE_STYLE.get(route.route_type, ("#000000", 9.0))
        points = " ".join(xy(*coords[n]) for n in route.path if n in coords)
        title = html.escape(route.caption())
        cores: dict[str, list[str]] = {}
        for a, b, r in _route_segments(route, coords, risk_of):
            cores.setdefault(risk_colour(r), []).append(f"M{xy(*coords[a])} L{xy(*coords[b])}")
        core = "".join(f'<path class="core" stroke="{c}" d="{" ".join(ds)}"/>'
                       for c, ds in sorted(cores.items()))
        parts.append(f'<g class="route" id="route-{route.route_type}">'
                     f'<polyline points="{points}" stroke="#fff" '
                     f'stroke-width="{w + 2 * GAP_WIDTH:.1f}"/>'
                     f'<polyline points="{points}" stroke="{colour}" stroke-width="{w:.1f}">'
                     f"<title>{title}</title></polyline>{core}</g>")
    for route in scene.routes:
        colour, _ = ROUTE_STYLE.get(route.route_type, ("#000000", 9.0))
        rows.append(
            f'<tr><td><label><input type="checkbox" checked data-route="{route.route_type}"> '
            f'<span class="swatch" style="background:{colour}"></span>'
            f"{html.escape(route.route_type)}</label></td>"
            f"<td>{route.distance_m:,.0f} m</td><td>{route.risk:.3f}</td>"
            f"<td>{route.time_min:.1f} min</td><td>{route.comfort_text()}</td>"
            f"<td>{len(route.path)}</td></tr>")
    ends = scene.endpoints()
    if ends:
        for node, label in ((ends[0], scene.ends[0]), (ends[1], scene.ends[1])):
            if node in coords:
                x, y = xy(*coords[node]).split()
                right = float(x) > width / 2  # keep the label inside the map
                parts.append(f'<circle class="end" cx="{x}" cy="{y}" r="7"/>'
                             f'<text class="endlabel" x="{float(x) + (-10 if right else 10):.1f}" '
                             f'y="{float(y) - 9:.1f}" text-anchor="{"end" if right else "start"}">'
                             f"{html.escape(label)}</text>")
    # Scale bar (lower left) and north arrow (upper right).
    width_m = span_x * 111_195.0
    bar_m = scale_bar_length(width_m)
    bar_px = bar_m / width_m * (width - 2 * margin)
    bx, by = margin + 12, height - margin - 10
    parts.append(f'<path class="scalebar" d="M{bx:.1f} {by - 6:.1f} V{by:.1f} H{bx + bar_px:.1f} '
                 f'V{by - 6:.1f}"/><text class="scalelabel" x="{bx + bar_px / 2:.1f}" '
                 f'y="{by - 8:.1f}">{_metres_label(bar_m)}</text>')
    nx = width - margin - 14
    parts.append(f'<path class="north" d="M{nx} {margin + 4} l-6 16 h12 Z"/>'
                 f'<text class="scalelabel" x="{nx}" y="{margin + 36}">N</text>')
    legend = "".join(
        f'<span class="swatch" style="background:{risk_colour(r)}"></span>{label} '
        for r, label in ((0.0001, "LTS 1"), (0.0003, "LTS 2"), (0.0008, "LTS 3"),
                         (0.002, "LTS 4")))
    notes = "".join(f"<li>{html.escape(n)}</li>" for n in legend_notes(scene.routes))
    title = html.escape(scene.title or "velorin_core routes")
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{title}</title>
<style>
body {{ font: 14px system-ui, sans-serif; margin: 16px; color: #212529; }}
svg {{ background: #f8f9fa; border: 1px solid #dee2e6; max-width: 100%; height: auto; }}
table {{ border-collapse: collapse; margin: 8px 0; }}
td, th {{ padding: 3px 10px; border-bottom: 1px solid #dee2e6; text-align: right; }}
td:first-child, th:first-child {{ text-align: left; }}
.swatch {{ display: inline-block; width: 14px; height: 8px; margin: 0 4px; }}
ul {{ margin: 4px 0; padding-left: 20px; color: #495057; }}
</style></head>
<body>
<h1 style="font-size:18px">{title}</h1>
<table><tr><th>route</th><th>distance</th><th>risk</th><th>time</th><th>comfort</th>
<th>nodes</th></tr>
{"".join(rows)}
</table>
<ul>{notes}</ul>
<p>Streets by traffic stress: {legend}. Each route is a ring of its colour around a core
that keeps the stress colour of the street it takes (shortest outside, safest inside).</p>
<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}"
 viewBox="0 0 {width} {height}" style="overflow:hidden">
<style>
.net {{ fill: none; stroke-linecap: round; }}
.water {{ fill: {_WATER}; stroke: {_WATER_EDGE}; }}
.park {{ fill: {_PARK}; }}
.wood {{ fill: {_WOOD}; }}
.river {{ fill: none; stroke: {_WATER_EDGE}; stroke-width: 2; }}
.coast {{ fill: none; stroke: #339af0; stroke-width: 2.5; }}
.route polyline {{ fill: none; stroke-linecap: round; stroke-linejoin: round; }}
.core {{ fill: none; stroke-width: {CORE_WIDTH}; stroke-linecap: round; }}
.end {{ fill: #fff; stroke: #212529; stroke-width: 2.5; }}
.endlabel {{ font: bold 14px sans-serif; paint-order: stroke; stroke: #fff; stroke-width: 3px; }}
.label, .street, .place {{ text-anchor: middle; dominant-baseline: middle; paint-order: stroke;
  stroke: #fff; stroke-width: 3px; }}
.label {{ font: italic 11px sans-serif; fill: #495057; }}
.street {{ font: 10px sans-serif; fill: #343a40; }}
.place {{ font: 11px sans-serif; fill: #212529; }}
.rank0 {{ font: bold 16px sans-serif; }} .rank1 {{ font: bold 14px sans-serif; }}
.rank2 {{ font: bold 12px sans-serif; }}
.scalebar {{ fill: none; stroke: #212529; stroke-width: 2; }}
.north {{ fill: #212529; }}
.scalelabel {{ font: 12px sans-serif; text-anchor: middle; paint-order: stroke; stroke: #fff;
  stroke-width: 3px; }}
</style>
{chr(10).join(parts)}
</svg>
<script>
for (const box of document.querySelectorAll("input[data-route]")) {{
  box.addEventListener("change", () => {{
    const g = document.getElementById("route-" + box.dataset.route);
    if (g) g.style.display = box.checked ? "" : "none";
  }});
}}
</script>
</body></html>
"""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(page, encoding="utf-8")
    return path


def scene_of(router: Router, routes: Sequence[Route], title: str = "",
             extract: str | Path | None = None) -> Scene:
    """A scene of a :class:`velorin.Router`'s map with routes on it, framed on the routes.

    With ``extract`` (the OSM file the map came from) the scene gets its
    water, green spaces, coastline and place names.
    """
    nodes, arcs = router.nodes, router.arcs
    node_records = [{"id": i, "lat": la, "lon": lo}
                    for i, la, lo in zip(nodes.ids.tolist(), nodes.lat.tolist(),
                                         nodes.lon.tolist())]
    edges: list[dict[str, Any]] = [
        {"from": a, "to": b, "distance_m": d, "risk_score": r}
        for a, b, d, r in zip(arcs.source.tolist(), arcs.target.tolist(),
                              arcs.distance_m.tolist(), arcs.risk.tolist())]
    if arcs.annotated:
        for index, edge in enumerate(edges):
            arc = arcs.arc(index)
            edge["name"], edge["highway"] = arc.name, arc.highway
    scene = Scene(doc={"nodes": node_records, "edges": edges}, routes=[RouteView.of(r) for r in routes],
                  title=title, focus=True)
    if extract is not None:
        from velorin.osm.context import read_context

        scene.add_context(read_context(extract, frame(scene)))
    return scene
