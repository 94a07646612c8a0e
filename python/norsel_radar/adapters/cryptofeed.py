"""Callbacks for a cryptofeed ``FeedHandler`` that feed a screener.

::

    adapter = CryptofeedAdapter(screener, symbols={"BTC-USDT-PERP": "BTC-PERP"})
    handler.add_feed(BinanceFutures(symbols=[...], channels=adapter.channels(),
                                    callbacks=adapter.callbacks()))

What each channel becomes:

- OPEN_INTEREST and FUNDING update the symbol's latest open interest,
  funding rate and mark price; an open-interest update emits a
  `Derivatives` event by the `DerivativesRule` (once all three are known, at
  most once per interval of market time).
- L2_BOOK: an `OrderBook` event of the best bid and ask and the bid and ask
  volume over a `BookDepth` (levels, or a band around the mid). Only a
  symbol's newest book of a batch is summarised (the radar keeps only the
  latest book volumes). L1_BOOK and TICKER are lighter: the top of the book,
  its sizes taken from an L1 book, or from a ticker's raw message where the
  exchange sends them (Binance ``B``/``A``, Bybit ``bid1Size``/``ask1Size``);
  a ticker without sizes is skipped.
- LIQUIDATIONS: a `Liquidation` of the object's side, quantity and price.

Numbers arrive as ``Decimal`` and become floats; timestamps become integer
milliseconds: cryptofeed documents float seconds, but some of its feeds
(Bybit) give milliseconds, so they are told apart by magnitude (below 1e11:
seconds); a missing timestamp takes the receipt time. A malformed or partial
object (a missing or non-finite number) is skipped, counted in
``stats.skipped`` and logged; it never stops the feed, and a symbol's kept
values change only when its update converted whole.
"""

from __future__ import annotations

from decimal import Decimal
from typing import Any, Callable, Coroutine, Dict, List, Literal, Optional, Union

try:
    from cryptofeed.defines import FUNDING, L1_BOOK, L2_BOOK, LIQUIDATIONS, OPEN_INTEREST, TICKER
except ImportError as _exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        'norsel_radar.adapters.cryptofeed needs cryptofeed: pip install "norsel_radar[cryptofeed]"'
    ) from _exc

from ..aio import AsyncScreener
from ..screener import Screener
from ..types import Liquidation, OrderBook, Report
from .convert import epoch_ms, finite, optional
from .depth import DEFAULT_DEPTH, BookDepth
from .feeder import AlertCallback, Feeder, FeederStats
from .snapshots import DEFAULT_RULE, DerivativesJoiner, DerivativesRule
from .symbols import SymbolMap, SymbolSource

__all__ = ["CHANNELS", "CryptofeedAdapter"]

#: The channels the adapter takes, in cryptofeed's names.
CHANNELS = (OPEN_INTEREST, FUNDING, L2_BOOK, L1_BOOK, TICKER, LIQUIDATIONS)

Callback = Callable[[Any, float], Coroutine[Any, Any, None]]

_BOOK_CHANNELS = {"l2": L2_BOOK, "l1": L1_BOOK, "ticker": TICKER}

# Top-of-book sizes in tickers' raw messages, by exchange: Binance's
# bookTicker and Bybit's tickers stream.
_TICKER_SIZES = (("B", "A"), ("bid1Size", "ask1Size"))


