"""The HTTP service: a Starlette application in front of a pool of route workers.

Handlers only parse, delegate and serialise. Snapping a point is quick and
runs here, so a point off the map is refused at once; route searches go to
the worker processes (see :mod:`velorin.service.workers`), so nothing that a
request asks for can stall the event loop.
"""

from __future__ import annotations

import gzip
import math
import os
from collections.abc import AsyncIterator, Sequence
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from velorin.osm.profiles import DEFAULT_PROFILE
from velorin.places import is_place_name
from velorin.router import DEFAULT_MAX_DISTANCE_M
from velorin.service.answers import encode, error_body, error_reply
from velorin.service.background import read_background
from velorin.service.maps import ServedMap
from velorin.service.openapi import DESCRIPTION
from velorin.service.parameters import KnownParameters, parameters_of
from velorin.service.security import SecurityHeaders
from velorin.service.profiles import ServedProfile, profile_names, serve_profiles
from velorin.service.workers import PoolError, WorkerPool

STATIC = Path(__file__).with_name("static")

DEFAULT_EPS = 0.1
NODE_ID_MAX = (1 << 64) - 1


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
               profile: str | Sequence[str] | None = DEFAULT_PROFILE, progress: bool = False,
               cors_origins: Sequence[str] = (),
               allowed_hosts: Sequence[str] | None = None) -> Starlette:
    """The route service for MAP (an OpenStreetMap extract or a graph document).

    The map is read here, before anything is served, so that a bad file
    raises at once; the workers start with the application (its lifespan)
    and stop with it. ``timeout_s`` bounds each route request from its
    arrival; ``queue`` is how many requests may wait for a free worker.
    ``profile`` names one cycling profile or several (``"city,mtb"`` or a
    sequence): each gets its own map and ``workers`` workers, and requests
    choose with ``profile=``. ``cors_origins`` lets web pages of those
    origins (``"*"`` for any) call the service from the browser.
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
                              queue=queue, progress=progress)
    first = profiles[names[0]]
    background_gz = read_background(map_path)
    # Both forms of the large bodies are made once: a request then costs no loop time.
    background_plain = gzip.decompress(background_gz) if background_gz is not None else None

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

    middleware = [Middleware(KnownParameters, parameters=parameters_of(DESCRIPTION))]
    if cors_origins:
        # Only GET is offered, and no credentials: a browser needs no more.
        middleware.insert(0, Middleware(CORSMiddleware, allow_origins=list(cors_origins),
                                        allow_methods=["GET"], max_age=3600))
    middleware[:0] = [Middleware(SecurityHeaders),
                      Middleware(TrustedHostMiddleware, allowed_hosts=allowed_hosts or ["*"],
                                 www_redirect=False)]
    app = Starlette(
        routes=[Route("/", page), Route("/route", route), Route("/nearest", nearest),
                Route("/health", health), Route("/network", network),
                Route("/places", places), Route("/background", background),
                Route("/openapi.json", openapi),
                Mount("/static", StaticFiles(directory=STATIC), name="static")],
        middleware=middleware, lifespan=lifespan,
        exception_handlers={HTTPException: http_error, Exception: internal_error})
    app.state.profiles = profiles
    app.state.map = first.map
    app.state.pool = first.pool
    app.state.background = background_gz
    app.state.background_plain = background_plain
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


# --- Handlers ----------------------------------------------------------------

async def route(request: Request) -> Response:
    """``GET /route?from=LAT,LON&to=LAT,LON&eps=0.1``: the routes as GeoJSON."""
    try:
        served = _profile(request)
        params = request.query_params
        origin, destination = _place(params, "from"), _place(params, "to")
        eps = _eps(params.get("eps"))
        max_distance_m = _max_distance(params.get("max_distance_m"))
        # Snapped here, so that a point off the map costs no worker.
        ends = [_snap(served.map.router, place, max_distance_m)
                for place in (origin, destination)]
    except Exception as exc:  # noqa: BLE001 - every fault becomes an answer
        return _reply(*_parameter_error(exc))
    try:
        status, body = await served.pool.submit(("route", *ends, eps))
    except PoolError as exc:
        return _json(exc.status, error_body(str(exc), **exc.fields),
                     {"Retry-After": "1"} if exc.status == 503 else None)
    return _reply(status, body)


async def nearest(request: Request) -> Response:
    """``GET /nearest?lat=..&lon=..``: the routable node nearest to a point."""
    try:
        router = _profile(request).map.router
        lat, lon = (_number(request.query_params, name) for name in ("lat", "lon"))
        node, metres = router.nearest_node(
            lat, lon, _max_distance(request.query_params.get("max_distance_m")))
        node_lat, node_lon = router.position(node)
    except Exception as exc:  # noqa: BLE001
        return _reply(*_parameter_error(exc))
    return _json(200, {"node": node, "lat": node_lat, "lon": node_lon, "distance_m": metres})


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


async def network(request: Request) -> Response:
    """``GET /network``: the streets as GeoJSON, one MultiLineString per traffic stress level."""
    try:
        served = _profile(request)
    except Exception as exc:  # noqa: BLE001
        return _reply(*_parameter_error(exc))
    return _gzipped(request, served.map.network_plain, served.map.network_gz)


async def places(request: Request) -> Response:
    """``GET /places?q=ordi&limit=10``: towns, villages and streets whose names start so."""
    try:
        router = _profile(request).map.router
        text = request.query_params.get("q", "")
        if not text.strip():
            raise BadParameter("q", "missing parameter 'q': give the start of a place name, "
                                    "e.g. q=Ordino")
        limit = _limit(request.query_params.get("limit"))
        found = router.search_places(text, limit)
    except Exception as exc:  # noqa: BLE001
        return _reply(*_parameter_error(exc))
    return _json(200, {"query": text, "places": [p.to_json() for p in found]})


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


async def openapi(request: Request) -> Response:
    return _json(200, DESCRIPTION)


async def page(request: Request) -> Response:
    return FileResponse(STATIC / "index.html", headers={"Cache-Control": "no-cache"})


async def http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    return _json(exc.status_code, {"error": exc.detail}, exc.headers)


async def internal_error(request: Request, exc: Exception) -> Response:
    return _reply(*error_reply(RuntimeError(str(exc))))


# --- Parameters ----------------------------------------------------------------

def _place(params: Any, name: str) -> int | str | tuple[float, float]:
    """A ``LAT,LON`` pair in degrees, a node id, or a place name."""
    text: str | None = params.get(name)
    if text is None or not text.strip():
        raise BadParameter(name, f"missing parameter {name!r}: give a place as LAT,LON in "
                                 f"degrees, e.g. {name}=43.7308,7.4197")
    parts = text.split(",")
    node = _integer(parts[0]) if len(parts) == 1 else None
    if node is not None:
        if 0 <= node <= NODE_ID_MAX:
            return node
        raise BadParameter(name, f"parameter {name!r} is {text!r}: a node id is an "
                                 f"integer from 0 to {NODE_ID_MAX}")
    numbers: tuple[float, ...] = ()
    try:
        if len(parts) == 2:
            numbers = float(parts[0]), float(parts[1])
    except ValueError:
        pass
    if numbers:
        lat, lon = numbers
        if abs(lat) <= 90 and abs(lon) <= 180:
            return lat, lon
    elif is_place_name(text):
        return text.strip()
    raise BadParameter(name, f"parameter {name!r} is {text!r}, not LAT,LON in degrees "
                             f"(latitude -90..90, longitude -180..180), a node id nor a "
                             f"place name")


def _integer(text: str) -> int | None:
    try:
        return int(text)
    except ValueError:  # not an integer, or too many digits to read
        return None


def _snap(router: Any, place: int | str | tuple[float, float],
          max_distance_m: float) -> tuple[int, float]:
    """The node a place starts or ends at, and how far the place lies from it."""
    if isinstance(place, str):
        named = router.find_place(place)
        place = (named.lat, named.lon)
    if isinstance(place, tuple):
        node, metres = router.nearest_node(*place, max_distance_m)
        return int(node), float(metres)
    router.position(place)  # raises NodeNotFound for an id the map lacks
    return place, 0.0


def _number(params: Any, name: str) -> float:
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


def _parameter_error(exc: Exception) -> tuple[int, bytes]:
    if isinstance(exc, BadParameter):
        return 400, encode(error_body(str(exc), parameter=exc.name))
    return error_reply(exc)


def _reply(status: int, body: bytes, headers: dict[str, str] | None = None) -> Response:
    return Response(body, status_code=status, media_type="application/json", headers=headers)


def _json(status: int, value: Any, headers: Any = None) -> Response:
    return _reply(status, encode(value), headers)
