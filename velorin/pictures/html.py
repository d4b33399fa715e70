"""The page of a scene: self-contained HTML, the map as inline SVG.

The page needs nothing from outside: its small script only toggles routes.
Its frame is the package's template ``page.html``; the SVG, the table and
the legend are filled in here.
"""

from __future__ import annotations

import html
import math
from importlib.resources import files
from pathlib import Path
from string import Template

from velorin.pictures.scene import (CORE_WIDTH, GAP_WIDTH, PARK, WATER, WATER_EDGE, WOOD, Scene,
                                    bounds, legend_notes, metres_label, localities_to_write,
                                    risk_colour, route_segments, scale_bar_length,
                                    sorted_routes, street_names, visible_segments)
from velorin.style import route_style

#: The page's frame, with ``$`` fields for what a scene fills in.
PAGE = Template(files("velorin.pictures").joinpath("page.html").read_text(encoding="utf-8"))


def write_html(scene: Scene, path: str | Path, *, width: int = 1000) -> Path:
    """Write a self-contained HTML page (inline SVG, no external resources)."""
    coords = scene.coordinates()
    box = bounds(coords, scene)
    lat0, lat1, lon0, lon1 = box
    kx = math.cos(math.radians((lat0 + lat1) / 2))
    span_x = ((lon1 - lon0) * kx) or 1e-3
    span_y = (lat1 - lat0) or 1e-3
    margin = 20.0
    scale = (width - 2 * margin) / span_x
    height = int(span_y * scale + 2 * margin)

    def xy(lat: float, lon: float) -> str:
        return f"{margin + (lon - lon0) * kx * scale:.1f} {margin + (lat1 - lat) * scale:.1f}"

    def text(css: str, lat: float, lon: float, label: str, angle: float | None = None) -> str:
        x, y = xy(lat, lon).split()
        # A street's name is turned along it and moved off it (dy is across the turned text).
        turn = f' transform="rotate({-angle:.1f} {x} {y})" dy="-7"' if angle is not None else ""
        return f'<text class="{css}" x="{x}" y="{y}"{turn}>{html.escape(label)}</text>'

    parts: list[str] = []
    for css, shapes in (("wood", scene.woods), ("park", scene.parks), ("water", scene.water)):
        for poly in shapes:
            parts.append(f'<path class="{css}" d="M{" L".join(xy(*p) for p in poly)} Z"/>')
    for css, lines in (("river", scene.rivers), ("coast", scene.coastlines)):
        if lines:
            d = " ".join(f'M{" L".join(xy(*p) for p in line)}' for line in lines)
            parts.append(f'<path class="{css}" d="{d}"/>')
    # One path per colour keeps the page small even for a whole city.
    buckets: dict[str, list[str]] = {}
    for a, b, r in visible_segments(scene, coords, box):
        colour = risk_colour(r)
        buckets.setdefault(colour, []).append(f"M{xy(*coords[a])} L{xy(*coords[b])}")
    stroke = 0.8 if sum(map(len, buckets.values())) > 20000 else 1.6
    for colour, ds in sorted(buckets.items()):
        parts.append(f'<path class="net" stroke="{colour}" stroke-width="{stroke}" '
                     f'd="{" ".join(ds)}"/>')
    for name, lat, lon, angle in street_names(scene, coords, box):
        parts.append(text("street", lat, lon, name, angle))
    for name, lat, lon, rank in localities_to_write(scene, box):
        parts.append(text(f"place rank{min(rank, 3)}", lat, lon, name))
    for label, (lat, lon) in scene.labels.items():
        parts.append(text("label", lat, lon, label))
    # Rings of the routes' own colours, nested where they share a street; the
    # cores on top keep the stress colour of each street taken.
    risk_of = scene.segment_risk()
    rows = []
    for route in sorted_routes(scene):
        style = route_style(route.route_type)
        colour, w = style.colour, style.picture_width
        points = " ".join(xy(*coords[n]) for n in route.path if n in coords)
        title = html.escape(route.caption())
        cores: dict[str, list[str]] = {}
        for a, b, r in route_segments(route, coords, risk_of):
            cores.setdefault(risk_colour(r), []).append(f"M{xy(*coords[a])} L{xy(*coords[b])}")
        core = "".join(f'<path class="core" stroke="{c}" d="{" ".join(ds)}"/>'
                       for c, ds in sorted(cores.items()))
        parts.append(f'<g class="route" id="route-{route.route_type}">'
                     f'<polyline points="{points}" stroke="#fff" '
                     f'stroke-width="{w + 2 * GAP_WIDTH:.1f}"/>'
                     f'<polyline points="{points}" stroke="{colour}" stroke-width="{w:.1f}">'
                     f"<title>{title}</title></polyline>{core}</g>")
    for route in scene.routes:
        colour = route_style(route.route_type).colour
        rows.append(
            f'<tr><td><label><input type="checkbox" checked data-route="{route.route_type}"> '
            f'<span class="swatch" style="background:{colour}"></span>'
            f"{html.escape(' = '.join(route_style(n).label for n in route.names)
                           if route.names else route_style(route.route_type).label)}"
            f"</label></td>"
            f"<td>{route.distance_m / 1000:,.2f} km</td><td>{route.time_min:.0f} min</td>"
            f"<td>{route.risk:.2f}</td><td>{route.risk_per_km:.2f}</td>"
            f"<td>{route.ascent_m:.0f} m</td></tr>")
    ends = scene.endpoints()
    if ends:
        for node, label in ((ends[0], scene.ends[0]), (ends[1], scene.ends[1])):
            if node in coords:
                x, y = xy(*coords[node]).split()
                right = float(x) > width / 2  # keep the label inside the map
                parts.append(f'<circle class="end" cx="{x}" cy="{y}" r="7"/>'
                             f'<text class="endlabel" x="{float(x) + (-10 if right else 10):.1f}" '
                             f'y="{float(y) - 9:.1f}" text-anchor="{"end" if right else "start"}">'
                             f"{html.escape(label)}</text>")
    # Scale bar (lower left) and north arrow (upper right).
    width_m = span_x * 111_195.0
    bar_m = scale_bar_length(width_m)
    bar_px = bar_m / width_m * (width - 2 * margin)
    bx, by = margin + 12, height - margin - 10
    parts.append(f'<path class="scalebar" d="M{bx:.1f} {by - 6:.1f} V{by:.1f} H{bx + bar_px:.1f} '
                 f'V{by - 6:.1f}"/><text class="scalelabel" x="{bx + bar_px / 2:.1f}" '
                 f'y="{by - 8:.1f}">{metres_label(bar_m)}</text>')
    nx = width - margin - 14
    parts.append(f'<path class="north" d="M{nx} {margin + 4} l-6 16 h12 Z"/>'
                 f'<text class="scalelabel" x="{nx}" y="{margin + 36}">N</text>')
    legend = "".join(
        f'<span class="swatch" style="background:{risk_colour(r)}"></span>{label} '
        for r, label in ((0.0001, "LTS 1"), (0.0003, "LTS 2"), (0.0008, "LTS 3"),
                         (0.002, "LTS 4")))
    notes = "".join(f"<li>{html.escape(n)}</li>" for n in legend_notes(scene.routes))
    title = html.escape(scene.title or "velorin_core routes")
    page = PAGE.substitute(
        title=title, rows="".join(rows), notes=notes, legend=legend, width=width, height=height,
        water=WATER, water_edge=WATER_EDGE, park=PARK, wood=WOOD, core_width=CORE_WIDTH,
        svg="\n".join(parts), profile=_elevation_profile(scene, width))
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(page, encoding="utf-8")
    return path


