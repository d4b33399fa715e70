"""The route service: its HTTP API, its worker pool under stress, shutdown, and the page.

A test map holds the synthetic town (snapped to, routed on quickly) and, apart
from it, a one-way grid whose search across most of it at eps 0.1 keeps a
worker busy for seconds: the long request that timeouts, full queues and
killed workers need. (At eps 0.0 the engine searches only what its three picks
need, which takes milliseconds even there.)
"""

import contextlib
import json
import math
import multiprocessing
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from shared_data import DATA, REPO

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
pytest.importorskip("osmium")
# The test client of recent Starlette releases; the sanitizer run installs neither.
httpx = pytest.importorskip("httpx2")

from starlette.testclient import TestClient  # noqa: E402

from velorin import Router  # noqa: E402
from velorin.cli import main  # noqa: E402
from velorin.osm import dumps  # noqa: E402
from velorin.service import create_app  # noqa: E402

from town import build_town  # noqa: E402

GRID = 200
GRID_BASE = 10_000_000  # node ids of the grid, far from the town's
# About 8 s of search: well past the tests' one-second deadline.
LONG = {"from": str(GRID_BASE), "to": str(GRID_BASE + 150 * GRID + 150), "eps": "0.1"}
TOWN_TRIP = {"from": "45.171,5.721", "to": "45.185,5.745"}


def one_way_grid(n, seed=1):
    """Arcs only east and north with distance and risk at odds: huge Pareto sets."""
    rng = random.Random(seed)
    nodes = [{"id": GRID_BASE + i * n + j, "lat": 46 + i * 1e-3, "lon": 7 + j * 1e-3}
             for i in range(n) for j in range(n)]
    edges = []
    for i in range(n):
        for j in range(n):
            for a, b in ((i, j + 1), (i + 1, j)):
                if a < n and b < n:
                    d = rng.uniform(80, 200)
                    edges.append({"from": GRID_BASE + i * n + j, "to": GRID_BASE + a * n + b,
                                  "distance_m": d, "risk_score": (300 - d) * rng.random()})
    return nodes, edges


@pytest.fixture(scope="module")
def map_path(tmp_path_factory):
    doc = build_town().graph(annotate=True)
    nodes, edges = one_way_grid(GRID)
    doc = {"nodes": doc["nodes"] + nodes, "edges": doc["edges"] + edges}
    path = tmp_path_factory.mktemp("service") / "town.json"
    path.write_text(dumps(doc))
    return path


@pytest.fixture(scope="module")
def client(map_path):
    """One worker, a queue of one and a one-second deadline."""
    with TestClient(create_app(map_path, workers=1, timeout_s=1.0, queue=1)) as client:
        keeper = client.app.state.pool.keeper_pid
        yield client
    assert not multiprocessing.active_children()
    wait_until(lambda: not children_of(keeper), timeout=10)


def workers_of(client):
    """The worker processes: the children of the process that holds the map."""
    return [p for p in children_of(client.app.state.pool.keeper_pid) if running(p)]


def wait_until(predicate, timeout=60.0):
    end = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < end, "condition not reached in time"
        time.sleep(0.02)


def health(client):
    return client.get("/health").json()


def in_background(call):
    """Run ``call`` in a thread; the returned function joins it and gives its result."""
    box = {}
    thread = threading.Thread(target=lambda: box.setdefault("result", call()), daemon=True)
    thread.start()

    def result():
        thread.join(120)
        return box["result"]
    return result


def test_routes_are_the_routers_as_geojson_with_the_snaps(client, map_path):
    response = client.get("/route", params=TOWN_TRIP)
    assert response.status_code == 200 and response.headers["content-type"] == "application/json"
    body = response.json()
    expected = Router.from_file(map_path).route((45.171, 5.721), (45.185, 5.745))
    assert body["type"] == "FeatureCollection"
    assert [f["properties"] for f in body["features"]] == [r.to_geojson()["properties"]
                                                            for r in expected]
    for feature, route in zip(body["features"], expected):
        assert feature["geometry"]["coordinates"] == [[lon, lat] for lat, lon in route.coordinates]
    assert body["origin"]["node"] == expected[0].path[0]
    assert body["origin"]["snap_m"] == expected[0].origin_snap_m > 0
    assert body["destination"]["node"] == expected[0].path[-1]


