"""The rider's own rides (GPX tracks) matched to the map's ways, as familiarity.

A track is a string of GPS points, each a few metres off the street that was
ridden. Matching finds the ways under it:

1. every point is matched to the nearest stretch of street between two nodes
   (a *segment*, whichever way its arcs run) within :data:`REACH_M`; a point
   farther from every street (noise, or a ride off the map) is dropped;
2. a point that lies within :data:`JUNCTION_M` of a junction node is not
   trusted to say which of the streets meeting there was ridden (it may sit
   on a side street it never took);
3. consecutive matched segments that do not touch are joined by the shortest
   path between them, when that path is about as long as the track between
   the two points (:data:`DETOUR_FACTOR`); a point or two whose only join would
   be a long detour is a GPS jump and is dropped, while a longer run of points
   starts the ride afresh there (a gap in the track).

Every way under a matched or joining segment counts as ridden once per ride;
its weight grows with its rides towards 1 (:func:`ride_weight`).
"""

from __future__ import annotations

import heapq
import math
import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from operator import methodcaller
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.spatial import cKDTree

from velorin.errors import OsmImportError
from velorin.geo import DEG_TO_RAD, EARTH_DIAMETER_M
from velorin.legs import haversine_m_array
from velorin.records import column

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]

#: Farthest a track point may lie from a street to be matched to it, in metres.
REACH_M = 30.0
#: Points this close to a junction do not say which of its streets was ridden.
JUNCTION_M = 10.0
#: A join between two matched segments is taken when the path is at most this
#: many times as long as the track between them, plus :data:`DETOUR_SLACK_M`.
DETOUR_FACTOR = 1.5
DETOUR_SLACK_M = 40.0
#: A run of points on one segment holding this much of the track, in metres,
#: is no GPS jump.
STEADY_M = 20.0
#: A point that lengthens the track by more than this, there and back, is a GPS jump.
SPIKE_M = 50.0
#: A segment touching the one ridden so far is kept over the nearest when it
#: is at most this much farther, in metres.
STICKY_M = 8.0
#: Segments looked at around each point.
CANDIDATES = 8
#: A dead end of a ride holding less of the track than this, in metres, is noise.
SPUR_M = 60.0
#: Streets are sampled this often for the nearest-segment index, in metres.
SAMPLE_M = 8.0

_RADIUS_M = EARTH_DIAMETER_M / 2
#: Keys that the converter's annotation adds to an arc.
ANNOTATION_KEYS = ("way_id", "name", "highway", "lts", "surface")


@dataclass
class RideMatch:
    """What matching a set of rides found."""

    #: Tracks read (each segment of a GPX track counts as one).
    tracks: int = 0
    #: Points read, and of them the ones matched to a street (not off every street
    #: nor jumping off the track and back).
    points: int = 0
    matched_points: int = 0
    #: Number of rides over each way, by way id.
    ways: dict[int, int] = field(default_factory=dict)
    #: Length of the segments ridden, added over the rides, in metres.
    metres: float = 0.0

    def summary(self) -> str:
        return (f"{self.tracks} track{'' if self.tracks == 1 else 's'}, {self.matched_points} of "
                f"{self.points} points matched, "
                f"{self.metres / 1000:.1f} km on {len(self.ways)} ways")


# --- Reading GPX ---------------------------------------------------------------

def gpx_files(sources: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]
              ) -> list[Path]:
    """The GPX files named by ``sources``: files, and folders searched for ``*.gpx`` files."""
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    files: list[Path] = []
    for source in sources:
        path = Path(source)
        if path.is_dir():
            files.extend(sorted(p for p in path.rglob("*") if p.suffix.lower() == ".gpx"
                                and p.is_file()))
        elif path.exists():
            files.append(path)
        else:
            raise OsmImportError(f"rides: {path} not found")
    return files


def read_tracks(path: str | os.PathLike[str]) -> list[tuple[F64, F64]]:
    """The ``(lats, lons)`` of every track segment of a GPX file."""
    try:
        import gpxpy
        import gpxpy.gpx
    except ImportError:
        raise OsmImportError("reading GPX rides needs the gpxpy package: pip install gpxpy "
                             "(or velorin's 'osm' extra)") from None
    try:
        with open(path, encoding="utf-8") as handle:
            document = gpxpy.parse(handle)
    except OSError as exc:
        raise OsmImportError(f"cannot read ride {path}: {exc.strerror}") from exc
    except (gpxpy.gpx.GPXException, ValueError) as exc:
        detail = " ".join(str(exc).split())
        raise OsmImportError(f"{path}: not a GPX file: {detail}") from exc
    tracks = []
    for track in document.tracks:
        for segment in track.segments:
            lat = np.array([p.latitude for p in segment.points], dtype=np.float64)
            lon = np.array([p.longitude for p in segment.points], dtype=np.float64)
            tracks.append((lat, lon))
    return tracks


