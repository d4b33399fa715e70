"""HTTP answers: routes as GeoJSON, errors as JSON objects with their status.

Both the server (for snapping and argument checks) and its workers (for the
routes) build their bodies here, so an error reads the same whichever process
found it.
"""

from __future__ import annotations

import logging
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import orjson

from velorin.errors import (AmbiguousPlace, NodeNotFound, NoRoute, PlaceNotFound, PointOutsideMap,
                            RoutingError)
from velorin.ends import SnappedPlace
from velorin.route import Route, to_geojson

if TYPE_CHECKING:
    from velorin.router import Router

log = logging.getLogger("velorin.service")

#: An HTTP status and its JSON body, encoded.
Reply = tuple[int, bytes]


@dataclass(frozen=True, slots=True)
class RouteRequest:
    """What the server asks a worker: routes between two places it has already snapped.

    The places travel snapped, with their distances, so that a point off
    the map costs no worker and the answer reports how far each end moved.
    """

    origin: SnappedPlace
    destination: SnappedPlace
    eps: float
    #: Places to pass on the way, in order, snapped like the ends.
    via: tuple[SnappedPlace, ...] = ()
    #: "geojson", or "gpx" for a GPX document (one track per route).
    format: str = "geojson"


def encode(body: Any) -> bytes:
    # orjson writes NaN and infinity as null, which is what a JSON reader can take.
    return orjson.dumps(body, option=orjson.OPT_SERIALIZE_NUMPY)


def answer(router: Router, request: RouteRequest) -> Reply:
    """A worker's reply to a request: the routes as GeoJSON, or the error as JSON."""
    try:
        routes = router.route(request.origin, request.destination, request.eps,
                              via=request.via)
        if request.format == "gpx":
            from velorin.gpx import to_gpx

            return 200, to_gpx(routes).encode("utf-8")
        return 200, encode(route_collection(routes))
    except Exception as exc:  # noqa: BLE001 - every fault becomes an answer
        return error_reply(exc)


def route_collection(routes: Sequence[Route]) -> dict[str, Any]:
    """The routes as a FeatureCollection, with where each end was snapped to."""
    collection = to_geojson(routes)
    first = routes[0]
    for end, at, snap in (("origin", 0, first.origin_snap_m),
                          ("destination", -1, first.destination_snap_m)):
        lat, lon = first.coordinates[at]
        collection[end] = {"node": first.path[at], "lat": lat, "lon": lon, "snap_m": snap}
    return collection


def error_body(message: str, **fields: Any) -> dict[str, Any]:
    return {"error": message, **{k: _finite(v) for k, v in fields.items()}}


def error_reply(exc: BaseException) -> Reply:
    """The status and body for an exception raised while answering a request."""
    status, fields = classify(exc)
    if status == 500:
        log.error("internal error while answering a request", exc_info=exc)
        message = f"internal error: {type(exc).__name__}: {exc}"
    else:
        message = str(exc)
    return status, encode(error_body(message, **fields))


def classify(exc: BaseException) -> tuple[int, dict[str, Any]]:
    """The HTTP status of an error and the fields its body carries beside the message."""
    # The typed routing errors come first: PointOutsideMap is also a ValueError.
    if isinstance(exc, PointOutsideMap):
        return 422, {"lat": exc.lat, "lon": exc.lon, "distance_m": exc.distance_m,
                     "max_distance_m": exc.max_distance_m}
    if isinstance(exc, NodeNotFound):
        return 422, {"node": exc.node_id}
    if isinstance(exc, AmbiguousPlace):
        return 422, {"name": exc.name, "candidates": [p.to_json() for p in exc.candidates]}
    if isinstance(exc, PlaceNotFound):
        return 422, {"name": exc.name}
    if isinstance(exc, NoRoute):
        return 404, {"source": exc.source, "target": exc.target}
    if isinstance(exc, RoutingError):
        return 404, {}
    if isinstance(exc, (ValueError, TypeError)):
        return 400, {}
    return 500, {}


def _finite(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, int) and not -(1 << 63) <= value < 1 << 64:
        return str(value)  # beyond what a JSON reader takes as an exact number
    return value
