"""Writing graph documents as JSON."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, TextIO

import orjson


def dumps(doc: Mapping[str, Any]) -> str:
    """Compact JSON text of a graph document (floats in shortest round-trip form).

    Every float of a document is finite: the converter computes them from
    finite coordinates and checked model values (a NaN would otherwise be
    written as null).
    """
    return orjson.dumps(doc).decode("utf-8")


def write(doc: Mapping[str, Any], out: TextIO) -> None:
    """Write a graph document as compact JSON with one node or arc per line.

    A quote inside a JSON string is always escaped, so ``},{"`` and ``[{"``
    occur only where one record closes and the next opens: breaking the line
    there is safe.
    """
    text = dumps(doc).replace('},{"', '},\n{"').replace('[{"', '[\n{"')
    out.write(text)
    out.write("\n")
