"""Pictures of a road graph and its routes: a PNG (matplotlib) and a self-contained HTML page.

:func:`scene_of` makes a :class:`Scene` of a router's map around some routes
(:mod:`velorin.pictures.scene`); :func:`draw_png` draws it with matplotlib
(:mod:`velorin.pictures.png`, the ``maps`` extra) and :func:`write_html`
writes it as a page with inline SVG (:mod:`velorin.pictures.html`). Routes
take their colours and names from :mod:`velorin.style`, as on the service's
page.
"""

from velorin.pictures.html import write_html
from velorin.pictures.png import draw_png, figure
from velorin.pictures.scene import (RISK_NOTE, CORE_WIDTH, GAP_WIDTH, MAIN_STREETS,
                                    RISK_SCALE, ROUTE_ORDER, ROUTE_STYLE, TIME_NOTE, RouteView,
                                    Scene, coinciding_routes, frame, legend_notes, risk_colour,
                                    scale_bar_length, scene_of, street_names)

__all__ = [
    "RISK_NOTE", "CORE_WIDTH", "GAP_WIDTH", "MAIN_STREETS", "RISK_SCALE", "ROUTE_ORDER",
    "ROUTE_STYLE", "TIME_NOTE", "RouteView", "Scene", "coinciding_routes", "draw_png", "figure",
    "frame", "legend_notes", "risk_colour", "scale_bar_length", "scene_of", "street_names",
    "write_html",
]
