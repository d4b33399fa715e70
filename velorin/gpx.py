"""Routes as GPX, the file that bike computers and navigation apps load.

Written with gpxpy (``pip install 'velorin[maps]'``, or ``[serve]`` or
``[osm]``): one track per route, named after the route, with one point per
node of its path and the node's elevation where the route knows it.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from velorin.segments import node_elevations

if TYPE_CHECKING:
    from velorin.route import Route

CREATOR = "velorin"


def _gpxpy() -> Any:
    try:
        import gpxpy.gpx
    except ImportError:
        raise ImportError("writing GPX needs the gpxpy package: pip install gpxpy "
                          "(or velorin's 'maps' extra)") from None
    return gpxpy.gpx


def to_gpx(routes: Iterable[Route], *, name: str | None = None) -> str:
    """A GPX 1.1 document with one track per route, in the given order.

    Each track is named after its route ("shortest", "safest = balanced"...)
    and described by its distance, risk and riding time; its points are the nodes of the
    route's path, with elevations where the route has them. Via points are
    written as waypoints named "via 1", "via 2"... ``name`` names the
    document itself.
    """
    gpx = _gpxpy()
    document = gpx.GPX()
    document.creator = CREATOR
    if name is not None:
        document.name = name
    vias_seen: set[tuple[float, float]] = set()
    for route in routes:
        track = gpx.GPXTrack(name=route.label,
                             description=f"{route.total_distance_m / 1000:.2f} km, "
                                         f"risk {route.total_risk:.3f}, "
                                         f"{route.riding_time_min:.0f} min by bike")
        segment = gpx.GPXTrackSegment()
        elevations = node_elevations(route)
        for k, (lat, lon) in enumerate(route.coordinates):
            if lat != lat or lon != lon:  # a node without a position
                continue
            height = None if elevations is None else float(elevations[k])
            if height is not None and height != height:
                height = None
            segment.points.append(gpx.GPXTrackPoint(lat, lon, elevation=height))
        track.segments.append(segment)
        document.tracks.append(track)
        for number, k in enumerate(route.via_indices, start=1):
            lat, lon = route.coordinates[k]
            if (lat, lon) not in vias_seen:
                vias_seen.add((lat, lon))
                document.waypoints.append(gpx.GPXWaypoint(lat, lon, name=f"via {number}"))
    text: str = document.to_xml(version="1.1")
    return text
