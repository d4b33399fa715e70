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


_PLACE = ("a place as LAT,LON in degrees, an OpenStreetMap node id of the map, or the name "
          "of a town, village or street of the map (see /places)")
_PROFILE = _query("profile", "the cycling profile whose map answers, one of those the service "
                             "was started with (default: the first)", False)
_MAX_DISTANCE = _query("max_distance_m", "farthest a point may lie from the map's network, in "
                                         "metres", False,
                       {"type": "number", "minimum": 0, "default": 500})

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
                       {"type": "number", "minimum": 0, "default": 0.1}),
                _PROFILE, _MAX_DISTANCE],
            "responses": {
                "200": {"description": "a GeoJSON FeatureCollection, one LineString Feature "
                                       "per route (shortest, safest, balanced; one whose path "
                                       "repeats an earlier one left out), with the nodes the "
                                       "routes start and end at as `origin` and `destination`",
                        "content": {"application/json": {"schema": {"type": "object"}}}},
                "400": _error("a parameter missing, unreadable or unknown"),
                "404": _error("no route joins the two places"),
                "422": _error("a place too far from the map, a node id it lacks, or a name it "
                              "lacks or that several places answer (`candidates`)"),
                "500": _error("the worker answering died"),
                "503": _error("every worker busy and the queue full"),
                "504": _error("the request took longer than the service's timeout")}}},
        "/nearest": {"get": {
            "summary": "The routable node nearest to a point",
            "parameters": [_query("lat", "latitude in degrees", schema={"type": "number"}),
                           _query("lon", "longitude in degrees", schema={"type": "number"}),
                           _PROFILE, _MAX_DISTANCE],
            "responses": {
                "200": {"description": "`node`, its `lat` and `lon`, and `distance_m` from the "
                                       "point",
                        "content": {"application/json": {"schema": {"type": "object"}}}},
                "400": _error("a parameter missing, unreadable or unknown"),
                "422": _error("the point is too far from the map")}}},
        "/places": {"get": {
            "summary": "Towns, villages and streets of the map, by name, for a search box",
            "parameters": [
                _query("q", "the name or its start; accents and case are ignored, and "
                            "\"NAME, TOWN\" keeps the places of that town"),
                _query("limit", "most places answered", False,
                       {"type": "integer", "minimum": 1, "maximum": 100, "default": 10}),
                _PROFILE],
            "responses": {
                "200": {"description": "`places`: each with `name`, `kind` (the OpenStreetMap "
                                       "place value, or `street`), `lat`, `lon`, `town` and "
                                       "`label` (what finds it again), best first",
                        "content": {"application/json": {"schema": {"type": "object"}}}},
                "400": _error("a parameter missing, unreadable or unknown")}}},
        "/health": {"get": {
            "summary": "Map, worker and queue state",
            "responses": {
                "200": {"description": "at least one worker ready",
                        "content": {"application/json": {"schema": {"type": "object"}}}},
                "503": {"description": "no worker ready"}}}},
        "/network": {"get": {
            "summary": "The streets as GeoJSON, one MultiLineString per traffic stress level",
            "parameters": [_PROFILE],
            "responses": {"200": {"description": "GeoJSON FeatureCollection",
                                  "content": {"application/geo+json": {}}}}}},
        "/background": {"get": {
            "summary": "Water, parks, woods, rivers and place names of the extract, as GeoJSON",
            "responses": {"200": {"description": "GeoJSON FeatureCollection: areas and lines "
                                                 "by `kind`, places as Points with `name` and "
                                                 "`rank` (empty for a graph document)",
                                  "content": {"application/geo+json": {}}}}}},
        "/openapi.json": {"get": {
            "summary": "This description",
            "responses": {"200": {"description": "OpenAPI 3.1",
                                  "content": {"application/json": {}}}}}},
    },
    "components": {"schemas": {"Error": {
        "type": "object", "required": ["error"],
        "properties": {"error": {"type": "string", "description": "what went wrong, in English"}},
        "additionalProperties": True}}},
}
