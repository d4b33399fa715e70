"""Seeded city-like grids for the region benchmark, written as graph documents.

A grid of streets about 100 m apart (each block's size drawn once per row and
per column), on real latitudes and longitudes so that great-circle estimates
and bounds behave as on a map. Every tenth street or so is an arterial: busy
(traffic stress 3 or 4), always there and ridden both ways. The side streets
between them are calm (stress 1 or 2); some of them are missing (a park, a
railway, a dead end) and some are one-way. Each arc is a little longer than
the straight line between its ends (streets bend) and its risk is its length
times the stress level's weight, as the OSM converter costs them. Node ids are
large and come in tiles, the way OpenStreetMap numbers what was drawn together.

    .venv/bin/python bench/city_grid.py --nodes 100000 -o out/grid-100k.json
    .venv/bin/python bench/city_grid.py --nodes 1000000 -o out/grid-1m.json --pairs out/grid-1m-pairs.json

``--pairs`` also writes request pairs in the main strongly connected component
whose ends lie 1, 2, 4, 8, 17, 33 and 66 km apart (great circle, within 2 %),
as far as the grid is large enough: ``{"1": [[source, target], ...], ...}``.
``--familiarity`` gives every arc a positive familiarity. The same arguments
give the same document, byte for byte.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

import numpy as np

EARTH_RADIUS_M = 6371008.8
DISTANCES_KM = (1, 2, 4, 8, 17, 33, 66)
# Risk per metre by traffic stress level, the converter's city defaults.
RISK_PER_M = np.array([0.0001, 0.0003, 0.0008, 0.002])


def haversine_m(lat1, lon1, lat2, lon2):
    """Great-circle distance in metres, elementwise on arrays of degrees."""
    p1, p2 = np.radians(lat1), np.radians(lat2)
    dp, dl = p2 - p1, np.radians(lon2) - np.radians(lon1)
    a = np.sin(dp / 2) ** 2 + np.cos(p1) * np.cos(p2) * np.sin(dl / 2) ** 2
    return 2.0 * EARTH_RADIUS_M * np.arctan2(np.sqrt(a), np.sqrt(1.0 - a))


class CityGrid:
    """The grid's nodes and arcs as arrays (dense node numbers row by row)."""

    def __init__(self, nodes: int, seed: int = 1, *, familiarity: bool = False,
                 missing: float = 0.10, one_way: float = 0.15,
                 origin: tuple[float, float] = (45.2, 4.6)) -> None:
        rng = np.random.default_rng(seed)
        side = max(2, round(math.sqrt(nodes)))
        self.rows = self.cols = side
        lat0, lon0 = origin
        metres_per_deg_lat = math.pi * EARTH_RADIUS_M / 180.0
        metres_per_deg_lon = metres_per_deg_lat * math.cos(math.radians(lat0))
        # Block sizes 70 to 130 m, one per row gap and per column gap.
        row_steps = rng.uniform(70.0, 130.0, side - 1)
        col_steps = rng.uniform(70.0, 130.0, side - 1)
        self.row_lat = lat0 + np.concatenate(([0.0], np.cumsum(row_steps))) / metres_per_deg_lat
        self.col_lon = lon0 + np.concatenate(([0.0], np.cumsum(col_steps))) / metres_per_deg_lon
        # Crossings sit a few metres off the ideal lines.
        jitter_lat = rng.uniform(-4.0, 4.0, (side, side)) / metres_per_deg_lat
        jitter_lon = rng.uniform(-4.0, 4.0, (side, side)) / metres_per_deg_lon
        self.lat = (self.row_lat[:, None] + jitter_lat).ravel()
        self.lon = (self.col_lon[None, :] + jitter_lon).ravel()

        # Arterials: every 8 to 12 streets, in both directions.
        def arterial_lines() -> np.ndarray:
            lines = np.zeros(side, dtype=bool)
            at = int(rng.integers(0, 8))
            while at < side:
                lines[at] = True
                at += int(rng.integers(8, 13))
            return lines

        arterial_row, arterial_col = arterial_lines(), arterial_lines()
        dense = np.arange(side * side, dtype=np.int64).reshape(side, side)
        # Street segments: along rows (east-west) and along columns (north-south).
        a = np.concatenate((dense[:, :-1].ravel(), dense[:-1, :].ravel()))
        b = np.concatenate((dense[:, 1:].ravel(), dense[1:, :].ravel()))
        arterial = np.concatenate((np.repeat(arterial_row, side - 1),
                                   np.repeat(arterial_col[None, :], side - 1, axis=0).ravel()))
        count = len(a)
        kept = arterial | (rng.random(count) >= missing)
        stress = np.where(arterial, rng.integers(3, 5, count), rng.integers(1, 3, count))
        bend = 1.0 + rng.exponential(0.04, count).clip(0.0, 0.5)
        length = haversine_m(self.lat[a], self.lon[a], self.lat[b], self.lon[b]) * bend
        risk = length * RISK_PER_M[stress - 1]
        # One-way side streets: forward only, backward only, or both ways.
        way = np.where(arterial | (rng.random(count) >= one_way), 0, rng.integers(1, 3, count))
        forward = kept & (way != 2)
        backward = kept & (way != 1)
        self.source = np.concatenate((a[forward], b[backward]))
        self.target = np.concatenate((b[forward], a[backward]))
        self.distance_m = np.concatenate((length[forward], length[backward]))
        self.risk_score = np.concatenate((risk[forward], risk[backward]))
        # Arcs of one street listed together, street by street.
        order = np.argsort(np.concatenate((np.flatnonzero(forward), np.flatnonzero(backward))),
                           kind="stable")
        for name in ("source", "target", "distance_m", "risk_score"):
            setattr(self, name, getattr(self, name)[order])
        self.familiarity = None
        if familiarity:
            # A rider's own streets weigh up to 1 per km, the others a little.
            per_km = np.where(rng.random(len(self.source)) < 0.3, rng.uniform(0.5, 1.0),
                              rng.uniform(0.01, 0.1))
            self.familiarity = per_km * self.distance_m / 1000.0

        # OSM-like ids: tiles of 16 x 16 crossings numbered together, tiles in
        # random order, from a ten-digit start.
        tile = 16
        tiles_per_row = -(-side // tile)
        tile_of = (np.arange(side)[:, None] // tile) * tiles_per_row + np.arange(side)[None, :] // tile
        tile_rank = rng.permutation(tiles_per_row * tiles_per_row)[tile_of.ravel()]
        within = (np.arange(side)[:, None] % tile) * tile + np.arange(side)[None, :] % tile
        self.ids = 1_000_000_000 + tile_rank.astype(np.int64) * tile * tile + within.ravel()

    @property
    def node_count(self) -> int:
        return len(self.ids)

    def document(self) -> bytes:
        """The graph document, object form, nodes in id order like the converter's."""
        import orjson

        order = np.argsort(self.ids, kind="stable")
        nodes = [{"id": i, "lat": la, "lon": lo} for i, la, lo in
                 zip(self.ids[order].tolist(), self.lat[order].tolist(), self.lon[order].tolist())]
        ids = self.ids
        columns = [ids[self.source].tolist(), ids[self.target].tolist(),
                   self.distance_m.tolist(), self.risk_score.tolist()]
        if self.familiarity is None:
            edges = [{"from": f, "to": t, "distance_m": d, "risk_score": r}
                     for f, t, d, r in zip(*columns)]
        else:
            edges = [{"from": f, "to": t, "distance_m": d, "risk_score": r, "familiarity": m}
                     for f, t, d, r, m in zip(*columns, self.familiarity.tolist())]
        return orjson.dumps({"nodes": nodes, "edges": edges})

    def main_component(self) -> np.ndarray:
        """Dense numbers of the largest strongly connected component."""
        from scipy.sparse import coo_matrix
        from scipy.sparse.csgraph import connected_components

        n = self.node_count
        matrix = coo_matrix((np.ones(len(self.source)), (self.source, self.target)), shape=(n, n))
        _, labels = connected_components(matrix.tocsr(), directed=True, connection="strong")
        largest = np.bincount(labels).argmax()
        return np.flatnonzero(labels == largest)

    def pairs(self, per_distance: int, seed: int,
              distances_km=DISTANCES_KM) -> dict[str, list[list[int]]]:
        """Pairs in the main component whose ends lie each distance apart, within 2 %."""
        rng = np.random.default_rng(seed)
        component = self.main_component()
        inside = np.zeros(self.node_count, dtype=bool)
        inside[component] = True
        metres_per_deg_lat = math.pi * EARTH_RADIUS_M / 180.0
        result: dict[str, list[list[int]]] = {}
        for km in distances_km:
            found: list[list[int]] = []
            for _ in range(2000 * per_distance):
                if len(found) == per_distance:
                    break
                s = int(component[rng.integers(len(component))])
                bearing = rng.uniform(0.0, 2.0 * math.pi)
                lat = self.lat[s] + km * 1000.0 * math.cos(bearing) / metres_per_deg_lat
                lon = self.lon[s] + km * 1000.0 * math.sin(bearing) / (
                    metres_per_deg_lat * math.cos(math.radians(lat)))
                r = int(np.searchsorted(self.row_lat, lat))
                c = int(np.searchsorted(self.col_lon, lon))
                if not (0 < r < self.rows and 0 < c < self.cols):
                    continue
                t = r * self.cols + c
                if not inside[t]:
                    continue
                d = float(haversine_m(self.lat[s], self.lon[s], self.lat[t], self.lon[t]))
                if abs(d - km * 1000.0) <= 0.02 * km * 1000.0:
                    found.append([int(self.ids[s]), int(self.ids[t])])
            if found:
                result[str(km)] = found
        return result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=100_000, help="about this many nodes")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--familiarity", action="store_true", help="every arc familiar a little")
    parser.add_argument("-o", "--output", type=Path, required=True, help="graph document")
    parser.add_argument("--pairs", type=Path, help="also write request pairs here (JSON)")
    parser.add_argument("--per-distance", type=int, default=5, help="pairs per distance")
    args = parser.parse_args(argv)
    grid = CityGrid(args.nodes, args.seed, familiarity=args.familiarity)
    document = grid.document()
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_bytes(document)
    print(f"{args.output}: {grid.node_count:,} nodes, {len(grid.source):,} arcs, "
          f"{len(document) / 1e6:.1f} MB")
    if args.pairs:
        import json

        pairs = grid.pairs(args.per_distance, args.seed + 1)
        args.pairs.write_text(json.dumps(pairs))
        print(f"{args.pairs}: " + ", ".join(f"{len(v)} at {k} km" for k, v in pairs.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
