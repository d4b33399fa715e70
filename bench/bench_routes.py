"""Route requests on a real map: compute_safe_routes against networkx Dijkstra.

For a fixed set of random reachable pairs on the Andorra extract, plus long
random pairs (least-distance route at least 8 km), it prints in one run:
compute_safe_routes time per request at eps 0.0 and 0.1 (bi-objective, up to
three routes), networkx dijkstra_path on distance_m for the same pairs (a
single-objective peer), geometric means and their ratio, each long pair side
by side with networkx; then, when the C++ benchmark binary has been built (make
cpp-test builds build/cpp/route_bench), the search's own counters on the very
same graph and pairs (pops before and after the first solution, labels pruned
by each rule, exact bounds computed, peak memory per request), and what one
uncached memory read costs on this machine (build/cpp/memory_latency).

    .venv/bin/python bench/bench_routes.py                  # 50 + 10 long pairs
    .venv/bin/python bench/bench_routes.py --rounded        # lengths rounded to the cm
    .venv/bin/python bench/bench_routes.py --pairs 10 --long 3   # a quicker look
    .venv/bin/python bench/bench_routes.py --dump out/routes.txt # every result, exactly

--dump writes every route of every request (type, costs as float.hex, path):
two builds give the same routes exactly when their dumps are equal.

It reads out/andorra-latest.json, converting ../shared/data/andorra-latest.osm.pbf
with tools/osm_to_graph.py first when needed (--rounded: the same graph with every
distance_m rounded to the centimetre, out/andorra-latest-cm.json). Times are CPU
time of the calling thread (process_time), the steadier figure on a shared
machine; wall times are printed beside them.
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
LONG_M = 8000.0


def load_document(rounded: bool) -> tuple[str, Path]:
    cached = OUT / "andorra-latest.json"
    if not cached.exists():
        extract = DATA / "andorra-latest.osm.pbf"
        if not extract.exists():
            sys.exit(f"{extract} not found")
        sys.path.insert(0, str(REPO / "tools"))
        import osm_to_graph

        OUT.mkdir(exist_ok=True)
        cached.write_text(osm_to_graph.dumps(osm_to_graph.convert(extract)))
    if rounded:
        source, cached = cached, OUT / "andorra-latest-cm.json"
        if not cached.exists():
            doc = json.loads(source.read_text())
            for e in doc["edges"]:
                e["distance_m"] = round(e["distance_m"], 2)
            cached.write_text(json.dumps(doc))
    return cached.read_text(), cached


def geometric_mean(values: list[float]) -> float:
    return math.exp(sum(math.log(v) for v in values) / len(values))


def timed(call):
    wall, cpu = time.perf_counter(), time.process_time()
    result = call()
    return result, time.process_time() - cpu, time.perf_counter() - wall


def random_pairs(rng, ids, count, accept):
    pairs = []
    while len(pairs) < count:
        source, target = rng.sample(ids, 2)
        if accept(source, target):
            pairs.append((source, target))
    return pairs


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=50)
    parser.add_argument("--long", type=int, default=10, help="long pairs (least distance >= 8 km)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--rounded", action="store_true",
                        help="every distance_m rounded to the centimetre")
    parser.add_argument("--dump", type=Path, help="write every route of every request here")
    args = parser.parse_args()

    import networkx as nx
    import velorin_core

    text, path = load_document(args.rounded)
    doc = json.loads(text)
    graph = velorin_core.PyGraph.from_json(text)
    digraph = nx.DiGraph()
    for e in doc["edges"]:
        # Parallel arcs: Dijkstra only ever uses the shortest.
        old = digraph.get_edge_data(e["from"], e["to"])
        if old is None or e["distance_m"] < old["distance_m"]:
            digraph.add_edge(e["from"], e["to"], distance_m=e["distance_m"])
    print(f"{path.name}: {graph.node_count():,} nodes, {graph.edge_count():,} arcs")

    ids = [n["id"] for n in doc["nodes"] if n["id"] in digraph]
    pairs = random_pairs(random.Random(args.seed), ids, args.pairs,
                         lambda s, t: nx.has_path(digraph, s, t))

    def long_enough(s, t):
        try:
            return nx.dijkstra_path_length(digraph, s, t, weight="distance_m") >= LONG_M
        except nx.NetworkXNoPath:
            return False

    long_pairs = random_pairs(random.Random(args.seed + 1), ids, args.long, long_enough)

    # The graph checks its arcs once, on the first request that can use lower
    # bounds; that one-time cost is taken here, outside the timings.
    _, once, _ = timed(lambda: velorin_core.compute_safe_routes(graph, *pairs[0], 0.1))
    print(f"first request (includes the one-time check of the arcs): {once * 1e3:.1f} ms of CPU")

    dump = args.dump.open("w") if args.dump else None
    groups = [(f"{len(pairs)} random reachable pairs (seed {args.seed})", pairs)]
    if long_pairs:
        groups.append((f"{len(long_pairs)} long pairs (least distance >= {LONG_M / 1000:g} km, "
                       f"seed {args.seed + 1})", long_pairs))
    for title, group in groups:
        peer_cpu, peer_wall = [], []
        for source, target in group:
            _, cpu, wall = timed(
                lambda: nx.dijkstra_path(digraph, source, target, weight="distance_m"))
            peer_cpu.append(cpu)
            peer_wall.append(wall)
        peer = geometric_mean(peer_cpu)
        print(f"\n{title}; geometric means per request:")
        print(f"  networkx dijkstra_path on distance_m:  {peer * 1e3:8.2f} ms CPU "
              f"({geometric_mean(peer_wall) * 1e3:.2f} ms wall)")
        per_eps = {}
        for eps in (0.0, 0.1):
            cpu_times, wall_times, counts = [], [], []
            for source, target in group:
                routes, cpu, wall = timed(
                    lambda: velorin_core.compute_safe_routes(graph, source, target, eps))
                cpu_times.append(cpu)
                wall_times.append(wall)
                counts.append(len(routes))
                if dump:
                    dump.write(f"{source} {target} eps {eps}\n")
                    for r in routes:
                        dump.write(f"  {r.route_type} {r.total_distance_m.hex()} "
                                   f"{r.total_risk.hex()} {r.total_familiarity.hex()}: "
                                   f"{' '.join(map(str, r.path))}\n")
            per_eps[eps] = cpu_times
            ours = geometric_mean(cpu_times)
            slowest = max(range(len(group)), key=cpu_times.__getitem__)
            print(f"  compute_safe_routes, eps {eps:.1f}:          {ours * 1e3:8.2f} ms CPU "
                  f"({geometric_mean(wall_times) * 1e3:.2f} ms wall), median "
                  f"{sorted(cpu_times)[len(cpu_times) // 2] * 1e3:.2f} ms, "
                  f"{sum(counts) / len(counts):.2f} routes per request: {peer / ours:.2f}x networkx; "
                  f"slowest {cpu_times[slowest]:.3f} s = "
                  f"{cpu_times[slowest] / peer_cpu[slowest]:.1f}x networkx on that pair")
        if group is long_pairs:
            print("  per long pair, CPU ms (networkx | eps 0.0, time relative to networkx "
                  "| eps 0.1, time relative to networkx):")
            for i, (source, target) in enumerate(group):
                a, b, c = peer_cpu[i] * 1e3, per_eps[0.0][i] * 1e3, per_eps[0.1][i] * 1e3
                print(f"    {source:>11} -> {target:<11} {a:8.1f} | {b:8.1f} {b / a:6.2f}x "
                      f"| {c:8.1f} {c / a:6.2f}x")
    if dump:
        dump.close()
        print(f"\nevery route written to {args.dump}")

    bench = REPO / "build" / "cpp" / "route_bench"
    if not bench.exists():
        print("\n(build/cpp/route_bench not built: run make cpp-test for label counts and memory)")
        return 0
    for title, group in groups:
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as pairs_file:
            pairs_file.write("".join(f"{s} {t}\n" for s, t in group))
        print(f"\nC++ search counters, {title} (build/cpp/route_bench):")
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
