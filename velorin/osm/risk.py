"""The Level of Traffic Stress risk model and the tag readers it relies on."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

_INF = math.inf

#: The kinds of ground a riding speed is given for.
GROUNDS = ("paved", "cobbles", "compacted", "unpaved", "rough", "unknown")


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

    Where heights are known (an elevation raster, or ``incline`` tags), the
    steepest grade of an arc multiplies its risk by a factor from
    ``climb_grade_factor``, ``descent_grade_factor`` or, downhill on loose
    ground, ``unpaved_descent_grade_factor``; and its riding time, from
    ``speed_kmh`` by ground (``walk_kmh`` and ``steps_kmh`` where the bike is
    pushed or carried), grows by ``climb_s_per_m`` for each metre climbed.

    An arc's risk is ``length_m * lts_risk_per_m[lts - 1]`` times the
    roughness factor (the largest of the ``surface``, ``tracktype`` and
    ``smoothness`` factors that the way's tags name, since all three describe
    the same ground, or ``unknown_trail_factor`` for a trail whose ground no
    tag describes), times the difficulty factor (the larger of the
    ``sac_scale`` and ``mtb:scale`` factors), times ``push_factor`` or
    ``steps_factor`` where the bike is walked, times ``contraflow_factor``
    when it rides against one-way traffic without a lane of its own, and
    never less than ``min_arc_risk``.  A factor of Infinity leaves the way
    out: that is how a profile says "not ridden".

    The defaults are those of the ``city`` profile; ``RiskModel.for_profile``
    gives another profile's.  Every field may be changed;
    ``RiskModel.from_mapping`` reads overrides from a JSON object
    (``--risk-model`` on the command line), starting from the defaults of the
    profile it names (``"profile": "mtb"``), else of ``city``.
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
    #: Multiplier by ``tracktype`` (grade1 is paved, grade5 soft ground).
    tracktype_factor: Mapping[str, float] = field(default_factory=lambda: {
        "grade1": 1.0, "grade2": 1.2, "grade3": 1.5, "grade4": 2.5, "grade5": 3.5,
    })
    #: Multiplier by ``smoothness``: how rideable the surface is, whatever it is made of.
    smoothness_factor: Mapping[str, float] = field(default_factory=lambda: {
        "excellent": 1.0, "good": 1.0, "intermediate": 1.1, "bad": 1.5, "very_bad": _INF,
        "horrible": _INF, "very_horrible": _INF, "impassable": _INF,
    })
    unknown_surface_factor: float = 1.0
    #: Multiplier for a ``path``, ``track`` or ``bridleway`` whose ground nothing
    #: describes: no ``surface``, ``tracktype`` or ``smoothness`` tag and no
    #: ``bicycle=designated``.  Such ways are mostly hiking trails and farm
    #: tracks, so the rider cannot count on riding them: ``city`` avoids them
    #: unless nothing else connects (more than a street of LTS 4 costs).
    unknown_trail_factor: float = 25.0
    #: Multiplier by ``sac_scale`` (hiking difficulty, on paths shared with walkers).
    sac_scale_factor: Mapping[str, float] = field(default_factory=lambda: {
        "hiking": 1.0, "mountain_hiking": _INF, "demanding_mountain_hiking": _INF,
        "alpine_hiking": _INF, "demanding_alpine_hiking": _INF, "difficult_alpine_hiking": _INF,
    })
    #: Multiplier by the grade of ``mtb:scale`` (0 to 6; "2+" and "2-" count as 2).
    mtb_scale_factor: Mapping[str, float] = field(default_factory=lambda: {
        "0": 1.0, "1": 1.5, "2": _INF, "3": _INF, "4": _INF, "5": _INF, "6": _INF,
    })
    #: Multiplier for walking the bike: footways and pedestrian streets kept by
    #: ``push_bike`` and ``bicycle=dismount`` ways.  Walking (about 5 km/h) takes
    #: three times as long as riding (about 15 km/h), and the route search knows
    #: only distance and risk, so the slower way is made costlier instead.
    push_factor: float = 3.0
    #: Multiplier for steps that a bicycle may use (``bicycle=yes|designated`` or
    #: ``ramp:bicycle=yes``): the bike is pushed up a ramp or carried.
    steps_factor: float = 5.0
    #: ``barrier`` values on a node that no bicycle gets past (``bicycle=yes``
    #: on the node overrides, ``bicycle=no`` blocks any barrier).
    blocking_barriers: frozenset[str] = frozenset({
        "stile", "turnstile", "full-height_turnstile", "kissing_gate", "fence", "wall",
        "hedge", "retaining_wall", "city_wall", "ditch", "wire_fence", "debris", "log",
    })
    #: Extra risk for riding against one-way traffic where no lane is marked for it.
    contraflow_factor: float = 1.25
    #: Riding speed in km/h by the ground a way is made of (see
    #: :func:`velorin.osm.ways.ground_of`), on the flat.
    speed_kmh: Mapping[str, float] = field(default_factory=lambda: {
        "paved": 16.0, "cobbles": 11.0, "compacted": 13.0, "unpaved": 10.0, "rough": 6.0,
        "unknown": 8.0,
    })
    #: Speed where the bike is pushed (``walk``) or carried up or down steps.
    walk_kmh: float = 4.5
    steps_kmh: float = 1.5
    #: Seconds added for every metre climbed (9 s: 400 m of height an hour).
    climb_s_per_m: float = 9.0
    #: Rows (grade up to %, risk factor), first match wins, for the steepest
    #: grade of an arc: climbing, descending made ground, descending loose ground
    #: (where a city bike's brakes and tyres give way first).
    climb_grade_factor: tuple[tuple[float, float], ...] = (
        (6, 1.0), (10, 1.5), (15, 3.0), (_INF, 6.0))
    descent_grade_factor: tuple[tuple[float, float], ...] = (
        (6, 1.0), (10, 1.3), (15, 2.0), (_INF, 4.0))
    unpaved_descent_grade_factor: tuple[tuple[float, float], ...] = (
        (4, 1.0), (8, 2.0), (12, 5.0), (_INF, 10.0))
    #: Name of the cycling profile whose defaults the model started from.
    profile: str = "city"
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
        base = cls.for_profile(values.get("profile", "city"))
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
        model = dataclasses.replace(base, **kwargs)
        model.validate()
        return model

    @classmethod
    def for_profile(cls, profile: str, **overrides: Any) -> RiskModel:
        """The defaults of a cycling profile (``city``, ``trekking``, ``mtb``), with overrides."""
        from velorin.osm.profiles import profile_defaults

        base = cls()
        values: dict[str, Any] = {"profile": profile}
        for name, value in profile_defaults(profile).items():
            current = getattr(base, name)
            values[name] = {**current, **value} if isinstance(current, Mapping) else value
        values.update(overrides)
        return cls(**values)

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
        for name in ("unknown_surface_factor", "unknown_trail_factor", "contraflow_factor"):
            if not (getattr(self, name) >= 0.0 and math.isfinite(getattr(self, name))):
                raise ValueError(f"{name} must be finite and non-negative")
        # Elsewhere Infinity is allowed: it leaves the way out rather than giving it an
        # infinite risk, so every arc written still has a finite one.
        for name in ("surface_factor", "tracktype_factor", "smoothness_factor",
                     "sac_scale_factor", "mtb_scale_factor", "push_factor", "steps_factor"):
            value = getattr(self, name)
            factors = value.values() if isinstance(value, Mapping) else [value]
            if any(not (isinstance(f, (int, float)) and f >= 0.0) for f in factors):
                raise ValueError(f"{name}: factors must be non-negative numbers "
                                 f"(Infinity leaves the way out)")
        for name in ("climb_grade_factor", "descent_grade_factor",
                     "unpaved_descent_grade_factor"):
            rows = getattr(self, name)
            if not rows or any(len(r) != 2 or not (r[1] >= 0.0 and math.isfinite(r[1]))
                               for r in rows) or rows[-1][0] != _INF:
                raise ValueError(f"{name}: rows of (grade up to %, finite factor >= 0), the "
                                 f"last for any grade (Infinity)")
        speeds = [*self.speed_kmh.values(), self.walk_kmh, self.steps_kmh]
        if any(not (isinstance(v, (int, float)) and v > 0.0 and math.isfinite(v))
               for v in speeds) or not set(self.speed_kmh) >= set(GROUNDS):
            raise ValueError(f"speeds must be finite and positive, and speed_kmh give one "
                             f"for each of {', '.join(GROUNDS)}")
        if not (self.climb_s_per_m >= 0.0 and math.isfinite(self.climb_s_per_m)):
            raise ValueError("climb_s_per_m must be finite and non-negative")
        from velorin.osm.profiles import check_profile

        check_profile(self.profile)
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

