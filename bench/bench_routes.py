"""Route requests on a real map: compute_safe_routes against networkx Dijkstra.

For a fixed set of random reachable pairs on the Andorra extract it prints, in
one run: compute_safe_routes time per request at eps 0.0 and 0.1 (bi-objective,
up to three routes), networkx dijkstra_path on distance_m for the same pairs (a
single-objective peer), geometric means and their ratio; then, when the C++
benchmark binary has been built (make cpp-test builds build/cpp/route_bench),
popped labels per second and peak memory per request from the search's own
counters, on the very same graph and pairs, and what one uncached memory read
costs on this machine (build/cpp/memory_latency).

    .venv/bin/python bench/bench_routes.py                # 50 pairs
    .venv/bin/python bench/bench_routes.py --pairs 10     # a quicker look

It reads out/andorra-latest.json, converting ../shared/data/andorra-latest.osm.pbf
with tools/osm_to_graph.py first when needed. Times are CPU time of the calling
thread (process_time), the steadier figure on a shared machine; wall times are
printed beside them.
"""

from __future__ import annotations

import argparse
import json
import math
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
# shared/data beside the repository, or beside a folder holding it (a worktree).
DATA = next((p / "shared" / "data" for p in REPO.parents if (p / "shared" / "data").is_dir()),
            REPO.parent / "shared" / "data")
OUT = REPO / "out"


def load_document() -> tuple[str, Path]:
    cached = OUT / "andorra-latest.json"
    if not cached.exists():
        extract = DATA / "andorra-latest.osm.pbf"
        if not extract.exists():
            sys.exit(f"{extract} not found")
        sys.path.insert(0, str(REPO / "tools"))
        import osm_to_graph

        OUT.mkdir(exist_ok=True)
        cached.write_text(osm_to_graph.dumps(osm_to_graph.convert(extract)))
    return cached.read_text(), cached


def geometric_mean(values: list[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values))


def timed(call):
    wall, cpu = time.perf_counter(), time.process_time()
    result = call()
    return result, time.process_time() - cpu, time.perf_counter() - wall


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=50)
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()

    import networkx as nx
    import velorin_core

    text, path = load_document()
    doc = json.loads(text)
    graph = velorin_core.PyGraph.from_json(text)
    digraph = nx.DiGraph()
    for e in doc["edges"]:
        # Parallel arcs: Dijkstra only ever uses the shortest.
        old = digraph.get_edge_data(e["from"], e["to"])
        if old is None or e["distance_m"] < old["distance_m"]:
            digraph.add_edge(e["from"], e["to"], distance_m=e["distance_m"])
    print(f"{path.name}: {graph.node_count():,} nodes, {graph.edge_count():,} arcs")

    rng = random.Random(args.seed)
    ids = [n["id"] for n in doc["nodes"] if n["id"] in digraph]
    pairs = []
    while len(pairs) < args.pairs:
        source, target = rng.sample(ids, 2)
        if nx.has_path(digraph, source, target):
            pairs.append((source, target))

    # The graph checks its arcs once, on the first request that can use lower
    # bounds; that one-time cost is taken here, outside the timings.
    _, once, _ = timed(lambda: velorin_core.compute_safe_routes(graph, *pairs[0], 0.1))
    print(f"first request (includes the one-time check of the arcs): {once * 1e3:.1f} ms of CPU")

    peer_cpu, peer_wall = [], []
    for source, target in pairs:
        _, cpu, wall = timed(lambda: nx.dijkstra_path(digraph, source, target, weight="distance_m"))
        peer_cpu.append(cpu)
        peer_wall.append(wall)
    peer = geometric_mean(peer_cpu)
    print(f"\n{len(pairs)} random reachable pairs (seed {args.seed}); geometric means per request:")
    print(f"  networkx dijkstra_path on distance_m:  {peer * 1e3:8.2f} ms CPU "
          f"({geometric_mean(peer_wall) * 1e3:.2f} ms wall)")

    for eps in (0.0, 0.1):
        cpu_times, wall_times, counts = [], [], []
        for source, target in pairs:
            routes, cpu, wall = timed(
                lambda: velorin_core.compute_safe_routes(graph, source, target, eps))
            cpu_times.append(cpu)
            wall_times.append(wall)
            counts.append(len(routes))
        ours = geometric_mean(cpu_times)
        print(f"  compute_safe_routes, eps {eps:.1f}:          {ours * 1e3:8.2f} ms CPU "
              f"({geometric_mean(wall_times) * 1e3:.2f} ms wall), median "
              f"{sorted(cpu_times)[len(cpu_times) // 2] * 1e3:.2f} ms, max {max(cpu_times):.2f} s, "
              f"{sum(counts) / len(counts):.2f} routes per request: "
              f"{peer / ours:.2f}x networkx")

    bench = REPO / "build" / "cpp" / "route_bench"
    if not bench.exists():
        print("\n(build/cpp/route_bench not built: run make cpp-test for label counts and memory)")
        return 0
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as pairs_file:
        pairs_file.write("".join(f"{s} {t}\n" for s, t in pairs))
    print("\nC++ search counters on the same graph and pairs (build/cpp/route_bench):")
    sys.stdout.flush()
    subprocess.run([str(bench), "graph", str(path), pairs_file.name, "0.0", "0.1"], check=True)
    Path(pairs_file.name).unlink()
    # What one uncached read costs here: the search's sets outgrow the caches.
    latency = bench.parent / "memory_latency"
    if latency.exists():
        print("\nThis machine (build/cpp/memory_latency):")
        sys.stdout.flush()
        subprocess.run([str(latency), "256"], check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
