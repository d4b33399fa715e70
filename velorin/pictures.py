"""Pictures of a road graph and its routes: a PNG (matplotlib) and a self-contained HTML page.

Both colour the network by risk per metre (green for calm streets, red for
heavy traffic) and draw the "shortest", "safest" and "balanced" routes on top
in colours of their own.  The HTML page needs nothing from outside: the map is
inline SVG and its small script only toggles the routes.
"""

from __future__ import annotations

import html
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

ROUTE_STYLE = {  # colour, line width (points): wider lines underneath so overlaps stay visible
    "shortest": ("#1c63d5", 7.0),
    "balanced": ("#212529", 4.4),
    "safest": ("#9c36b5", 2.4),
}
ROUTE_ORDER = ("shortest", "balanced", "safest")

# Risk per metre at the bottom and top of the colour scale (LTS 1 and LTS 4 by default).
RISK_SCALE = (0.0001, 0.002)
_STOPS = ((0.0, (0x2f, 0x9e, 0x44)), (0.35, (0xa9, 0xc9, 0x2f)), (0.65, (0xf5, 0x9f, 0x00)),
          (1.0, (0xd6, 0x33, 0x2a)))


def risk_colour(risk_per_m: float, scale: tuple[float, float] = RISK_SCALE) -> str:
    """Hex colour for a risk per metre, on a logarithmic green-to-red scale."""
    lo, hi = scale
    if risk_per_m <= 0 or not math.isfinite(risk_per_m):
        t = 0.0
    else:
        t = (math.log(risk_per_m) - math.log(lo)) / (math.log(hi) - math.log(lo))
        t = min(1.0, max(0.0, t))
    for (t0, c0), (t1, c1) in zip(_STOPS, _STOPS[1:]):
        if t <= t1:
            u = (t - t0) / (t1 - t0)
            rgb = [round(a + (b - a) * u) for a, b in zip(c0, c1)]
            return "#{:02x}{:02x}{:02x}".format(*rgb)
    return "#{:02x}{:02x}{:02x}".format(*_STOPS[-1][1])


@dataclass
class RouteView:
    """What the pictures show of one route."""

    route_type: str
    path: list[int]
    distance_m: float
    risk: float
    time_min: float
    comfort: float

    @classmethod
    def of(cls, route: Any) -> RouteView:
        """From a :class:`velorin.Route` or a ``velorin_core.PyRouteResult``."""
        return cls(route.route_type, list(route.path), route.total_distance_m,
                   route.total_risk, route.estimated_time_min, route.comfort_score)

    def caption(self) -> str:
        return (f"{self.route_type}: {self.distance_m / 1000:.2f} km, risk {self.risk:.3f}, "
                f"{self.time_min:.1f} min, comfort {self.comfort:.2f}")


@dataclass
class Scene:
    """A graph document to draw, its routes, and optional decorations."""

    doc: Mapping[str, Sequence[Mapping[str, Any]]]
    routes: list[RouteView]
    title: str = ""
    water: list[list[tuple[float, float]]] = field(default_factory=list)  # polygons (lat, lon)
    parks: list[list[tuple[float, float]]] = field(default_factory=list)
    labels: Mapping[str, tuple[float, float]] = field(default_factory=dict)
    #: Frame the routes rather than the whole network (for a region-sized map).
    focus: bool = False

    def coordinates(self) -> dict[int, tuple[float, float]]:
        return {n["id"]: (n["lat"], n["lon"]) for n in self.doc["nodes"]}

    def segments(self) -> list[tuple[int, int, float]]:
        """Undirected segments (a, b, risk per metre), the riskier direction of each pair."""
        worst: dict[tuple[int, int], float] = {}
        for e in self.doc["edges"]:
            a, b = e["from"], e["to"]
            key = (a, b) if a <= b else (b, a)
            d = e["distance_m"]
            per_m = e["risk_score"] / d if d > 0 else 0.0
            if per_m > worst.get(key, -1.0):
                worst[key] = per_m
        return [(a, b, r) for (a, b), r in worst.items()]

    def endpoints(self) -> tuple[int, int] | None:
        if not self.routes:
            return None
        return self.routes[0].path[0], self.routes[0].path[-1]


