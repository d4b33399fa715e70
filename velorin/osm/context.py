"""What a picture shows around the roads: water, green spaces, coastline, the names of localities.

A locality is a named settlement of the extract (an OpenStreetMap ``place``
node: city, town, village...); in the rest of the package a place is the end
of a route.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path

from velorin.errors import OsmImportError

#: A ring or a line as (lat, lon) points.
Shape = list[tuple[float, float]]

#: Kinds of localities, most important first; the index is the locality's rank.
LOCALITY_RANKS = ("city", "town", "village", "suburb", "quarter", "neighbourhood", "hamlet")

_WATER = {("natural", "water"), ("waterway", "riverbank"), ("landuse", "reservoir"),
          ("landuse", "basin"), ("natural", "bay")}
_PARKS = {("leisure", "park"), ("leisure", "garden"), ("leisure", "nature_reserve"),
          ("landuse", "recreation_ground"), ("landuse", "grass"), ("landuse", "village_green")}
_WOODS = {("landuse", "forest"), ("natural", "wood")}
_RIVERS = frozenset({"river", "canal", "stream"})


@dataclass
class Locality:
    name: str
    lat: float
    lon: float
    #: Index in :data:`LOCALITY_RANKS`: 0 for a city, larger for smaller localities.
    rank: int


@dataclass
class MapContext:
    """Background of a map picture, read from the same extract as the roads."""

    water: list[Shape] = field(default_factory=list)
    parks: list[Shape] = field(default_factory=list)
    woods: list[Shape] = field(default_factory=list)
    #: Coastline ways (the sea lies on their right) and river centre lines.
    coastlines: list[Shape] = field(default_factory=list)
    rivers: list[Shape] = field(default_factory=list)
    localities: list[Locality] = field(default_factory=list)

    def within(self, bounds: tuple[float, float, float, float]) -> MapContext:
        """What reaches into the box (lat0, lat1, lon0, lon1)."""
        def keep(shapes: list[Shape]) -> list[Shape]:
            return [s for s in shapes if _touches(s, bounds)]

        return MapContext(keep(self.water), keep(self.parks), keep(self.woods),
                          keep(self.coastlines), keep(self.rivers),
                          [p for p in self.localities if _touches([(p.lat, p.lon)], bounds)])


def _kind(tags: object, kinds: set[tuple[str, str]]) -> bool:
    return any(tags.get(key) == value for key, value in kinds)  # type: ignore[attr-defined]


def _touches(shape: Shape, bounds: tuple[float, float, float, float] | None) -> bool:
    if bounds is None:
        return True
    lat0, lat1, lon0, lon1 = bounds
    lats = [p[0] for p in shape]
    lons = [p[1] for p in shape]
    return min(lats) <= lat1 and max(lats) >= lat0 and min(lons) <= lon1 and max(lons) >= lon0


def _points(nodes: object) -> Shape:
    return [(n.location.lat, n.location.lon) for n in nodes  # type: ignore[attr-defined]
            if n.location.valid()]


def read_context(path: str | os.PathLike[str],
                 bounds: tuple[float, float, float, float] | None = None) -> MapContext:
    """Water, parks, woods, coastline, rivers and localities of an extract.

    ``bounds`` (lat0, lat1, lon0, lon1) keeps only what reaches into that box.
    Areas include multipolygons (a lake mapped as a relation).  Raises
    :class:`OsmImportError` when the file cannot be read.
    """
    import osmium
    from osmium.filter import KeyFilter

    ctx = MapContext()
    processor = (osmium.FileProcessor(str(path)).with_locations().with_areas()
                 .with_filter(KeyFilter("natural", "waterway", "leisure", "landuse", "place")))
    try:
        for obj in processor:
            tags = obj.tags
            if isinstance(obj, osmium.osm.Node):
                kind, name = tags.get("place"), tags.get("name")
                if kind in LOCALITY_RANKS and name and obj.location.valid():
                    lat, lon = obj.location.lat, obj.location.lon
                    if _touches([(lat, lon)], bounds):
                        ctx.localities.append(Locality(name, lat, lon,
                                                       LOCALITY_RANKS.index(kind)))
            elif isinstance(obj, osmium.osm.Way):
                if tags.get("natural") == "coastline":
                    target = ctx.coastlines
                elif tags.get("waterway") in _RIVERS:
                    target = ctx.rivers
                else:
                    continue
                line = _points(obj.nodes)
                if len(line) >= 2 and _touches(line, bounds):
                    target.append(line)
            elif isinstance(obj, osmium.osm.Area):
                if _kind(tags, _WATER):
                    target = ctx.water
                elif _kind(tags, _PARKS):
                    target = ctx.parks
                elif _kind(tags, _WOODS):
                    target = ctx.woods
                else:
                    continue
                for ring in obj.outer_rings():
                    shape = _points(ring)
                    if len(shape) >= 3 and _touches(shape, bounds):
                        target.append(shape)
    except (RuntimeError, OSError) as exc:
        detail = " ".join(str(exc).split()) or type(exc).__name__
        raise OsmImportError(f"{Path(path).name}: cannot read OSM data: {detail}") from exc
    ctx.localities.sort(key=lambda p: p.rank)
    return ctx
