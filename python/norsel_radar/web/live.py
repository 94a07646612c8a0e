"""The live source: an exchange through the ccxt adapter
(`norsel_radar.adapters.ccxt`), which drives an `AsyncScreener`; the board
gets a report every checkpoint span of wall time."""

from __future__ import annotations

import asyncio
import logging
from importlib import import_module
from typing import Any, List, Optional, Sequence

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
    (a count of events is read as seconds: one report a second)."""

    def __init__(
        self,
        exchange: str,
        symbols: Sequence[str],
        spec: Spec,
        *,
        every: Every,
        interval: float = 5.0,
    ) -> None:
        if not 0.0 < interval < float("inf"):
            raise UserError(f"--interval {interval}: give a number of seconds above 0")
        self.ccxt = _adapter()
        try:
            self.exchange_class = self.ccxt.exchange_class(exchange)
        except ValueError as exc:
            raise UserError(f"--live {exchange}: {exc}") from None
        self.exchange_id = exchange
        self.symbols = list(symbols)
        self.spec = spec
        self.interval = interval
        self.period = every.span / 1000.0 if every.span else 1.0
        self.description = f"live: {exchange} {', '.join(self.symbols)}"

    async def run(self, board: Board) -> None:
        exchange = self.exchange_class({"enableRateLimit": True})
        market: Optional[int] = None
        try:
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
                        last = getattr(streamer.stats, "last_ts", None)
                        stamps = [row.ts for row in rows] + ([last] if last is not None else [])
                        if stamps:
                            market = max(stamps + ([market] if market is not None else []))
                        board.report(
                            rows, report.scanned, streamer.stats.events, market, checkpoint=True
                        )
                finally:
                    task.cancel()
                    await asyncio.wait([task])
                if not task.cancelled() and task.exception() is not None:
                    error = task.exception()
                    board.state("failed", f"{type(error).__name__}: {error}")
                    log.error("--live %s failed: %s", self.exchange_id, error)
                    return
        finally:
            close = getattr(exchange, "close", None)
            if close is not None:
                try:
                    await close()
                except Exception:  # closing a session that never opened
                    pass
        board.state("ended")
