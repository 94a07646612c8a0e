"""The stream of the board to its viewers, as server-sent events.

One update costs one encoding whatever the number of viewers: the hub turns
the board's change into one frame and hands the same bytes to each viewer.
A viewer holds at most one frame waiting; a viewer still busy with an
earlier frame when a second one comes is marked behind, and gets the whole
current state (one frame, shared by every viewer behind) when it is ready
again. So a slow or stalled viewer costs a bounded amount of memory and
never slows the radar or the other viewers.

Updates are sent at most every ``interval`` seconds: changes that come
faster are merged into the next frame.
"""

from __future__ import annotations

import asyncio
import logging
import time
from typing import AsyncIterator, Optional, Set

import orjson

from .board import Board

__all__ = ["Hub", "Viewer"]

log = logging.getLogger(__name__)

#: Seconds between two frames at most (a change waits at most this long).
INTERVAL = 0.25
#: Seconds of silence after which a comment line keeps the connection alive.
KEEPALIVE = 15.0
#: Viewers streaming at once; more are refused.
MAX_VIEWERS = 256
#: Milliseconds a browser waits before connecting again after a lost stream.
RETRY_MS = 2000


def frame(event: str, data: bytes) -> bytes:
    """One server-sent event. orjson writes no raw newline, so the data is one
    line."""
    return b"event: " + event.encode() + b"\ndata: " + data + b"\n\n"


class Viewer:
    """One open stream: the frame waiting for it, or the mark that it fell
    behind, and what it was sent."""

    __slots__ = (
        "pending",
        "behind",
        "ping",
        "quiet",
        "wake",
        "frames",
        "sent",
        "resyncs",
        "closed",
    )

    def __init__(self) -> None:
        self.pending: Optional[bytes] = None
        self.behind = False
        self.ping = False  # a keep-alive comment is due
        self.quiet = True  # nothing sent since the last keep-alive round
        self.wake = asyncio.Event()
        self.frames = 0  # frames taken for sending
        self.sent = 0  # bytes of them
        self.resyncs = 0  # times it fell behind and was sent the whole state
        self.closed = False

    def offer(self, data: bytes) -> None:
        if self.pending is not None or self.behind:
            self.pending = None
            if not self.behind:
                self.behind = True
                self.resyncs += 1
        else:
            self.pending = data
        self.wake.set()

    def close(self) -> None:
        self.closed = True
        self.wake.set()


class Hub:
    """Publishes a `Board` to the viewers of its stream (all on one event loop)."""

    def __init__(
        self,
        board: Board,
        *,
        interval: float = INTERVAL,
        keepalive: float = KEEPALIVE,
        max_viewers: int = MAX_VIEWERS,
    ) -> None:
        self.board = board
        self.interval = interval
        self.keepalive = keepalive
        self.max_viewers = max_viewers
        self.viewers: Set[Viewer] = set()
        self.published = 0  # frames made for viewers (one per update)
        self.encoded = 0  # bytes of them
        self.closed = False
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._poked = False
        self._timer: Optional[asyncio.TimerHandle] = None
        self._last = -float("inf")
        self._after = 0  # the newest log entry sent in a frame
        self._seen = -1  # the board's version of the last frame
        self._state: Optional[bytes] = None  # the whole state, made when a viewer needs it
        self._state_version = -1
        self._keepalive: Optional[asyncio.TimerHandle] = None

    def start(self, loop: asyncio.AbstractEventLoop) -> None:
        """Listens to the board from now on (changes may come from any thread)."""
        self._loop = loop
        self.board.notify = self._notify
        self._keepalive = loop.call_later(self.keepalive, self._ping)

    def _ping(self) -> None:
        """Each viewer sent nothing for a while gets a comment line, which
        keeps proxies from closing the stream and finds connections gone."""
        if self.closed or self._loop is None:
            return
        for viewer in self.viewers:
            if viewer.quiet:
                viewer.ping = True
                viewer.wake.set()
            viewer.quiet = True
        self._keepalive = self._loop.call_later(self.keepalive, self._ping)

    def _notify(self) -> None:
        if self._poked or self.closed or self._loop is None:
            return
        self._poked = True
        try:
            self._loop.call_soon_threadsafe(self._schedule)
        except RuntimeError:  # the loop is closed: the server has stopped
            pass

    def _schedule(self) -> None:
        self._poked = False
        if self._timer is not None or self.closed:
            return
        delay = self._last + self.interval - time.monotonic()
        if delay > 0:
            assert self._loop is not None
            self._timer = self._loop.call_later(delay, self._publish)
        else:
            self._publish()

    def _publish(self) -> None:
        self._timer = None
        self._last = time.monotonic()
        if self.closed or self.board.version == self._seen:
            return
        if not self.viewers:  # a viewer that comes gets the whole state
            self._seen, self._after = self.board.position()
            return
        update, self._after = self.board.update(self._after)
        self._seen = update["version"]
        data = frame("update", orjson.dumps(update))
        self.published += 1
        self.encoded += len(data)
        for viewer in self.viewers:
            viewer.offer(data)

    def state_frame(self) -> bytes:
        """The whole current state as one frame, made once per board version."""
        version = self.board.version
        if self._state is None or self._state_version != version:
            self._state = frame("state", orjson.dumps(self.board.snapshot()))
            self._state_version = version
            self.encoded += len(self._state)
        return self._state

    # ------------------------------------------------------------ viewers

    def join(self) -> Optional[Viewer]:
        """A new viewer, or None when there are too many or the hub is closed."""
        if self.closed or len(self.viewers) >= self.max_viewers:
            return None
        viewer = Viewer()
        self.viewers.add(viewer)
        return viewer

    def leave(self, viewer: Viewer) -> None:
        viewer.close()
        self.viewers.discard(viewer)

    async def frames(self, viewer: Viewer) -> AsyncIterator[bytes]:
        """The frames of one viewer: the whole state first, then each update
        (or the whole state again after falling behind), with a comment line
        after ``keepalive`` seconds of silence. Ends when the viewer or the
        hub closes."""
        data = b"retry: %d\n" % RETRY_MS + self.state_frame()
        while True:
            viewer.frames += 1
            viewer.sent += len(data)
            viewer.quiet = viewer.ping = False
            yield data
            while True:
                await viewer.wake.wait()
                viewer.wake.clear()
                if viewer.closed or self.closed:
                    return
                if viewer.behind:
                    viewer.behind = False
                    viewer.pending = None
                    data = self.state_frame()
                elif viewer.pending is not None:
                    data, viewer.pending = viewer.pending, None
                elif viewer.ping:
                    data = b": keep-alive\n\n"
                else:
                    continue
                break

    def close(self) -> None:
        """Ends every stream (the server is stopping)."""
        self.closed = True
        for timer in (self._timer, self._keepalive):
            if timer is not None:
                timer.cancel()
        self._timer = self._keepalive = None
        for viewer in list(self.viewers):
            viewer.close()
