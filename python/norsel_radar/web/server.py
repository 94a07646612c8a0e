"""Serving the dashboard: the listening socket, uvicorn, the source's task and
a clean stop on Ctrl-C (or SIGTERM)."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import socket
from types import FrameType
from typing import Any, Callable, List, Optional

import uvicorn

from .app import create_app, is_loopback
from .board import Board
from .hub import Hub
from .sources import Source

__all__ = ["bind", "serve", "url_of"]

log = logging.getLogger(__name__)

#: Seconds the server waits at shutdown for a viewer that does not read.
GRACE = 2


def bind(host: str, port: int) -> socket.socket:
    """A socket listening on ``host`` and ``port`` (0: any free port)."""
    infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    family, kind, proto, _, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        sock.bind(address)
        sock.listen(128)
    except BaseException:
        sock.close()
        raise
    return sock


def url_of(sock: socket.socket, host: str, token: Optional[str]) -> str:
    """The page's URL: the address the socket listens on (a wildcard address
    shown as this machine's name), with the token."""
    port = sock.getsockname()[1]
    shown = host
    if host in ("", "0.0.0.0", "::"):
        shown = socket.gethostname()
    if ":" in shown:
        shown = f"[{shown}]"
    return f"http://{shown}:{port}/" + (f"?token={token}" if token else "")


class _Server(uvicorn.Server):
    """uvicorn, ending every stream as soon as a stop is asked (uvicorn would
    otherwise wait for streams to end by themselves)."""

    def __init__(self, config: uvicorn.Config, hub: Hub) -> None:
        super().__init__(config)
        self.hub = hub
        self.loop: Optional[asyncio.AbstractEventLoop] = None

    def handle_exit(self, sig: int, frame: Optional[FrameType]) -> None:
        if self.loop is not None:
            with contextlib.suppress(RuntimeError):
                self.loop.call_soon_threadsafe(self.hub.close)
        super().handle_exit(sig, frame)

    async def shutdown(self, sockets: Optional[List[socket.socket]] = None) -> None:
        self.hub.close()
        await asyncio.sleep(0.05)  # the streams write their last chunk
        # A viewer that does not read would keep its stream waiting on a full
        # buffer until the grace period runs out: drop its connection now.
        for connection in list(self.server_state.connections):
            transport = getattr(connection, "transport", None)
            if transport is not None and transport.get_write_buffer_size() > 0:
                transport.abort()
        await super().shutdown(sockets)


def serve(
    sock: socket.socket,
    source: Source,
    board: Board,
    *,
    token: Optional[str] = None,
    on_start: Callable[[], Any] = lambda: None,
) -> None:
    """Serves the dashboard on ``sock`` while ``source`` feeds ``board``, until
    a signal stops it (re-raised afterwards: Ctrl-C ends in KeyboardInterrupt)."""
    host = sock.getsockname()[0]
    if token is None and not is_loopback(host):
        raise ValueError("a token is needed to listen beyond the loopback address")
    hub = Hub(board)
    config = uvicorn.Config(
        create_app(hub, token=token),
        lifespan="off",
        ws="none",
        log_level="warning",
        access_log=False,
        proxy_headers=False,
        server_header=False,
        timeout_graceful_shutdown=GRACE,
    )
    server = _Server(config, hub)

    async def main() -> None:
        loop = asyncio.get_running_loop()
        server.loop = loop
        hub.start(loop)
        task = asyncio.ensure_future(source.run(board))
        task.add_done_callback(_report_failure)
        on_start()
        try:
            await server.serve(sockets=[sock])
        finally:
            hub.close()
            task.cancel()
            await asyncio.wait([task])

    asyncio.run(main())


def _report_failure(task: asyncio.Future[None]) -> None:
    if not task.cancelled() and task.exception() is not None:
        log.error("the feed failed", exc_info=task.exception())