def test_routes_through_via_points_and_as_gpx(client, map_path):
    vias = [(45.172, 5.735), (45.18, 5.73)]
    params = [*TOWN_TRIP.items(), *(("via", f"{a},{b}") for a, b in vias)]
    expected = Router.from_file(map_path).route((45.171, 5.721), (45.185, 5.745), via=vias)
    body = client.get("/route", params=params).json()
    assert [f["properties"] for f in body["features"]] == [r.to_geojson()["properties"]
                                                            for r in expected]
    assert all(len(f["properties"]["via_indices"]) == 2 for f in body["features"])
    gpxpy = pytest.importorskip("gpxpy")
    response = client.get("/route", params=[*params, ("format", "gpx")])
    assert response.status_code == 200
    assert response.headers["content-type"].startswith("application/gpx+xml")
    tracks = gpxpy.parse(response.text).tracks
    assert [t.name for t in tracks] == [r.label for r in expected]
    assert [(p.latitude, p.longitude) for p in tracks[0].segments[0].points] == \
        list(expected[0].coordinates)
    for bad, status, says in ((("format", "kml"), 400, "'format'"),
                              (("via", "99.5,5.7"), 400, "'via'"),
                              (("via", "45.5,5.7"), 422, "34.7 km")):
        answer = client.get("/route", params=[*TOWN_TRIP.items(), bad])
        assert answer.status_code == status and says in answer.json()["error"]


def test_nearest_and_health_describe_the_map(client, map_path):
    router = Router.from_file(map_path)
    node, metres = router.nearest_node(45.18, 5.73)
    assert client.get("/nearest", params={"lat": 45.18, "lon": 5.73}).json() == {
        "node": node, "lat": router.position(node)[0], "lon": router.position(node)[1],
        "distance_m": metres}
    state = health(client)
    assert state["status"] == "ok" and state["map"] == "town"
    assert (state["nodes"], state["arcs"]) == (router.node_count, router.graph.edge_count())
    assert state["workers"] == state["workers_alive"] == 1 and state["queue"] == 0
    described = client.get("/openapi.json").json()["paths"]
    assert all(client.get(path).status_code < 500 for path in described)


def test_the_page_takes_the_route_style_of_the_pictures(client):
    from velorin.pictures import ROUTE_STYLE
    from velorin.style import ROUTE_STYLES

    script = client.get("/style.js")
    assert script.status_code == 200 and "javascript" in script.headers["content-type"]
    config = json.loads(script.text.removeprefix("const VELORIN_STYLE = ").rstrip(";\n"))
    for kind, style in ROUTE_STYLES.items():
        assert config["routes"][kind]["colour"] == style.colour == ROUTE_STYLE[kind][0]
        assert config["routes"][kind]["label"] == style.label
    assert 'src="style.js"' in client.get("/").text


@pytest.mark.parametrize("url, status, parameter", [
    ("/route?to=45.18,5.73", 400, "from"),
    ("/route?from=45.17,5.72&to=45.18,5.73,1", 400, "to"),
    ("/route?from=45.17,5.72&to=north", 422, None),  # a name the map lacks
    ("/route?from=45.17;5.72&to=45.18,5.73", 400, "from"),
    ("/route?from=95,5.72&to=45.18,5.73", 400, "from"),
    ("/route?from=nan,5.72&to=45.18,5.73", 400, "from"),
    ("/route?from=45.17,5.72&to=45.18,5.73&eps=fast", 400, "eps"),
    ("/route?from=45.17,5.72&to=45.18,5.73&eps=-0.1", 400, "eps"),
    ("/route?from=45.17,5.72&to=45.18,5.73&eps=inf", 400, "eps"),
    ("/nearest?lat=45.17", 400, "lon"),
    ("/nearest?lat=45.17&lon=east", 400, "lon"),
    ("/route?from=40,5.72&to=45.18,5.73", 422, None),
    ("/route?from=45.17,5.72&to=77", 422, None),
    ("/nearest?lat=40&lon=5.72", 422, None),
    (f"/route?from=45.171,5.721&to={GRID_BASE}", 404, None),
    ("/no/such/page", 404, None),
])
def test_bad_requests_answer_a_json_error(client, url, status, parameter):
    response = client.get(url)
    assert response.status_code == status
    body = response.json()
    assert isinstance(body["error"], str) and body["error"]
    assert body.get("parameter") == parameter


