"""Several cycling profiles served at once: one map and one pool of workers per profile.

Each profile is its own graph (the profiles keep different ways and cost them
differently), so each has its own map in the server, for snapping and the
page, and its own workers, which hold that graph only. A request names its
profile (``/route?profile=mtb``); without one the first profile answers.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from velorin.maps import is_graph_document
from velorin.osm.profiles import DEFAULT_PROFILE, PROFILES
from velorin.service.maps import ServedMap
from velorin.service.workers import WorkerPool


@dataclass
class ServedProfile:
    """One profile's map and the workers that search it."""

    name: str
    map: ServedMap
    pool: WorkerPool


def profile_names(profiles: str | Sequence[str] | None,
                  map_path: str | os.PathLike[str]) -> list[str]:
    """The profiles to serve, checked: ``"city,mtb"``, ``["city", "mtb"]`` or None (the default).

    A graph document was converted with one profile already, so it is served
    as one map, named by the one profile given (or the default).
    """
    if profiles is None:
        names = [DEFAULT_PROFILE]
    elif isinstance(profiles, str):
        names = [p.strip() for p in profiles.split(",")]
    else:
        names = [str(p).strip() for p in profiles]
    unknown = [p for p in names if p not in PROFILES]
    if unknown or not names:
        raise ValueError(f"unknown profile {', '.join(map(repr, unknown)) or '(none)'}: "
                         f"choose among {', '.join(PROFILES)}, separated by commas")
    names = list(dict.fromkeys(names))  # each once, in the order given
    if len(names) > 1 and is_graph_document(map_path):
        raise ValueError(f"{Path(map_path).name} is a graph document, converted with one "
                         f"profile: serve several profiles from an OpenStreetMap extract")
    return names


def serve_profiles(map_path: str | os.PathLike[str], names: Sequence[str], *, workers: int,
                   timeout_s: float, queue: int, progress: bool | None = False,
                   push_bike: bool = False,
                   dem: str | os.PathLike[str] | None = None) -> dict[str, ServedProfile]:
    """Read MAP once per profile and make each profile's pool (started later, by the app)."""
    served: dict[str, ServedProfile] = {}
    try:
        for name in names:
            served_map = ServedMap.load(map_path, profile=name, progress=progress,
                                        push_bike=push_bike, dem=dem)
            # Built now rather than by the first /places request, on the event loop.
            served_map.router.place_index  # noqa: B018
            served[name] = ServedProfile(name, served_map,
                                         WorkerPool(served_map.graph_path, workers, timeout_s,
                                                    queue))
    except BaseException:
        for profile in served.values():
            profile.map.close()
        raise
    return served
