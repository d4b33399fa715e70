"""What the page draws under the streets: water, parks, woods, rivers and place names.

The same background as the pictures' (:mod:`velorin.osm.context`), read from
the extract once when the service starts, so a rider finds the towns and the
lakes without a tile server. A graph document carries none of it: its
background is empty.
"""

from __future__ import annotations

import gzip
import os
from pathlib import Path
from typing import Any

from velorin.osm.context import LOCALITY_RANKS, MapContext, Shape

# Five decimals of a degree are about a metre: finer than a background needs.
_DECIMALS = 5

#: Area kinds, drawn in this order (woods under parks under water).
AREAS = ("woods", "parks", "water")
#: Line kinds, drawn over the areas.
LINES = ("rivers", "coastlines")


def _ring(shape: Shape) -> list[list[float]]:
    return [[round(lon, _DECIMALS), round(lat, _DECIMALS)] for lat, lon in shape]


def background_geojson(context: MapContext) -> dict[str, Any]:
    """A FeatureCollection: one MultiPolygon per area kind, one MultiLineString per line
    kind (``kind`` in the properties), and one Point per named place (``name``, ``place``
    and ``rank``, 0 for a city and larger for smaller places)."""
    features: list[dict[str, Any]] = []
    for kind in AREAS:
        shapes = getattr(context, kind)
        if shapes:
            features.append({"type": "Feature", "properties": {"kind": kind},
                             "geometry": {"type": "MultiPolygon",
                                          "coordinates": [[_ring(s)] for s in shapes]}})
    for kind in LINES:
        lines = getattr(context, kind)
        if lines:
            features.append({"type": "Feature", "properties": {"kind": kind},
                             "geometry": {"type": "MultiLineString",
                                          "coordinates": [_ring(s) for s in lines]}})
    for p in context.localities:
        features.append({"type": "Feature",
                         "properties": {"kind": "place", "name": p.name,
                                        "place": LOCALITY_RANKS[p.rank], "rank": p.rank},
                         "geometry": {"type": "Point",
                                      "coordinates": [round(p.lon, _DECIMALS),
                                                      round(p.lat, _DECIMALS)]}})
    return {"type": "FeatureCollection", "features": features}


def read_background(path: str | os.PathLike[str]) -> bytes:
    """The background of MAP as gzip-compressed GeoJSON (empty for a graph document)."""
    from velorin.service.answers import encode

    context = MapContext()
    if not Path(path).name.lower().endswith(".json"):
        from velorin.osm.context import read_context

        context = read_context(path)
    return gzip.compress(encode(background_geojson(context)), compresslevel=6, mtime=0)
