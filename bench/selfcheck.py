"""Check that the pure-Python radar answers exactly like the native one.

Both radars get the same commands; every answer of ``scan`` and ``alerts`` must
be the same text, byte for byte. The inputs are the sample generator's market
data plus a handful of hand-made symbols and events that reach the corners of
the evaluation: empty lists, zero and negative levels, huge and tiny numbers,
extreme timestamps, the array form of events and sides, and texts that need
escaping. Several specs are used, among them one that reports every symbol
(threshold 0, no limit) so that every symbol's factors are compared, and one
with degenerate parameters (zero and negative scales, fractional and zero
look-backs, a scale whose square underflows).
"""

from __future__ import annotations

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import pyradar  # noqa: E402
from norsel_radar import Radar, sample  # noqa: E402

dumps = sample.dumps


class Mismatch(AssertionError):
    """The two radars answered differently; the message is a reproducer."""


def _specs() -> list:
    default = sample.default_spec()
    everything = dict(default, threshold=0.0)
    everything.pop("limit")
    degenerate = {
        "signals": [
            {"kind": "oi_delta", "params": [0.5, 0.0]},  # look-back 0, zero scale
            {"kind": "oi_delta", "params": [3.9, -0.2]},  # negative scale
            {"kind": "funding_flip", "params": [-0.001], "weight": 0},
            {"kind": "book_imbalance", "params": [1e-9], "weight": 2.5},
            {"kind": "liq_cluster", "params": [2.7, 1e-300]},
            {"kind": "liq_cluster", "params": [0, 5]},
            {"kind": "oi_price_divergence", "params": [3, 1e-170]},  # square underflows to 0
            {"kind": "oi_price_divergence", "params": [1, -0.02], "weight": 0.3},
        ],
        "threshold": -1,
    }
    array_form = [[], ["x"], [["funding_flip", [0.0007]], ["liq_cluster", [4, 50], 2]], 0.1, 7]
    tiny = {
        "signals": [
            {"kind": "book_imbalance", "params": [0.7]},
            {"kind": "oi_delta", "params": [1, 1e-5], "weight": 1e-3},
        ],
        "threshold": 0.00001,
        "limit": 3,
    }
    return [dumps(s) for s in (default, everything, degenerate, array_form, tiny)]


def _edge_events() -> dict:
    def d(ts, oi, fr, mp):
        return {
            "kind": "derivatives",
            "ts": ts,
            "open_interest": oi,
            "funding_rate": fr,
            "mark_price": mp,
        }

    def ob(ts, b, a):
        return {
            "kind": "orderbook",
            "ts": ts,
            "bid_volume": b,
            "ask_volume": a,
            "best_bid": 1,
            "best_ask": 2,
        }

    def lq(ts, q, side="sell"):
        return {"kind": "liquidation", "ts": ts, "side": side, "qty": q, "price": 10}

    return {
        "": [],
        "EMPTY-BOOK": [ob(1, 0, 0), ob(2, 0.0, 0.0)],
        "NEG": [d(-5, -100, 0.0004, -50), d(-4, 100, -0.0006, 50), ob(3, -1, 2), lq(1, -3)],
        "ZERO-LEVELS": [d(1, 0, 0, 0), d(2, 0, 0, 0), d(3, 5, 0.001, 1), d(4, 0, -0.001, 0)],
        "HUGE": [
            d(1, 1e300, 1e300, 1e300),
            d(2, -1e300, -1e300, 1e-300),
            d(3, 1e308, 1e-320, 5),
            lq(4, 1e308),
            lq(5, 1e308),
            ob(6, 1e308, 1e308),
        ],
        "TS-EXTREMES": [
            d(-9223372036854775808, 1, 1, 1),
            lq(9223372036854775807, 1),
            d(0, 2, -1, 0.5),
        ],
        "TS-MIN-ONLY": [lq(-9223372036854775808, 2)],
        "ARRAY-FORM": [
            ["derivatives", 10, 100, 0.0001, 50],
            ["derivatives", 11, 90, -0.0002, 55],
            ["orderbook", 12, 300, 100, 1, 2],
            ["liquidation", 13, "buy", 1.5, 42000],
            ["liquidation", 14, {"sell": None}, 2.5, 42000],
            {
                "kind": "liquidation",
                "ts": 15,
                "side": {"buy": {}},
                "qty": 7,
                "price": 1,
                "symbol": "ignored",
                "venue": "x",
            },
        ],
        "INTS": [d(1, 100, 0, 50), d(2, 105, 0, 47), d(3, 110, 1, 40), ob(4, 300, 200)],
        "é-PERP\u00e9\u4e2d": [d(1, 100, 0.0004, 50), d(2, 105, -0.0006, 47.5)],
        'Q"\\/\n\t\u0001\u001f': [d(1, 100, 0.0004, 50), d(2, 110, -0.0006, 47.5), ob(3, 1, 3)],
        "BTC": [d(2, 100, 0.0004, 50), d(1, 105, 0.0005, 49)],
        "BTC-PERP-X": [d(2, 100, 0.0004, 50), d(1, 105, 0.0005, 49)],
        "HALF": [d(1, 1, 0.5e-8, 1), d(2, 1, 0.5e-8, 1), ob(3, 1.5e-8, 0.5e-8)],
    }


