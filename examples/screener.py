"""The typed screener: a spec, typed events, ranked reports; then the same
through asyncio. Every public name of the package is used here, and
``.ci/typecheck`` checks this file with ``mypy --strict``.

Run it after ``pip install .``:

    python examples/screener.py
"""

from __future__ import annotations

import asyncio
from datetime import datetime, timezone
from decimal import Decimal
from typing import Any, Dict, List, Mapping

from norsel_radar import (
    Alert,
    AsyncScreener,
    Derivatives,
    Event,
    Liquidation,
    OrderBook,
    Radar,
    RadarError,
    Report,
    Screener,
    Signal,
    Spec,
    __version__,
)
from norsel_radar.sample import generate_events


def typed(event: Mapping[str, Any]) -> Event:
    """A typed event from the sample generator's JSON object form."""
    if event["kind"] == "derivatives":
        return Derivatives(
            event["ts"], event["open_interest"], event["funding_rate"], event["mark_price"]
        )
    if event["kind"] == "orderbook":
        return OrderBook(
            event["ts"],
            event["bid_volume"],
            event["ask_volume"],
            event["best_bid"],
            event["best_ask"],
        )
    return Liquidation(event["ts"], event["side"], event["qty"], event["price"])


def line(alert: Alert) -> str:
    factors = ", ".join(f"{label} {value:.2f}" for label, value in alert.factors.items())
    return f"{alert.symbol:10s} {alert.severity:.4f}  ({factors})  last event {alert.ts}"


def show(title: str, report: Report) -> None:
    print(f"{title}: {len(report.alerts)} alerts, {report.scanned} symbols scanned")
    for alert in report.alerts:
        print("  " + line(alert))


def synchronous() -> Dict[str, List[Event]]:
    spec = Spec(
        [Signal("funding_flip", [0.001]), Signal("oi_delta", [1, 0.1], weight=2)],
        threshold=0.5,
    )
    screener = Screener(spec)
    # Timestamps: int milliseconds, float seconds or datetimes; numbers may be Decimal.
    june = datetime(2024, 6, 1, tzinfo=timezone.utc)
    screener.feed("BTC-PERP", Derivatives(june, 100, Decimal("0.0004"), 50000))
    screener.feed_batch(
        "BTC-PERP",
        [
            Derivatives(1717200001000, 105.0, -0.0006, 49500.0),
            OrderBook(1717200001.5, 300, 100, 49499.9, 49500.1),
            Liquidation(1717200002000, "SELL", 2.5, 49480.0),
        ],
    )
    show("fed", screener.alerts())

    # An error response of the radar raises, with its kind and exact message.
    try:
        screener.set_spec('{"signals":[]}')
    except RadarError as exc:
        print(f"refused: kind {exc.kind!r}, message {exc.message!r}")

    # The raw protocol is still there: the same spec as text.
    radar = Radar(spec.to_json())
    print(radar.command('{"cmd":"version"}'), "=", screener.version(), "=", __version__)

    # A self-contained batch of sample data with the bundled default spec.
    batch = {
        symbol: [typed(e) for e in events]
        for symbol, events in generate_events(symbols=20, events_per_symbol=200, seed=7).items()
    }
    report = Screener(Spec.default()).scan(batch)
    show("scanned", report)
    print("first row:", report.to_records()[0])
    try:
        print(report.to_pandas().head(3))
    except ImportError:
        print("(pandas is not installed: no DataFrame)")
    return batch


async def asynchronous(batch: Dict[str, List[Event]]) -> None:
    async with AsyncScreener(Spec.default()) as screener:
        # Feeds return once queued; waiting feeds go to the radar in batches.
        for symbol, events in batch.items():
            for event in events:
                await screener.feed(symbol, event)
        fed = await screener.alerts()
        scanned = await screener.scan(batch)
    print("async: fed and scanned agree:", fed.alerts == scanned.alerts)


if __name__ == "__main__":
    asyncio.run(asynchronous(synchronous()))
