"""Helpers shared by the reliability tests: graph documents, memory readings
and running a hostile case in a child interpreter."""

import json
import os
import random
import subprocess
import sys
import textwrap
import time

# Set by `make test-asan`: the sanitizer build is several times slower and its
# allocator keeps freed memory in quarantine, so the heaviest cases shrink and
# memory figures are not comparable. Every case still runs.
LIGHT = os.environ.get("VELORIN_TEST_LIGHT") == "1"

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
MiB = 1 << 20


def rss_bytes():
    """Resident set size of this process now."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def document(nodes, edges):
    """Object-form graph document. nodes: (id, lat, lon); edges: (from, to,
    distance_m, risk_score[, familiarity])."""
    return json.dumps(
        {
            "nodes": [{"id": i, "lat": lat, "lon": lon} for i, lat, lon in nodes],
            "edges": [
                dict(
                    {"from": a, "to": b, "distance_m": d, "risk_score": r},
                    **({"familiarity": e[4]} if len(e) > 4 else {}),
                )
                for e in edges
                for a, b, d, r in [e[:4]]
            ],
        }
    )


def grid_document(width, height, seed, lat0=43.5, lon0=1.4, step=0.001):
    """A width x height street grid, arcs both ways, with seeded random
    lengths and risks; node ids are 1 .. width*height."""
    rng = random.Random(seed)
    nodes = [
        (1 + y * width + x, lat0 + y * step, lon0 + x * step)
        for y in range(height)
        for x in range(width)
    ]
    edges = []
    for y in range(height):
        for x in range(width):
            here = 1 + y * width + x
            for nx, ny in ((x + 1, y), (x, y + 1)):
                if nx < width and ny < height:
                    there = 1 + ny * width + nx
                    length = rng.uniform(60.0, 140.0)
                    for a, b in ((here, there), (there, here)):
                        edges.append(
                            (
                                a,
                                b,
                                length,
                                rng.choice([0.1, 0.3, 0.8, 2.0]) * length / 100.0,
                                rng.choice([0.0, 0.0, 0.5, 1.0]),
                            )
                        )
    return document(nodes, edges)


def run_isolated(code, timeout, **params):
    """Runs `code` in a fresh interpreter, with `params` (JSON values) as its
    globals, and returns what it passed to report() as a dict, together with
    `grown_bytes`, the child's peak RSS above its RSS at the last mark() (made
    once after `import velorin_core`), and `seconds`, its wall time. A crash,
    a hang past `timeout` seconds or a non-zero exit fails the calling test,
    with the child's stderr, instead of taking the test session down.

    The peak is the kernel's high-water mark of this process's own memory
    (VmHWM), reset by mark(); getrusage's figure would also count the parent's
    pages inherited across fork and exec."""
    prelude = textwrap.dedent("""
        import json, re, sys
        import velorin_core
        from velorin_core import PyGraph, compute_safe_routes
        globals().update(json.loads(sys.argv[1]))
        def _status_kib(field):
            with open("/proc/self/status") as status:
                return int(re.search(field + r":\\s+(\\d+)", status.read()).group(1))
        def mark():
            global _base_kib
            with open("/proc/self/clear_refs", "w") as clear:
                clear.write("5")  # restart the high-water mark from here
            _base_kib = _status_kib("VmRSS")
        mark()
        def grown_bytes():
            return (_status_kib("VmHWM") - _base_kib) * 1024
        _reported = {}
        def report(**values):
            _reported.update(values, grown_bytes=grown_bytes())
            print(json.dumps(_reported))
        """)
    started = time.monotonic()
    child = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code), json.dumps(params)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    seconds = time.monotonic() - started
    assert (
        child.returncode == 0
    ), f"child exited with {child.returncode}\n--- stderr:\n{child.stderr[-5000:]}"
    result = json.loads(child.stdout.strip().splitlines()[-1])
    result["seconds"] = seconds
    return result
