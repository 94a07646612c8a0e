"""``norsel-radar replay``: feed events in order and show the alerts as the
market moves: checkpoints by event count or market time, a line per alert
raised or cleared, optionally a live table paced on market time."""

from __future__ import annotations

import argparse
import itertools
import re
import sys
import time
from bisect import bisect_left
from collections.abc import Iterator
from typing import Any, Dict, List, Optional, Tuple

import orjson

from .._norsel_radar import Radar
from . import jsonl, output, scanform, specs
from .display import Live, Progress
from .errors import UserError
from .inputs import Input, looks_like_jsonl
from .table import format_table, parse_duration, utc_time

#: Bytes of JSON Lines fed between two looks at the alerts.
BLOCK = 1 << 20
ALERTS = '{"cmd":"alerts"}'


class Every:
    """When to print the table: every N events, or every span of market time."""

    def __init__(self, text: Optional[str]) -> None:
        self.events = 0
        self.span = 0
        if text is None:
            return
        if text.isdigit():
            self.events = int(text)
        else:
            span = parse_duration(text)
            if span is None or span <= 0:
                raise UserError(
                    f"--every {text}: give a number of events (100000) or a span of"
                    " market time (30s, 5m, 1h)"
                )
            self.span = span
        if self.events == 0 and self.span == 0:
            raise UserError("--every must be greater than zero")


def parse_speed(text: Optional[str]) -> float:
    if text is None:
        return 0.0
    m = re.fullmatch(r"(\d+(?:\.\d+)?)x?", text.strip())
    if m is None or float(m.group(1)) <= 0:
        raise UserError(f"--speed {text}: give a factor such as 10x")
    return float(m.group(1))


# --------------------------------------------------------------------------
# pieces of input, fed in order


class Piece:
    """Events [start, stop) of the input that can be fed in parts."""

    stop = 0

    @property
    def start(self) -> int:
        raise NotImplementedError

    def timestamps(self) -> Optional[List[int]]:
        raise NotImplementedError

    def feed(self, stop: int) -> None:
        raise NotImplementedError

    def ts_at(self, index: int) -> Optional[int]:
        raise NotImplementedError


class LinesPiece(Piece):
    def __init__(self, block: jsonl.Block, feeder: jsonl.Feeder) -> None:
        self.block = block
        self.feeder = feeder
        self.stop = block.stop

    @property
    def start(self) -> int:
        return self.block.start

    def timestamps(self) -> Optional[List[int]]:
        return self.block.timestamps()

    def feed(self, stop: int) -> None:
        self.feeder.feed(self.block, stop)

    def ts_at(self, index: int) -> Optional[int]:
        block = self.block
        if block.bodies is not None:
            m = jsonl.TS.search(b"{" + block.bodies[index] + b"}")
            return int(m.group(1)) if m else None
        assert block.lines is not None
        return jsonl.line_ts(block.lines[index][1])


class SymbolPiece(Piece):
    """The events of one symbol of the scan form."""

    def __init__(
        self, radar: Radar, scratch: Radar, where: str, symbol: str, events: List[Any]
    ) -> None:
        self.radar = radar
        self.scratch = scratch
        self.where = where
        self.symbol = symbol
        self.events = events
        self.stop = len(events)
        self.fed = 0

    @property
    def start(self) -> int:
        return self.fed

    def timestamps(self) -> Optional[List[int]]:
        stamps = [self._ts(e) for e in self.events]
        return None if None in stamps else stamps  # type: ignore[return-value]

    @staticmethod
    def _ts(event: Any) -> Optional[int]:
        ts = event.get("ts") if isinstance(event, dict) else event[1]
        return ts if isinstance(ts, int) else None

    def ts_at(self, index: int) -> Optional[int]:
        return self._ts(self.events[index])

    def feed(self, stop: int) -> None:
        for first in range(self.start, stop, 4096):
            part = self.events[first : min(stop, first + 4096)]
            reply = self.radar.command(scanform.batch_request(self.symbol, part))
            if reply != jsonl.OK:
                index, message = scanform.first_bad_event(self.scratch, self.symbol, part)
                raise UserError(
                    f"{self.where}: symbol {scanform.dumps(self.symbol)},"
                    f" event {first + max(index, 0) + 1}: {message}"
                )
        self.fed = stop


