"""What feeds the dashboard's radar: a `Source` runs it and writes its reports
to the `Board`.

- `ReplaySource`: the command line's replay of a file (market-time pacing,
  checkpoints) on a thread of its own, which owns the radar;
- `LiveSource` (in `.live`): an exchange through the ccxt adapter.
"""

from __future__ import annotations

import asyncio
import heapq
import logging
import threading
import time
import weakref
from typing import Any, Dict, Iterator, List, Optional, Protocol, Tuple

import orjson

from .._norsel_radar import Radar
from ..cli import jsonl, replay, scanform, specs
from ..cli.errors import UserError
from ..cli.inputs import Input, looks_like_jsonl
from .board import AlertRow, Board

__all__ = ["ReplaySource", "Source"]

log = logging.getLogger(__name__)

#: The bundled sample, as messages name it.
SAMPLE = "the bundled sample"


class Source(Protocol):
    """Runs a radar and writes its reports to a board until the input ends or
    the task is cancelled."""

    description: str

    async def run(self, board: Board) -> None: ...


class _Stopped(Exception):
    """The server is stopping: the replay's thread ends where it is."""


def alert_rows(report: Any) -> List[AlertRow]:
    """The radar's parsed report's alerts as board rows (factors without the
    severity)."""
    return [AlertRow(a["symbol"], a["severity"], a["factors"], a["ts"]) for a in report["alerts"]]


class _View:
    """What the command line's live table would show, written to the board."""

    def __init__(self, board: Board, replay: _BoardReplay) -> None:
        self.board = board
        # No cycle: the replay (and its radar) must go when its thread drops it,
        # not when the collector runs on some other thread.
        self.replay = weakref.proxy(replay)

    def print(self, text: str) -> None:
        pass  # raised and cleared lines: the board finds them itself

    def show(self, report: Any, status: str, force: bool = False) -> None:
        r = self.replay
        if report is None:
            self.board.progress(r.events, r.market_time())
        else:
            self.board.report(alert_rows(report), report["scanned"], r.events, r.market_time())


class _BoardReplay(replay.Replay):
    """The command line's replay, its table and lines going to the board; a
    look at the alerts at every pacing step, a checkpoint at each ``every``."""

    def __init__(
        self, radar: Radar, every: replay.Every, speed: float, board: Board, stop: threading.Event
    ) -> None:
        super().__init__(radar, every, speed, None)
        self.live = _View(board, self)  # type: ignore[assignment]
        self.board = board
        self.stop = stop

    def look(self, force: bool = False) -> str:
        if self.stop.is_set():
            raise _Stopped
        return super().look(force)

    def table(self, title: str) -> None:
        super().table(title)
        self.board.checkpoint()

    def finish(self) -> None:
        self.look(force=True)

    def _wait(self, market: int) -> None:
        assert self.pace is not None
        wall0, market0 = self.pace
        delay = wall0 + (market - market0) / 1000.0 / self.speed - time.monotonic()
        if delay > 0:
            self.board.progress(self.events, self.market_time())
            if self.stop.wait(delay):
                raise _Stopped
        elif self.stop.is_set():
            raise _Stopped


class MergedPiece(replay.Piece):
    """The scan form's events merged across symbols by timestamp (ties in
    symbol order), as a feed delivers them; runs of it are fed as one
    "feed_batch" per symbol."""

    def __init__(self, radar: Radar, where: str, pairs: List[Tuple[int, str, Any]]) -> None:
        self.radar = radar
        self.where = where
        self.pairs = pairs
        self.fed = 0
        self.stop = len(pairs)

    @property
    def start(self) -> int:
        return self.fed

    def timestamps(self) -> Optional[List[int]]:
        return [ts for ts, _, _ in self.pairs]

    def ts_at(self, index: int) -> Optional[int]:
        return self.pairs[index][0]

    def feed(self, stop: int) -> None:
        groups: Dict[str, List[Any]] = {}
        for _, symbol, event in self.pairs[self.fed : stop]:
            groups.setdefault(symbol, []).append(event)
        for symbol, events in groups.items():
            reply = self.radar.command(scanform.batch_request(symbol, events))
            if reply != jsonl.OK:  # the whole input was checked before: not expected
                raise UserError(f"{self.where}: symbol {scanform.dumps(symbol)}: {reply}")
        self.fed = stop


def _event_ts(event: Any) -> int:
    ts = event.get("ts") if isinstance(event, dict) else event[1]
    return ts if isinstance(ts, int) else 0


def _stamped(symbol: str, events: List[Any]) -> Iterator[Tuple[int, str, Any]]:
    for event in events:
        yield _event_ts(event), symbol, event


def _first(item: Tuple[int, str, Any]) -> int:
    return item[0]


