"""The ``velorin`` command: convert extracts, route between places.

Each subcommand is one ``_add_*`` function that registers its parser and sets
``run`` to the function that carries it out; :data:`COMMANDS` lists them.
Failures the user can fix (a bad file, bad coordinates, a point off the map)
end the command with one line on standard error and exit status 1.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import stat
import sys
import tempfile
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from velorin.errors import VelorinError
from velorin.navigate import add_navigation_options, write_navigation
from velorin.options import add_dem_option, add_map_options, add_progress_options
from velorin.ends import DEFAULT_MAX_DISTANCE_M, parse_place
from velorin.route import DEFAULT_EPS, Route
from velorin.service.command import add_serve

PROG = "velorin"

Subparsers = Any  # argparse's _SubParsersAction, which it does not export
Command = Callable[[Subparsers], None]


class CommandError(Exception):
    """A fault the user can fix, reported as one line."""


def write_atomically(path: str | os.PathLike[str], write: Callable[[Any], Any]) -> None:
    """Write a text file through a temporary one, so a failure never leaves half a file.

    The new file replaces the old one only once it is complete and on disk
    (file and folder synced), and keeps the old one's permissions. A symbolic
    link is written through: the file it names is replaced and the link stays.
    Only a regular file (or a new one) is replaced that way: renaming onto a
    device, a pipe or a socket (``-o /dev/null``, ``-o /dev/stdout``) would
    put a plain file in its place, so those are written to directly. The
    temporary file carries the writer's process id, so that one left by a
    writer that was killed is removed by the next.
    """
    target = Path(os.path.realpath(path)) if os.path.islink(path) else Path(path)
    if target.exists() and not target.is_file():
        with open(target, "w", encoding="utf-8") as out:
            write(out)
        return
    try:
        mode = stat.S_IMODE(target.stat().st_mode)
    except FileNotFoundError:  # a new file: the mode a plain open() would give
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    _sweep_temporaries(target)
    fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.{os.getpid()}.", suffix=".tmp",
                               dir=target.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            write(out)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        os.unlink(tmp)
        raise
    _sync_folder(target.parent)


def _sweep_temporaries(target: Path) -> None:
    """Remove the temporary files that writers of ``target`` which are gone left behind."""
    own = re.compile(re.escape(f".{target.name}.") + r"(\d+)\.[^./]+\.tmp")
    try:
        names = os.listdir(target.parent)
    except OSError:
        return
    for name in names:
        found = own.fullmatch(name)
        if found is None:
            continue
        try:
            os.kill(int(found.group(1)), 0)
        except ProcessLookupError:  # its writer is gone
            try:
                os.unlink(target.parent / name)
            except OSError:
                pass
        except (OSError, OverflowError):  # alive, someone else's, or no process id
            pass


def _sync_folder(folder: Path) -> None:
    """Put a rename in ``folder`` on disk (not every file system can)."""
    try:
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def same_file(a: str | os.PathLike[str], b: str | os.PathLike[str]) -> bool:
    """Whether two paths name one file (through links, hard or symbolic, too)."""
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet)
        return False


# --- velorin convert ---------------------------------------------------------

def _add_convert(subparsers: Subparsers) -> None:
    p = subparsers.add_parser(
        "convert", help="convert an OpenStreetMap extract into a graph document",
        description="Convert an OpenStreetMap extract (.osm.pbf, .osm, .osm.bz2, .osm.gz) into "
                    "the graph JSON of velorin_core.PyGraph.from_json. Keeps the ways a cyclist "
                    "may ride, honours one-way streets and their cycling exceptions, and scores "
                    "each arc's risk by Level of Traffic Stress times length.",
        epilog="Example: velorin convert monaco-latest.osm.pbf -o monaco.json")
    p.add_argument("input", nargs="?", metavar="EXTRACT", help="OSM extract to read")
    p.add_argument("-o", "--output", default="-",
                   help="JSON file to write ('-' for standard output, the default)")
    add_map_options(p)
    add_dem_option(p)
    p.add_argument("--familiar", metavar="FILE",
                   help="file of ridden OSM way ids (one per line, optional weight after it); "
                        "adds a familiarity value to every arc")
    p.add_argument("--familiar-rides", nargs="+", metavar="GPX",
                   help="the rider's own rides: GPX files, or folders of them; a way ridden "
                        "gets weight 0.5, 0.75, 0.875... as its rides add up (added to "
                        "--familiar's)")
    p.add_argument("--familiarity-per-km", type=float, default=1.0, metavar="X",
                   help="familiarity of one km of a ridden way of weight 1 (default 1.0)")
    p.add_argument("--risk-model", metavar="FILE",
                   help="JSON object overriding fields of the risk model "
                        "(see --print-risk-model for the fields and defaults)")
    p.add_argument("--lts-weights", metavar="W1,W2,W3,W4",
                   help="risk per metre for LTS 1-4 (default 0.0001,0.0003,0.0008,0.002)")
    p.add_argument("--left-hand-traffic", action="store_true",
                   help="traffic keeps left (UK, Japan...): cycleway:left serves the "
                        "forward direction of two-way streets")
    p.add_argument("--annotate", action="store_true",
                   help="add way_id, lts, highway, name and surface to every arc "
                        "(ignored by from_json)")
    p.add_argument("--print-risk-model", action="store_true",
                   help="print the risk model in use as JSON and exit")
    add_progress_options(p)
    p.add_argument("-q", "--quiet", action="store_true", help="print no summary")
    p.set_defaults(run=_run_convert, parser=p)


def _model_from_args(args: argparse.Namespace) -> Any:
    from velorin.osm import RiskModel

    values: dict[str, Any] = {}
    if args.risk_model:
        try:
            loaded = json.loads(Path(args.risk_model).read_text(encoding="utf-8"))
        except OSError as exc:
            raise CommandError(f"cannot read risk model {args.risk_model}: {exc.strerror}")
        except json.JSONDecodeError as exc:
            raise CommandError(f"risk model {args.risk_model}: invalid JSON: {exc}")
        if not isinstance(loaded, dict):
            raise CommandError(f"risk model {args.risk_model}: expected a JSON object")
        values.update(loaded)
    if args.profile:
        if values.get("profile", args.profile) != args.profile:
            raise CommandError(f"--profile {args.profile} differs from the profile "
                               f"{values['profile']!r} of {args.risk_model}")
        values["profile"] = args.profile
    if args.lts_weights:
        try:
            weights = [float(w) for w in args.lts_weights.split(",")]
        except ValueError:
            raise CommandError("--lts-weights: expected four numbers separated by commas")
        values["lts_risk_per_m"] = weights
    try:
        return RiskModel.from_mapping(values)
    except (ValueError, TypeError) as exc:
        raise CommandError(f"risk model: {exc}")


def _run_convert(args: argparse.Namespace) -> int:
    from velorin.osm import ConversionStats, convert, write

    if args.input is None and not args.print_risk_model:
        args.parser.error("the input file is required")
    if args.input is not None and args.output != "-" and same_file(args.input, args.output):
        raise CommandError(f"the output {args.output} is the extract being read; choose "
                           f"another file for the graph")
    model = _model_from_args(args)
    if args.print_risk_model:
        fields = model.to_mapping().items()
        print("{\n" + ",\n".join(f"  {json.dumps(k)}: {json.dumps(v)}" for k, v in fields)
              + "\n}")
        return 0
    stats = ConversionStats()
    doc = convert(args.input, model=model, familiar_ways=args.familiar,
                  familiar_rides=args.familiar_rides,
                  familiarity_per_km=args.familiarity_per_km,
                  left_hand_traffic=args.left_hand_traffic, push_bike=args.push_bike,
                  annotate=args.annotate, progress=args.progress, stats=stats, dem=args.dem)
    if args.output == "-":
        write(doc, sys.stdout)
    else:
        try:
            write_atomically(args.output, lambda out: write(doc, out))
        except OSError as exc:
            raise CommandError(f"cannot write {args.output}: {exc.strerror}")
    if not args.quiet:
        print(f"{PROG} convert: {stats.summary()}", file=sys.stderr)
        if stats.edges == 0:
            print(f"{PROG} convert: warning: no cyclable way found in {args.input}",
                  file=sys.stderr)
    return 0


# --- velorin route -----------------------------------------------------------

def _add_route(subparsers: Subparsers) -> None:
    p = subparsers.add_parser(
        "route", help="route between two places on a map",
        description="Compute the shortest, safest and balanced cycling routes between two "
                    "places and print them. MAP is an OpenStreetMap extract or a graph "
                    "document (.json).",
        epilog="Example: velorin route monaco-latest.osm.pbf --from 43.7308,7.4197 "
               "--to 43.7447,7.4297 --geojson routes.geojson")
    p.add_argument("map", metavar="MAP", help="OSM extract or graph document")
    p.add_argument("--from", dest="origin", required=True, metavar="PLACE",
                   help="start: LAT,LON in degrees, a node id, or a place name of the map "
                        "(town, village or street: \"Ordino\", \"Carrer Major, Encamp\")")
    p.add_argument("--to", dest="destination", required=True, metavar="PLACE",
                   help="finish, as --from")
    p.add_argument("--eps", type=float, default=DEFAULT_EPS,
                   help="search approximation: 0.0 (default) exact, 0.1 allows routes up to "
                        "10%% longer or riskier than the optimum, for a faster search")
    p.add_argument("--max-distance", type=float, default=DEFAULT_MAX_DISTANCE_M,
                   metavar="METRES", help=f"farthest a place may lie from the map's network "
                                          f"(default {DEFAULT_MAX_DISTANCE_M:g})")
    p.add_argument("--geojson", metavar="FILE", help="write the routes as a GeoJSON "
                                                     "FeatureCollection")
    p.add_argument("--png", metavar="FILE", help="draw the routes on the map (PNG)")
    p.add_argument("--html", metavar="FILE", help="draw the routes on a self-contained web page")
    add_navigation_options(p)
    add_map_options(p)
    add_dem_option(p)
    add_progress_options(p)
    p.set_defaults(run=_run_route, parser=p)


def format_routes(routes: Sequence[Route]) -> str:
    """The route table: one line per route (picks that coincide share one), with the
    riding time, the risk per km, the climb, and stress shares where the map has them."""
    width = max([9, *(len(r.label) for r in routes)])
    stress = any(r.arcs for r in routes)
    lines = [f"{'route':{width}} {'distance':>9} {'riding':>8} {'risk':>7} {'per km':>6} "
             f"{'climb':>6}" + ("   distance at LTS 1/2/3/4" if stress else "")]
    for r in routes:
        line = (f"{r.label:{width}} {r.total_distance_m / 1000:6.2f} km "
                f"{r.riding_time_min:4.0f} min {r.total_risk:7.3f} {r.risk_per_km:6.3f} "
                f"{r.ascent_m:4.0f} m")
        if r.arcs:
            by_lts = r.distance_by_lts_m()
            total = sum(by_lts.values()) or 1.0
            line += "   " + " ".join(f"{100 * by_lts[k] / total:3.0f}%" for k in (1, 2, 3, 4))
        lines.append(line)
    if routes:
        lines.append(f"riding time for the map's cycling profile; {routes[0].elevation_note}")
    return "\n".join(lines)


def _leg_m(a: tuple[float, float], b: tuple[float, float]) -> float:
    from velorin.geo import haversine_m

    return haversine_m(a[0], a[1], b[0], b[1])


def _run_route(args: argparse.Namespace) -> int:
    from velorin.maps import is_graph_document, map_name, open_map
    from velorin.route import to_geojson

    # Read before the map, which may take a while, so that a typo fails at once.
    origin, destination = (parse_place(args.origin, names=True),
                           parse_place(args.destination, names=True))
    via = [parse_place(v, names=True) for v in args.via]
    router = open_map(args.map, profile=args.profile, progress=args.progress,
                      push_bike=args.push_bike, dem=args.dem)
    ends = (router.snap(origin, max_distance_m=args.max_distance, end="origin"),
            router.snap(destination, max_distance_m=args.max_distance, end="destination"))
    routes = router.route(*ends, args.eps, max_distance_m=args.max_distance, via=via)
    for label, place, end in (("from", origin, ends[0]), ("to", destination, ends[1])):
        where = (f"{place[0]:.6f},{place[1]:.6f}: " if isinstance(place, tuple)
                 else f"{router.find_place(place).label}: " if isinstance(place, str) else "")
        print(f"{label:4} {where}node {end.node}" +
              (f", {end.distance_m:.0f} m away" if end.distance_m else ""))
    print(format_routes(routes))
    write_navigation(args, routes, _write_output)
    if args.geojson:
        payload = json.dumps(to_geojson(routes), indent=1) + "\n"
        _write_output(args.geojson, lambda out: out.write(payload))
    if args.png or args.html:
        from velorin import pictures

        extract = None if is_graph_document(args.map) else args.map
        scene = pictures.scene_of(router, routes, title=f"{map_name(args.map)}: cycling routes",
                                  extract=extract)
        for path, draw in ((args.png, pictures.draw_png), (args.html, pictures.write_html)):
            if path:
                try:
                    draw(scene, path)
                except OSError as exc:
                    raise CommandError(f"cannot write {path}: {exc.strerror}") from None
                print(f"wrote {path}")
    return 0


def _write_output(path: str, write: Callable[[Any], Any]) -> None:
    try:
        write_atomically(path, write)
    except OSError as exc:
        raise CommandError(f"cannot write {path}: {exc.strerror}") from None
    print(f"wrote {path}")


# --- Entry point -------------------------------------------------------------

#: Every subcommand's registration, in the order ``--help`` lists them.
COMMANDS: list[Command] = [_add_convert, _add_route, add_serve]


def build_parser() -> argparse.ArgumentParser:
    import velorin

    parser = argparse.ArgumentParser(
        prog=PROG, description="Safe cycling routes on OpenStreetMap data.")
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {velorin.__version__}")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in COMMANDS:
        add(subparsers)
    return parser


def _attach_place_values(argv: Sequence[str]) -> list[str]:
    """Write ``--from -33.9,18.4`` as ``--from=-33.9,18.4``.

    argparse takes a value that starts with "-" for an option unless it is a
    plain negative number, which a southern latitude followed by a longitude
    is not.
    """
    out: list[str] = []
    tokens = iter(argv)
    for token in tokens:
        if token in ("--from", "--to", "--via"):
            value = next(tokens, None)
            if value is not None and re.match(r"-[\d.]", value):
                out.append(f"{token}={value}")
                continue
            out.append(token)
            if value is not None:
                out.append(value)
        else:
            out.append(token)
    return out


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(_attach_place_values(sys.argv[1:] if argv is None
                                                          else argv))
    try:
        status: int = args.run(args)
        return status
    except BrokenPipeError:
        # The reader went away (``velorin ... | head``): nothing left to tell it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except (CommandError, VelorinError, ValueError) as exc:
        message = str(exc)
    except OSError as exc:
        message = f"{exc.filename}: {exc.strerror}" if exc.filename else str(exc)
    except KeyboardInterrupt:
        return 130
    line = " ".join(message.split())
    print(f"{PROG} {args.command}: error: {line}", file=sys.stderr)
    return 1
