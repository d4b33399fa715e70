"""Turn-by-turn directions: the steps a rider needs to follow a route.

A step is announced only where the rider has something to do or to know:
where the route turns at a junction (a node with more than two neighbours on
the map), where the street changes name, at via points, at a U-turn, and at
both ends. A street that bends between junctions, or a short unnamed piece
(a crossing) between two stretches of the same street, gives no step.

Every English word of the instructions is in :data:`WORDS`, :data:`ROADS`
and :data:`HEADINGS`, so that a translation replaces three tables.
"""

from __future__ import annotations

import math
from bisect import bisect_left, bisect_right
from collections.abc import Sequence
from dataclasses import dataclass
from operator import attrgetter
from typing import TYPE_CHECKING, Any

import numpy as np

from velorin.legs import Legs

_NAME, _KIND = attrgetter("name"), attrgetter("highway")

if TYPE_CHECKING:
    from velorin.route import Arc, Route

#: Instruction patterns, by maneuver. ``{road}`` is a street's name or a
#: word for its kind (:data:`ROADS`), ``{turn}`` a word of :data:`TURNS`.
WORDS = {
    "depart": "Head {heading} on {road}",
    "turn": "Turn {turn} onto {road}",
    "continue": "Continue onto {road}",
    "u-turn": "Make a U-turn onto {road}",
    "via": "Reach via point {number}, then {then}",
    "arrive": "Arrive at the destination",
    "depart-unknown": "Start on {road}",
}

#: How each turn direction reads inside an instruction.
TURNS = {
    "left": "left", "right": "right",
    "slight left": "slightly left", "slight right": "slightly right",
    "sharp left": "sharp left", "sharp right": "sharp right",
}

#: How an unnamed way reads, by its OpenStreetMap class.
ROADS = {
    "cycleway": "the cycle path", "path": "the path", "footway": "the footpath",
    "bridleway": "the bridleway", "track": "the track", "steps": "the steps",
    "pedestrian": "the pedestrian street", "living_street": "the living street",
    "service": "the service road", "residential": "the street",
    "unclassified": "the road", "tertiary": "the road", "secondary": "the road",
    "primary": "the main road", "trunk": "the main road",
    None: "the road",
}
_DEFAULT_ROAD = "the way"

#: Compass headings, clockwise from north, in eighths of a turn.
HEADINGS = ("north", "north-east", "east", "south-east", "south", "south-west", "west",
            "north-west")

# Angles in degrees: below STRAIGHT a turn is straight on; from it to SLIGHT
# slight; to SHARP a plain turn; to U_TURN sharp; beyond, back where one came.
STRAIGHT, SLIGHT, SHARP, U_TURN = 20.0, 45.0, 120.0, 165.0
#: Least turn at a junction that the rider is told about when the name stays.
TURN_AT_JUNCTION = 35.0
#: Bearings at a node are taken this far along the route on either side, so
#: that a short shape segment at a junction does not decide the turn.
BEARING_REACH_M = 15.0
#: A piece of another street shorter than this between two stretches of the
#: same street (a crossing, a short bridge) is not announced.
SHORT_PIECE_M = 20.0
#: Steps closer than this are one decision (a jog across a wide junction).
MERGE_M = 20.0


@dataclass(frozen=True, slots=True)
class Step:
    """One instruction of a route's directions.

    ``index`` is the position of the step's node in the route's ``path`` and
    ``coordinates``; ``distance_m`` runs from it to the next step (0.0 at the
    arrival). ``maneuver`` is "depart", "turn", "continue" (straight on into
    another street), "u-turn", "via" or "arrive"; ``direction`` the turn's
    side and strength ("left", "slight right", "sharp left", "straight";
    None at both ends). ``angle_deg`` is the signed turn, positive to the
    right; ``bearing_deg`` the compass heading the rider leaves on (None at
    the arrival). ``name`` and ``highway`` describe the way entered.
    """

    maneuver: str
    direction: str | None
    name: str | None
    highway: str | None
    index: int
    lat: float
    lon: float
    distance_m: float
    angle_deg: float
    bearing_deg: float | None
    instruction: str
    #: Number of the via point (1 for the first) for a "via" step.
    via: int | None = None

    def to_json(self) -> dict[str, Any]:
        """The step as plain JSON values."""
        return {"maneuver": self.maneuver, "direction": self.direction, "name": self.name,
                "highway": self.highway, "index": self.index, "lat": self.lat,
                "lon": self.lon, "distance_m": self.distance_m, "angle_deg": self.angle_deg,
                "bearing_deg": self.bearing_deg, "via": self.via,
                "instruction": self.instruction}


