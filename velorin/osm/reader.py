"""Reading OpenStreetMap extracts (PBF, XML, compressed XML) with osmium."""

from __future__ import annotations

import math
import os
import sys
import time
from collections.abc import Collection, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any

from velorin.errors import OsmImportError
from velorin.osm.access import barrier_blocks
from velorin.osm.build import (ConversionStats, WayRecord, _check_familiarity_rate,
                                graph_from_ways)
from velorin.osm.profiles import DEFAULT_PROFILE, check_profile
from velorin.osm.risk import RiskModel
from velorin.places import PLACE_KINDS, place_record


class _ReadPosition:
    """How far osmium's reader has got into a file, from the kernel's view of its descriptor.

    osmium reads in threads of its own and reports no position; on Linux the
    offset of the descriptor it opened gives one.  Elsewhere the position is
    unknown (None).
    """

    def __init__(self, path: Path) -> None:
        self.target = os.path.realpath(path)
        self.fd: str | None = None

    def __call__(self) -> int | None:
        if self.fd is None or not self._is_target(self.fd):
            self.fd = self._find()
        if self.fd is None:
            return None
        try:
            with open(f"/proc/self/fdinfo/{self.fd}", encoding="ascii") as info:
                for line in info:
                    if line.startswith("pos:"):
                        return int(line.split()[1])
        except (OSError, ValueError):
            self.fd = None
        return None

    def _is_target(self, fd: str) -> bool:
        try:
            return os.readlink(f"/proc/self/fd/{fd}") == self.target
        except OSError:
            return False

    def _find(self) -> str | None:
        try:
            fds = os.listdir("/proc/self/fd")
        except OSError:
            return None
        return next((fd for fd in fds if self._is_target(fd)), None)


class _Progress:
    """A bar over the file's bytes, with the ways read so far and the time left."""

    # Ways between two looks at the read position: about a millisecond of work.
    EVERY = 2000

    def __init__(self, path: Path) -> None:
        from tqdm import tqdm

        class Bar(tqdm):  # type: ignore[misc]
            # No monitor thread: the bar is updated from the reading loop, and
            # a thread left running would outlive the conversion.
            monitor_interval = 0

        self.size = path.stat().st_size
        self.position = _ReadPosition(path)
        self.found = False
        self.ways = 0
        self.bar = Bar(desc=f"reading {path.name}", total=self.size, unit="B", unit_scale=True,
                        unit_divisor=1024, file=sys.stderr, mininterval=0.5, leave=False)

    def way(self) -> None:
        self.ways += 1
        if self.ways % self.EVERY == 0:
            pos = self.position()
            if pos is None and self.found:
                pos = self.size  # osmium has read the whole file and closed it
            self.found = self.found or pos is not None
            if pos is not None and pos > self.bar.n:
                self.bar.update(min(pos, self.size) - self.bar.n)
            self.bar.set_postfix_str(f"{self.ways:,} ways", refresh=False)

    def close(self) -> None:
        self.bar.update(self.size - self.bar.n)
        self.bar.close()


def _read_ways(path: Path, progress: bool, blocking: Collection[str], blocked: set[int],
               places: list[dict[str, Any]] | None = None) -> Iterator[WayRecord]:
    """Highway ways of an OSM file with their node positions, in file order.

    The barrier nodes that stop a bicycle (see :func:`barrier_blocks`) are
    added to ``blocked`` as they stream past, and the named place nodes
    (towns, villages...) to ``places`` when it is given.  An extract holds its
    nodes before its ways (the node positions that the ways need are cached
    the same way), so both are complete by the time the first way is yielded.
    """
    import osmium
    from osmium.filter import KeyFilter

    # Node positions are cached by osmium before the filters run, so every
    # node reaches the location table while only barriers and highway ways
    # reach Python.
    barriers, highways = KeyFilter("barrier", "place"), KeyFilter("highway")
    barriers.enable_for(osmium.osm.NODE)
    highways.enable_for(osmium.osm.WAY)
    processor = (osmium.FileProcessor(str(path), osmium.osm.NODE | osmium.osm.WAY)
                 .with_locations().with_filter(barriers).with_filter(highways))
    bar = _Progress(path) if progress else None
    try:
        for obj in processor:
            if isinstance(obj, osmium.osm.Node):
                tags = obj.tags
                if "barrier" in tags and barrier_blocks(dict(tags), blocking):
                    blocked.add(obj.id)
                if places is not None and tags.get("place") in PLACE_KINDS and "name" in tags \
                        and obj.location.valid():
                    places.append(place_record(tags["name"], tags["place"], obj.location.lat,
                                               obj.location.lon))
                continue
            assert isinstance(obj, osmium.osm.Way)
            refs: list[tuple[int, float | None, float | None]] = []
            for n in obj.nodes:
                loc = n.location
                if loc.valid():
                    refs.append((n.ref, loc.lat, loc.lon))
                else:
                    refs.append((n.ref, None, None))
            yield obj.id, dict(obj.tags), refs
            if bar is not None:
                bar.way()
    finally:
        if bar is not None:
            bar.close()


_SUFFIXES = (".osm.pbf", ".pbf", ".osm", ".osm.bz2", ".osm.gz", ".xml", ".xml.bz2", ".xml.gz",
             ".osm.xml", ".opl")


