"""Worker processes that share one loaded map and answer route requests one at a time.

A route search holds the interpreter lock from start to end and cannot be
interrupted, so it never runs in the server's process: there it would stall
the event loop, health checks and signal handling included. Searches run in
worker processes instead; the server hands each request to an idle worker,
queues a bounded number of others, and kills a worker whose request runs past
its deadline - the only way to stop a search - putting another in its place.

The map is loaded once, by a *keeper* process that the server starts; the
keeper then forks every worker. A fork shares the keeper's memory until
either side writes to it, and the engine's graph and the map's arrays are
never written after loading, so N workers cost about one map, and a worker
is replaced in milliseconds without reading the map again. The keeper runs
nothing but this forking, so it holds no thread or lock that a fork could
catch in a bad state (the server, with its event loop and threads, could not
fork safely). The server talks to each worker over a socket pair of its own,
whose far end it passes to the keeper for the fork.

Processes die together: the keeper and its workers ignore SIGINT, SIGTERM and
SIGHUP (a terminal, systemd or ``timeout`` signal the whole group; the
server decides when requests end), and each dies with its parent (Linux's
parent-death signal; elsewhere the keeper sees its server's end of the
control pipe close and kills its workers). A map copy left by a server that
died anyway is removed by the next server (see :mod:`velorin.service.maps`).

The pool lives in the server's event loop: it watches the keeper's and each
worker's socket with ``add_reader`` instead of blocking a thread on them, so
any number of requests wait without costing a thread each.
"""

from __future__ import annotations

import asyncio
import collections
import ctypes
import gc
import itertools
import logging
import math
import multiprocessing
import os
import signal
import socket
import sys
import time
from dataclasses import dataclass, field
from multiprocessing import reduction
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess
# A forked worker leaves by _exit: the keeper's exit handlers are the keeper's alone.
from os import _exit as exit_at_once
from typing import Any

from velorin.service.answers import Reply, RouteRequest

log = logging.getLogger("velorin.service")

# The keeper is spawned, not forked: the server runs an event loop and threads,
# which a forked child would inherit in whatever state they happened to be.
_CONTEXT = multiprocessing.get_context("spawn")

#: A keeper or worker that could not be started is tried again after this long.
RETRY_DELAY_S = 0.5

_GROUP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


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
    """The map could not be loaded for the workers."""


# --- The keeper's and the workers' side -------------------------------------------

def die_with_parent(parent: int) -> None:
    """Have the kernel kill this process when its parent ends (Linux); leave at once if
    the parent has already gone."""
    if sys.platform.startswith("linux"):
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
        except (OSError, AttributeError):
            pass
    if os.getppid() != parent:
        exit_at_once(0)


def keep_map(control: Connection, graph_path: str, server: int) -> None:
    """The keeper's life: load the map, then fork a worker for each socket it is handed.

    Messages to the server: ("ready", pid) or ("failed", why) once; then
    ("forked", token, pid) or ("fork failed", token, why) for each fork, and
    ("ended", pid, exit code) as each worker is collected.
    """
    for sig in _GROUP_SIGNALS:
        signal.signal(sig, signal.SIG_IGN)
    die_with_parent(server)
    # A numerical library's thread pool would be forked mid-state; none is needed.
    for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[name] = "1"
    try:
        from velorin.router import Router

        router = Router.from_file(graph_path)
    except BaseException as exc:  # noqa: BLE001 - reported to the server, which decides
        control.send(("failed", f"{type(exc).__name__}: {exc}"))
        return
    # Objects that exist now are never looked at by the collector again, so its
    # bookkeeping does not write to (and unshare) the pages the workers share.
    gc.collect()
    gc.freeze()
    control.send(("ready", os.getpid()))
    workers: set[int] = set()
    leaving_by: float | None = None
    while workers or leaving_by is None:
        if leaving_by is None and wait([control], timeout=0.2):
            try:
                message = control.recv()
            except (EOFError, OSError):  # the server is gone: its searches with it
                message = ("exit", 0.0)
            if message[0] == "fork":
                _fork(control, router, message[1], workers)
            elif message[0] == "kill" and message[1] in workers:
                os.kill(message[1], signal.SIGKILL)
            elif message[0] == "exit":  # the workers were told; give them a moment
                leaving_by = time.monotonic() + message[1]
        elif leaving_by is not None:
            if time.monotonic() >= leaving_by:
                for pid in workers:
                    os.kill(pid, signal.SIGKILL)
                leaving_by = math.inf
            time.sleep(0.02)
        _collect(control, workers)