def _scan_text(events: dict) -> str:
    return '{"cmd":"scan","events":' + dumps(events) + "}"


def _compare(what: str, spec_json: str, request: str, native: str, python: str) -> None:
    if native == python:
        return
    i = next(
        (k for k in range(min(len(native), len(python))) if native[k] != python[k]),
        min(len(native), len(python)),
    )
    lo = max(0, i - 200)
    raise Mismatch(
        f"{what}: native and pure-Python answers differ at offset {i}\n"
        f"spec: {spec_json}\n"
        f"request ({len(request)} bytes): {request[:2000]}{'...' if len(request) > 2000 else ''}\n"
        f"native: ...{native[lo : i + 200]}\n"
        f"python: ...{python[lo : i + 200]}"
    )


def check(symbols: int = 40, events_per_symbol: int = 300, seed: int = 11) -> int:
    """Runs the comparison; returns the number of answers compared, raises Mismatch."""
    data = sample.generate_events(symbols, events_per_symbol, seed)
    data.update(_edge_events())
    compared = 0
    for spec_json in _specs():
        native = Radar(spec_json)
        python = pyradar.PyRadar(spec_json)
        # scan over everything at once
        request = _scan_text(data)
        _compare("scan", spec_json, request, native.command(request), python.command(request))
        compared += 1
        # scan of each symbol alone (ranks and limits of tiny reports)
        for name, events in list(data.items())[-20:]:
            request = _scan_text({name: events})
            _compare(
                "scan one symbol",
                spec_json,
                request,
                native.command(request),
                python.command(request),
            )
            compared += 1
        # feed one event at a time, then alerts; then feed_batch into a fresh store
        for name, events in data.items():
            for ev in events:
                request = dumps({"cmd": "feed", "symbol": name, "event": ev})
                a, b = native.command(request), python.command(request)
                if a != '{"ok":true}' or b != '{"ok":true}':
                    raise Mismatch(f"feed refused: {request}\nnative: {a}\npython: {b}")
        request = '{"cmd":"alerts"}'
        _compare(
            "alerts after feed",
            spec_json,
            request,
            native.command(request),
            python.command(request),
        )
        for r in (native, python):
            r.command('{"cmd":"reset"}')
        for name, events in data.items():
            for start in range(0, max(len(events), 1), 97):
                request = dumps(
                    {"cmd": "feed_batch", "symbol": name, "events": events[start : start + 97]}
                )
                a, b = native.command(request), python.command(request)
                if a != '{"ok":true}' or b != '{"ok":true}':
                    raise Mismatch(f"feed_batch refused: {request[:500]}\nnative: {a}\npython: {b}")
        _compare(
            "alerts after feed_batch",
            spec_json,
            request,
            native.command('{"cmd":"alerts"}'),
            python.command('{"cmd":"alerts"}'),
        )
        compared += 2
    return compared


if __name__ == "__main__":
    n = check()
    print(f"pure-Python radar matches the native radar on {n} answers")
