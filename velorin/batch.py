"""Routing many pairs of places on all cores, or on a Dask cluster.

A route request holds the interpreter lock from start to end, so threads do
not help; processes do.  Every worker process receives the :class:`Router`
once, when it starts, and then answers any number of pairs from it.

Each pair's outcome is its list of routes or the :class:`RoutingError` that
stopped it, in pair order; :func:`rows` flattens outcomes into table rows and
:func:`write_geojson` writes every route as one GeoJSON FeatureCollection.
"""

from __future__ import annotations

import math
import multiprocessing
import os
import pickle
import sys
import tempfile
from collections.abc import Iterable, Mapping, Sequence
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import Any, Union

import orjson

from velorin.errors import RoutingError
from velorin.ends import Place, describe
from velorin.route import DEFAULT_EPS, Route
from velorin.router import Router

Pair = tuple[Place, Place]
Outcome = Union[list[Route], RoutingError]

#: Columns of :func:`rows`, in order.
FIELDS = ("pair", "source", "target", "route_type", "distance_m", "risk", "time_min", "comfort",
          "nodes", "error")

#: The router of this worker process, set once by the pool's initializer.
_ROUTER: Router | None = None


def route_one(router: Router, pair: Pair, eps: float) -> Outcome:
    """The routes of one pair, or the error that stopped it."""
    try:
        return router.route(pair[0], pair[1], eps)
    except RoutingError as exc:
        return exc


def _install(path: str) -> None:
    global _ROUTER
    with open(path, "rb") as file:
        _ROUTER = pickle.load(file)


def _route_chunk(pairs: Sequence[Pair], eps: float) -> list[Outcome]:
    assert _ROUTER is not None, "the pool's initializer has not run in this process"
    return [route_one(_ROUTER, pair, eps) for pair in pairs]


def route_many(router: Router, pairs: Sequence[Pair], eps: float = DEFAULT_EPS,
               workers: int | None = None) -> list[Outcome]:
    """Routes of every pair, in pair order, computed by a pool of ``workers`` processes."""
    workers = workers or os.cpu_count() or 1
    _refuse_while_importing_main()
    if workers == 1 or len(pairs) <= 1:
        return [route_one(router, pair, eps) for pair in pairs]
    # A few chunks per worker keeps every core busy when pairs differ in cost,
    # without paying one round trip per pair.
    size = max(1, math.ceil(len(pairs) / (workers * 4)))
    chunks = [pairs[i:i + size] for i in range(0, len(pairs), size)]
    # Fresh interpreters rather than forks: forking a process that runs threads
    # (a Dask client, a web server, osmium's reader pool) can deadlock the child.
    context = multiprocessing.get_context("spawn")
    # The router reaches the workers through a file of the caller's own, not
    # through the pipe that starts them: a worker that dies while it starts
    # would leave the caller blocked for good on a full pipe.
    with tempfile.TemporaryDirectory(prefix="velorin-batch-") as folder:
        path = os.path.join(folder, "router.pickle")
        with open(path, "wb") as file:
            pickle.dump(router, file, protocol=pickle.HIGHEST_PROTOCOL)
        try:
            with ProcessPoolExecutor(max_workers=min(workers, len(chunks)), mp_context=context,
                                     initializer=_install, initargs=(path,)) as pool:
                results = pool.map(_route_chunk, chunks, [eps] * len(chunks))
                return [outcome for chunk in results for outcome in chunk]
        except BrokenProcessPool as exc:
            raise RuntimeError(
                "a worker process of route_many ended before it answered (killed, out of "
                "memory, or a script that calls route_many outside "
                "`if __name__ == \"__main__\":`, which every worker imports again)") from exc


def _refuse_while_importing_main() -> None:
    """Raise when called by a worker process that is importing the main script.

    Every worker of a pool of fresh interpreters imports the caller's main
    script under the name ``__mp_main__``; a script that calls route_many at
    its top level would start pools from every worker, without end.
    """
    importing = sys.modules.get("__mp_main__")
    if importing is not None and importing is not sys.modules.get("__main__"):
        raise RuntimeError("route_many was called while a worker process imported the main "
                           "script: call it under `if __name__ == \"__main__\":`")


def route_many_dask(client: Any, router: Router, pairs: Sequence[Pair],
                    eps: float = DEFAULT_EPS) -> list[Outcome]:
    """The same batch on a Dask cluster: a worker plugin hands each worker the router once.

    The workers need ``velorin`` installed; threads of one worker share its router.
    """
    from distributed import WorkerPlugin

    class RouterPlugin(WorkerPlugin):
        name = "velorin-router"

        def __init__(self, router: Router) -> None:
            self.router = router

        def setup(self, worker: Any) -> None:
            worker.velorin_router = self.router

    client.register_plugin(RouterPlugin(router))
    futures = client.map(_route_on_dask_worker, list(pairs), eps=eps, pure=False)
    outcomes: list[Outcome] = client.gather(futures)
    return outcomes


def _route_on_dask_worker(pair: Pair, eps: float) -> Outcome:
    from distributed import get_worker

    router: Router = getattr(get_worker(), "velorin_router")
    return route_one(router, pair, eps)


def rows(pairs: Sequence[Pair], outcomes: Iterable[Outcome]) -> list[dict[str, Any]]:
    """One row per route (or one row with the error) per pair, with the :data:`FIELDS` keys."""
    table: list[dict[str, Any]] = []
    for index, (pair, outcome) in enumerate(zip(pairs, outcomes)):
        if isinstance(outcome, RoutingError):
            table.append({"pair": index, "source": _place(pair[0]),
                          "target": _place(pair[1]), "error": str(outcome)})
            continue
        for r in outcome:
            table.append({"pair": index, "source": r.path[0], "target": r.path[-1],
                          "route_type": r.route_type, "distance_m": r.total_distance_m,
                          "risk": r.total_risk, "time_min": r.estimated_time_min,
                          "comfort": r.comfort_score, "nodes": r.node_count, "error": ""})
    return table


def _place(place: Place) -> str | int:
    return place if isinstance(place, int) else describe(place)


def geojson(outcomes: Iterable[Outcome]) -> dict[str, Any]:
    """Every route of a batch as one FeatureCollection; ``pair`` in each Feature's properties."""
    features = []
    for index, outcome in enumerate(outcomes):
        if isinstance(outcome, RoutingError):
            continue
        for route in outcome:
            feature = route.to_geojson()
            feature["properties"] = {"pair": index, **feature["properties"]}
            features.append(feature)
    return {"type": "FeatureCollection", "features": features}


def write_geojson(outcomes: Iterable[Outcome], path: str | os.PathLike[str]) -> None:
    """Write :func:`geojson` of a batch to a file."""
    Path(path).write_bytes(orjson.dumps(geojson(outcomes)))


def summary(outcomes: Sequence[Outcome]) -> Mapping[str, Any]:
    """Counts and means of a batch, by route type."""
    routes = [r for o in outcomes if not isinstance(o, RoutingError) for r in o]
    by_type: dict[str, list[Route]] = {}
    for r in routes:
        by_type.setdefault(r.route_type, []).append(r)
    return {
        "pairs": len(outcomes),
        "failed": sum(isinstance(o, RoutingError) for o in outcomes),
        "routes": len(routes),
        "by_type": {k: {"count": len(v),
                        "mean_distance_m": sum(r.total_distance_m for r in v) / len(v),
                        "mean_risk": sum(r.total_risk for r in v) / len(v)}
                    for k, v in by_type.items()},
    }
