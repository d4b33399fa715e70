"""A small synthetic town to route across, built the same way every time.

The town is described as OpenStreetMap-style ways (tags and node lists) and
goes through the same converter as a real extract, so its risks come from the
same traffic-stress model:

* a grid of residential streets, 30 km/h in the south-west and the old town
  (north-east, with alternating one-way streets open to contraflow cycling),
  50 km/h elsewhere;
* fast roads: a four-lane east-west boulevard and a diagonal avenue cutting
  across the grid, plus two north-south secondary roads, one of them with
  cycle tracks along its middle stretch;
* a meandering river splitting the town, crossed only by three bridges (the
  boulevard, a residential bridge and a cycle footbridge), with a greenway
  along each bank;
* a park whose streets are replaced by paths.

The default trip runs from the south-west to the north-east, so the shortest
way takes the avenue and the boulevard, and the safer ones detour by the
greenway and the quiet streets.
"""

from __future__ import annotations

import math
import random
from dataclasses import dataclass, field
from typing import Any

from velorin.osm import RiskModel, WayRecord, graph_from_ways

ORIGIN_LAT = 45.17
ORIGIN_LON = 5.72
METRES_PER_DEG_LAT = 111_195.0

NX, NY = 26, 20  # grid columns (west to east) and rows (south to north)
SPACING_M = 105.0
RIVER_COL = 12  # the grid column the river replaces
BRIDGE_ROWS = {"residential": 8, "boulevard": 10, "footbridge": 16}
BUSY_ROWS = range(5, 15)  # east-west streets at 50 km/h on either side of the boulevard
BOULEVARD_ROW = 10
SECONDARY_COLS = (6, 19)
TRACK_ROWS = range(4, 18)  # stretch of the eastern secondary road with cycle tracks
PARK = (range(2, 5), range(13, 17))  # columns and rows of the park (west bank)


@dataclass
class Town:
    """The town's ways plus what a picture of it needs."""

    ways: list[WayRecord]
    river: list[tuple[float, float]]  # outline of the water, (lat, lon)
    park: list[tuple[float, float]]  # outline, (lat, lon)
    source: int
    target: int
    labels: dict[str, tuple[float, float]] = field(default_factory=dict)

    def graph(self, model: RiskModel | None = None, **kwargs: Any) -> dict[str, list[dict]]:
        """Graph document of the town (object form), as ``PyGraph.from_json`` reads it."""
        return graph_from_ways(self.ways, model=model, **kwargs)


def _to_latlon(x: float, y: float) -> tuple[float, float]:
    lat = ORIGIN_LAT + y / METRES_PER_DEG_LAT
    lon = ORIGIN_LON + x / (METRES_PER_DEG_LAT * math.cos(math.radians(ORIGIN_LAT)))
    return lat, lon


def _river_x(y: float) -> float:
    """East-west position of the river's centre line at height y (metres)."""
    return RIVER_COL * SPACING_M + 28.0 * math.sin(y / 310.0) + 12.0 * math.sin(y / 97.0)


def grid_node(i: int, j: int) -> int:
    """Node id of the grid intersection in column i, row j."""
    return 1_000_000 + 1000 * j + i