def merged_pieces(inp: Input, radar: Radar, spec: specs.Spec) -> Iterator[replay.Piece]:
    """The scan form as one `MergedPiece`, after the radar has checked all of it."""
    request, _ = scanform.read_request(inp)
    scratch = spec.radar()
    reply = scratch.command(request)
    if reply.startswith('{"error":'):
        message = str(orjson.loads(reply)["error"])
        raise scanform.explain(scratch, inp.where, request, message, inp.bom)
    text = scanform.events_text(request)
    del request
    streams = [_stamped(symbol, events) for symbol, events in scanform.symbol_lists(text)]
    # heapq.merge breaks ties by stream: equal times keep the symbols' order.
    pairs = list(heapq.merge(*streams, key=_first))
    if pairs:
        yield MergedPiece(radar, inp.where, pairs)


class ReplaySource:
    """Replays a file of events (``path`` None: the bundled sample) into a
    radar with ``spec``, paced at ``speed`` times market time (0: as fast as
    possible), a checkpoint at each ``every``; ``loop`` starts over when the
    input ends. JSON Lines are fed in file order, the scan form merged across
    symbols by timestamp.

    The input is opened (and its form told) when the source is made, so that
    a missing file is reported before the server starts.
    """

    def __init__(
        self,
        path: Optional[str],
        spec: specs.Spec,
        *,
        every: replay.Every,
        speed: float,
        loop: bool = False,
        input_format: str = "auto",
    ) -> None:
        self.path = path
        self.spec = spec
        self.every = every
        self.speed = speed
        self.loop = loop
        self.input_format = input_format
        self.stop = threading.Event()
        self._input: Optional[Input] = self._open()
        if path is not None and path == "-" and loop:
            raise UserError("--loop cannot replay stdin again")
        name = SAMPLE if path is None else self._input.where
        pace = f"{speed:g}x market time" if speed else "as fast as possible"
        self.description = f"replay of {name}, {pace}{', looped' if loop else ''}"

    def _open(self) -> Input:
        if self.path is None:
            from importlib import resources

            data = resources.files("norsel_radar") / "data" / "sample_events.json"
            inp = Input(str(data))
            inp.where = SAMPLE
        else:
            inp = Input(self.path)
        try:
            form = self.input_format
            if form == "auto":
                head = inp.head()
                if not head.strip():
                    raise UserError(f"{inp.where}: no events")
                form = "jsonl" if looks_like_jsonl(head) else "scan"
        except BaseException:
            inp.close()
            raise
        self._form = form
        return inp

    async def run(self, board: Board) -> None:
        """Runs the replay's thread until it ends; cancelling stops it."""
        loop = asyncio.get_running_loop()
        done: asyncio.Future[None] = loop.create_future()

        def finished(error: Optional[BaseException]) -> None:
            if done.done():
                return
            if error is None:
                done.set_result(None)
            else:
                done.set_exception(error)

        def body() -> None:
            error: Optional[BaseException] = None
            try:
                self._replay(board)
            except BaseException as exc:  # handed to the loop
                error = exc
            try:
                loop.call_soon_threadsafe(finished, error)
            except RuntimeError:  # the loop has closed
                pass

        thread = threading.Thread(target=body, name="norsel-radar-replay", daemon=True)
        thread.start()
        try:
            await asyncio.shield(done)
        finally:
            self.stop.set()
            if not done.done():
                await asyncio.wait([done])

    def _replay(self, board: Board) -> None:
        radar = self.spec.radar()
        board.state("running")
        first = True
        try:
            while True:
                inp = self._input if first else self._open()
                self._input = None
                first = False
                assert inp is not None
                with inp:
                    events = self._once(inp, radar, board)
                if events == 0:
                    raise UserError(f"{inp.where}: no events")
                if not self.loop or self.stop.is_set():
                    break
                radar.command('{"cmd":"reset"}')
                board.restart()
        except _Stopped:
            board.state("stopped")
            return
        except UserError as exc:
            log.error("%s", exc)
            board.state("failed", str(exc))
            return
        except MemoryError:
            board.state("failed", "out of memory")
            return
        except Exception as exc:
            board.state("failed", f"{type(exc).__name__}: {exc}")
            raise
        board.state("ended")

    def _once(self, inp: Input, radar: Radar, board: Board) -> int:
        r = _BoardReplay(radar, self.every, self.speed, board, self.stop)
        if self._form == "jsonl":
            feed = replay.pieces(inp, radar, self.spec, "jsonl")
        else:
            feed = merged_pieces(inp, radar, self.spec)
        for piece in feed:
            if self.stop.is_set():
                raise _Stopped
            r.run(piece)
        if r.events:
            r.finish()
        return r.events
