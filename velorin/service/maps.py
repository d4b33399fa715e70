"""The map a service serves: read once in the server, handed to the workers as a file.

The server converts an OpenStreetMap extract only once and writes the graph
document into a private folder, so that each worker (and each replacement
started later) loads the very same graph quickly. The server keeps a router
of its own for snapping, which is fast, and the road network as GeoJSON for
the web page, compressed once.
"""

from __future__ import annotations

import gzip
import os
import re
import shutil
import tempfile
from dataclasses import dataclass
from typing import Any

import numpy as np

from velorin.maps import read_map
from velorin.router import Router
from velorin.service.answers import encode

#: The private folder of a server is named after its process id, so that the
#: folder of a server that died without cleaning up can be told from a live one's.
_FOLDER_PREFIX = "velorin-serve-"

# Six decimals of a degree are about 0.1 m: finer than any map's survey.
_DECIMALS = 6


@dataclass
class ServedMap:
    name: str
    router: Router
    #: The graph document the workers load.
    graph_path: str
    arc_count: int
    #: The road network as GeoJSON, plain and gzip-compressed.
    network_plain: bytes
    network_gz: bytes
    _folder: tempfile.TemporaryDirectory[str]

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, profile: str | None = None,
             progress: bool | None = None, push_bike: bool = False,
             dem: str | os.PathLike[str] | None = None) -> ServedMap:
        """Read MAP as :func:`velorin.maps.read_map` does, and keep its document for the workers.

        Raises ValueError for a graph document the engine refuses,
        :class:`velorin.OsmImportError` for an unreadable extract and OSError
        for a file that cannot be read.
        """
        opened = read_map(path, profile=profile, progress=progress, push_bike=push_bike, dem=dem)
        sweep_stale_folders()
        folder = tempfile.TemporaryDirectory(prefix=f"{_FOLDER_PREFIX}{os.getpid()}-")
        graph_path = os.path.join(folder.name, "graph.json")
        with open(graph_path, "wb") as out:
            out.write(opened.document)
        router = opened.router
        network = encode(network_geojson(router))
        return cls(name=opened.name, router=router, graph_path=graph_path,
                   arc_count=router.graph.edge_count(), network_plain=network,
                   network_gz=gzip.compress(network, compresslevel=6, mtime=0), _folder=folder)

    def close(self) -> None:
        self._folder.cleanup()


def sweep_stale_folders(parent: str | None = None) -> list[str]:
    """Remove the map folders of servers that are no longer running; their paths.

    A server killed outright (SIGKILL, out of memory) cannot remove its own.
    Only folders of this user whose owning process is gone are touched.
    """
    parent = parent or tempfile.gettempdir()
    pattern = re.compile(re.escape(_FOLDER_PREFIX) + r"(\d+)-[^/]+")
    removed: list[str] = []
    try:
        entries = list(os.scandir(parent))
    except OSError:
        return removed
    for entry in entries:
        found = pattern.fullmatch(entry.name)
        if found is None or not entry.is_dir(follow_symlinks=False):
            continue
        try:
            if entry.stat(follow_symlinks=False).st_uid != os.getuid():
                continue
            os.kill(int(found.group(1)), 0)
            continue  # its server still runs
        except ProcessLookupError:
            pass
        except (PermissionError, OverflowError, OSError):
            continue
        shutil.rmtree(entry.path, ignore_errors=True)
        removed.append(entry.path)
    return removed


def network_geojson(router: Router) -> dict[str, Any]:
    """The streets as one MultiLineString per Level of Traffic Stress (``lts`` null: unknown).

    A street ridden both ways has two arcs; it is drawn once.
    """
    nodes, arcs = router.nodes, router.arcs
    linked = np.flatnonzero((arcs.source_row >= 0) & (arcs.target_row >= 0))
    a, b = arcs.source_row[linked], arcs.target_row[linked]
    low, high = np.minimum(a, b), np.maximum(a, b)
    _, first = np.unique(low * len(nodes) + high, return_index=True)
    chosen_arcs = linked[first]
    lat, lon = np.round(nodes.lat, _DECIMALS), np.round(nodes.lon, _DECIMALS)
    features = []
    for level in range(5):
        chosen = chosen_arcs[arcs.lts[chosen_arcs] == level]
        if not len(chosen):
            continue
        f, t = arcs.source_row[chosen], arcs.target_row[chosen]
        lines = np.stack((np.column_stack((lon[f], lat[f])), np.column_stack((lon[t], lat[t]))),
                         axis=1)
        features.append({"type": "Feature",
                         "geometry": {"type": "MultiLineString", "coordinates": lines.tolist()},
                         "properties": {"lts": level or None, "segments": len(chosen)}})
    return {"type": "FeatureCollection", "features": features}
