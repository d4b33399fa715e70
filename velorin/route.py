"""Routes as plain values: metrics, geometry, per-arc annotations, GeoJSON."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from velorin.directions import Step
    from velorin.segments import Segment

#: The search's approximation unless the caller says otherwise: the "shortest" and "safest"
#: routes may be up to 10% longer or riskier than the exact ones (0.0 gives those).
DEFAULT_EPS = 0.1


@dataclass(frozen=True, slots=True)
class Arc:
    """What the map says about one leg of a route (None where it says nothing)."""

    way_id: int | None = None
    name: str | None = None
    highway: str | None = None
    #: Level of Traffic Stress, 1 (calm) to 4 (heavy traffic).
    lts: int | None = None
    surface: str | None = None


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

    def __repr__(self) -> str:
        return (f"Route({self.route_type}, dist={self.total_distance_m:.0f}m, "
                f"risk={self.total_risk:.3f}, time={self.estimated_time_min:.1f}min)")

    def properties(self) -> dict[str, Any]:
        """The route's metrics as plain JSON values."""
        return {
            "route_type": self.route_type,
            "total_distance_m": self.total_distance_m,
            "total_risk": self.total_risk,
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
        LineString) and the ``directions``. A route that stays on one node
        repeats that position, since a LineString needs two.
        """
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


def to_geojson(routes: Iterable[Route]) -> dict[str, Any]:
    """A GeoJSON FeatureCollection with one Feature per route, in the given order."""
    return {"type": "FeatureCollection", "features": [r.to_geojson() for r in routes]}
