"""The PNG picture of a scene, drawn with matplotlib (the ``maps`` extra)."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

from velorin.geo import haversine_m
from velorin.pictures.scene import (CORE_WIDTH, GAP_WIDTH, PARK, RISK_SCALE, ROUTE_STYLE, STOPS,
                                    WATER, WATER_EDGE, WOOD, Scene, bounds, legend_notes,
                                    metres_label, localities_to_write, risk_colour, route_segments,
                                    scale_bar_length, sorted_routes, street_names,
                                    visible_segments)


def figure(scene: Scene, *, dpi: int = 150) -> Any:
    """The matplotlib figure of a scene (its map axes is ``figure.axes[0]``)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import patheffects
    from matplotlib.collections import LineCollection
    from matplotlib.colors import LinearSegmentedColormap, LogNorm
    from matplotlib.legend_handler import HandlerTuple
    from matplotlib.lines import Line2D
    from matplotlib.patches import Polygon

    coords = scene.coordinates()
    lat0, lat1, lon0, lon1 = bounds(coords, scene)
    mid_lat = (lat0 + lat1) / 2
    aspect = 1.0 / math.cos(math.radians(mid_lat))
    width_deg = (lon1 - lon0) or 1e-3
    height_deg = ((lat1 - lat0) or 1e-3) * aspect
    fig_w = 11.0
    fig_h = min(14.0, max(4.0, 0.9 * fig_w * height_deg / width_deg))
    fig, ax = plt.subplots(figsize=(fig_w, fig_h), dpi=dpi)
    ax.set_aspect(aspect)
    ax.set_facecolor("#f8f9fa")
    pad_lon = 0.0 if scene.focus else width_deg * 0.03
    pad_lat = 0.0 if scene.focus else (lat1 - lat0 or 1e-3) * 0.03
    x0, x1, y0, y1 = lon0 - pad_lon, lon1 + pad_lon, lat0 - pad_lat, lat1 + pad_lat
    white_halo = [patheffects.withStroke(linewidth=3, foreground="white")]

    # Background: woods under parks under water, then rivers and coastline.
    for shapes, style in ((scene.woods, {"facecolor": WOOD, "edgecolor": "none"}),
                          (scene.parks, {"facecolor": PARK, "edgecolor": "none"}),
                          (scene.water, {"facecolor": WATER, "edgecolor": WATER_EDGE,
                                         "linewidth": 0.8})):
        for poly in shapes:
            ax.add_patch(Polygon([(lon, lat) for lat, lon in poly], closed=True, zorder=1,
                                 **style))
    for lines, colour, width in ((scene.rivers, WATER_EDGE, 1.6),
                                 (scene.coastlines, "#339af0", 2.2)):
        if lines:
            ax.add_collection(LineCollection([[(lon, lat) for lat, lon in line]
                                              for line in lines],
                                             colors=colour, linewidths=width, zorder=1.5))

    segments = visible_segments(scene, coords, (lat0, lat1, lon0, lon1))
    lines = [[(coords[a][1], coords[a][0]), (coords[b][1], coords[b][0])] for a, b, _ in segments]
    risks = [max(r, RISK_SCALE[0]) for _, _, r in segments]
    cmap = LinearSegmentedColormap.from_list(
        "risk", [(t, tuple(c / 255 for c in rgb)) for t, rgb in STOPS])
    norm = LogNorm(*RISK_SCALE, clip=True)
    thin = 0.6 if len(lines) > 20000 else 1.4
    network = LineCollection(lines, cmap=cmap, norm=norm, linewidths=thin, zorder=2,
                             capstyle="round")
    network.set_array(risks)
    ax.add_collection(network)

    # Routes: rings of their own colour, nested where they share a street, and
    # on top of all of them a core in the stress colour of each street taken.
    # Names go under the routes: a route must never be hidden by a label.
    handles: list[Any] = []
    risk_of = scene.segment_risk()
    core_legs: dict[tuple[int, int], float] = {}
    for route in sorted_routes(scene):
        colour, width = ROUTE_STYLE.get(route.route_type, ("#000000", 9.0))
        xs = [coords[n][1] for n in route.path if n in coords]
        ys = [coords[n][0] for n in route.path if n in coords]
        gap = [patheffects.Stroke(linewidth=width + 2 * GAP_WIDTH, foreground="white"),
               patheffects.Normal()]
        ax.plot(xs, ys, color=colour, linewidth=width, solid_capstyle="round",
                solid_joinstyle="round", path_effects=gap, zorder=3)
        for a, b, r in route_segments(route, coords, risk_of):
            core_legs[(a, b) if a <= b else (b, a)] = r
        ring = Line2D([], [], color=colour, linewidth=9, solid_capstyle="butt")
        core = Line2D([], [], color=risk_colour(RISK_SCALE[0]), linewidth=CORE_WIDTH,
                      solid_capstyle="butt")
        handles.append(((ring, core), route.caption()))
    if core_legs:
        core_lines = LineCollection(
            [[(coords[a][1], coords[a][0]), (coords[b][1], coords[b][0])] for a, b in core_legs],
            cmap=cmap, norm=norm, linewidths=CORE_WIDTH, zorder=4, capstyle="round")
        core_lines.set_array([max(r, RISK_SCALE[0]) for r in core_legs.values()])
        ax.add_collection(core_lines)

    for name, lat, lon, angle in street_names(scene, coords, (lat0, lat1, lon0, lon1)):
        # Beside the street rather than on it, where the street would show between words.
        up = math.radians(angle + 90)
        ax.annotate(name, (lon, lat), xytext=(6 * math.cos(up), 6 * math.sin(up)),
                    textcoords="offset points", fontsize=7.5, color="#343a40", ha="center",
                    va="center", rotation=angle, rotation_mode="anchor", zorder=2.5,
                    path_effects=white_halo)
    for name, lat, lon, rank in localities_to_write(scene, (lat0, lat1, lon0, lon1)):
        ax.annotate(name, (lon, lat), fontsize=max(7.5, 12.5 - 1.0 * rank), color="#212529",
                    fontweight="bold" if rank <= 2 else "normal", ha="center", va="center",
                    zorder=2.6, path_effects=white_halo)
    for text, (lat, lon) in scene.labels.items():
        # Labels placed by hand, beside the streets: above the routes.
        ax.annotate(text, (lon, lat), fontsize=8, style="italic", color="#495057", ha="center",
                    zorder=5, path_effects=[patheffects.withStroke(linewidth=2.5,
                                                                    foreground="white")])

    ends = scene.endpoints()
    if ends:
        mid_lon = (lon0 + lon1) / 2
        for node, marker, label in ((ends[0], "o", scene.ends[0]), (ends[1], "s", scene.ends[1])):
            if node in coords:
                lat, lon = coords[node]
                ax.plot(lon, lat, marker=marker, markersize=11, color="white",
                        markeredgecolor="#212529", markeredgewidth=2.5, zorder=6)
                right = lon > mid_lon  # keep the label inside the map
                ax.annotate(label, (lon, lat), xytext=(-9 if right else 9, 9),
                            textcoords="offset points", ha="right" if right else "left",
                            fontsize=10, fontweight="bold", zorder=7,
                            path_effects=[patheffects.withStroke(linewidth=3, foreground="white")])

    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
    _scale_bar(ax, x0, x1, y0, y1, white_halo)
    ax.annotate("N", xy=(0.965, 0.975), xytext=(0.965, 0.885), xycoords="axes fraction",
                ha="center", va="center", fontsize=11, fontweight="bold", zorder=8,
                arrowprops={"arrowstyle": "-|>", "color": "#212529", "linewidth": 1.8},
                path_effects=white_halo)
    ax.set_xticks([])
    ax.set_yticks([])
    for spine in ax.spines.values():
        spine.set_visible(False)
    bar = fig.colorbar(network, ax=ax, fraction=0.03, pad=0.01, shrink=0.7)
    bar.set_label("street stress: risk per km (log scale)")
    bar.set_ticks([0.0001, 0.0003, 0.0008, 0.002])
    bar.set_ticklabels(["0.1 (LTS 1)", "0.3 (LTS 2)", "0.8 (LTS 3)", "2.0 (LTS 4)"])
    legend = None
    if handles:
        notes = ["rings: shortest outside, safest inside; the core keeps the street's stress "
                 "colour", *legend_notes(scene.routes)]
        blank = [Line2D([], [], linestyle="none") for _ in notes]
        legend = ax.legend(handles=[h for h, _ in handles] + blank,
                  labels=[c for _, c in handles] + notes,
                  handler_map={tuple: HandlerTuple(ndivide=1, pad=0.0)},
                  loc="upper center", bbox_to_anchor=(0.5, -0.01), ncol=1, fontsize=9.5,
                  frameon=False, handlelength=3.0)
    if scene.title:
        ax.set_title(scene.title, fontsize=12)
    if any(len(r.profile) > 1 for r in scene.routes):
        _elevation_profile(fig, ax, legend, scene)
    return fig


