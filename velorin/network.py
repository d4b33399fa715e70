"""The road network as numpy arrays: node positions, arcs, the main component, snapping.

The routing engine keeps its own copy of the graph and offers no way to read
it back, so the Python side keeps what it needs to turn places into node ids
and node ids into places: one row per distinct node id (the later record wins
when an id repeats, as in the engine), the arcs in document order, and a k-d
tree over the nodes that can start or end a route.
"""

from __future__ import annotations

import bisect
import itertools
import json
import math
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from operator import itemgetter, methodcaller
from typing import Any, Union

import numpy as np
import numpy.typing as npt
import orjson
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import connected_components
from scipy.spatial import cKDTree

from velorin.geo import DEG_TO_RAD, haversine_m
from velorin.legs import haversine_m_array
from velorin.records import column
from velorin.route import Arc

U64 = npt.NDArray[np.uint64]
I64 = npt.NDArray[np.int64]
F64 = npt.NDArray[np.float64]

#: Per-arc annotations the OSM import writes; any other key is left to the engine.
ARC_ATTRIBUTES = ("way_id", "name", "highway", "lts", "surface")

# Leaves of 64 points keep the tree's own bookkeeping under 4 bytes per node
# (one 72-byte tree node per 20 points or so); a query still looks at about a
# hundred points only, and answers faster than with smaller leaves.
_LEAF_SIZE = 64


#: A graph document held as Python values: the object form (``{"nodes": [...],
#: "edges": [...]}``) or the array form (``[nodes, edges]``), as a JSON reader makes it.
GraphDocument = Union[Mapping[str, Any], Sequence[Any]]


# --- Reading a document the engine has accepted ---------------------------------
#
# The engine reads a document in one pass without building it; reading it
# again as Python values would cost several times its memory (a dict per
# record) and stumble where the engine does not (values of unknown members
# nested deeper than orjson's 1,024 levels, or integers of more digits than
# Python converts). So the package finds the records' boundaries itself, with
# numpy over the text, and decodes the records in batches, keeping only the
# columns it needs. The text is already known to be a well-formed document,
# which is what lets the scan skip every check: outside strings there is no
# backslash, and inside them a run of backslashes escapes a quote after it
# exactly when the run is odd.

#: Characters scanned per step: some 40 bytes of working memory each.
_SCAN_CHARS = 1 << 21
#: Records decoded per batch.
_BATCH = 4096

_KIND = np.zeros(256, dtype=np.int8)  # 1 structural, 2 quote, 3 backslash
_KIND[[ord(c) for c in "{}[],:"]] = 1
_KIND[ord('"')], _KIND[ord("\\")] = 2, 3
_DEPTH_STEP = np.zeros(128, dtype=np.int64)
_DEPTH_STEP[[ord("{"), ord("[")]] = 1
_DEPTH_STEP[[ord("}"), ord("]")]] = -1


@dataclass
class _Structure:
    """The structural characters outside strings at the document's top levels."""

    #: Position (in characters), character and nesting depth before it.
    at: I64
    char: npt.NDArray[np.uint8]
    depth: I64


