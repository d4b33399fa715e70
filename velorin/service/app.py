"""The HTTP service: a Starlette application in front of a pool of route workers.

Handlers only parse, delegate and serialise; a fault raises, and the
application's exception handlers turn it into its status and JSON body. Each
endpoint carries its own OpenAPI description (:func:`described`), from which
``/openapi.json`` is built. Snapping a point is quick and runs here, so a
point off the map is refused at once; route searches go to the worker
processes (see :mod:`velorin.service.workers`), so nothing that a request
asks for can stall the event loop.
"""

from __future__ import annotations

import gzip
import math
import os
from collections.abc import AsyncIterator, Mapping
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, Response
from starlette.routing import BaseRoute, Mount, Route
from starlette.staticfiles import StaticFiles

from velorin.errors import VelorinError
from velorin.ends import EXAMPLE, ParsedPlace, PlaceError, parse_place
from velorin.route import DEFAULT_EPS
from velorin.router import Router
from velorin.service.answers import RouteRequest, encode, error_body, error_reply
from velorin.service.maps import ServedMap
from velorin.service.openapi import PLACE, described, document, error, query
from velorin.service.workers import PoolError, WorkerPool

STATIC = Path(__file__).with_name("static")


class BadParameter(ValueError):
    """A query parameter that is missing or cannot be read."""

    def __init__(self, name: str, message: str) -> None:
        super().__init__(message)
        self.name = name


