"""OpenStreetMap import: from an extract to the graph document the engine reads.

Reads OSM PBF or XML (``.osm.pbf``, ``.pbf``, ``.osm``, ``.osm.bz2``,
``.osm.gz``) with the ``osmium`` package, keeps the ways a cyclist may ride,
splits them into directed arcs between consecutive way nodes and builds the
JSON document that ``velorin_core.PyGraph.from_json`` reads (object form)::

    {"nodes": [{"id": ..., "lat": ..., "lon": ...}, ...],
     "edges": [{"from": ..., "to": ..., "distance_m": ..., "risk_score": ...}, ...]}

``distance_m`` is the great-circle length computed exactly as the route search
computes its distance estimate, so the estimate never exceeds a real arc.
``risk_score`` comes from a Level of Traffic Stress model (LTS 1 to 4, see
:class:`RiskModel`) times the arc's length, so risk grows with the distance
ridden on a street.  ``familiarity`` is written only when a file of ridden way
ids is given.

    from velorin.osm import convert, dumps
    doc = convert("monaco-latest.osm.pbf")
    graph = velorin_core.PyGraph.from_json(dumps(doc))
"""

from velorin.errors import OsmImportError
from velorin.geo import haversine_m
from velorin.osm.access import (MOTOR_ROAD_CLASSES, PATH_CLASSES, PEDESTRIAN_CLASSES,
                                ROAD_CLASSES, barrier_blocks, bicycle_access, is_cyclable,
                                is_walked)
from velorin.osm.build import ConversionStats, WayRecord, graph_from_ways
from velorin.osm.profiles import DEFAULT_PROFILE, PROFILES
from velorin.osm.reader import convert, load_familiar_ways
from velorin.osm.risk import RiskModel, parse_maxspeed
from velorin.osm.ways import Direction, WayProfile, classify_way
from velorin.osm.writer import dumps, write

__all__ = [
    "DEFAULT_PROFILE", "MOTOR_ROAD_CLASSES", "PATH_CLASSES", "PEDESTRIAN_CLASSES", "PROFILES",
    "ROAD_CLASSES", "ConversionStats", "Direction", "OsmImportError", "RiskModel", "WayProfile",
    "WayRecord", "barrier_blocks", "bicycle_access", "classify_way", "convert", "dumps",
    "graph_from_ways", "haversine_m", "is_cyclable", "is_walked", "load_familiar_ways",
    "parse_maxspeed", "write",
]
