"""The service for apps: place names, profiles, strict parameters, CORS, the page's search box."""

import os

import pytest

from shared_data import DATA

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
pytest.importorskip("osmium")
pytest.importorskip("httpx2")

from starlette.testclient import TestClient  # noqa: E402

from velorin import Router  # noqa: E402
from velorin.osm import dumps  # noqa: E402
from velorin.service import create_app  # noqa: E402

from town import build_town  # noqa: E402

MONACO = DATA / "monaco-latest.osm.pbf"
TRIP = {"from": "45.171,5.721", "to": "45.185,5.745"}


@pytest.fixture(scope="module")
def town_map(tmp_path_factory):
    """The synthetic town with two named places, as a graph document."""
    doc = build_town().graph(annotate=True)
    doc["places"] = [{"name": "Saint-Étienne-le-Haut", "place": "village", "lat": 45.186,
                      "lon": 5.745},
                     {"name": "Gare", "place": "suburb", "lat": 45.171, "lon": 5.721}]
    path = tmp_path_factory.mktemp("apps") / "town.json"
    path.write_text(dumps(doc))
    return path


@pytest.fixture(scope="module")
def client(town_map):
    with TestClient(create_app(town_map, workers=1, timeout_s=5.0)) as client:
        yield client


def test_places_answer_the_search_box_and_names_are_route_ends(client, town_map):
    found = client.get("/places", params={"q": "saint etienne"}).json()["places"]
    assert [(p["name"], p["kind"]) for p in found] == [("Saint-Étienne-le-Haut", "village")]
    streets = client.get("/places", params={"q": "avenue", "limit": "5"}).json()["places"]
    assert streets and all(p["kind"] == "street" and p["name"].startswith("Avenue")
                           for p in streets)

    by_name = client.get("/route", params={"from": "gare", "to": "Saint-Étienne"})
    by_point = client.get("/route", params={"from": "45.171,5.721", "to": "45.186,5.745"})
    assert by_name.status_code == 200
    assert by_name.json()["features"] == by_point.json()["features"]

    ambiguous = client.get("/route", params={"from": "Avenue", "to": "Gare"})
    assert ambiguous.status_code == 422
    body = ambiguous.json()
    assert body["name"] == "Avenue" and len(body["candidates"]) >= 2
    assert all({"label", "lat", "lon"} <= set(c) for c in body["candidates"])
    unknown = client.get("/route", params={"from": "Atlantis", "to": "Gare"})
    assert unknown.status_code == 422 and "no place named 'Atlantis'" in unknown.json()["error"]


@pytest.mark.parametrize("path, params, status, words", [
    ("/route", {**TRIP, "profil": "mtb"}, 400, "unknown parameter 'profil' for /route"),
    ("/route", {**TRIP, "speed": "fast", "avoid": "hills"}, 400, "parameters 'avoid', 'speed'"),
    ("/nearest", {"lat": "45.17", "lon": "5.72", "max_distance": "9"}, 400,
     "'max_distance' for /nearest"),
    ("/health", {"verbose": "1"}, 400, "it reads none"),
    ("/places", {}, 400, "missing parameter 'q'"),
    ("/places", {"q": "gare", "limit": "0"}, 400, "not a whole number in 1..100"),
    ("/route", {**TRIP, "profile": "mtb"}, 400, "not a profile this service answers: city"),
    ("/route", {"from": "45.171,5.721", "to": "45.30,5.745"}, 422,
     "allow a larger max_distance_m"),
    ("/route", {"from": "45.171,5.721", "to": "45.30,5.745", "max_distance_m": "-1"}, 400,
     "not a number of metres"),
])
def test_parameters_the_service_does_not_read_or_cannot_use_are_refused(client, path, params,
                                                                         status, words):
    response = client.get(path, params=params)
    assert response.status_code == status, response.text
    assert words in response.json()["error"]


def test_max_distance_m_lets_a_far_point_snap_and_the_page_needs_no_parameter(client):
    far = {"from": "45.171,5.721", "to": "45.30,5.745"}
    assert client.get("/route", params={**far, "max_distance_m": "20000"}).status_code == 200
    near = client.get("/nearest", params={"lat": "45.30", "lon": "5.745",
                                          "max_distance_m": "20000"})
    assert near.status_code == 200 and near.json()["distance_m"] > 10_000
    assert client.get("/", params={"utm_source": "x"}).status_code == 200
    background = client.get("/background").json()
    assert background == {"type": "FeatureCollection", "features": []}  # a graph document


def test_cross_origin_calls_only_from_the_origins_given(town_map):
    origin = {"Origin": "https://app.example.org"}
    with TestClient(create_app(town_map, workers=1)) as closed:
        assert "access-control-allow-origin" not in closed.get("/health", headers=origin).headers
    with TestClient(create_app(town_map, workers=1,
                               cors_origins=["https://app.example.org"])) as open_:
        answer = open_.get("/route", params=TRIP, headers=origin)
        assert answer.headers["access-control-allow-origin"] == "https://app.example.org"
        other = open_.get("/health", headers={"Origin": "https://evil.example"})
        assert "access-control-allow-origin" not in other.headers
        preflight = open_.options("/route", headers={**origin,
                                                     "Access-Control-Request-Method": "GET"})
        assert preflight.status_code == 200