def _elevation_profile(fig: Any, ax: Any, legend: Any, scene: Scene) -> None:
    """Height against distance of each route, in an axes of its own under the map."""
    fig.canvas.draw()
    inverse = fig.transFigure.inverted()
    box = inverse.transform_bbox(ax.get_window_extent())
    below = box.y0
    if legend is not None:
        below = min(below, inverse.transform_bbox(legend.get_window_extent()).y0)
    height = 2.0 / fig.get_figheight()
    profile = fig.add_axes((box.x0, below - 0.05 / fig.get_figheight() * 10 - height,
                            box.width, height))
    for route in reversed(sorted_routes(scene)):
        if len(route.profile) > 1:
            colour, _ = ROUTE_STYLE.get(route.route_type, ("#000000", 9.0))
            profile.plot([d / 1000 for d, _ in route.profile], [e for _, e in route.profile],
                         color=colour, linewidth=2.0, label=route.label)
    profile.set_xlabel("distance from the start (km)")
    profile.set_ylabel("height (m)")
    profile.grid(True, color="#dee2e6", linewidth=0.6)
    profile.set_title("elevation profile", fontsize=10, loc="left")
    profile.legend(fontsize=8.5, frameon=False, loc="best")


def _scale_bar(ax: Any, x0: float, x1: float, y0: float, y1: float, halo: Any) -> None:
    """A bar of round length in the lower left corner, labelled in metres or kilometres."""
    mid_lat = (y0 + y1) / 2
    width_m = haversine_m(mid_lat, x0, mid_lat, x1)
    length = scale_bar_length(width_m)
    bx = x0 + 0.03 * (x1 - x0)
    by = y0 + 0.04 * (y1 - y0)
    dx = (x1 - x0) * length / width_m
    tick = 0.012 * (y1 - y0)
    ax.plot([bx, bx, bx + dx, bx + dx], [by + tick, by, by, by + tick], color="#212529",
            linewidth=2.0, solid_capstyle="butt", zorder=8,
            path_effects=[_stroke(4.5), _normal()])
    ax.annotate(metres_label(length), (bx + dx / 2, by + tick), ha="center", va="bottom",
                fontsize=9, zorder=8, path_effects=halo)


def _stroke(width: float) -> Any:
    from matplotlib import patheffects

    return patheffects.Stroke(linewidth=width, foreground="white")


def _normal() -> Any:
    from matplotlib import patheffects

    return patheffects.Normal()


def draw_png(scene: Scene, path: str | Path, *, dpi: int = 150) -> Path:
    """Write the PNG picture of a scene and return its path."""
    import matplotlib.pyplot as plt

    fig = figure(scene, dpi=dpi)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    try:
        fig.savefig(path, dpi=dpi, bbox_inches="tight", pad_inches=0.15, facecolor="white")
    finally:
        plt.close(fig)
    return path