def _bounds(coords: Mapping[int, tuple[float, float]], scene: Scene
            ) -> tuple[float, float, float, float]:
    """Latitude and longitude range to draw: the network's, or around the routes."""
    points = list(coords.values())
    if scene.focus and scene.routes:
        points = [coords[n] for r in scene.routes for n in r.path if n in coords] or points
    lats = [c[0] for c in points]
    lons = [c[1] for c in points]
    lat0, lat1, lon0, lon1 = min(lats), max(lats), min(lons), max(lons)
    if scene.focus and scene.routes:
        # Some context around the routes: a third of their extent, at least 300 m.
        kx = math.cos(math.radians((lat0 + lat1) / 2))
        pad_lat = max((lat1 - lat0) / 3, 300 / 111_195)
        pad_lon = max((lon1 - lon0) / 3, 300 / (111_195 * kx))
        lat0, lat1, lon0, lon1 = lat0 - pad_lat, lat1 + pad_lat, lon0 - pad_lon, lon1 + pad_lon
    return lat0, lat1, lon0, lon1


def _visible_segments(scene: Scene, coords: Mapping[int, tuple[float, float]],
                      bounds: tuple[float, float, float, float]) -> list[tuple[int, int, float]]:
    lat0, lat1, lon0, lon1 = bounds

    def inside(n: int) -> bool:
        lat, lon = coords[n]
        return lat0 <= lat <= lat1 and lon0 <= lon <= lon1

    return [(a, b, r) for a, b, r in scene.segments()
            if a in coords and b in coords and (inside(a) or inside(b))]


