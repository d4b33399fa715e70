"""How each direction of a way is ridden: one-way rules, cycle infrastructure, stress level."""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from velorin.osm.access import MOTOR_ROAD_CLASSES, ROAD_CLASSES, is_cyclable, is_walked
from velorin.osm.risk import RiskModel, _first_number, parse_maxspeed

#: Classes whose ground is unknown unless a tag describes it: a ``path`` or
#: ``track`` without tags is as likely a mountain trail as a gravel lane.
TRAIL_CLASSES = frozenset({"path", "track", "bridleway"})

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


def _way_factor(tags: Mapping[str, str], model: RiskModel) -> float:
    """Risk multiplier of a way for its ground, its difficulty and walking; Infinity: not used."""
    # Surface, tracktype and smoothness describe the same ground: the worst one counts.
    described = ((model.surface_factor, tags.get("surface", "")),
                 (model.tracktype_factor, tags.get("tracktype", "")),
                 (model.smoothness_factor, tags.get("smoothness", "")))
    rough = [table[value] for table, value in described if value in table]
    if "surface" in tags and tags["surface"] not in model.surface_factor:
        rough.append(model.unknown_surface_factor)
    if not rough:
        if tags["highway"] in TRAIL_CLASSES and tags.get("bicycle") != "designated":
            rough.append(model.unknown_trail_factor)
        else:
            rough.append(model.unknown_surface_factor)
    factor = max(rough)
    # Hiking and mountain-bike grades both rate the trail: the harder one counts.
    difficulty = 1.0
    sac = tags.get("sac_scale", "")
    if sac in model.sac_scale_factor:
        difficulty = model.sac_scale_factor[sac]
    mtb = tags.get("mtb:scale", "").strip()[:1]
    if mtb in model.mtb_scale_factor:
        difficulty = max(difficulty, model.mtb_scale_factor[mtb])
    factor *= difficulty
    if tags["highway"] == "steps":
        factor *= model.steps_factor
    elif is_walked(tags):
        factor *= model.push_factor
    # 0 times Infinity: one of the factors still says "not used".
    return math.inf if math.isnan(factor) else factor


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

    way_factor = _way_factor(tags, model)
    if way_factor == math.inf:
        return None

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
        risk = model.lts_risk_per_m[lts - 1] * way_factor
        if contraflow and kind == "none":
            risk *= model.contraflow_factor
        result[d] = Direction(lts=lts, risk_per_m=risk, contraflow=contraflow)
    if result[1] is None and result[-1] is None:
        return None
    return WayProfile(forward=result[1], backward=result[-1])


_GROUND_OF_SURFACE = {
    **dict.fromkeys(("paved", "asphalt", "concrete", "concrete:plates", "concrete:lanes",
                     "paving_stones", "metal", "wood", "chipseal"), "paved"),
    **dict.fromkeys(("sett", "cobblestone", "unhewn_cobblestone", "pebblestone"), "cobbles"),
    **dict.fromkeys(("compacted", "fine_gravel"), "compacted"),
    **dict.fromkeys(("gravel", "unpaved", "dirt", "earth", "ground", "woodchips"), "unpaved"),
    **dict.fromkeys(("grass", "sand", "mud", "rock"), "rough"),
}
_GROUND_OF_TRACKTYPE = {"grade1": "paved", "grade2": "compacted", "grade3": "unpaved",
                        "grade4": "rough", "grade5": "rough"}
_ROUGH_SMOOTHNESS = frozenset({"bad", "very_bad", "horrible", "very_horrible", "impassable"})
#: Grounds on which a steep descent is a descent on loose ground.
LOOSE_GROUNDS = frozenset({"unpaved", "rough", "unknown"})


def ground_of(tags: Mapping[str, str]) -> str:
    """What a way is made of, for its riding speed: one of ``velorin.osm.risk.GROUNDS``.

    ``surface`` first, then ``tracktype``; a bad ``smoothness`` makes any ground
    rough; a trail that no tag describes (as for ``unknown_trail_factor``) is
    ``unknown``, and every other way without tags ``paved``.
    """
    if tags.get("smoothness") in _ROUGH_SMOOTHNESS:
        return "rough"
    ground = _GROUND_OF_SURFACE.get(tags.get("surface", "")) or \
        _GROUND_OF_TRACKTYPE.get(tags.get("tracktype", ""))
    if ground:
        return ground
    if "surface" in tags or "tracktype" in tags or "smoothness" in tags:
        return "unpaved" if tags.get("highway") in TRAIL_CLASSES else "paved"
    if tags.get("highway") in TRAIL_CLASSES and tags.get("bicycle") != "designated":
        return "unknown"
    return "paved"


def flat_speed_m_s(tags: Mapping[str, str], model: RiskModel) -> float:
    """Riding speed of a way on the flat, in m/s: by its ground, or walking pace."""
    if tags.get("highway") == "steps":
        return model.steps_kmh / 3.6
    if is_walked(tags):
        return model.walk_kmh / 3.6
    return model.speed_kmh[ground_of(tags)] / 3.6


def grade_factor(grade_pct: float, loose: bool, model: RiskModel) -> float:
    """Risk factor of an arc whose steepest grade is ``grade_pct`` (negative downhill)."""
    rows = (model.climb_grade_factor if grade_pct >= 0 else
            model.unpaved_descent_grade_factor if loose else model.descent_grade_factor)
    steep = abs(grade_pct)
    for limit, factor in rows:
        if steep <= limit:
            return float(factor)
    return float(rows[-1][1])
