"""Cycling profiles: which kind of rider the imported graph is made for."""

from __future__ import annotations

#: Profiles the import knows, the default first.
PROFILES: tuple[str, ...] = ("city",)
DEFAULT_PROFILE = PROFILES[0]


def check_profile(name: str) -> None:
    """Raise ValueError naming the known profiles when ``name`` is not one of them."""
    if name not in PROFILES:
        raise ValueError(f"unknown profile {name!r}: expected one of {', '.join(PROFILES)}")
