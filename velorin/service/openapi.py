"""The service's OpenAPI description, served at ``/openapi.json`` for client generators."""

from __future__ import annotations

from typing import Any


def _error(description: str) -> dict[str, Any]:
    return {"description": description,
            "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}


def _query(name: str, description: str, required: bool = True,
           schema: dict[str, Any] | None = None) -> dict[str, Any]:
    return {"name": name, "in": "query", "required": required, "description": description,
            "schema": schema or {"type": "string"}}


_PLACE = "a place as LAT,LON in degrees, or an OpenStreetMap node id of the map"

DESCRIPTION: dict[str, Any] = {
    "openapi": "3.1.0",
    "info": {"title": "velorin route service", "version": "1",
             "description": "Shortest, safest and balanced cycling routes on one map."},
    "paths": {
        "/route": {"get": {
            "summary": "Routes between two places",
            "parameters": [
                _query("from", f"start: {_PLACE}"), _query("to", f"finish: {_PLACE}"),
                _query("eps", "search approximation: 0 exact, 0.1 (default) routes at most "
                              "10 % longer or riskier than the best", False,
                       {"type": "number", "minimum": 0, "default": 0.1})],
            "responses": {
                "200": {"description": "a GeoJSON FeatureCollection, one LineString Feature "
                                       "per route (shortest, safest, balanced; one whose path "
                                       "repeats an earlier one left out), with the nodes the "
                                       "routes start and end at as `origin` and `destination`",
                        "content": {"application/json": {"schema": {"type": "object"}}}},
                "400": _error("a parameter missing or unreadable"),
                "404": _error("no route joins the two places"),
                "422": _error("a place too far from the map, or a node id it lacks"),
                "500": _error("the worker answering died"),
                "503": _error("every worker busy and the queue full"),
                "504": _error("the request took longer than the service's timeout")}}},
        "/nearest": {"get": {
            "summary": "The routable node nearest to a point",
            "parameters": [_query("lat", "latitude in degrees", schema={"type": "number"}),
                           _query("lon", "longitude in degrees", schema={"type": "number"})],
            "responses": {
                "200": {"description": "`node`, its `lat` and `lon`, and `distance_m` from the "
                                       "point",
                        "content": {"application/json": {"schema": {"type": "object"}}}},
                "400": _error("a parameter missing or unreadable"),
                "422": _error("the point is too far from the map")}}},
        "/health": {"get": {
            "summary": "Map, worker and queue state",
            "responses": {
                "200": {"description": "at least one worker ready",
                        "content": {"application/json": {"schema": {"type": "object"}}}},
                "503": {"description": "no worker ready"}}}},
        "/network": {"get": {
            "summary": "The streets as GeoJSON, one MultiLineString per traffic stress level",
            "responses": {"200": {"description": "GeoJSON FeatureCollection",
                                  "content": {"application/geo+json": {}}}}}},
    },
    "components": {"schemas": {"Error": {
        "type": "object", "required": ["error"],
        "properties": {"error": {"type": "string", "description": "what went wrong, in English"}},
        "additionalProperties": True}}},
}
