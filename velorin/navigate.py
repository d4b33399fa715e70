"""What ``velorin route`` gives a rider besides the route table: via points, GPX, directions."""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence
from typing import Any

from velorin.route import Route


def add_navigation_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--via", action="append", default=[], metavar="LAT,LON",
                        help="pass this place on the way (a node id, or LAT,LON in degrees); "
                             "repeat for several, in order")
    parser.add_argument("--gpx", metavar="FILE",
                        help="write the routes as GPX, one track per route")
    parser.add_argument("--directions", action="store_true",
                        help="print the turn-by-turn directions of each route")


def format_directions(route: Route) -> str:
    """A route's steps, one line each, with the distance ridden to the next."""
    lines = [f"{route.route_type}:"]
    for number, step in enumerate(route.directions, start=1):
        far = f"{step.distance_m:,.0f} m" if step.distance_m < 1000 \
            else f"{step.distance_m / 1000:.1f} km"
        lines.append(f"  {number:3d}. {step.instruction}" +
                     (f" ({far})" if step.maneuver != "arrive" else ""))
    return "\n".join(lines)


def write_navigation(args: argparse.Namespace, routes: Sequence[Route],
                     write: Callable[[str, Callable[[Any], Any]], None]) -> None:
    """Print the directions and write the GPX file that the options ask for."""
    if args.directions:
        for route in routes:
            print(format_directions(route))
    if args.gpx:
        from velorin.gpx import to_gpx

        text = to_gpx(routes)
        write(args.gpx, lambda out: out.write(text))