def _structure(text: str, levels: int = 2) -> _Structure:
    """Every structural character outside strings whose depth before or after it is at
    most ``levels``."""
    found: list[tuple[I64, npt.NDArray[np.uint8], I64]] = []
    depth, in_string, run_before = 0, 0, 0
    for start in range(0, len(text), _SCAN_CHARS):
        piece = text[start:start + _SCAN_CHARS]
        # One byte per character where the text allows (a position must stay a
        # character's index); the marks are all ASCII.
        points = (np.frombuffer(piece.encode("ascii"), dtype=np.uint8) if piece.isascii()
                  else np.minimum(np.frombuffer(piece.encode("utf-32-le"), dtype=np.uint32),
                                  127).astype(np.uint8))
        del piece
        marks = np.flatnonzero(_KIND[points])
        mark_kind = _KIND[points[marks]]
        is_quote = mark_kind == 2
        slashes = marks[mark_kind == 3]
        # A quote right after a run of backslashes is escaped when the run is odd; a
        # run may have begun in the step before (``run_before`` backslashes).
        if len(slashes) or run_before:
            quotes = marks[is_quote]
            escaped = np.zeros(len(quotes), dtype=bool)
            if len(slashes):
                run_start = slashes[np.r_[True, np.diff(slashes) != 1]]
                after_slash = np.isin(quotes - 1, slashes)
                candidates = quotes[after_slash]
                starts = run_start[np.searchsorted(run_start, candidates - 1, side="right") - 1]
                length = candidates - starts + np.where(starts == 0, run_before, 0)
                escaped[np.flatnonzero(after_slash)] = length % 2 == 1
            if run_before % 2 and len(quotes) and quotes[0] == 0:
                escaped[0] = True
            is_quote[np.flatnonzero(is_quote)[escaped]] = False
            if len(slashes) and slashes[-1] == len(points) - 1:
                end_run = len(points) - int(run_start[-1])
                run_before = end_run + (run_before if end_run == len(points) else 0)
            else:
                run_before = 0
        # Outside strings where an even number of real quotes came before.
        quotes_before = np.cumsum(is_quote) - is_quote
        is_structural = mark_kind == 1
        outside = (quotes_before[is_structural] + in_string) % 2 == 0
        structural = marks[is_structural][outside]
        if len(marks):
            in_string = int(in_string + quotes_before[-1] + is_quote[-1]) % 2
        del marks, mark_kind, is_quote, quotes_before, is_structural, outside
        char = points[structural]
        del points
        after = depth + np.cumsum(_DEPTH_STEP[char])
        before = after - _DEPTH_STEP[char]
        keep = np.minimum(before, after) <= levels
        found.append((structural[keep] + start, char[keep], before[keep]))
        if len(after):
            depth = int(after[-1])
    if not found:
        return _Structure(np.zeros(0, np.int64), np.zeros(0, np.uint8), np.zeros(0, np.int64))
    return _Structure(*(np.concatenate(parts) for parts in zip(*found)))


@dataclass
class DocumentColumns:
    """What the package reads from a graph document: node and arc columns, the arcs'
    annotations, and the value of its ``places`` member (None without one)."""

    ids: U64
    lat: F64
    lon: F64
    edge_from: U64
    edge_to: U64
    distance_m: F64
    risk: F64
    familiarity: F64
    attributes: ArcAttributes | None
    places: Any
    #: ``ele`` of every node record (NaN: none), None when no record has one.
    ele: F64 | None = None


def read_document(text: str) -> DocumentColumns:
    """The columns of a graph document that the engine has already accepted."""
    structure = _structure(text)
    members = _top_members(text, structure)
    nodes: list[list[npt.NDArray[Any]]] = [[], [], []]
    heights: list[tuple[F64 | None, int]] = []
    for batch in _batches(text, structure, members.get("nodes")):
        for parts, (key, position, dtype) in zip(nodes, _NODE_FIELDS):
            parts.append(column(batch, key, position, dtype))
        heights.append((_numbers(batch, "ele"), len(batch)))
    edges: list[list[npt.NDArray[Any]]] = [[], [], [], [], []]
    attributes = _AttributeColumns()
    for batch in _batches(text, structure, members.get("edges")):
        for parts, (key, position, dtype) in zip(edges, _EDGE_FIELDS):
            parts.append(column(batch, key, position, dtype))
        edges[4].append(_familiarity(batch))
        attributes.add(batch)
    places = None
    if "places" in members:
        places = _lenient_value(text[members["places"][0]:members["places"][1]])
    n: list[Any] = [np.concatenate(c) if c else np.zeros(0, d)
                    for c, (_, _, d) in zip(nodes, _NODE_FIELDS)]
    e: list[Any] = [np.concatenate(c) if c else np.zeros(0, d) for c, d in zip(
        edges, [f[2] for f in _EDGE_FIELDS] + [np.float64])]
    def edge_batches() -> Iterator[list[Any]]:
        return _batches(text, structure, members.get("edges"))

    return DocumentColumns(ids=n[0], lat=n[1], lon=n[2], edge_from=e[0], edge_to=e[1],
                           distance_m=e[2], risk=e[3], familiarity=e[4],
                           attributes=attributes.finish(edge_batches), places=places,
                           ele=_filled(heights))