# --- The streets, as segments --------------------------------------------------

class Streets:
    """The map's segments (node pairs joined by an arc either way) and an index over them."""

    def __init__(self, doc: Mapping[str, Any] | Sequence[Any]) -> None:
        nodes, edges = (doc["nodes"], doc["edges"]) if isinstance(doc, Mapping) \
            else (doc[0], doc[1])
        ids = column(nodes, "id", 0, np.uint64)
        order = np.argsort(ids, kind="stable")
        self.ids = ids[order]
        self.lat = column(nodes, "lat", 1, np.float64)[order]
        self.lon = column(nodes, "lon", 2, np.float64)[order]
        heads = self._rows(column(edges, "from", 0, np.uint64))
        tails = self._rows(column(edges, "to", 1, np.uint64))
        try:
            way = np.fromiter(map(methodcaller("get", "way_id", -1), edges), dtype=np.int64,
                              count=len(edges))
        except (AttributeError, TypeError):  # arcs in array form, or odd way ids
            way = np.fromiter((e.get("way_id", -1) if isinstance(e, Mapping) and
                               isinstance(e.get("way_id"), int) else -1 for e in edges),
                              dtype=np.int64, count=len(edges))
        keep = (heads >= 0) & (tails >= 0) & (heads != tails)
        low, high = np.minimum(heads, tails)[keep], np.maximum(heads, tails)[keep]
        key = low * len(self.ids) + high
        _, first = np.unique(key, return_index=True)
        self.a: I64 = low[first]
        self.b: I64 = high[first]
        self.way: I64 = way[keep][first]
        self.length = haversine_m_array(self.lat[self.a], self.lon[self.a], self.lat[self.b],
                                 self.lon[self.b])
        # Undirected adjacency (CSR) for the joins.
        n = len(self.ids)
        ends = np.concatenate((self.a, self.b))
        others = np.concatenate((self.b, self.a))
        segs = np.concatenate((np.arange(len(self.a)), np.arange(len(self.a))))
        by = np.argsort(ends, kind="stable")
        self.start = np.searchsorted(ends[by], np.arange(n + 1))
        self.next_node = others[by]
        self.next_seg = segs[by]
        self.degree = np.diff(self.start)
        # Sample points along every segment, each knowing its segment.
        # Counts for np.repeat: the platform's index type (32 bits on armhf).
        pieces = np.maximum(np.ceil(self.length / SAMPLE_M).astype(np.intp), 1)
        seg_of = np.repeat(np.arange(len(self.a)), pieces + 1)
        t = np.arange(len(seg_of)) - np.repeat(np.cumsum(pieces + 1) - (pieces + 1), pieces + 1)
        t = t / np.repeat(pieces, pieces + 1)
        slat = self.lat[self.a][seg_of] + t * (self.lat[self.b] - self.lat[self.a])[seg_of]
        slon = self.lon[self.a][seg_of] + t * (self.lon[self.b] - self.lon[self.a])[seg_of]
        self.sample_seg = seg_of
        self._ends: tuple[list[int], list[int]] | None = None
        self.tree = cKDTree(_unit(slat, slon), leafsize=32, balanced_tree=False,
                            copy_data=False) if len(seg_of) else None

    def ends(self) -> tuple[list[int], list[int]]:
        """Both end rows of every segment, as lists (quicker to index one at a time)."""
        if self._ends is None:
            self._ends = (self.a.tolist(), self.b.tolist())
        return self._ends

    def _rows(self, node_ids: npt.NDArray[np.uint64]) -> I64:
        if len(self.ids) == 0:
            return np.full(len(node_ids), -1, dtype=np.int64)
        at = np.searchsorted(self.ids, node_ids).astype(np.int64)
        at[at == len(self.ids)] = 0
        at[self.ids[at] != node_ids] = -1
        return at

    def candidates(self, lat: F64, lon: F64) -> tuple[I64, F64, F64]:
        """Per point (rows) up to :data:`CANDIDATES` segments near it (columns, -1 for none):
        the segment, its distance in metres (infinity beyond reach), and the distance from
        the point's foot on it to its nearer end when that end is a junction (else infinity).
        The nearest segment comes first."""
        n, k = len(lat), CANDIDATES
        if self.tree is None or n == 0:
            return (np.full((n, 1), -1, dtype=np.int64), np.full((n, 1), np.inf),
                    np.full((n, 1), np.inf))
        reach = (REACH_M + SAMPLE_M) / _RADIUS_M
        _, hit = self.tree.query(_unit(lat, lon), k=k, distance_upper_bound=reach)
        valid = hit < len(self.sample_seg)
        cand = np.where(valid, self.sample_seg[np.minimum(hit, len(self.sample_seg) - 1)], -1)
        # Distances to each candidate segment, in a plane tangent at the point.
        scale_y = _RADIUS_M * DEG_TO_RAD
        scale_x = scale_y * np.cos(lat * DEG_TO_RAD)[:, None]
        c = np.maximum(cand, 0)
        ax = (self.lon[self.a][c] - lon[:, None]) * scale_x
        ay = (self.lat[self.a][c] - lat[:, None]) * scale_y
        bx = (self.lon[self.b][c] - lon[:, None]) * scale_x
        by = (self.lat[self.b][c] - lat[:, None]) * scale_y
        dx, dy = bx - ax, by - ay
        span = dx * dx + dy * dy
        with np.errstate(invalid="ignore", divide="ignore"):
            t = np.clip(np.where(span > 0, -(ax * dx + ay * dy) / span, 0.0), 0.0, 1.0)
        dist = np.hypot(ax + t * dx, ay + t * dy)
        dist[~valid | (dist > REACH_M)] = np.inf
        cand[~np.isfinite(dist)] = -1
        # The end nearer the foot, and how far the foot is from it if it is a junction.
        end = np.where(t > 0.5, self.b[c], self.a[c])
        to_end = np.minimum(t, 1.0 - t) * np.sqrt(span)
        to_junction = np.where(self.degree[end] > 2, to_end, np.inf)
        order = np.argsort(dist, axis=1, kind="stable")
        pick = np.take_along_axis
        return pick(cand, order, 1), pick(dist, order, 1), pick(to_junction, order, 1)

    def join(self, froms: Sequence[int], targets: Sequence[int], limit: float
             ) -> tuple[float, list[int]] | None:
        """Shortest path (length, segments) from any node of ``froms`` to any of ``targets``,
        no longer than ``limit`` metres; None when there is none."""
        goal = set(targets)
        best: dict[int, float] = {}
        back: dict[int, tuple[int, int]] = {}
        heap = [(0.0, node) for node in froms]
        for node in froms:
            best[node] = 0.0
        while heap:
            d, node = heapq.heappop(heap)
            if d > best.get(node, math.inf):
                continue
            if node in goal:
                segments = []
                while node in back:
                    node, seg = back[node]
                    segments.append(seg)
                return d, segments
            for k in range(int(self.start[node]), int(self.start[node + 1])):
                seg = int(self.next_seg[k])
                nd = d + float(self.length[seg])
                other = int(self.next_node[k])
                if nd <= limit and nd < best.get(other, math.inf):
                    best[other] = nd
                    back[other] = (node, seg)
                    heapq.heappush(heap, (nd, other))
        return None