def convert(path: str | os.PathLike[str], *, model: RiskModel | None = None,
            familiar_ways: Mapping[int, float] | str | os.PathLike[str] | None = None,
            familiarity_per_km: float = 1.0, left_hand_traffic: bool = False,
            push_bike: bool = False, annotate: bool = False, progress: bool | None = None,
            stats: ConversionStats | None = None,
            profile: str | None = None,
            familiar_rides: str | os.PathLike[str] | Sequence[str | os.PathLike[str]] |
            None = None,
            dem: str | os.PathLike[str] | None = None) -> dict[str, list[dict[str, Any]]]:
    """Graph document (object form) of the cyclable ways of an OSM extract.

    ``profile`` (``city``, the default, ``trekking`` or ``mtb``) chooses the
    risk model's defaults; a ``model`` carries its own profile (build it with
    ``RiskModel.for_profile``), and giving both is allowed only when they
    agree.  ``annotate`` adds each arc's way, street name, class, stress level
    and surface, and the extract's named places (towns, villages, hamlets...)
    under the document's ``places`` key, which the engine skips.
    ``familiar_ways`` is a mapping of way id to weight or the path of
    a file read by :func:`load_familiar_ways`.  ``familiar_rides`` names GPX
    files or folders of them, the rider's own rides: each way they ride gets a
    weight that grows with its rides towards 1 (see :mod:`velorin.osm.rides`).  ``progress`` shows a progress
    bar on standard error; by default only for files over 20 MB on a terminal.
    ``dem`` is an elevation raster (any that rasterio reads) covering the
    extract: every node gets its height, every arc its climb and grade.
    Raises :class:`OsmImportError` for a missing, unreadable or malformed file
    and ValueError for an unusable risk model or an unknown profile.
    """
    model = model_for(profile, model)
    _check_familiarity_rate(familiarity_per_km)
    path = Path(path)
    if not path.exists():
        raise OsmImportError(f"input file not found: {path}")
    if not path.is_file():
        raise OsmImportError(f"input is not a file: {path}")
    if not os.access(path, os.R_OK):
        raise OsmImportError(f"input file is not readable: {path}")
    if not path.name.lower().endswith(_SUFFIXES):
        raise OsmImportError(f"{path.name}: unknown extension, expected one of "
                             ".osm.pbf, .osm, .osm.bz2, .osm.gz")
    if path.stat().st_size == 0:
        raise OsmImportError(f"{path}: file is empty")
    try:
        import osmium  # noqa: F401
    except ImportError:
        raise OsmImportError("reading OpenStreetMap extracts needs the osmium package: "
                             "pip install 'velorin[osm]'") from None
    if familiar_ways is not None and not isinstance(familiar_ways, Mapping):
        familiar_ways = load_familiar_ways(familiar_ways)
    if progress is None:
        progress = sys.stderr.isatty() and path.stat().st_size > 20_000_000
    stats = stats if stats is not None else ConversionStats()
    started = time.perf_counter()
    try:
        blocked: set[int] = set()
        places: list[dict[str, Any]] | None = [] if annotate else None
        doc = graph_from_ways(_read_ways(path, progress, model.blocking_barriers, blocked,
                                         places),
                              model=model, blocked_nodes=blocked,
                              familiar_ways=None if familiar_rides is not None
                              else familiar_ways,
                              familiarity_per_km=familiarity_per_km,
                              left_hand_traffic=left_hand_traffic, push_bike=push_bike,
                              annotate=annotate or familiar_rides is not None, stats=stats,
                              dem=dem)
    except OsmImportError:
        raise
    except (RuntimeError, OSError, ValueError) as exc:
        detail = " ".join(str(exc).split()) or type(exc).__name__
        raise OsmImportError(f"{path.name}: cannot read OSM data: {detail}") from exc
    if familiar_rides is not None:
        from velorin.osm.rides import add_ride_familiarity

        add_ride_familiarity(doc, familiar_rides, familiar_ways, familiarity_per_km,
                             annotate=annotate, stats=stats)
    if places is not None:
        # The named towns and villages travel with the graph: the engine skips the key.
        doc["places"] = places
    stats.seconds = time.perf_counter() - started
    return doc


def model_for(profile: str | None, model: RiskModel | None) -> RiskModel:
    """The checked risk model for a profile and an optional model of the caller's."""
    if profile is not None:
        check_profile(profile)
    if model is None:
        model = RiskModel.for_profile(profile or DEFAULT_PROFILE)
    elif profile is not None and profile != model.profile:
        # A silent choice between the two would build another map than the one asked for.
        raise ValueError(f"profile {profile!r} differs from the risk model's profile "
                         f"{model.profile!r}: pass RiskModel.for_profile({profile!r}, ...) "
                         f"or leave out one of them")
    # The model is checked before any reading, so that a fault in it is told
    # as such rather than as unreadable map data.
    model.validate()
    return model


def load_familiar_ways(path: str | os.PathLike[str]) -> dict[int, float]:
    """Ridden ways from a text file: one OSM way id per line, optionally followed by a weight.

    Blank lines and text after ``#`` are ignored; separators may be spaces,
    tabs or commas.  A way listed twice adds its weights (ridden twice).
    """
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as exc:
        raise OsmImportError(f"cannot read familiar ways file {path}: {exc.strerror}") from exc
    ways: dict[int, float] = {}
    for number, line in enumerate(text.splitlines(), start=1):
        words = line.split("#", 1)[0].replace(",", " ").split()
        if not words:
            continue
        try:
            way_id = int(words[0])
            weight = float(words[1]) if len(words) > 1 else 1.0
        except ValueError:
            raise OsmImportError(
                f"{path.name} line {number}: expected a way id and an optional weight") from None
        if len(words) > 2 or not math.isfinite(weight):
            raise OsmImportError(
                f"{path.name} line {number}: expected a way id and an optional weight")
        ways[way_id] = ways.get(way_id, 0.0) + weight
    return ways