_NODE_FIELDS = (("id", 0, np.uint64), ("lat", 1, np.float64), ("lon", 2, np.float64))
_EDGE_FIELDS = (("from", 0, np.uint64), ("to", 1, np.uint64), ("distance_m", 2, np.float64),
                ("risk_score", 3, np.float64))


def _top_members(text: str, structure: _Structure) -> dict[str, tuple[int, int]]:
    """Spans of the values of the document's members (``nodes``, ``edges`` and the others
    of an object; ``nodes`` and ``edges`` of an array)."""
    at, char, depth = structure.at, structure.char, structure.depth
    top = at[(depth == 1) & np.isin(char, _SEPARATORS)].tolist()
    spans: dict[str, tuple[int, int]] = {}
    if char[0] == ord("["):
        ends = [int(at[0]), *top]
        for name, (a, b) in zip(("nodes", "edges"), zip(ends, ends[1:])):
            spans[name] = (a + 1, b)
        return spans
    starts = [int(at[0]), *top]
    for colon in at[(depth == 1) & (char == ord(":"))].tolist():
        key_start = starts[bisect.bisect_left(starts, colon) - 1]
        end = top[bisect.bisect_right(top, colon)]
        try:
            key = json.loads(text[key_start + 1:colon])
        except ValueError:  # a key of lone surrogates: not one of ours
            continue
        spans.setdefault(key, (colon + 1, end))  # the engine refuses a field twice
    return spans


_SEPARATORS = (ord(","), ord("}"), ord("]"))


def _batches(text: str, structure: _Structure,
             span: tuple[int, int] | None) -> Iterator[list[Any]]:
    """The records of the array at ``span``, decoded ``_BATCH`` at a time."""
    if span is None:
        return
    inside = (structure.at >= span[0]) & (structure.at < span[1])
    at = structure.at[inside]
    depth = structure.depth[inside]
    char = structure.char[inside]
    opening = int(at[0])  # the array's "["
    closing = int(at[(char == ord("]")) & (depth == 2)][-1])
    separators = at[(char == ord(",")) & (depth == 2)]
    bounds = np.concatenate(([opening], separators, [closing])).tolist()
    if len(bounds) == 2 and not text[opening + 1:closing].strip():
        return  # an empty array
    for first in range(0, len(bounds) - 1, _BATCH):
        last = min(first + _BATCH, len(bounds) - 1)
        try:
            yield orjson.loads("[" + text[bounds[first] + 1:bounds[last]] + "]")
        except orjson.JSONDecodeError:
            yield [_lenient_value(text[a + 1:b]) for a, b in
                   zip(bounds[first:last], bounds[first + 1:last + 1])]


def _lenient_value(text: str) -> Any:
    """A record or value that orjson refuses: too deep, an integer too long, a lone
    surrogate. The standard reader takes the last two; a record too deep for both is
    read member by member, keeping the members that are not."""
    try:
        return orjson.loads(text)
    except orjson.JSONDecodeError:
        pass
    try:
        return json.loads(text)
    except (ValueError, RecursionError):
        pass
    structure = _structure(text, levels=1)
    if not len(structure.at):
        return None
    spans = _top_members(text, structure) if structure.char[0] == ord("{") else None
    if spans is None:  # an array: its elements at depth 1
        at, char, depth = structure.at, structure.char, structure.depth
        ends = at[(depth == 1) & np.isin(char, _SEPARATORS)].tolist()
        return [_shallow(text[a + 1:b]) for a, b in zip([int(at[0]), *ends], ends)]
    return {key: _shallow(text[a:b]) for key, (a, b) in spans.items()}


def _shallow(text: str) -> Any:
    """A member's value, or None for one that no reader here can take."""
    try:
        return orjson.loads(text)
    except orjson.JSONDecodeError:
        try:
            return json.loads(text)
        except (ValueError, RecursionError):
            return None


def _numbers(records: list[Any], key: str) -> F64 | None:
    """A number member of every record (NaN where a record has none or not a number), or
    None when no record has the member."""
    if not any(type(r) is dict and key in r for r in records):
        return None
    values = [r.get(key) if type(r) is dict else None for r in records]
    return np.array([v if type(v) in (int, float) else math.nan for v in values],
                    dtype=np.float64)


