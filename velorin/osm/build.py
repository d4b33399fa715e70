"""The graph document built from way records."""

from __future__ import annotations

import math
import os
from collections.abc import Collection, Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from velorin.geo import haversine_m
from velorin.osm.elevation import Heights, arc_relief, parse_incline
from velorin.osm.risk import RiskModel
from velorin.osm.ways import (LOOSE_GROUNDS, Direction, classify_way, flat_speed_m_s, ground_of,
                              grade_factor)

#: The first id of the nodes that split parallel segments (see graph_from_ways).
SPLIT_NODE_IDS = 1 << 52


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
    #: Segments given a node of their own halfway because another way already
    #: joins the same two nodes at other costs.
    split_segments: int = 0
    #: Barrier nodes that no bicycle gets past (the ways through them are cut there).
    blocking_barriers: int = 0
    seconds: float = 0.0
    #: Where heights came from: "raster NAME", "incline tags" or "" (none at all).
    elevation: str = ""
    #: Arcs whose steepest grade raised their risk.
    steep_arcs: int = 0
    #: Length of directed arcs per LTS level, in metres.
    length_by_lts_m: dict[int, float] = field(default_factory=lambda: {1: 0.0, 2: 0.0, 3: 0.0,
                                                                       4: 0.0})
    #: What matching the rider's rides found (a velorin.osm.rides.RideMatch), if any.
    rides: Any = None

    def summary(self) -> str:
        total = sum(self.length_by_lts_m.values()) or 1.0
        shares = ", ".join(f"LTS{k} {100 * v / total:.0f}%" for k, v in
                           sorted(self.length_by_lts_m.items()))
        return (f"{self.kept_ways} of {self.highway_ways} highway ways kept, {self.nodes} nodes, "
                f"{self.edges} arcs ({self.oneway_ways} one-way ways, "
                f"{self.contraflow_ways} open to contraflow cycling, "
                f"{self.blocking_barriers} blocking barriers"
                + (f", {self.split_segments} segments split off parallel ways"
                   if self.split_segments else "") + "); "
                + (f"heights from {self.elevation}, {self.steep_arcs} steep arcs; "
                   if self.elevation else "no elevation data; ")
                + f"{shares}; {self.seconds:.2f} s"
                + (f"; rides: {self.rides.summary()}" if self.rides is not None else ""))


def _costs(distance: float, direction: Direction, familiar_weight: float | None,
           model: RiskModel) -> tuple[float, float | None]:
    """What the search sees of an arc besides its length: risk and familiarity."""
    risk = max(distance * direction.risk_per_m, model.min_arc_risk)
    return risk, None if familiar_weight is None else familiar_weight * distance / 1000.0


def _edge(frm: int, to: int, distance: float, direction: Direction,
          familiar_weight: float | None, model: RiskModel, tail: Mapping[str, Any],
          stats: ConversionStats) -> dict[str, Any]:
    risk, familiarity = _costs(distance, direction, familiar_weight, model)
    stats.length_by_lts_m[direction.lts] += distance
    if familiarity is None:
        return {"from": frm, "to": to, "distance_m": distance, "risk_score": risk, **tail}
    if familiarity:
        stats.familiar_edges += 1
    return {"from": frm, "to": to, "distance_m": distance, "risk_score": risk,
            "familiarity": familiarity, **tail}


def _check_familiarity_rate(familiarity_per_km: float) -> None:
    if not math.isfinite(familiarity_per_km):
        raise ValueError(f"familiarity_per_km must be a finite number, not {familiarity_per_km}")


#: One way as the builder sees it: id, tags, and (node id, lat, lon) per node;
#: lat/lon are None where the extract lacks the node's position.
WayRecord = tuple[int, Mapping[str, str], list[tuple[int, float | None, float | None]]]