def _unit(lat: F64, lon: F64) -> F64:
    la, lo = lat * DEG_TO_RAD, lon * DEG_TO_RAD
    c = np.cos(la)
    return np.column_stack((c * np.cos(lo), c * np.sin(lo), np.sin(la)))


# --- Matching ------------------------------------------------------------------

def match_track(streets: Streets, lat: F64, lon: F64) -> tuple[set[int], int]:
    """The segments a track rode, and how many of its points were matched."""
    cand, dist, to_junction = streets.candidates(lat, lon)
    steady = ~_spikes(lat, lon)
    matched = int(np.count_nonzero((cand[:, 0] >= 0) & steady))
    seg = _follow(streets, cand, dist, to_junction, steady)
    idx = np.flatnonzero(seg >= 0)
    if len(idx) == 0:
        return set(), matched
    # Runs of consecutive usable points on one segment: (segment, first point, last point).
    segs = seg[idx]
    new = np.ones(len(idx), dtype=bool)
    new[1:] = segs[1:] != segs[:-1]
    starts = np.flatnonzero(new)
    ends = np.append(starts[1:], len(idx)) - 1
    # Distance along the track from its first point; a run's extent is the
    # stretch of track it holds, each point the track's usual spacing (the
    # sum of the steps would grow with the noise).
    steps = haversine_m_array(lat[:-1], lon[:-1], lat[1:], lon[1:])
    along = np.concatenate(([0.0], np.cumsum(steps)))
    spacing = float(np.median(steps)) if len(steps) else 0.0
    extent = (idx[ends] - idx[starts] + 1) * spacing
    runs = list(zip(segs[starts].tolist(), idx[starts].tolist(), idx[ends].tolist(),
                    extent.tolist()))
    # A point or two at either end, on another street than the next ones, is
    # the start or the end brushing a side street.
    while len(runs) > 1 and runs[0][3] < STEADY_M:
        runs.pop(0)
    while len(runs) > 1 and runs[-1][3] < STEADY_M:
        runs.pop()
    a, b = streets.ends()

    def touch(s: int, t: int) -> bool:
        return s == t or a[s] == a[t] or a[s] == b[t] or b[s] == a[t] or b[s] == b[t]

    ridden: set[int] = set()
    current, _, last_point, _ = runs[0]
    ridden.add(current)
    for k in range(1, len(runs)):
        s, first, last, held = runs[k]
        ca, cb, sa, sb = a[current], b[current], a[s], b[s]
        if held < SPUR_M and k + 1 < len(runs) and touch(current, runs[k + 1][0]):
            # A few points on a street that the ride only brushed: the streets
            # before and after meet without it.
            continue
        if s == current or ca in (sa, sb) or cb in (sa, sb):
            ridden.add(s)
            current, last_point = s, last
            continue
        track_m = float(along[first] - along[last_point])
        limit = DETOUR_FACTOR * track_m + DETOUR_SLACK_M
        joined = streets.join((ca, cb), (sa, sb), limit)
        if joined is not None:
            ridden.update(joined[1])
            ridden.add(s)
            current, last_point = s, last
        elif held >= STEADY_M:
            ridden.add(s)  # the track resumes here after a gap
            current, last_point = s, last
        # Otherwise a GPS jump: the points are dropped and the ride goes on from `current`.
    support: dict[int, float] = {}
    for seg_id, _, _, held in runs:
        support[seg_id] = support.get(seg_id, 0.0) + held
    _prune_spurs(ridden, a, b, support, {runs[0][0], runs[-1][0]})
    return ridden, matched


