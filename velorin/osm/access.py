"""Which ways a cyclist may use, from their highway class and access tags."""

from __future__ import annotations

from collections.abc import Collection, Mapping

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


def has_bicycle_ramp(tags: Mapping[str, str]) -> bool:
    """True for steps with a ramp for pushing a bicycle (``ramp:bicycle=yes|left|right|both``)."""
    return tags.get("ramp:bicycle", "no") not in ("no", "separate")


def is_cyclable(tags: Mapping[str, str], push_bike: bool = False) -> bool:
    """True when the way is one a cyclist may use.

    With ``push_bike`` footways and pedestrian streets are kept too (unless
    bicycle=no), and so are ``bicycle=dismount`` ways, for a rider willing to
    walk the bike where riding is not allowed.  Steps are kept where a bicycle
    is allowed on them or they have a ramp for it.
    """
    highway = tags.get("highway")
    if highway is None or tags.get("area") == "yes":
        return False
    access = bicycle_access(tags)
    if access == "dismount" and not push_bike:
        return False
    if highway == "steps":
        return tags.get("bicycle") in ("yes", "designated") or (
            has_bicycle_ramp(tags) and access not in _FORBIDDEN)
    if highway in MOTOR_ROAD_CLASSES or tags.get("motorroad") == "yes":
        return tags.get("bicycle") in _PERMITTED
    if highway in PEDESTRIAN_CLASSES:
        if push_bike and highway != "bridleway":
            return access not in _FORBIDDEN
        return tags.get("bicycle") in _PERMITTED
    if highway in ROAD_CLASSES or highway in PATH_CLASSES:
        return access not in _FORBIDDEN
    return False


def is_walked(tags: Mapping[str, str]) -> bool:
    """True for a kept way on which the bike is pushed rather than ridden.

    That is a footway or pedestrian street without a bicycle permission, a
    ``bicycle=dismount`` way, or steps.
    """
    highway = tags.get("highway")
    if highway == "steps" or bicycle_access(tags) == "dismount":
        return True
    return highway in PEDESTRIAN_CLASSES and tags.get("bicycle") not in _PERMITTED


def barrier_blocks(tags: Mapping[str, str], blocking: Collection[str]) -> bool:
    """True when a ``barrier`` node stops a bicycle.

    The node's own ``bicycle`` tag decides first (``yes`` lets through even a
    stile with a gap beside it, ``no`` stops even a bollard); otherwise the
    barrier blocks when its kind is in ``blocking`` (stiles, turnstiles,
    fences...), and lets through the kinds that stop only motor vehicles
    (bollards, cycle barriers, gates left open to traffic).
    """
    bicycle = tags.get("bicycle")
    if bicycle in _PERMITTED or bicycle == "dismount":
        return False
    if bicycle in _FORBIDDEN:
        return True
    return tags.get("barrier") in blocking
