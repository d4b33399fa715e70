"""The demo, the synthetic town, the pictures and batch routing, end to end."""

import json
import os
import subprocess
import sys
from xml.etree import ElementTree

import pytest

from shared_data import DATA, REPO


pytest.importorskip("osmium")
pytest.importorskip("matplotlib")

import velorin_core  # noqa: E402
from velorin import Router, batch  # noqa: E402
from velorin.network import Network  # noqa: E402
from velorin.osm import dumps  # noqa: E402

import batch_routes  # noqa: E402
import demo  # noqa: E402
from town import build_town  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run_demo(*args):
    return subprocess.run([sys.executable, str(REPO / "examples" / "demo.py"), *args],
                          capture_output=True, text=True, timeout=300)


def assert_self_contained(page):
    assert "<svg" in page and "<polyline" in page
    # Nothing fetched from elsewhere: no external scripts, styles, images or tiles.
    for needle in ("<script src", "<link", "<img", "url(", "https://", "@import"):
        assert needle not in page
    assert page.count("http://") == 1  # the SVG namespace, never fetched
    svg = page[page.index("<svg"):page.index("</svg>") + len("</svg>")]
    ElementTree.fromstring(svg)  # well-formed, names and captions escaped


def test_demo_on_the_built_in_town(tmp_path):
    run = run_demo("--out", str(tmp_path))
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    for kind in ("shortest", "safest", "balanced"):
        assert any(line.startswith(kind) and " km " in line for line in lines), run.stdout
    png = tmp_path / "demo.png"
    assert png.read_bytes().startswith(PNG_SIGNATURE) and png.stat().st_size > 20_000
    page = (tmp_path / "demo.html").read_text(encoding="utf-8")
    assert_self_contained(page)
    for kind in ("shortest", "safest", "balanced"):
        assert f'id="route-{kind}"' in page


def test_town_is_deterministic_and_all_reachable():
    doc = build_town().graph()
    assert dumps(build_town().graph()) == dumps(doc)
    assert len(Network(doc).main_rows) == len(doc["nodes"])


@pytest.mark.parametrize("eps", [0.0, 0.1])
def test_town_shows_three_different_routes(eps):
    town = build_town()
    doc = town.graph(annotate=True)
    graph = velorin_core.PyGraph.from_json(dumps(doc))
    routes = velorin_core.compute_safe_routes(graph, town.source, town.target, eps)
    by_kind = {r.route_type: r for r in routes}
    assert list(by_kind) == ["shortest", "safest", "balanced"]
    short, safe, mid = by_kind["shortest"], by_kind["safest"], by_kind["balanced"]
    assert short.total_distance_m < mid.total_distance_m < safe.total_distance_m
    assert short.total_risk > mid.total_risk > safe.total_risk
    # The story the picture tells: the fast boulevard, the quiet detour.
    assert demo.lts_shares(doc, short.path)[4] > 0.9 * short.total_distance_m
    assert demo.lts_shares(doc, safe.path)[1] == pytest.approx(safe.total_distance_m)


def test_town_has_contraflow_streets():
    doc = build_town().graph(annotate=True)
    arcs = {(e["from"], e["to"]) for e in doc["edges"]}
    one_way = [a for a in arcs if (a[1], a[0]) not in arcs]
    both = [a for a in arcs if (a[1], a[0]) in arcs]
    assert one_way and len(both) > 10 * len(one_way)


def test_demo_on_a_real_extract(tmp_path):
    path = DATA / "monaco-latest.osm.pbf"
    if not path.exists():
        pytest.skip(f"{path} not available")
    run = run_demo("--osm", str(path), "--distance-km", "1.0", "--out", str(tmp_path))
    assert run.returncode == 0, run.stderr
    assert "\nshortest" in run.stdout and "routing from " in run.stdout
    assert (tmp_path / "monaco-latest.png").read_bytes().startswith(PNG_SIGNATURE)
    assert_self_contained((tmp_path / "monaco-latest.html").read_text(encoding="utf-8"))


