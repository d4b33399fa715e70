"""A route's legs grouped into runs that the map describes alike.

A map colours a route by stress, or lists its streets, from these runs: each
one is a stretch of consecutive legs with the same street name, OpenStreetMap
class, Level of Traffic Stress and surface.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from operator import attrgetter
from typing import TYPE_CHECKING, Any

import numpy as np

from velorin.legs import Legs

if TYPE_CHECKING:
    from velorin.route import Arc, Route


_FACTS = attrgetter("name", "highway", "lts", "surface")


@dataclass(frozen=True, slots=True)
class Segment:
    """A run of legs with the same name, class, stress level and surface.

    ``start`` and ``end`` are positions in the route's ``path`` (and its
    GeoJSON coordinates): the run goes from node ``start`` to node ``end``.
    ``ascent_m`` and ``descent_m`` are the climbs along the run where the
    route knows its nodes' elevations, None otherwise.
    """

    start: int
    end: int
    distance_m: float
    name: str | None
    highway: str | None
    lts: int | None
    surface: str | None
    ascent_m: float | None = None
    descent_m: float | None = None

    def to_json(self) -> dict[str, Any]:
        """The run as plain JSON values."""
        return {"start": self.start, "end": self.end, "distance_m": self.distance_m,
                "name": self.name, "highway": self.highway, "lts": self.lts,
                "surface": self.surface, "ascent_m": self.ascent_m,
                "descent_m": self.descent_m}


def segments(route: Route) -> tuple[Segment, ...]:
    """The runs of a route's legs; none for a route without annotations."""
    return runs_of(route.coordinates, route.arcs, node_elevations(route),
                   geometry=route.shape)


def node_elevations(route: Route) -> Sequence[float] | None:
    """Elevation of each node of the route in metres, where the route knows them."""
    values = route.elevations
    return values if len(values) == len(route.coordinates) else None


def runs_of(coordinates: Sequence[tuple[float, float]], arcs: Sequence[Arc],
            elevations: Sequence[float] | None = None, *,
            geometry: Legs | None = None) -> tuple[Segment, ...]:
    """The runs along ``coordinates`` described by ``arcs`` (one per leg)."""
    if not arcs or len(arcs) != len(coordinates) - 1:
        return ()
    at = (geometry if geometry is not None else Legs(coordinates)).at.tolist()
    keys = list(map(_FACTS, arcs))
    cuts = [0, *(i for i in range(1, len(keys)) if keys[i] != keys[i - 1]), len(keys)]
    climbs: tuple[np.ndarray, np.ndarray] | None = None
    if elevations is not None:
        rise = np.diff(np.asarray(elevations, dtype=np.float64))
        climbs = (np.concatenate(([0.0], np.cumsum(np.where(rise > 0, rise, 0.0)))),
                  np.concatenate(([0.0], np.cumsum(np.where(rise < 0, -rise, 0.0)))))
    out: list[Segment] = []
    for start, end in zip(cuts, cuts[1:]):
        name, highway, lts, surface = keys[start]
        up = down = None
        if climbs is not None:
            up = float(climbs[0][end] - climbs[0][start])
            down = float(climbs[1][end] - climbs[1][start])
        out.append(Segment(start, end, at[end] - at[start], name, highway, lts, surface,
                           up, down))
    return tuple(out)