def _filled(columns: list[tuple[F64 | None, int]]) -> F64 | None:
    """Batches' columns (with their sizes) as one, NaN for the batches without one;
    None when no batch has one."""
    if all(column is None for column, _ in columns):
        return None
    return np.concatenate([column if column is not None else np.full(size, math.nan)
                           for column, size in columns])


class _AttributeColumns:
    """The arcs' annotations gathered batch by batch, kept as :meth:`ArcAttributes.of`
    keeps them: by way (each way's values from its first arc) while every arc names
    an integer way, else per arc - for which the arcs are read a second time."""

    def __init__(self) -> None:
        self.present = False
        self.per_arc = False
        self.lts: list[Any] = []
        self.way_ids: list[I64] = []
        self.leaders: dict[int, tuple[Any, ...]] = {}
        self.numbers: dict[str, list[tuple[F64 | None, int]]] = {k: [] for k in ARC_NUMBERS}

    def add(self, batch: list[Any]) -> None:
        objects = [e if type(e) is dict else (e if isinstance(e, Mapping) else {})
                   for e in batch]
        self.present = self.present or any(not e.keys().isdisjoint(ARC_ATTRIBUTES)
                                           for e in objects)
        self.lts.extend(map(methodcaller("get", "lts"), objects))
        for key, columns in self.numbers.items():
            columns.append((_numbers(objects, key), len(objects)))
        if self.per_arc:
            return
        try:
            ways = np.fromiter(map(itemgetter("way_id"), objects), dtype=np.int64,
                               count=len(objects))
        except (KeyError, TypeError, ValueError, OverflowError):
            self.per_arc = True
            return
        self.way_ids.append(ways)
        unique, first = np.unique(ways, return_index=True)
        for way, at in zip(unique.tolist(), first.tolist()):
            if way not in self.leaders:
                leader = objects[at]
                self.leaders[way] = tuple(leader.get(k) for k in ArcAttributes.WAY_KEYS)

    def finish(self, edges: Callable[[], Iterator[list[Any]]]) -> ArcAttributes | None:
        """The annotations; ``edges`` reads the arcs again, when each keeps its own."""
        if not self.present:
            return None
        keys = ArcAttributes.WAY_KEYS
        if self.per_arc:
            rows: dict[str, list[Any]] = {key: [] for key in keys}
            for batch in edges():
                objects = [e if isinstance(e, Mapping) else {} for e in batch]
                for key in keys:
                    rows[key].extend(map(methodcaller("get", key), objects))
            return ArcAttributes(np.arange(len(self.lts), dtype=np.int64), rows, self.lts,
                                 self._numbers())
        ways = np.concatenate(self.way_ids) if self.way_ids else np.zeros(0, np.int64)
        unique, inverse = np.unique(ways, return_inverse=True)
        leaders = [self.leaders[w] for w in unique.tolist()]
        rows = {key: [leader[i] for leader in leaders] for i, key in enumerate(keys)}
        return ArcAttributes(inverse.astype(np.int64).reshape(-1), rows, self.lts,
                             self._numbers())

    def _numbers(self) -> dict[str, F64]:
        found = {key: _filled(columns) for key, columns in self.numbers.items()}
        return {key: column for key, column in found.items() if column is not None}


def _records(doc: GraphDocument) -> tuple[Sequence[Any], Sequence[Any]]:
    if isinstance(doc, Mapping):
        return doc["nodes"], doc["edges"]
    return doc[0], doc[1]


def _familiarity(edges: Sequence[Any]) -> F64:
    """Familiarity of every arc; none (absent or null) is 0.0, as in the engine."""
    try:
        values = list(map(methodcaller("get", "familiarity"), edges))
    except AttributeError:  # some records in array form
        values = [e.get("familiarity") if isinstance(e, Mapping) else e[4] for e in edges]
    # None becomes NaN here; no document float can be NaN, so NaN means none.
    column = np.array(values, dtype=np.float64)
    column[np.isnan(column)] = 0.0
    return column


def _unit_vectors(lat: F64, lon: F64) -> F64:
    """Points on the unit sphere: chord length grows with great-circle distance."""
    la, lo = lat * DEG_TO_RAD, lon * DEG_TO_RAD
    c = np.cos(la)
    return np.column_stack((c * np.cos(lo), c * np.sin(lo), np.sin(la)))


