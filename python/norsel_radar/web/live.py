"""The live source: an exchange through the ccxt adapter
(`norsel_radar.adapters.ccxt`), which drives an `AsyncScreener`; the board
gets a report every checkpoint span of wall time."""

from __future__ import annotations

import asyncio
import logging
from importlib import import_module
from typing import Any, Callable, List, Optional, Sequence

from ..aio import AsyncScreener
from ..cli.errors import UserError
from ..cli.replay import Every
from ..types import Spec
from .board import AlertRow, Board

__all__ = ["LiveSource"]

log = logging.getLogger(__name__)


def _adapter() -> Any:
    """The ccxt adapter module, imported on first use (it needs ccxt)."""
    try:
        return import_module("norsel_radar.adapters.ccxt")
    except ImportError as exc:
        raise UserError(
            f"--live needs the ccxt adapter and ccxt: pip install 'norsel_radar[ccxt]' ({exc})"
        ) from None


class LiveSource:
    """Watches ``symbols`` (ccxt's unified symbols) on ``exchange`` (a ccxt
    exchange id), polling every ``interval`` seconds where the exchange has
    no stream; a report (and a checkpoint) every ``every`` span of wall time
    (a count of events is read as seconds: one report a second).
    ``factory`` makes the exchange object from its id instead of the
    adapter's `exchange_class` (API keys, a recorded session)."""

    def __init__(
        self,
        exchange: str,
        symbols: Sequence[str],
        spec: Spec,
        *,
        every: Every,
        interval: float = 5.0,
        factory: Optional[Callable[[str], Any]] = None,
    ) -> None:
        if not 0.0 < interval < float("inf"):
            raise UserError(f"--interval {interval}: give a number of seconds above 0")
        self.ccxt = _adapter()
        if factory is None:
            try:
                cls = self.ccxt.exchange_class(exchange)
            except ValueError as exc:
                raise UserError(f"--live {exchange}: {exc}") from None
            factory = lambda _: cls()  # noqa: E731
        self.factory = factory
        self.exchange_id = exchange
        self.symbols = list(symbols)
        self.spec = spec
        self.interval = interval
        self.period = every.span / 1000.0 if every.span else 1.0
        self.description = f"live: {exchange} {', '.join(self.symbols)}"

    async def run(self, board: Board) -> None:
        exchange = self.factory(self.exchange_id)
        try:
            failure = await self._stream(exchange, board)
        finally:
            try:
                await exchange.close()
            except Exception:  # a session that never opened
                pass
        if failure is not None:
            board.state("failed", f"{type(failure).__name__}: {failure}")
            log.error("--live %s failed: %s", self.exchange_id, failure)
        else:
            board.state("ended")

    async def _stream(self, exchange: Any, board: Board) -> Optional[BaseException]:
        market: Optional[int] = None
        async with AsyncScreener(self.spec) as screener:
            streamer = self.ccxt.CcxtStreamer(
                exchange,
                self.symbols,
                screener,
                interval=self.interval,
                report_interval=None,  # reports are taken here, every period
            )
            task = asyncio.ensure_future(streamer.run())
            board.state("running")
            try:
                while not task.done():
                    await asyncio.wait([task], timeout=self.period)
                    if task.done():
                        break
                    report = await streamer.refresh()
                    rows: List[AlertRow] = [AlertRow(*alert) for alert in report.alerts]
                    # Market time: the newest event seen, where the adapter
                    # tells it, else the newest alert's.
                    stamps = [row.ts for row in rows]
                    last = getattr(streamer.stats, "last_ts", None)
                    if last is not None:
                        stamps.append(last)
                    if market is not None:
                        stamps.append(market)
                    market = max(stamps) if stamps else None
                    board.report(
                        rows, report.scanned, streamer.stats.events, market, checkpoint=True
                    )
            finally:
                task.cancel()
                await asyncio.gather(task, return_exceptions=True)
            return None if task.cancelled() else task.exception()
