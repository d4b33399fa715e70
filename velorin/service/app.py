"""The HTTP service: a Starlette application in front of a pool of route workers.

Handlers only parse, delegate and serialise. Snapping a point is quick and
runs here, so a point off the map is refused at once; route searches go to
the worker processes (see :mod:`velorin.service.workers`), so nothing that a
request asks for can stall the event loop.
"""

from __future__ import annotations

import math
import os
from collections.abc import AsyncIterator, Sequence
from contextlib import asynccontextmanager
from pathlib import Path
from typing import Any

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.middleware.trustedhost import TrustedHostMiddleware
from starlette.requests import Request
from starlette.responses import FileResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from velorin.osm.profiles import DEFAULT_PROFILE
from velorin.service.answers import encode, error_body, error_reply
from velorin.service.maps import ServedMap
from velorin.service.openapi import DESCRIPTION
from velorin.service.security import SecurityHeaders
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
               timeout_s: float = 10.0, queue: int = 64, profile: str = DEFAULT_PROFILE,
               progress: bool = False, allowed_hosts: Sequence[str] | None = None) -> Starlette:
    """The route service for MAP (an OpenStreetMap extract or a graph document).

    The map is read here, before anything is served, so that a bad file
    raises at once; the workers start with the application (its lifespan)
    and stop with it. ``timeout_s`` bounds each route request from its
    arrival; ``queue`` is how many requests may wait for a free worker.
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
    served = ServedMap.load(map_path, profile=profile, progress=progress)
    pool = WorkerPool(served.graph_path, workers, timeout_s, queue)

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        try:
            await pool.start()
            yield
        finally:
            await pool.close()
            served.close()

    app = Starlette(
        routes=[Route("/", page), Route("/route", route), Route("/nearest", nearest),
                Route("/health", health), Route("/network", network),
                Route("/openapi.json", openapi),
                Mount("/static", StaticFiles(directory=STATIC), name="static")],
        lifespan=lifespan,
        middleware=[Middleware(SecurityHeaders),
                    Middleware(TrustedHostMiddleware, allowed_hosts=allowed_hosts or ["*"],
                               www_redirect=False)],
        exception_handlers={HTTPException: http_error, Exception: internal_error})
    app.state.map = served
    app.state.pool = pool
    return app


# --- Handlers ----------------------------------------------------------------

async def route(request: Request) -> Response:
    """``GET /route?from=LAT,LON&to=LAT,LON&eps=0.1``: the routes as GeoJSON."""
    served: ServedMap = request.app.state.map
    try:
        params = request.query_params
        origin, destination = _place(params, "from"), _place(params, "to")
        eps = _eps(params.get("eps"))
        # Snapped here, so that a point off the map costs no worker.
        ends = [_snap(served.router, place) for place in (origin, destination)]
    except Exception as exc:  # noqa: BLE001 - every fault becomes an answer
        return _reply(*_parameter_error(exc))
    try:
        status, body = await request.app.state.pool.submit(("route", *ends, eps))
    except PoolError as exc:
        return _json(exc.status, error_body(str(exc), **exc.fields),
                     {"Retry-After": "1"} if exc.status == 503 else None)
    return _reply(status, body)


async def nearest(request: Request) -> Response:
    """``GET /nearest?lat=..&lon=..``: the routable node nearest to a point."""
    router = request.app.state.map.router
    try:
        lat, lon = (_number(request.query_params, name) for name in ("lat", "lon"))
        node, metres = router.nearest_node(lat, lon)
        node_lat, node_lon = router.position(node)
    except Exception as exc:  # noqa: BLE001
        return _reply(*_parameter_error(exc))
    return _json(200, {"node": node, "lat": node_lat, "lon": node_lon, "distance_m": metres})


async def health(request: Request) -> Response:
    """``GET /health``: 200 while at least one worker can answer ("degraded" when some
    are missing), 503 otherwise."""
    served: ServedMap = request.app.state.map
    pool = request.app.state.pool.status()
    alive = pool.alive > 0
    # A pool short of workers still answers, more slowly: a balancer keeps it in.
    state = "ok" if pool.alive >= pool.workers else "degraded" if alive else "no worker ready"
    return _json(200 if alive else 503, {
        "status": state, "map": served.name,
        "nodes": served.router.node_count, "arcs": served.arc_count,
        "workers": pool.workers, "workers_alive": pool.alive, "workers_busy": pool.busy,
        "queue": pool.queued, "queue_limit": pool.queue_limit,
        "workers_restarted": pool.restarts})


async def network(request: Request) -> Response:
    """``GET /network``: the streets as GeoJSON, one MultiLineString per traffic stress level."""
    served: ServedMap = request.app.state.map
    headers = {"Vary": "Accept-Encoding", "Cache-Control": "no-cache"}
    # Both bodies are made once at start: nothing here takes the loop's time.
    if "gzip" in request.headers.get("accept-encoding", ""):
        headers["Content-Encoding"] = "gzip"
        body = served.network_gz
    else:
        body = served.network_plain
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

def _place(params: Any, name: str) -> int | tuple[float, float]:
    """A ``LAT,LON`` pair in degrees, or a node id."""
    text = params.get(name)
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
    try:
        if len(parts) == 2:
            lat, lon = float(parts[0]), float(parts[1])
            if abs(lat) <= 90 and abs(lon) <= 180:
                return lat, lon
    except ValueError:
        pass
    raise BadParameter(name, f"parameter {name!r} is {text!r}, not LAT,LON in degrees "
                             f"(latitude -90..90, longitude -180..180) nor a node id")


def _integer(text: str) -> int | None:
    try:
        return int(text)
    except ValueError:  # not an integer, or too many digits to read
        return None


def _snap(router: Any, place: int | tuple[float, float]) -> tuple[int, float]:
    """The node a place starts or ends at, and how far the place lies from it."""
    if isinstance(place, tuple):
        node, metres = router.nearest_node(*place)
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


def _parameter_error(exc: Exception) -> tuple[int, bytes]:
    if isinstance(exc, BadParameter):
        return 400, encode(error_body(str(exc), parameter=exc.name))
    return error_reply(exc)


def _reply(status: int, body: bytes, headers: dict[str, str] | None = None) -> Response:
    return Response(body, status_code=status, media_type="application/json", headers=headers)


def _json(status: int, value: Any, headers: Any = None) -> Response:
    return _reply(status, encode(value), headers)
