"""ccxt's unified structures as radar events, and a streamer that drives an
`AsyncScreener` from a ccxt exchange.

Converters (plain functions of ccxt's dicts):

- `open_interest`: the open interest in ``units`` (see the table below);
- `funding_rate`: (timestamp, funding rate, mark price);
- `order_book`: an `OrderBook` of the best bid and ask and the bid and ask
  volume over a `BookDepth`;
- `liquidation`: a `Liquidation` of its side, quantity in ``units`` and price;
- `ticker`: an `OrderBook` of the top of the book (bid, ask and their
  volumes).

Field choices, by ``units`` ("contracts", the default, "base" or "quote"):

=============== ====================== ======================== ==============================
radar value     contracts              base                     quote
=============== ====================== ======================== ==============================
open interest   ``openInterestAmount`` × market ``contractSize`` ``openInterestValue``, else
                                                                base × mark price
liquidated qty  ``contracts``          ``baseValue``, else       ``quoteValue``, else
                                       contracts × contractSize  base × ``price``
book volumes    Σ level amounts        × ``contractSize``        Σ amount × contractSize × price
ticker volumes  ``bidVolume``,         × ``contractSize``        × contractSize × bid, ask
                ``askVolume``
=============== ====================== ======================== ==============================

Funding rate and mark price are ``fundingRate`` and ``markPrice`` of the
funding-rate structure. Timestamps are ccxt's ``timestamp`` (milliseconds);
a structure whose ``timestamp`` is None (order books often) takes the time of
receipt, the local clock. A liquidation's side is ccxt's ``side`` as the
exchange means it: Binance gives the liquidation order's side (sell: a long
was liquidated), Bybit the liquidated position's (buy: a long); the radar's
signals do not read it.

`CcxtStreamer` polls through ``ccxt.async_support`` or watches through
``ccxt.pro`` (where the exchange has ``watchOrderBook`` or
``watchLiquidations``) for a list of symbols, and feeds an `AsyncScreener`
through a `Feeder`.
"""

from __future__ import annotations

import asyncio
import logging
from functools import partial
from typing import (
    Any,
    Awaitable,
    Callable,
    Dict,
    List,
    Literal,
    Mapping,
    Optional,
    Sequence,
    Set,
    Tuple,
    Union,
)

try:
    import ccxt.async_support as ccxt_async
except ImportError as _exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        'norsel_radar.adapters.ccxt needs ccxt: pip install "norsel_radar[ccxt]"'
    ) from _exc

from ..aio import AsyncScreener
from ..screener import Screener
from ..types import Liquidation, OrderBook, Report
from .convert import finite, now_ms, optional
from .depth import DEFAULT_DEPTH, BookDepth, summarise_levels
from .feeder import AlertCallback, Feeder, FeederStats
from .snapshots import DEFAULT_RULE, DerivativesJoiner, DerivativesRule
from .symbols import SymbolMap, SymbolSource

__all__ = [
    "UNITS",
    "CcxtStreamer",
    "Units",
    "funding_rate",
    "liquidation",
    "open_interest",
    "order_book",
    "ticker",
]

log = logging.getLogger("norsel_radar.adapters")

Units = Literal["contracts", "base", "quote"]
UNITS: Tuple[str, ...] = ("contracts", "base", "quote")

Structure = Mapping[str, Any]


def _units(units: str) -> None:
    if units not in UNITS:
        raise ValueError(f"units must be one of {', '.join(UNITS)}; got {units!r}")


def _ts(structure: Structure, now: Optional[int]) -> int:
    value = structure.get("timestamp")
    if value is None:
        return now_ms() if now is None else now
    if type(value) is int:
        return value
    return int(finite(value, "timestamp"))


def _size(
    structure: Structure, name: str, contract_size: Optional[float], where: str
) -> Optional[float]:
    value = optional(structure.get(name), f"{where}.{name}")
    if value is None or contract_size is None:
        return value
    return value * contract_size


# ---------------------------------------------------------------- converters


