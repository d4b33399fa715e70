"""Routes as plain values: metrics, geometry, per-arc annotations, GeoJSON."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from velorin.directions import Step
    from velorin.legs import Legs
    from velorin.segments import Segment

#: The search's approximation unless the caller says otherwise: 0.0, the exact "shortest"
#: and "safest" routes (on the benchmark's Andorra pairs it costs 1.2 to 1.6 times the time
#: of eps 0.1, whose routes may be up to 10% longer or riskier).
DEFAULT_EPS = 0.0


@dataclass(frozen=True, slots=True)
class Arc:
    """What the map says about one leg of a route (None where it says nothing)."""

    way_id: int | None = None
    name: str | None = None
    highway: str | None = None
    #: Level of Traffic Stress, 1 (calm) to 4 (heavy traffic).
    lts: int | None = None
    surface: str | None = None
    #: Riding time in seconds, for the map's cycling profile.
    time_s: float | None = None
    #: Metres climbed and descended along the leg, and its steepest grade in %
    #: (negative downhill), where heights are known.
    climb_m: float | None = None
    descent_m: float | None = None
    grade: float | None = None


@dataclass(frozen=True, repr=False)
class Route:
    """One route between two places, with its metrics and its geometry.

    The metrics are those of the routing engine, unrounded.  ``coordinates``
    holds one ``(lat, lon)`` pair per node of ``path``; ``arcs`` one
    :class:`Arc` per leg (``len(path) - 1`` of them) when the map carries
    annotations, and is empty otherwise.  ``origin_snap_m`` and
    ``destination_snap_m`` are the great-circle distances from the places
    asked for to the nodes the route starts and ends at (0.0 for a node id).
    ``node_degrees`` gives, per node of ``path``, how many neighbours it has
    on the map (more than two: a junction), and ``via_indices`` the position
    in ``path`` of each via point the route passes.
    """

    route_type: str
    path: tuple[int, ...]
    total_distance_m: float
    total_risk: float
    total_familiarity: float
    estimated_time_min: float
    node_count: int
    comfort_score: float
    coordinates: tuple[tuple[float, float], ...]
    origin_snap_m: float = 0.0
    destination_snap_m: float = 0.0
    arcs: tuple[Arc, ...] = ()
    node_degrees: tuple[int, ...] = ()
    via_indices: tuple[int, ...] = ()
    #: Height in metres of each node of ``path`` (NaN where unknown), when the
    #: map was converted with an elevation raster; empty otherwise.
    elevations: tuple[float, ...] = ()
    #: Every name of the request this route answers, in the order of
    #: :data:`ROUTE_NAMES`: ``("safest", "balanced")`` when the two picks
    #: coincide.  Empty for a route built outside :class:`Routes`.
    names: tuple[str, ...] = ()

    @property
    def riding_time_min(self) -> float:
        """Minutes a rider of the map's profile takes: by way class and ground, slower
        where the bike is pushed or carried and on climbs where heights are known.

        Legs the map gives no time for (a graph document converted without
        annotations) are ridden at ``FALLBACK_SPEED_KMH``.  The engine's
        ``estimated_time_min`` is a walking pace (4 km/h) over the distance.
        """
        timed = [a.time_s for a in self.arcs if a.time_s is not None]
        if len(timed) == len(self.arcs) and self.arcs:
            return math.fsum(timed) / 60.0
        known_m = 0.0
        if timed:
            known_m = math.fsum(_leg_m(a, b) for (a, b), arc in zip(
                zip(self.coordinates, self.coordinates[1:]), self.arcs) if arc.time_s is not None)
        rest = max(self.total_distance_m - known_m, 0.0)
        return (math.fsum(timed) + rest / (FALLBACK_SPEED_KMH / 3.6)) / 60.0

    @property
    def elevation_source(self) -> str:
        """Where the heights come from: ``"raster"`` (an elevation raster given at
        conversion), ``"incline tags"`` (no raster: only ways tagged with their
        incline) or ``"none"``."""
        if self.elevations:
            return "raster"
        return "incline tags" if any(a.grade is not None for a in self.arcs) else "none"

    @property
    def elevation_note(self) -> str:
        """What the climb figures rest on, in a sentence."""
        if self.elevations:
            return "heights from the elevation raster"
        return "no elevation data was given: climbs only where ways are tagged with an incline"

    @property
    def ascent_m(self) -> float:
        """Metres climbed, over the legs whose heights are known."""
        return math.fsum(a.climb_m for a in self.arcs if a.climb_m is not None)

    @property
    def descent_m(self) -> float:
        """Metres descended, over the legs whose heights are known."""
        return math.fsum(a.descent_m for a in self.arcs if a.descent_m is not None)

    @property
    def steepest_grade_pct(self) -> float:
        """The steepest grade met in %, signed: positive uphill, negative downhill; 0.0
        where no heights are known."""
        grades = [a.grade for a in self.arcs if a.grade is not None]
        return max(grades, key=abs) if grades else 0.0

    def distance_by_lts_m(self) -> dict[int, float]:
        """Metres ridden at each stress level 1 to 4 (legs without one are left out)."""
        by_lts = {1: 0.0, 2: 0.0, 3: 0.0, 4: 0.0}
        for (a, b), arc in zip(zip(self.coordinates, self.coordinates[1:]), self.arcs):
            if arc.lts in by_lts:
                by_lts[arc.lts] += _leg_m(a, b)
        return by_lts

    @property
    def risk_per_km(self) -> float:
        """Risk per kilometre ridden: 0.1 on calm ways, 2.0 in heavy traffic (city)."""
        return self.total_risk / (self.total_distance_m / 1000.0) if self.total_distance_m \
            else 0.0

    @property
    def label(self) -> str:
        """The names the route carries as one text, e.g. ``"safest = balanced"``."""
        return " = ".join(self.names) if self.names else self.route_type

    def __repr__(self) -> str:
        return (f"Route({self.route_type}, dist={self.total_distance_m:.0f}m, "
                f"risk={self.total_risk:.3f}, time={self.estimated_time_min:.1f}min)")

    def properties(self) -> dict[str, Any]:
        """The route's metrics as plain JSON values."""
        return {
            "route_type": self.route_type,
            "names": list(self.names),
            "label": self.label,
            "total_distance_m": self.total_distance_m,
            "total_risk": self.total_risk,
            "risk_per_km": self.risk_per_km,
            "riding_time_min": self.riding_time_min,
            "ascent_m": self.ascent_m,
            "descent_m": self.descent_m,
            "steepest_grade_pct": self.steepest_grade_pct,
            "elevation_source": self.elevation_source,
            "distance_by_lts_m": {str(k): v for k, v in self.distance_by_lts_m().items()},
            "total_familiarity": self.total_familiarity,
            "estimated_time_min": self.estimated_time_min,
            "comfort_score": self.comfort_score,
            "node_count": self.node_count,
            "origin_snap_m": self.origin_snap_m,
            "destination_snap_m": self.destination_snap_m,
        }

    # Computed on first use and kept: the dataclass is frozen but not slotted,
    # so cached_property can store its value in the instance's dictionary.
    @cached_property
    def shape(self) -> Legs:
        """The route's points as a numpy array, each leg's great-circle length and each
        node's distance from the start, in metres (a :class:`velorin.legs.Legs`)."""
        from velorin.legs import Legs

        return Legs(self.coordinates)

    @cached_property
    def directions(self) -> tuple[Step, ...]:
        """Turn-by-turn steps, from the departure to the arrival (see :mod:`velorin.directions`)."""
        from velorin.directions import directions

        return directions(self)

    @cached_property
    def segments(self) -> tuple[Segment, ...]:
        """The legs in runs of equal name, class, stress level and surface
        (see :mod:`velorin.segments`); empty without annotations."""
        from velorin.segments import segments

        return segments(self)

    def to_geojson(self) -> dict[str, Any]:
        """A GeoJSON Feature: the route as a LineString (longitude first) and its metrics.

        Besides the metrics, ``properties`` holds ``via_indices``, the
        ``segments`` (runs of legs, with ``start`` and ``end`` positions in the
        LineString) and the ``directions``. Where the map has heights, each
        position carries its height in metres as a third value. A route that
        stays on one node repeats that position, since a LineString needs two.
        """
        if self.elevations:
            line = [[lon, lat, ele] if math.isfinite(ele) else [lon, lat]
                    for (lat, lon), ele in zip(self.coordinates, self.elevations)]
        else:
            line = [[lon, lat] for lat, lon in self.coordinates]
        if len(line) == 1:
            line.append(list(line[0]))
        properties = self.properties()
        properties["via_indices"] = list(self.via_indices)
        properties["segments"] = [s.to_json() for s in self.segments]
        properties["directions"] = [s.to_json() for s in self.directions]
        return {"type": "Feature", "geometry": {"type": "LineString", "coordinates": line},
                "properties": properties}

    def to_gpx(self) -> str:
        """The route as a GPX document of one track (see :func:`velorin.to_gpx`)."""
        from velorin.gpx import to_gpx

        return to_gpx([self])


