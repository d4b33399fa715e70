"""The errors of the velorin package.

Every error says what went wrong in English and what to do about it.  Where
the routing engine reported the fault, its own text is kept as ``detail``.
"""

from __future__ import annotations

from typing import Any


class VelorinError(Exception):
    """Base of every error that velorin raises on purpose."""


class OsmImportError(VelorinError):
    """The input could not be read as an OpenStreetMap extract."""


class RoutingError(VelorinError):
    """A route could not be computed.  ``detail`` is the engine's own message, if any."""

    def __init__(self, message: str, *, detail: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.detail = detail

    def __str__(self) -> str:
        return self.message

    def __reduce__(self) -> tuple[object, ...]:
        # Keyword-only fields are not in ``args``: without this an error
        # raised in a worker process could not be rebuilt in its parent.
        return (_rebuild, (type(self), self.message, dict(self.__dict__)))


def _rebuild(cls: type[RoutingError], message: str, state: dict[str, object]) -> RoutingError:
    error = cls.__new__(cls)
    RoutingError.__init__(error, message)
    error.__dict__.update(state)
    return error


class PointOutsideMap(RoutingError, ValueError):
    """A point lies farther from every routable node than the caller allows."""

    def __init__(self, message: str, *, lat: float, lon: float, distance_m: float,
                 max_distance_m: float) -> None:
        super().__init__(message)
        self.lat = lat
        self.lon = lon
        #: Great-circle distance to the nearest candidate node, in metres (inf on an empty map).
        self.distance_m = distance_m
        self.max_distance_m = max_distance_m


class NodeNotFound(RoutingError, KeyError):
    """A node id that the map does not have."""

    def __init__(self, message: str, *, node_id: int, detail: str | None = None) -> None:
        super().__init__(message, detail=detail)
        self.node_id = node_id


class NoRoute(RoutingError, LookupError):
    """The two ends are on the map but no route joins them."""

    def __init__(self, message: str, *, source: int, target: int,
                 detail: str | None = None) -> None:
        super().__init__(message, detail=detail)
        self.source = source
        self.target = target


class PlaceNotFound(RoutingError, LookupError):
    """A place name that the map does not know, or a map without place names."""

    def __init__(self, message: str, *, name: str) -> None:
        super().__init__(message)
        #: The name asked for.
        self.name = name


class AmbiguousPlace(PlaceNotFound):
    """A place name that several places of the map answer; ``candidates`` lists them."""

    def __init__(self, message: str, *, name: str, candidates: tuple[Any, ...]) -> None:
        super().__init__(message, name=name)
        #: The places the name may mean (:class:`velorin.places.NamedPlace`), best first.
        self.candidates = candidates
