"""The service's worker pool on Andorra: memory for 1, 2 and 4 workers, and how long a
lost worker takes to be replaced.

The map is loaded once, by the process that forks the workers, so the workers
share its pages. For each pool size it prints the proportional set size
(PSS, from /proc/PID/smaps_rollup: shared pages split among the processes
that share them) of the server, of the keeper and of the workers together,
after one round of requests has run on every worker; then it kills a worker
five times and times, from the kill to /health reporting every worker ready
again, how long the replacement took. For comparison it times loading the
map itself (``Router.from_file``), which is what a replacement cost when
every worker loaded its own map. Linux only.

    .venv/bin/python bench/bench_workers.py
"""

from __future__ import annotations

import http.client
import json
import os
import signal
import statistics
import sys
import time
from pathlib import Path

from bench_service import Server, descendants, load_map, neighbour_pair, query  # noqa: E402

from velorin import Router  # noqa: E402

MiB = 1 << 20


def pss(pid: int) -> int:
    for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
        if line.startswith("Pss:"):
            return int(line.split()[1]) * 1024
    return 0


def running(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def health(conn: http.client.HTTPConnection) -> dict:
    conn.request("GET", "/health")
    return json.loads(conn.getresponse().read())


def wait_ready(conn: http.client.HTTPConnection, workers: int) -> None:
    while health(conn)["workers_alive"] < workers:
        time.sleep(0.001)


def main() -> None:
    graph = load_map()
    start = time.perf_counter()
    router = Router.from_file(graph)
    load_s = time.perf_counter() - start
    path = query(neighbour_pair(router))
    del router
    print(f"map: {graph.name}; loading it (Router.from_file) takes {load_s:.2f} s")
    for workers in (1, 2, 4):
        server = Server(graph, workers)
        try:
            conn = server.connection()
            wait_ready(conn, workers)
            for _ in range(4 * workers):  # every worker answers at least once
                conn.request("GET", path)
                conn.getresponse().read()
            family = descendants(server.process.pid)
            keeper = [p for p in family if descendants(p)]
            forked = [p for p in family if p not in keeper and
                      any(p in descendants(k) for k in keeper)]
            server_mib = pss(server.process.pid) / MiB
            keeper_mib = sum(pss(p) for p in keeper) / MiB
            workers_mib = sum(pss(p) for p in forked) / MiB
            print(f"{workers} worker(s): PSS server {server_mib:.0f} MiB, keeper "
                  f"{keeper_mib:.0f} MiB, workers {workers_mib:.0f} MiB together "
                  f"({workers_mib / workers:.0f} MiB each); all "
                  f"{server_mib + keeper_mib + workers_mib:.0f} MiB")
            times = []
            for _ in range(5):
                restarted = health(conn)["workers_restarted"]
                victim = [p for p in descendants(keeper[0]) if running(p)][0]
                start = time.perf_counter()
                os.kill(victim, signal.SIGKILL)
                while True:
                    state = health(conn)
                    if state["workers_restarted"] > restarted and \
                            state["workers_alive"] == workers:
                        break
                times.append((time.perf_counter() - start) * 1000)
            print(f"  replacement of a killed worker: median {statistics.median(times):.1f} ms, "
                  f"at most {max(times):.1f} ms over {len(times)} kills")
        finally:
            server.stop()


if __name__ == "__main__":
    main()
