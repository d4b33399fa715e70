"""Place names: the offline index of towns, villages and streets, and names as route ends."""

import pickle

import pytest

from velorin import AmbiguousPlace, PlaceNotFound, Router
from velorin.cli import main
from velorin.places import PlaceIndex, fold

from shared_data import DATA

ANDORRA = DATA / "andorra-latest.osm.pbf"

# A valley with two villages, each with its own "Carrer Major", and a town.
RECORDS = [
    {"name": "Vilanova", "place": "town", "lat": 42.50, "lon": 1.50},
    {"name": "Vilanova", "place": "suburb", "lat": 42.505, "lon": 1.505},  # the same place
    {"name": "Sant Pere", "place": "village", "lat": 42.55, "lon": 1.50},
    {"name": "Santa Coloma", "place": "village", "lat": 42.45, "lon": 1.50},
    {"name": "Łąka", "place": "hamlet", "lat": 42.56, "lon": 1.51},
]
STREETS = [("Carrer Major", 42.551, 1.501), ("Carrer Major", 42.552, 1.502),
           ("Carrer Major", 42.451, 1.501), ("Avinguda del Riu", 42.50, 1.499),
           ("Avinguda del Riu", 42.501, 1.499)]


@pytest.fixture(scope="module")
def valley() -> PlaceIndex:
    return PlaceIndex.build(RECORDS, STREETS)


@pytest.mark.parametrize("query, name, kind, town", [
    ("Vilanova", "Vilanova", "town", None),            # the town, not its suburb
    ("sant pere", "Sant Pere", "village", "Vilanova"),
    ("SANTA", "Santa Coloma", "village", "Vilanova"),  # a prefix of one place only
    ("laka", "Łąka", "hamlet", "Sant Pere"),           # letters without a decomposition
    ("riu", "Avinguda del Riu", "street", "Vilanova"),  # a word of the name
    ("Carrer Major, Santa", "Carrer Major", "street", "Santa Coloma"),
    ("  carrer-major ,  sant p ", "Carrer Major", "street", "Sant Pere"),
])
def test_a_name_finds_its_place(valley, query, name, kind, town):
    found = valley.find(query)
    assert (found.name, found.kind, found.town) == (name, kind, town)


@pytest.mark.parametrize("query, labels", [
    ("Sant", ["Sant Pere, Vilanova", "Santa Coloma, Vilanova"]),
    ("carrer major", ["Carrer Major, Sant Pere", "Carrer Major, Santa Coloma"]),
])
def test_an_ambiguous_name_lists_its_candidates_each_of_which_finds_itself(valley, query,
                                                                            labels):
    with pytest.raises(AmbiguousPlace) as caught:
        valley.find(query)
    assert sorted(p.label for p in caught.value.candidates) == labels
    assert all(label in str(caught.value) for label in labels)
    for candidate in caught.value.candidates:
        assert valley.find(candidate.label) == candidate
    assert isinstance(caught.value, PlaceNotFound) and isinstance(caught.value, LookupError)


def test_search_ranks_whole_names_then_prefixes_then_words_places_before_streets(valley):
    assert [p.label for p in valley.search("sant")] == [
        "Sant Pere, Vilanova", "Santa Coloma, Vilanova"]
    assert [p.name for p in valley.search("c", limit=50)] == [
        "Carrer Major", "Carrer Major", "Santa Coloma"]
    assert valley.search("v", limit=1)[0].name == "Vilanova"
    assert valley.search("", limit=5) == [] and valley.search("zzz") == []
    assert fold("L'Aldosa — Sant Julià") == "l aldosa sant julia"


def test_unknown_names_and_maps_without_names_are_clear_errors(valley):
    with pytest.raises(PlaceNotFound, match="no place named 'Nowhere' on this map"):
        valley.find("Nowhere")
    doc = {"nodes": [[1, 42.5, 1.5], [2, 42.501, 1.5]], "edges": [[1, 2, 111.0, 0.1, None]]}
    router = Router.from_document(doc)
    with pytest.raises(PlaceNotFound, match="this map has no place names"):
        router.route("Vilanova", 2)


def test_a_graph_document_carries_its_names_through_json_and_pickling():
    doc = {"nodes": [{"id": 1, "lat": 42.5, "lon": 1.5}, {"id": 2, "lat": 42.501, "lon": 1.5},
                     {"id": 3, "lat": 42.502, "lon": 1.5}],
           "edges": [{"from": a, "to": b, "distance_m": 111.0, "risk_score": 0.1,
                      "way_id": 7, "name": "Carrer Major"} for a, b in ((1, 2), (2, 1), (2, 3),
                                                                       (3, 2))],
           "places": [{"name": "Vilanova", "place": "village", "lat": 42.5, "lon": 1.5},
                      {"name": "bad", "place": "ocean", "lat": 0, "lon": 0}]}
    import orjson

    router = Router.from_json(orjson.dumps(doc))
    for again in (router, pickle.loads(pickle.dumps(router))):
        assert again.find_place("vila").name == "Vilanova"
        assert again.find_place("major").label == "Carrer Major, Vilanova"
        assert [r.path[0] for r in again.route("Vilanova", 3)] == [1]
    with pytest.raises(PlaceNotFound):
        router.find_place("bad")


# --- On a real extract ----------------------------------------------------------

@pytest.fixture(scope="module")
def andorra() -> Router:
    if not ANDORRA.exists():
        pytest.skip(f"needs {ANDORRA}")
    return Router.from_osm(ANDORRA)


@pytest.mark.parametrize("query, name, kind", [
    ("Ordino", "Ordino", "town"),
    ("Sant Julia", "Sant Julià de Lòria", "town"),
    ("sant julià de lòria", "Sant Julià de Lòria", "town"),
    ("la massa", "La Massana", "town"),
    ("Avinguda Meritxell", "Avinguda Meritxell", "street"),
])
def test_andorra_names(andorra, query, name, kind):
    found = andorra.find_place(query)
    assert (found.name, found.kind) == (name, kind)


def test_andorra_ambiguous_names_and_routes_by_name(andorra, capsys):
    with pytest.raises(AmbiguousPlace) as caught:
        andorra.find_place("Carrer Major")
    assert len(caught.value.candidates) >= 2
    assert {p.kind for p in caught.value.candidates} == {"street"}
    assert len({p.town for p in caught.value.candidates}) == len(caught.value.candidates)

    ordino, sant_julia = andorra.find_place("Ordino"), andorra.find_place("Sant Julia")
    by_name = andorra.route("Ordino", "Sant Julià de Lòria")
    by_point = andorra.route((ordino.lat, ordino.lon), (sant_julia.lat, sant_julia.lon))
    assert [r.path for r in by_name] == [r.path for r in by_point]

    assert main(["route", str(ANDORRA), "--from", "Ordino", "--to", "Sant Julia"]) == 0
    out = capsys.readouterr().out
    assert "from Ordino: node" in out and "to   Sant Julià de Lòria: node" in out
    assert main(["route", str(ANDORRA), "--from", "Carrer Major", "--to", "Ordino"]) == 1
    assert "'Carrer Major' may be" in capsys.readouterr().err