def graph_from_ways(ways: Iterable[WayRecord], *, model: RiskModel | None = None,
                    familiar_ways: Mapping[int, float] | None = None,
                    familiarity_per_km: float = 1.0, left_hand_traffic: bool = False,
                    push_bike: bool = False, annotate: bool = False,
                    blocked_nodes: Collection[int] = (),
                    stats: ConversionStats | None = None,
                    dem: str | os.PathLike[str] | None = None
                    ) -> dict[str, list[dict[str, Any]]]:
    """Graph document (object form) from way records.

    Each kept way yields one arc per pair of consecutive nodes and allowed
    direction, forward arcs first.  A node without a position ends the arc
    chain there (the way is split around it); repeated consecutive nodes give
    no arc; so does a node of ``blocked_nodes`` (a barrier no bicycle gets
    past; a reader may still be filling the collection with the nodes that
    precede the ways, so it is read only as each way arrives).  With
    ``familiar_ways`` every arc of a listed way gets
    ``familiarity = weight * familiarity_per_km * length_km`` and every other
    arc 0.0; without it no arc has a familiarity key.  ``annotate`` adds
    ``way_id``, ``lts`` and ``highway`` keys, and ``name`` and ``surface``
    where the way has them; ``from_json`` ignores them all.

    Heights come from the elevation raster ``dem`` (see
    :mod:`velorin.osm.elevation`: every node gets an ``ele`` key), else from
    ways' ``incline`` tags; the steepest grade of an arc scales its risk (see
    :class:`RiskModel`).  ``annotate`` adds each arc's riding time
    ``time_s``, and ``climb_m``, ``descent_m`` and ``grade`` (steepest, in %,
    negative downhill) where heights are known.

    No two arcs from one node to another differ in risk or familiarity: the
    search tells routes apart by their node paths only.  A segment that would
    add such a parallel arc goes through a new node halfway along it (ids
    from ``SPLIT_NODE_IDS``, 2**52, up), each half with its own length and risk.
    """
    model = model or RiskModel()
    model.validate()
    _check_familiarity_rate(familiarity_per_km)
    stats = stats if stats is not None else ConversionStats()
    coords: dict[int, tuple[float, float]] = {}
    edges: list[dict[str, Any]] = []
    # Costs of the first arc written between two nodes, in each direction.
    costs: dict[tuple[int, int], tuple[float, float | None]] = {}
    split_points: list[tuple[float, float]] = []
    split_edges: list[dict[str, Any]] = []
    # Per arc, what its riding time and its grade's risk need: risk per metre,
    # speed on the flat (m/s), loose ground, and the tagged incline (%, NaN: none).
    ride: list[tuple[float, float, bool, float]] = []
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
        # What annotate adds to each arc, per direction (nothing without it).
        tails: dict[int, dict[str, Any]] = {1: {}, -1: {}}
        if annotate:
            annotation: dict[str, Any] = {"way_id": way_id, "highway": tags["highway"]}
            for key in ("name", "surface"):
                if key in tags:
                    annotation[key] = tags[key]
            for sign, direction in ((1, profile.forward), (-1, profile.backward)):
                if direction is not None:
                    tails[sign] = {**annotation, "lts": direction.lts}
        speed = flat_speed_m_s(tags, model)
        loose = ground_of(tags) in LOOSE_GROUNDS
        incline = parse_incline(tags.get("incline"))
        incline = math.nan if incline is None else incline
        familiar_weight = None
        if familiar_ways is not None:
            familiar_weight = familiar_ways.get(way_id, 0.0) * familiarity_per_km
        for (a, alat, alon), (b, blat, blon) in zip(refs, refs[1:]):
            if alat is None or blat is None or a < 0 or b < 0:
                # Outside the extract (or a negative, unsaved editor id):
                # the way is cut here rather than given a made-up position.
                stats.skipped_arcs += 1
                continue
            if a in blocked_nodes or b in blocked_nodes:
                continue
            if a == b:
                continue
            assert alon is not None and blon is not None
            coords[a] = (alat, alon)
            coords[b] = (blat, blon)
            # The haversine is symmetric bit for bit (sine is odd, cosine even,
            # the product commutes), so both directions share one length.
            distance = haversine_m(alat, alon, blat, blon)
            arcs = [(frm, to, direction, tails[sign])
                    for sign, direction, frm, to in ((1, profile.forward, a, b),
                                                     (-1, profile.backward, b, a))
                    if direction is not None]
            own = [_costs(distance, direction, familiar_weight, model)
                   for _, _, direction, _ in arcs]
            if any(costs.get((frm, to), cost) != cost
                   for (frm, to, _, _), cost in zip(arcs, own)):
                # Another way already joins these two nodes at other costs.  The
                # search tells routes apart by their node paths, so a route over
                # this segment would be lost behind the other one: the segment
                # goes through a node of its own, halfway along it.
                mid = -1 - len(split_points)
                mlat, mlon = (alat + blat) / 2.0, (alon + blon) / 2.0
                split_points.append((mlat, mlon))
                stats.split_segments += 1
                halves = {a: haversine_m(alat, alon, mlat, mlon),
                          b: haversine_m(mlat, mlon, blat, blon)}
                for frm, to, direction, tail in arcs:
                    for x, y, end in ((frm, mid, frm), (mid, to, to)):
                        edge = _edge(x, y, halves[end], direction, familiar_weight, model, tail,
                                     stats)
                        split_edges.append(edge)
                        edges.append(edge)
                        ride.append((direction.risk_per_m, speed, loose,
                                     incline if frm == a else -incline))
                continue
            for (frm, to, direction, tail), cost in zip(arcs, own):
                costs.setdefault((frm, to), cost)
                edges.append(_edge(frm, to, distance, direction, familiar_weight, model, tail,
                                   stats))
                ride.append((direction.risk_per_m, speed, loose,
                             incline if frm == a else -incline))
    # The nodes that split segments take ids of a range of their own, far
    # above OpenStreetMap's and still exact as JavaScript numbers.
    first_id = max(SPLIT_NODE_IDS, max(coords, default=0) + 1)
    for edge in split_edges:
        for key in ("from", "to"):
            if edge[key] < 0:
                edge[key] = first_id - 1 - edge[key]
    for k, point in enumerate(split_points):
        coords[first_id + k] = point
    nodes = [{"id": nid, "lat": lat, "lon": lon} for nid, (lat, lon) in sorted(coords.items())]
    add_relief(nodes, edges, ride, model, dem=dem, annotate=annotate, stats=stats)
    stats.nodes = len(nodes)
    stats.blocking_barriers = len(blocked_nodes)
    stats.edges = len(edges)
    return {"nodes": nodes, "edges": edges}



