"""The dashboard's ASGI application (Starlette): the page, its two assets,
the stream of the board and the board as JSON. Nothing here changes the
radar: every route answers GET and HEAD only.

The guard in front of it checks every request, the stream's included:

- with a token, the request must carry it (``?token=``, or an
  ``Authorization: Bearer`` header);
- without one (the server listens on a loopback address), the request must
  name a loopback host, so that a web page elsewhere cannot reach the
  dashboard through a host name that it points at this machine.

Responses forbid framing, inline scripts and requests elsewhere, and send
no referrer (the token is in the URL).
"""

from __future__ import annotations

import asyncio
import hmac
import ipaddress
import re
from importlib import resources
from typing import Any, Dict, List, Optional, Sequence, Tuple
from urllib.parse import parse_qs

import orjson
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .hub import Hub

__all__ = ["TOKEN_PATTERN", "create_app", "is_loopback"]

#: What a token may be made of: it goes into URLs as it is.
TOKEN_PATTERN = re.compile(r"[A-Za-z0-9._~-]{16,256}")

_ASSETS = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/style.css": ("style.css", "text/css; charset=utf-8"),
}
_SECURITY = [
    (
        b"content-security-policy",
        b"default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:;"
        b" connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
    ),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
    (b"x-frame-options", b"DENY"),
    (b"cache-control", b"no-store"),
]


def is_loopback(host: str) -> bool:
    """Whether a host name or address is this machine's loopback."""
    host = host.strip("[]").lower()
    if host == "localhost" or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _host_name(value: str) -> str:
    """The host of a Host header, without its port."""
    if value.startswith("["):
        return value[1 : value.find("]")] if "]" in value else value
    return value.rsplit(":", 1)[0] if value.count(":") == 1 else value


class Guard:
    """ASGI middleware: the token or loopback rule, GET and HEAD only, and the
    security headers on every response."""

    def __init__(self, app: ASGIApp, token: Optional[str]) -> None:
        self.app = app
        self.token = token.encode() if token else None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            if scope["type"] == "websocket":
                await send({"type": "websocket.close", "code": 1008})
                return
            await self.app(scope, receive, send)
            return
        refusal = self._refusal(scope)
        if refusal is not None:
            status, text, extra = refusal
            await _plain(send, status, text, extra)
            return

        async def secured(message: Message) -> None:
            if message["type"] == "http.response.start":
                message["headers"] = [
                    *message.get("headers", []),
                    *_SECURITY,
                ]
            await send(message)

        await self.app(scope, receive, secured)

    def _refusal(self, scope: Scope) -> Optional[Tuple[int, str, List[Tuple[bytes, bytes]]]]:
        if scope["method"] not in ("GET", "HEAD"):
            return 405, "read-only: GET and HEAD only\n", [(b"allow", b"GET, HEAD")]
        headers = dict(scope["headers"])
        if self.token is None:
            host = headers.get(b"host", b"").decode("latin-1")
            if not is_loopback(_host_name(host)):
                return 403, "this dashboard answers only to a loopback host name\n", []
            return None
        given = _token_of(scope, headers)
        if given is None or not hmac.compare_digest(given, self.token):
            return 401, "a token is needed: open the URL that norsel-radar serve printed\n", []
        return None


def _token_of(scope: Scope, headers: Dict[bytes, bytes]) -> Optional[bytes]:
    auth = headers.get(b"authorization", b"")
    if auth[:7].lower() == b"bearer ":
        return auth[7:].strip()
    values = parse_qs(scope.get("query_string", b"").decode("latin-1")).get("token")
    return values[-1].encode("latin-1") if values else None


async def _plain(
    send: Send,
    status: int,
    text: str,
    extra: Sequence[Tuple[bytes, bytes]] = (),
    guarded: bool = True,
) -> None:
    """A short text response; ``guarded`` adds the security headers (the
    guard's own refusals; the app's responses get them from the guard)."""
    body = text.encode()
    await send(
        {
            "type": "http.response.start",
            "status": status,
            "headers": [
                (b"content-type", b"text/plain; charset=utf-8"),
                (b"content-length", str(len(body)).encode()),
                *extra,
                *(_SECURITY if guarded else ()),
            ],
        }
    )
    await send({"type": "http.response.body", "body": body})


class Stream:
    """``GET /stream``: the board as server-sent events (see `Hub.frames`)."""

    def __init__(self, hub: Hub) -> None:
        self.hub = hub

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        viewer = None if scope["method"] == "HEAD" else self.hub.join()
        if viewer is None and scope["method"] != "HEAD":
            await _plain(send, 503, "too many viewers, or the server is stopping\n", guarded=False)
            return
        await send(
            {
                "type": "http.response.start",
                "status": 200,
                "headers": [
                    (b"content-type", b"text/event-stream; charset=utf-8"),
                    (b"x-accel-buffering", b"no"),
                ],
            }
        )
        if viewer is None:
            await send({"type": "http.response.body", "body": b""})
            return

        async def watch_disconnect() -> None:
            while (await receive())["type"] != "http.disconnect":
                pass
            viewer.close()

        watcher = asyncio.ensure_future(watch_disconnect())
        try:
            async for data in self.hub.frames(viewer):
                await send({"type": "http.response.body", "body": data, "more_body": True})
            if self.hub.closed:  # the server is stopping: end the response
                await send({"type": "http.response.body", "body": b""})
        finally:
            watcher.cancel()
            self.hub.leave(viewer)


def _asset(name: str) -> bytes:
    return (resources.files("norsel_radar") / "web" / "static" / name).read_bytes()


def create_app(hub: Hub, *, token: Optional[str] = None) -> Starlette:
    """The dashboard over ``hub``. With ``token``, every request must carry it
    (see `Guard`); without, only loopback host names are answered."""
    if token is not None and not TOKEN_PATTERN.fullmatch(token):
        raise ValueError("a token is 16 to 256 letters, digits or ._~-")
    query = f"?token={token}" if token else ""
    pages: Dict[str, Tuple[bytes, str]] = {}
    for path, (name, media) in _ASSETS.items():
        body = _asset(name)
        if name == "index.html":
            body = body.replace(b"{{query}}", query.encode())
        pages[path] = (body, media)

    async def asset(request: Request) -> Response:
        body, media = pages[request.url.path]
        return Response(body, media_type=media)

    async def state(request: Request) -> Response:
        return Response(orjson.dumps(hub.board.snapshot()), media_type="application/json")

    get = ["GET", "HEAD"]
    routes: List[Any] = [Route(path, asset, methods=get) for path in pages]
    routes.append(Route("/state", state, methods=get))
    routes.append(Route("/stream", Stream(hub), methods=get))
    return Starlette(routes=routes, middleware=[Middleware(Guard, token=token)])