def pieces(inp: Input, radar: Radar, spec: specs.Spec, form: str) -> Iterator[Piece]:
    scratch = spec.radar()
    if form == "jsonl":
        keys = jsonl.KeyCache()
        feeder = jsonl.Feeder(radar, scratch, inp.where, keys)
        for block in jsonl.blocks(inp, BLOCK, keys):
            if block.stop:
                yield LinesPiece(block, feeder)
        return
    request, _ = scanform.read_request(inp)
    reply = scratch.command(request)  # the radar checks every event before any is fed
    if reply.startswith('{"error":'):
        message = str(orjson.loads(reply)["error"])
        raise scanform.explain(scratch, inp.where, request, message, inp.bom)
    text = scanform.events_text(request)
    del request
    for symbol, events in scanform.symbol_lists(text):
        if events:
            yield SymbolPiece(radar, scratch, inp.where, symbol, events)


# --------------------------------------------------------------------------
# the replay


class Replay:
    def __init__(self, radar: Radar, every: Every, speed: float, live: Optional[Live]) -> None:
        self.radar = radar
        self.every = every
        self.speed = speed
        self.live = live
        self.events = 0
        self.market: Optional[int] = None  # running max of "ts"
        self.last_ts: Optional[int] = None  # "ts" of the last event fed
        self.next_events = every.events
        self.next_time: Optional[int] = None
        self.alerts: Dict[str, Tuple[float, int]] = {}
        self.scanned = 0
        self.checked_at = 0
        self.shown: Optional[str] = None  # the report text of the last table printed
        self.report: Optional[Dict[str, Any]] = None
        self.pace: Optional[Tuple[float, int]] = None  # (wall clock, market time) at start
        self.tick = int(speed * 1000 * 0.1) if speed else 0  # market ms per pacing step

    def needs_time(self) -> bool:
        return bool(self.every.span or self.speed)

    # -- output ----------------------------------------------------------

    def say(self, text: str) -> None:
        if self.live is not None:
            self.live.print(text)
        else:
            output.write(text + "\n")

    def status(self) -> str:
        return f"market time {utc_time(self.market_time())} UTC, {self.events:,} events"

    def market_time(self) -> Optional[int]:
        return self.market if self.every.span else self.last_ts

    def look(self, force: bool = False) -> str:
        """Asks for the alerts, prints the ones raised and cleared since last time."""
        if not force and self.events - self.checked_at < max(1, 4 * self.scanned):
            return ""
        self.checked_at = self.events
        reply = self.radar.command(ALERTS)
        report = orjson.loads(reply)
        self.report = report
        self.scanned = report["scanned"]
        now = {a["symbol"]: (a["severity"], a["ts"]) for a in report["alerts"]}
        raised = sorted(
            (ts, symbol, sev) for symbol, (sev, ts) in now.items() if symbol not in self.alerts
        )
        for ts, symbol, severity in raised:
            self.say(f"{utc_time(ts)}  raised   {symbol}  {severity:.4f}")
        for symbol, (severity, _) in self.alerts.items():
            if symbol not in now:
                self.say(f"{utc_time(self.market_time())}  cleared  {symbol}  {severity:.4f}")
        self.alerts = now
        if self.live is not None:
            self.live.show(report, self.status(), force=True)
        return reply

    def table(self, title: str) -> None:
        reply = self.look(force=True)
        assert self.report is not None
        if self.live is None:
            output.write(f"{title}:\n{format_table(self.report)}\n")
            output.flush()
        else:
            self.live.print(title)
        self.shown = reply

    def finish(self) -> None:
        reply = self.look(force=True)
        title = f"end of input at {utc_time(self.market_time())} UTC, {self.events:,} events"
        if reply == self.shown:
            self.say(f"{title}: no change since the last table")
        elif self.live is None:
            assert self.report is not None
            output.write(f"{title}:\n{format_table(self.report)}")
        else:
            self.live.print(title)
        if self.live is not None:
            self.live.show(self.report, self.status(), force=True)

    # -- feeding ---------------------------------------------------------

    def run(self, piece: Piece) -> None:
        stamps = piece.timestamps() if self.needs_time() else None
        running: Optional[List[int]] = None
        if stamps is not None:
            first = stamps[0] if self.market is None else self.market
            running = list(itertools.accumulate(stamps, max, initial=first))[1:]
            if self.market is None:
                self.market = stamps[0]
                if self.every.span:
                    self.next_time = (stamps[0] // self.every.span + 1) * self.every.span
                if self.speed:
                    self.pace = (time.monotonic(), stamps[0])
        while piece.start < piece.stop:
            stop, why = piece.stop, ""
            if self.every.events and piece.start + (self.next_events - self.events) <= stop:
                stop, why = piece.start + (self.next_events - self.events), "events"
            if running is not None:
                tick = (running[piece.start] // self.tick + 1) * self.tick if self.tick else None
                for limit, what in ((self.next_time, "time"), (tick, "tick")):
                    if limit is None:
                        continue
                    at = bisect_left(running, limit, piece.start, stop)
                    if at < stop:
                        stop, why = at, what
            fed = stop - piece.start
            if fed:
                if self.pace is not None and running is not None:
                    self._wait(running[stop - 1])
                piece.feed(stop)
                self.events += fed
                self.last_ts = piece.ts_at(stop - 1)
                if running is not None:
                    self.market = running[stop - 1]
            if why == "events":
                self.next_events += self.every.events
                self.table(f"at {utc_time(self.market_time())} UTC, {self.events:,} events")
            elif why == "time":
                assert self.next_time is not None and running is not None
                self.table(f"at {utc_time(self.next_time)} UTC, {self.events:,} events")
                self.next_time = (running[stop] // self.every.span + 1) * self.every.span
            elif why == "tick":
                self.look(force=self.live is not None)
        self.look()
        if self.live is not None:
            self.live.show(None, self.status())

    def _wait(self, market: int) -> None:
        assert self.pace is not None
        wall0, market0 = self.pace
        delay = wall0 + (market - market0) / 1000.0 / self.speed - time.monotonic()
        if delay > 0:
            if self.live is not None:
                self.live.show(None, self.status(), force=True)
            time.sleep(delay)


def run(args: argparse.Namespace) -> int:
    if args.spec == "-" and args.events == "-":
        raise UserError("the spec and the events cannot both be read from stdin")
    every = Every(args.every)
    speed = parse_speed(args.speed)
    spec = specs.load(args.spec)
    spec.report(args.strict, sys.stderr)
    radar = spec.radar()
    live_view = args.live and sys.stdout is not None and sys.stdout.isatty()
    with Input(args.events) as inp:
        form = args.input_format
        if form == "auto":
            head = inp.head()
            if not head.strip():
                raise UserError(f"{inp.where}: no events")
            form = "jsonl" if looks_like_jsonl(head) else "scan"
        live = Live() if live_view else None
        progress = Progress(inp.size) if live is None else None
        replay = Replay(radar, every, speed, live)
        try:
            for piece in pieces(inp, radar, spec, form):
                replay.run(piece)
                if progress is not None:
                    progress.update(inp.consumed, replay.events)
            if progress is not None:
                progress.close()
                progress = None
            if replay.events == 0:
                raise UserError(f"{inp.where}: no events")
            replay.finish()
        finally:
            if progress is not None:
                progress.close()
            if live is not None:
                live.close()
    return 0


def add_parser(sub: Any, formatter: Any) -> None:
    p = sub.add_parser(
        "replay",
        help="feed events in order and show the alerts as the market moves",
        description="Feeds the events in file order (runs of one symbol in one"
        ' "feed_batch") and prints a line for every alert raised or cleared, the'
        " ranked table at each checkpoint, and the table at the end.",
        formatter_class=formatter,
    )
    add_input_options(p)
    p.add_argument(
        "--every",
        metavar="N|SPAN",
        default=None,
        help="print the table every N events (100000) or every span of market time"
        " on ts read as milliseconds (30s, 5m, 1h); default: only at the end",
    )
    p.add_argument(
        "--live",
        action="store_true",
        help="on a terminal, redraw the ranked table in place as events stream",
    )
    p.add_argument(
        "--speed",
        metavar="FACTOR",
        default=None,
        help="pace the replay on market time, FACTOR times faster than it was"
        " recorded (10x); default: as fast as possible",
    )
    p.set_defaults(run=run)


def add_input_options(p: Any) -> None:
    p.add_argument(
        "events",
        metavar="EVENTS",
        help='events: the scan form {symbol: [events]}, or JSON Lines of {"symbol":'
        ' ..., "event": {...}}; gzip or zstd compressed or plain; - reads stdin',
    )
    p.add_argument(
        "--spec",
        metavar="SPEC",
        default=None,
        help="spec JSON file; - reads stdin (default: the bundled default spec,"
        " shown by 'norsel-radar spec')",
    )
    p.add_argument(
        "--input-format",
        choices=("auto", "scan", "jsonl"),
        default="auto",
        help="the form of EVENTS; auto tells them apart by the first object's shape",
    )
    p.add_argument(
        "--strict",
        action="store_true",
        help="treat spec warnings (members the radar ignores) as errors",
    )
