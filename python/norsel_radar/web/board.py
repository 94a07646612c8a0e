"""The dashboard's model: what the page shows, built from the radar's reports.

A `Board` keeps the latest report's rows (factors in the RadarSpec's signal
order), a severity history over the last checkpoints, the log of alerts
raised and cleared, and the feed's state. Sources write to it from their own
thread; the hub reads it from the event loop, so every method takes the
board's lock, and each change calls ``notify`` (which must be safe to call
from any thread).
"""

from __future__ import annotations

import collections
import threading
import time
from typing import Any, Callable, Deque, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

from ..cli.table import SHORT, utc_time
from ..types import Spec

__all__ = ["AlertRow", "Board", "LogEntry"]

#: Checkpoints of severity history kept per row (the sparkline's width).
HISTORY = 60
#: Rows of the table sent to the page; the report may hold more.
ROWS = 100
#: Log entries kept (and sent to a page that connects).
LOG_KEEP = 500
#: Seconds of wall time over which events per second are measured.
RATE_WINDOW = 2.0


class AlertRow(NamedTuple):
    """One alert as the sources hand it over: the typed `Alert`'s fields."""

    symbol: str
    severity: float
    factors: Mapping[str, float]
    ts: int


class LogEntry(NamedTuple):
    seq: int
    kind: str  # "raised", "cleared", "restart" or "end"
    at: Optional[int]  # market time, ms
    symbol: str
    severity: Optional[float]

    def value(self) -> Dict[str, Any]:
        return {
            "seq": self.seq,
            "kind": self.kind,
            "time": utc_time(self.at),
            "symbol": self.symbol,
            "severity": self.severity,
        }


def columns(spec: Spec) -> List[Dict[str, str]]:
    """One column per signal label, in the spec's signal order; the head is the
    short name of the kind where that kind appears once (as the command line's
    table shows it), else the whole label."""
    labels = list(dict.fromkeys(spec.labels))  # two equal signals have one factor
    kinds = [label.split("(", 1)[0] for label in labels]
    return [
        {"label": label, "head": SHORT.get(kind, kind) if kinds.count(kind) == 1 else label}
        for label, kind in zip(labels, kinds)
    ]


def spec_value(spec: Spec, where: str) -> Dict[str, Any]:
    """The RadarSpec in force, as the page lists it."""
    return {
        "from": where,
        "signals": [
            {"kind": s.kind, "params": list(s.params), "weight": s.weight, "label": label}
            for s, label in zip(spec.signals, spec.labels)
        ],
        "threshold": spec.threshold,
        "limit": spec.limit,
        "venues": list(spec.venues),
        "symbols": list(spec.symbols),
    }


