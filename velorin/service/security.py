"""What the service tells browsers, and which host names it answers to.

A service on loopback is still reachable from any web page the machine's
browser opens: a page from elsewhere may make its own name resolve to
127.0.0.1 (DNS rebinding) and then read the answers as its own. Checking the
``Host`` header closes that door, since such a request names the foreign
host. The headers keep the page's scripts to the ones the service serves
itself and keep the page out of other sites' frames.
"""

from __future__ import annotations

import ipaddress
from collections.abc import Sequence

from starlette.types import ASGIApp, Message, Receive, Scope, Send

#: Every script, style, image and request of the page comes from the service
#: itself; Leaflet sets its positions through the style property, which the
#: policy allows, and draws no inline markup styles.
CONTENT_SECURITY_POLICY = ("default-src 'self'; script-src 'self'; style-src 'self'; "
                           "img-src 'self' data:; connect-src 'self'; object-src 'none'; "
                           "base-uri 'none'; form-action 'self'; frame-ancestors 'none'")

HEADERS = [
    (b"content-security-policy", CONTENT_SECURITY_POLICY.encode()),
    (b"x-content-type-options", b"nosniff"),
    (b"x-frame-options", b"DENY"),
    (b"referrer-policy", b"no-referrer"),
]

#: The names a loopback address answers to.
LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "*.localhost", "[::1]")


def is_loopback(host: str) -> bool:
    """Whether a listening address reaches this machine only."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def default_allowed_hosts(listen_host: str) -> list[str]:
    """Loopback names for a service bound to loopback; any name otherwise (a service
    reachable from elsewhere is named by whatever its clients call it)."""
    if not is_loopback(listen_host):
        return ["*"]
    # Starlette compares an IPv6 literal with its brackets, as the Host header writes it.
    own = f"[{listen_host}]" if ":" in listen_host and not listen_host.startswith("[") \
        else listen_host
    return list(dict.fromkeys([*LOOPBACK_HOSTS, own]))


class SecurityHeaders:
    """Adds :data:`HEADERS` to every response."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                present = {name for name, _ in message.get("headers", [])}
                message["headers"] = [*message.get("headers", []),
                                      *((k, v) for k, v in HEADERS if k not in present)]
            await send(message)

        await self.app(scope, receive, send_with_headers)

