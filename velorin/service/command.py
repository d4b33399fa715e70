"""``velorin serve``: the route service on uvicorn."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import signal
import sys
import threading
from collections.abc import Iterator
from typing import Any

from velorin.options import add_dem_option, add_map_options, add_progress_options


def add_serve(subparsers: Any) -> None:
    p = subparsers.add_parser(
        "serve", help="answer route requests over HTTP, with a web page to try them",
        description="Serve routes on MAP (an OpenStreetMap extract or a graph document) over "
                    "HTTP: GET /route, /nearest, /health, and a web page at /. Searches run "
                    "in worker processes that share one loaded copy of the map.",
        epilog="Example: velorin serve monaco-latest.osm.pbf --port 8000, then open "
               "http://127.0.0.1:8000/")
    p.add_argument("map", metavar="MAP", help="OSM extract or graph document")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default "
                                                       "127.0.0.1, this machine only)")
    p.add_argument("--port", type=int, default=8000, help="port (default 8000; 0 picks a free one)")
    p.add_argument("--workers", type=int, default=None, metavar="N",
                   help="worker processes, sharing one copy of the map (default: one per core)")
    p.add_argument("--timeout", type=float, default=10.0, metavar="SECONDS",
                   help="longest a route request may take, queueing included (default 10)")
    p.add_argument("--queue", type=int, default=64, metavar="N",
                   help="requests that may wait for a free worker before more are refused "
                        "with 503 (default 64)")
    p.add_argument("--cors-origin", action="append", default=[], metavar="ORIGIN",
                   help="let web pages of ORIGIN (e.g. https://app.example.org, or * for any) "
                        "call the service from the browser; may be repeated (default: none)")
    p.add_argument("--allowed-host", action="append", metavar="NAME",
                   help="a name the service may be called by in the Host header (repeat "
                        "for several; *.example.org for a domain; * for any). Default: the "
                        "loopback names when listening on loopback, any name otherwise")
    p.add_argument("--idle-timeout", type=float, default=5.0, metavar="SECONDS",
                   help="close a connection that waits longer than this for its next "
                        "request, its first included (default 5)")
    p.add_argument("--max-connections", type=int, default=None, metavar="N",
                   help="open connections kept at most; past it the one waiting longest "
                        "for a request is closed (default: what the descriptor limit allows)")
    add_map_options(p, several=True)
    add_dem_option(p)
    add_progress_options(p)
    p.set_defaults(run=run_serve, parser=p)


def run_serve(args: argparse.Namespace) -> int:
    try:
        import uvicorn

        from velorin.service.app import create_app
    except ImportError as exc:
        raise ValueError(f"velorin serve needs {exc.name}: pip install 'velorin[serve]'") from None
    if not 0 <= args.port <= 65535:
        args.parser.error(f"--port must lie in 0..65535, not {args.port}")
    from velorin.service import connections
    from velorin.service.security import default_allowed_hosts

    if not args.idle_timeout > 0:
        args.parser.error(f"--idle-timeout must be a positive number, not {args.idle_timeout}")
    descriptors = connections.raise_descriptor_limit()
    allowed = args.allowed_host or default_allowed_hosts(args.host)
    app = create_app(args.map, workers=args.workers, timeout_s=args.timeout, queue=args.queue,
                     profile=args.profile, progress=args.progress, push_bike=args.push_bike,
                     dem=args.dem, cors_origins=args.cors_origin, allowed_hosts=allowed)
    served, pool = app.state.map, app.state.pool
    profiles = app.state.profiles
    pools = [profile.pool for profile in profiles.values()]
    most = args.max_connections or connections.connection_limit(
        descriptors, sum(p.size for p in pools))
    per = f" per profile ({', '.join(profiles)})" if len(profiles) > 1 else ""
    print(f"velorin serve: {served.name}: {served.router.node_count} nodes, {served.arc_count} "
          f"arcs; {pool.size} workers{per}, timeout {pool.timeout_s:g} s, queue "
          f"{pool.queue_limit}, connections up to {most}", file=sys.stderr, flush=True)
    # In-flight requests end by their own deadline; shutting down never waits longer.
    # uvicorn's own limit is a backstop: the protocol keeps connections below it.
    config = uvicorn.Config(app, host=args.host, port=args.port,
                            timeout_graceful_shutdown=args.timeout + 1,
                            http=connections.guarded_protocol(args.idle_timeout, most),
                            limit_concurrency=most + 1, timeout_keep_alive=args.idle_timeout)

    class Server(uvicorn.Server):
        """uvicorn's server, where a hang-up ends it as SIGTERM does, where the pool
        replaces no worker once the server is stopping, and where a second Ctrl-C
        also stops the searches in flight.

        On a second Ctrl-C uvicorn stops waiting for request handlers, but still
        waits for their connections to close, which a running search holds open.
        """

        async def startup(self, sockets: Any = None) -> None:
            connections.quiet_accept_errors(asyncio.get_running_loop())
            await super().startup(sockets)

        @contextlib.contextmanager
        def capture_signals(self) -> Iterator[None]:
            # A closed terminal sends SIGHUP to the whole session: leave as on SIGTERM.
            hangup = None
            if threading.current_thread() is threading.main_thread():
                hangup = signal.signal(signal.SIGHUP, self.handle_exit)
            try:
                with super().capture_signals():
                    yield
            finally:
                if hangup is not None:
                    signal.signal(signal.SIGHUP, hangup)

        def handle_exit(self, sig: int, frame: Any) -> None:
            super().handle_exit(sig, frame)
            for each in pools:
                each.stopping = True
                if self.force_exit:
                    each.stop_soon()

    Server(config).run()
    return 0
