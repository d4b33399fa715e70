"""Which ways a cyclist may use, from their highway class and access tags."""

from __future__ import annotations

from collections.abc import Mapping

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