def add_relief(nodes: list[dict[str, Any]], edges: list[dict[str, Any]],
               ride: list[tuple[float, float, bool, float]], model: RiskModel, *,
               dem: str | os.PathLike[str] | None, annotate: bool,
               stats: ConversionStats) -> None:
    """Heights, grades and riding times of a built document's arcs, in place."""
    import numpy as np

    if not edges:
        return
    risk_per_m, speed, loose, incline = (np.array(column) for column in zip(*ride))
    if dem is None and not annotate and np.isnan(incline).all():
        return  # no grade to cost and no time to write
    length = np.fromiter((e["distance_m"] for e in edges), dtype=np.float64, count=len(edges))
    if dem is not None:
        lat = np.fromiter((n["lat"] for n in nodes), dtype=np.float64, count=len(nodes))
        lon = np.fromiter((n["lon"] for n in nodes), dtype=np.float64, count=len(nodes))
        heights = Heights.read(dem, lat, lon)
        for node, ele in zip(nodes, heights.at(lat, lon).tolist()):
            node["ele"] = ele
        row = {n["id"]: i for i, n in enumerate(nodes)}
        a = np.fromiter((row[e["from"]] for e in edges), dtype=np.intp, count=len(edges))
        b = np.fromiter((row[e["to"]] for e in edges), dtype=np.intp, count=len(edges))
        relief = arc_relief(heights, lat[a], lon[a], lat[b], lon[b], length)
        climb, descent, grade = relief.climb_m, relief.descent_m, relief.grade_pct
        known = np.ones(len(edges), dtype=bool)
        stats.elevation = f"raster {Path(dem).name}"
    else:
        known = ~np.isnan(incline)
        grade = np.where(known, incline, 0.0)
        climb = np.where(grade > 0, length * grade / 100.0, 0.0)
        descent = np.where(grade < 0, -length * grade / 100.0, 0.0)
        stats.elevation = "incline tags" if known.any() else ""
    factor = np.ones(len(edges))
    steep = np.abs(grade)
    for rows, which in ((model.climb_grade_factor, grade >= 0),
                        (model.descent_grade_factor, (grade < 0) & ~loose),
                        (model.unpaved_descent_grade_factor, (grade < 0) & loose)):
        limits = np.array([r[0] for r in rows])
        values = np.array([r[1] for r in rows], dtype=np.float64)
        at = np.minimum(np.searchsorted(limits, steep, side="left"), len(rows) - 1)
        factor = np.where(which & known, values[at], factor)
    seconds = length / speed + climb * model.climb_s_per_m
    changed = np.flatnonzero(factor != 1.0)
    stats.steep_arcs = len(changed)
    risk = np.maximum(length * risk_per_m * factor, model.min_arc_risk)
    for i in changed.tolist():
        edges[i]["risk_score"] = float(risk[i])
    if annotate:
        for i, (edge, t) in enumerate(zip(edges, seconds.tolist())):
            edge["time_s"] = t
        for i in np.flatnonzero(known).tolist():
            edges[i]["climb_m"] = float(climb[i])
            edges[i]["descent_m"] = float(descent[i])
            edges[i]["grade"] = float(grade[i])