def draw_png(scene: Scene, path: str | Path, *, dpi: int = 150) -> Path:
    """Write the PNG picture of a scene and return its path."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import patheffects
    from matplotlib.collections import LineCollection
    from matplotlib.colors import LinearSegmentedColormap, LogNorm
    from matplotlib.lines import Line2D
    from matplotlib.patches import Polygon

    coords = scene.coordinates()
    lat0, lat1, lon0, lon1 = _bounds(coords, scene)
    aspect = 1.0 / math.cos(math.radians((lat0 + lat1) / 2))
    width_deg = (lon1 - lon0) or 1e-3
    height_deg = ((lat1 - lat0) or 1e-3) * aspect
    fig_w = 11.0
    fig_h = min(14.0, max(4.0, 0.9 * fig_w * height_deg / width_deg))
    fig, ax = plt.subplots(figsize=(fig_w, fig_h))
    ax.set_aspect(aspect)
    ax.set_facecolor("#f8f9fa")

    for poly in scene.water:
        ax.add_patch(Polygon([(lon, lat) for lat, lon in poly], closed=True,
                             facecolor="#a5d8ff", edgecolor="#74c0fc", linewidth=0.8, zorder=1))
    for poly in scene.parks:
        ax.add_patch(Polygon([(lon, lat) for lat, lon in poly], closed=True,
                             facecolor="#d3f9d8", edgecolor="none", zorder=1))

    segments = _visible_segments(scene, coords, (lat0, lat1, lon0, lon1))
    lines = [[(coords[a][1], coords[a][0]), (coords[b][1], coords[b][0])] for a, b, _ in segments]
    risks = [max(r, RISK_SCALE[0]) for _, _, r in segments]
    cmap = LinearSegmentedColormap.from_list(
        "risk", [(t, tuple(c / 255 for c in rgb)) for t, rgb in _STOPS])
    norm = LogNorm(*RISK_SCALE, clip=True)
    thin = 0.6 if len(lines) > 20000 else 1.4
    network = LineCollection(lines, cmap=cmap, norm=norm, linewidths=thin, zorder=2,
                             capstyle="round")
    network.set_array(risks)
    ax.add_collection(network)

    handles = []
    for route in sorted(scene.routes, key=lambda r: ROUTE_ORDER.index(r.route_type)):
        colour, width = ROUTE_STYLE.get(route.route_type, ("#000000", 3.0))
        xs = [coords[n][1] for n in route.path if n in coords]
        ys = [coords[n][0] for n in route.path if n in coords]
        halo: list[patheffects.AbstractPathEffect] = [
            patheffects.Stroke(linewidth=width + 2.2, foreground="white"), patheffects.Normal()]
        ax.plot(xs, ys, color=colour, linewidth=width, solid_capstyle="round",
                solid_joinstyle="round", path_effects=halo, zorder=4, alpha=0.95)
        handles.append(Line2D([], [], color=colour, linewidth=4, label=route.caption()))

    ends = scene.endpoints()
    if ends:
        mid_lon = (lon0 + lon1) / 2
        for node, marker, label in ((ends[0], "o", "start"), (ends[1], "s", "finish")):
            if node in coords:
                lat, lon = coords[node]
                ax.plot(lon, lat, marker=marker, markersize=11, color="white",
                        markeredgecolor="#212529", markeredgewidth=2.5, zorder=5)
                right = lon > mid_lon  # keep the label inside the map
                ax.annotate(label, (lon, lat), xytext=(-9 if right else 9, 9),
                            textcoords="offset points", ha="right" if right else "left",
                            fontsize=10, fontweight="bold", zorder=6,
                            path_effects=[patheffects.withStroke(linewidth=3, foreground="white")])
    for text, (lat, lon) in scene.labels.items():
        ax.annotate(text, (lon, lat), fontsize=8, style="italic", color="#495057", ha="center",
                    zorder=3, path_effects=[patheffects.withStroke(linewidth=2.5,
                                                                    foreground="white")])

    pad_lon = 0.0 if scene.focus else width_deg * 0.03
    pad_lat = 0.0 if scene.focus else (lat1 - lat0 or 1e-3) * 0.03
    ax.set_xlim(lon0 - pad_lon, lon1 + pad_lon)
    ax.set_ylim(lat0 - pad_lat, lat1 + pad_lat)
    ax.set_xticks([])
    ax.set_yticks([])
    for spine in ax.spines.values():
        spine.set_visible(False)
    bar = fig.colorbar(network, ax=ax, fraction=0.03, pad=0.01, shrink=0.7)
    bar.set_label("risk per km (log scale)")
    bar.set_ticks([0.0001, 0.0003, 0.0008, 0.002])
    bar.set_ticklabels(["0.1 (LTS 1)", "0.3 (LTS 2)", "0.8 (LTS 3)", "2.0 (LTS 4)"])
    if handles:
        ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.01),
                  ncol=1, fontsize=9.5, frameon=False)
    if scene.title:
        ax.set_title(scene.title, fontsize=12)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=dpi, bbox_inches="tight", pad_inches=0.15, facecolor="white")
    plt.close(fig)
    return path


def write_html(scene: Scene, path: str | Path, *, width: int = 1000) -> Path:
    """Write a self-contained HTML page (inline SVG, no external resources)."""
    coords = scene.coordinates()
    bounds = _bounds(coords, scene)
    lat0, lat1, lon0, lon1 = bounds
    kx = math.cos(math.radians((lat0 + lat1) / 2))
    span_x = ((lon1 - lon0) * kx) or 1e-3
    span_y = (lat1 - lat0) or 1e-3
    margin = 20.0
    scale = (width - 2 * margin) / span_x
    height = int(span_y * scale + 2 * margin)

    def xy(lat: float, lon: float) -> str:
        return f"{margin + (lon - lon0) * kx * scale:.1f} {margin + (lat1 - lat) * scale:.1f}"

    parts: list[str] = []
    for poly in scene.water:
        parts.append(f'<path class="water" d="M{" L".join(xy(*p) for p in poly)} Z"/>')
    for poly in scene.parks:
        parts.append(f'<path class="park" d="M{" L".join(xy(*p) for p in poly)} Z"/>')
    # One path per colour keeps the page small even for a whole city.
    buckets: dict[str, list[str]] = {}
    for a, b, r in _visible_segments(scene, coords, bounds):
        colour = risk_colour(r)
        buckets.setdefault(colour, []).append(f"M{xy(*coords[a])} L{xy(*coords[b])}")
    stroke = 0.8 if sum(map(len, buckets.values())) > 20000 else 1.6
    for colour, ds in sorted(buckets.items()):
        parts.append(f'<path class="net" stroke="{colour}" stroke-width="{stroke}" '
                     f'd="{" ".join(ds)}"/>')
    rows = []
    for route in sorted(scene.routes, key=lambda r: ROUTE_ORDER.index(r.route_type)):
        colour, w = ROUTE_STYLE.get(route.route_type, ("#000000", 3.0))
        points = " ".join(xy(*coords[n]) for n in route.path if n in coords)
        title = html.escape(route.caption())
        parts.append(f'<g class="route" id="route-{route.route_type}">'
                     f'<polyline points="{points}" stroke="#fff" stroke-width="{w + 2.5:.1f}"/>'
                     f'<polyline points="{points}" stroke="{colour}" stroke-width="{w:.1f}">'
                     f"<title>{title}</title></polyline></g>")
    for route in scene.routes:
        colour, _ = ROUTE_STYLE.get(route.route_type, ("#000000", 3.0))
        rows.append(
            f'<tr><td><label><input type="checkbox" checked data-route="{route.route_type}"> '
            f'<span class="swatch" style="background:{colour}"></span>'
            f"{html.escape(route.route_type)}</label></td>"
            f"<td>{route.distance_m:,.0f} m</td><td>{route.risk:.3f}</td>"
            f"<td>{route.time_min:.1f} min</td><td>{route.comfort:.2f}</td>"
            f"<td>{len(route.path)}</td></tr>")
    ends = scene.endpoints()
    if ends:
        for node, label in ((ends[0], "start"), (ends[1], "finish")):
            if node in coords:
                x, y = xy(*coords[node]).split()
                right = float(x) > width / 2  # keep the label inside the map
                parts.append(f'<circle class="end" cx="{x}" cy="{y}" r="7"/>'
                             f'<text class="endlabel" x="{float(x) + (-10 if right else 10):.1f}" '
                             f'y="{float(y) - 9:.1f}" text-anchor="{"end" if right else "start"}">'
                             f"{label}</text>")
    for text, (lat, lon) in scene.labels.items():
        x, y = xy(lat, lon).split()
        parts.append(f'<text class="label" x="{x}" y="{y}">{html.escape(text)}</text>')
    legend = "".join(
        f'<span class="swatch" style="background:{risk_colour(r)}"></span>{label} '
        for r, label in ((0.0001, "LTS 1"), (0.0003, "LTS 2"), (0.0008, "LTS 3"),
                         (0.002, "LTS 4")))
    title = html.escape(scene.title or "velorin_core routes")
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{title}</title>
<style>
body {{ font: 14px system-ui, sans-serif; margin: 16px; color: #212529; }}
svg {{ background: #f8f9fa; border: 1px solid #dee2e6; max-width: 100%; height: auto; }}
table {{ border-collapse: collapse; margin: 8px 0; }}
td, th {{ padding: 3px 10px; border-bottom: 1px solid #dee2e6; text-align: right; }}
td:first-child, th:first-child {{ text-align: left; }}
.swatch {{ display: inline-block; width: 14px; height: 8px; margin: 0 4px; }}
</style></head>
<body>
<h1 style="font-size:18px">{title}</h1>
<table><tr><th>route</th><th>distance</th><th>risk</th><th>time</th><th>comfort</th>
<th>nodes</th></tr>
{"".join(rows)}
</table>
<p>Streets by traffic stress: {legend}</p>
<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}"
 viewBox="0 0 {width} {height}" style="overflow:hidden">
<style>
.net {{ fill: none; stroke-linecap: round; }}
.water {{ fill: #a5d8ff; stroke: #74c0fc; }}
.park {{ fill: #d3f9d8; }}
.route polyline {{ fill: none; stroke-linecap: round; stroke-linejoin: round; }}
.end {{ fill: #fff; stroke: #212529; stroke-width: 2.5; }}
.endlabel {{ font: bold 14px sans-serif; paint-order: stroke; stroke: #fff; stroke-width: 3px; }}
.label {{ font: italic 11px sans-serif; fill: #495057; text-anchor: middle;
          paint-order: stroke; stroke: #fff; stroke-width: 3px; }}
</style>
{chr(10).join(parts)}
</svg>
<script>
for (const box of document.querySelectorAll("input[data-route]")) {{
  box.addEventListener("change", () => {{
    const g = document.getElementById("route-" + box.dataset.route);
    if (g) g.style.display = box.checked ? "" : "none";
  }});
}}
</script>
</body></html>
"""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(page, encoding="utf-8")
    return path


def scene_of(router: Any, routes: Sequence[Any], title: str = "") -> Scene:
    """A scene of a :class:`velorin.Router`'s map with routes on it, framed on the routes."""
    net = router._network
    nodes = [{"id": i, "lat": la, "lon": lo}
             for i, la, lo in zip(net.ids.tolist(), net.lat.tolist(), net.lon.tolist())]
    edges = [{"from": a, "to": b, "distance_m": d, "risk_score": r}
             for a, b, d, r in zip(net.edge_from.tolist(), net.edge_to.tolist(),
                                   net.distance_m.tolist(), net.risk.tolist())]
    return Scene(doc={"nodes": nodes, "edges": edges}, routes=[RouteView.of(r) for r in routes],
                 title=title, focus=True)