def test_a_request_past_the_deadline_answers_504_and_its_worker_is_replaced(client):
    restarted = health(client)["workers_restarted"]
    start = time.monotonic()
    response = client.get("/route", params=LONG)
    assert response.status_code == 504 and "1 s" in response.json()["error"]
    assert time.monotonic() - start < 3.0  # the search itself takes several seconds
    wait_until(lambda: health(client)["workers_alive"] == 1)
    assert health(client)["workers_restarted"] == restarted + 1
    assert client.get("/route", params=TOWN_TRIP).status_code == 200


def test_a_full_queue_answers_503_at_once(client):
    wait_until(lambda: health(client)["workers_alive"] == 1)
    running = in_background(lambda: client.get("/route", params=LONG))
    wait_until(lambda: health(client)["workers_busy"] == 1)
    queued = in_background(lambda: client.get("/route", params=LONG))
    wait_until(lambda: health(client)["queue"] == 1)
    start = time.monotonic()
    refused = client.get("/route", params=TOWN_TRIP)
    assert refused.status_code == 503 and time.monotonic() - start < 0.5
    assert refused.headers["retry-after"] and "busy" in refused.json()["error"]
    # Both waited requests end by the deadline, the queued one without a worker.
    assert [running().status_code, queued().status_code] == [504, 504]


def test_a_killed_worker_answers_500_and_is_replaced(client):
    wait_until(lambda: health(client)["workers_alive"] == 1)
    running = in_background(lambda: client.get("/route", params=LONG))
    wait_until(lambda: health(client)["workers_busy"] == 1)
    [worker] = workers_of(client)
    os.kill(worker, signal.SIGKILL)
    response = running()
    assert response.status_code == 500 and "replaced" in response.json()["error"]
    wait_until(lambda: health(client)["workers_alive"] == 1)
    assert client.get("/route", params=TOWN_TRIP).status_code == 200


@pytest.mark.parametrize("argv, message", [
    (["serve", "missing.json"], "missing.json"),
    (["serve", "MAP", "--workers", "0"], "workers must be at least 1"),
    (["serve", "MAP", "--timeout", "0"], "timeout must be a positive number"),
])
def test_serve_refuses_bad_arguments_in_one_line(map_path, capsys, argv, message):
    argv = [str(map_path) if a == "MAP" else a for a in argv]
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


# --- A real server on loopback ------------------------------------------------

