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
from velorin.route import Arc, Route, to_geojson

if TYPE_CHECKING:
    from velorin.router import Router


def __getattr__(name: str) -> Any:
    # The router brings numpy and scipy; commands that only convert maps
    # should not pay for importing them.
    if name == "Router":
        from velorin import router

        return getattr(router, name)
    raise AttributeError(f"module 'velorin' has no attribute {name!r}")

__all__ = [
    "AmbiguousPlace", "Arc", "NamedPlace", "NoRoute", "NodeNotFound", "OsmImportError", "Place",
    "PlaceError", "PlaceNotFound", "PointOutsideMap", "Route", "Router", "RoutingError",
    "SnappedPlace", "VelorinError", "to_geojson",
]