def test_an_elevation_raster_gives_the_served_routes_their_climbs(tmp_path):
    if not MONACO.exists():
        pytest.skip(f"{MONACO} not available")
    rasterio = pytest.importorskip("rasterio")
    import numpy as np
    from rasterio.transform import from_origin

    # Degrees around Monaco, rising 2 m for every 0.001 degree northwards.
    west, north, step, size = 7.3, 43.9, 0.001, 300
    heights = 100 + 2 * np.arange(size, 0, -1, dtype="float32")[:, None].repeat(size, 1)
    dem = tmp_path / "monaco-dem.tif"
    with rasterio.open(dem, "w", driver="GTiff", width=size, height=size, count=1,
                       dtype="float32", crs="EPSG:4326",
                       transform=from_origin(west, north, step, step)) as out:
        out.write(heights, 1)
    with pytest.raises(ValueError, match="already converted"):
        create_app(tmp_path / "any.json", dem=dem)
    trip = {"from": "43.7308,7.4197", "to": "43.7447,7.4297"}  # 1.5 km to the north
    with TestClient(create_app(MONACO, workers=1, dem=dem)) as client:
        routes = client.get("/route", params=trip).json()["features"]
    for route in routes:
        climbed = route["properties"]["ascent_m"] - route["properties"]["descent_m"]
        assert climbed == pytest.approx(2 * (43.7447 - 43.7308) / 0.001, abs=8)


def test_several_profiles_are_served_at_once(tmp_path):
    if not MONACO.exists():
        pytest.skip(f"{MONACO} not available")
    with pytest.raises(ValueError, match="graph document, converted with one profile"):
        create_app(tmp_path / "any.json", profile="city,mtb")
    with TestClient(create_app(MONACO, workers=1, profile="city,mtb")) as client:
        state = client.get("/health").json()
        assert state["profiles"] == ["city", "mtb"] and state["workers"] == 2
        trip = {"from": "43.7308,7.4197", "to": "43.7447,7.4297", "eps": "0"}
        for profile in ("city", "mtb"):
            expected = Router.from_osm(MONACO, profile=profile).route(
                (43.7308, 7.4197), (43.7447, 7.4297), 0.0)
            body = client.get("/route", params={**trip, "profile": profile}).json()
            assert [f["properties"]["total_risk"] for f in body["features"]] == \
                [r.total_risk for r in expected]
        default = client.get("/route", params=trip).json()
        city = client.get("/route", params={**trip, "profile": "city"}).json()
        assert default == city
        assert client.get("/network", params={"profile": "mtb"}).status_code == 200
        kinds = {f["properties"]["kind"] for f in client.get("/background").json()["features"]}
        assert {"water", "parks", "place"} <= kinds


def test_the_page_search_box_places_the_pins(tmp_path):
    if not MONACO.exists():
        pytest.skip(f"{MONACO} not available")
    playwright = pytest.importorskip("playwright.sync_api")
    chromium = next((p for p in ("/usr/bin/chromium", "/usr/bin/chromium-browser")
                     if os.path.exists(p)), None)
    if chromium is None:
        pytest.skip("no system chromium (apt-get install chromium)")
    from test_service import served, wait_in_page

    with served(MONACO, "--workers", "1") as (_, url), playwright.sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        page = browser.new_page(viewport={"width": 1280, "height": 800})
        errors = []
        page.on("pageerror", lambda exc: errors.append(str(exc)))
        page.on("console", lambda m: "Content Security Policy" in m.text
                and errors.append(m.text))
        page.goto(url + "/")
        wait_in_page(page, "document.body.dataset.state === 'ready'", timeout=20_000)
        page.fill("#start-place", "monte")
        page.wait_for_selector("#start-suggestions li[role=option]")
        first = page.locator("#start-suggestions li[role=option]").first.inner_text()
        page.keyboard.press("ArrowDown")
        page.keyboard.press("Enter")
        assert page.input_value("#start-place") == first.split("\n")[0]
        place = page.evaluate("start.getLatLng()")
        expected = page.evaluate("fetch('places?q=monte').then(r => r.json())")["places"][0]
        assert (place["lat"], place["lng"]) == (expected["lat"], expected["lon"])
        page.fill("#finish-place", "fontvieille")
        page.keyboard.press("Enter")  # no choice made: the first place offered
        wait_in_page(page, "document.body.dataset.state === 'routed'", timeout=30_000)
        assert page.evaluate("finish !== null")
        rows = page.locator("#routes tbody tr")
        assert rows.count() >= 1
        # The directions of the selected route, and of another when its row is clicked.
        steps = page.locator("#directions li")
        assert steps.first.inner_text().startswith("Head ")
        assert steps.last.inner_text() == "Arrive at the destination"
        rows.last.click()
        assert page.locator("#routes tbody tr.selected").count() == 1
        browser.close()
    assert not errors
