"""When a symbol's open interest, funding rate and mark price, which feeds
deliver apart, make one derivatives snapshot."""

from __future__ import annotations

from typing import Dict, NamedTuple, Optional

from ..types import Derivatives

__all__ = ["DEFAULT_RULE", "DerivativesJoiner", "DerivativesRule"]

_NEVER = -(1 << 63)


class DerivativesRule(NamedTuple):
    """When a derivatives event is emitted for a symbol.

    The latest open interest, funding rate and mark price of each symbol are
    kept as they arrive, on whatever channels. An open-interest update emits
    a `Derivatives` event of the latest three, stamped with the open
    interest's timestamp, once funding rate and mark price are known and
    ``interval`` seconds of market time (by the updates' own timestamps) have
    passed since the symbol's previous event. Funding and mark-price updates
    only refresh the kept values.

    So a symbol gets at most one snapshot per interval whatever its feeds'
    rates (Bybit's ticker every 100 ms, open interest polled every second),
    and the radar's look-backs count samples about ``interval`` apart; and a
    snapshot carries the funding and mark price delivered with or just
    before its open interest (feeds send funding first in the same message,
    or the mark price a moment earlier). An open interest stamped earlier
    than that updates the value and emits nothing. Feeds that send open
    interest only when it changes (cryptofeed's Binance poller) give a
    snapshot only then. ``interval=0`` emits on every open-interest update.
    """

    interval: float = 1.0

    def interval_ms(self) -> int:
        value = float(self.interval)
        if not 0.0 <= value < float("inf"):
            raise ValueError(
                f"DerivativesRule.interval must be >= 0 seconds, got {self.interval!r}"
            )
        return round(value * 1000.0)


#: One snapshot a second at most.
DEFAULT_RULE = DerivativesRule()


class _Latest:
    __slots__ = ("oi", "rate", "mark", "last")

    def __init__(self) -> None:
        self.oi: Optional[float] = None
        self.rate: Optional[float] = None
        self.mark: Optional[float] = None
        self.last = _NEVER


class DerivativesJoiner:
    """Applies a `DerivativesRule` to the updates of many symbols. Values come
    in converted (float, int milliseconds): a symbol's state only changes
    once its update is known to be whole."""

    __slots__ = ("_interval", "_latest")

    def __init__(self, rule: DerivativesRule) -> None:
        self._interval = rule.interval_ms()
        self._latest: Dict[str, _Latest] = {}

    def update(
        self,
        symbol: str,
        ts: int,
        open_interest: Optional[float] = None,
        funding_rate: Optional[float] = None,
        mark_price: Optional[float] = None,
    ) -> Optional[Derivatives]:
        """Applies what an update carries (None keeps a value as it was) and
        returns the event the rule emits, if any."""
        state = self._latest.get(symbol)
        if state is None:
            state = self._latest[symbol] = _Latest()
        if open_interest is not None:
            state.oi = open_interest
        if funding_rate is not None:
            state.rate = funding_rate
        if mark_price is not None:
            state.mark = mark_price
        if open_interest is None:
            return None
        rate, mark = state.rate, state.mark
        if rate is None or mark is None or ts - state.last < self._interval:
            return None
        state.last = ts
        return Derivatives(ts, open_interest, rate, mark)

    def open_interest(self, symbol: str, ts: int, value: float) -> Optional[Derivatives]:
        """`update` with an open interest alone."""
        state = self._latest.get(symbol)
        if state is None:
            state = self._latest[symbol] = _Latest()
        state.oi = value
        rate, mark = state.rate, state.mark
        if rate is None or mark is None or ts - state.last < self._interval:
            return None
        state.last = ts
        return Derivatives(ts, value, rate, mark)

    def funding(self, symbol: str, rate: Optional[float], mark: Optional[float]) -> None:
        """`update` without an open interest, which emits nothing."""
        state = self._latest.get(symbol)
        if state is None:
            state = self._latest[symbol] = _Latest()
        if rate is not None:
            state.rate = rate
        if mark is not None:
            state.mark = mark

    def mark_price(self, symbol: str) -> Optional[float]:
        state = self._latest.get(symbol)
        return None if state is None else state.mark
