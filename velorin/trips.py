"""Trips through via points: each leg searched on its own, the legs joined route by route.

The shortest trip joins every leg's shortest route, the safest trip every
leg's safest, the balanced trip every leg's balanced route. Joined trips keep
where their legs meet (``Route.via_indices``); a trip whose path repeats an
earlier one is left out, as for a single leg.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from velorin.route import Route, Routes

if TYPE_CHECKING:
    from velorin.router import Router

#: The names of the trips, in the order they are returned.
NAMES = ("shortest", "safest", "balanced")

# The engine's walking pace in metres per minute, for a joined trip's time.
_ENGINE_SPEED_M_PER_MIN = 66.67


def route_via(router: Router, origin: Any, destination: Any, via: Sequence[Any], eps: float,
              max_distance_m: float) -> Routes:
    """The trips from ``origin`` through every place of ``via`` to ``destination``."""
    if isinstance(via, (str, bytes)) or (len(via) == 2 and all(
            isinstance(v, float) for v in via)):
        raise TypeError(f"via must be a sequence of places, e.g. [(lat, lon)], not {via!r}")
    stops = [origin, *(_snapped(router, v, max_distance_m, k)
                       for k, v in enumerate(via, start=1)), destination]
    legs = [router.route(a, b, eps, max_distance_m=max_distance_m)
            for a, b in zip(stops, stops[1:])]
    return join_legs(legs)


def _snapped(router: Router, place: Any, max_distance_m: float, number: int) -> Any:
    """A via point as the node it is snapped to, so that both its legs use that node."""
    return router.snap(place, max_distance_m=max_distance_m, end=f"via point {number}")


def pick(routes: Sequence[Route], name: str) -> Route:
    """The route of one leg that carries ``name`` (see :class:`velorin.Routes`)."""
    named = getattr(routes, name, None)
    if isinstance(named, Route):
        return named
    return getattr(Routes(routes), name)  # type: ignore[no-any-return]


def join_legs(legs: Sequence[Sequence[Route]]) -> Routes:
    """The shortest, safest and balanced trips over consecutive legs' routes."""
    if len(legs) == 1:
        return legs[0] if isinstance(legs[0], Routes) else Routes(legs[0])
    trips: list[Route] = []
    picks: dict[str, Route] = {}
    for name in NAMES:
        trip = join([pick(leg, name) for leg in legs], name)
        same = next((t for t in trips if t.path == trip.path), None)
        if same is None:
            trips.append(trip)
        picks[name] = same or trip
    return Routes(trips, picks=picks)


def join(parts: Sequence[Route], route_type: str) -> Route:
    """One route through consecutive routes, each starting where the one before ends."""
    path: list[int] = list(parts[0].path)
    coordinates = list(parts[0].coordinates)
    degrees = list(parts[0].node_degrees)
    arcs = list(parts[0].arcs)
    vias: list[int] = list(parts[0].via_indices)
    annotated = all(len(p.arcs) == len(p.path) - 1 for p in parts)
    with_degrees = all(len(p.node_degrees) == len(p.path) for p in parts)
    for part in parts[1:]:
        if part.path[0] != path[-1]:
            raise ValueError(f"route {part!r} starts at node {part.path[0]}, not at node "
                             f"{path[-1]} where the one before it ends")
        offset = len(path) - 1
        vias.append(offset)
        vias.extend(offset + v for v in part.via_indices)
        path.extend(part.path[1:])
        coordinates.extend(part.coordinates[1:])
        arcs.extend(part.arcs)
        # The via node's neighbours on the map are the same in both legs.
        degrees.extend(part.node_degrees[1:])
    distance = math.fsum(p.total_distance_m for p in parts)
    risk = math.fsum(p.total_risk for p in parts)
    return Route(
        route_type=route_type, path=tuple(path), total_distance_m=distance, total_risk=risk,
        total_familiarity=math.fsum(p.total_familiarity for p in parts),
        estimated_time_min=distance / _ENGINE_SPEED_M_PER_MIN, node_count=len(path),
        comfort_score=1.0 if risk <= 0.0 else math.exp(-2.0 * risk), coordinates=tuple(coordinates),
        origin_snap_m=parts[0].origin_snap_m, destination_snap_m=parts[-1].destination_snap_m,
        arcs=tuple(arcs) if annotated else (),
        node_degrees=tuple(degrees) if with_degrees else (), via_indices=tuple(vias),
        elevations=tuple(parts[0].elevations) + tuple(
            e for p in parts[1:] for e in p.elevations[1:])
        if all(len(p.elevations) == len(p.path) for p in parts) else ())
