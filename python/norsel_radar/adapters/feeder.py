"""Feeder: events batched per symbol into a screener, the latest report and
the alerts it raised or cleared."""

from __future__ import annotations

import asyncio
import inspect
import logging
import time
from typing import (
    Any,
    Awaitable,
    Callable,
    Dict,
    List,
    Literal,
    NamedTuple,
    Optional,
    Set,
    Tuple,
    Union,
)

from ..aio import AsyncScreener
from ..errors import RadarError
from ..screener import Screener
from ..types import Alert, Event, OrderBook, Report

__all__ = ["AlertCallback", "AlertChange", "Feeder", "FeederStats"]

log = logging.getLogger("norsel_radar.adapters")

#: Skipped messages of one kind that are each logged; after them one in
#: this many is.
_LOUD = 10
_EVERY = 1000


class AlertChange(NamedTuple):
    """A symbol that entered the report (``"raised"``, with its new alert) or
    left it (``"cleared"``, with the alert it last had)."""

    kind: Literal["raised", "cleared"]
    symbol: str
    alert: Alert


AlertCallback = Callable[[AlertChange], Union[None, Awaitable[None]]]
#: Makes a book's summary at flush time: (its reference, its timestamp) to an
#: event, or None when the book cannot be summarised (an empty side).
BookSummary = Callable[[Any, int], Optional[OrderBook]]


class FeederStats:
    """Counters of a feeder (and of the adapter that owns it)."""

    __slots__ = ("events", "batches", "books", "skipped", "refused", "reports")

    def __init__(self) -> None:
        #: Events handed to the screener.
        self.events = 0
        #: feed_batch commands sent.
        self.batches = 0
        #: Book updates received (only the newest of a symbol in a batch is fed).
        self.books = 0
        #: Library objects skipped as malformed or partial, by what they were.
        self.skipped: Dict[str, int] = {}
        #: Events the radar refused (none, unless an event was forged).
        self.refused = 0
        #: Reports taken.
        self.reports = 0

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__)
        return f"FeederStats({fields})"


