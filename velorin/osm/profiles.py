"""Cycling profiles: which kind of rider the imported graph is made for.

A profile is a set of defaults of the :class:`~velorin.osm.RiskModel`: which
trails and rough ways are ridden at all (a factor of Infinity leaves a way
out) and how much the ones kept cost.  ``city`` is an everyday bike on made
ground; ``trekking`` a touring bike that copes with rough tracks but not with
mountain trails; ``mtb`` a mountain bike that takes technical trails, at a
cost growing with their grade.
"""

from __future__ import annotations

import math
from typing import Any

_INF = math.inf

#: Profiles the import knows, the default first.
PROFILES: tuple[str, ...] = ("city", "trekking", "mtb")
DEFAULT_PROFILE = PROFILES[0]

# Only what differs from the RiskModel's own defaults, which are city's.
_DEFAULTS: dict[str, dict[str, Any]] = {
    "city": {},
    "trekking": {
        "tracktype_factor": {"grade4": 2.0, "grade5": 2.5},
        "smoothness_factor": {"bad": 1.3, "very_bad": 2.0, "horrible": 3.0},
        "mtb_scale_factor": {"1": 1.3},
        # A touring bike copes with most unmarked trails, at a cost.
        "unknown_trail_factor": 2.0,
        "speed_kmh": {"paved": 18.0, "cobbles": 13.0, "compacted": 16.0, "unpaved": 14.0,
                      "rough": 9.0, "unknown": 12.0},
        "climb_s_per_m": 8.0,
        "climb_grade_factor": ((8, 1.0), (12, 1.3), (18, 2.0), (_INF, 4.0)),
        "descent_grade_factor": ((8, 1.0), (12, 1.2), (18, 1.6), (_INF, 3.0)),
        "unpaved_descent_grade_factor": ((6, 1.0), (10, 1.5), (15, 3.0), (_INF, 6.0)),
    },
    "mtb": {
        # Loose ground is what the bike is made for: a fraction of city's penalty.
        "surface_factor": {"compacted": 1.05, "fine_gravel": 1.05, "gravel": 1.1,
                           "unpaved": 1.1, "dirt": 1.1, "earth": 1.1, "ground": 1.1,
                           "grass": 1.2, "woodchips": 1.1, "pebblestone": 1.15, "sand": 1.5,
                           "mud": 1.5, "rock": 1.3},
        "tracktype_factor": {"grade2": 1.0, "grade3": 1.05, "grade4": 1.1, "grade5": 1.2},
        "smoothness_factor": {"intermediate": 1.0, "bad": 1.0, "very_bad": 1.1, "horrible": 1.3,
                              "very_horrible": 1.8},
        # A penalty growing with the grade, so the easier trail wins when both exist.
        "mtb_scale_factor": {"1": 1.1, "2": 1.3, "3": 1.8, "4": 3.0, "5": 5.0},
        "sac_scale_factor": {"mountain_hiking": 1.3, "demanding_mountain_hiking": 2.0,
                             "alpine_hiking": 4.0},
        "steps_factor": 4.0,
        "unknown_trail_factor": 1.0,
        "speed_kmh": {"paved": 20.0, "cobbles": 15.0, "compacted": 18.0, "unpaved": 16.0,
                      "rough": 12.0, "unknown": 14.0},
        "climb_s_per_m": 7.0,
        # Steep ground is what the bike is for; only the steepest descents cost.
        "climb_grade_factor": ((15, 1.0), (25, 1.3), (_INF, 2.0)),
        "descent_grade_factor": ((12, 1.0), (20, 1.2), (_INF, 1.6)),
        "unpaved_descent_grade_factor": ((15, 1.0), (25, 1.5), (_INF, 3.0)),
    },
}


def check_profile(name: str) -> None:
    """Raise ValueError naming the known profiles when ``name`` is not one of them."""
    if name not in PROFILES:
        raise ValueError(f"unknown profile {name!r}: expected one of {', '.join(PROFILES)}")


def profile_defaults(name: str) -> dict[str, Any]:
    """The RiskModel fields a profile sets (mappings hold only the keys it changes)."""
    check_profile(name)
    return {key: dict(value) if isinstance(value, dict) else value
            for key, value in _DEFAULTS[name].items()}
