"""Great-circle distance, computed exactly as the route search computes its estimate."""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

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


def haversine_m_array(lat1: npt.ArrayLike, lon1: npt.ArrayLike, lat2: npt.ArrayLike,
                      lon2: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """:func:`haversine_m` over numpy arrays (broadcast), in the same order of operations."""
    k = DEG_TO_RAD
    lat1, lon1 = np.asarray(lat1, dtype=np.float64), np.asarray(lon1, dtype=np.float64)
    lat2, lon2 = np.asarray(lat2, dtype=np.float64), np.asarray(lon2, dtype=np.float64)
    dlon = np.sin((lon2 - lon1) * k * 0.5)
    dlat = np.sin((lat2 - lat1) * k * 0.5)
    a = (np.cos(lat2 * k) * np.cos(lat1 * k)) * (dlon * dlon) + dlat * dlat
    # Rounding can push a hair above 1 for antipodal points; sqrt(1 - a) must stay real.
    a = np.minimum(a, 1.0)
    result: npt.NDArray[np.float64] = np.arctan2(np.sqrt(a), np.sqrt(1.0 - a)) * EARTH_DIAMETER_M
    return result
