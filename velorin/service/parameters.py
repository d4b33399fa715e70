"""Query parameters an endpoint does not read are refused, not silently ignored.

A client that misspells ``profile`` or sends ``max_dist`` would otherwise get
an answer to another question than the one it asked, with status 200. The
parameters each endpoint reads are those its OpenAPI description lists, so
the description and the check cannot drift apart.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any
from urllib.parse import parse_qsl

from starlette.types import ASGIApp, Receive, Scope, Send

from velorin.service.answers import encode, error_body


def parameters_of(description: Mapping[str, Any]) -> dict[str, frozenset[str]]:
    """The query parameters of each GET path of an OpenAPI description."""
    known = {}
    for path, operations in description.get("paths", {}).items():
        get = operations.get("get", {})
        known[path] = frozenset(p["name"] for p in get.get("parameters", ())
                                if p.get("in") == "query")
    return known


class KnownParameters:
    """ASGI middleware: 400, naming them, for query parameters a path does not read.

    Paths without a description (the page, its static files) take any.
    """

    def __init__(self, app: ASGIApp, parameters: Mapping[str, frozenset[str]]) -> None:
        self.app = app
        self.parameters = parameters

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        known = self.parameters.get(scope.get("path", "")) if scope["type"] == "http" else None
        if known is not None:
            # Read as Starlette reads them, so both agree on what was sent.
            given = parse_qsl(scope.get("query_string", b"").decode("latin-1"),
                              keep_blank_values=True)
            unknown = sorted({name for name, _ in given} - known)
            if unknown:
                await self._refuse(scope["path"], unknown, sorted(known), send)
                return
        await self.app(scope, receive, send)

    @staticmethod
    async def _refuse(path: str, unknown: list[str], known: list[str], send: Send) -> None:
        names = ", ".join(repr(n) for n in unknown)
        reads = f"it reads {', '.join(known)}" if known else "it reads none"
        noun = "parameter" if len(unknown) == 1 else "parameters"
        body = encode(error_body(f"unknown {noun} {names} for {path}: {reads}",
                                 parameters=unknown))
        await send({"type": "http.response.start", "status": 400,
                    "headers": [(b"content-type", b"application/json"),
                                (b"content-length", str(len(body)).encode("ascii"))]})
        await send({"type": "http.response.body", "body": body})