@dataclass
class Snapper:
    """Nearest candidate node of a point, by great-circle distance."""

    tree: cKDTree | None
    #: Row in the node table of each point of the tree (4 bytes each where that suffices).
    rows: npt.NDArray[np.int32] | I64

    @classmethod
    def over(cls, lat: F64, lon: F64, rows: I64) -> Snapper:
        if len(rows) == 0:
            return cls(None, rows)
        tree = cKDTree(_unit_vectors(lat[rows], lon[rows]), leafsize=_LEAF_SIZE,
                       balanced_tree=False, copy_data=False)
        compact = rows.astype(np.int32) if len(lat) < 2**31 else rows
        return cls(tree, compact)

    def nearest_one(self, lat: float, lon: float, node_lat: F64, node_lon: F64
                    ) -> tuple[int, float]:
        """:meth:`nearest` for one point, without the cost of small arrays."""
        if self.tree is None:
            return -1, math.inf
        la, lo = lat * DEG_TO_RAD, lon * DEG_TO_RAD
        c = math.cos(la)
        _, hit = self.tree.query((c * math.cos(lo), c * math.sin(lo), math.sin(la)), k=1)
        row = int(self.rows[hit])
        return row, haversine_m(lat, lon, float(node_lat[row]), float(node_lon[row]))

    def nearest(self, lat: F64, lon: F64, node_lat: F64, node_lon: F64) -> tuple[I64, F64]:
        """Node rows and distances in metres; row -1 and infinity on a map without candidates."""
        if self.tree is None:
            return (np.full(len(lat), -1, dtype=np.int64), np.full(len(lat), np.inf))
        _, hit = self.tree.query(_unit_vectors(lat, lon), k=1)
        rows = self.rows[hit].astype(np.int64)
        return rows, haversine_m_array(lat, lon, node_lat[rows], node_lon[rows])


