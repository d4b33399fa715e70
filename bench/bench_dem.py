"""Converting the Andorra extract with an elevation raster of its area, against without.

No elevation data can be downloaded here, so the script writes a raster of
its own over the extract's area, at the resolution of Copernicus GLO-30 (one
arc-second, about 30 m) with a relief of hills and valleys, as a GeoTIFF in
geographic degrees and, with ``--utm``, in UTM zone 31 north (the raster is
then read through a change of coordinate system). It prints, best of
``--repeat`` runs each, the CPU time of ``velorin.osm.convert`` without and
with the raster and their ratio.

    .venv/bin/python bench/bench_dem.py
    .venv/bin/python bench/bench_dem.py --utm --repeat 1
"""

from __future__ import annotations

import argparse
import math
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
DATA = next((p / "shared" / "data" for p in REPO.parents if (p / "shared" / "data").is_dir()),
            REPO.parent / "shared" / "data")
EXTRACT = DATA / "andorra-latest.osm.pbf"
# The extract's area with a margin, in degrees: (west, south, east, north).
AREA = (1.38, 42.40, 1.81, 42.68)
ARC_SECOND = 1 / 3600


def write_raster(path: Path, utm: bool) -> None:
    import rasterio
    from rasterio.transform import from_origin
    from rasterio.warp import transform

    west, south, east, north = AREA
    if utm:
        xs, ys = transform("EPSG:4326", "EPSG:32631", [west, east, west, east],
                           [south, south, north, north])
        left, right, bottom, top = min(xs), max(xs), min(ys), max(ys)
        res, crs = 30.0, "EPSG:32631"
    else:
        left, right, bottom, top = west, east, south, north
        res, crs = ARC_SECOND, "EPSG:4326"
    width, height = math.ceil((right - left) / res), math.ceil((top - bottom) / res)
    x = np.linspace(0, 40, width)
    y = np.linspace(0, 30, height)[:, None]
    relief = 1500 + 600 * np.sin(x / 3) * np.cos(y / 4) + 80 * np.sin(x * 2.1 + y * 1.7)
    with rasterio.open(path, "w", driver="GTiff", width=width, height=height, count=1,
                       dtype="float32", crs=crs, transform=from_origin(left, top, res, res),
                       compress="deflate", tiled=True) as out:
        out.write(relief.astype("float32"), 1)
    print(f"{path.name}: {width} x {height} cells in {crs}")



def best(repeat: int, run) -> tuple[float, float]:
    """Least CPU time (all threads) and least wall time of ``repeat`` runs."""
    cpu, wall = [], []
    for _ in range(repeat):
        started, clock = time.process_time(), time.perf_counter()
        run()
        cpu.append(time.process_time() - started)
        wall.append(time.perf_counter() - clock)
    return min(cpu), min(wall)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--utm", action="store_true", help="the raster in UTM, not in degrees")
    args = parser.parse_args()
    if not EXTRACT.exists():
        print(f"{EXTRACT} not found", file=sys.stderr)
        return 1
    from velorin.osm import ConversionStats, convert

    with tempfile.TemporaryDirectory() as tmp:
        dem = Path(tmp) / "andorra-dem.tif"
        write_raster(dem, args.utm)
        plain = best(args.repeat, lambda: convert(EXTRACT, annotate=True))
        stats = ConversionStats()
        hills = best(args.repeat, lambda: convert(EXTRACT, annotate=True, dem=dem, stats=stats))
    print(f"convert, annotated, without a raster: {plain[0]:6.2f} s CPU, {plain[1]:6.2f} s wall")
    print(f"convert, annotated, with the raster:  {hills[0]:6.2f} s CPU, {hills[1]:6.2f} s wall "
          f"({hills[0] / plain[0]:.2f}x CPU, {hills[1] / plain[1]:.2f}x wall; "
          f"{stats.steep_arcs:,} steep arcs)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
