"""Heights from an elevation raster (a DEM) and the climbs, descents and grades of arcs.

Any raster that rasterio reads will do (GeoTIFF tiles of Copernicus GLO-30
or SRTM, a VRT mosaic of them...), in any coordinate reference system: the
map's points are carried into the raster's system and read by bilinear
interpolation between the centres of the four nearest cells.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from velorin.errors import OsmImportError

F64 = npt.NDArray[np.float64]

#: Grades are measured over this length of ground, centred on each stretch of
#: an arc: a raster's heights are good to a metre or two, so the grade of a
#: 3-metre arc measured end to end would be noise.
GRADE_BASELINE_M = 50.0
#: Arcs longer than this are sampled at points this far apart along them, so
#: that a long arc over a col climbs it instead of joining its two feet.
SAMPLE_STEP_M = 50.0

_M_PER_DEG_LAT = 111_195.0


@dataclass
class Heights:
    """A window of a raster, read once: heights in metres, NaN where it has none."""

    path: Path
    crs: Any
    #: From (col, row) of the window to the raster's coordinates.
    transform: Any
    values: F64

    @classmethod
    def read(cls, path: str | os.PathLike[str], lat: F64, lon: F64) -> Heights:
        """The part of the raster at ``path`` that covers the points (lat, lon).

        Raises :class:`OsmImportError` for a file rasterio cannot read and for
        a raster that does not cover every point.
        """
        try:
            import rasterio
            from rasterio.errors import RasterioError
            from rasterio.windows import Window, from_bounds
        except ImportError:
            raise OsmImportError("elevation rasters are read with the rasterio package: "
                                 "pip install 'velorin[maps]'") from None
        path = Path(path)
        if not path.is_file():
            raise OsmImportError(f"elevation raster not found: {path}")
        try:
            with rasterio.open(path) as src:
                xs, ys = _project(src.crs, lat, lon)
                left, right = float(np.min(xs)), float(np.max(xs))
                bottom, top = float(np.min(ys)), float(np.max(ys))
                whole = Window(0, 0, src.width, src.height)
                try:
                    window = from_bounds(left, bottom, right, top, src.transform)
                    # Two cells of margin for the interpolation and the grade baselines.
                    window = Window(math.floor(window.col_off) - 2, math.floor(window.row_off) - 2,
                                    math.ceil(window.width) + 5, math.ceil(window.height) + 5)
                    window = window.intersection(whole)
                except Exception:  # noqa: BLE001 - rasterio says "no overlap" in several ways
                    window = None
                if window is None or window.width < 1 or window.height < 1:
                    raise OsmImportError(
                        f"{path.name}: the elevation raster does not cover the map "
                        f"({_extent(lat, lon)}; the raster spans {_raster_extent(src)})")
                band = src.read(1, window=window, masked=True).astype(np.float64)
                heights = cls(path, src.crs, src.window_transform(window),
                              np.ma.filled(band, np.nan))
                extent = _raster_extent(src)
        except RasterioError as exc:
            raise OsmImportError(f"{path.name}: cannot read the elevation raster: {exc}") from exc
        found = heights.at(lat, lon)
        missing = np.flatnonzero(np.isnan(found))
        if len(missing):
            i = int(missing[0])
            raise OsmImportError(
                f"{path.name}: the elevation raster does not cover the map: {len(missing):,} "
                f"of {len(lat):,} nodes have no height, the first at ({lat[i]:.6f}, "
                f"{lon[i]:.6f}) ({_extent(lat, lon)}; the raster spans {extent})")
        return heights

    def at(self, lat: F64, lon: F64) -> F64:
        """Heights at the points, NaN outside the window or where the raster has none."""
        xs, ys = _project(self.crs, lat, lon)
        # Written out: `@` on a pair is missing from older affine releases (Debian's),
        # and `*` on one is deprecated in recent ones. Same sums in the same order.
        inverse = ~self.transform
        cols = inverse.a * xs + inverse.b * ys + inverse.c
        rows = inverse.d * xs + inverse.e * ys + inverse.f
        # Cell centres sit at half-integers.
        c, r = np.asarray(cols) - 0.5, np.asarray(rows) - 0.5
        height, width = self.values.shape
        # A point within half a cell of the edge takes the edge cells' heights.
        c = np.where((c > -0.5) & (c < 0), 0.0, np.where((c < width - 0.5) & (c > width - 1),
                                                        width - 1.0, c))
        r = np.where((r > -0.5) & (r < 0), 0.0, np.where((r < height - 0.5) & (r > height - 1),
                                                        height - 1.0, r))
        inside = (c >= 0) & (c <= width - 1) & (r >= 0) & (r <= height - 1)
        c0 = np.clip(np.floor(c), 0, max(width - 2, 0)).astype(np.intp)
        r0 = np.clip(np.floor(r), 0, max(height - 2, 0)).astype(np.intp)
        c1, r1 = np.minimum(c0 + 1, width - 1), np.minimum(r0 + 1, height - 1)
        fc, fr = np.clip(c - c0, 0.0, 1.0), np.clip(r - r0, 0.0, 1.0)
        v = self.values
        top = v[r0, c0] * (1 - fc) + v[r0, c1] * fc
        bottom = v[r1, c0] * (1 - fc) + v[r1, c1] * fc
        out: F64 = np.where(inside, top * (1 - fr) + bottom * fr, np.nan)
        return out


def _project(crs: Any, lat: F64, lon: F64) -> tuple[F64, F64]:
    if crs is None or crs.is_geographic and crs.to_epsg() == 4326:
        return np.asarray(lon, dtype=np.float64), np.asarray(lat, dtype=np.float64)
    from rasterio.warp import transform

    xs, ys = transform("EPSG:4326", crs, np.asarray(lon).tolist(), np.asarray(lat).tolist())
    return np.asarray(xs, dtype=np.float64), np.asarray(ys, dtype=np.float64)


def _extent(lat: F64, lon: F64) -> str:
    return (f"the map spans latitude {np.min(lat):.4f} to {np.max(lat):.4f}, longitude "
            f"{np.min(lon):.4f} to {np.max(lon):.4f}")


def _raster_extent(src: Any) -> str:
    from rasterio.warp import transform_bounds

    try:
        west, south, east, north = transform_bounds(src.crs, "EPSG:4326", *src.bounds)
    except Exception:  # noqa: BLE001 - a raster without a usable system: say what it has
        return f"{src.bounds} in {src.crs}"
    return f"latitude {south:.4f} to {north:.4f}, longitude {west:.4f} to {east:.4f}"


@dataclass
class ArcRelief:
    """Per arc: metres climbed and descended, and the steepest grade met (signed, in %)."""

    climb_m: F64
    descent_m: F64
    grade_pct: F64


def arc_relief(heights: Heights, lat_a: F64, lon_a: F64, lat_b: F64, lon_b: F64,
               length_m: F64) -> ArcRelief:
    """Climb, descent and steepest grade of straight arcs from a to b.

    An arc is cut into stretches of at most ``SAMPLE_STEP_M``; the climb and
    the descent add up the height differences between the stretches' ends,
    and each stretch's grade is measured over ``GRADE_BASELINE_M`` of ground
    centred on it, along the arc's direction.
    """
    n = len(length_m)
    pieces = np.maximum(1, np.ceil(length_m / SAMPLE_STEP_M)).astype(np.intp)
    owner = np.repeat(np.arange(n), pieces)
    start = np.cumsum(pieces) - pieces
    k = np.arange(len(owner)) - start[owner]
    # Positions along the arc as fractions: the stretch ends, and its middle.
    t0 = k / pieces[owner]
    t1 = (k + 1) / pieces[owner]
    tm = (t0 + t1) / 2
    dlat, dlon = (lat_b - lat_a)[owner], (lon_b - lon_a)[owner]
    la, lo = lat_a[owner], lon_a[owner]
    ends = heights.at(np.concatenate((la + dlat * t0, la + dlat * t1)),
                      np.concatenate((lo + dlon * t0, lo + dlon * t1)))
    h0, h1 = ends[:len(owner)], ends[len(owner):]
    rise = h1 - h0
    climb = np.bincount(owner, np.where(rise > 0, rise, 0.0), minlength=n)
    descent = np.bincount(owner, np.where(rise < 0, -rise, 0.0), minlength=n)
    # Half the baseline either side of the stretch's middle, as a fraction of the arc.
    half = np.where(length_m[owner] > 0, GRADE_BASELINE_M / 2 / np.maximum(length_m[owner], 1e-9),
                    0.0)
    around = heights.at(np.concatenate((la + dlat * (tm - half), la + dlat * (tm + half))),
                        np.concatenate((lo + dlon * (tm - half), lo + dlon * (tm + half))))
    grade = (around[len(owner):] - around[:len(owner)]) / GRADE_BASELINE_M
    # Near the raster's edge a baseline may leave it: the stretch's own ends say.
    stretch_m = length_m[owner] / pieces[owner]
    own = np.where(stretch_m > 0, rise / np.maximum(stretch_m, 1e-9), 0.0)
    grade = np.where(np.isnan(grade), own, grade) * 100.0
    steepest = np.zeros(n)
    order = np.lexsort((-np.abs(grade), owner))
    first = np.ones(len(order), dtype=bool)
    first[1:] = owner[order][1:] != owner[order][:-1]
    steepest[owner[order][first]] = grade[order][first]
    return ArcRelief(climb, descent, steepest)


def parse_incline(value: str | None) -> float | None:
    """The grade in % of an OSM ``incline`` value ("10%", "-8 %", "5°"), None for
    "up", "down" or anything without a figure; positive climbs in the way's direction."""
    if not value:
        return None
    text = value.strip().lower().replace(",", ".")
    degrees = text.endswith("°") or text.endswith("deg")
    number = text.rstrip("%°").removesuffix("deg").strip()
    try:
        grade = float(number)
    except ValueError:
        return None
    if not math.isfinite(grade):
        return None
    if degrees:
        grade = math.tan(math.radians(grade)) * 100.0
    return grade if abs(grade) <= 100.0 else None