def default_workers() -> int:
    """One worker per core this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def create_app(map_path: str | os.PathLike[str], *, workers: int | None = None,
               timeout_s: float = 10.0, queue: int = 64, profile: str | None = None,
               progress: bool | None = False, push_bike: bool = False) -> Starlette:
    """The route service for MAP (an OpenStreetMap extract or a graph document).

    The map is read here (:func:`velorin.maps.read_map`), before anything is
    served, so that a bad file raises at once; the workers start with the
    application (its lifespan) and stop with it. ``timeout_s`` bounds each
    route request from its arrival; ``queue`` is how many requests may wait
    for a free worker.
    """
    workers = default_workers() if workers is None else workers
    if workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    if not (timeout_s > 0 and math.isfinite(timeout_s)):
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout_s}")
    if queue < 0:
        raise ValueError(f"queue must be 0 or more, not {queue}")
    served = ServedMap.load(map_path, profile=profile, progress=progress, push_bike=push_bike)
    pool = WorkerPool(served.graph_path, workers, timeout_s, queue)

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        try:
            await pool.start()
            yield
        finally:
            await pool.close()
            served.close()

    routes: list[BaseRoute] = [
        Route("/", page), Route("/route", route), Route("/nearest", nearest),
        Route("/health", health), Route("/network", network), Route("/openapi.json", openapi),
        Mount("/static", StaticFiles(directory=STATIC), name="static")]
    app = Starlette(routes=routes, lifespan=lifespan, exception_handlers=EXCEPTION_HANDLERS)
    app.state.map = served
    app.state.pool = pool
    app.state.openapi = document(routes)
    return app


# --- Endpoints ---------------------------------------------------------------

@described(
    summary="Routes between two places",
    parameters=[query("from", f"start: {PLACE}"), query("to", f"finish: {PLACE}"),
                query("eps", "search approximation: 0 exact, 0.1 (default) routes at most "
                             "10 % longer or riskier than the best", required=False,
                      schema={"type": "number", "minimum": 0, "default": DEFAULT_EPS})],
    responses={
        "200": {"description": "a GeoJSON FeatureCollection, one LineString Feature per route "
                               "(shortest, safest, balanced; one whose path repeats an "
                               "earlier one left out), with the nodes the routes start and end "
                               "at as `origin` and `destination`",
                "content": {"application/json": {"schema": {"type": "object"}}}},
        "400": error("a parameter missing or unreadable"),
        "404": error("no route joins the two places"),
        "422": error("a place too far from the map, or a node id it lacks"),
        "500": error("the worker answering died"),
        "503": error("every worker busy and the queue full"),
        "504": error("the request took longer than the service's timeout")})
async def route(request: Request) -> Response:
    """``GET /route?from=LAT,LON&to=LAT,LON&eps=0.1``: the routes as GeoJSON."""
    router: Router = request.app.state.map.router
    params = request.query_params
    origin, destination = _place(params, "from"), _place(params, "to")
    eps = _eps(params.get("eps"))
    # Snapped here, so that a point off the map costs no worker.
    ask = RouteRequest(router.snap(origin, end="origin"),
                       router.snap(destination, end="destination"), eps)
    status, body = await request.app.state.pool.submit(ask)
    return _reply(status, body)


@described(
    summary="The routable node nearest to a point",
    parameters=[query("lat", "latitude in degrees", schema={"type": "number"}),
                query("lon", "longitude in degrees", schema={"type": "number"})],
    responses={
        "200": {"description": "`node`, its `lat` and `lon`, and `distance_m` from the point",
                "content": {"application/json": {"schema": {"type": "object"}}}},
        "400": error("a parameter missing or unreadable"),
        "422": error("the point is too far from the map")})
async def nearest(request: Request) -> Response:
    """``GET /nearest?lat=..&lon=..``: the routable node nearest to a point."""
    router: Router = request.app.state.map.router
    lat, lon = (_number(request.query_params, name) for name in ("lat", "lon"))
    snapped = router.snap((lat, lon))
    return _json(200, {"node": snapped.node, "lat": snapped.lat, "lon": snapped.lon,
                       "distance_m": snapped.distance_m})


@described(
    summary="Map, worker and queue state",
    responses={"200": {"description": "at least one worker ready",
                       "content": {"application/json": {"schema": {"type": "object"}}}},
               "503": {"description": "no worker ready"}})
async def health(request: Request) -> Response:
    """``GET /health``: 200 while at least one worker can answer, 503 otherwise."""
    served: ServedMap = request.app.state.map
    pool = request.app.state.pool.status()
    alive = pool.alive > 0
    return _json(200 if alive else 503, {
        "status": "ok" if alive else "no worker ready", "map": served.name,
        "nodes": served.router.node_count, "arcs": served.arc_count,
        "workers": pool.workers, "workers_alive": pool.alive, "workers_busy": pool.busy,
        "queue": pool.queued, "queue_limit": pool.queue_limit,
        "workers_restarted": pool.restarts})


@described(
    summary="The streets as GeoJSON, one MultiLineString per traffic stress level",
    responses={"200": {"description": "GeoJSON FeatureCollection",
                       "content": {"application/geo+json": {}}}})
async def network(request: Request) -> Response:
    """``GET /network``: the streets as GeoJSON, one MultiLineString per traffic stress level."""
    body = request.app.state.map.network_gz
    headers = {"Vary": "Accept-Encoding", "Cache-Control": "no-cache"}
    if "gzip" in request.headers.get("accept-encoding", ""):
        headers["Content-Encoding"] = "gzip"
    else:
        body = gzip.decompress(body)
    return Response(body, media_type="application/geo+json", headers=headers)


async def openapi(request: Request) -> Response:
    return _json(200, request.app.state.openapi)


async def page(request: Request) -> Response:
    return FileResponse(STATIC / "index.html", headers={"Cache-Control": "no-cache"})


# --- Exception handlers --------------------------------------------------------

async def bad_parameter(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, BadParameter)
    return _json(400, error_body(str(exc), parameter=exc.name))


async def pool_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, PoolError)
    return _json(exc.status, error_body(str(exc), **exc.fields),
                 {"Retry-After": "1"} if exc.status == 503 else None)


async def known_error(request: Request, exc: Exception) -> Response:
    """A routing error, or an argument the package refused: its status and body."""
    return _reply(*error_reply(exc))


async def http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    return _json(exc.status_code, {"error": exc.detail}, exc.headers)


async def internal_error(request: Request, exc: Exception) -> Response:
    return _reply(*error_reply(RuntimeError(str(exc))))


#: The error each exception becomes; Starlette picks the handler of the nearest class.
EXCEPTION_HANDLERS: Mapping[Any, Any] = {
    BadParameter: bad_parameter, PoolError: pool_error, VelorinError: known_error,
    ValueError: known_error, TypeError: known_error, HTTPException: http_error,
    Exception: internal_error}


# --- Parameters ----------------------------------------------------------------

def _place(params: Mapping[str, str], name: str) -> ParsedPlace:
    """A place parameter, in the grammar of :mod:`velorin.ends`."""
    text = params.get(name)
    if text is None or not text.strip():
        raise BadParameter(name, f"missing parameter {name!r}: give a place as LAT,LON in "
                                 f"degrees, e.g. {name}={EXAMPLE}, or a node id")
    try:
        return parse_place(text)
    except PlaceError as exc:
        raise BadParameter(name, f"parameter {name!r}: {exc}") from None


def _number(params: Mapping[str, str], name: str) -> float:
    text = params.get(name)
    if text is None:
        raise BadParameter(name, f"missing parameter {name!r}: give it in degrees")
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    limit = 90 if name == "lat" else 180
    if not abs(value) <= limit:
        raise BadParameter(name, f"parameter {name!r} is {text!r}, not a number of degrees "
                                 f"in -{limit}..{limit}")
    return value


def _eps(text: str | None) -> float:
    if text is None:
        return DEFAULT_EPS
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value >= 0 and math.isfinite(value)):
        raise BadParameter("eps", f"parameter 'eps' is {text!r}, not a finite number >= 0 "
                                  f"(0 exact, 0.1 recommended)")
    return value


def _reply(status: int, body: bytes, headers: Mapping[str, str] | None = None) -> Response:
    return Response(body, status_code=status, media_type="application/json", headers=headers)


def _json(status: int, value: Any, headers: Mapping[str, str] | None = None) -> Response:
    return _reply(status, encode(value), headers)
