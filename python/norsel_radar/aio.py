"""AsyncScreener: a Screener on a thread of its own, for asyncio.

Every method is a coroutine; commands run on the screener's thread in the
order they were called. ``feed`` and ``feed_batch`` return as soon as their
events are checked and queued (their effect is seen by every later command);
feeds waiting in the queue are grouped per symbol, in order, into one
"feed_batch" each, which gives the same states as feeding them one by one
(a symbol's state depends only on its own events). An error of a queued feed
is raised by the next call, or by ``flush()`` and ``aclose()``.

``scan`` encodes its events on the event loop in short steps, letting other
tasks run between them, and the radar's thread scans the pieces as they come;
the radar's work itself runs off the loop's thread.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import threading
import weakref
from queue import SimpleQueue
from types import TracebackType
from typing import Any, Deque, Dict, Iterable, List, Mapping, Optional, Tuple, Type, Union

from . import _wire
from .screener import Screener, as_spec
from .types import Alert, Event, Report, Spec

__all__ = ["AsyncScreener"]

log = logging.getLogger(__name__)

# At most this many queued items are taken in one go (bounds a coalesced batch).
_DRAIN = 1 << 16


class _Job:
    __slots__ = ("loop", "future")

    def __init__(self, loop: Optional[asyncio.AbstractEventLoop]) -> None:
        self.loop = loop
        self.future: Optional[asyncio.Future[Any]] = (
            loop.create_future() if loop is not None else None
        )

    def settle(self, result: Any = None, error: Optional[BaseException] = None) -> None:
        """Resolves the awaiting future on its loop (from the radar's thread)."""
        if self.loop is None or self.future is None:
            return
        if error is not None:
            _detached(error)
        try:
            self.loop.call_soon_threadsafe(_settle, self.future, result, error)
        except RuntimeError:  # the loop is closed: nobody waits any more
            pass


def _detached(error: BaseException) -> BaseException:
    """The error without its tracebacks: their frames hold this thread's
    Screener, which must not end its life on another thread."""
    pending: List[Optional[BaseException]] = [error]
    seen = set()
    while pending:
        exc = pending.pop()
        if exc is None or id(exc) in seen:
            continue
        seen.add(id(exc))
        exc.__traceback__ = None
        pending += (exc.__cause__, exc.__context__)
    return error


def _settle(future: asyncio.Future[Any], result: Any, error: Optional[BaseException]) -> None:
    if future.done():  # the awaiting task was cancelled
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(result)


class _Call(_Job):
    __slots__ = ("name", "args")

    def __init__(self, loop: asyncio.AbstractEventLoop, name: str, args: Tuple[Any, ...]) -> None:
        super().__init__(loop)
        self.name = name
        self.args = args


_END = "end"
_CANCEL = "cancel"


class _ScanJob(_Job):
    """A scan whose pieces arrive while the loop encodes them; _END closes it."""

    __slots__ = ("pieces",)

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        super().__init__(loop)
        self.pieces: SimpleQueue[str] = SimpleQueue()


class _Stop(_Job):
    __slots__ = ()


class _Barrier(_Job):
    """Settled when reached: everything queued before it has been applied."""

    __slots__ = ()


Item = Union[Tuple[str, Any], _Job]


class _Worker:
    """The radar's thread and what it shares with the loop. Only this thread
    touches its Screener; the loop only puts items on the queue and reads the
    counters and errors."""

    def __init__(self, spec: Spec) -> None:
        self.spec = spec
        self.queue: SimpleQueue[Item] = SimpleQueue()
        self.applied = 0  # events handled; written by this thread only
        self.commands = 0  # commands sent to the radar (tests see coalescing by it)
        self.errors: Deque[BaseException] = collections.deque()
        self.crashed: Optional[BaseException] = None
        self.current: Optional[_ScanJob] = None
        self.abandon = False
        self.thread = threading.Thread(target=self._run, name="norsel-radar-screener")

    def start(self) -> None:
        _LIVE.add(self)
        self.thread.start()

    def stop_soon(self, abandon: bool = False) -> None:
        """Asks the thread to end after what is queued (for finalizers and
        interpreter exit, where nobody awaits); ``abandon`` also gives up a
        scan whose pieces may never come."""
        if abandon:
            self.abandon = True
            current = self.current
            if current is not None:
                current.pieces.put(_CANCEL)
        self.queue.put(_Stop(None))

    # ------------------------------------------------------------ the thread

    def _run(self) -> None:
        items: List[Item] = []
        try:
            screener = Screener(self.spec)
            try:
                queue = self.queue
                while True:
                    items = [queue.get()]
                    while len(items) < _DRAIN and not queue.empty():
                        items.append(queue.get_nowait())
                    if not self._process(screener, items):
                        return
            finally:
                del screener  # dropped here, on its own thread
        except BaseException as exc:  # a fault of this module: fail every waiter
            log.exception("AsyncScreener's thread failed")
            self.crashed = _detached(exc)
            failure = RuntimeError("AsyncScreener's thread failed")
            failure.__cause__ = exc
            for item in items:
                if isinstance(item, _Job):
                    item.settle(error=failure)
            while not self.queue.empty():
                item = self.queue.get_nowait()
                if isinstance(item, _Job):
                    item.settle(error=failure)
        finally:
            _LIVE.discard(self)

    def _process(self, screener: Screener, items: List[Item]) -> bool:
        run: List[Tuple[str, Any]] = []
        for item in items:
            if type(item) is tuple:
                run.append(item)
                continue
            if run:
                self._apply(screener, run)
                run = []
            assert isinstance(item, _Job)
            if isinstance(item, _Barrier):
                item.settle()
                continue
            error = self.refused()
            if isinstance(item, _Stop):
                item.settle(error=error)
                return False
            if error is not None:  # the next command raises it instead of running
                item.settle(error=error)
                if isinstance(item, _ScanJob):
                    self._scan(screener, item, run_pieces=False)
                continue
            if isinstance(item, _ScanJob):
                self._scan(screener, item)
            else:
                assert isinstance(item, _Call)
                try:
                    result = getattr(screener, item.name)(*item.args)
                except Exception as exc:
                    item.settle(error=exc)
                else:
                    self.spec = screener.spec  # what set_spec installed, before anyone hears
                    item.settle(result)
        if run:
            self._apply(screener, run)
        return True

    def _apply(self, screener: Screener, run: List[Tuple[str, Any]]) -> None:
        """Feeds queued in a row: one feed_batch per symbol, in order."""
        groups: Dict[str, List[Any]] = {}
        for symbol, payload in run:
            group = groups.get(symbol)
            if group is None:
                group = groups[symbol] = []
            if type(payload) is list:
                group.extend(payload)
            else:
                group.append(payload)
        for symbol, rows in groups.items():
            try:
                self.commands += 1
                screener._feed_rows(symbol, rows)
            except Exception:
                # Feeding them as they were queued refuses exactly what was
                # refused then, and applies the rest.
                self._replay(screener, symbol, run)
            self.applied += len(rows)

    def _replay(self, screener: Screener, symbol: str, run: List[Tuple[str, Any]]) -> None:
        for name, payload in run:
            if name != symbol:
                continue
            try:
                self.commands += 1
                screener._feed_rows(symbol, payload if type(payload) is list else [payload])
            except Exception as exc:
                self.errors.append(_detached(exc))

    def refused(self) -> Optional[BaseException]:
        """The oldest error of a queued feed not raised yet (either thread)."""
        try:
            return self.errors.popleft()
        except IndexError:
            return None

    def _scan(self, screener: Screener, job: _ScanJob, run_pieces: bool = True) -> None:
        self.current = job
        parts: List[Tuple[List[Alert], int]] = []
        error: Optional[BaseException] = None
        try:
            while not self.abandon:
                piece = job.pieces.get()
                if piece == _END:
                    break
                if piece == _CANCEL:
                    return
                if error is None and run_pieces:
                    try:
                        self.commands += 1
                        parts.append(screener._scan_piece(piece))
                    except Exception as exc:
                        error = exc
            else:
                return
        finally:
            self.current = None
        if not run_pieces:
            return
        if error is not None:
            job.settle(error=error)
        else:
            try:
                job.settle(screener._merge(parts))
            except Exception as exc:
                job.settle(error=exc)


_LIVE: weakref.WeakSet[_Worker] = weakref.WeakSet()


def _stop_all() -> None:
    """At interpreter exit, before threads are joined: end every screener's
    thread, so that none keeps the interpreter waiting."""
    for worker in list(_LIVE):
        worker.stop_soon(abandon=True)


try:  # runs before the interpreter joins its threads (atexit would run after)
    threading._register_atexit(_stop_all)  # type: ignore[attr-defined]
except (AttributeError, RuntimeError):  # pragma: no cover
    import atexit

    atexit.register(_stop_all)


class AsyncScreener:
    """A `Screener` for asyncio, owning one radar on a dedicated thread.

    ``AsyncScreener(spec)`` takes a `Spec` or RadarSpec JSON text. Use it as
    ``async with AsyncScreener(spec) as screener:``, or call ``aclose()``; a
    screener that is dropped, and every screener at interpreter exit, ends its
    thread too. It belongs to the event loop it is first used in.

    ``max_pending`` bounds the events queued and not yet applied: a feed that
    finds more waits until the queue has drained.
    """

    def __init__(self, spec: Union[Spec, str], *, max_pending: int = 1 << 17) -> None:
        if isinstance(max_pending, bool) or not isinstance(max_pending, int) or max_pending < 1:
            raise ValueError(f"max_pending must be a positive int, got {max_pending!r}")
        self._max_pending = max_pending
        self._heads: Dict[str, str] = {}
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._closed = False
        self._submitted = 0
        self._worker = _Worker(as_spec(spec))
        self._worker.start()
        weakref.finalize(self, _Worker.stop_soon, self._worker)

    @property
    def spec(self) -> Spec:
        """The spec the radar works with: the first, or the one the latest
        ``set_spec`` that ran installed."""
        return self._worker.spec

    @property
    def closed(self) -> bool:
        """Whether ``aclose()`` was called."""
        return self._closed

    def __repr__(self) -> str:
        return f"AsyncScreener({self.spec!r}{', closed' if self._closed else ''})"

    async def __aenter__(self) -> AsyncScreener:
        self._enter()
        return self

    async def __aexit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        await self.aclose()

    def _enter(self) -> asyncio.AbstractEventLoop:
        """Checks that this call may run; raises a queued feed's error."""
        if self._closed:
            raise RuntimeError("this AsyncScreener is closed")
        loop = asyncio.get_running_loop()
        if loop is not self._loop:
            if self._loop is not None and not self._loop.is_closed():
                raise RuntimeError(
                    "this AsyncScreener belongs to another event loop (the one it was first "
                    "used in); create one per loop"
                )
            self._loop = loop
        worker = self._worker
        if worker.crashed is not None:
            raise RuntimeError("AsyncScreener's thread failed") from worker.crashed
        error = worker.refused()
        if error is not None:
            raise error
        return loop

    async def _call(self, name: str, *args: Any) -> Any:
        job = _Call(self._enter(), name, args)
        self._worker.queue.put(job)
        assert job.future is not None
        return await job.future

    def _symbol(self, symbol: object) -> str:
        encoded = _wire.symbol_json(symbol)
        if len(self._heads) < 1 << 16:
            self._heads[symbol] = encoded  # type: ignore[index]
        return encoded

    async def _drain(self) -> None:
        """Waits until everything queued so far has been applied."""
        job = _Barrier(asyncio.get_running_loop())
        self._worker.queue.put(job)
        assert job.future is not None
        await job.future

    # ------------------------------------------------------------ commands

    async def feed(self, symbol: str, event: Event) -> None:
        """Queues one event for the symbol ("feed")."""
        if self._closed or self._worker.errors or self._loop is not asyncio.get_running_loop():
            self._enter()
        try:
            encoded = self._heads[symbol]
        except (KeyError, TypeError):
            encoded = self._symbol(symbol)
        prefix = _wire.PREFIX.get(type(event))
        row = prefix + event if prefix is not None else _wire.row(event, "event")
        self._worker.queue.put((encoded, row))
        self._submitted += 1
        if self._submitted - self._worker.applied > self._max_pending:
            await self._drain()

    async def feed_batch(self, symbol: str, events: Iterable[Event]) -> None:
        """Queues the events for the symbol, applied all or none ("feed_batch")."""
        self._enter()
        encoded = self._symbol(symbol)
        rows = _wire.rows(events, "events")
        self._worker.queue.put((encoded, rows))
        self._submitted += len(rows)
        if self._submitted - self._worker.applied > self._max_pending:
            await self._drain()

    async def scan(self, events_by_symbol: Mapping[str, Iterable[Event]]) -> Report:
        """Ranks fresh states built from these events alone ("scan")."""
        job = _ScanJob(self._enter())
        self._worker.queue.put(job)
        done = False
        try:
            for piece in _wire.scan_pieces(
                events_by_symbol, _wire.PIECE_EVENTS, _wire.CHUNK_EVENTS
            ):
                if piece is None:
                    await asyncio.sleep(0)
                else:
                    job.pieces.put(piece)
            job.pieces.put(_END)
            done = True
        finally:
            if not done:
                job.pieces.put(_CANCEL)
        assert job.future is not None
        report: Report = await job.future
        return report

    async def alerts(self) -> Report:
        """Ranks the kept states ("alerts")."""
        report: Report = await self._call("alerts")
        return report

    async def reset(self) -> None:
        """Forgets every kept state ("reset")."""
        await self._call("reset")

    async def set_spec(self, spec: Union[Spec, str]) -> None:
        """Installs a new spec and forgets every kept state ("set_spec")."""
        await self._call("set_spec", as_spec(spec))

    async def version(self) -> str:
        """The radar's version ("version")."""
        version: str = await self._call("version")
        return version

    async def flush(self) -> None:
        """Returns once everything queued so far has been applied; raises the
        error of a queued feed, if any."""
        self._enter()
        await self._drain()
        self._enter()

    async def aclose(self) -> None:
        """Applies what is queued, ends the thread; raises the error of a
        queued feed that no call has raised yet. Closing twice is harmless."""
        if self._closed:
            return
        self._closed = True
        job = _Stop(asyncio.get_running_loop())
        self._worker.queue.put(job)
        assert job.future is not None
        error: Optional[Exception] = None
        try:
            await job.future  # settled as the thread's last act
        except Exception as exc:  # a queued feed's error: raised once the thread has ended
            error = exc
        self._worker.thread.join()
        for other in self._worker.errors:
            log.error("AsyncScreener: a queued feed was refused: %s", other)
        self._worker.errors.clear()
        if error is not None:
            raise error