#: Speed for legs whose riding time the map does not give, in km/h.
FALLBACK_SPEED_KMH = 15.0


def _leg_m(a: tuple[float, float], b: tuple[float, float]) -> float:
    from velorin.geo import haversine_m

    return haversine_m(a[0], a[1], b[0], b[1])


#: The three picks of a request, in the engine's order.
ROUTE_NAMES = ("shortest", "safest", "balanced")


class Routes(list[Route]):
    """The routes of one request in the engine's order, each pick also by name.

    The engine leaves out a pick whose path repeats an earlier one; here
    ``.shortest``, ``.safest`` and ``.balanced`` always answer, and picks
    that coincide are the same :class:`Route`, whose ``names`` lists them
    all.  A missing safest route is the shortest one; a missing balanced
    route is the one of the others that the engine's rule prefers (least
    distance / longest distance + risk / largest risk, each divisor at least
    1), the shortest on a tie.
    """

    shortest: Route
    safest: Route
    balanced: Route

    def __init__(self, routes: Iterable[Route] = (), *,
                 picks: Mapping[str, Route] | None = None) -> None:
        """``picks`` names the route of each pick where the caller knows them (routes
        of ``routes``, by identity); otherwise they follow from the route types."""
        found = list(routes)
        if not found:
            super().__init__()
            return
        kinds = {r.route_type: r for r in found}
        if picks is not None:
            kinds = {name: picks[name] for name in ROUTE_NAMES}
        shortest = kinds.get("shortest", found[0])
        safest = kinds.get("safest", shortest)
        balanced = kinds.get("balanced")
        if balanced is None:
            # The longest route of a set without dominated members is the
            # safest, the riskiest the shortest: the engine's divisors.
            top_d = max(safest.total_distance_m, 1.0)
            top_r = max(shortest.total_risk, 1.0)
            balanced = min((shortest, safest),
                           key=lambda r: r.total_distance_m / top_d + r.total_risk / top_r)
        picks = {"shortest": shortest, "safest": safest, "balanced": balanced}
        named = {id(r): dataclasses.replace(r, names=tuple(
            n for n in ROUTE_NAMES if picks[n] is r)) for r in found}
        super().__init__(named[id(r)] for r in found)
        for name, route in picks.items():
            setattr(self, name, named.get(id(route), route))

    def __getattr__(self, name: str) -> Route:
        # Only an empty collection lacks the picks.
        if name in ROUTE_NAMES:
            raise AttributeError(f"no {name} route: the collection is empty")
        raise AttributeError(name)

    def __reduce__(self) -> tuple[Any, ...]:
        return (Routes, (list(self),))


def to_geojson(routes: Iterable[Route]) -> dict[str, Any]:
    """A GeoJSON FeatureCollection with one Feature per route, in the given order."""
    return {"type": "FeatureCollection", "features": [r.to_geojson() for r in routes]}
