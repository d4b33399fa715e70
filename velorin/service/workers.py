"""Worker processes that each hold the map and answer route requests one at a time.

A route search holds the interpreter lock from start to end and cannot be
interrupted, so it never runs in the server's process: there it would stall
the event loop, health checks and signal handling included. Each worker is a
process of its own that loads the graph once, then reads requests from its
pipe and writes back a finished HTTP status and JSON body. The pool in the
server hands each request to an idle worker, queues a bounded number of
others, and kills a worker whose request runs past its deadline - the only
way to stop a search - starting a fresh one in its place.

The pool lives in the server's event loop: it watches each worker's pipe with
``add_reader`` instead of blocking a thread on it, so any number of requests
wait without costing a thread each.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import multiprocessing
import os
import signal
from dataclasses import dataclass, field
from multiprocessing.connection import Connection
from multiprocessing.process import BaseProcess
from typing import Any

from velorin.service.answers import Reply, RouteRequest

log = logging.getLogger("velorin.service")

# Spawned, not forked: the server runs an event loop and threads, which a
# forked child would inherit in whatever state they happened to be.
_CONTEXT = multiprocessing.get_context("spawn")

# A replacement that fails to load the map is tried again after this long.
_RESTART_DELAY_S = 1.0


class PoolError(Exception):
    """A request that the pool could not carry out; ``status`` is its HTTP status."""

    status = 500

    def __init__(self, message: str, **fields: Any) -> None:
        super().__init__(message)
        self.fields = fields


class QueueFull(PoolError):
    status = 503


class TimedOut(PoolError):
    status = 504


class WorkerLost(PoolError):
    status = 500


class ShuttingDown(PoolError):
    status = 503


class StartupFailed(Exception):
    """The workers could not load the map."""


# --- The worker's side --------------------------------------------------------

def serve_requests(conn: Connection, graph_path: str) -> None:
    """A worker's life: load the graph, say so, then answer requests until told to stop.

    The server stops its workers itself, once the requests in flight are
    answered. Ctrl-C in a terminal reaches the whole process group: a worker
    ignores it rather than die under a request the server still waits for.
    SIGTERM still ends a worker, which is how a server that is made to quit
    at once (a second Ctrl-C) cleans up. Without its server (its pipe
    closed) a worker leaves.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    from velorin.router import Router
    from velorin.service.answers import answer

    try:
        router = Router.from_file(graph_path)
    except BaseException as exc:  # noqa: BLE001 - reported to the parent, which decides
        conn.send(("failed", f"{type(exc).__name__}: {exc}"))
        return
    conn.send(("ready", os.getpid()))
    while True:
        try:
            request = conn.recv()
            if request is None:
                return
            conn.send(answer(router, request))
        except (EOFError, OSError):  # the server is gone: nobody to answer
            return


# --- The server's side --------------------------------------------------------

@dataclass(eq=False)
class _Worker:
    process: BaseProcess
    conn: Connection
    #: Resolved with the worker's first message: ("ready", pid) or ("failed", why).
    started: asyncio.Future[tuple[str, Any]]
    #: The reply to the request in hand, None while idle.
    reply: asyncio.Future[Reply] | None = None
    ready: bool = False


@dataclass
class PoolStatus:
    workers: int
    alive: int
    busy: int
    queued: int
    queue_limit: int
    restarts: int


