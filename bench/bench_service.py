"""The route service on loopback against Router.route called in-process, on Andorra.

For a fixed set of random place pairs (seed 2024, 0.5 to 2.5 km apart as the
crow flies) it prints, in one run:

* ``Router.route`` in this process: latency per request, p50 and p99;
* ``velorin serve`` with 1 and then 2 workers: latency of the same requests
  sent one at a time (p50, p99), the overhead per request (service latency
  minus the in-process time of the same pair; p50 and p99), and requests per
  second with two clients sending the pairs at once;
* the overhead alone: requests between two neighbouring nodes, whose search
  costs next to nothing, sent one at a time, with the CPU time that the
  server process and its workers spent per request (read from /proc, so
  Linux only), a figure that other jobs on the machine do not inflate;
* with Playwright and Debian's chromium at hand, how long the page takes to
  load and draw the road network (best and worst of three loads).

    .venv/bin/python bench/bench_service.py              # 40 pairs
    .venv/bin/python bench/bench_service.py --pairs 10   # a quicker look

It serves out/andorra-serve.json, converting ../shared/data/andorra-latest.osm.pbf
once when needed. Every phase stops after --budget seconds, whatever is left.
"""

from __future__ import annotations

import argparse
import http.client
import math
import os
import random
import re
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DATA = next((p / "shared" / "data" for p in REPO.parents if (p / "shared" / "data").is_dir()),
            REPO.parent / "shared" / "data")
OUT = REPO / "out"

from velorin import Router  # noqa: E402
from velorin.geo import haversine_m  # noqa: E402


def load_map() -> Path:
    cached = OUT / "andorra-serve.json"
    if not cached.exists():
        extract = DATA / "andorra-latest.osm.pbf"
        if not extract.exists():
            sys.exit(f"{extract} not found")
        from velorin.osm import convert, dumps

        OUT.mkdir(exist_ok=True)
        cached.write_text(dumps(convert(extract, annotate=True)))
    return cached


def pick_pairs(router: Router, count: int) -> list[tuple[tuple[float, float], ...]]:
    main = router.main_component
    rng = random.Random(2024)
    pairs = []
    while len(pairs) < count:
        a, b = (int(main[rng.randrange(len(main))]) for _ in range(2))
        pa, pb = router.position(a), router.position(b)
        if 500 <= haversine_m(*pa, *pb) <= 2500:
            pairs.append((pa, pb))
    return pairs


def neighbour_pair(router: Router) -> tuple[tuple[float, float], ...]:
    main = set(router.main_component.tolist())
    arcs = router.arcs
    for f, t in zip(arcs.source.tolist(), arcs.target.tolist()):
        if f in main and t in main and f != t:
            return router.position(f), router.position(t)
    raise RuntimeError("no arc in the main component")


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(q * len(ordered)) - 1))]


def ms(values: list[float]) -> str:
    p50, p99 = 1000 * statistics.median(values), 1000 * percentile(values, 0.99)
    return f"p50 {p50:7.2f} ms   p99 {p99:7.2f} ms"


def query(pair: tuple[tuple[float, float], ...]) -> str:
    (a, b), (c, d) = pair
    return f"/route?from={a!r},{b!r}&to={c!r},{d!r}&eps=0.1"


class Server:
    def __init__(self, graph: Path, workers: int) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "velorin", "serve", str(graph), "--port", "0", "--workers",
             str(workers), "--timeout", "60", "--queue", "64"],
            cwd=REPO, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        assert self.process.stderr is not None
        for line in self.process.stderr:
            found = re.search(r"running on http://127\.0\.0\.1:(\d+)", line)
            if found:
                self.port = int(found.group(1))
                break
        else:
            sys.exit("the service did not start")
        threading.Thread(target=self.process.stderr.read, daemon=True).start()

    def connection(self) -> http.client.HTTPConnection:
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)

    def cpu_seconds(self) -> tuple[float, float]:
        """CPU time used so far by the server process and by its children."""
        def of(pid: int) -> float:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

        return of(self.process.pid), sum(of(c) for c in descendants(self.process.pid))

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(60)


def descendants(pid: int) -> list[int]:
    """Every process below ``pid``: the map's keeper and the workers it forks."""
    found, todo = [], [pid]
    while todo:
        parent = todo.pop()
        children = [int(p.name) for p in Path("/proc").iterdir() if p.name.isdigit()
                    and _parent(p) == parent]
        found += children
        todo += children
    return found


