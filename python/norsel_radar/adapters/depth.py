"""BookDepth: how much of an order book is summed into bid and ask volume."""

from __future__ import annotations

from typing import Any, Callable, Iterator, NamedTuple, Optional, Sequence, Tuple

__all__ = ["DEFAULT_DEPTH", "BookDepth", "summarise_levels"]


class BookDepth(NamedTuple):
    """The part of each side of a book whose sizes make its volume.

    Either the best ``levels`` price levels of each side (``band`` None), or
    every level priced within ``band`` (a fraction: 0.005 is 0.5%) of the mid
    price, (best bid + best ask) / 2, on either side: bids at or above
    mid × (1 − band), asks at or below mid × (1 + band).

    ``BookDepth()`` is the best 10 levels; ``BookDepth.within(0.005)`` the
    0.5% band; ``BookDepth.parse("20")`` or ``BookDepth.parse("0.5%")`` reads
    either from text.
    """

    levels: int = 10
    band: Optional[float] = None

    @classmethod
    def top(cls, levels: int) -> BookDepth:
        """The best ``levels`` price levels of each side."""
        if isinstance(levels, bool) or not isinstance(levels, int) or levels < 1:
            raise ValueError(f"book depth: levels must be a positive int, got {levels!r}")
        return cls(levels, None)

    @classmethod
    def within(cls, band: float) -> BookDepth:
        """Every level within ``band`` (a fraction) of the mid price."""
        value = float(band)
        if not 0.0 < value < 1.0:
            raise ValueError(f"book depth: band must be a fraction in (0, 1), got {band!r}")
        return cls(0, value)

    @classmethod
    def parse(cls, text: str) -> BookDepth:
        """``"20"``: 20 levels; ``"0.5%"``: a band of 0.5% around the mid."""
        text = text.strip()
        try:
            if text.endswith("%"):
                return cls.within(float(text[:-1]) / 100.0)
            return cls.top(int(text))
        except ValueError:
            raise ValueError(
                f"book depth {text!r}: give a number of levels (20) or a band around the"
                " mid price (0.5%)"
            ) from None

    def checked(self) -> BookDepth:
        """This depth, validated (the constructor itself checks nothing)."""
        if self.band is None:
            return BookDepth.top(self.levels)
        return BookDepth.within(self.band)

    def describe(self) -> str:
        if self.band is None:
            return f"best {self.levels} levels"
        return f"{self.band * 100:g}% around the mid"


#: The best 10 levels of each side.
DEFAULT_DEPTH = BookDepth()


def summarise_levels(
    bids: Sequence[Any],
    asks: Sequence[Any],
    depth: BookDepth,
    factor: float = 1.0,
    times_price: bool = False,
) -> Optional[Tuple[float, float, float, float]]:
    """(bid volume, ask volume, best bid, best ask) of levels given best
    first, each a [price, size] pair; None when a side is empty. Each size
    counts ``factor`` times, and times its price with ``times_price``."""
    if not bids or not asks:
        return None
    best_bid = float(bids[0][0])
    best_ask = float(asks[0][0])
    if depth.band is None:
        n = depth.levels
        bid_levels, ask_levels = bids[:n], asks[:n]
    else:
        mid = (best_bid + best_ask) * 0.5
        low = mid * (1.0 - depth.band)
        high = mid * (1.0 + depth.band)
        bid_levels = [level for level in _until(bids, lambda p: p < low)]
        ask_levels = [level for level in _until(asks, lambda p: p > high)]
    if times_price:
        bid_volume = sum([float(p) * float(q) for p, q, *_ in bid_levels])
        ask_volume = sum([float(p) * float(q) for p, q, *_ in ask_levels])
    else:
        bid_volume = sum([float(level[1]) for level in bid_levels])
        ask_volume = sum([float(level[1]) for level in ask_levels])
    return bid_volume * factor, ask_volume * factor, best_bid, best_ask


def _until(levels: Sequence[Any], beyond: Callable[[float], bool]) -> Iterator[Any]:
    for level in levels:
        if beyond(float(level[0])):
            return
        yield level
