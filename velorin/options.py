"""Command-line options shared by every ``velorin`` command that reads a map."""

from __future__ import annotations

import argparse

from velorin.osm.profiles import DEFAULT_PROFILE, PROFILES


def add_map_options(parser: argparse.ArgumentParser, several: bool = False) -> None:
    """How an OpenStreetMap extract becomes a graph: one place for every command.

    With ``several``, ``--profile`` takes a list separated by commas.
    """
    what = (f"cycling profile of the import: city (everyday bike on made ground), trekking "
            f"(rough tracks too), mtb (technical trails too) (default {DEFAULT_PROFILE})")
    if several:
        parser.add_argument("--profile", metavar="PROFILE[,PROFILE...]", type=_profile_list,
                            help=f"{what}; several, separated by commas, are served at once")
    else:
        parser.add_argument("--profile", choices=PROFILES, help=what)
    parser.add_argument("--push-bike", action="store_true",
                        help="also keep footways, pedestrian streets and bicycle=dismount "
                             "ways, for walking the bike (at three times the cost)")


def _profile_list(text: str) -> list[str]:
    names = [p.strip() for p in text.split(",")]
    unknown = [p for p in names if p not in PROFILES]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown profile {', '.join(map(repr, unknown))}: "
                                         f"choose among {', '.join(PROFILES)}")
    return names


def add_progress_options(parser: argparse.ArgumentParser) -> None:
    bar = parser.add_mutually_exclusive_group()
    bar.add_argument("--progress", dest="progress", action="store_true", default=None,
                     help="always show a progress bar")
    bar.add_argument("--no-progress", dest="progress", action="store_false",
                     help="never show a progress bar (default: shown for large files on a "
                          "terminal)")


def add_dem_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--dem", metavar="FILE",
                        help="elevation raster covering the extract (GeoTIFF or any raster "
                             "rasterio reads, any coordinate system): climbs, grades and "
                             "riding times from real heights; without it only incline tags")
