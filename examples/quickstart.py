"""Quickstart: create a radar, feed it events, ask for alerts, scan a batch.

Run it after ``pip install .``:

    python examples/quickstart.py
"""

import json

from norsel_radar import Radar
from norsel_radar.sample import default_spec, generate_events

# A radar from a JSON spec: the signals with their parameters and weights, a
# threshold and an optional limit.
spec = {
    "signals": [
        {"kind": "funding_flip", "params": [0.001]},
        {"kind": "oi_delta", "params": [1, 0.1], "weight": 2},
    ],
    "threshold": 0.5,
}
radar = Radar(json.dumps(spec))
print(radar.command('{"cmd":"version"}'))

# Feed market events one at a time ("feed") or as a list ("feed_batch").
events = [
    {
        "kind": "derivatives",
        "ts": 1,
        "open_interest": 100.0,
        "funding_rate": 0.0004,
        "mark_price": 50.0,
    },
    {
        "kind": "derivatives",
        "ts": 2,
        "open_interest": 105.0,
        "funding_rate": -0.0006,
        "mark_price": 49.0,
    },
]
for event in events:
    print(radar.command(json.dumps({"cmd": "feed", "symbol": "BTC-PERP", "event": event})))
print(radar.command(json.dumps({"cmd": "feed_batch", "symbol": "ETH-PERP", "events": events[:1]})))

# Rank the symbols the radar has seen: BTC-PERP passes the threshold.
report = json.loads(radar.command('{"cmd":"alerts"}'))
for alert in report["alerts"]:
    print(alert["symbol"], alert["severity"], alert["factors"])
print("scanned:", report["scanned"])

# Scan a self-contained batch without touching the kept states: generated
# sample data with the default spec finds the four planted situations.
scanner = Radar(json.dumps(default_spec()))
batch = generate_events(symbols=20, events_per_symbol=200, seed=7)
report = json.loads(scanner.command(json.dumps({"cmd": "scan", "events": batch})))
print([(a["symbol"], round(a["severity"], 3)) for a in report["alerts"]])

# Failures are error responses, never exceptions.
print(radar.command('{"cmd":"feed","symbol":"BTC-PERP"}'))