def _fork(control: Connection, router: Any, token: int, workers: set[int]) -> None:
    fd = reduction.recv_handle(control)
    keeper = os.getpid()
    try:
        pid = os.fork()
    except OSError as exc:
        os.close(fd)
        control.send(("fork failed", token, str(exc)))
        return
    if pid == 0:
        code = 1
        try:
            control.close()
            die_with_parent(keeper)
            code = serve_requests(Connection(fd), router)
        finally:
            exit_at_once(code)
    os.close(fd)
    workers.add(pid)
    control.send(("forked", token, pid))


def _collect(control: Connection, workers: set[int]) -> None:
    while workers:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            workers.clear()
            return
        if pid == 0:
            return
        workers.discard(pid)
        try:
            control.send(("ended", pid, os.waitstatus_to_exitcode(status)))
        except OSError:  # the server is gone
            pass


def serve_requests(conn: Connection, router: Any) -> int:
    """A worker's life: say it is ready, then answer requests until told to stop or
    until the server's end of its socket closes. Returns the exit code."""
    from velorin.service.answers import answer

    try:
        conn.send(("ready", os.getpid()))
        while True:
            request = conn.recv()
            if request is None:
                return 0
            conn.send(answer(router, request))
    except (EOFError, OSError):  # the server is gone: nobody to answer
        return 0


# --- The server's side --------------------------------------------------------

@dataclass(eq=False)
class _Worker:
    conn: Connection
    #: Resolved with the worker's first message: ("ready", pid) or ("failed", why).
    started: asyncio.Future[tuple[str, Any]]
    pid: int | None = None
    #: The reply to the request in hand, None while idle.
    reply: asyncio.Future[Reply] | None = None
    ready: bool = False


