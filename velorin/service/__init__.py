"""A route service over HTTP, with a web page to try it: ``velorin serve MAP``.

    from velorin.service import create_app
    app = create_app("monaco-latest.osm.pbf", workers=2, timeout_s=10.0)
    # then: uvicorn.run(app, host="127.0.0.1", port=8000)

Needs the ``serve`` extra (Starlette and uvicorn), which is imported only when
the service is built, so that the rest of velorin works without it.
"""

from typing import Any

__all__ = ["create_app"]


def __getattr__(name: str) -> Any:
    if name == "create_app":
        from velorin.service.app import create_app

        return create_app
    raise AttributeError(f"module 'velorin.service' has no attribute {name!r}")