def process_state(pid):
    """(state letter, parent id) of a process, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            # The command name may hold spaces; the fields follow its last ')'.
            state, parent = stat.read().rsplit(")", 1)[1].split()[:2]
    except OSError:
        return None
    return state, int(parent)


def children_of(pid):
    return [int(p) for p in os.listdir("/proc")
            if p.isdigit() and (process_state(p) or (None, None))[1] == pid]


def running(pid):
    state = process_state(pid)
    return state is not None and state[0] != "Z"


@contextlib.contextmanager
def served(map_file, *options, **popen):
    """``velorin serve`` in a child process on a free loopback port: (process, base URL).

    The process's ``startup`` holds the lines it wrote up to then, and ``log`` all
    those that follow."""
    server = subprocess.Popen(
        [sys.executable, "-m", "velorin", "serve", str(map_file), "--port", "0", *options],
        cwd=REPO, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True, **popen)
    server.startup, server.log = [], []
    try:
        url = None
        for line in server.stderr:
            server.startup.append(line)
            found = re.search(r"running on (http://127\.0\.0\.1:\d+)", line)
            if found:
                url = found.group(1)
                break
        assert url, "the server did not start"
        # Keep the pipe drained.
        threading.Thread(target=lambda: server.log.extend(server.stderr), daemon=True).start()
        yield server, url
    finally:
        if server.poll() is None:  # stopped as a service manager would, so it cleans up
            server.terminate()
            try:
                server.wait(30)
            except subprocess.TimeoutExpired:
                server.kill()
        server.wait(30)


@pytest.mark.parametrize("signals, status", [
    ([signal.SIGTERM], 200),                # the search in flight is finished
    ([signal.SIGINT, signal.SIGINT], 503),  # a second Ctrl-C stops it at once
])
def test_health_stays_quick_during_a_search_and_a_signal_leaves_no_process(map_path, signals,
                                                                          status):
    with served(map_path, "--workers", "1", "--timeout", "60") as (server, url):
        workers = children_of(server.pid)
        assert workers
        with httpx.Client(base_url=url, timeout=60) as http:
            search = in_background(lambda: http.get("/route", params=LONG))
            wait_until(lambda: http.get("/health").json()["workers_busy"] == 1)
            latencies = []
            for _ in range(20):
                start = time.perf_counter()
                assert http.get("/health").status_code == 200
                latencies.append(time.perf_counter() - start)
            # A loop that waited for the search would answer after seconds; a
            # second is the margin a machine busy with other jobs may need.
            assert max(latencies) < 1.0, latencies
            for sig in signals:
                server.send_signal(sig)
                time.sleep(0.2)
            assert search().status_code == status
            assert server.wait(30) in (0, 130, -signals[-1])  # uvicorn ends by the signal
    # Multiprocessing's helper leaves once it sees its server gone: give it a moment.
    wait_until(lambda: not any(running(pid) for pid in workers), timeout=10)


# --- The page in a real browser -------------------------------------------------

def wait_in_page(page, expression, timeout):
    """Playwright's wait_for_function, from outside the page: the page's policy forbids
    the string evaluation that it uses."""
    end = time.monotonic() + timeout / 1000
    while not page.evaluate(expression):
        assert time.monotonic() < end, f"not reached in time: {expression}"
        time.sleep(0.05)


def test_the_page_draws_routes_between_two_clicks(tmp_path):
    monaco = DATA / "monaco-latest.osm.pbf"
    if not monaco.exists():
        pytest.skip(f"{monaco} not available")
    playwright = pytest.importorskip("playwright.sync_api")
    chromium = next((p for p in ("/usr/bin/chromium", "/usr/bin/chromium-browser")
                     if os.path.exists(p)), None)
    if chromium is None:
        pytest.skip("no system chromium (apt-get install chromium)")
    with served(monaco, "--workers", "2") as (_, url), playwright.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        page = browser.new_page(viewport={"width": 1280, "height": 800})
        errors = []
        page.on("pageerror", lambda exc: errors.append(str(exc)))
        # The page runs under its own Content-Security-Policy: anything it refuses is a fault.
        page.on("console", lambda m: "Content Security Policy" in m.text
                and errors.append(m.text))
        page.goto(url + "/")
        wait_in_page(page, "document.body.dataset.state === 'ready'", timeout=20_000)
        box = page.locator("#map").bounding_box()
        for fx, fy in ((0.3, 0.7), (0.7, 0.3)):
            page.mouse.click(box["x"] + box["width"] * fx, box["y"] + box["height"] * fy)
        wait_in_page(page, "document.body.dataset.state === 'routed'", timeout=30_000)
        rows = page.locator("#routes tbody tr")
        types = [rows.nth(i).get_attribute("data-route-type") for i in range(rows.count())]
        assert types and set(types) <= {"shortest", "safest", "balanced"}
        assert page.evaluate("Object.keys(routeLayers).length") == len(types)
        if len(types) < 3:
            assert "same" in page.locator("#note").inner_text()
        rows.nth(0).hover()
        out = REPO / "out"
        out.mkdir(exist_ok=True)
        page.screenshot(path=str(out / "service-page.png"))
        # Dragging the finish asks again and keeps both pins.
        pin = page.locator(".pin-finish").bounding_box()
        x, y = pin["x"] + pin["width"] / 2, pin["y"] + pin["height"] / 2
        page.mouse.move(x, y)
        page.mouse.down()
        page.mouse.move(x - 90, y + 60, steps=3)  # faster than the pin follows
        page.mouse.up()
        wait_in_page(page, "['routed', 'error'].includes(document.body.dataset.state)",
                               timeout=30_000)
        assert page.evaluate("start !== null && finish !== null")
        # A third click starts over; a finish off the map is refused in words.
        for fx, fy in ((0.3, 0.7), (0.01, 0.01)):
            page.mouse.click(box["x"] + box["width"] * fx, box["y"] + box["height"] * fy)
        wait_in_page(page, "document.body.dataset.state === 'error'", timeout=30_000)
        assert "The end pin is off the map" in page.locator("#status").inner_text()
        assert page.locator("#routes tbody tr").count() == 0
        browser.close()
    assert not errors