@dataclass(eq=False)
class _Keeper:
    process: BaseProcess
    conn: Connection
    started: asyncio.Future[tuple[str, Any]]
    pid: int | None = None


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

    Where a worker is: from the fork request until it is lost, in
    ``_workers`` (keyed by the token of its fork until the keeper names its
    pid); once it says it is ready, either in ``_idle`` or holding a request
    (its ``reply`` set); when it dies or is killed it leaves ``_workers`` and
    ``_repair`` asks for another, again and again (every ``RETRY_DELAY_S``)
    until one starts - unless the server is stopping (``stopping``, set as
    soon as it is told to quit) or the pool is closed.
    """

    graph_path: str
    size: int
    timeout_s: float
    queue_limit: int
    #: Set when the server starts to stop: no worker is replaced from then on.
    stopping: bool = False
    _workers: dict[int, _Worker] = field(default_factory=dict)
    _idle: collections.deque[_Worker] = field(default_factory=collections.deque)
    _waiting: collections.deque[asyncio.Future[_Worker]] = field(
        default_factory=collections.deque)
    _keeper: _Keeper | None = None
    _old_keepers: list[BaseProcess] = field(default_factory=list)
    _tokens: itertools.count[int] = field(default_factory=itertools.count)
    _killed: set[int] = field(default_factory=set)
    _retry: asyncio.TimerHandle | None = None
    _restarts: int = 0
    _started: bool = False
    _closing: bool = False
    _loop: asyncio.AbstractEventLoop | None = None

    async def start(self) -> None:
        """Load the map in the keeper and start every worker."""
        self._loop = asyncio.get_running_loop()
        keeper = self._start_keeper()
        kind, why = await keeper.started
        if kind != "ready":
            await self.close()
            raise StartupFailed(f"the workers could not load the map: {why}")
        workers = [self._fork() for _ in range(self.size)]
        messages = await asyncio.gather(*(w.started for w in workers if w is not None))
        failures = [why for kind, why in messages if kind != "ready"]
        if failures or None in workers:
            await self.close()
            raise StartupFailed(f"a worker could not be started: "
                                f"{failures[0] if failures else 'no descriptor or memory'}")
        self._started = True

    @property
    def keeper_pid(self) -> int | None:
        """The process that holds the map and forks the workers."""
        return self._keeper.pid if self._keeper is not None else None

    def status(self) -> PoolStatus:
        ready = [w for w in self._workers.values() if w.ready]
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
        """Stop every worker and the keeper: idle workers are asked to leave, busy ones
        are killed."""
        self._closing = True
        if self._retry is not None:
            self._retry.cancel()
        for waiter in self._waiting:
            waiter.cancel()
        for w in list(self._workers.values()):
            try:
                if w.ready and w.reply is None:
                    w.conn.send(None)
                elif w.pid is not None:
                    self._kill(w.pid)
            except OSError:  # already gone
                pass
            self._forget(w)
        processes = list(self._old_keepers)
        self._old_keepers.clear()
        keeper, self._keeper = self._keeper, None
        if keeper is not None:
            try:
                keeper.conn.send(("exit", 2.0))  # it waits for its workers, then leaves
            except OSError:
                pass
            self._close_keeper(keeper)
            processes.append(keeper.process)
        loop = asyncio.get_running_loop()
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
        for w in list(self._workers.values()):
            if w.reply is not None and not w.reply.done():
                w.reply.set_exception(ShuttingDown(message))
                self._stop(w, None)

    # --- Internals: the keeper -------------------------------------------------

    def _start_keeper(self) -> _Keeper:
        assert self._loop is not None
        ours, theirs = _CONTEXT.Pipe(duplex=True)
        # Started from the event loop's thread, which lives as long as the server:
        # the parent-death signal follows the thread that started the process.
        process = _CONTEXT.Process(target=keep_map, args=(theirs, self.graph_path, os.getpid()),
                                   name="velorin-keeper", daemon=True)
        try:
            process.start()
        finally:
            theirs.close()
        keeper = _Keeper(process, ours, self._loop.create_future())
        self._keeper = keeper
        self._loop.add_reader(ours.fileno(), self._from_keeper, keeper)
        return keeper

    def _from_keeper(self, keeper: _Keeper) -> None:
        try:
            message = keeper.conn.recv()
        except (EOFError, OSError):
            self._keeper_lost(keeper)
            return
        kind = message[0]
        if not keeper.started.done():
            keeper.started.set_result(message)
            if kind == "ready":
                keeper.pid = message[1]
                self._repair()
            else:
                log.error("the keeper could not load the map: %s", message[1])
                self._keeper_lost(keeper)
        elif kind == "forked":
            worker = self._workers.get(message[1])
            if worker is not None:
                worker.pid = message[2]
            else:  # given up on before it was forked
                self._kill(message[2])
        elif kind == "fork failed":
            worker = self._workers.get(message[1])
            log.error("a worker could not be started: %s; trying again", message[2])
            if worker is not None:
                self._lost(worker, None, retry_later=True)
        elif kind == "ended":
            pid, code = message[1], message[2]
            if code != 0 and pid not in self._killed and not self._closing:
                log.error("worker process %s ended with exit code %s", pid, code)
            self._killed.discard(pid)

    def _keeper_lost(self, keeper: _Keeper) -> None:
        """The keeper has gone (killed, out of memory) or could not load the map: its
        workers die with it; start another, after a pause if this one never loaded."""
        if keeper is not self._keeper:
            return
        if not keeper.started.done():
            keeper.started.set_result(("failed", f"the process ended (exit code "
                                                 f"{keeper.process.exitcode})"))
        self._keeper = None
        self._killed.clear()
        self._close_keeper(keeper)
        self._old_keepers.append(keeper.process)
        if not (self._closing or self.stopping) and self._started:
            log.error("the process holding the map ended; loading it again")
            self._later()

    def _close_keeper(self, keeper: _Keeper) -> None:
        assert self._loop is not None
        if not keeper.conn.closed:
            self._loop.remove_reader(keeper.conn.fileno())
            keeper.conn.close()

    def _kill(self, pid: int) -> None:
        """Have the keeper kill a worker: the worker is its child, so the pid cannot
        have been reused for another process yet."""
        self._killed.add(pid)
        if self._keeper is not None:
            try:
                self._keeper.conn.send(("kill", pid))
            except OSError:
                pass

    # --- Internals: the workers ---------------------------------------------------

    def _repair(self) -> None:
        """Bring the pool back to full: a keeper if there is none, then workers; what
        cannot be started now is tried again later."""
        self._retry = None
        if self._closing or self.stopping or not self._started:
            return
        if self._keeper is None:
            try:
                self._start_keeper()  # whose "ready" calls this again
            except OSError as exc:
                log.error("cannot start the process holding the map: %s; trying again", exc)
                self._later()
            return
        if self._keeper.pid is None:  # still loading the map
            return
        while len(self._workers) < self.size:
            if self._fork() is None:
                self._later()
                return

    def _later(self) -> None:
        assert self._loop is not None
        if self._retry is None:
            self._retry = self._loop.call_later(RETRY_DELAY_S, self._repair)

    def _fork(self) -> _Worker | None:
        """A new worker, forked by the keeper; None when it cannot be asked for one."""
        assert self._loop is not None and self._keeper is not None
        try:
            ours, theirs = socket.socketpair()
        except OSError as exc:
            log.error("cannot start a worker: %s; trying again", exc)
            return None
        token = next(self._tokens)
        worker = _Worker(Connection(ours.detach()), self._loop.create_future())
        try:
            self._keeper.conn.send(("fork", token))
            reduction.send_handle(self._keeper.conn, theirs.fileno(), self._keeper.pid)
        except OSError as exc:
            worker.conn.close()
            log.error("cannot start a worker: %s; trying again", exc)
            return None
        finally:
            theirs.close()
        self._workers[token] = worker
        self._loop.add_reader(worker.conn.fileno(), self._readable, worker)
        return worker

    def _readable(self, worker: _Worker) -> None:
        try:
            message = worker.conn.recv()
        except (EOFError, OSError):
            self._lost(worker)
            return
        if not worker.started.done():
            worker.started.set_result(message)
            worker.pid = message[1]
            if self._closing:
                self._stop(worker, None)
            else:
                worker.ready = True
                self._hand_over(worker)
        elif worker.reply is not None and not worker.reply.done():
            worker.reply.set_result(message)

    def _stop(self, worker: _Worker, why: str | None) -> None:
        """Kill a worker (the only way to end a running search) and start another."""
        if worker.pid is not None:
            self._kill(worker.pid)
        self._lost(worker, why)

    def _lost(self, worker: _Worker, why: str | None = "ended unexpectedly",
              retry_later: bool = False) -> None:
        """A worker has gone: settle what waited on it and put a fresh one in its place."""
        if not self._forget(worker):
            return
        if not worker.started.done():
            worker.started.set_result(("failed", why or "stopped"))
        if worker.reply is not None and not worker.reply.done():
            worker.reply.set_exception(WorkerLost(
                "the worker computing this route stopped unexpectedly; it has been replaced, "
                "try again"))
        if self._closing or self.stopping or not self._started:
            return
        if why is not None:
            log.error("worker process %s %s; starting another", worker.pid, why)
        self._restarts += 1
        if retry_later or not worker.ready:  # do not spin on a fault that may last
            self._later()
        else:
            self._repair()

    def _hand_over(self, worker: _Worker) -> None:
        """Give an idle worker to the longest-waiting request, or keep it idle."""
        while self._waiting:
            waiter = self._waiting.popleft()
            if not waiter.done():
                waiter.set_result(worker)
                return
        self._idle.append(worker)

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
            elif waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                # Handed a worker just as time ran out: pass it on to the next request.
                self._hand_over(waiter.result())
            if isinstance(exc, TimeoutError):
                raise TimedOut(f"no worker became free within {self.timeout_s:g} s; the "
                               f"service is overloaded, try again later",
                               timeout_s=self.timeout_s) from None
            raise

    def _forget(self, worker: _Worker) -> bool:
        """Take a worker out of the pool; False if it was already out."""
        token = next((t for t, w in self._workers.items() if w is worker), None)
        if token is None:
            return False
        del self._workers[token]
        assert self._loop is not None
        self._loop.remove_reader(worker.conn.fileno())
        worker.conn.close()
        if worker in self._idle:
            self._idle.remove(worker)
        return True


def _join(process: BaseProcess) -> None:
    process.join(10.0)
    if process.exitcode is None:
        process.kill()
        process.join()
    process.close()
