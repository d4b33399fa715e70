"""Great-circle distance, computed exactly as the route search computes its estimate."""

from __future__ import annotations

import math

# The route search estimates the remaining distance with this exact haversine
# (degrees to radians, half angles, twice the 6,371 km sphere radius).  Arc
# lengths are computed the same way, operation for operation, so that the
# estimate from one end of an arc to the other equals the arc's length.
DEG_TO_RAD = 0.017453292519943295
EARTH_DIAMETER_M = 12742000.0


def haversine_m(lat1: float, lon1: float, lat2: float, lon2: float) -> float:
    """Great-circle distance in metres from (lat1, lon1) to (lat2, lon2), in degrees."""
    k = DEG_TO_RAD
    dlon = math.sin((lon2 - lon1) * k * 0.5)
    dlat = math.sin((lat2 - lat1) * k * 0.5)
    a = (math.cos(lat2 * k) * math.cos(lat1 * k)) * (dlon * dlon) + dlat * dlat
    return math.atan2(math.sqrt(a), math.sqrt(1.0 - a)) * EARTH_DIAMETER_M