def _prune_spurs(ridden: set[int], a: list[int], b: list[int], support: dict[int, float],
                 keep: set[int]) -> None:
    """Drop the stubs of a ride: chains of segments from a dead end to a node where
    the ride goes on both ways, holding little of the track together (a street
    diverging from the one ridden at a narrow angle, a few noisy points). The
    ride's own ends, and a dead end ridden into and out of, stay."""
    at: dict[int, list[int]] = {}
    for seg_id in ridden:
        for node in (a[seg_id], b[seg_id]):
            at.setdefault(node, []).append(seg_id)
    stubs: list[int] = []
    for node, segs in at.items():
        if len(segs) != 1:
            continue
        chain, held, seg_id = [], 0.0, segs[0]
        while seg_id not in keep and held < SPUR_M:
            chain.append(seg_id)
            held += support.get(seg_id, 0.0)
            node = b[seg_id] if a[seg_id] == node else a[seg_id]
            onward = [s for s in at[node] if s != seg_id]
            if len(onward) >= 2:  # back on the ride
                if held < SPUR_M:
                    stubs.extend(chain)
                break
            if len(onward) != 1:
                break
            seg_id = onward[0]
    ridden.difference_update(stubs)


def _follow(streets: Streets, cand: I64, dist: F64, to_junction: F64,
            usable: npt.NDArray[np.bool_]) -> I64:
    """The segment each point is matched to (-1 for none), point after point.

    The nearest segment, unless the one ridden so far, or one that touches it,
    is hardly farther (:data:`STICKY_M`): of two streets side by side (the two
    roadways of a dual carriageway, a road and its footway) the ride stays on
    the one it is on. A point near a junction says nothing (-1).
    """
    a, b = streets.ends()
    first = cand[:, 0].tolist()
    junction_first = (to_junction[:, 0] < JUNCTION_M).tolist()
    rows, gaps, ends = cand.tolist(), dist.tolist(), to_junction.tolist()
    out = [-1] * len(first)
    current = -1
    for i in np.flatnonzero(usable & (cand[:, 0] >= 0)).tolist():
        choice = first[i]
        if choice == current or current < 0:
            if not junction_first[i]:
                out[i] = current = choice
            continue
        # Another street is nearest: keep to the one ridden, or one touching
        # it, when it is hardly farther.
        ca, cb = a[current], b[current]
        touching = 0
        gap = gaps[i]
        limit = gap[0] + STICKY_M
        for j, c in enumerate(rows[i]):
            if c < 0 or gap[j] > limit:
                break
            if c == current:
                touching = j
                break
            if not touching and (a[c] in (ca, cb) or b[c] in (ca, cb)):
                touching = j
        if ends[i][touching] < JUNCTION_M:
            continue
        out[i] = current = rows[i][touching]
    return np.array(out, dtype=np.int64)


