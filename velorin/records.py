"""Fields of graph-document records, read in bulk.

A document's nodes and arcs are objects (``{"id": 1, "lat": ...}``) or arrays
(``[1, 43.7, ...]``), and one document may mix both; the readers of the map
and of the rider's rides take whole columns of them at once.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from operator import itemgetter
from typing import Any

import numpy as np
import numpy.typing as npt


def column(records: Sequence[Any], key: str, position: int, dtype: type) -> npt.NDArray[Any]:
    """One field of every record: ``key`` of an object, item ``position`` of an array."""
    try:
        return np.fromiter(map(itemgetter(key), records), dtype=dtype, count=len(records))
    except TypeError:  # some records in array form
        return np.fromiter((r[key] if isinstance(r, Mapping) else r[position] for r in records),
                           dtype=dtype, count=len(records))
