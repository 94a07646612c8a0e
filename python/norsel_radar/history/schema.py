"""The table form of recorded events: one row per event.

=============== ========= ==========================================================
column          type      holds
=============== ========= ==========================================================
symbol          string    the symbol (any text; byte order ranks ties)
kind            string    "derivatives", "orderbook" or "liquidation"
ts              int64     the event's timestamp (milliseconds since the Unix epoch
                          for checkpoints given as durations)
open_interest   float64   derivatives
funding_rate    float64   derivatives
mark_price      float64   derivatives
bid_volume      float64   orderbook
ask_volume      float64   orderbook
best_bid        float64   orderbook
best_ask        float64   orderbook
side            string    liquidation: "buy" or "sell"
qty             float64   liquidation
price           float64   liquidation
=============== ========= ==========================================================

A field that the row's kind does not have is null (or absent from the
table when no row needs it); other columns are ignored. Readers also take
dictionary-encoded strings, any integer type or a timestamp type for ``ts``
(converted to whole milliseconds) and any integer or floating type for the
numbers. Rows are events in the order they were recorded; within a symbol
they should be in timestamp order (see `norsel_radar.history`).
"""

from __future__ import annotations

from typing import Any, Dict, Tuple

__all__ = ["COLUMNS", "FIELDS", "KINDS", "NUMBER_COLUMNS", "arrow_schema"]

KINDS: Tuple[str, ...] = ("derivatives", "orderbook", "liquidation")
#: Each kind's fields after ``ts``, in the radar's declared order.
FIELDS: Dict[str, Tuple[str, ...]] = {
    "derivatives": ("open_interest", "funding_rate", "mark_price"),
    "orderbook": ("bid_volume", "ask_volume", "best_bid", "best_ask"),
    "liquidation": ("side", "qty", "price"),
}
NUMBER_COLUMNS: Tuple[str, ...] = (
    "open_interest",
    "funding_rate",
    "mark_price",
    "bid_volume",
    "ask_volume",
    "best_bid",
    "best_ask",
    "qty",
    "price",
)
COLUMNS: Tuple[str, ...] = (
    "symbol",
    "kind",
    "ts",
    "open_interest",
    "funding_rate",
    "mark_price",
    "bid_volume",
    "ask_volume",
    "best_bid",
    "best_ask",
    "side",
    "qty",
    "price",
)


def arrow_schema() -> Any:
    """The table form as a pyarrow schema."""
    import pyarrow as pa

    types = {"symbol": pa.string(), "kind": pa.string(), "ts": pa.int64(), "side": pa.string()}
    return pa.schema([(name, types.get(name, pa.float64())) for name in COLUMNS])
