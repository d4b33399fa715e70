"""A deliberately literal Python model of the route search and route selection.

It follows the rules the way a reader states them, without any of the engine's
shortcuts: a coordinate dict rebuilt per request (later duplicate records win),
a binary heap written out with its exact sift moves, labels that each carry a
full copy of their path, per-node Pareto sets as plain lists scanned in full,
and the solution set kept by the same insert. Two additions keep every search
finite, as in the engine:

- an extension to a node already on the label's own path is pushed only when
  the cost at that earlier visit dominates the new cost;
- a popped label is discarded when its node has already settled a label of
  exactly the same distance and risk (equal-cost labels would otherwise all be
  settled and extended, and multiply exponentially).

Tests compare the engine's answers with this model's, bit for bit.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass
from decimal import ROUND_HALF_EVEN, Decimal, localcontext

DEG = 0.017453292519943295
DIAMETER_M = 12742000.0
RISK_WEIGHT = 500.0
FAMILIARITY_WEIGHT = -200.0
SPEED_M_PER_MIN = 66.67


def total_order(x: float) -> int:
    """An int that sorts like the IEEE 754 totalOrder predicate on doubles."""
    (bits,) = struct.unpack("<q", struct.pack("<d", x))
    return bits ^ 0x7FFF_FFFF_FFFF_FFFF if bits < 0 else bits


def dominates(a: tuple[float, float], b: tuple[float, float]) -> bool:
    return a[0] <= b[0] and a[1] <= b[1] and (a[0] < b[0] or a[1] < b[1])


@dataclass
class Label:
    key: float
    node: int
    distance: float
    risk: float
    familiarity: float
    path: list[int]
    visits: list[tuple[float, float]]  # (distance, risk) at each node of `path`


def key_better(x: float, y: float) -> bool | None:
    """True/False when the keys decide, None when they tie (NaN ties with NaN)."""
    if math.isnan(x) or math.isnan(y):
        if math.isnan(x) and math.isnan(y):
            return None
        return not math.isnan(x)
    if x == y:
        return None
    return x < y


def better(x: Label, y: Label) -> bool:
    by_key = key_better(x.key, y.key)
    if by_key is not None:
        return by_key
    if total_order(x.distance) != total_order(y.distance):
        return total_order(x.distance) < total_order(y.distance)
    return total_order(x.risk) < total_order(y.risk)


class Heap:
    """Binary heap in an array: children of i at 2i+1 and 2i+2."""

    def __init__(self) -> None:
        self.a: list[Label] = []

    def __len__(self) -> int:
        return len(self.a)

    def _sift_up(self, pos: int, item: Label) -> None:
        a = self.a
        while pos > 0:
            parent = (pos - 1) // 2
            if better(item, a[parent]):
                a[pos] = a[parent]
                pos = parent
            else:
                break
        a[pos] = item

    def push(self, item: Label) -> None:
        self.a.append(item)
        self._sift_up(len(self.a) - 1, item)

    def pop(self) -> Label:
        a = self.a
        last = a.pop()
        if not a:
            return last
        best = a[0]
        # The hole walks down to a leaf into the better child, the right one
        # on equality; then the last label is placed there and sifted up.
        end = len(a)
        pos = 0
        child = 1
        while child < end:
            right = child + 1
            if right < end and not better(a[child], a[right]):
                child = right
            a[pos] = a[child]
            pos = child
            child = 2 * pos + 1
        self._sift_up(pos, last)
        return best


def c_math(f, *args) -> float:
    """math.f, but NaN where Python raises and C returns NaN."""
    try:
        return f(*args)
    except ValueError:
        return math.nan


def heuristic(lat: float, lon: float, t_lat: float, t_lon: float, cos_t: float) -> float:
    s_lon = c_math(math.sin, (t_lon - lon) * DEG * 0.5)
    s_lat = c_math(math.sin, (t_lat - lat) * DEG * 0.5)
    a = (cos_t * c_math(math.cos, lat * DEG)) * (s_lon * s_lon) + s_lat * s_lat
    return math.atan2(c_math(math.sqrt, a), c_math(math.sqrt, 1.0 - a)) * DIAMETER_M


def pareto_insert(entries: list[Label], label: Label) -> None:
    for e in entries:
        if dominates((e.distance, e.risk), (label.distance, label.risk)):
            return
    entries[:] = [e for e in entries
                  if not dominates((label.distance, label.risk), (e.distance, e.risk))]
    entries.append(label)


def astar_pex(nodes, edges, coords, source, target, eps) -> list[Label]:
    adjacency: dict[int, list[tuple]] = {}
    for e in edges:
        adjacency.setdefault(e[0], []).append(e)
    t_lat, t_lon = coords[target]
    factor = 1.0 + eps
    cos_t = c_math(math.cos, t_lat * DEG)
    heap = Heap()
    heap.push(Label(0.0, source, 0.0, 0.0, 0.0, [source], [(0.0, 0.0)]))
    sets: dict[int, list[Label]] = {}
    solutions: list[Label] = []
    while heap:
        label = heap.pop()
        if any(s.distance <= factor * label.distance and s.risk <= factor * label.risk
               for s in solutions):
            continue
        own = sets.get(label.node)
        if own is not None and any(
                dominates((e.distance, e.risk), (label.distance, label.risk))
                or (e.distance == label.distance and e.risk == label.risk) for e in own):
            continue
        pareto_insert(sets.setdefault(label.node, []), label)
        if label.node == target:
            pareto_insert(solutions, label)
            continue
        for (_, to, dist, risk, fam) in adjacency.get(label.node, []):
            d = label.distance + dist
            r = label.risk + risk
            f = label.familiarity + fam
            if to in label.path:
                earlier = label.visits[label.path.index(to)]
                if not dominates(earlier, (d, r)):
                    continue
            lat, lon = coords.get(to, (0.0, 0.0))
            h = heuristic(lat, lon, t_lat, t_lon, cos_t)
            key = ((d + r * RISK_WEIGHT) + f * FAMILIARITY_WEIGHT) + h
            heap.push(Label(key, to, d, r, f, label.path + [to], label.visits + [(d, r)]))
    return solutions


@dataclass
class Route:
    path: list[int]
    total_distance_m: float
    total_risk: float
    total_familiarity: float
    route_type: str
    estimated_time_min: float
    node_count: int
    comfort_score: float


def first_minimum(items, key):
    best = items[0]
    for s in items[1:]:
        if total_order(key(s)) < total_order(key(best)):
            best = s
    return best


def largest(values) -> float:
    best = -math.inf
    for v in values:
        if math.isnan(best) or best < v:
            best = v
    return best


def floor_one(x: float) -> float:
    return 1.0 if math.isnan(x) or x < 1.0 else x


def measure(s: Label, route_type: str) -> Route:
    try:
        comfort = math.exp(-2.0 * s.risk)
    except OverflowError:
        comfort = math.inf
    if comfort > 1.0:
        comfort = 1.0
    return Route(list(s.path), s.distance, s.risk, s.familiarity, route_type,
                 s.distance / SPEED_M_PER_MIN, len(s.path), comfort)


def select_routes(solutions: list[Label]) -> list[Route]:
    d_max = floor_one(largest(s.distance for s in solutions))
    r_max = floor_one(largest(s.risk for s in solutions))
    if len(solutions) == 1:
        picks = [solutions[0]] * 3
    else:
        picks = [
            first_minimum(solutions, lambda s: s.distance),
            first_minimum(solutions, lambda s: s.risk),
            first_minimum(solutions, lambda s: s.distance / d_max + s.risk / r_max),
        ]
    routes: list[Route] = []
    for pick, name in zip(picks, ("shortest", "safest", "balanced")):
        if any(r.path == pick.path for r in routes):
            continue
        routes.append(measure(pick, name))
    return routes


def fixed(x: float, digits: int) -> str:
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    # Decimal(x) is the exact binary value; enough precision for 309 digits.
    with localcontext(prec=400):
        q = Decimal(x).quantize(Decimal(1).scaleb(-digits), rounding=ROUND_HALF_EVEN)
    text = format(q, "f")
    if math.copysign(1.0, x) < 0 and not text.startswith("-"):
        text = "-" + text
    return text


def describe(r: Route) -> str:
    return (f"Route({r.route_type}, dist={fixed(r.total_distance_m, 0)}m, "
            f"risk={fixed(r.total_risk, 3)}, time={fixed(r.estimated_time_min, 1)}min)")


class RouteRefused(Exception):
    pass


def compute_safe_routes(doc: dict, source: int, target: int, eps: float) -> list[Route]:
    """The whole request on a graph document: checks, search, selection."""
    nodes = [(n["id"], float(n["lat"]), float(n["lon"])) for n in doc["nodes"]]
    edges = [(e["from"], e["to"], float(e["distance_m"]), float(e["risk_score"]),
              float(e.get("familiarity") or 0.0)) for e in doc["edges"]]
    coords: dict[int, tuple[float, float]] = {}
    for node_id, lat, lon in nodes:
        coords[node_id] = (lat, lon)
    if source not in coords:
        raise RouteRefused(f"Nœud source {source} introuvable dans le graphe")
    if target not in coords:
        raise RouteRefused(f"Nœud cible {target} introuvable dans le graphe")
    if not any(e[0] == source for e in edges):
        raise RouteRefused(
            f"Nœud source {source} isolé (aucun arc sortant) — graphe déconnecté ?")
    solutions = astar_pex(nodes, edges, coords, source, target, eps)
    if not solutions:
        raise RouteRefused(
            f"Aucun chemin trouvé entre {source} et {target}. "
            "Les nœuds sont peut-être dans des composantes déconnectées.")
    return select_routes(solutions)