def _elevation_profile(scene: Scene, width: int) -> str:
    """An SVG chart of each route's height against distance, or nothing without heights."""
    routes = [r for r in sorted_routes(scene) if len(r.profile) > 1]
    if not routes:
        return ""
    height, left, bottom, top = 190, 56, 30, 26
    far = max(d for r in routes for d, _ in r.profile) or 1.0
    low = min(e for r in routes for _, e in r.profile)
    high = max(e for r in routes for _, e in r.profile)
    span = (high - low) or 1.0

    def x(d: float) -> float:
        return left + (width - left - 10) * d / far

    def y(e: float) -> float:
        return top + (height - top - bottom) * (1 - (e - low) / span)

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" class="profile">',
             f'<text x="{left}" y="14" class="ptitle">elevation profile</text>',
             f'<line x1="{left}" y1="{height - bottom}" x2="{width - 10}" '
             f'y2="{height - bottom}" stroke="#495057"/>',
             f'<line x1="{left}" y1="{top}" x2="{left}" y2="{height - bottom}" '
             f'stroke="#495057"/>']
    for e in (low, high):
        parts.append(f'<text x="{left - 4}" y="{y(e) + 4:.1f}" class="paxis" '
                     f'text-anchor="end">{e:.0f} m</text>')
    parts.append(f'<text x="{width - 10}" y="{height - 8}" class="paxis" text-anchor="end">'
                 f'{far / 1000:.2f} km</text>')
    for route in reversed(routes):
        points = " ".join(f"{x(d):.1f},{y(e):.1f}" for d, e in route.profile)
        parts.append(f'<polyline points="{points}" fill="none" stroke-width="2" '
                     f'stroke="{route_style(route.route_type).colour}">'
                     f"<title>{html.escape(route.label)}</title></polyline>")
    parts.append("</svg>")
    return "\n".join(parts)
