"""The ends of a route: how a place is written, and where one was snapped to.

One grammar for every face of the package (the command line, the service,
the demo), with one set of messages:

- ``LAT,LON`` in degrees, e.g. ``43.7308,7.4197``: a point, snapped to the
  nearest node of the map's main network;
- an integer, e.g. ``1079045355``: an OpenStreetMap node id of the map;
- a text with a letter, e.g. ``Ordino``: a place name, where names are
  accepted; the :class:`velorin.Router` finds it among the map's names
  (:meth:`velorin.Router.find_place`).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Union

from velorin.errors import VelorinError

#: How far a point may lie from the map's network, in metres, unless the caller says otherwise.
DEFAULT_MAX_DISTANCE_M = 500.0

#: An example written in the messages.
EXAMPLE = "43.7308,7.4197"
#: Node ids are OpenStreetMap ids: unsigned 64-bit integers.
NODE_ID_MAX = (1 << 64) - 1


@dataclass(frozen=True, slots=True)
class SnappedPlace:
    """A place resolved to a node of the map: what :meth:`velorin.Router.snap` returns.

    :meth:`velorin.Router.route` takes it as it is, so a place snapped once
    (by a server that checks it before handing the search to a worker, say)
    keeps the distance to where it was asked for.
    """

    #: The OpenStreetMap node id the route starts or ends at.
    node: int
    #: Position of that node, in degrees.
    lat: float
    lon: float
    #: Great-circle distance in metres from the place asked for to the node (0.0 for a node id).
    distance_m: float = 0.0


#: One end of a route: a node id, a ``(lat, lon)`` pair in degrees, a place already
#: snapped, or (on a map that knows names) a place name.
Place = Union[int, tuple[float, float], Sequence[float], SnappedPlace, str]

#: What a parsed place text is: a node id, a ``(lat, lon)`` pair, or a name.
ParsedPlace = Union[int, tuple[float, float], str]


class PlaceError(VelorinError, ValueError):
    """A place written in a way that cannot be read; ``text`` is what was given."""

    def __init__(self, message: str, *, text: str) -> None:
        super().__init__(message)
        self.text = text


def is_place_name(text: str) -> bool:
    """Whether a text may name a place: it holds a letter (so "43.7,7.4" and "123" do not)."""
    return any(c.isalpha() for c in text)


def parse_place(text: str, *, names: bool = False) -> ParsedPlace:
    """A node id, a ``(lat, lon)`` pair, or (with ``names``) a place name, from its text.

    Raises :class:`PlaceError` for text that is none of them, and for a
    latitude or longitude outside -90..90 or -180..180.
    """
    stripped = text.strip()
    kinds = "LAT,LON, a node id nor a place name" if names else "LAT,LON nor a node id"
    if not stripped:
        raise PlaceError(f"no place given: write LAT,LON in degrees (e.g. {EXAMPLE}) or a "
                         f"node id" + (", or a place name" if names else ""), text=text)
    parts = stripped.split(",")
    point: tuple[float, float] | None = None
    node: int | None = None
    try:
        if len(parts) == 1:
            node = int(parts[0])
        if len(parts) == 2:
            point = float(parts[0]), float(parts[1])
    except ValueError:  # not numbers, or an integer of too many digits to read
        pass
    if node is not None:
        if not 0 <= node <= NODE_ID_MAX:
            raise PlaceError(f"{text!r} is not a node id: node ids are integers from 0 to "
                             f"{NODE_ID_MAX}", text=text)
        return node
    if point is not None:
        check_degrees(*point, text=text)
        return point
    if names and is_place_name(stripped):
        return stripped
    if len(parts) == 1:
        raise PlaceError(f"{text!r} is neither {kinds} (e.g. {EXAMPLE})", text=text)
    raise PlaceError(f"{text!r} is not LAT,LON (two numbers in degrees, e.g. {EXAMPLE})",
                     text=text)


def check_degrees(lat: float, lon: float, *, text: str | None = None) -> None:
    """Raise :class:`PlaceError` unless ``(lat, lon)`` is a point in degrees."""
    if not (abs(lat) <= 90.0 and abs(lon) <= 180.0):
        raise PlaceError(f"({lat}, {lon}) is not a (lat, lon) pair in degrees: latitude must lie "
                         f"in -90..90 and longitude in -180..180",
                         text=text if text is not None else f"{lat},{lon}")


def describe(place: Place | ParsedPlace) -> str:
    """A place as one would write it: ``LAT,LON``, a node id, or a name."""
    if isinstance(place, SnappedPlace):
        return str(place.node)
    if isinstance(place, (int, str)):
        return str(place)
    return ",".join(str(float(v)) for v in place)
