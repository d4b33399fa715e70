"""Place names, offline: towns, villages and streets of a map, found by name.

The index is built from two things the OpenStreetMap import keeps: the named
place nodes of the extract (``place=town``, ``village``, ``hamlet``...), which
the converter writes under the graph document's ``places`` key, and the
street names on the arcs. A street is one entry per name and town (the ways
of "Carrer Major" in two villages are two streets, each placed at one of its
own nodes), with the nearest town or village as its town.

Names are compared folded: accents and case are ignored, and punctuation
counts as a space, so "Sant Julia" finds "Sant Julià de Lòria" and "l'aldosa"
finds "L'Aldosa". A query matches a name it equals, then a name it begins,
then a name with a word it begins; ``"NAME, TOWN"`` keeps the entries whose
town begins with TOWN.
"""

from __future__ import annotations

import bisect
import math
import re
import unicodedata
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from velorin.errors import AmbiguousPlace, PlaceNotFound

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

#: Kinds of place nodes the index keeps, most important first.
PLACE_KINDS = ("city", "town", "village", "suburb", "quarter", "neighbourhood", "hamlet",
               "isolated_dwelling", "locality", "square")
#: Kinds that can be a street's town.
SETTLEMENT_KINDS = ("city", "town", "village")
STREET = "street"

# Place nodes of one name closer than this are one place mapped twice (a town
# node and its suburb of the same name, say).
_SAME_PLACE_M = 2_000.0

# The most index keys one query looks at, so that a search box's first letter
# on a country's map stays a matter of milliseconds.
_SCAN_LIMIT = 5_000

# Letters that Unicode does not decompose into a base letter and a mark.
_LETTERS = str.maketrans({"ł": "l", "ø": "o", "đ": "d", "ħ": "h", "ı": "i", "æ": "ae",
                          "œ": "oe", "þ": "th", "ŀ": "l"})
_PUNCTUATION = re.compile(r"[\W_]+")


def fold(text: str) -> str:
    """A name as the index compares it: no accents, no case, words separated by one space."""
    if text.isascii():
        return _PUNCTUATION.sub(" ", text.lower()).strip()
    decomposed = unicodedata.normalize("NFKD", text.casefold())
    bare = "".join(c for c in decomposed if not unicodedata.combining(c))
    return _PUNCTUATION.sub(" ", bare.translate(_LETTERS)).strip()


@dataclass(frozen=True, slots=True)
class NamedPlace:
    """A place found by name: a town, village, hamlet... or a street."""

    name: str
    #: The OpenStreetMap ``place`` value (``town``, ``village``...), or ``street``.
    kind: str
    lat: float
    lon: float
    #: The nearest town or village (for a street, the one it lies in); None when the map
    #: names none, and for towns and cities.
    town: str | None = None

    @property
    def label(self) -> str:
        """``"Carrer Major, Encamp"``: the name and its town, which find it again."""
        return f"{self.name}, {self.town}" if self.town else self.name

    def to_json(self) -> dict[str, Any]:
        return {"name": self.name, "kind": self.kind, "lat": self.lat, "lon": self.lon,
                "town": self.town, "label": self.label}


def place_record(name: str, kind: str, lat: float, lon: float) -> dict[str, Any]:
    """A place node as the graph document's ``places`` key holds it."""
    return {"name": name, "place": kind, "lat": lat, "lon": lon}


def place_records(doc: Any) -> list[dict[str, Any]] | None:
    """The place nodes a graph document carries (object form only), None without the key."""
    if not isinstance(doc, Mapping):
        return None
    records = doc.get("places")
    if not isinstance(records, list):
        return None
    good = []
    for r in records:
        if isinstance(r, Mapping) and isinstance(r.get("name"), str) \
                and r.get("place") in PLACE_KINDS and _is_degrees(r.get("lat"), r.get("lon")):
            good.append(place_record(r["name"], r["place"], float(r["lat"]), float(r["lon"])))
    return good


def _is_degrees(lat: Any, lon: Any) -> bool:
    return (isinstance(lat, (int, float)) and isinstance(lon, (int, float))
            and abs(lat) <= 90 and abs(lon) <= 180)


