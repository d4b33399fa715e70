"""The geometry of a route's legs: lengths and compass bearings, all legs at once."""

from __future__ import annotations

from collections.abc import Sequence
from itertools import chain

import numpy as np
import numpy.typing as npt

from velorin.geo import DEG_TO_RAD, EARTH_DIAMETER_M

F64 = npt.NDArray[np.float64]


def points_of(coordinates: Sequence[tuple[float, float]]) -> F64:
    """``(lat, lon)`` pairs as an array of two columns."""
    flat = np.fromiter(chain.from_iterable(coordinates), dtype=np.float64,
                       count=2 * len(coordinates))
    return flat.reshape(-1, 2)


def _columns(coordinates: Sequence[tuple[float, float]] | F64) -> tuple[F64, F64]:
    points = coordinates if isinstance(coordinates, np.ndarray) else points_of(coordinates)
    return points[:, 0], points[:, 1]


class Legs:
    """A route's points as an array, and the length of each leg and the distance of
    each node from the start, computed once for directions and segments alike."""

    __slots__ = ("points", "lengths", "at")

    def __init__(self, coordinates: Sequence[tuple[float, float]]) -> None:
        self.points = points_of(coordinates)
        self.lengths = leg_lengths_m(self.points)
        self.at = np.concatenate(([0.0], np.cumsum(self.lengths)))


def leg_lengths_m(coordinates: Sequence[tuple[float, float]] | F64) -> F64:
    """Great-circle length of each leg between consecutive ``(lat, lon)`` points, in metres.

    The same haversine, operation for operation, as :func:`velorin.geo.haversine_m`,
    so a leg of a converted map measures exactly its arc's ``distance_m``.
    """
    lat, lon = _columns(coordinates)
    if len(lat) < 2:
        return np.zeros(0)
    return haversine_m_array(lat[:-1], lon[:-1], lat[1:], lon[1:])


def bearings_deg(lat1: F64, lon1: F64, lat2: F64, lon2: F64) -> F64:
    """Initial compass bearing from each first point to its second, 0 north, 90 east."""
    k = DEG_TO_RAD
    p1, p2, dl = lat1 * k, lat2 * k, (lon2 - lon1) * k
    y = np.sin(dl) * np.cos(p2)
    x = np.cos(p1) * np.sin(p2) - np.sin(p1) * np.cos(p2) * np.cos(dl)
    result: F64 = np.degrees(np.arctan2(y, x)) % 360.0
    return result


def neighbour_counts(heads: npt.NDArray[np.int64], tails: npt.NDArray[np.int64],
                     nodes: int) -> npt.NDArray[np.int32]:
    """For each of ``nodes`` nodes, how many other nodes an arc joins it to, either way.

    ``heads`` and ``tails`` are the arcs' end rows (-1 for an end without a
    node record, which is not counted). A node with more than two neighbours
    is a junction: a rider arriving there has a choice to make.
    """
    keep = (heads >= 0) & (tails >= 0) & (heads != tails)
    low = np.minimum(heads[keep], tails[keep])
    high = np.maximum(heads[keep], tails[keep])
    pairs = np.unique(low * np.int64(nodes) + high)
    ends = np.concatenate((pairs // nodes, pairs % nodes)) if nodes else pairs
    counts: npt.NDArray[np.int32] = np.bincount(ends, minlength=nodes).astype(np.int32)
    return counts


def haversine_m_array(lat1: npt.ArrayLike, lon1: npt.ArrayLike, lat2: npt.ArrayLike,
                      lon2: npt.ArrayLike) -> F64:
    """:func:`velorin.geo.haversine_m` over numpy arrays (broadcast), in the same order of
    operations."""
    k = DEG_TO_RAD
    lat1, lon1 = np.asarray(lat1, dtype=np.float64), np.asarray(lon1, dtype=np.float64)
    lat2, lon2 = np.asarray(lat2, dtype=np.float64), np.asarray(lon2, dtype=np.float64)
    dlon = np.sin((lon2 - lon1) * k * 0.5)
    dlat = np.sin((lat2 - lat1) * k * 0.5)
    a = (np.cos(lat2 * k) * np.cos(lat1 * k)) * (dlon * dlon) + dlat * dlat
    # Rounding can push a hair above 1 for antipodal points; sqrt(1 - a) must stay real.
    a = np.minimum(a, 1.0)
    result: F64 = np.arctan2(np.sqrt(a), np.sqrt(1.0 - a)) * EARTH_DIAMETER_M
    return result
