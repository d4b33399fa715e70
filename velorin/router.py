"""The object an application keeps for its map: places in, routes out."""

from __future__ import annotations

import math
import operator
import os
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import orjson
import velorin_core

from velorin.errors import NodeNotFound, NoRoute, PointOutsideMap
from velorin.ends import (DEFAULT_MAX_DISTANCE_M, Place, SnappedPlace, check_degrees,
                          is_place_name)
from velorin.legs import neighbour_counts
from velorin.network import ArcAttributes, Arcs, GraphDocument, Network, Nodes, read_document
from velorin.places import NamedPlace, PlaceIndex, place_records
from velorin.route import DEFAULT_EPS, Arc, Route, Routes

if TYPE_CHECKING:
    from velorin.osm.risk import RiskModel

__all__ = ["DEFAULT_MAX_DISTANCE_M", "Arcs", "NamedPlace", "Nodes", "Place", "Router",
           "SnappedPlace"]


class Router:
    """A road graph ready for routing between places.

    Build one with :meth:`from_osm`, :meth:`from_json` or :meth:`from_file`
    and keep it: the graph is decoded and the spatial index built once.
    Snapping considers, by default, only the nodes of the largest part of the
    map in which every node reaches every other one, so that two snapped
    places always have a route between them.
    """

    def __init__(self, graph: velorin_core.PyGraph, network: Network,
                 places: list[dict[str, Any]] | None = None) -> None:
        self._graph = graph
        self._network = network
        # The named place nodes of the extract; the index over them and the
        # street names is built when a name is first looked up.
        self._place_records = places
        self._place_index: PlaceIndex | None = None

    # --- Building -----------------------------------------------------------

    @classmethod
    def from_json(cls, document: str | bytes | bytearray) -> Router:
        """A router for a graph document (JSON text, or its UTF-8 bytes).

        Raises ValueError, with the position of the fault, for a document the
        engine cannot read.
        """
        text = document.decode("utf-8") if isinstance(document, (bytes, bytearray)) else document
        graph = velorin_core.PyGraph.from_json(text)
        # Read again for the package's own tables: only what it needs, never more
        # than the engine accepts.
        columns = read_document(text)
        places = {} if columns.places is None else {"places": columns.places}
        return cls(graph, Network(columns), place_records(places))

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Router:
        """A router for the graph document stored in a file."""
        # Read as text at once: the bytes and their text would be twice the document.
        with open(path, encoding="utf-8", newline="") as file:  # no newline translation
            return cls.from_json(file.read())

    @classmethod
    def from_osm(cls, path: str | os.PathLike[str], profile: str | None = None,
                 risk_model: RiskModel | None = None, progress: bool = False,
                 push_bike: bool = False,
                 familiar_rides: str | os.PathLike[str] | Sequence[str | os.PathLike[str]] |
                 None = None, dem: str | os.PathLike[str] | None = None) -> Router:
        """A router for an OpenStreetMap extract (``.osm.pbf``, ``.osm``, ``.osm.bz2``, ``.osm.gz``).

        ``profile`` is the cycling profile, ``city`` (the default),
        ``trekking`` or ``mtb``.  ``risk_model`` is a
        :class:`velorin.osm.RiskModel` (the profile's model when None; build
        it with ``RiskModel.for_profile``).  ``push_bike`` also keeps the ways
        where the bike must be walked, at a cost.  ``familiar_rides`` names
        the rider's own rides, GPX files or folders of them: the ways they
        ride get a familiarity, so that routes lean to them (see
        :mod:`velorin.osm.rides`).  ``dem`` is an elevation raster covering
        the extract (any that rasterio reads: GeoTIFF tiles of Copernicus
        GLO-30 or SRTM, in any coordinate system), for the routes' climbs,
        grades and riding times.  Raises :class:`velorin.OsmImportError` for
        a file that cannot be read as an extract, a ride or a raster.
        """
        from velorin.osm import convert, dumps

        doc = convert(path, model=risk_model, annotate=True, progress=progress, profile=profile,
                      push_bike=push_bike, familiar_rides=familiar_rides, dem=dem)
        return cls.from_document(doc, text=dumps(doc))

    @classmethod
    def from_document(cls, doc: GraphDocument, *, text: str | None = None) -> Router:
        """A router for a graph document already held as Python values (object form)."""
        graph = velorin_core.PyGraph.from_json(text if text is not None else
                                               orjson.dumps(doc).decode("utf-8"))
        return cls(graph, Network(doc), place_records(doc))

    def __reduce__(self) -> tuple[Any, ...]:
        # The engine's graph cannot be pickled; a compact document rebuilds it
        # (and the index) wherever the router is unpickled, e.g. in a worker process.
        net = self._network
        return (_rebuild_router, (net.document(), net.attributes, self._place_records))

    # --- What the map holds --------------------------------------------------

    @property
    def graph(self) -> velorin_core.PyGraph:
        """The engine's graph, for direct calls to ``velorin_core.compute_safe_routes``."""
        return self._graph

    @property
    def node_count(self) -> int:
        """Number of distinct node ids on the map."""
        return self._network.node_count

    @property
    def nodes(self) -> Nodes:
        """The map's nodes (ids ascending, with their positions) as read-only numpy arrays."""
        return self._network.nodes()

    @property
    def arcs(self) -> Arcs:
        """The map's arcs in document order: ends, metrics, stress level and annotations."""
        return self._network.arcs()

    @property
    def main_component(self) -> npt.NDArray[np.uint64]:
        """Ids of the nodes that snapping considers by default: the largest set that all
        reach one another, in ascending order."""
        return self._network.ids[self._network.main_rows]

    def position(self, node_id: int) -> tuple[float, float]:
        """``(lat, lon)`` of a node; raises :class:`NodeNotFound` for an unknown id."""
        row = self._row(node_id, "node")
        return float(self._network.lat[row]), float(self._network.lon[row])

    # --- Snapping ------------------------------------------------------------

    def nearest_node(self, lat: float, lon: float,
                     max_distance_m: float = DEFAULT_MAX_DISTANCE_M, *,
                     main_component: bool = True) -> tuple[int, float]:
        """The node nearest to a point and its great-circle distance in metres.

        Raises :class:`PointOutsideMap` when that node is farther than
        ``max_distance_m``.  With ``main_component=False`` every node that an
        arc touches is a candidate.
        """
        lat, lon = float(lat), float(lon)
        check_degrees(lat, lon)
        if not max_distance_m >= 0.0:
            raise ValueError(f"max_distance_m must be a non-negative number, "
                             f"not {max_distance_m!r}")
        net = self._network
        row, metres = net.snapper(main_component).nearest_one(lat, lon, net.lat, net.lon)
        if not metres <= max_distance_m:
            raise _outside(np.array([lat]), np.array([lon]), np.array([metres]), np.array([0]),
                           max_distance_m, self._on_map_swapped(lat, lon, max_distance_m,
                                                                main_component))
        return int(net.ids[row]), metres

    def _on_map_swapped(self, lat: float, lon: float, max_distance_m: float,
                        main_component: bool) -> bool:
        """True when the point with latitude and longitude exchanged would snap."""
        if not abs(lon) <= 90.0:
            return False
        net = self._network
        _, metres = net.snapper(main_component).nearest_one(lon, lat, net.lat, net.lon)
        return metres <= max_distance_m

    def nearest_nodes(self, lats: npt.ArrayLike, lons: npt.ArrayLike,
                      max_distance_m: float = DEFAULT_MAX_DISTANCE_M, *,
                      main_component: bool = True
                      ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float64]]:
        """:meth:`nearest_node` for many points at once: node ids and metres as arrays.

        Raises :class:`PointOutsideMap` for the first point farther than
        ``max_distance_m`` from every candidate (pass ``math.inf`` to accept
        any distance), and ValueError for coordinates that are not degrees.
        """
        lat = np.atleast_1d(np.asarray(lats, dtype=np.float64))
        lon = np.atleast_1d(np.asarray(lons, dtype=np.float64))
        if lat.shape != lon.shape or lat.ndim != 1:
            raise ValueError(f"lats and lons must be two sequences of the same length, "
                             f"not of shapes {lat.shape} and {lon.shape}")
        bad = np.flatnonzero(~((np.abs(lat) <= 90.0) & (np.abs(lon) <= 180.0)))
        if len(bad):
            check_degrees(float(lat[bad[0]]), float(lon[bad[0]]))
        if not max_distance_m >= 0.0:
            raise ValueError(f"max_distance_m must be a non-negative number, "
                             f"not {max_distance_m!r}")
        net = self._network
        rows, metres = net.snapper(main_component).nearest(lat, lon, net.lat, net.lon)
        far = np.flatnonzero(~(metres <= max_distance_m))
        if len(far):
            i = int(far[0])
            raise _outside(lat, lon, metres, far, max_distance_m, self._on_map_swapped(
                float(lat[i]), float(lon[i]), max_distance_m, main_component))
        return net.ids[rows], metres

    def snap(self, place: Place, *, max_distance_m: float = DEFAULT_MAX_DISTANCE_M,
             end: str = "place") -> SnappedPlace:
        """The node a place starts or ends a route at, and how far the place lies from it.

        ``place`` is a node id of the map, a ``(lat, lon)`` pair (snapped to
        the nearest node of the main network, see :meth:`nearest_node`), a
        place name (see :meth:`find_place`, snapped the same way) or a
        :class:`SnappedPlace` (returned as it is, once its node is found on
        this map).  ``end`` names the place in messages ("origin",
        "destination").  Raises :class:`NodeNotFound`,
        :class:`PointOutsideMap`, :class:`PlaceNotFound` or
        :class:`AmbiguousPlace`; TypeError for anything else.
        """
        if isinstance(place, SnappedPlace):
            self._row(place.node, f"{end} node")
            return place
        if isinstance(place, (int, np.integer)) and not isinstance(place, bool):
            node = operator.index(place)
            row = self._row(node, f"{end} node")
            return SnappedPlace(node, float(self._network.lat[row]),
                                float(self._network.lon[row]), 0.0)
        if isinstance(place, str) and is_place_name(place):
            named = self.find_place(place)
            try:
                return self.snap((named.lat, named.lon), max_distance_m=max_distance_m)
            except PointOutsideMap as exc:
                exc.message = f"{end} {named.label!r}: {exc.message}"
                raise
        if isinstance(place, (str, bytes)) or not isinstance(place, Sequence | np.ndarray) \
                or len(place) != 2:
            raise TypeError(f"{end} must be a node id, a (lat, lon) pair or a place name, "
                            f"not {place!r}")
        node, metres = self.nearest_node(float(place[0]), float(place[1]), max_distance_m)
        lat, lon = self.position(node)
        return SnappedPlace(node, lat, lon, metres)

    # --- Place names -----------------------------------------------------------

    def find_place(self, name: str) -> NamedPlace:
        """The town, village or street of the map that ``name`` means.

        Accents, case and punctuation are ignored; a name is matched whole
        first, then as the start of a name, then as the start of one of its
        words, and towns and villages come before streets.
        ``"Carrer Major, Encamp"`` picks the street of that town.  Raises
        :class:`PlaceNotFound` for a name the map lacks (or a map without
        names: a graph document converted without ``--annotate``) and
        :class:`AmbiguousPlace`, listing the ``candidates``, when several
        places answer.
        """
        if not isinstance(name, str):
            raise TypeError(f"a place name must be a str, not {type(name).__name__}")
        return self.place_index.find(name)

    def search_places(self, query: str, limit: int = 10) -> list[NamedPlace]:
        """Up to ``limit`` places for a search box, best first (whole names, then prefixes)."""
        return self.place_index.search(query, limit)

    @property
    def place_index(self) -> PlaceIndex:
        """The map's place names: its named place nodes and its streets, built on first use."""
        if self._place_index is None:
            self._place_index = PlaceIndex.build(self._place_records or (),
                                                 self._street_points())
        return self._place_index

    def _street_points(self) -> list[tuple[str, float, float]]:
        """(name, lat, lon) of both ends of every named arc, once per way and node."""
        net = self._network
        if net.attributes is None or len(net.ids) == 0:
            return []
        names = net.attributes.rows["name"]
        is_named = np.fromiter((isinstance(n, str) for n in names), dtype=bool, count=len(names))
        way = net.attributes.row_of_edge
        keep = is_named[way] & (net.from_row >= 0) & (net.to_row >= 0)
        ways = np.concatenate((way[keep], way[keep]))
        rows = np.concatenate((net.from_row[keep], net.to_row[keep]))
        keys = np.unique(ways * len(net.ids) + rows)
        ways, rows = keys // len(net.ids), keys % len(net.ids)
        return list(zip([names[w] for w in ways.tolist()], net.lat[rows].tolist(),
                        net.lon[rows].tolist()))

    # --- Routing -------------------------------------------------------------

    def route(self, origin: Place, destination: Place, eps: float = DEFAULT_EPS, *,
              max_distance_m: float = DEFAULT_MAX_DISTANCE_M,
              via: Sequence[Place] = ()) -> Routes:
        """The "shortest", "safest" and "balanced" routes between two places, in that order.

        Each place is anything :meth:`snap` takes: a node id, a ``(lat, lon)``
        pair or a place name (see :meth:`find_place`), which are snapped to
        the nearest node of the main part of the map, or a
        :class:`SnappedPlace`.  The engine leaves out a pick whose path
        repeats an earlier one, so the list holds one to three routes; each
        pick is also ``routes.shortest``, ``.safest`` and ``.balanced``, and
        picks that coincide are the same route, whose ``names`` lists them
        (see :class:`Routes`).  ``eps`` is the search's approximation: 0.0,
        the default, gives the exact routes; with 0.1 the search is faster
        and the "shortest" and "safest" routes may be up to 10% longer or
        riskier than the exact ones.

        With ``via`` places the trip passes them in order: each leg is
        searched on its own and the trips joined leg by leg (the shortest trip
        from every leg's shortest route, and so on; see :mod:`velorin.trips`).

        Raises :class:`PointOutsideMap`, :class:`NodeNotFound`,
        :class:`NoRoute` or :class:`PlaceNotFound` (:class:`AmbiguousPlace`),
        all of them :class:`RoutingError`.
        """
        if via:
            from velorin.trips import route_via

            return route_via(self, origin, destination, via, eps, max_distance_m)
        eps = float(eps)
        if not (eps >= 0.0 and math.isfinite(eps)):
            raise ValueError(f"eps must be a finite number >= 0 (0.0 exact, the default; 0.1 "
                             f"faster, routes up to 10% off), "
                             f"not {eps!r}")
        source = self.snap(origin, max_distance_m=max_distance_m, end="origin")
        target = self.snap(destination, max_distance_m=max_distance_m, end="destination")
        try:
            results = velorin_core.compute_safe_routes(self._graph, source.node, target.node,
                                                       eps)
        except RuntimeError as exc:
            raise self._no_route(source.node, target.node, str(exc)) from None
        return Routes(self._route(r, source.distance_m, target.distance_m) for r in results)

    def _no_route(self, source: int, target: int, detail: str) -> NoRoute:
        """Why the engine found no route, from what the map holds: both ends are on it."""
        if not self._network.has_out_arc[self._row(source, "origin node")]:
            return NoRoute(f"no route leaves node {source}: no arc starts there; choose another "
                           f"origin, or pass a (lat, lon) pair to snap it to the main network",
                           source=source, target=target, detail=detail)
        return NoRoute(f"no route from node {source} to node {target}: they lie in parts of "
                       f"the map that are not connected; pass (lat, lon) pairs to snap both "
                       f"ends to the main network", source=source, target=target, detail=detail)

    def _row(self, node_id: int, what: str) -> int:
        net = self._network
        node = operator.index(node_id)
        rows = net.rows_of(np.array([node], dtype=np.uint64)) if 0 <= node < 1 << 64 else [-1]
        if rows[0] < 0:
            raise NodeNotFound(f"{what} {node} is not on the map; pass a node id of the map or "
                               f"a (lat, lon) pair", node_id=node)
        return int(rows[0])

    def _route(self, result: velorin_core.PyRouteResult, source_m: float,
               target_m: float) -> Route:
        net = self._network
        path = result.path
        rows = net.rows_of(np.array(path, dtype=np.uint64))
        if rows.min() >= 0:
            coordinates = tuple(zip(net.lat[rows].tolist(), net.lon[rows].tolist()))
        else:
            # An arc may lead to an id without a node record; such a node has no place.
            coordinates = tuple((float(net.lat[r]), float(net.lon[r])) if r >= 0
                                else (math.nan, math.nan) for r in rows.tolist())
        arcs: tuple[Arc, ...] = ()
        if net.attributes is not None:
            totals = (result.total_distance_m, result.total_risk, result.total_familiarity)
            arcs = tuple(net.attributes.arcs_of(net.arcs_along(rows, totals)))
        degrees = self._neighbour_counts()
        node_degrees = tuple(np.where(rows >= 0, degrees[rows], 0).tolist())
        return Route(route_type=result.route_type, path=tuple(path),
                     total_distance_m=result.total_distance_m, total_risk=result.total_risk,
                     total_familiarity=result.total_familiarity,
                     estimated_time_min=result.estimated_time_min,
                     node_count=result.node_count, comfort_score=result.comfort_score,
                     coordinates=coordinates, origin_snap_m=source_m,
                     destination_snap_m=target_m, arcs=arcs, node_degrees=node_degrees,
                     elevations=() if net.ele is None else tuple(
                         np.where(rows >= 0, net.ele[rows], np.nan).tolist()))

    def _neighbour_counts(self) -> npt.NDArray[np.int32]:
        counts: npt.NDArray[np.int32] | None = getattr(self, "_degrees", None)
        if counts is None:
            net = self._network
            counts = self._degrees = neighbour_counts(net.from_row, net.to_row, net.node_count)
        return counts


