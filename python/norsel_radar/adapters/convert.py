"""Numbers and timestamps as libraries deliver them, made the radar's: finite
floats and integer milliseconds. Exact types take a short road; anything
else goes through the typed layer's own conversions (`to_float`,
`to_timestamp`), which name the field in their errors."""

from __future__ import annotations

import time
from decimal import Decimal
from typing import Optional

from ..types import to_float, to_timestamp

__all__ = ["MS_FROM", "epoch_ms", "finite", "optional", "timestamp_ms", "now_ms"]

#: Timestamps of this magnitude or more are milliseconds, smaller ones
#: seconds: 1e11 seconds is the year 5138, 1e11 milliseconds March 1973.
MS_FROM = 1e11


def finite(value: object, where: str) -> float:
    """A finite float from a Decimal, float or int (or any real number)."""
    if type(value) is float:
        if value - value == 0.0:
            return value
    elif type(value) is Decimal or type(value) is int:
        try:
            x = float(value)
        except (ValueError, OverflowError):  # a signaling NaN; an int beyond floats
            return to_float(value, where)
        if x - x == 0.0:
            return x
    return to_float(value, where)


def optional(value: object, where: str) -> Optional[float]:
    """None stays None (a value the message lacks); anything else as `finite`."""
    if value is None:
        return None
    if type(value) is Decimal:
        try:
            x = float(value)
        except ValueError:  # a signaling NaN: refused by name below
            return finite(value, where)
        if x - x == 0.0:
            return x
    return finite(value, where)


def epoch_ms(value: object, where: str) -> int:
    """Milliseconds since the epoch from seconds or milliseconds, told apart
    by magnitude (see `MS_FROM`): cryptofeed documents float seconds, while
    some of its feeds (Bybit) give milliseconds, as int or float. Seconds are
    rounded to the nearest millisecond."""
    if type(value) is float:
        if -MS_FROM < value < MS_FROM:
            return round(value * 1000.0)
        if value - value == 0.0:
            return to_timestamp(round(value), where)
    elif type(value) is int:
        if -MS_FROM < value < MS_FROM:
            return value * 1000
        return to_timestamp(value, where)
    elif type(value) is Decimal and value.is_finite():
        if abs(value) < MS_FROM:
            return to_timestamp(value, where)
        return to_timestamp(int(value.to_integral_value()), where)
    return to_timestamp(value, where)


def timestamp_ms(value: object, where: str, fallback: int) -> int:
    """`epoch_ms`, or ``fallback`` for None (a message without a timestamp)."""
    return fallback if value is None else epoch_ms(value, where)


def now_ms() -> int:
    """The local clock, in milliseconds since the epoch."""
    return time.time_ns() // 1_000_000