class Network:
    """Nodes, arcs and optional per-arc annotations of one graph document."""

    def __init__(self, doc: GraphDocument | DocumentColumns,
                 attributes: ArcAttributes | None = None) -> None:
        if isinstance(doc, DocumentColumns):
            raw_ids, raw_lat, raw_lon = doc.ids, doc.lat, doc.lon
        else:
            nodes, edges = _records(doc)
            raw_ids = column(nodes, "id", 0, np.uint64)
            raw_lat = column(nodes, "lat", 1, np.float64)
            raw_lon = column(nodes, "lon", 2, np.float64)
        # Later records replace earlier ones with the same id, as in the engine:
        # the first occurrence in the reversed table is the last one.
        ids, first = np.unique(raw_ids[::-1], return_index=True)
        keep = len(raw_ids) - 1 - first
        self.ids: U64 = ids
        self.lat: F64 = raw_lat[keep]
        self.lon: F64 = raw_lon[keep]

        #: Height of each node row in metres (NaN: none), or None on a map without heights.
        self.ele: F64 | None
        if isinstance(doc, DocumentColumns):
            self.edge_from: U64 = doc.edge_from
            self.edge_to: U64 = doc.edge_to
            self.distance_m: F64 = doc.distance_m
            self.risk: F64 = doc.risk
            self.familiarity: F64 = doc.familiarity
            self.ele = None if doc.ele is None else doc.ele[keep]
            if attributes is None:
                attributes = doc.attributes
        else:
            self.edge_from = column(edges, "from", 0, np.uint64)
            self.edge_to = column(edges, "to", 1, np.uint64)
            self.distance_m = column(edges, "distance_m", 2, np.float64)
            self.risk = column(edges, "risk_score", 3, np.float64)
            self.familiarity = _familiarity(edges)
            self.ele = _heights(nodes, keep)
            if attributes is None:
                attributes = ArcAttributes.of(edges)
        self.from_row: I64 = self.rows_of(self.edge_from)
        self.to_row: I64 = self.rows_of(self.edge_to)
        self.attributes = attributes
        if self.attributes is not None:
            # Carried with the annotations, which go wherever the router is pickled.
            if self.ele is None:
                self.ele = self.attributes.node_ele
            else:
                self.attributes.node_ele = self.ele

        linked = (self.from_row >= 0) & (self.to_row >= 0)
        self._arc_rows = (self.from_row[linked], self.to_row[linked])
        self._linked_edges = np.flatnonzero(linked)
        self.main_rows: I64 = self._largest_strong_component()
        touched = np.zeros(len(self.ids), dtype=bool)
        touched[self._arc_rows[0]] = True
        touched[self._arc_rows[1]] = True
        self.routable_rows: I64 = np.flatnonzero(touched)
        self.main_snapper = Snapper.over(self.lat, self.lon, self.main_rows)
        #: Whether an arc leaves each node row (the engine refuses to start elsewhere).
        self.has_out_arc = np.zeros(len(self.ids), dtype=bool)
        self.has_out_arc[self._arc_rows[0]] = True
        self._any_snapper: Snapper | None = None
        self._arc_keys: I64 | None = None
        self._arc_pick: I64 | None = None
        self._nodes: Nodes | None = None
        self._arcs: Arcs | None = None

    @property
    def node_count(self) -> int:
        return len(self.ids)

    def nodes(self) -> Nodes:
        """The node table as a read-only view."""
        if self._nodes is None:
            self._nodes = Nodes(ids=_frozen(self.ids), lat=_frozen(self.lat),
                                lon=_frozen(self.lon))
        return self._nodes

    def arcs(self) -> Arcs:
        """The arcs as a read-only view, with their annotations."""
        if self._arcs is None:
            lts = np.zeros(len(self.edge_from), dtype=np.int8)
            if self.attributes is not None:
                lts[:] = [v if type(v) is int and 1 <= v <= 4 else 0
                          for v in self.attributes.lts]
            self._arcs = Arcs(source=_frozen(self.edge_from), target=_frozen(self.edge_to),
                              source_row=_frozen(self.from_row), target_row=_frozen(self.to_row),
                              distance_m=_frozen(self.distance_m), risk=_frozen(self.risk),
                              familiarity=_frozen(self.familiarity), lts=_frozen(lts),
                              _attributes=self.attributes)
        return self._arcs

    def document(self) -> bytes:
        """A graph document (array form) that routes exactly as the one this network came from.

        Node records are the ones the engine looks up (one per id); arcs keep
        their document order, on which ties between equal routes depend.
        """
        nodes = list(zip(self.ids.tolist(), self.lat.tolist(), self.lon.tolist()))
        edges = list(zip(self.edge_from.tolist(), self.edge_to.tolist(), self.distance_m.tolist(),
                         self.risk.tolist(), self.familiarity.tolist()))
        return orjson.dumps([nodes, edges])

    def rows_of(self, node_ids: U64) -> I64:
        """Row of each node id in the node table, -1 for an id without a node record."""
        if len(self.ids) == 0:
            return np.full(len(node_ids), -1, dtype=np.int64)
        at = np.searchsorted(self.ids, node_ids).astype(np.int64)
        at[at == len(self.ids)] = 0
        at[self.ids[at] != node_ids] = -1
        return at

    def _largest_strong_component(self) -> I64:
        """Rows of the largest set of nodes that all reach one another (arcs only)."""
        n = len(self.ids)
        heads, tails = self._arc_rows
        if len(heads) == 0:
            return np.zeros(0, dtype=np.int64)
        matrix = csr_matrix((np.ones(len(heads), dtype=np.int8), (heads, tails)), shape=(n, n))
        _, labels = connected_components(matrix, directed=True, connection="strong")
        touched = np.zeros(n, dtype=bool)
        touched[heads] = True
        sizes = np.bincount(labels[touched])
        return np.flatnonzero(touched & (labels == int(np.argmax(sizes))))

    def snapper(self, main_component: bool) -> Snapper:
        if main_component:
            return self.main_snapper
        if self._any_snapper is None:
            self._any_snapper = Snapper.over(self.lat, self.lon, self.routable_rows)
        return self._any_snapper

    def arcs_along(self, rows: I64, totals: tuple[float, float, float] | None = None) -> I64:
        """Edge index of each leg of a path of node rows (-1 where no arc joins the two).

        Where parallel arcs join two nodes, the one taken is the one that makes
        the legs add up to ``totals`` (distance, risk, familiarity: the route's
        own sums); without them, or when none does, the shortest.  The one
        place that chooses among parallel arcs.
        """
        if self._arc_keys is None:
            heads, tails = self._arc_rows
            keys = heads * len(self.ids) + tails
            order = np.lexsort((self._linked_edges, self.distance_m[self._linked_edges], keys))
            self._arc_keys = keys[order]
            self._arc_pick = self._linked_edges[order]
        assert self._arc_pick is not None
        keys, picks = self._arc_keys, self._arc_pick
        wanted = rows[:-1] * len(self.ids) + rows[1:]
        if len(keys) == 0:
            return np.full(len(wanted), -1, dtype=np.int64)
        first = np.searchsorted(keys, wanted, side="left")
        count = np.searchsorted(keys, wanted, side="right") - first
        chosen: I64 = np.where(count > 0, picks[np.minimum(first, len(keys) - 1)], -1)
        parallel = np.flatnonzero(count > 1)
        if totals is not None and len(parallel):
            chosen = self._agreeing(chosen, parallel, first, count, totals)
        return chosen

    def _agreeing(self, chosen: I64, parallel: I64, first: I64, count: I64,
                  totals: tuple[float, float, float]) -> I64:
        """``chosen`` with the parallel legs' arcs set so that the legs add up to ``totals``."""
        assert self._arc_pick is not None
        columns = np.column_stack((self.distance_m, self.risk, self.familiarity))
        # Only arcs that differ in cost are alternatives; equal ones stay the shortest.
        options = []
        for leg in parallel.tolist():
            edges = self._arc_pick[first[leg]:first[leg] + count[leg]]
            _, distinct = np.unique(columns[edges], axis=0, return_index=True)
            options.append(edges[np.sort(distinct)])
        if math.prod(len(o) for o in options) > 4096:
            return chosen
        target = np.array(totals)
        scale = np.maximum(np.abs(target), 1e-9)
        base = columns[chosen[chosen >= 0]].sum(axis=0) - columns[chosen[parallel]].sum(axis=0)
        best, best_error = None, math.inf
        for combination in itertools.product(*options):
            error = float((np.abs(base + columns[list(combination)].sum(axis=0) - target)
                           / scale).sum())
            if error < best_error:
                best, best_error = combination, error
        out = chosen.copy()
        if best is not None and best_error < 1e-6:
            out[parallel] = best
        return out


