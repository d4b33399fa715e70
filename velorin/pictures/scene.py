"""A picture's content: the network around some routes, their looks, and what goes around.

The network is coloured by risk per metre (green for calm streets, red for
heavy traffic). Each route is drawn as a ring of its own colour
(:mod:`velorin.style`) around a core that keeps the stress colour of the
streets it takes, so the picture shows both which way a route goes and what
it rides on; routes sharing a street nest inside one another. Around the
roads go the water, green spaces, coastline and place names of the extract,
the names of the main streets, a scale bar and a north arrow. The PNG
(:mod:`velorin.pictures.png`) and the page (:mod:`velorin.pictures.html`)
draw the same :class:`Scene`.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from velorin.geo import haversine_m
from velorin.route import FALLBACK_SPEED_KMH, Route
from velorin.style import COINCIDES, ROUTE_STYLES

if TYPE_CHECKING:
    from velorin_core import PyRouteResult

    from velorin.osm.context import MapContext
    from velorin.router import Router

#: Colour and width of each kind's ring (points), from :mod:`velorin.style`; the
#: rings nest, widest outside, so routes sharing a street all stay visible.
ROUTE_STYLE = {kind: (style.colour, style.picture_width) for kind, style in ROUTE_STYLES.items()}
#: The order the rings are drawn in: widest first.
ROUTE_ORDER = tuple(sorted(ROUTE_STYLES, key=lambda kind: -ROUTE_STYLES[kind].picture_width))
#: Width of the stress-coloured core of a route (points), and of the white gap around a ring.
CORE_WIDTH = 2.4
GAP_WIDTH = 0.7

# Risk per metre at the bottom and top of the colour scale (LTS 1 and LTS 4 by default).
RISK_SCALE = (0.0001, 0.002)
STOPS = ((0.0, (0x2f, 0x9e, 0x44)), (0.35, (0xa9, 0xc9, 0x2f)), (0.65, (0xf5, 0x9f, 0x00)),
          (1.0, (0xd6, 0x33, 0x2a)))

#: Classes whose names are written on the map.
MAIN_STREETS = frozenset({"trunk", "primary", "secondary", "tertiary", "trunk_link",
                          "primary_link", "secondary_link"})
#: What the figures of the captions mean, one line each.
TIME_NOTE = ("time: riding time for the map's cycling profile, by ground, walking sections and "
             "climbs")
RISK_NOTE = "risk per km: 0.1 on calm ways (LTS 1), 2.0 in heavy traffic (LTS 4)"

WATER, WATER_EDGE, PARK, WOOD = "#a5d8ff", "#74c0fc", "#d3f9d8", "#e9f5e1"


def risk_colour(risk_per_m: float, scale: tuple[float, float] = RISK_SCALE) -> str:
    """Hex colour for a risk per metre, on a logarithmic green-to-red scale."""
    lo, hi = scale
    if risk_per_m <= 0 or not math.isfinite(risk_per_m):
        t = 0.0
    else:
        t = (math.log(risk_per_m) - math.log(lo)) / (math.log(hi) - math.log(lo))
        t = min(1.0, max(0.0, t))
    for (t0, c0), (t1, c1) in zip(STOPS, STOPS[1:]):
        if t <= t1:
            u = (t - t0) / (t1 - t0)
            rgb = [round(a + (b - a) * u) for a, b in zip(c0, c1)]
            return "#{:02x}{:02x}{:02x}".format(*rgb)
    return "#{:02x}{:02x}{:02x}".format(*STOPS[-1][1])


@dataclass
class RouteView:
    """What the pictures show of one route."""

    route_type: str
    path: list[int]
    distance_m: float
    risk: float
    #: Riding time in minutes (see :attr:`velorin.Route.riding_time_min`).
    time_min: float
    #: The engine's comfort score, kept for the data; the pictures show risk per km.
    comfort: float
    #: Every name the route carries, its own first (``("shortest", "safest")`` when the
    #: safest route is the shortest one); empty when the routes do not say.
    names: tuple[str, ...] = ()
    #: Metres climbed, and (distance from the start in m, height in m) along the
    #: route where the map has heights.
    ascent_m: float = 0.0
    profile: tuple[tuple[float, float], ...] = ()
    elevation_note: str = ""

    @classmethod
    def of(cls, route: Route | PyRouteResult) -> RouteView:
        """From a :class:`velorin.Route` or a ``velorin_core.PyRouteResult``."""
        if not isinstance(route, Route):
            return cls(route.route_type, list(route.path), route.total_distance_m,
                       route.total_risk, route.total_distance_m / (FALLBACK_SPEED_KMH / 3.6) / 60,
                       route.comfort_score)
        profile: list[tuple[float, float]] = []
        if route.elevations:
            along = 0.0
            for k, (ele, point) in enumerate(zip(route.elevations, route.coordinates)):
                if k:
                    along += haversine_m(*route.coordinates[k - 1], *point)
                if math.isfinite(ele):
                    profile.append((along, ele))
        return cls(route.route_type, list(route.path), route.total_distance_m,
                   route.total_risk, route.riding_time_min, route.comfort_score, route.names,
                   route.ascent_m, tuple(profile), route.elevation_note)

    @property
    def risk_per_km(self) -> float:
        return self.risk / (self.distance_m / 1000) if self.distance_m > 0 else 0.0

    @property
    def label(self) -> str:
        return " = ".join(self.names) if self.names else self.route_type

    def caption(self) -> str:
        climb = f", {self.ascent_m:.0f} m up" if self.ascent_m >= 0.5 else ""
        return (f"{self.label}: {self.distance_m / 1000:.2f} km, {self.time_min:.0f} min, "
                f"risk {self.risk:.2f} ({self.risk_per_km:.2f} per km){climb}")


def coinciding_routes(routes: Sequence[RouteView]) -> list[tuple[str, str]]:
    """(name, kind drawn) for each name that a route drawn under another kind also carries.

    The routes say which picks they answer (``Route.names``); the pictures
    draw each path once, under its first name, and tell the others.
    """
    return [(name, r.route_type) for r in routes for name in r.names if name != r.route_type]


def legend_notes(routes: Sequence[RouteView]) -> list[str]:
    """Lines under the route captions: which routes coincide, what time and risk per km
    mean, and what the climbs rest on."""
    notes = [COINCIDES.format(name=name, other=kind) for name, kind in coinciding_routes(routes)]
    heights = next((r.elevation_note for r in routes if r.elevation_note), "")
    return [*notes, TIME_NOTE, RISK_NOTE, *([heights] if heights else [])]


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
    #: Localities: (name, lat, lon, rank), rank 0 for a city, larger for smaller ones.
    localities: list[tuple[str, float, float, int]] = field(default_factory=list)
    labels: Mapping[str, tuple[float, float]] = field(default_factory=dict)
    #: Frame the routes rather than the whole network (for a region-sized map).
    focus: bool = False
    #: Names written beside the start and finish markers.
    ends: tuple[str, str] = ("start", "finish")

    def add_context(self, context: MapContext) -> None:
        """Add what a :class:`velorin.osm.context.MapContext` holds."""
        self.water.extend(context.water)
        self.parks.extend(context.parks)
        self.woods.extend(context.woods)
        self.coastlines.extend(context.coastlines)
        self.rivers.extend(context.rivers)
        self.localities.extend((p.name, p.lat, p.lon, p.rank) for p in context.localities)

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


def bounds(coords: Mapping[int, tuple[float, float]], scene: Scene
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
    return bounds(scene.coordinates(), scene)


def visible_segments(scene: Scene, coords: Mapping[int, tuple[float, float]],
                      bounds: tuple[float, float, float, float]) -> list[tuple[int, int, float]]:
    lat0, lat1, lon0, lon1 = bounds

    def inside(n: int) -> bool:
        lat, lon = coords[n]
        return lat0 <= lat <= lat1 and lon0 <= lon <= lon1

    return [(a, b, r) for a, b, r in scene.segments()
            if a in coords and b in coords and (inside(a) or inside(b))]


def route_segments(route: RouteView, coords: Mapping[int, tuple[float, float]],
                    risk: Mapping[tuple[int, int], float]) -> list[tuple[int, int, float]]:
    """The legs of a route with the stress (risk per metre) of the street under each."""
    legs = []
    for a, b in zip(route.path, route.path[1:]):
        if a in coords and b in coords:
            legs.append((a, b, risk.get((a, b) if a <= b else (b, a), 0.0)))
    return legs


def sorted_routes(scene: Scene) -> list[RouteView]:
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


def localities_to_write(scene: Scene, bounds: tuple[float, float, float, float], limit: int = 25
                     ) -> list[tuple[str, float, float, int]]:
    """The more important localities in view, none too close to one already chosen."""
    lat0, lat1, lon0, lon1 = bounds
    kx = math.cos(math.radians((lat0 + lat1) / 2))
    spacing = 0.06 * max(lat1 - lat0, (lon1 - lon0) * kx)
    chosen: list[tuple[str, float, float, int]] = []
    for name, lat, lon, rank in sorted(scene.localities, key=lambda p: p[3]):
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


def metres_label(metres: float) -> str:
    return f"{metres / 1000:g} km" if metres >= 1000 else f"{metres:g} m"


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
    scene = Scene(doc={"nodes": node_records, "edges": edges},
                  routes=[RouteView.of(r) for r in routes],
                  title=title, focus=True)
    if extract is not None:
        from velorin.osm.context import read_context

        scene.add_context(read_context(extract, frame(scene)))
    return scene
