#!/usr/bin/env python3
"""Convert an OpenStreetMap extract into a velorin_core graph document.

Reads OSM PBF or XML (``.osm.pbf``, ``.pbf``, ``.osm``, ``.osm.bz2``, ``.osm.gz``)
with the ``osmium`` package, keeps the ways a cyclist may ride, splits them into
directed arcs between consecutive way nodes and writes the JSON document that
``velorin_core.PyGraph.from_json`` reads (object form)::

    {"nodes": [{"id": ..., "lat": ..., "lon": ...}, ...],
     "edges": [{"from": ..., "to": ..., "distance_m": ..., "risk_score": ...}, ...]}

``distance_m`` is the great-circle length computed exactly as the route search
computes its distance estimate, so the estimate never exceeds a real arc.
``risk_score`` comes from a Level of Traffic Stress model (LTS 1 to 4, see
:class:`RiskModel`) times the arc's length, so risk grows with the distance
ridden on a street.  ``familiarity`` is written only when a file of ridden way
ids is given.

Use it as a script (``python tools/osm_to_graph.py --help``) or import it::

    from osm_to_graph import convert, dumps
    doc = convert("monaco-latest.osm.pbf")
    graph = velorin_core.PyGraph.from_json(dumps(doc))
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import os
import sys
import time
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

# The route search estimates remaining distance with this exact haversine
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


# ---------------------------------------------------------------------------
# Which ways a cyclist may use
# ---------------------------------------------------------------------------

#: Streets shared with motor traffic, ridden unless access tags forbid it.
ROAD_CLASSES = frozenset({
    "primary", "primary_link", "secondary", "secondary_link", "tertiary", "tertiary_link",
    "unclassified", "residential", "living_street", "service", "road", "track",
})
#: Motor roads: kept only where bicycle=yes/designated/permissive says cycling is allowed.
MOTOR_ROAD_CLASSES = frozenset({"motorway", "motorway_link", "trunk", "trunk_link"})
#: Ways without motor traffic on which cycling is allowed unless tagged otherwise.
PATH_CLASSES = frozenset({"cycleway", "path"})
#: Ways for walkers or riders: kept only with an explicit bicycle permission.
PEDESTRIAN_CLASSES = frozenset({"footway", "pedestrian", "bridleway"})

_PERMITTED = frozenset({"yes", "designated", "permissive"})
_FORBIDDEN = frozenset({"no", "private", "use_sidepath", "agricultural", "forestry", "military",
                        "emergency", "delivery"})


def bicycle_access(tags: Mapping[str, str]) -> str | None:
    """Most specific access value for bicycles: bicycle, then vehicle, then access."""
    for key in ("bicycle", "vehicle", "access"):
        value = tags.get(key)
        if value:
            return value.split(";")[0].strip()
    return None


def is_cyclable(tags: Mapping[str, str], push_bike: bool = False) -> bool:
    """True when the way is one a cyclist may ride legally.

    With ``push_bike`` footways and pedestrian streets are kept too (unless
    bicycle=no), for a rider willing to walk the bike where riding is not allowed.
    """
    highway = tags.get("highway")
    if highway is None or tags.get("area") == "yes":
        return False
    access = bicycle_access(tags)
    if highway in MOTOR_ROAD_CLASSES or tags.get("motorroad") == "yes":
        return tags.get("bicycle") in _PERMITTED
    if highway in PEDESTRIAN_CLASSES:
        if push_bike and highway != "bridleway":
            return access not in _FORBIDDEN
        return tags.get("bicycle") in _PERMITTED
    if highway in ROAD_CLASSES or highway in PATH_CLASSES:
        return access not in _FORBIDDEN
    return False


# ---------------------------------------------------------------------------
# Risk model
# ---------------------------------------------------------------------------

_INF = math.inf


@dataclass
class RiskModel:
    """Level of Traffic Stress model turning a way's tags into risk per metre.

    Each direction of a way gets a stress level from 1 (a child could ride it)
    to 4 (only the strong and fearless ride it), after Mekuria, Furth and
    Nixon (2012), in the simplified form usual for OSM data:

    * no motor traffic (cycleway, path, footway or pedestrian street open to
      bicycles) or a separated cycle track serving that direction: LTS 1;
    * a painted lane (``lane``, ``shoulder``, ``share_busway``) serving that
      direction: looked up in ``painted_lane`` by speed and lanes per direction;
    * otherwise mixed traffic: looked up in ``mixed_traffic`` by speed, lanes
      per direction, and whether the street is a local one (``local_streets``);
    * a bicycle street (``bicycle_road=yes`` or ``cyclestreet=yes``): LTS 1.

    The speed is ``maxspeed`` (or ``maxspeed:forward``/``:backward``), else
    ``default_speed_kmh`` for the class; the lanes per direction are
    ``lanes:forward``/``:backward``, else ``lanes`` (all of them on a one-way
    street, half rounded up otherwise), else ``default_lanes_per_direction``.

    An arc's risk is ``length_m * lts_risk_per_m[lts - 1]`` times the surface
    factor, times ``contraflow_factor`` when it rides against one-way traffic
    without a lane of its own, and never less than ``min_arc_risk``.

    Every field may be changed; ``RiskModel.from_mapping`` reads overrides
    from a JSON object (``--risk-model`` on the command line).
    """

    #: Risk per metre for LTS 1, 2, 3 and 4.  One km of LTS 1 costs 0.1, of LTS 4 costs 2.0.
    lts_risk_per_m: tuple[float, float, float, float] = (0.0001, 0.0003, 0.0008, 0.002)
    #: Rows (speed limit up to km/h, LTS for one lane per direction on a local street,
    #: on any other street, for two lanes per direction, for three or more), first match wins.
    mixed_traffic: tuple[tuple[float, int, int, int, int], ...] = (
        (20, 1, 1, 2, 3),
        (30, 1, 2, 3, 4),
        (40, 2, 3, 3, 4),
        (50, 2, 3, 4, 4),
        (65, 3, 4, 4, 4),
        (_INF, 4, 4, 4, 4),
    )
    #: Rows (speed limit up to km/h, LTS for one, two, three or more lanes per direction).
    painted_lane: tuple[tuple[float, int, int, int], ...] = (
        (30, 1, 2, 3),
        (50, 2, 3, 3),
        (65, 3, 3, 4),
        (_INF, 3, 4, 4),
    )
    #: Classes counted as local streets in ``mixed_traffic`` (links count as their road).
    local_streets: frozenset[str] = frozenset(
        {"residential", "living_street", "service", "unclassified", "road", "track"})
    #: Speed assumed when ``maxspeed`` is absent or unreadable, in km/h.
    default_speed_kmh: Mapping[str, float] = field(default_factory=lambda: {
        "motorway": 110, "trunk": 90, "primary": 50, "secondary": 50, "tertiary": 50,
        "unclassified": 40, "residential": 30, "living_street": 20, "service": 20,
        "road": 40, "track": 20,
    })
    #: Lanes per direction assumed when no lane count is tagged.
    default_lanes_per_direction: Mapping[str, int] = field(default_factory=lambda: {
        "motorway": 2, "trunk": 2,
    })
    #: Risk multiplier by ``surface`` value; absent values use ``unknown_surface_factor``.
    surface_factor: Mapping[str, float] = field(default_factory=lambda: {
        "paved": 1.0, "asphalt": 1.0, "concrete": 1.0, "paving_stones": 1.05,
        "concrete:plates": 1.1, "concrete:lanes": 1.2, "metal": 1.2, "wood": 1.2,
        "compacted": 1.2, "fine_gravel": 1.25, "sett": 1.3, "cobblestone": 1.4,
        "unhewn_cobblestone": 1.6, "pebblestone": 1.5, "gravel": 1.5, "unpaved": 1.5,
        "dirt": 1.6, "earth": 1.6, "ground": 1.6, "grass": 1.8, "sand": 2.0, "mud": 2.0,
        "rock": 2.0, "woodchips": 1.6,
    })
    #: Multiplier for a track without ``surface``, by ``tracktype`` (grade1 is paved).
    tracktype_factor: Mapping[str, float] = field(default_factory=lambda: {
        "grade1": 1.0, "grade2": 1.2, "grade3": 1.5, "grade4": 1.6, "grade5": 1.8,
    })
    unknown_surface_factor: float = 1.0
    #: Extra risk for riding against one-way traffic where no lane is marked for it.
    contraflow_factor: float = 1.25
    #: Floor on every arc's risk.  Two nodes at the same position give a zero-length
    #: arc pair; with zero risk too, that cycle would cost nothing and a search
    #: that keeps equal-cost labels could circle it for ever.
    min_arc_risk: float = 1e-6

    @classmethod
    def from_mapping(cls, values: Mapping[str, Any]) -> RiskModel:
        """A model with the defaults replaced by ``values`` (e.g. a parsed JSON object)."""
        known = {f.name for f in dataclasses.fields(cls)}
        unknown = sorted(set(values) - known)
        if unknown:
            raise ValueError(f"unknown risk model field(s): {', '.join(unknown)}")
        base = cls()
        kwargs: dict[str, Any] = {}
        for name, value in values.items():
            current = getattr(base, name)
            if isinstance(current, frozenset):
                value = frozenset(value)
            elif isinstance(current, tuple) and current and isinstance(current[0], tuple):
                value = tuple(tuple(row) for row in value)
            elif isinstance(current, tuple):
                value = tuple(value)
            elif isinstance(current, Mapping):
                value = {**current, **value}
            kwargs[name] = value
        model = cls(**kwargs)
        model.validate()
        return model

    def to_mapping(self) -> dict[str, Any]:
        """The model as plain JSON-ready values (the format ``from_mapping`` reads)."""
        out: dict[str, Any] = {}
        for f in dataclasses.fields(self):
            value = getattr(self, f.name)
            if isinstance(value, frozenset):
                value = sorted(value)
            elif isinstance(value, tuple):
                value = [list(v) if isinstance(v, tuple) else v for v in value]
            elif isinstance(value, Mapping):
                value = dict(value)
            out[f.name] = value
        return out

    def validate(self) -> None:
        """Raise ValueError for a model that would produce negative or unordered risks."""
        weights = self.lts_risk_per_m
        if len(weights) != 4 or any(not (w >= 0.0 and math.isfinite(w)) for w in weights):
            raise ValueError("lts_risk_per_m needs four finite non-negative weights")
        for name, width in (("mixed_traffic", 5), ("painted_lane", 4)):
            rows = getattr(self, name)
            if not rows or any(len(r) != width for r in rows):
                raise ValueError(f"{name} rows need {width} values each")
            if any(lts not in (1, 2, 3, 4) for r in rows for lts in r[1:]):
                raise ValueError(f"{name} levels must be 1 to 4")
            if rows[-1][0] != _INF:
                raise ValueError(f"{name} must end with a row for any speed (Infinity)")
        factors = [*self.surface_factor.values(), *self.tracktype_factor.values(),
                   self.unknown_surface_factor, self.contraflow_factor]
        if any(not (f >= 0.0 and math.isfinite(f)) for f in factors):
            raise ValueError("factors must be finite and non-negative")
        if not (self.min_arc_risk > 0.0 and math.isfinite(self.min_arc_risk)):
            raise ValueError("min_arc_risk must be positive: zero-cost cycles stall the search")


def _first_number(value: str | None) -> float | None:
    """Leading number of a tag value such as "50", "30 mph" or "2;3" (largest of a list)."""
    if not value:
        return None
    best = None
    for part in value.split(";"):
        part = part.strip()
        digits = ""
        for ch in part:
            if ch.isdigit() or (ch == "." and digits and "." not in digits):
                digits += ch
            else:
                break
        if digits:
            number = float(digits)
            if "mph" in part:
                number *= 1.609344
            best = number if best is None else max(best, number)
    return best


_SPEED_WORDS = {"walk": 7.0, "living_street": 20.0, "urban": 50.0, "rural": 90.0,
                "none": 130.0, "motorway": 130.0, "trunk": 110.0}


def parse_maxspeed(value: str | None) -> float | None:
    """Speed limit in km/h from a ``maxspeed`` value, or None when unreadable."""
    number = _first_number(value)
    if number is not None:
        return number
    if not value:
        return None
    word = value.strip().lower()
    # Implicit limits: "FR:urban", "DE:zone30", "DE:living_street", "none".
    zone = word.rsplit("zone", 1)[-1] if "zone" in word else ""
    if zone and _first_number(zone.lstrip(":")) is not None:
        return _first_number(zone.lstrip(":"))
    return _SPEED_WORDS.get(word.split(":")[-1])


def _parse_oneway(value: str | None) -> int | None:
    """+1 forward only, -1 backward only, 0 both ways, None for no fixed direction."""
    if value is None:
        return 0
    value = value.strip().lower()
    if value in ("yes", "true", "1"):
        return 1
    if value in ("-1", "reverse"):
        return -1
    if value in ("reversible", "alternating"):
        return None
    return 0


_SEPARATED = frozenset({"track", "opposite_track"})
_PAINTED = frozenset({"lane", "opposite_lane", "shoulder", "share_busway", "opposite_share_busway"})
_NO_LANE = frozenset({"no", "none", "separate", "crossing"})
_KIND_RANK = {"none": 0, "painted": 1, "separated": 2}


def _infra_kind(value: str) -> str:
    if value in _SEPARATED:
        return "separated"
    if value in _PAINTED:
        return "painted"
    return "none"


@dataclass(frozen=True)
class Direction:
    """How one direction of a way is ridden."""

    lts: int
    #: Risk per metre, surface and contraflow included.
    risk_per_m: float
    #: True when this direction runs against one-way motor traffic.
    contraflow: bool = False


@dataclass(frozen=True)
class WayProfile:
    """Riding profile of a way: None for a direction bicycles may not take."""

    forward: Direction | None
    backward: Direction | None


def _side_infrastructure(tags: Mapping[str, str], car: int, left_hand_traffic: bool
                         ) -> dict[int, tuple[str, bool]]:
    """Best cycle infrastructure per direction (+1, -1) from the side-specific tags.

    Returns direction -> (kind, opens): ``opens`` tells that the tags make that
    direction legal for bicycles against one-way traffic (contraflow).
    """
    served: dict[int, tuple[str, bool]] = {}
    for side in ("left", "right"):
        value = None
        for key in (f"cycleway:{side}", "cycleway:both", "cycleway"):
            value = tags.get(key)
            if value:
                break
        if not value:
            continue
        value = value.strip().lower()
        explicit = tags.get(f"cycleway:{side}:oneway") or tags.get("cycleway:both:oneway")
        if value.startswith("opposite") and car != 0:
            directions = [-car]
        elif explicit in ("no", "0", "false"):
            directions = [1, -1]
        elif explicit in ("yes", "1", "true"):
            directions = [1]
        elif explicit == "-1":
            directions = [-1]
        elif car != 0:
            directions = [car]
        else:
            right_side_forward = not left_hand_traffic
            directions = [1] if (side == "right") == right_side_forward else [-1]
        kind = _infra_kind(value)
        opens = value not in _NO_LANE
        for d in directions:
            old_kind, old_opens = served.get(d, ("none", False))
            best = kind if _KIND_RANK[kind] > _KIND_RANK[old_kind] else old_kind
            served[d] = (best, old_opens or opens)
    return served


def _lookup(rows: Iterable[tuple[Any, ...]], speed: float, column: int) -> int:
    for row in rows:
        if speed <= row[0]:
            return int(row[column])
    return 4


def classify_way(tags: Mapping[str, str], model: RiskModel | None = None,
                 left_hand_traffic: bool = False, push_bike: bool = False) -> WayProfile | None:
    """Riding profile of a way, or None when cyclists may not use it at all."""
    if not is_cyclable(tags, push_bike):
        return None
    model = model or RiskModel()
    highway = tags["highway"]
    road_class = highway.removesuffix("_link")

    oneway_tag = tags.get("oneway")
    if oneway_tag is None and (tags.get("junction") in ("roundabout", "circular")
                               or road_class == "motorway"):
        oneway_tag = "yes"
    car = _parse_oneway(oneway_tag)
    bike_tag = tags.get("oneway:bicycle")
    bike = _parse_oneway(bike_tag) if bike_tag is not None else car
    if bike is None or (car is None and bike_tag is None):
        # A reversible way has no direction a rider can count on.
        return None
    car = car or 0

    has_traffic = highway in ROAD_CLASSES or highway in MOTOR_ROAD_CLASSES
    sides = _side_infrastructure(tags, car, left_hand_traffic) if has_traffic else {}

    allowed = {1: bike in (0, 1), -1: bike in (0, -1)}
    if bike_tag is None and car != 0 and sides.get(-car, ("none", False))[1]:
        allowed[-car] = True

    surface = tags.get("surface")
    if surface is not None:
        surface_factor = model.surface_factor.get(surface, model.unknown_surface_factor)
    elif highway == "track":
        surface_factor = model.tracktype_factor.get(tags.get("tracktype", ""),
                                                    model.tracktype_factor.get("grade2", 1.0))
    else:
        surface_factor = model.unknown_surface_factor

    bicycle_street = tags.get("bicycle_road") == "yes" or tags.get("cyclestreet") == "yes"
    result: dict[int, Direction | None] = {}
    for d in (1, -1):
        if not allowed[d]:
            result[d] = None
            continue
        contraflow = car != 0 and d == -car
        kind = sides.get(d, ("none", False))[0]
        if not has_traffic or bicycle_street or kind == "separated":
            lts = 1
        else:
            suffix = ":forward" if d == 1 else ":backward"
            speed = parse_maxspeed(tags.get("maxspeed" + suffix)) or parse_maxspeed(
                tags.get("maxspeed"))
            if speed is None:
                speed = float(model.default_speed_kmh.get(road_class, 50))
            lanes = _first_number(tags.get("lanes" + suffix))
            if lanes is None:
                total = _first_number(tags.get("lanes"))
                if total is not None:
                    lanes = total if car != 0 else math.ceil(total / 2)
            if lanes is None or lanes < 1:
                lanes = float(model.default_lanes_per_direction.get(road_class, 1))
            lanes_col = min(int(lanes), 3)
            if kind == "painted":
                lts = _lookup(model.painted_lane, speed, lanes_col)
            else:
                local = road_class in model.local_streets
                column = (1 if local else 2) if lanes_col == 1 else lanes_col + 1
                lts = _lookup(model.mixed_traffic, speed, column)
        risk = model.lts_risk_per_m[lts - 1] * surface_factor
        if contraflow and kind == "none":
            risk *= model.contraflow_factor
        result[d] = Direction(lts=lts, risk_per_m=risk, contraflow=contraflow)
    if result[1] is None and result[-1] is None:
        return None
    return WayProfile(forward=result[1], backward=result[-1])


# ---------------------------------------------------------------------------
# Building the graph document
# ---------------------------------------------------------------------------

class OsmImportError(Exception):
    """The input could not be read as an OpenStreetMap extract."""


@dataclass
class ConversionStats:
    """What a conversion kept and dropped."""

    highway_ways: int = 0
    kept_ways: int = 0
    oneway_ways: int = 0
    contraflow_ways: int = 0
    nodes: int = 0
    edges: int = 0
    skipped_arcs: int = 0
    familiar_edges: int = 0
    seconds: float = 0.0
    #: Length of directed arcs per LTS level, in metres.
    length_by_lts_m: dict[int, float] = field(default_factory=lambda: {1: 0.0, 2: 0.0, 3: 0.0,
                                                                       4: 0.0})

    def summary(self) -> str:
        total = sum(self.length_by_lts_m.values()) or 1.0
        shares = ", ".join(f"LTS{k} {100 * v / total:.0f}%" for k, v in
                           sorted(self.length_by_lts_m.items()))
        return (f"{self.kept_ways} of {self.highway_ways} highway ways kept, {self.nodes} nodes, "
                f"{self.edges} arcs ({self.oneway_ways} one-way ways, "
                f"{self.contraflow_ways} open to contraflow cycling); "
                f"{shares}; {self.seconds:.2f} s")


#: One way as the builder sees it: id, tags, and (node id, lat, lon) per node;
#: lat/lon are None where the extract lacks the node's position.
WayRecord = tuple[int, Mapping[str, str], list[tuple[int, float | None, float | None]]]


def graph_from_ways(ways: Iterable[WayRecord], *, model: RiskModel | None = None,
                    familiar_ways: Mapping[int, float] | None = None,
                    familiarity_per_km: float = 1.0, left_hand_traffic: bool = False,
                    push_bike: bool = False, annotate: bool = False,
                    stats: ConversionStats | None = None) -> dict[str, list[dict[str, Any]]]:
    """Graph document (object form) from way records.

    Each kept way yields one arc per pair of consecutive nodes and allowed
    direction, forward arcs first.  A node without a position ends the arc
    chain there (the way is split around it); repeated consecutive nodes give
    no arc.  With ``familiar_ways`` every arc of a listed way gets
    ``familiarity = weight * familiarity_per_km * length_km`` and every other
    arc 0.0; without it no arc has a familiarity key.  ``annotate`` adds
    ``way_id`` and ``lts`` keys, which ``from_json`` ignores.
    """
    model = model or RiskModel()
    model.validate()
    stats = stats if stats is not None else ConversionStats()
    coords: dict[int, tuple[float, float]] = {}
    edges: list[dict[str, Any]] = []
    for way_id, tags, refs in ways:
        if "highway" in tags:
            stats.highway_ways += 1
        profile = classify_way(tags, model, left_hand_traffic, push_bike)
        if profile is None:
            continue
        stats.kept_ways += 1
        if profile.forward is None or profile.backward is None:
            stats.oneway_ways += 1
        elif profile.forward.contraflow or profile.backward.contraflow:
            stats.contraflow_ways += 1
        familiar_weight = None
        if familiar_ways is not None:
            familiar_weight = familiar_ways.get(way_id, 0.0) * familiarity_per_km
        for (a, alat, alon), (b, blat, blon) in zip(refs, refs[1:]):
            if alat is None or blat is None or a < 0 or b < 0:
                # Outside the extract (or a negative, unsaved editor id):
                # the way is cut here rather than given a made-up position.
                stats.skipped_arcs += 1
                continue
            if a == b:
                continue
            assert alon is not None and blon is not None
            coords[a] = (alat, alon)
            coords[b] = (blat, blon)
            for direction, frm, flat, flon, to, tlat, tlon in (
                    (profile.forward, a, alat, alon, b, blat, blon),
                    (profile.backward, b, blat, blon, a, alat, alon)):
                if direction is None:
                    continue
                distance = haversine_m(flat, flon, tlat, tlon)
                edge: dict[str, Any] = {
                    "from": frm, "to": to, "distance_m": distance,
                    "risk_score": max(distance * direction.risk_per_m, model.min_arc_risk),
                }
                if familiar_weight is not None:
                    edge["familiarity"] = familiar_weight * distance / 1000.0
                    if familiar_weight:
                        stats.familiar_edges += 1
                if annotate:
                    edge["way_id"] = way_id
                    edge["lts"] = direction.lts
                stats.length_by_lts_m[direction.lts] += distance
                edges.append(edge)
    nodes = [{"id": nid, "lat": lat, "lon": lon} for nid, (lat, lon) in sorted(coords.items())]
    stats.nodes = len(nodes)
    stats.edges = len(edges)
    return {"nodes": nodes, "edges": edges}


def _read_ways(path: Path, progress: bool) -> Iterator[WayRecord]:
    """Highway ways of an OSM file with their node positions, in file order."""
    import osmium
    from osmium.filter import EntityFilter, KeyFilter

    # Node positions are cached by osmium before the filters run, so every
    # node reaches the location table while only highway ways reach Python.
    processor = (osmium.FileProcessor(str(path), osmium.osm.NODE | osmium.osm.WAY)
                 .with_locations()
                 .with_filter(EntityFilter(osmium.osm.WAY))
                 .with_filter(KeyFilter("highway")))
    bar = None
    if progress:
        from tqdm import tqdm
        bar = tqdm(desc=f"reading {path.name}", unit=" ways", file=sys.stderr, mininterval=0.5)
    try:
        for way in processor:
            refs: list[tuple[int, float | None, float | None]] = []
            for n in way.nodes:
                loc = n.location
                if loc.valid():
                    refs.append((n.ref, loc.lat, loc.lon))
                else:
                    refs.append((n.ref, None, None))
            yield way.id, dict(way.tags), refs
            if bar is not None:
                bar.update()
    finally:
        if bar is not None:
            bar.close()


_SUFFIXES = (".osm.pbf", ".pbf", ".osm", ".osm.bz2", ".osm.gz", ".xml", ".xml.bz2", ".xml.gz",
             ".osm.xml", ".opl")


def convert(path: str | os.PathLike[str], *, model: RiskModel | None = None,
            familiar_ways: Mapping[int, float] | str | os.PathLike[str] | None = None,
            familiarity_per_km: float = 1.0, left_hand_traffic: bool = False,
            push_bike: bool = False, annotate: bool = False, progress: bool | None = None,
            stats: ConversionStats | None = None) -> dict[str, list[dict[str, Any]]]:
    """Graph document (object form) of the cyclable ways of an OSM extract.

    ``familiar_ways`` is a mapping of way id to weight or the path of a file
    read by :func:`load_familiar_ways`.  ``progress`` shows a progress bar on
    standard error; by default only for files over 20 MB on a terminal.
    Raises :class:`OsmImportError` for a missing, unreadable or malformed file.
    """
    path = Path(path)
    if not path.exists():
        raise OsmImportError(f"input file not found: {path}")
    if not path.is_file():
        raise OsmImportError(f"input is not a file: {path}")
    if not os.access(path, os.R_OK):
        raise OsmImportError(f"input file is not readable: {path}")
    if not path.name.lower().endswith(_SUFFIXES):
        raise OsmImportError(f"{path.name}: unknown extension, expected one of "
                             ".osm.pbf, .osm, .osm.bz2, .osm.gz")
    if path.stat().st_size == 0:
        raise OsmImportError(f"{path}: file is empty")
    if familiar_ways is not None and not isinstance(familiar_ways, Mapping):
        familiar_ways = load_familiar_ways(familiar_ways)
    if progress is None:
        progress = sys.stderr.isatty() and path.stat().st_size > 20_000_000
    stats = stats if stats is not None else ConversionStats()
    started = time.perf_counter()
    try:
        doc = graph_from_ways(_read_ways(path, progress), model=model,
                              familiar_ways=familiar_ways,
                              familiarity_per_km=familiarity_per_km,
                              left_hand_traffic=left_hand_traffic, push_bike=push_bike,
                              annotate=annotate, stats=stats)
    except (RuntimeError, OSError, ValueError) as exc:
        if isinstance(exc, ValueError) and "risk model" in str(exc):
            raise
        detail = " ".join(str(exc).split()) or type(exc).__name__
        raise OsmImportError(f"{path.name}: cannot read OSM data: {detail}") from exc
    stats.seconds = time.perf_counter() - started
    return doc


def load_familiar_ways(path: str | os.PathLike[str]) -> dict[int, float]:
    """Ridden ways from a text file: one OSM way id per line, optionally followed by a weight.

    Blank lines and text after ``#`` are ignored; separators may be spaces,
    tabs or commas.  A way listed twice adds its weights (ridden twice).
    """
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as exc:
        raise OsmImportError(f"cannot read familiar ways file {path}: {exc.strerror}") from exc
    ways: dict[int, float] = {}
    for number, line in enumerate(text.splitlines(), start=1):
        line = line.split("#", 1)[0].replace(",", " ").split()
        if not line:
            continue
        try:
            way_id = int(line[0])
            weight = float(line[1]) if len(line) > 1 else 1.0
        except ValueError:
            raise OsmImportError(
                f"{path.name} line {number}: expected a way id and an optional weight") from None
        if len(line) > 2 or not math.isfinite(weight):
            raise OsmImportError(
                f"{path.name} line {number}: expected a way id and an optional weight")
        ways[way_id] = ways.get(way_id, 0.0) + weight
    return ways


def dumps(doc: Mapping[str, Any]) -> str:
    """Compact JSON text of a graph document (floats in shortest round-trip form)."""
    return json.dumps(doc, separators=(",", ":"), allow_nan=False)


def write(doc: Mapping[str, Any], out: TextIO) -> None:
    """Write a graph document as compact JSON with one node or arc per line.

    Records hold only numbers, so the only place where one record closes and
    the next opens is between records: breaking the line there is safe.
    """
    text = dumps(doc).replace('},{"', '},\n{"').replace('[{"', '[\n{"')
    out.write(text)
    out.write("\n")


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="osm_to_graph.py",
        description="Convert an OpenStreetMap extract (.osm.pbf, .osm, .osm.bz2, .osm.gz) into "
                    "the graph JSON of velorin_core.PyGraph.from_json. Keeps the ways a cyclist "
                    "may ride, honours one-way streets and their cycling exceptions, and scores "
                    "each arc's risk by Level of Traffic Stress times length.",
        epilog="Example: osm_to_graph.py monaco-latest.osm.pbf -o monaco.json")
    p.add_argument("input", nargs="?", help="OSM extract to read")
    p.add_argument("-o", "--output", default="-",
                   help="JSON file to write ('-' for standard output, the default)")
    p.add_argument("--familiar", metavar="FILE",
                   help="file of ridden OSM way ids (one per line, optional weight after it); "
                        "adds a familiarity value to every arc")
    p.add_argument("--familiarity-per-km", type=float, default=1.0, metavar="X",
                   help="familiarity of one km of a ridden way of weight 1 (default 1.0)")
    p.add_argument("--risk-model", metavar="FILE",
                   help="JSON object overriding fields of the risk model "
                        "(see --print-risk-model for the fields and defaults)")
    p.add_argument("--lts-weights", metavar="W1,W2,W3,W4",
                   help="risk per metre for LTS 1-4 (default 0.0001,0.0003,0.0008,0.002)")
    p.add_argument("--left-hand-traffic", action="store_true",
                   help="traffic keeps left (UK, Japan...): cycleway:left serves the "
                        "forward direction of two-way streets")
    p.add_argument("--push-bike", action="store_true",
                   help="also keep footways and pedestrian streets (walking the bike)")
    p.add_argument("--annotate", action="store_true",
                   help="add way_id and lts to every arc (ignored by from_json)")
    p.add_argument("--print-risk-model", action="store_true",
                   help="print the risk model in use as JSON and exit")
    bar = p.add_mutually_exclusive_group()
    bar.add_argument("--progress", dest="progress", action="store_true", default=None,
                     help="always show a progress bar")
    bar.add_argument("--no-progress", dest="progress", action="store_false",
                     help="never show a progress bar")
    p.add_argument("-q", "--quiet", action="store_true", help="print no summary")
    return p


def _model_from_args(args: argparse.Namespace) -> RiskModel:
    values: dict[str, Any] = {}
    if args.risk_model:
        try:
            loaded = json.loads(Path(args.risk_model).read_text(encoding="utf-8"))
        except OSError as exc:
            raise OsmImportError(f"cannot read risk model {args.risk_model}: {exc.strerror}")
        except json.JSONDecodeError as exc:
            raise OsmImportError(f"risk model {args.risk_model}: invalid JSON: {exc}")
        if not isinstance(loaded, dict):
            raise OsmImportError(f"risk model {args.risk_model}: expected a JSON object")
        values.update(loaded)
    if args.lts_weights:
        try:
            weights = [float(w) for w in args.lts_weights.split(",")]
        except ValueError:
            raise OsmImportError("--lts-weights: expected four numbers separated by commas")
        values["lts_risk_per_m"] = weights
    try:
        return RiskModel.from_mapping(values)
    except (ValueError, TypeError) as exc:
        raise OsmImportError(f"risk model: {exc}")


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.input is None and not args.print_risk_model:
        parser.error("the input file is required")
    prog = "osm_to_graph.py"
    try:
        model = _model_from_args(args)
        if args.print_risk_model:
            fields = model.to_mapping().items()
            print("{\n" + ",\n".join(f"  {json.dumps(k)}: {json.dumps(v)}" for k, v in fields)
                  + "\n}")
            return 0
        stats = ConversionStats()
        doc = convert(args.input, model=model, familiar_ways=args.familiar,
                      familiarity_per_km=args.familiarity_per_km,
                      left_hand_traffic=args.left_hand_traffic, push_bike=args.push_bike,
                      annotate=args.annotate,
                      progress=args.progress, stats=stats)
        if args.output == "-":
            write(doc, sys.stdout)
        else:
            try:
                with open(args.output, "w", encoding="utf-8") as out:
                    write(doc, out)
            except OSError as exc:
                raise OsmImportError(f"cannot write {args.output}: {exc.strerror}")
    except OsmImportError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 1
    if not args.quiet:
        print(f"{prog}: {stats.summary()}", file=sys.stderr)
        if stats.edges == 0:
            print(f"{prog}: warning: no cyclable way found in {args.input}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
