#!/usr/bin/env python3
"""Former home of the OpenStreetMap converter, now ``velorin.osm`` and ``velorin convert``.

Kept so that existing scripts and imports go on working: it re-exports the
converter's names and runs ``velorin convert`` with the same arguments.
"""

from __future__ import annotations

import sys

from velorin.osm import *  # noqa: F403
from velorin.osm import __all__  # noqa: F401


def main(argv: list[str] | None = None) -> int:
    from velorin.cli import main as velorin_main

    return velorin_main(["convert", *(sys.argv[1:] if argv is None else argv)])


if __name__ == "__main__":
    sys.exit(main())
