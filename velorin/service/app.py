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
from collections.abc import AsyncIterator, Mapping, Sequence
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import Request
from starlette.responses import FileResponse, Response
from starlette.routing import BaseRoute, Mount, Route
from starlette.staticfiles import StaticFiles

from velorin.errors import VelorinError
from velorin.ends import DEFAULT_MAX_DISTANCE_M, EXAMPLE, ParsedPlace, PlaceError, parse_place
from velorin.osm.profiles import DEFAULT_PROFILE
from velorin.route import DEFAULT_EPS
from velorin.router import Router
from velorin.service.answers import RouteRequest, encode, error_body, error_reply
from velorin.service.background import read_background
from velorin.service.maps import ServedMap
from velorin.service.openapi import (MAX_DISTANCE, PLACE, PROFILE, described, document, error,
                                     query)
from velorin.service.parameters import KnownParameters, parameters_of
from velorin.service.security import SecurityHeaders
from velorin.service.profiles import ServedProfile, profile_names, serve_profiles
from velorin.service.workers import PoolError
from velorin.style import page_config

STATIC = Path(__file__).with_name("static")

#: The forms /route answers in, with their media types.
FORMATS = {"geojson": "application/json", "gpx": "application/gpx+xml"}


class BadParameter(ValueError):
    """A query parameter that is missing or cannot be read."""

    def __init__(self, name: str, message: str) -> None:
        super().__init__(message)
        self.name = name


