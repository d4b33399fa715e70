"""Safe cycling routes between places, on OpenStreetMap data.

    from velorin import Router
    router = Router.from_osm("monaco-latest.osm.pbf")
    for route in router.route((43.7308, 7.4197), (43.7447, 7.4297)):
        print(route, route.to_geojson()["geometry"]["type"])

The routing itself is done by the native extension ``velorin_core``.
"""

from typing import TYPE_CHECKING, Any

from velorin.errors import (AmbiguousPlace, NodeNotFound, NoRoute, OsmImportError,
                            PlaceNotFound, PointOutsideMap, RoutingError, VelorinError)
from velorin.ends import Place, PlaceError, SnappedPlace
from velorin.places import NamedPlace
from velorin.route import Arc, Route, Routes, to_geojson

if TYPE_CHECKING:
    from velorin.directions import Step
    from velorin.gpx import to_gpx
    from velorin.router import Router
    from velorin.segments import Segment

#: Names imported on first use, with the module that holds each: the router
#: brings numpy and scipy, and commands that only convert maps should not pay
#: for importing them.
_LAZY = {"Router": "velorin.router", "Step": "velorin.directions",
         "Segment": "velorin.segments", "to_gpx": "velorin.gpx"}


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("velorin")
    except metadata.PackageNotFoundError:
        # Run from a source tree that was never installed: the project file says.
        import tomllib
        from pathlib import Path

        project = Path(__file__).resolve().parent.parent / "pyproject.toml"
        try:
            return str(tomllib.loads(project.read_text(encoding="utf-8"))["project"]["version"])
        except (OSError, KeyError, tomllib.TOMLDecodeError):
            return "0+unknown"


if TYPE_CHECKING:
    #: The installed distribution's version, e.g. "0.1.0" (read on first use).
    __version__: str


def __getattr__(name: str) -> Any:
    if name == "__version__":
        return _version()
    if name in _LAZY:
        from importlib import import_module

        return getattr(import_module(_LAZY[name]), name)
    raise AttributeError(f"module 'velorin' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY) | {"__version__"})

__all__ = [
    "AmbiguousPlace", "Arc", "NamedPlace", "NoRoute", "NodeNotFound", "OsmImportError", "Place",
    "PlaceError", "PlaceNotFound", "PointOutsideMap", "Route", "Router", "Routes",
    "RoutingError",
    "Segment", "SnappedPlace", "Step", "VelorinError", "__version__", "to_geojson", "to_gpx",
]