class Feeder:
    """Batches events per symbol into a `Screener` or `AsyncScreener`.

    Events wait in per-symbol batches until ``batch_size`` of them are
    pending, or the oldest has waited ``flush_interval`` seconds; a flush
    sends each symbol's batch, in order, as one "feed_batch". A book is
    kept by reference and only the newest one of each symbol is summarised at
    the flush, as the batch's last event: the radar keeps nothing of a book
    but its latest volumes, so the books in between would change nothing.

    After a flush, when ``report_interval`` seconds have passed since the
    last one, the feeder asks for the alerts: `report` is then the latest
    report, and ``on_alert`` (a function or coroutine function of an
    `AlertChange`) hears each symbol that entered or left it. ``None``
    takes reports only through `refresh`.
    """

    def __init__(
        self,
        screener: Union[Screener, AsyncScreener],
        *,
        batch_size: int = 1024,
        flush_interval: float = 0.25,
        report_interval: Optional[float] = 1.0,
        on_alert: Optional[AlertCallback] = None,
    ) -> None:
        if not isinstance(screener, (Screener, AsyncScreener)):
            raise TypeError(f"a Screener or AsyncScreener is needed, got {type(screener).__name__}")
        if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
            raise ValueError(f"batch_size must be a positive int, got {batch_size!r}")
        if not 0.0 < float(flush_interval) < float("inf"):
            raise ValueError(f"flush_interval must be > 0 seconds, got {flush_interval!r}")
        if report_interval is not None and not 0.0 <= float(report_interval) < float("inf"):
            raise ValueError(f"report_interval must be >= 0 seconds, got {report_interval!r}")
        self.screener = screener
        self.stats = FeederStats()
        self._async = isinstance(screener, AsyncScreener)
        self._batch_size = batch_size
        self._flush_interval = float(flush_interval)
        self._report_interval = None if report_interval is None else float(report_interval)
        self._on_alert = on_alert
        self._pending: Dict[str, List[Event]] = {}
        self._books: Dict[str, Tuple[Any, int, BookSummary]] = {}
        self._count = 0
        self._timer: Optional[asyncio.TimerHandle] = None
        self._tasks: Set[asyncio.Task[None]] = set()
        self._lock: Optional[asyncio.Lock] = None
        self._applied_since_report = False
        self._last_report = -float("inf")
        self._closed = False
        #: The latest report (empty until the first one).
        self.report: Report = Report((), 0, screener.spec.labels)

    # ------------------------------------------------------------ adding

    def add(self, symbol: str, event: Event) -> bool:
        """Queues an event; True when the size bound is reached (the caller
        then awaits `flush`)."""
        batch = self._pending.get(symbol)
        if batch is None:
            self._pending[symbol] = [event]
        else:
            batch.append(event)
        self._count += 1
        if self._timer is None:
            self._arm(self._flush_interval)
        return self._count >= self._batch_size

    def add_book(self, symbol: str, book: Any, ts: int, summary: BookSummary) -> bool:
        """Keeps a symbol's newest book, summarised at the flush."""
        self.stats.books += 1
        if symbol not in self._books:
            self._count += 1
        self._books[symbol] = (book, ts, summary)
        if self._timer is None:
            self._arm(self._flush_interval)
        return self._count >= self._batch_size

    def skip(self, what: str, exc: BaseException, obj: object = None) -> None:
        """Counts a library object that could not be used, with a warning
        (the first few of each kind, then one in a thousand)."""
        n = self.stats.skipped.get(what, 0) + 1
        self.stats.skipped[what] = n
        if n <= _LOUD or n % _EVERY == 0:
            shown = "" if obj is None else f": {obj!r:.200}"
            log.warning("skipped a malformed %s (%s; %d so far)%s", what, exc, n, shown)

    @property
    def pending(self) -> int:
        """Events (and books) waiting for the next flush."""
        return self._count

    # ------------------------------------------------------------ timing

    def _arm(self, delay: float) -> None:
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:  # used outside a loop: flushes come from the caller
            return
        self._timer = loop.call_later(delay, self._on_timer)

    def _on_timer(self) -> None:
        self._timer = None
        if self._closed:
            return
        task = asyncio.ensure_future(self._tick())
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _tick(self) -> None:
        try:
            await self.flush()
        except Exception:
            log.exception("a timed flush failed")
        if (
            self._timer is None
            and self._applied_since_report
            and self._report_interval is not None
            and not self._closed
        ):
            due = self._last_report + self._report_interval - time.monotonic()
            self._arm(max(due, 0.0))

    # ------------------------------------------------------------ flushing

    async def flush(self) -> None:
        """Sends what is pending, then takes a report if one is due."""
        if self._lock is None:
            self._lock = asyncio.Lock()
        async with self._lock:
            await self._send()
            interval = self._report_interval
            if (
                interval is not None
                and self._applied_since_report
                and time.monotonic() - self._last_report >= interval
            ):
                await self._take_report()

    async def _send(self) -> None:
        pending, books = self._pending, self._books
        if not pending and not books:
            return
        self._pending, self._books, self._count = {}, {}, 0
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        for symbol, (book, ts, summary) in books.items():
            try:
                event = summary(book, ts)
            except Exception as exc:
                self.skip("book", exc)
                continue
            if event is None:
                continue
            batch = pending.get(symbol)
            if batch is None:
                pending[symbol] = [event]
            else:
                batch.append(event)
        screener = self.screener
        for symbol, events in pending.items():
            try:
                if self._async:
                    await screener.feed_batch(symbol, events)  # type: ignore[misc]
                else:
                    screener.feed_batch(symbol, events)
            except RadarError as exc:
                self.stats.refused += len(events)
                log.error(
                    "the radar refused a batch of %d events for %r: %s", len(events), symbol, exc
                )
                continue
            self.stats.events += len(events)
            self.stats.batches += 1
            self._applied_since_report = True

    async def refresh(self) -> Report:
        """Flushes, takes a report now and returns it."""
        if self._lock is None:
            self._lock = asyncio.Lock()
        async with self._lock:
            await self._send()
            await self._take_report()
        return self.report

    async def _take_report(self) -> None:
        self._last_report = time.monotonic()
        self._applied_since_report = False
        try:
            if self._async:
                report: Report = await self.screener.alerts()  # type: ignore[misc]
            else:
                report = self.screener.alerts()  # type: ignore[assignment]
        except RadarError as exc:  # a queued feed's, raised by the next call
            log.error("the radar refused a queued feed: %s", exc)
            return
        previous, self.report = self.report, report
        self.stats.reports += 1
        if self._on_alert is None:
            return
        before = {alert.symbol: alert for alert in previous.alerts}
        now = {alert.symbol for alert in report.alerts}
        changes = [
            AlertChange("raised", a.symbol, a) for a in report.alerts if a.symbol not in before
        ]
        changes += [AlertChange("cleared", s, a) for s, a in before.items() if s not in now]
        for change in changes:
            try:
                result = self._on_alert(change)
                if inspect.isawaitable(result):
                    await result
            except Exception:
                log.exception("on_alert failed for %s %s", change.kind, change.symbol)

    async def aclose(self) -> None:
        """Flushes, takes a last report and stops the timer. The screener
        stays open (it belongs to the caller)."""
        if self._closed:
            return
        await self.refresh()
        self._closed = True
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        for task in list(self._tasks):
            task.cancel()