class Board:
    """The state of the dashboard; see the module's doc."""

    def __init__(
        self,
        spec: Spec,
        source: str,
        *,
        spec_from: str = "the default spec",
        history: int = HISTORY,
        rows: int = ROWS,
        log_keep: int = LOG_KEEP,
    ) -> None:
        if history < 1 or rows < 1 or log_keep < 1:
            raise ValueError("history, rows and log_keep must be positive")
        self._lock = threading.Lock()
        self.notify: Callable[[], None] = _nothing
        self._labels = [c["label"] for c in columns(spec)]
        self._static = {
            "spec": spec_value(spec, spec_from),
            "columns": columns(spec),
            "history": history,
        }
        self._rows_kept = rows
        self._alerts: List[AlertRow] = []
        self._current: Dict[str, AlertRow] = {}
        self._scanned = 0
        self._checkpoints: Deque[Dict[str, float]] = collections.deque(maxlen=history)
        self._log: Deque[LogEntry] = collections.deque(maxlen=log_keep)
        self._seq = 0
        self._feed: Dict[str, Any] = {
            "source": source,
            "state": "starting",
            "message": "",
            "events": 0,
            "rate": 0.0,
            "market": utc_time(None),
            "checkpoints": 0,
            "taken": None,
        }
        self._market: Optional[int] = None
        self._rate_marks: Deque[Tuple[float, int]] = collections.deque()
        self.version = 0

    # ------------------------------------------------------------ writing

    def report(
        self,
        alerts: Sequence[AlertRow],
        scanned: int,
        events: int,
        market: Optional[int],
        *,
        checkpoint: bool = False,
        taken: Optional[float] = None,
    ) -> None:
        """A new report of the radar after ``events`` events, at ``market``
        time (ms; None when unknown). Symbols that entered it are logged as
        raised at their own last event's time, those that left as cleared at
        the market time; ``checkpoint`` also adds a point to the history."""
        with self._lock:
            now = {a.symbol: a for a in alerts}
            raised = sorted(
                (a.ts, a.symbol, a.severity) for a in alerts if a.symbol not in self._current
            )
            for ts, symbol, severity in raised:
                self._add_log("raised", ts, symbol, severity)
            if market is not None:
                self._market = market
            for symbol, old in self._current.items():
                if symbol not in now:
                    self._add_log("cleared", self._market, symbol, old.severity)
            self._current = now
            self._alerts = list(alerts[: self._rows_kept])
            self._scanned = scanned
            self._progress(events)
            self._feed["taken"] = round(1000.0 * (time.time() if taken is None else taken))
            if checkpoint:
                self._checkpoint()
            self.version += 1
        self.notify()

    def checkpoint(self) -> None:
        """Adds the current severities as one point of the history."""
        with self._lock:
            self._checkpoint()
            self.version += 1
        self.notify()

    def progress(self, events: int, market: Optional[int]) -> None:
        """The feed moved without a new report."""
        with self._lock:
            if market is not None:
                self._market = market
            self._progress(events)
            self.version += 1
        self.notify()

    def state(self, state: str, message: str = "") -> None:
        """The feed's state ("running", "ended", "failed", ...), with a message."""
        with self._lock:
            self._feed["state"] = state
            self._feed["message"] = message
            if state != "running":
                self._feed["rate"] = 0.0
                self._rate_marks.clear()
            if state == "ended":
                self._add_log("end", self._market, "", None)
            self.version += 1
        self.notify()

    def restart(self) -> None:
        """The source starts over with a fresh radar: the alerts and history
        are forgotten without being logged as cleared."""
        with self._lock:
            self._add_log("restart", self._market, "", None)
            self._current = {}
            self._alerts = []
            self._checkpoints.clear()
            self._market = None
            self._rate_marks.clear()
            self.version += 1
        self.notify()

    def _add_log(
        self, kind: str, at: Optional[int], symbol: str, severity: Optional[float]
    ) -> None:
        self._seq += 1
        self._log.append(LogEntry(self._seq, kind, at, symbol, severity))

    def _checkpoint(self) -> None:
        self._checkpoints.append({a.symbol: a.severity for a in self._alerts})
        self._feed["checkpoints"] += 1

    def _progress(self, events: int) -> None:
        feed = self._feed
        feed["events"] = events
        feed["market"] = utc_time(self._market)
        marks = self._rate_marks
        now = time.monotonic()
        marks.append((now, events))
        while len(marks) > 2 and now - marks[1][0] >= RATE_WINDOW:
            marks.popleft()
        first_time, first_events = marks[0]
        span = now - first_time
        feed["rate"] = round((events - first_events) / span, 1) if span > 0 else 0.0

    # ------------------------------------------------------------ reading

    def position(self) -> Tuple[int, int]:
        """The version and the newest log entry's number."""
        with self._lock:
            return self.version, self._seq

    def _rows(self) -> List[Dict[str, Any]]:
        points = list(self._checkpoints)
        return [
            {
                "symbol": a.symbol,
                "severity": a.severity,
                "factors": [a.factors.get(label) for label in self._labels],
                "ts": utc_time(a.ts),
                "history": [p.get(a.symbol) for p in points],
            }
            for a in self._alerts
        ]

    def snapshot(self) -> Dict[str, Any]:
        """Everything the page shows (sent to a page when it connects or falls
        behind): the spec and columns, the feed, the rows and the whole log
        kept, newest last."""
        with self._lock:
            return {
                "kind": "state",
                "version": self.version,
                **self._static,
                "feed": dict(self._feed),
                "scanned": self._scanned,
                "alerts": len(self._current),
                "rows": self._rows(),
                "log": [entry.value() for entry in self._log],
            }

    def update(self, after: int) -> Tuple[Dict[str, Any], int]:
        """What changed for a page that has the log up to entry ``after``:
        the feed, the rows and the newer log entries; and the newest entry's
        number."""
        with self._lock:
            fresh = []
            for entry in reversed(self._log):
                if entry.seq <= after:
                    break
                fresh.append(entry.value())
            fresh.reverse()
            return {
                "kind": "update",
                "version": self.version,
                "feed": dict(self._feed),
                "scanned": self._scanned,
                "alerts": len(self._current),
                "rows": self._rows(),
                "log": fresh,
            }, self._seq


def _nothing() -> None:
    pass