def _spikes(lat: F64, lon: F64) -> npt.NDArray[np.bool_]:
    """Points that jump away from the track and back: the way through them is
    longer than the way past them by more than :data:`SPIKE_M`."""
    spike = np.zeros(len(lat), dtype=bool)
    if len(lat) < 3:
        return spike
    there = haversine_m_array(lat[:-2], lon[:-2], lat[1:-1], lon[1:-1])
    back = haversine_m_array(lat[1:-1], lon[1:-1], lat[2:], lon[2:])
    past = haversine_m_array(lat[:-2], lon[:-2], lat[2:], lon[2:])
    spike[1:-1] = there + back - past > SPIKE_M
    return spike


def match_rides(doc: Mapping[str, Any] | Sequence[Any],
                rides: str | os.PathLike[str] | Iterable[str | os.PathLike[str]] |
                Iterable[tuple[F64, F64]], *, streets: Streets | None = None) -> RideMatch:
    """Match rides to the ways of a graph document whose arcs carry ``way_id``.

    ``rides`` are GPX files or folders of them, or ``(lats, lons)`` tracks.
    """
    streets = streets if streets is not None else Streets(doc)
    tracks: list[tuple[F64, F64]] = []
    items = [rides] if isinstance(rides, (str, os.PathLike)) else list(rides)
    paths = [r for r in items if isinstance(r, (str, os.PathLike))]
    tracks.extend(r for r in items if not isinstance(r, (str, os.PathLike)))
    for path in gpx_files(paths) if paths else []:
        tracks.extend(read_tracks(path))
    result = RideMatch()
    for lat, lon in tracks:
        lat = np.asarray(lat, dtype=np.float64)
        lon = np.asarray(lon, dtype=np.float64)
        result.tracks += 1
        result.points += len(lat)
        ridden, matched = match_track(streets, lat, lon)
        result.matched_points += matched
        segs = np.fromiter(ridden, dtype=np.int64, count=len(ridden))
        result.metres += float(streets.length[segs].sum())
        for way in set(streets.way[segs].tolist()) - {-1}:
            result.ways[way] = result.ways.get(way, 0) + 1
    return result


def add_familiarity(doc: dict[str, Any], weights: Mapping[int, float],
                    familiarity_per_km: float, *, keep_annotations: bool) -> int:
    """Give every arc ``weight * familiarity_per_km * length_km`` of its way, as the
    converter does for a file of ridden ways; returns how many arcs got a positive value.

    Without ``keep_annotations`` the annotation keys are removed from the arcs.
    """
    familiar = 0
    edges = []
    for edge in doc["edges"]:
        weight = weights.get(edge.get("way_id"), 0.0) * familiarity_per_km
        new = {"from": edge["from"], "to": edge["to"], "distance_m": edge["distance_m"],
               "risk_score": edge["risk_score"],
               "familiarity": weight * edge["distance_m"] / 1000.0}
        new.update((k, v) for k, v in edge.items()
                   if k not in new and (keep_annotations or k not in ANNOTATION_KEYS))
        if weight:
            familiar += 1
        edges.append(new)
    doc["edges"] = edges
    return familiar


def ride_weight(rides: int) -> float:
    """How familiar a way ridden ``rides`` times is: each ride halves what is left
    unknown (1 ride 0.5, 2 rides 0.75, 3 rides 0.875...), never more than 1.

    A bounded weight keeps the search's key growing along familiar ways at the
    converter's rates however often a way was ridden: the key weighs
    familiarity -200 per unit against 1 per metre.
    """
    return 1.0 - 0.5 ** rides


def add_ride_familiarity(doc: dict[str, Any],
                         rides: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
                         familiar_ways: Mapping[int, float] | None, familiarity_per_km: float,
                         *, annotate: bool, stats: Any = None) -> RideMatch:
    """Familiarity from rides (plus any ways already known as ridden) on a converted document
    whose arcs carry their ways; the annotations stay only with ``annotate``."""
    match = match_rides(doc, rides)
    weights: dict[int, float] = dict(familiar_ways or {})
    for way, count in match.ways.items():
        weights[way] = weights.get(way, 0.0) + ride_weight(count)
    familiar = add_familiarity(doc, weights, familiarity_per_km, keep_annotations=annotate)
    if stats is not None:
        stats.familiar_edges = familiar
        stats.rides = match
    return match