def open_interest(
    oi: Structure,
    units: Units = "contracts",
    *,
    contract_size: Optional[float] = None,
    mark_price: Optional[float] = None,
    now: Optional[int] = None,
) -> Tuple[int, float]:
    """(timestamp, open interest) of an open-interest structure, in ``units``.

    ``base`` multiplies ``openInterestAmount`` by ``contract_size`` (1 when
    None); ``quote`` takes ``openInterestValue``, else base × ``mark_price``.
    """
    _units(units)
    ts = _ts(oi, now)
    amount = optional(oi.get("openInterestAmount"), "open interest.openInterestAmount")
    if units == "contracts":
        if amount is None:
            raise ValueError("open interest has no openInterestAmount")
        return ts, amount
    base = None if amount is None else amount * (1.0 if contract_size is None else contract_size)
    if units == "base":
        if base is None:
            raise ValueError("open interest has no openInterestAmount")
        return ts, base
    value = optional(oi.get("openInterestValue"), "open interest.openInterestValue")
    if value is not None:
        return ts, value
    if base is None or mark_price is None:
        raise ValueError("open interest has no openInterestValue, nor an amount and a mark price")
    return ts, base * mark_price


def funding_rate(
    fr: Structure, *, now: Optional[int] = None
) -> Tuple[int, Optional[float], Optional[float]]:
    """(timestamp, funding rate, mark price) of a funding-rate structure; a
    value it lacks is None."""
    return (
        _ts(fr, now),
        optional(fr.get("fundingRate"), "funding rate.fundingRate"),
        optional(fr.get("markPrice"), "funding rate.markPrice"),
    )


def order_book(
    ob: Structure,
    depth: BookDepth = DEFAULT_DEPTH,
    units: Units = "contracts",
    *,
    contract_size: Optional[float] = None,
    now: Optional[int] = None,
) -> Optional[OrderBook]:
    """An `OrderBook` event of an order-book structure (None when a side is
    empty): best bid and ask, and the volumes over ``depth`` in ``units``."""
    _units(units)
    factor = 1.0 if units == "contracts" or contract_size is None else contract_size
    summary = summarise_levels(ob["bids"], ob["asks"], depth, factor, units == "quote")
    if summary is None:
        return None
    return OrderBook(_ts(ob, now), *summary)


def liquidation(
    liq: Structure,
    units: Units = "contracts",
    *,
    contract_size: Optional[float] = None,
    now: Optional[int] = None,
) -> Liquidation:
    """A `Liquidation` event of a liquidation structure, its quantity in
    ``units`` (``baseValue``/``quoteValue`` where given, else computed from
    ``contracts``, ``contractSize`` and ``price``)."""
    _units(units)
    price = finite(liq.get("price"), "liquidation.price")
    size = contract_size if contract_size is not None else liq.get("contractSize")
    qty: Optional[float]
    if units == "contracts":
        qty = optional(liq.get("contracts"), "liquidation.contracts")
    else:
        qty = optional(liq.get("baseValue"), "liquidation.baseValue")
        if qty is None:
            contracts = optional(liq.get("contracts"), "liquidation.contracts")
            if contracts is not None:
                qty = contracts * (1.0 if size is None else finite(size, "contractSize"))
        if units == "quote":
            value = optional(liq.get("quoteValue"), "liquidation.quoteValue")
            qty = value if value is not None else (None if qty is None else qty * price)
    if qty is None:
        raise ValueError(f"liquidation has no quantity in {units}")
    return Liquidation(_ts(liq, now), liq.get("side"), qty, price)  # type: ignore[arg-type]


def ticker(
    t: Structure,
    units: Units = "contracts",
    *,
    contract_size: Optional[float] = None,
    now: Optional[int] = None,
) -> Optional[OrderBook]:
    """An `OrderBook` event of a ticker's top of the book; None when it lacks
    a bid, an ask or their volumes."""
    _units(units)
    bid = optional(t.get("bid"), "ticker.bid")
    ask = optional(t.get("ask"), "ticker.ask")
    factor = 1.0 if units == "contracts" or contract_size is None else contract_size
    bid_volume = _size(t, "bidVolume", factor, "ticker")
    ask_volume = _size(t, "askVolume", factor, "ticker")
    if bid is None or ask is None or bid_volume is None or ask_volume is None:
        return None
    if units == "quote":
        bid_volume, ask_volume = bid_volume * bid, ask_volume * ask
    return OrderBook(_ts(t, now), bid_volume, ask_volume, bid, ask)


# ---------------------------------------------------------------- streamer


