"""Connections a client holds without asking anything, and the descriptors they cost.

Every open connection holds a file descriptor, and uvicorn closes an idle one
only once it has answered a first request on it: a client that opens
connections and stays silent would otherwise use up the process's
descriptors, after which nothing - health checks included - gets in. So the
server here:

- raises its soft descriptor limit to the hard one at start;
- closes a connection that waits longer than the idle timeout for its next
  request, the first one included (a request in progress is bounded by the
  service's own timeout instead);
- keeps the open connections below a limit taken from the descriptor limit:
  a new connection past it closes the one that has waited longest for a
  request, so that a client that asks something still gets in;
- says once per episode, in one log line, that it is overloaded, instead of
  a traceback for every refused accept.
"""

from __future__ import annotations

import asyncio
import logging
import resource
import time
from typing import Any

log = logging.getLogger("velorin.service")

#: Descriptors kept apart from connections: the worker pipes (counted apart),
#: the listening socket, the map's files, the interpreter's and libraries' own.
RESERVED_DESCRIPTORS = 64
#: Beyond this many, open connections only cost memory (some tens of kB each).
MAX_CONNECTIONS = 4096
#: A repeat of the same overload within this many seconds is the same episode.
_EPISODE_S = 30.0


def raise_descriptor_limit() -> int:
    """Raise the soft limit on open files to the hard one; the soft limit now in force."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
            soft = hard
        except (ValueError, OSError):  # an unlimited hard limit is more than Linux grants
            pass
    return soft if soft != resource.RLIM_INFINITY else 1 << 20


def connection_limit(descriptors: int, workers: int) -> int:
    """How many connections fit in ``descriptors`` beside the workers' and our own."""
    return max(8, min(MAX_CONNECTIONS, descriptors - RESERVED_DESCRIPTORS - 2 * workers))


class _Episode:
    """Logs a recurring condition once, and again only after it has been quiet a while."""

    def __init__(self) -> None:
        self.last = -_EPISODE_S

    def first(self) -> bool:
        now = time.monotonic()
        first, self.last = now - self.last >= _EPISODE_S, now
        return first


def guarded_protocol(idle_timeout_s: float, max_connections: int) -> type[asyncio.Protocol]:
    """uvicorn's HTTP protocol with an idle timeout before every request and a cap on
    open connections (uvicorn's own ``limit_concurrency`` must be above the cap)."""
    from uvicorn.protocols.http.auto import AutoHTTPProtocol

    overload = _Episode()

    class Guarded(AutoHTTPProtocol):  # type: ignore[misc, valid-type]
        waiting_since = 0.0
        _timer: asyncio.TimerHandle | None = None

        def connection_made(self, transport: Any) -> None:
            super().connection_made(transport)
            self._wait_for_request()
            if len(self.connections) <= max_connections:
                return
            # Closed ones leave the set a moment later: count and pick among the others.
            open_now = [c for c in self.connections if not c.transport.is_closing()]
            if len(open_now) <= max_connections:
                return
            waiting = [c for c in open_now
                       if c is not self and getattr(c, "waiting", lambda: False)()]
            victim = min(waiting, key=lambda c: c.waiting_since, default=self)
            if overload.first():
                log.warning("%d connections open, the most this server keeps: closing the "
                            "ones that have waited longest without a request", len(open_now))
            victim.transport.close()

        def on_response_complete(self) -> None:
            super().on_response_complete()
            self._wait_for_request()

        def connection_lost(self, exc: Exception | None) -> None:
            if self._timer is not None:
                self._timer.cancel()
                self._timer = None
            super().connection_lost(exc)

        def waiting(self) -> bool:
            return self.cycle is None or self.cycle.response_complete

        def _wait_for_request(self) -> None:
            if self._timer is not None:
                self._timer.cancel()
            self.waiting_since = since = self.loop.time()
            self._timer = self.loop.call_later(idle_timeout_s, self._idle, since)

        def _idle(self, since: float) -> None:
            self._timer = None
            if since == self.waiting_since and self.waiting() and not self.transport.is_closing():
                self.transport.close()

    return Guarded


def quiet_accept_errors(loop: asyncio.AbstractEventLoop) -> None:
    """One warning per episode when ``accept()`` runs out of descriptors, instead of a
    traceback every time the loop tries again."""
    episode = _Episode()
    default = loop.get_exception_handler()

    def handler(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        if context.get("message") == "socket.accept() out of system resource":
            if episode.first():
                log.warning("cannot accept connections: %s; waiting ones are taken as "
                            "descriptors free up", context.get("exception"))
            return
        if default is not None:
            default(loop, context)
        else:
            loop.default_exception_handler(context)

    loop.set_exception_handler(handler)