def _heights(nodes: Sequence[Any], keep: I64) -> F64 | None:
    """The ``ele`` of each kept node record, or None when no record has one."""
    if not any(isinstance(n, Mapping) and "ele" in n for n in nodes):
        return None
    values = [n.get("ele") if isinstance(n, Mapping) else None for n in nodes]
    column = np.array(values, dtype=np.float64)
    heights: F64 = column[keep]
    return heights


#: Per-arc figures of the import besides the stress level: riding time in
#: seconds, metres climbed and descended, steepest grade in %.
ARC_NUMBERS = ("time_s", "climb_m", "descent_m", "grade")


class ArcAttributes:
    """What the map says about each arc: way, street name, class, stress level, surface.

    Way, name, class and surface belong to a way, so they are kept once per
    way and each arc points at its way's row; the stress level belongs to the
    direction of travel and is kept per arc.
    """

    WAY_KEYS = ("way_id", "name", "highway", "surface")

    def __init__(self, row_of_edge: npt.NDArray[np.int64], rows: dict[str, list[Any]],
                 lts: list[Any], numbers: dict[str, F64] | None = None) -> None:
        self.row_of_edge = row_of_edge
        self.rows = rows
        self.lts = lts
        #: ARC_NUMBERS per arc (NaN where an arc lacks one); only those some arc has.
        self.numbers = numbers or {}
        self.node_ele: F64 | None = None

    @classmethod
    def of(cls, edges: Sequence[Any]) -> ArcAttributes | None:
        """The annotations of a document's arcs, or None when no arc carries any."""
        objects = [e if type(e) is dict else (e if isinstance(e, Mapping) else {}) for e in edges]
        if not any(not e.keys().isdisjoint(ARC_ATTRIBUTES) for e in objects):
            return None
        lts = list(map(methodcaller("get", "lts"), objects))
        numbers = {}
        for key in ARC_NUMBERS:
            if key in objects[0] or any(key in e for e in objects):
                values = np.array(list(map(methodcaller("get", key), objects)), dtype=object)
                values[[not isinstance(v, (int, float)) for v in values]] = np.nan
                numbers[key] = values.astype(np.float64)
        try:
            way_ids = np.fromiter(map(itemgetter("way_id"), objects), dtype=np.int64,
                                  count=len(objects))
        except (KeyError, TypeError, ValueError, OverflowError):
            # Not every arc names an integer way: keep every arc's own values.
            rows = {key: list(map(methodcaller("get", key), objects)) for key in cls.WAY_KEYS}
            return cls(np.arange(len(objects), dtype=np.int64), rows, lts, numbers)
        _, first, inverse = np.unique(way_ids, return_index=True, return_inverse=True)
        leaders = [objects[i] for i in first.tolist()]
        rows = {key: list(map(methodcaller("get", key), leaders)) for key in cls.WAY_KEYS}
        return cls(inverse.astype(np.int64).reshape(-1), rows, lts, numbers)

    def arcs_of(self, edges: I64) -> list[Arc]:
        """:meth:`arc` of each edge index (-1: an empty ``Arc``), the figures read at once."""
        valid = edges >= 0
        at = np.where(valid, edges, 0)
        rows = self.row_of_edge[at].tolist()
        way, name, highway, surface = (self.rows[k] for k in self.WAY_KEYS)
        lts = self.lts
        figures = {key: [None if math.isnan(v) else v for v in column[at].tolist()]
                   for key, column in self.numbers.items()}
        out = []
        for k, (edge, row) in enumerate(zip(edges.tolist(), rows)):
            if edge < 0:
                out.append(Arc())
                continue
            out.append(Arc(way[row], name[row], highway[row], lts[edge], surface[row],
                           **{key: values[k] for key, values in figures.items()}))
        return out

    def arc(self, edge: int) -> Arc:
        row = int(self.row_of_edge[edge])
        rows = self.rows
        figures = {key: None if math.isnan(v := float(column[edge])) else v
                   for key, column in self.numbers.items()}
        return Arc(way_id=rows["way_id"][row], name=rows["name"][row],
                   highway=rows["highway"][row], lts=self.lts[edge],
                   surface=rows["surface"][row], **figures)