@dataclass(eq=False)
class WorkerPool:
    """``size`` worker processes for the graph document at ``graph_path``.

    ``timeout_s`` bounds each request from the moment it arrives, time in the
    queue included; ``queue_limit`` is how many requests may wait for a
    worker before new ones are turned away.
    """

    graph_path: str
    size: int
    timeout_s: float
    queue_limit: int
    _workers: set[_Worker] = field(default_factory=set)
    _idle: collections.deque[_Worker] = field(default_factory=collections.deque)
    _waiting: collections.deque[asyncio.Future[_Worker]] = field(
        default_factory=collections.deque)
    _dying: set[BaseProcess] = field(default_factory=set)
    _restarts: int = 0
    _started: bool = False
    _closing: bool = False
    _loop: asyncio.AbstractEventLoop | None = None

    async def start(self) -> None:
        """Start every worker and wait until each has loaded the map."""
        self._loop = asyncio.get_running_loop()
        workers = [self._spawn() for _ in range(self.size)]
        messages = await asyncio.gather(*(w.started for w in workers))
        failures = [why for kind, why in messages if kind != "ready"]
        if failures:
            await self.close()
            raise StartupFailed(f"a worker could not load the map: {failures[0]}")
        self._started = True

    def status(self) -> PoolStatus:
        ready = [w for w in self._workers if w.ready]
        return PoolStatus(workers=self.size, alive=len(ready),
                          busy=sum(w.reply is not None for w in ready),
                          queued=len(self._waiting), queue_limit=self.queue_limit,
                          restarts=self._restarts)

    async def submit(self, request: RouteRequest) -> Reply:
        """A worker's reply to ``request``; raises QueueFull, TimedOut or WorkerLost."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.timeout_s
        worker = await self._acquire(deadline)
        worker.reply = reply = loop.create_future()
        try:
            worker.conn.send(request)
            async with asyncio.timeout_at(deadline):
                result: Reply = await reply
        except TimeoutError:
            self._stop(worker, None)
            raise TimedOut(f"the route search took longer than {self.timeout_s:g} s and was "
                           f"stopped; try places closer together or a larger eps",
                           timeout_s=self.timeout_s) from None
        except asyncio.CancelledError:  # the server is shutting down under us
            self._stop(worker, None)
            raise
        except OSError:
            self._lost(worker)
            raise WorkerLost("the worker for this request could not be reached; it has "
                             "been replaced, try again") from None
        worker.reply = None
        self._hand_over(worker)
        return result

    async def close(self) -> None:
        """Stop every worker: idle ones are asked to leave, busy ones are killed."""
        self._closing = True
        loop = asyncio.get_running_loop()
        for waiter in self._waiting:
            waiter.cancel()
        workers = list(self._workers)
        for w in workers:
            try:
                if w.ready and w.reply is None:
                    w.conn.send(None)
                else:
                    w.process.kill()
            except OSError:  # already gone
                pass
            self._forget(w)
        processes = [w.process for w in workers]
        for process in self._dying:
            loop.remove_reader(process.sentinel)
            processes.append(process)
        self._dying.clear()
        await asyncio.gather(*(loop.run_in_executor(None, _join, p) for p in processes))

    def stop_soon(self) -> None:
        """:meth:`stop_now` from a signal handler or another thread."""
        if self._loop is not None and not self._loop.is_closed():
            self._loop.call_soon_threadsafe(self.stop_now)

    def stop_now(self) -> None:
        """Answer every request in hand or waiting at once with 503, for a server made to
        quit without waiting (a second Ctrl-C): their searches are killed."""
        self._closing = True
        message = "the service is shutting down; try another instance or try again later"
        for waiter in self._waiting:
            if not waiter.done():
                waiter.set_exception(ShuttingDown(message))
        for w in list(self._workers):
            if w.reply is not None and not w.reply.done():
                w.reply.set_exception(ShuttingDown(message))
                self._stop(w, None)

    # --- Internals -----------------------------------------------------------

    async def _acquire(self, deadline: float) -> _Worker:
        if self._idle:
            return self._idle.popleft()
        if len(self._waiting) >= self.queue_limit:
            raise QueueFull(f"all {self.size} workers are busy and {len(self._waiting)} "
                            f"requests are waiting; try again shortly",
                            queued=len(self._waiting))
        assert self._loop is not None
        waiter: asyncio.Future[_Worker] = self._loop.create_future()
        self._waiting.append(waiter)
        try:
            async with asyncio.timeout_at(deadline):
                return await waiter
        except BaseException as exc:
            if waiter in self._waiting:
                self._waiting.remove(waiter)
            elif waiter.done() and not waiter.cancelled():
                # Handed a worker just as time ran out: pass it on to the next request.
                self._hand_over(waiter.result())
            if isinstance(exc, TimeoutError):
                raise TimedOut(f"no worker became free within {self.timeout_s:g} s; the "
                               f"service is overloaded, try again later",
                               timeout_s=self.timeout_s) from None
            raise

    def _hand_over(self, worker: _Worker) -> None:
        """Give an idle worker to the longest-waiting request, or keep it idle."""
        while self._waiting:
            waiter = self._waiting.popleft()
            if not waiter.done():
                waiter.set_result(worker)
                return
        self._idle.append(worker)

    def _spawn(self) -> _Worker:
        assert self._loop is not None
        ours, theirs = _CONTEXT.Pipe(duplex=True)
        process = _CONTEXT.Process(target=serve_requests, args=(theirs, self.graph_path),
                                   name="velorin-worker", daemon=True)
        process.start()
        theirs.close()
        worker = _Worker(process, ours, self._loop.create_future())
        self._workers.add(worker)
        self._loop.add_reader(ours.fileno(), self._readable, worker)
        return worker

    def _readable(self, worker: _Worker) -> None:
        try:
            message = worker.conn.recv()
        except (EOFError, OSError):
            self._lost(worker)
            return
        if not worker.started.done():
            worker.started.set_result(message)
            if message[0] != "ready":
                self._stop(worker, f"could not load the map: {message[1]}")
            elif self._closing:
                self._stop(worker, None)
            else:
                worker.ready = True
                self._hand_over(worker)
        elif worker.reply is not None and not worker.reply.done():
            worker.reply.set_result(message)

    def _stop(self, worker: _Worker, why: str | None) -> None:
        """Kill a worker (the only way to end a running search) and start another."""
        if worker in self._workers:  # not already lost, its process perhaps collected
            worker.process.kill()
            self._lost(worker, why)

    def _lost(self, worker: _Worker, why: str | None = "ended unexpectedly") -> None:
        """A worker has gone: settle what waited on it and put a fresh one in its place."""
        if worker not in self._workers:
            return
        self._forget(worker)
        assert self._loop is not None
        code = worker.process.exitcode
        if not worker.started.done():
            worker.started.set_result(("failed", f"the process ended (exit code {code})"))
        if worker.reply is not None and not worker.reply.done():
            worker.reply.set_exception(WorkerLost(
                "the worker computing this route stopped unexpectedly; it has been replaced, "
                "try again", exit_code=code))
        self._reap(worker.process)
        if self._closing or not self._started:
            return
        if why is not None:
            log.error("worker process %s %s; starting another", worker.process.pid, why)
        self._restarts += 1
        if worker.ready:
            self._spawn()
        else:  # it never loaded the map: do not spin on a fault that may last
            self._loop.call_later(_RESTART_DELAY_S, self._respawn)

    def _respawn(self) -> None:
        if not self._closing:
            self._spawn()

    def _reap(self, process: BaseProcess) -> None:
        """Collect a dead or dying process's exit status without blocking the loop."""
        assert self._loop is not None
        loop, sentinel = self._loop, process.sentinel
        self._dying.add(process)

        def collect() -> None:
            loop.remove_reader(sentinel)
            self._dying.discard(process)
            process.join()
            process.close()

        loop.add_reader(sentinel, collect)

    def _forget(self, worker: _Worker) -> None:
        if worker in self._workers:
            self._workers.discard(worker)
            assert self._loop is not None
            self._loop.remove_reader(worker.conn.fileno())
            worker.conn.close()
        if worker in self._idle:
            self._idle.remove(worker)


def _join(process: BaseProcess) -> None:
    process.join(5.0)
    if process.exitcode is None:
        process.kill()
        process.join()
    process.close()