@pytest.mark.parametrize("args, message", [
    (["--osm", "/nonexistent/map.osm.pbf"], "not found"),
    (["--source", "1", "--target", "2"], "not on the map"),
])
def test_demo_reports_failures(tmp_path, args, message):
    run = run_demo(*args, "--out", str(tmp_path))
    assert run.returncode == 1
    assert message in run.stderr and len(run.stderr.strip().splitlines()) == 1
    assert not (tmp_path / "demo.png").exists()


@pytest.fixture(scope="module")
def town_batch():
    router = Router.from_document(build_town().graph(annotate=True))
    pairs = batch_routes.random_pairs(router, 16, seed=3)
    # A place given by position, and a pair that cannot be routed.
    pairs += [(router.position(pairs[0][0]), pairs[1][1]), (pairs[0][0], 42)]
    expected = batch.rows(pairs, [batch.route_one(router, pair, 0.1) for pair in pairs])
    return router, pairs, expected


def test_batch_on_a_process_pool_matches_one_process(town_batch, tmp_path):
    router, pairs, expected = town_batch
    assert all(s != t for s, t in pairs)
    outcomes = batch.route_many(router, pairs, 0.1, workers=2)
    assert batch.rows(pairs, outcomes) == expected
    assert {r.get("route_type") for r in expected} >= {"shortest", "safest", None}
    assert expected[-1] == {"pair": 17, "source": pairs[0][0], "target": 42,
                            "error": "destination node 42 is not on the map; pass a node id of "
                                     "the map or a (lat, lon) pair"}
    batch.write_geojson(outcomes, tmp_path / "routes.geojson")
    features = json.loads((tmp_path / "routes.geojson").read_text())["features"]
    assert [f["properties"]["pair"] for f in features] == [r["pair"] for r in expected[:-1]]


def test_batch_on_a_dask_cluster(town_batch, monkeypatch):
    pytest.importorskip("distributed")
    from distributed import Client, LocalCluster

    # In the sanitizer run, Dask's worker processes leave while their own
    # threads still run, and LeakSanitizer reports what those threads hold
    # (the interpreter's objects, not this package's); memory errors are still
    # caught there, and leaks in every other process of the run.
    if "ASAN_OPTIONS" in os.environ:
        monkeypatch.setenv("ASAN_OPTIONS", os.environ["ASAN_OPTIONS"] + ":detect_leaks=0")
    router, pairs, expected = town_batch
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        assert batch.rows(pairs, batch.route_many_dask(client, router, pairs, 0.1)) == expected


def test_batch_without_a_main_guard_fails_rather_than_hangs(tmp_path):
    # Every worker imports the script again and calls route_many at its top
    # level; the workers refuse, and the caller must hear of it, not wait.
    (tmp_path / "town.json").write_text(dumps(build_town().graph()))
    script = tmp_path / "unguarded.py"
    script.write_text(
        "from velorin import Router\n"
        "from velorin.batch import route_many\n"
        "router = Router.from_json(open('town.json').read())\n"
        "ids = router.nodes.ids\n"
        "print(route_many(router, [(int(ids[0]), int(ids[-1])), (int(ids[1]), int(ids[-2]))],"
        " workers=2))\n")
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode != 0
    assert 'call it under `if __name__ == "__main__":`' in run.stderr
    assert run.stderr.rstrip().splitlines()[-1].startswith("RuntimeError: a worker process")


def test_batch_script_writes_csv(tmp_path):
    out = tmp_path / "routes.csv"
    run = subprocess.run([sys.executable, str(REPO / "examples" / "batch_routes.py"),
                          "--pairs", "6", "--workers", "2", "-o", str(out)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "6 pairs on 2 processes" in run.stdout
    header, *rows = out.read_text().splitlines()
    assert header.split(",") == list(batch.FIELDS) and len(rows) >= 6