def _unit(lat: npt.NDArray[np.float64], lon: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    import numpy as np

    la, lo = np.radians(lat), np.radians(lon)
    return np.column_stack((np.cos(la) * np.cos(lo), np.cos(la) * np.sin(lo), np.sin(la)))


def _nearest(points_lat: Sequence[float] | npt.NDArray[np.float64],
             points_lon: Sequence[float] | npt.NDArray[np.float64],
             lat: Sequence[float] | npt.NDArray[np.float64],
             lon: Sequence[float] | npt.NDArray[np.float64], k: int = 1) -> npt.NDArray[np.intp]:
    """Index of the nearest ``k`` of ``points`` to each (lat, lon)."""
    import numpy as np
    from scipy.spatial import cKDTree

    tree = cKDTree(_unit(np.asarray(points_lat, dtype=np.float64),
                         np.asarray(points_lon, dtype=np.float64)))
    _, hit = tree.query(_unit(np.asarray(lat, dtype=np.float64),
                              np.asarray(lon, dtype=np.float64)), k=k)
    return np.asarray(hit, dtype=np.intp)


def _rank(kind: str) -> int:
    return PLACE_KINDS.index(kind) if kind in PLACE_KINDS else len(PLACE_KINDS)


class PlaceIndex:
    """Every named place and street of a map, searchable by folded name."""

    def __init__(self, places: Sequence[NamedPlace]) -> None:
        self.places = tuple(places)
        folded: dict[str, str] = {}  # streets repeat names (one per town): fold each once
        self._folded = [folded.get(p.name) or folded.setdefault(p.name, fold(p.name))
                        for p in self.places]
        self._towns = [(folded.get(p.town) or folded.setdefault(p.town, fold(p.town)))
                       if p.town else "" for p in self.places]
        # Every word start of every name, sorted: a prefix query is two bisections.
        keys = sorted((name[i:], n) for n, name in enumerate(self._folded)
                      for i in _word_starts(name))
        self._keys = [k for k, _ in keys]
        self._owners = [n for _, n in keys]

    def __len__(self) -> int:
        return len(self.places)

    @classmethod
    def build(cls, records: Iterable[Mapping[str, Any]],
              streets: Iterable[tuple[str, float, float]]) -> PlaceIndex:
        """The index of place node records and street points ``(name, lat, lon)``.

        Each street point is one node of a named arc; points of one name are
        grouped by their nearest town or village into one street, placed at
        the point nearest to the group's middle.
        """
        places = _distinct_places([NamedPlace(r["name"], r["place"], float(r["lat"]),
                                              float(r["lon"])) for r in records])
        towns = [p for p in places if p.kind in SETTLEMENT_KINDS] or \
            [p for p in places if p.kind != "locality"]
        places = _with_towns(places, towns)
        return cls(places + _streets(streets, towns))

    def search(self, query: str, limit: int = 10) -> list[NamedPlace]:
        """The places a search box offers for ``query``, best first.

        Equal names come first, then names the query begins, then names with a
        word it begins; within each, towns before villages before streets.
        """
        return [self.places[n] for n in self._ranked(query)[:max(limit, 0)]]

    def find(self, query: str) -> NamedPlace:
        """The one place a name means.

        Among the best matches (equal names, else names the query begins,
        else a word of them), towns and villages are preferred to streets;
        for an equal name the most important kind of place wins. Raises
        :class:`PlaceNotFound` when nothing matches and :class:`AmbiguousPlace`
        (with the candidates) when several places remain.
        """
        if not self.places:
            raise PlaceNotFound(f"no place named {query!r}: this map has no place names; "
                                f"read the extract with Router.from_osm, or convert it with "
                                f"velorin convert --annotate", name=query)
        tiers = self._tiers(query)
        for tier, found in enumerate(tiers):
            if not found:
                continue
            if tier == 0:
                best = min(_rank(self.places[n].kind) for n in found)
                found = [n for n in found if _rank(self.places[n].kind) == best]
            if len(found) == 1:
                return self.places[found[0]]
            candidates = tuple(self.places[n] for n in found)
            shown = ", ".join(repr(p.label) for p in candidates[:8])
            more = f" and {len(candidates) - 8} more" if len(candidates) > 8 else ""
            raise AmbiguousPlace(f"{query!r} may be {len(candidates)} places: {shown}{more}; "
                                 f"give one of them as written (\"NAME, TOWN\")",
                                 name=query, candidates=candidates)
        raise PlaceNotFound(f"no place named {query!r} on this map; give a town, village or "
                            f"street of the map, a LAT,LON pair or a node id", name=query)

    # --- Matching -----------------------------------------------------------

    def _tiers(self, query: str) -> list[list[int]]:
        """Matches in six tiers: equal / prefix / word prefix, places before streets."""
        name, town = _split_town(query)
        if not name:
            return []
        lo = bisect.bisect_left(self._keys, name)
        hi = bisect.bisect_left(self._keys, name + "\uffff")
        tiers: list[list[int]] = [[] for _ in range(6)]
        seen = set()
        # Keys equal to the query sort first, so a long range cut short still
        # holds every whole-name match; only the ranking of the many names
        # that one or two letters begin is then drawn from part of them.
        for at in range(lo, min(hi, lo + _SCAN_LIMIT)):
            n = self._owners[at]
            if n in seen or not self._towns[n].startswith(town):
                continue
            seen.add(n)
            whole = self._folded[n]
            level = 0 if whole == name else 1 if whole.startswith(name) else 2
            tiers[2 * level + (self.places[n].kind == STREET)].append(n)
        for tier in tiers:
            tier.sort(key=self._order)
        # Equal names of places, then of streets; the prefix tiers likewise.
        return tiers

    def _ranked(self, query: str) -> list[int]:
        return [n for tier in self._tiers(query) for n in tier]

    def _order(self, n: int) -> tuple[int, int, str]:
        p = self.places[n]
        return _rank(p.kind), len(p.name), self._folded[n] + " " + self._towns[n]


def _word_starts(name: str) -> list[int]:
    return [0] + [i + 1 for i, c in enumerate(name) if c == " "]


def _split_town(query: str) -> tuple[str, str]:
    """``"Carrer Major, Encamp"`` as ("carrer major", "encamp"); no comma, no town."""
    name, comma, town = query.rpartition(",")
    if not comma or not fold(name):
        return fold(query), ""
    return fold(name), fold(town)


def _distinct_places(places: list[NamedPlace]) -> list[NamedPlace]:
    """One entry per place: of two nodes of one name close together, the more important."""
    places = sorted(places, key=lambda p: _rank(p.kind))
    kept: list[NamedPlace] = []
    by_name: dict[str, list[NamedPlace]] = {}
    for p in places:
        same = by_name.setdefault(fold(p.name), [])
        if any(_metres(p, q) < _SAME_PLACE_M for q in same):
            continue
        same.append(p)
        kept.append(p)
    return kept


def _metres(a: NamedPlace, b: NamedPlace) -> float:
    from velorin.geo import haversine_m

    return haversine_m(a.lat, a.lon, b.lat, b.lon)


def _with_towns(places: list[NamedPlace], towns: list[NamedPlace]) -> list[NamedPlace]:
    """Each place below a town with the nearest more important settlement as its town."""
    out = list(places)
    for kinds, bigger in ((("village",), ("city", "town")),
                          (PLACE_KINDS[3:], SETTLEMENT_KINDS)):
        near = [t for t in towns if t.kind in bigger]
        which = [n for n, p in enumerate(places) if p.kind in kinds]
        if not near or not which:
            continue
        # Two nearest, for a place that shares its name with the nearest town.
        k = min(2, len(near))
        hits = _nearest([t.lat for t in near], [t.lon for t in near],
                        [places[n].lat for n in which], [places[n].lon for n in which], k)
        for n, row in zip(which, hits.reshape(len(which), k).tolist()):
            p = places[n]
            town = next((near[i].name for i in row if near[i].name != p.name), None)
            out[n] = NamedPlace(p.name, p.kind, p.lat, p.lon, town)
    return out


def _streets(points: Iterable[tuple[str, float, float]],
             towns: list[NamedPlace]) -> list[NamedPlace]:
    import numpy as np

    names: list[str] = []
    lats: list[float] = []
    lons: list[float] = []
    for name, y, x in points:
        if name and math.isfinite(y) and math.isfinite(x):
            names.append(name)
            lats.append(y)
            lons.append(x)
    if not names:
        return []
    lat, lon = np.array(lats), np.array(lons)
    if towns:
        town_of = _nearest([t.lat for t in towns], [t.lon for t in towns], lat, lon)
    else:
        town_of = np.full(len(names), -1, dtype=np.intp)
    # One street per spelling and town, at the point nearest its middle.
    codes, name_of = np.unique(np.array(names, dtype=object), return_inverse=True)
    groups = name_of.reshape(-1).astype(np.int64) * (len(towns) + 1) + (town_of + 1)
    _, group = np.unique(groups, return_inverse=True)
    group = group.reshape(-1)
    count = np.bincount(group)
    mid_lat = np.bincount(group, weights=lat) / count
    mid_lon = np.bincount(group, weights=lon) / count
    off = (lat - mid_lat[group]) ** 2 + (lon - mid_lon[group]) ** 2
    order = np.lexsort((off, group))
    first = order[np.r_[True, group[order][1:] != group[order][:-1]]]
    streets = []
    for at in first.tolist():
        town = towns[int(town_of[at])].name if town_of[at] >= 0 else None
        streets.append(NamedPlace(str(codes[name_of[at]]), STREET, float(lat[at]),
                                  float(lon[at]), town))
    return streets