def _parent(proc: Path) -> int | None:
    try:
        return int((proc / "stat").read_text().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return None


def get(conn: http.client.HTTPConnection, path: str) -> float:
    start = time.perf_counter()
    conn.request("GET", path)
    response = conn.getresponse()
    response.read()
    elapsed = time.perf_counter() - start
    if response.status != 200:
        raise RuntimeError(f"{path}: status {response.status}")
    return elapsed


def one_at_a_time(server: Server, paths: list[str], budget: float) -> list[float]:
    conn, times, end = server.connection(), [], time.monotonic() + budget
    for path in paths:
        if time.monotonic() > end:
            break
        times.append(get(conn, path))
    conn.close()
    return times


def throughput(server: Server, paths: list[str], clients: int, budget: float) -> float:
    """Requests per second with ``clients`` connections sharing the list of requests."""
    todo = list(paths)
    lock = threading.Lock()
    done = [0]
    end = time.monotonic() + budget

    def client() -> None:
        conn = server.connection()
        while time.monotonic() < end:
            with lock:
                if not todo:
                    break
                path = todo.pop()
            get(conn, path)
            with lock:
                done[0] += 1
        conn.close()

    start = time.perf_counter()
    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return done[0] / (time.perf_counter() - start)


def page_load_seconds(server: Server, loads: int = 3) -> list[float] | None:
    """Seconds from navigation until the page has drawn the network, or None without a browser."""
    chromium = Path("/usr/bin/chromium")
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        return None
    if not chromium.exists():
        return None
    times = []
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=str(chromium), args=["--no-sandbox"])
        for _ in range(loads):
            page = browser.new_page(viewport={"width": 1280, "height": 800})
            start = time.perf_counter()
            page.goto(f"http://127.0.0.1:{server.port}/")
            page.wait_for_function("document.body.dataset.state === 'ready'", polling=10,
                                   timeout=60_000)
            times.append(time.perf_counter() - start)
            page.close()
        browser.close()
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=40)
    parser.add_argument("--budget", type=float, default=60.0, help="seconds per phase at most")
    args = parser.parse_args()

    graph = load_map()
    router = Router.from_file(graph)
    pairs = pick_pairs(router, args.pairs)
    near = neighbour_pair(router)
    print(f"Andorra: {router.node_count} nodes, {router.graph.edge_count()} arcs; "
          f"{len(pairs)} pairs 0.5-2.5 km apart, eps 0.1")

    for origin, destination in pairs[:3]:  # the first request builds lazy indexes
        router.route(origin, destination, 0.1)
    local, end = [], time.monotonic() + args.budget
    for origin, destination in pairs:
        if time.monotonic() > end:
            break
        start = time.perf_counter()
        router.route(origin, destination, 0.1)
        local.append(time.perf_counter() - start)
    pairs = pairs[:len(local)]
    local_near = []
    for _ in range(200):
        start = time.perf_counter()
        router.route(*near, 0.1)
        local_near.append(time.perf_counter() - start)
    print(f"{'Router.route in-process':34} {ms(local)}   "
          f"{1 / statistics.mean(local):6.1f} req/s on one core")

    paths = [query(p) for p in pairs]
    for workers in (1, 2):
        server = Server(graph, workers)
        try:
            one_at_a_time(server, paths[:3], args.budget)  # connections and caches warm
            served = one_at_a_time(server, paths, args.budget)
            overhead = [s - l for s, l in zip(served, local)]
            rate = throughput(server, paths, 2, args.budget)
            before = server.cpu_seconds()
            near_times = one_at_a_time(server, [query(near)] * 500, args.budget)
            after = server.cpu_seconds()
            loads = page_load_seconds(server) if workers == 1 else None
        finally:
            server.stop()
        print(f"{f'velorin serve, {workers} worker(s)':34} {ms(served)}   "
              f"{rate:6.1f} req/s with 2 clients")
        print(f"{'  overhead on the same pairs':34} {ms(overhead)}")
        near_overhead = [s - statistics.median(local_near) for s in near_times]
        print(f"{'  overhead, neighbouring nodes':34} {ms(near_overhead)}   "
              f"(in-process {1000 * statistics.median(local_near):.2f} ms)")
        server_ms, workers_ms = ((b - a) * 1000 / len(near_times) for a, b in zip(before, after))
        print(f"{'  CPU per request, neighbouring':34} server {server_ms:.2f} ms, workers "
              f"{workers_ms:.2f} ms (the route itself "
              f"{1000 * statistics.median(local_near):.2f} ms)")
        if loads:
            print(f"{'  page loaded and network drawn':34} {min(loads):.2f} to {max(loads):.2f} s")


if __name__ == "__main__":
    main()