def default_workers() -> int:
    """One worker per core this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def create_app(map_path: str | os.PathLike[str], *, workers: int | None = None,
               timeout_s: float = 10.0, queue: int = 64,
               profile: str | Sequence[str] | None = DEFAULT_PROFILE,
               progress: bool | None = False, push_bike: bool = False,
               dem: str | os.PathLike[str] | None = None,
               cors_origins: Sequence[str] = (),
               allowed_hosts: Sequence[str] | None = None) -> Starlette:
    """The route service for MAP (an OpenStreetMap extract or a graph document).

    The map is read here (:func:`velorin.maps.read_map`), before anything is
    served, so that a bad file raises at once; the workers start with the
    application (its lifespan) and stop with it. ``timeout_s`` bounds each
    route request from its arrival; ``queue`` is how many requests may wait
    for a free worker. ``profile`` names one cycling profile or several
    (``"city,mtb"`` or a sequence): each gets its own map and ``workers``
    workers, and requests choose with ``profile=``. ``cors_origins`` lets web
    pages of those origins (``"*"`` for any) call the service from the browser.
    ``dem`` is an elevation raster for an extract, as ``velorin convert --dem``.
    ``allowed_hosts`` lists the names a request's ``Host`` may give (``*.domain``
    patterns allowed; None answers any), as Starlette's ``TrustedHostMiddleware``.
    """
    workers = default_workers() if workers is None else workers
    if workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    if not (timeout_s > 0 and math.isfinite(timeout_s)):
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout_s}")
    if queue < 0:
        raise ValueError(f"queue must be 0 or more, not {queue}")
    names = profile_names(profile, map_path)
    profiles = serve_profiles(map_path, names, workers=workers, timeout_s=timeout_s,
                              queue=queue, progress=progress, push_bike=push_bike,
                              dem=dem)
    first = profiles[names[0]]
    background_gz = read_background(map_path)
    # Both forms of the large bodies are made once: a request then costs no loop time.
    background_plain = gzip.decompress(background_gz)

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        try:
            for served in profiles.values():
                await served.pool.start()
            yield
        finally:
            for served in profiles.values():
                await served.pool.close()
                served.map.close()

    routes: list[BaseRoute] = [
        Route("/", page), Route("/route", route), Route("/nearest", nearest),
        Route("/health", health), Route("/network", network), Route("/places", places),
        Route("/background", background), Route("/openapi.json", openapi),
        Route("/style.js", style_script),
        Mount("/static", StaticFiles(directory=STATIC), name="static")]
    description = document(routes)
    middleware = [Middleware(KnownParameters, parameters=parameters_of(description))]
    if cors_origins:
        # Only GET is offered, and no credentials: a browser needs no more.
        middleware.insert(0, Middleware(CORSMiddleware, allow_origins=list(cors_origins),
                                        allow_methods=["GET"], max_age=3600))
    middleware[:0] = [Middleware(SecurityHeaders),
                      Middleware(TrustedHostMiddleware, allowed_hosts=allowed_hosts or ["*"],
                                 www_redirect=False)]
    app = Starlette(routes=routes, middleware=middleware, lifespan=lifespan,
                    exception_handlers=EXCEPTION_HANDLERS)
    app.state.profiles = profiles
    app.state.map = first.map
    app.state.pool = first.pool
    app.state.background = background_gz
    app.state.background_plain = background_plain
    app.state.openapi = description
    return app


def _profile(request: Request) -> ServedProfile:
    """The profile a request names (``profile=``), or the first one served."""
    profiles: dict[str, ServedProfile] = request.app.state.profiles
    name = request.query_params.get("profile")
    if name is None:
        return next(iter(profiles.values()))
    if name not in profiles:
        raise BadParameter("profile", f"parameter 'profile' is {name!r}, not a profile this "
                                      f"service answers: {', '.join(profiles)}")
    return profiles[name]


# --- Endpoints ---------------------------------------------------------------

@described(
    summary="Routes between two places",
    parameters=[query("from", f"start: {PLACE}"), query("to", f"finish: {PLACE}"),
                query("eps", "search approximation: 0 (default) exact, 0.1 routes at most "
                             "10 % longer or riskier than the best", required=False,
                      schema={"type": "number", "minimum": 0, "default": DEFAULT_EPS}),
                PROFILE, MAX_DISTANCE,
                query("via", f"a place to pass on the way: {PLACE}; repeat the parameter for "
                             f"several, in order", required=False),
                query("format", "`geojson` (the default) or `gpx`, a GPX document with one "
                                "track per route", required=False,
                      schema={"type": "string", "enum": list(FORMATS), "default": "geojson"})],
    responses={
        "200": {"description": "a GeoJSON FeatureCollection, one LineString Feature per route "
                               "(shortest, safest, balanced; one whose path repeats an "
                               "earlier one left out), with the nodes the routes start and end "
                               "at as `origin` and `destination`; each Feature's properties "
                               "hold its `segments` (runs of legs alike in name, class, stress "
                               "and surface), its `directions` (turn-by-turn steps) and its "
                               "`via_indices`. With `format=gpx`, a GPX document",
                "content": {"application/json": {"schema": {"type": "object"}},
                            "application/gpx+xml": {}}},
        "400": error("a parameter missing, unreadable or unknown"),
        "404": error("no route joins the two places"),
        "422": error("a place too far from the map, a node id it lacks, or a name it lacks or "
                     "that several places answer (`candidates`)"),
        "500": error("the worker answering died"),
        "503": error("every worker busy and the queue full"),
        "504": error("the request took longer than the service's timeout")})
async def route(request: Request) -> Response:
    """``GET /route?from=LAT,LON&to=LAT,LON&eps=0.1``: the routes as GeoJSON."""
    served = _profile(request)
    router = served.map.router
    params = request.query_params
    origin, destination = _place(params, "from"), _place(params, "to")
    eps = _eps(params.get("eps"))
    max_distance_m = _max_distance(params.get("max_distance_m"))
    via = [_place_text("via", text) for text in params.getlist("via")]
    form = _format(params.get("format"))
    # Snapped here, so that a point off the map costs no worker.
    ask = RouteRequest(
        router.snap(origin, max_distance_m=max_distance_m, end="origin"),
        router.snap(destination, max_distance_m=max_distance_m, end="destination"), eps,
        tuple(router.snap(place, max_distance_m=max_distance_m, end=f"via point {k}")
              for k, place in enumerate(via, start=1)), form)
    status, body = await served.pool.submit(ask)
    if status == 200 and form == "gpx":
        return Response(body, media_type=FORMATS["gpx"],
                        headers={"Content-Disposition": 'attachment; filename="routes.gpx"'})
    return _reply(status, body)


@described(
    summary="The routable node nearest to a point",
    parameters=[query("lat", "latitude in degrees", schema={"type": "number"}),
                query("lon", "longitude in degrees", schema={"type": "number"}),
                PROFILE, MAX_DISTANCE],
    responses={
        "200": {"description": "`node`, its `lat` and `lon`, and `distance_m` from the point",
                "content": {"application/json": {"schema": {"type": "object"}}}},
        "400": error("a parameter missing, unreadable or unknown"),
        "422": error("the point is too far from the map")})
async def nearest(request: Request) -> Response:
    """``GET /nearest?lat=..&lon=..``: the routable node nearest to a point."""
    router = _profile(request).map.router
    lat, lon = (_number(request.query_params, name) for name in ("lat", "lon"))
    snapped = router.snap((lat, lon), max_distance_m=_max_distance(
        request.query_params.get("max_distance_m")))
    return _json(200, {"node": snapped.node, "lat": snapped.lat, "lon": snapped.lon,
                       "distance_m": snapped.distance_m})


@described(
    summary="Map, worker and queue state",
    responses={"200": {"description": "at least one worker ready",
                       "content": {"application/json": {"schema": {"type": "object"}}}},
               "503": {"description": "no worker ready"}})
async def health(request: Request) -> Response:
    """``GET /health``: 200 while every profile has a worker that can answer ("degraded"
    while some are missing), 503 otherwise."""
    profiles: dict[str, ServedProfile] = request.app.state.profiles
    served: ServedMap = request.app.state.map
    states = {name: p.pool.status() for name, p in profiles.items()}
    idle = [name for name, state in states.items() if state.alive == 0]
    total = {key: sum(getattr(state, key) for state in states.values())
             for key in ("workers", "alive", "busy", "queued", "queue_limit", "restarts")}
    # A pool short of workers still answers, more slowly: a balancer keeps it in.
    short = total["alive"] < total["workers"]
    return _json(503 if idle else 200, {
        "status": f"no worker ready for {', '.join(idle)}" if idle else
                  "degraded" if short else "ok",
        "map": served.name, "profiles": list(profiles),
        "nodes": served.router.node_count, "arcs": served.arc_count,
        "workers": total["workers"], "workers_alive": total["alive"],
        "workers_busy": total["busy"], "queue": total["queued"],
        "queue_limit": total["queue_limit"], "workers_restarted": total["restarts"]})


@described(
    summary="The streets as GeoJSON, one MultiLineString per traffic stress level",
    parameters=[PROFILE],
    responses={"200": {"description": "GeoJSON FeatureCollection",
                       "content": {"application/geo+json": {}}}})
async def network(request: Request) -> Response:
    """``GET /network``: the streets as GeoJSON, one MultiLineString per traffic stress level."""
    served = _profile(request).map
    return _gzipped(request, served.network_plain, served.network_gz)


@described(
    summary="Towns, villages and streets of the map, by name, for a search box",
    parameters=[
        query("q", "the name or its start; accents and case are ignored, and \"NAME, TOWN\" "
                   "keeps the places of that town"),
        query("limit", "most places answered", required=False,
              schema={"type": "integer", "minimum": 1, "maximum": 100, "default": 10}),
        PROFILE],
    responses={
        "200": {"description": "`places`: each with `name`, `kind` (the OpenStreetMap place "
                               "value, or `street`), `lat`, `lon`, `town` and `label` (what "
                               "finds it again), best first",
                "content": {"application/json": {"schema": {"type": "object"}}}},
        "400": error("a parameter missing, unreadable or unknown")})
async def places(request: Request) -> Response:
    """``GET /places?q=ordi&limit=10``: towns, villages and streets whose names start so."""
    router = _profile(request).map.router
    text = request.query_params.get("q", "")
    if not text.strip():
        raise BadParameter("q", "missing parameter 'q': give the start of a place name, "
                                "e.g. q=Ordino")
    found = router.search_places(text, _limit(request.query_params.get("limit")))
    return _json(200, {"query": text, "places": [p.to_json() for p in found]})


@described(
    summary="Water, parks, woods, rivers and place names of the extract, as GeoJSON",
    responses={"200": {"description": "GeoJSON FeatureCollection: areas and lines by `kind`, "
                                      "places as Points with `name` and `rank` (empty for a "
                                      "graph document)",
                       "content": {"application/geo+json": {}}}})
async def background(request: Request) -> Response:
    """``GET /background``: water, parks, woods, rivers and place names, as GeoJSON."""
    return _gzipped(request, request.app.state.background_plain, request.app.state.background)


def _gzipped(request: Request, plain: bytes, packed: bytes) -> Response:
    headers = {"Vary": "Accept-Encoding", "Cache-Control": "no-cache"}
    if "gzip" in request.headers.get("accept-encoding", ""):
        headers["Content-Encoding"] = "gzip"
        body = packed
    else:
        body = plain
    return Response(body, media_type="application/geo+json", headers=headers)


@described(summary="This description",
           responses={"200": {"description": "OpenAPI 3.1",
                              "content": {"application/json": {}}}})
async def openapi(request: Request) -> Response:
    return _json(200, request.app.state.openapi)


async def style_script(request: Request) -> Response:
    """The routes' colours and names for the page's script, from :mod:`velorin.style`."""
    script = b"const VELORIN_STYLE = " + encode(page_config()) + b";\n"
    return Response(script, media_type="text/javascript", headers={"Cache-Control": "no-cache"})


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
    return _place_text(name, params.get(name))


def _place_text(name: str, text: str | None) -> ParsedPlace:
    if text is None or not text.strip():
        raise BadParameter(name, f"missing parameter {name!r}: give a place as LAT,LON in "
                                 f"degrees, e.g. {name}={EXAMPLE}, a node id or a place name")
    try:
        return parse_place(text, names=True)
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


def _format(text: str | None) -> str:
    if text is None:
        return "geojson"
    if text not in FORMATS:
        raise BadParameter("format", f"parameter 'format' is {text!r}, not one of "
                                     f"{', '.join(FORMATS)}")
    return text


def _eps(text: str | None) -> float:
    if text is None:
        return DEFAULT_EPS
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value >= 0 and math.isfinite(value)):
        raise BadParameter("eps", f"parameter 'eps' is {text!r}, not a finite number >= 0 "
                                  f"(0 exact, the default; 0.1 faster)")
    return value


def _max_distance(text: str | None) -> float:
    if text is None:
        return DEFAULT_MAX_DISTANCE_M
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value >= 0 and math.isfinite(value)):
        raise BadParameter("max_distance_m", f"parameter 'max_distance_m' is {text!r}, not a "
                                             f"number of metres >= 0")
    return value


def _limit(text: str | None) -> int:
    if text is None:
        return 10
    if not (text.isdigit() and 1 <= int(text) <= 100):
        raise BadParameter("limit", f"parameter 'limit' is {text!r}, not a whole number "
                                    f"in 1..100")
    return int(text)


def _reply(status: int, body: bytes, headers: Mapping[str, str] | None = None) -> Response:
    return Response(body, status_code=status, media_type="application/json", headers=headers)


def _json(status: int, value: Any, headers: Mapping[str, str] | None = None) -> Response:
    return _reply(status, encode(value), headers)
