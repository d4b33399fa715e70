"""The service's OpenAPI description, served at ``/openapi.json`` for client generators.

Each endpoint carries its own part, given with :func:`described` where the
endpoint is defined; :func:`document` gathers them from the application's routes.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, TypeVar

from starlette.routing import BaseRoute, Route

from velorin.ends import DEFAULT_MAX_DISTANCE_M

#: How a place is written, for the parameters that take one.
PLACE = ("a place as LAT,LON in degrees, an OpenStreetMap node id of the map, or the name "
         "of a town, village or street of the map (see /places)")

Endpoint = TypeVar("Endpoint", bound=Callable[..., Any])


def described(*, summary: str, parameters: Sequence[dict[str, Any]] = (),
              responses: dict[str, Any]) -> Callable[[Endpoint], Endpoint]:
    """Attach an endpoint's OpenAPI operation (for ``GET``) to the endpoint itself."""
    operation: dict[str, Any] = {"summary": summary}
    if parameters:
        operation["parameters"] = list(parameters)
    operation["responses"] = responses

    def attach(endpoint: Endpoint) -> Endpoint:
        setattr(endpoint, "openapi", operation)
        return endpoint

    return attach


def error(description: str) -> dict[str, Any]:
    """A response whose body is the service's JSON error."""
    return {"description": description,
            "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}


def query(name: str, description: str, required: bool = True,
          schema: dict[str, Any] | None = None) -> dict[str, Any]:
    """A query parameter."""
    return {"name": name, "in": "query", "required": required, "description": description,
            "schema": schema or {"type": "string"}}


#: The parameters that several endpoints take.
PROFILE = query("profile", "the cycling profile whose map answers, one of those the service "
                           "was started with (default: the first)", False)
MAX_DISTANCE = query("max_distance_m", "farthest a point may lie from the map's network, in "
                                       "metres", False,
                     {"type": "number", "minimum": 0, "default": DEFAULT_MAX_DISTANCE_M})


def document(routes: Sequence[BaseRoute]) -> dict[str, Any]:
    """The OpenAPI 3.1 document of every route whose endpoint is :func:`described`."""
    paths = {route.path: {"get": getattr(route.endpoint, "openapi")} for route in routes
             if isinstance(route, Route) and hasattr(route.endpoint, "openapi")}
    return {
        "openapi": "3.1.0",
        "info": {"title": "velorin route service", "version": "1",
                 "description": "Shortest, safest and balanced cycling routes on one map."},
        "paths": paths,
        "components": {"schemas": {"Error": {
            "type": "object", "required": ["error"],
            "properties": {"error": {"type": "string",
                                     "description": "what went wrong, in English"}},
            "additionalProperties": True}}},
    }
