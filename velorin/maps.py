"""Opening a map, the same way for every face of the package.

A map is an OpenStreetMap extract (``.osm.pbf``, ``.pbf``, ``.osm``,
``.osm.bz2``, ``.osm.gz``), converted with a cycling profile and annotated, or
a graph document already converted (``.json``).  The command line and the
service open maps here, so the same file gives the same graph in both, with
the same messages.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

from velorin.router import Router


@dataclass(frozen=True)
class OpenedMap:
    """A map read from a file: its router and the graph document it was built from."""

    #: The file's name without its suffixes (``monaco`` for ``monaco-latest.osm.pbf``).
    name: str
    router: Router
    #: The graph document as JSON (UTF-8), annotated, for processes that load the same graph.
    document: bytes


def is_graph_document(path: str | os.PathLike[str]) -> bool:
    """Whether a map file is a graph document (``.json``) rather than an extract."""
    return Path(path).name.lower().endswith(".json")


def map_name(path: str | os.PathLike[str]) -> str:
    """A map's short name: its file name without directory or suffixes."""
    return Path(path).name.split(".")[0]


def read_map(path: str | os.PathLike[str], *, profile: str | None = None,
             progress: bool | None = None, push_bike: bool = False,
             dem: str | os.PathLike[str] | None = None) -> OpenedMap:
    """Read a map file: a graph document, or an extract converted with ``profile``.

    ``progress`` None shows a bar for a large extract read on a terminal
    (:func:`velorin.osm.convert` decides).  Raises
    ValueError for a graph document the engine refuses (with the file's
    name and the fault's position, or with a ``dem``: its heights were set when
    it was converted), :class:`velorin.OsmImportError` for an extract that
    cannot be read, and OSError for a file that cannot be opened.
    """
    if is_graph_document(path):
        if dem is not None:
            raise ValueError(f"{path}: a graph document is already converted: an elevation "
                             f"raster applies to an OpenStreetMap extract (velorin convert --dem)")
        document = Path(path).read_bytes()
        try:
            router = Router.from_json(document)
        except ValueError as exc:
            raise ValueError(f"{path}: not a graph document: {exc}") from None
        return OpenedMap(map_name(path), router, document)
    from velorin.osm import convert, dumps

    doc = convert(path, annotate=True, progress=progress, profile=profile,
                  push_bike=push_bike, dem=dem)
    text = dumps(doc)
    router = Router.from_document(doc, text=text)
    del doc
    return OpenedMap(map_name(path), router, text.encode("utf-8"))


def open_map(path: str | os.PathLike[str], *, profile: str | None = None,
             progress: bool | None = None, push_bike: bool = False,
             dem: str | os.PathLike[str] | None = None) -> Router:
    """The router of a map file (see :func:`read_map`)."""
    return read_map(path, profile=profile, progress=progress, push_bike=push_bike,
                    dem=dem).router