class CcxtStreamer:
    """Drives a screener from a ccxt exchange for a list of symbols.

    For each symbol, three loops run until `run` is cancelled:

    - derivatives: every ``interval`` seconds, the funding rates
      (``fetch_funding_rates`` for all symbols where the exchange has it,
      else ``fetch_funding_rate``) and each symbol's ``fetch_open_interest``;
      a symbol's three values go to the `DerivativesRule` as one update;
    - the book: ``watch_order_book`` (ccxt.pro, where the exchange has it
      and ``watch`` is true), else ``fetch_order_book`` every interval;
    - liquidations: ``watch_liquidations`` (ccxt.pro), else
      ``fetch_liquidations`` every interval where the exchange has it, else
      none (most exchanges publish them only on a websocket).

    A failed request is logged and tried again after ``interval`` seconds; a
    malformed structure is skipped and counted. ``exchange`` is a
    ``ccxt.async_support`` or ``ccxt.pro`` exchange object; its markets are
    loaded if they are not yet, and it stays open (it belongs to the
    caller). ``symbols`` are ccxt's unified symbols (``"BTC/USDT:USDT"``);
    ``symbol_map`` and ``unknown`` name their radar symbols (by default the
    same).
    """

    def __init__(
        self,
        exchange: Any,
        symbols: Sequence[str],
        screener: Union[Screener, AsyncScreener],
        *,
        interval: float = 5.0,
        units: Units = "contracts",
        depth: BookDepth = DEFAULT_DEPTH,
        book_limit: Optional[int] = None,
        derivatives: DerivativesRule = DEFAULT_RULE,
        watch: bool = True,
        symbol_map: SymbolSource = None,
        unknown: Literal["ignore", "keep"] = "ignore",
        batch_size: int = 1024,
        flush_interval: float = 0.25,
        report_interval: Optional[float] = 1.0,
        on_alert: Optional[AlertCallback] = None,
    ) -> None:
        _units(units)
        if isinstance(symbols, str) or not symbols:
            raise ValueError("symbols must be a non-empty list of ccxt symbols")
        if not 0.0 < float(interval) < float("inf"):
            raise ValueError(f"interval must be > 0 seconds, got {interval!r}")
        self.exchange = exchange
        self.symbols = list(symbols)
        self.interval = float(interval)
        self.units: Units = units
        self.depth = depth.checked()
        self.book_limit = book_limit
        self.watch = watch
        self.names = SymbolMap(symbol_map, unknown)
        self.feeder = Feeder(
            screener,
            batch_size=batch_size,
            flush_interval=flush_interval,
            report_interval=report_interval,
            on_alert=on_alert,
        )
        self._joiner = DerivativesJoiner(derivatives)
        self._sizes: Dict[str, Optional[float]] = {}
        self._said: Set[str] = set()
        self._failing: Dict[Tuple[str, str], str] = {}

    @property
    def report(self) -> Report:
        return self.feeder.report

    @property
    def stats(self) -> FeederStats:
        return self.feeder.stats

    async def refresh(self) -> Report:
        """Flushes what is pending and takes a report now."""
        return await self.feeder.refresh()

    def _has(self, feature: str) -> bool:
        return bool(self.exchange.has.get(feature))

    # ------------------------------------------------------------ running

    async def run(self) -> None:
        """Runs the loops until cancelled; then flushes and takes a last report."""
        ex = self.exchange
        await ex.load_markets()
        missing = [s for s in self.symbols if s not in ex.markets]
        if missing:
            raise ValueError(f"{ex.id} has no market {', '.join(missing)}")
        for symbol in self.symbols:
            size = ex.markets[symbol].get("contractSize")
            self._sizes[symbol] = None if size is None else float(size)
        loops: List[Awaitable[None]] = [self._derivatives_loop()]
        for symbol in self.symbols:
            loops.append(self._book_loop(symbol))
            loops.append(self._liquidation_loop(symbol))
        tasks = [asyncio.ensure_future(loop) for loop in loops]
        try:
            await asyncio.gather(*tasks)
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            await self.feeder.aclose()

    async def _guarded(self, what: str, symbol: str, call: Callable[[], Awaitable[Any]]) -> Any:
        """One request; a failure is answered by None and logged, once until
        it fails otherwise or succeeds again."""
        key = (what, symbol)
        try:
            result = await call()
        except asyncio.CancelledError:
            raise
        except Exception as exc:
            text = f"{type(exc).__name__}: {exc}"
            if self._failing.get(key) != text:
                self._failing[key] = text
                log.warning("%s %s failed: %s", self.exchange.id, what, text)
            return None
        if self._failing.pop(key, None) is not None:
            log.warning("%s %s works again", self.exchange.id, what)
        return result

    def _name(self, symbol: str) -> Optional[str]:
        return self.names(self.exchange.id, symbol)

    async def _derivatives_loop(self) -> None:
        ex = self.exchange
        while True:
            if self._has("fetchFundingRates"):
                rates = await self._guarded(
                    "fetch_funding_rates", "", partial(ex.fetch_funding_rates, self.symbols)
                )
            else:
                got = await asyncio.gather(
                    *[
                        self._guarded("fetch_funding_rate", s, partial(ex.fetch_funding_rate, s))
                        for s in self.symbols
                    ]
                )
                rates = {s: r for s, r in zip(self.symbols, got) if r is not None}
            interests = await asyncio.gather(
                *[
                    self._guarded("fetch_open_interest", s, partial(ex.fetch_open_interest, s))
                    for s in self.symbols
                ]
            )
            for symbol, interest in zip(self.symbols, interests):
                await self._apply_derivatives(symbol, (rates or {}).get(symbol), interest)
            await asyncio.sleep(self.interval)

    async def _apply_derivatives(
        self, symbol: str, rate: Optional[Structure], interest: Optional[Structure]
    ) -> None:
        name = self._name(symbol)
        if name is None or (rate is None and interest is None):
            return
        try:
            now = now_ms()
            stamps: List[int] = []
            fr = mark = oi = None
            if rate is not None:
                ts, fr, mark = funding_rate(rate, now=now)
                stamps.append(ts)
            if interest is not None:
                ts, oi = open_interest(
                    interest,
                    self.units,
                    contract_size=self._sizes.get(symbol),
                    mark_price=mark if mark is not None else self._joiner.mark_price(name),
                    now=now,
                )
                stamps.append(ts)
        except Exception as exc:
            self.feeder.skip("derivatives", exc, (rate, interest))
            return
        event = self._joiner.update(name, max(stamps), oi, fr, mark)
        if event is not None and self.feeder.add(name, event):
            await self.feeder.flush()

    async def _book_loop(self, symbol: str) -> None:
        ex = self.exchange
        name = self._name(symbol)
        if name is None:
            return
        watching = self.watch and self._has("watchOrderBook")
        while True:
            if watching:
                book = await self._guarded(
                    "watch_order_book",
                    symbol,
                    partial(ex.watch_order_book, symbol, self.book_limit),
                )
            else:
                book = await self._guarded(
                    "fetch_order_book",
                    symbol,
                    partial(ex.fetch_order_book, symbol, self.book_limit),
                )
            if book is not None:
                try:
                    ts = _ts(book, None)
                except Exception as exc:
                    self.feeder.skip("order book", exc, book)
                else:
                    summary = self._book_summary(symbol)
                    if self.feeder.add_book(name, book, ts, summary):
                        await self.feeder.flush()
            if not watching or book is None:
                await asyncio.sleep(self.interval)

    def _book_summary(self, symbol: str) -> Callable[[Any, int], Optional[OrderBook]]:
        size = self._sizes.get(symbol)
        depth, units = self.depth, self.units

        def summary(book: Any, ts: int) -> Optional[OrderBook]:
            return order_book(book, depth, units, contract_size=size, now=ts)

        return summary

    async def _liquidation_loop(self, symbol: str) -> None:
        ex = self.exchange
        name = self._name(symbol)
        if name is None:
            return
        if self.watch and self._has("watchLiquidations"):
            fetch: Callable[[], Awaitable[Any]] = lambda: ex.watch_liquidations(symbol)  # noqa: E731
            what, polling = "watch_liquidations", False
        elif self._has("fetchLiquidations"):
            since: List[Optional[int]] = [None]
            fetch = lambda: ex.fetch_liquidations(symbol, since[0])  # noqa: E731
            what, polling = "fetch_liquidations", True
        else:
            if ex.id not in self._said:
                self._said.add(ex.id)
                log.info("%s publishes no liquidations that ccxt reads here", ex.id)
            return
        while True:
            got = await self._guarded(what, symbol, fetch)
            for item in got or ():
                try:
                    event = liquidation(item, self.units, contract_size=self._sizes.get(symbol))
                except Exception as exc:
                    self.feeder.skip("liquidation", exc, item)
                    continue
                if polling:
                    since[0] = max(since[0] or 0, event.ts + 1)
                if self.feeder.add(name, event):
                    await self.feeder.flush()
            if polling or got is None:
                await asyncio.sleep(self.interval)


def exchange_class(exchange_id: str, watch: bool = True) -> Any:
    """The class of a ccxt exchange: ccxt.pro's where there is one and
    ``watch`` is true, else ccxt.async_support's."""
    if watch:
        try:
            import ccxt.pro as pro

            cls = getattr(pro, exchange_id, None)
            if cls is not None:
                return cls
        except ImportError:  # pragma: no cover - ccxt.pro ships with ccxt
            pass
    cls = getattr(ccxt_async, exchange_id, None)
    if cls is None:
        raise ValueError(f"ccxt has no exchange {exchange_id!r}")
    return cls
