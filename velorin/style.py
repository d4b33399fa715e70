"""How routes look and are named, the same in the pictures, their page and the service's page.

The service hands the same values to its page's script (``/style.js``), so
a route has one colour and one name wherever it is drawn.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any


@dataclass(frozen=True)
class RouteStyle:
    """The look of one kind of route."""

    #: What the route is called in tables and legends.
    label: str
    #: Its colour, as ``#rrggbb``.
    colour: str
    #: Width of its ring in the pictures, in points, and of its line on the
    #: service's page, in pixels: widest first, so routes sharing a street
    #: nest and all stay visible.
    picture_width: float
    page_width: float


#: The kinds of route, in the engine's order.
ROUTE_TYPES = ("shortest", "safest", "balanced")

ROUTE_STYLES = {
    "shortest": RouteStyle("Shortest", "#1c63d5", 14.6, 10.0),
    "safest": RouteStyle("Safest", "#9c36b5", 5.6, 4.0),
    "balanced": RouteStyle("Balanced", "#212529", 10.0, 7.0),
}

#: A route of a kind not listed above (none today).
OTHER = RouteStyle("Route", "#000000", 9.0, 6.0)

#: How two routes that are one path are written: ``safest = shortest: the same path``.
COINCIDES = "{name} = {other}: the same path"


def route_style(route_type: str) -> RouteStyle:
    return ROUTE_STYLES.get(route_type, OTHER)


def page_config() -> dict[str, Any]:
    """The style as plain JSON values, for the service page's script."""
    return {"routes": {kind: asdict(style) for kind, style in ROUTE_STYLES.items()},
            "order": list(ROUTE_TYPES), "coincides": COINCIDES}
