"""Command-line options shared by every ``velorin`` command that reads a map."""

from __future__ import annotations

import argparse

from velorin.osm.profiles import DEFAULT_PROFILE, PROFILES


def add_map_options(parser: argparse.ArgumentParser) -> None:
    """How an OpenStreetMap extract becomes a graph: one place for every command."""
    parser.add_argument("--profile", choices=PROFILES,
                        help=f"cycling profile of the import: city (everyday bike on made "
                             f"ground), trekking (rough tracks too), mtb (technical trails "
                             f"too) (default {DEFAULT_PROFILE})")
    parser.add_argument("--push-bike", action="store_true",
                        help="also keep footways, pedestrian streets and bicycle=dismount "
                             "ways, for walking the bike (at three times the cost)")


def add_progress_options(parser: argparse.ArgumentParser) -> None:
    bar = parser.add_mutually_exclusive_group()
    bar.add_argument("--progress", dest="progress", action="store_true", default=None,
                     help="always show a progress bar")
    bar.add_argument("--no-progress", dest="progress", action="store_false",
                     help="never show a progress bar (default: shown for large files on a "
                          "terminal)")