def directions(route: Route) -> tuple[Step, ...]:
    """The steps of a route, from the departure to the arrival."""
    return steps_of(route.coordinates, route.arcs, route.node_degrees, route.via_indices,
                    geometry=route.shape)


def steps_of(coordinates: Sequence[tuple[float, float]], arcs: Sequence[Arc] = (),
             degrees: Sequence[int] = (), vias: Sequence[int] = (), *,
             geometry: Legs | None = None) -> tuple[Step, ...]:
    """The steps along ``coordinates`` (one ``(lat, lon)`` per node).

    ``arcs`` describe the legs (names and classes; without them only turns are
    announced), ``degrees`` give each node's number of neighbours on the map
    (without them every node counts as a junction), ``vias`` the positions
    of via points.
    """
    n = len(coordinates)
    geometry = geometry if geometry is not None else Legs(coordinates)
    points = geometry.points
    if n < 2:
        lat, lon = (float(points[0, 0]), float(points[0, 1])) if n else (np.nan, np.nan)
        return (Step("arrive", None, None, None, 0, lat, lon, 0.0, 0.0, None,
                     WORDS["arrive"]),)
    at = geometry.at
    annotated = len(arcs) == n - 1
    names: list[str | None] = list(map(_NAME, arcs)) if annotated else [None] * (n - 1)
    kinds: list[str | None] = list(map(_KIND, arcs)) if annotated else [None] * (n - 1)
    at_m = at.tolist()
    road, changes = _streets(names, kinds, at_m)
    via_at = {int(v): k + 1 for k, v in enumerate(vias) if 0 < int(v) < n - 1}

    # Candidate nodes: a change of street, a junction (turning there or not
    # is told by the bearings), a via point. Bearings are taken at these few
    # nodes only.
    if len(degrees) == n:
        junctions = [i for i in range(1, n - 1) if degrees[i] > 2]
    else:
        junctions = list(range(1, n - 1))
    lat, lon = points[:, 0].tolist(), points[:, 1].tolist()
    looked = sorted({0, *junctions, *changes, *via_at})
    back, ahead = _bearings(lat, lon, at_m, looked)
    turn = {i: (ahead[i] - back[i] + 540.0) % 360.0 - 180.0 for i in looked}  # + to the right
    wanted = sorted({i for i in junctions if abs(turn[i]) >= TURN_AT_JUNCTION}
                    | set(changes) | set(via_at))

    # Each step as [index, angle, road before, leg entered]; steps close
    # together merge into the first, which enters the last one's street.
    kept: list[list[Any]] = []
    for i in wanted:
        if kept and i not in via_at and kept[-1][0] not in via_at \
                and at_m[i] - at_m[kept[-1][0]] < MERGE_M:
            first = kept[-1][0]
            angle = (ahead[i] - back[first] + 540.0) % 360.0 - 180.0
            if road[i] == kept[-1][2] and abs(angle) < TURN_AT_JUNCTION:
                kept.pop()  # a jog that ends on the same street
            else:
                kept[-1][1], kept[-1][3] = angle, i
            continue
        kept.append([i, turn[i], road[i - 1], i])

    ahead_deg = ahead
    # Where each step is, then what it says: a step's distance runs to the next one.
    places = [0, *(k[0] for k in kept), n - 1]
    far = [at_m[e] - at_m[b] for b, e in zip(places, places[1:])] + [0.0]
    bearing0 = ahead_deg[0]
    first_road = _road(names[0], kinds[0])
    heading = HEADINGS[int(((bearing0 + 22.5) % 360.0) // 45.0)] if math.isfinite(bearing0) \
        else None
    text = (WORDS["depart"].format(heading=heading, road=first_road) if heading
            else WORDS["depart-unknown"].format(road=first_road))
    steps = [Step("depart", None, names[0], kinds[0], 0, lat[0], lon[0], far[0], 0.0,
                  _finite(bearing0), text)]
    for (i, angle, _, leg), metres in zip(kept, far[1:]):
        direction = _direction(angle)
        name, kind = names[leg], kinds[leg]
        maneuver = ("u-turn" if direction == "u-turn" else
                    "continue" if direction == "straight" else "turn")
        text = _instruction(maneuver, direction, _road(name, kind))
        via = via_at.get(i)
        if via is not None:
            text = WORDS["via"].format(number=via, then=text[0].lower() + text[1:])
            maneuver = "via"
        steps.append(Step(maneuver, direction, name, kind, i, lat[i], lon[i], metres, angle,
                          _finite(ahead_deg[leg]), text, via))
    steps.append(Step("arrive", None, None, None, n - 1, lat[-1], lon[-1], 0.0, 0.0, None,
                      WORDS["arrive"]))
    return tuple(steps)


def _bearings(lat: list[float], lon: list[float], at: list[float],
              nodes: list[int]) -> tuple[dict[int, float], dict[int, float]]:
    """Compass heading into each of ``nodes`` and out of it (0 north, 90 east), each over
    up to BEARING_REACH_M of the route.

    Over so short a reach the ground is flat: east-west degrees are shortened
    by the cosine of the latitude, taken once for the route.
    """
    n = len(at)
    middle = lat[n // 2]
    squeeze = math.cos(math.radians(middle)) if math.isfinite(middle) else 1.0
    degrees, atan2 = math.degrees, math.atan2
    back: dict[int, float] = {}
    ahead: dict[int, float] = {}
    for i in nodes:
        j = max(min(bisect_right(at, at[i] - BEARING_REACH_M) - 1, i - 1), 0)
        k = min(max(bisect_left(at, at[i] + BEARING_REACH_M), i + 1), n - 1)
        back[i] = degrees(atan2((lon[i] - lon[j]) * squeeze, lat[i] - lat[j])) % 360.0
        ahead[i] = degrees(atan2((lon[k] - lon[i]) * squeeze, lat[k] - lat[i])) % 360.0
    return back, ahead


def _streets(names: list[str | None], kinds: list[str | None],
             at: list[float]) -> tuple[list[str], list[int]]:
    """What each leg counts as for a change of street (its name, or its class when
    unnamed), and the nodes where that changes.

    A short piece between two stretches of one street counts as that street.
    """
    road = [name if name else (kind or "") + "\0" for name, kind in zip(names, kinds)]
    m = len(road)
    cuts = [0, *(i for i in range(1, m) if road[i] != road[i - 1]), m]
    absorbed = False
    for k in range(1, len(cuts) - 2):
        a, b, c = cuts[k - 1], cuts[k], cuts[k + 1]
        if road[a] == road[c] and at[c] - at[b] < SHORT_PIECE_M:
            road[b:c] = [road[a]] * (c - b)
            absorbed = True
    if absorbed:
        return road, [i for i in range(1, m) if road[i] != road[i - 1]]
    return road, cuts[1:-1]


def _road(name: str | None, kind: str | None) -> str:
    return name if name else ROADS.get(kind, _DEFAULT_ROAD)


def _direction(angle: float) -> str:
    size = abs(angle)
    if not size >= STRAIGHT:  # NaN where a node has no position: straight on
        return "straight"
    if size >= U_TURN:
        return "u-turn"
    side = "right" if angle > 0 else "left"
    if size < SLIGHT:
        return f"slight {side}"
    if size >= SHARP:
        return f"sharp {side}"
    return side


def _instruction(maneuver: str, direction: str, road: str) -> str:
    if maneuver == "turn":
        return WORDS["turn"].format(turn=TURNS[direction], road=road)
    return WORDS[maneuver].format(road=road)


def _finite(value: float) -> float | None:
    return value if math.isfinite(value) else None