def _frozen(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    view = array.view()
    view.flags.writeable = False
    return view


@dataclass(frozen=True)
class Nodes:
    """The map's nodes: one row per distinct node id, in ascending id order.

    The arrays are read-only views of the router's own; a row number is an
    index into all three.
    """

    #: Node ids (``uint64``), ascending.
    ids: U64
    #: Latitude and longitude of each node, in degrees (``float64``).
    lat: F64
    lon: F64

    def __len__(self) -> int:
        return len(self.ids)


@dataclass(frozen=True)
class Arcs:
    """The map's arcs in document order, with what the map says about each.

    The arrays are read-only views, one entry per arc; an arc's index is its
    position in the graph document.
    """

    #: Node ids at the start and end of each arc (``uint64``).
    source: U64
    target: U64
    #: Rows of those nodes in :class:`Nodes`, -1 for an id that no node record places.
    source_row: I64
    target_row: I64
    distance_m: F64
    risk: F64
    familiarity: F64
    #: Level of Traffic Stress of each arc, 1 (calm) to 4 (heavy traffic); 0 where unknown.
    lts: npt.NDArray[np.int8]
    _attributes: ArcAttributes | None = field(default=None, repr=False)

    def __len__(self) -> int:
        return len(self.source)

    @property
    def annotated(self) -> bool:
        """Whether the map carries annotations (way, name, class, stress, surface)."""
        return self._attributes is not None

    def arc(self, index: int) -> Arc:
        """What the map says about one arc (every field None on a map without annotations)."""
        if self._attributes is None:
            if not -len(self.source) <= index < len(self.source):
                raise IndexError(f"arc index {index} out of range")
            return Arc()
        return self._attributes.arc(index)