class CryptofeedAdapter:
    """cryptofeed callbacks that turn its objects into radar events.

    ``screener`` is a `Screener` (used on the feed's event loop, in its
    thread) or an `AsyncScreener`. ``symbols`` and ``unknown`` make the
    `SymbolMap` (a mapping from cryptofeed's symbol names, or a function of
    (exchange, symbol)); ``derivatives`` is the `DerivativesRule`, ``depth``
    the `BookDepth`; ``batch_size``, ``flush_interval``, ``report_interval``
    and ``on_alert`` go to the `Feeder` (see there).
    """

    def __init__(
        self,
        screener: Union[Screener, AsyncScreener],
        *,
        symbols: SymbolSource = None,
        unknown: Literal["ignore", "keep"] = "ignore",
        derivatives: DerivativesRule = DEFAULT_RULE,
        depth: BookDepth = DEFAULT_DEPTH,
        batch_size: int = 1024,
        flush_interval: float = 0.25,
        report_interval: Optional[float] = 1.0,
        on_alert: Optional[AlertCallback] = None,
    ) -> None:
        self.symbols = SymbolMap(symbols, unknown)
        self.depth = depth.checked()
        self.feeder = Feeder(
            screener,
            batch_size=batch_size,
            flush_interval=flush_interval,
            report_interval=report_interval,
            on_alert=on_alert,
        )
        self._joiner = DerivativesJoiner(derivatives)
        self._summary = self._levels if self.depth.band is None else self._band

    # ------------------------------------------------------------ wiring

    def channels(self, book: Literal["l2", "l1", "ticker"] = "l2") -> List[str]:
        """The ``channels`` argument of a cryptofeed feed: open interest,
        funding, the book's channel (as in `callbacks`) and liquidations."""
        return [OPEN_INTEREST, FUNDING, _BOOK_CHANNELS[book], LIQUIDATIONS]

    def callbacks(self, book: Literal["l2", "l1", "ticker"] = "l2") -> Dict[str, Callback]:
        """The ``callbacks`` argument of a cryptofeed feed: one coroutine per
        channel, the book's from L2_BOOK (default), L1_BOOK or TICKER."""
        out: Dict[str, Callback] = {
            OPEN_INTEREST: self.open_interest,
            FUNDING: self.funding,
            LIQUIDATIONS: self.liquidation,
        }
        if book == "l2":
            out[L2_BOOK] = self.book
        elif book == "l1":
            out[L1_BOOK] = self.l1_book
        elif book == "ticker":
            out[TICKER] = self.ticker
        else:
            raise ValueError(f"book must be 'l2', 'l1' or 'ticker', got {book!r}")
        return out

    @property
    def report(self) -> Report:
        """The latest report (see `Feeder`)."""
        return self.feeder.report

    @property
    def stats(self) -> FeederStats:
        return self.feeder.stats

    async def refresh(self) -> Report:
        """Flushes what is pending and takes a report now."""
        return await self.feeder.refresh()

    async def aclose(self) -> None:
        """Flushes, takes a last report and stops the timer."""
        await self.feeder.aclose()

    # ------------------------------------------------------------ callbacks

    async def open_interest(self, oi: Any, receipt_timestamp: float) -> None:
        """OPEN_INTEREST: a cryptofeed ``OpenInterest``."""
        try:
            symbol = self.symbols(oi.exchange, oi.symbol)
            if symbol is None:
                return
            ts = _ts(oi.timestamp, receipt_timestamp)
            value = finite(oi.open_interest, "OpenInterest.open_interest")
        except Exception as exc:
            self.feeder.skip("open interest", exc, oi)
            return
        event = self._joiner.open_interest(symbol, ts, value)
        if event is not None and self.feeder.add(symbol, event):
            await self.feeder.flush()

    async def funding(self, funding: Any, receipt_timestamp: float) -> None:
        """FUNDING: a cryptofeed ``Funding`` (rate and mark price; a None rate,
        as Binance sends between funding times, keeps the previous one)."""
        try:
            symbol = self.symbols(funding.exchange, funding.symbol)
            if symbol is None:
                return
            rate = optional(funding.rate, "Funding.rate")
            mark = optional(funding.mark_price, "Funding.mark_price")
        except Exception as exc:
            self.feeder.skip("funding", exc, funding)
            return
        self._joiner.funding(symbol, rate, mark)

    async def liquidation(self, liquidation: Any, receipt_timestamp: float) -> None:
        """LIQUIDATIONS: a cryptofeed ``Liquidation``."""
        try:
            symbol = self.symbols(liquidation.exchange, liquidation.symbol)
            if symbol is None:
                return
            event = Liquidation(
                _ts(liquidation.timestamp, receipt_timestamp),
                liquidation.side,
                finite(liquidation.quantity, "Liquidation.quantity"),
                finite(liquidation.price, "Liquidation.price"),
            )
        except Exception as exc:
            self.feeder.skip("liquidation", exc, liquidation)
            return
        if self.feeder.add(symbol, event):
            await self.feeder.flush()

    async def book(self, book: Any, receipt_timestamp: float) -> None:
        """L2_BOOK: a cryptofeed ``OrderBook``, summarised at the flush."""
        try:
            symbol = self.symbols(book.exchange, book.symbol)
            if symbol is None:
                return
            ts = _ts(book.timestamp, receipt_timestamp)
            sides = book.book
        except Exception as exc:
            self.feeder.skip("book", exc, book)
            return
        if self.feeder.add_book(symbol, sides, ts, self._summary):
            await self.feeder.flush()

    async def l1_book(self, book: Any, receipt_timestamp: float) -> None:
        """L1_BOOK: a cryptofeed ``L1Book``, the top of the book with sizes."""
        try:
            symbol = self.symbols(book.exchange, book.symbol)
            if symbol is None:
                return
            event = OrderBook(
                _ts(book.timestamp, receipt_timestamp),
                finite(book.bid_size, "L1Book.bid_size"),
                finite(book.ask_size, "L1Book.ask_size"),
                finite(book.bid_price, "L1Book.bid_price"),
                finite(book.ask_price, "L1Book.ask_price"),
            )
        except Exception as exc:
            self.feeder.skip("l1 book", exc, book)
            return
        if self.feeder.add(symbol, event):
            await self.feeder.flush()

    async def ticker(self, ticker: Any, receipt_timestamp: float) -> None:
        """TICKER: a cryptofeed ``Ticker``; its top-of-book sizes come from
        the raw message (Binance, Bybit); one without them is skipped."""
        try:
            symbol = self.symbols(ticker.exchange, ticker.symbol)
            if symbol is None:
                return
            raw = ticker.raw if isinstance(ticker.raw, dict) else {}
            for bid_key, ask_key in _TICKER_SIZES:
                if bid_key in raw and ask_key in raw:
                    bid_size, ask_size = raw[bid_key], raw[ask_key]
                    break
            else:
                raise ValueError("the ticker's raw message has no top-of-book sizes")
            event = OrderBook(
                _ts(ticker.timestamp, receipt_timestamp),
                finite(_number(bid_size), "Ticker bid size"),
                finite(_number(ask_size), "Ticker ask size"),
                finite(ticker.bid, "Ticker.bid"),
                finite(ticker.ask, "Ticker.ask"),
            )
        except Exception as exc:
            self.feeder.skip("ticker", exc, ticker)
            return
        if self.feeder.add(symbol, event):
            await self.feeder.flush()

    # ------------------------------------------------------------ book summaries

    def _levels(self, sides: Any, ts: int) -> Optional[OrderBook]:
        bids, asks = sides.bids, sides.asks
        if not len(bids) or not len(asks):
            return None
        n = self.depth.levels
        bid_prices = bids.keys()[:n]
        ask_prices = asks.keys()[:n]
        return OrderBook(
            ts,
            float(sum(map(bids.__getitem__, bid_prices))),
            float(sum(map(asks.__getitem__, ask_prices))),
            float(bid_prices[0]),
            float(ask_prices[0]),
        )

    def _band(self, sides: Any, ts: int) -> Optional[OrderBook]:
        bids, asks = sides.bids, sides.asks
        if not len(bids) or not len(asks):
            return None
        bid_prices, ask_prices = bids.keys(), asks.keys()
        best_bid, best_ask = bid_prices[0], ask_prices[0]
        band = self.depth.band
        assert band is not None
        mid = (float(best_bid) + float(best_ask)) * 0.5
        low, high = Decimal(mid * (1.0 - band)), Decimal(mid * (1.0 + band))
        bid_volume = Decimal(0)
        for price in bid_prices:
            if price < low:
                break
            bid_volume += bids[price]
        ask_volume = Decimal(0)
        for price in ask_prices:
            if price > high:
                break
            ask_volume += asks[price]
        return OrderBook(ts, float(bid_volume), float(ask_volume), float(best_bid), float(best_ask))


def _ts(value: object, receipt_timestamp: float) -> int:
    return epoch_ms(receipt_timestamp if value is None else value, "timestamp")


def _number(value: object) -> object:
    """A raw message's number: strings as Decimal (as cryptofeed reads them)."""
    return Decimal(value) if isinstance(value, str) else value