def _rebuild_router(document: bytes, attributes: ArcAttributes | None,
                    places: list[dict[str, Any]] | None = None) -> Router:
    text = document.decode("utf-8")
    return Router(velorin_core.PyGraph.from_json(text), Network(orjson.loads(text), attributes),
                  places)


def _metres(value: float) -> str:
    return f"{value:.0f} m" if value < 10_000 else f"{value / 1000:,.1f} km"


def _outside(lat: npt.NDArray[np.float64], lon: npt.NDArray[np.float64],
             metres: npt.NDArray[np.float64], far: npt.NDArray[np.intp], max_distance_m: float,
             swapped: bool) -> PointOutsideMap:
    i = int(far[0])
    point = f"({lat[i]:.6f}, {lon[i]:.6f})"
    if not math.isfinite(metres[i]):
        message = f"point {point} cannot be snapped: the map has no routable node"
    else:
        message = (f"point {point} is {_metres(float(metres[i]))} from the nearest routable "
                   f"node, farther than max_distance_m={max_distance_m:g}; choose a point on "
                   f"the map or allow a larger max_distance_m")
    if swapped:
        message += (f"; ({lon[i]:.6f}, {lat[i]:.6f}) is on the map: were latitude and "
                    f"longitude swapped? A place is (lat, lon), latitude first")
    if len(lat) > 1:
        message = f"{len(far)} of {len(lat)} points are too far from the map; the first, " \
                  f"at index {i}: " + message
    return PointOutsideMap(message, lat=float(lat[i]), lon=float(lon[i]),
                           distance_m=float(metres[i]), max_distance_m=max_distance_m)