def build_town(seed: int = 2024) -> Town:
    """The synthetic town; the same seed always gives the same town."""
    rng = random.Random(seed)
    pos: dict[int, tuple[float, float]] = {}  # node id -> (x, y) metres

    for j in range(NY):
        for i in range(NX):
            if i == RIVER_COL:
                continue
            x = i * SPACING_M + rng.uniform(-9.0, 9.0)
            y = j * SPACING_M + rng.uniform(-9.0, 9.0) + 6.0 * math.sin(i / 3.0)
            pos[grid_node(i, j)] = (x, y)

    # Greenway nodes on each bank, one per row, a little off the river.
    def bank_node(side: int, j: int) -> int:
        return 2_000_000 + 1000 * (0 if side < 0 else 1) + j

    for j in range(NY):
        y = j * SPACING_M + 40.0
        for side in (-1, 1):
            pos[bank_node(side, j)] = (_river_x(y) + side * 30.0, y)

    ways: list[WayRecord] = []

    def add_way(tags: dict[str, str], nodes: list[int]) -> None:
        refs = [(n, *_to_latlon(*pos[n])) for n in nodes]
        ways.append((len(ways) + 1, tags, refs))

    def in_park(i: int, j: int) -> bool:
        return i in PARK[0] and j in PARK[1]

    def street_tags(i: int, j: int, horizontal: bool) -> dict[str, str]:
        east = i > RIVER_COL
        busy = horizontal and j in BUSY_ROWS
        tags = {"highway": "residential", "maxspeed": "50" if busy else "30",
                "surface": "asphalt"}
        if east and j > 14 and horizontal:
            # Old town: one-way streets, alternating, all but one open to bicycles both ways.
            tags["oneway"] = "yes" if j % 2 == 0 else "-1"
            if j != 15:
                tags["oneway:bicycle"] = "no"
        if not east and j > BOULEVARD_ROW and not horizontal and i % 3 == 1:
            tags["surface"] = "sett"
        return tags

    # East-west streets, one way per block so that every block carries its own tags.
    for j in range(NY):
        for i in range(NX - 1):
            a, b = i, i + 1
            if RIVER_COL in (a, b):
                continue
            if j == BOULEVARD_ROW:
                tags = {"highway": "primary", "maxspeed": "50", "lanes": "4",
                        "name": "Boulevard du Fleuve"}
            elif in_park(a, j) and in_park(b, j):
                tags = {"highway": "path", "surface": "compacted"}
            else:
                tags = street_tags(a, j, horizontal=True)
            add_way(tags, [grid_node(a, j), grid_node(b, j)])

    # North-south streets.
    for i in range(NX):
        if i == RIVER_COL:
            continue
        for j in range(NY - 1):
            if i in SECONDARY_COLS:
                tags = {"highway": "secondary", "maxspeed": "50", "lanes": "2",
                        "name": "Route du Nord" if i < RIVER_COL else "Avenue de l'Est"}
                if i > RIVER_COL and j in TRACK_ROWS:
                    tags["cycleway:both"] = "track"
            elif in_park(i, j) and in_park(i, j + 1):
                tags = {"highway": "path", "surface": "compacted"}
            else:
                tags = street_tags(i, j, horizontal=False)
            add_way(tags, [grid_node(i, j), grid_node(i, j + 1)])

    # The diagonal avenue: south-west corner to the boulevard, then on from the
    # far side of the boulevard bridge towards the north-east.
    avenue = {"highway": "primary", "maxspeed": "50", "lanes": "4", "name": "Avenue de la Gare"}
    for k in range(1, BOULEVARD_ROW):
        add_way(dict(avenue), [grid_node(k, k), grid_node(k + 1, k + 1)])
    for k in range(0, 7):
        a = (RIVER_COL + 1 + k, BOULEVARD_ROW + k)
        add_way(dict(avenue), [grid_node(*a), grid_node(a[0] + 1, a[1] + 1)])

    # Greenways along both banks, joined to the streets at every other row.
    green = {"highway": "cycleway", "surface": "asphalt", "name": "Voie verte"}
    for side, col in ((-1, RIVER_COL - 1), (1, RIVER_COL + 1)):
        add_way(dict(green), [bank_node(side, j) for j in range(NY)])
        for j in range(0, NY, 2):
            add_way({"highway": "cycleway", "surface": "asphalt"},
                    [grid_node(col, j), bank_node(side, j)])

    # The three bridges.
    r = BRIDGE_ROWS["residential"]
    add_way({"highway": "residential", "maxspeed": "50", "bridge": "yes", "name": "Pont Vieux"},
            [grid_node(RIVER_COL - 1, r), grid_node(RIVER_COL + 1, r)])
    b = BRIDGE_ROWS["boulevard"]
    add_way({"highway": "primary", "maxspeed": "50", "lanes": "4", "bridge": "yes",
             "name": "Pont du Boulevard"},
            [grid_node(RIVER_COL - 1, b), grid_node(RIVER_COL + 1, b)])
    f = BRIDGE_ROWS["footbridge"]
    add_way({"highway": "cycleway", "bridge": "yes", "name": "Passerelle"},
            [bank_node(-1, f), bank_node(1, f)])

    heights = range(-80, int(NY * SPACING_M) + 60, 20)
    half_width = 17.0
    river = ([_to_latlon(_river_x(y) - half_width, y) for y in heights]
             + [_to_latlon(_river_x(y) + half_width, y) for y in reversed(heights)])
    x0, x1 = PARK[0].start * SPACING_M - 20, (PARK[0].stop - 1) * SPACING_M + 20
    y0, y1 = PARK[1].start * SPACING_M - 20, (PARK[1].stop - 1) * SPACING_M + 20
    park = [_to_latlon(x, y) for x, y in ((x0, y0), (x1, y0), (x1, y1), (x0, y1), (x0, y0))]
    labels = {
        "Boulevard du Fleuve": _to_latlon(8.0 * SPACING_M, BOULEVARD_ROW * SPACING_M + 40),
        "Avenue de la Gare": _to_latlon(5.6 * SPACING_M, 4.6 * SPACING_M),
        "Voie verte": _to_latlon(_river_x(7 * SPACING_M) - 150, 7 * SPACING_M),
        "Vieille ville": _to_latlon(21.0 * SPACING_M, 18.6 * SPACING_M),
        "Parc": _to_latlon(2.6 * SPACING_M, 14.6 * SPACING_M),
    }
    return Town(ways=ways, river=river, park=park,
                source=grid_node(0, 10), target=grid_node(25, 10), labels=labels)
