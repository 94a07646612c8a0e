"""Deterministic sample market data for the radar.

A seeded generator of crypto-derivatives events for perpetual symbols
("BTC-PERP", "ETH-PERP", ...): open interest as a mean-reverting random walk,
funding rates in regimes that flip sign, the mark price as a geometric random
walk, order-book snapshots around the mark and bursts of liquidations.
Numbers are rounded the way exchanges print them (prices to the symbol's tick,
funding to 6 decimals, quantities and volumes to 3), timestamps are integer
milliseconds that increase per symbol.

Four symbols carry a planted situation at the end of their stream, so the
radar has something to find (see ``PLANTED``):

- ``ETH-PERP``: a liquidation cascade (large long liquidations, price and open
  interest falling, an ask-heavy book);
- ``SOL-PERP``: an open-interest surge (open interest up sharply, funding
  climbing);
- ``XRP-PERP``: a funding flip (funding pushed high, then flipping negative on
  the last snapshot, with an ask-heavy book);
- ``DOGE-PERP``: an open-interest/price divergence (open interest rising while
  the price falls).

``default_spec()`` holds all five signal kinds, tuned so that these four rank
at the top of a scan of the generated data.

Everything here is pure standard library and deterministic: the same
arguments give the same events on every platform and Python version, and a
symbol's events do not depend on how many other symbols are generated.
"""

from __future__ import annotations

import heapq
import json
import math
import random
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import (
    IO,
    Any,
    Dict,
    List,
    Optional,
    Tuple,
    Union,
)

__all__ = [
    "Event",
    "PLANTED",
    "START_TS",
    "default_spec",
    "dumps",
    "generate_events",
    "iter_events",
    "iter_symbol_events",
    "iter_jsonl",
    "symbol_events",
    "symbol_names",
    "write_jsonl",
    "write_scan",
]

#: One event in its JSON object form ("kind", "ts", then the kind's fields).
Event = Dict[str, Any]

#: Timestamp of the first event: 2024-06-01T00:00:00Z in milliseconds.
START_TS = 1_717_200_000_000

#: The symbols that carry a planted situation, and what it is.
PLANTED: Dict[str, str] = {
    "ETH-PERP": "liquidation cascade",
    "SOL-PERP": "open-interest surge",
    "XRP-PERP": "funding flip",
    "DOGE-PERP": "open-interest/price divergence",
}

# Base name and a typical mark price. The planted symbols come first (after
# BTC), so any request for five or more symbols includes all of them.
_KNOWN: Tuple[Tuple[str, float], ...] = (
    ("BTC", 67000.0),
    ("ETH", 3500.0),
    ("SOL", 160.0),
    ("XRP", 0.52),
    ("DOGE", 0.15),
    ("BNB", 590.0),
    ("ADA", 0.45),
    ("AVAX", 34.0),
    ("LINK", 16.5),
    ("DOT", 7.1),
    ("TRX", 0.12),
    ("TON", 7.4),
    ("LTC", 82.0),
    ("BCH", 470.0),
    ("NEAR", 7.0),
    ("UNI", 10.2),
    ("ATOM", 8.3),
    ("APT", 8.9),
    ("ARB", 1.05),
    ("OP", 2.3),
    ("FIL", 5.9),
    ("ETC", 29.0),
    ("INJ", 26.0),
    ("SUI", 1.02),
    ("TIA", 9.6),
    ("IMX", 2.0),
    ("STX", 2.1),
    ("AAVE", 92.0),
    ("MKR", 2800.0),
    ("LDO", 2.2),
    ("RUNE", 5.6),
    ("FTM", 0.72),
    ("ALGO", 0.17),
    ("XLM", 0.105),
    ("HBAR", 0.11),
    ("ICP", 11.5),
    ("GRT", 0.28),
    ("SAND", 0.43),
    ("CRV", 0.42),
    ("DYDX", 1.75),
    ("GMX", 31.0),
    ("ORDI", 40.0),
    ("WLD", 4.8),
    ("JUP", 1.1),
    ("ENA", 0.85),
)

_SITUATION_OF: Dict[str, str] = {
    "ETH-PERP": "cascade",
    "SOL-PERP": "surge",
    "XRP-PERP": "flip",
    "DOGE-PERP": "divergence",
}

_ENCODE = json.JSONEncoder(
    separators=(",", ":"), ensure_ascii=False, allow_nan=False, check_circular=False
).encode


def dumps(value: Any) -> str:
    """Compact JSON text (no white space), as the radar's requests are written."""
    return _ENCODE(value)


def symbol_names(count: int) -> List[str]:
    """The first ``count`` symbol names: well-known perpetuals, then "X0046-PERP"... ."""
    if count < 0:
        raise ValueError("the number of symbols must not be negative")
    names = [base + "-PERP" for base, _ in _KNOWN[:count]]
    names.extend("X%04d-PERP" % i for i in range(len(_KNOWN) + 1, count + 1))
    return names


def default_spec() -> Dict[str, Any]:
    """A spec with all five signal kinds that ranks the planted symbols first.

    Look-backs are counted in derivatives snapshots (about every second event),
    liquidation quantities in contracts.
    """
    return {
        "venues": ["sample"],
        "signals": [
            {"kind": "oi_delta", "params": [20, 0.05], "weight": 1.0},
            {"kind": "funding_flip", "params": [0.001], "weight": 1.0},
            {"kind": "book_imbalance", "params": [0.5], "weight": 0.5},
            {"kind": "liq_cluster", "params": [10, 400], "weight": 1.0},
            {"kind": "oi_price_divergence", "params": [15, 0.04], "weight": 1.0},
        ],
        "threshold": 0.25,
        "limit": 10,
    }


def _profile(name: str, index: int, rng: random.Random) -> Tuple[float, int]:
    """Typical mark price and the number of price decimals (the tick)."""
    if index < len(_KNOWN) and _KNOWN[index][0] + "-PERP" == name:
        price = _KNOWN[index][1]
    else:
        price = 10.0 ** rng.uniform(-1.0, 3.5)
    if price >= 10000:
        decimals = 1
    elif price >= 10:
        decimals = 2
    elif price >= 1:
        decimals = 3
    else:
        decimals = 5
    return price, decimals


def symbol_events(name: str, count: int, seed: int = 7, index: int = -1) -> List[Event]:
    """The ``count`` events of one symbol, oldest first.

    ``index`` is the symbol's position in ``symbol_names``; it only selects the
    typical price of a well-known name (``-1``: look the name up).
    """
    return list(iter_symbol_events(name, count, seed, index))


def iter_symbol_events(name: str, count: int, seed: int = 7, index: int = -1) -> Iterator[Event]:
    """``symbol_events`` one event at a time, in memory that does not grow with ``count``."""
    if count < 0:
        raise ValueError("the number of events must not be negative")
    if index < 0:
        index = next(
            (i for i, (base, _) in enumerate(_KNOWN) if base + "-PERP" == name), len(_KNOWN)
        )
    rng = random.Random("norsel-sample:%d:%s" % (seed, name))
    gauss = rng.gauss
    uniform = rng.random
    expo = rng.expovariate
    exp = math.exp

    price0, pdec = _profile(name, index, rng)
    tick = 10.0**-pdec
    log_p = math.log(price0)
    log_oi0 = math.log(rng.uniform(2e4, 2e6) / max(price0, 0.05) ** 0.5)
    log_oi = log_oi0 + gauss(0.0, 0.01)
    vol0 = rng.uniform(50.0, 2000.0)
    regime = rng.choice((-1.0, 1.0)) * rng.uniform(0.00003, 0.00012)
    funding = regime
    ts = START_TS + rng.randint(0, 999)
    mean_dt = rng.uniform(120.0, 400.0)

    situation = _SITUATION_OF.get(name)
    tail_start = count - min(48, count // 2) if situation else count
    burst = 0

    for i in range(count):
        tail = i >= tail_start
        # Drifts and mixes of the moment: background, or the planted situation.
        p_drift = oi_drift = 0.0
        p_deriv, p_book = 0.45, 0.45
        liq_scale, book_skew = 1.0, 0.0
        f_target, f_speed = regime, 0.1
        dt = mean_dt
        if tail:
            if situation == "cascade":
                p_drift, oi_drift = -0.0025, -0.0025
                p_deriv, p_book = 0.42, 0.2
                liq_scale, book_skew, dt = 40.0, -1.2, mean_dt / 4
                f_target = -0.0002
            elif situation == "surge":
                p_drift, oi_drift = 0.0004, 0.0035
                f_target, f_speed = 0.0008, 0.2
            elif situation == "flip":
                f_target, f_speed = 0.0009, 0.3
                oi_drift, book_skew = -0.0012, -1.0
            elif situation == "divergence":
                p_drift, oi_drift = -0.002, 0.003

        ts += 1 + int(expo(1.0 / dt))
        log_p += p_drift + gauss(0.0, 0.0006)
        if not tail:
            oi_drift = 0.02 * (log_oi0 - log_oi)
        log_oi += oi_drift + gauss(0.0, 0.0008)
        if not tail and uniform() < 0.003:
            regime = -math.copysign(rng.uniform(0.00003, 0.00012), regime)
        funding += f_speed * (f_target - funding) + gauss(0.0, 0.000008)
        mark = exp(log_p)

        last = i == count - 1
        if burst > 0 and not last:
            burst -= 1
            kind = 2
        else:
            u = uniform()
            kind = 0 if (u < p_deriv or last) else 1 if u < p_deriv + p_book else 2
            if kind == 2:
                burst = rng.randint(0, 3)

        if kind == 0:
            fr = funding
            if last and situation == "flip":
                fr = -rng.uniform(0.0004, 0.0007)
            yield (
                {
                    "kind": "derivatives",
                    "ts": ts,
                    "open_interest": round(exp(log_oi), 3),
                    "funding_rate": round(fr, 6),
                    "mark_price": round(mark, pdec),
                }
            )
        elif kind == 1:
            half_spread = max(1, int(mark * 0.00004 / tick)) * tick
            best_bid = round(mark - half_spread, pdec)
            best_ask = round(best_bid + max(tick, 2 * half_spread), pdec)
            skew = book_skew + gauss(0.0, 0.35)
            yield (
                {
                    "kind": "orderbook",
                    "ts": ts,
                    "bid_volume": round(vol0 * exp(0.5 * skew), 3),
                    "ask_volume": round(vol0 * exp(-0.5 * skew), 3),
                    "best_bid": best_bid,
                    "best_ask": best_ask,
                }
            )
        else:
            if situation == "cascade" and tail:
                side = "sell"
            else:
                side = "sell" if uniform() < 0.5 else "buy"
            slip = 1.0 + (-1.0 if side == "sell" else 1.0) * abs(gauss(0.0, 0.001))
            yield (
                {
                    "kind": "liquidation",
                    "ts": ts,
                    "side": side,
                    "qty": round(max(0.001, liq_scale * exp(gauss(0.0, 0.8))), 3),
                    "price": round(mark * slip, pdec),
                }
            )


def _resolve(symbols: Union[int, Sequence[str]]) -> List[str]:
    if isinstance(symbols, int):
        return symbol_names(symbols)
    return list(symbols)


def generate_events(
    symbols: Union[int, Sequence[str]] = 40, events_per_symbol: int = 500, seed: int = 7
) -> Dict[str, List[Event]]:
    """Events per symbol, in the form of the "events" member of a "scan" request.

    ``symbols`` is a count (names from ``symbol_names``) or a list of names.
    """
    return {name: symbol_events(name, events_per_symbol, seed) for name in _resolve(symbols)}


def _tagged(name: str, events: Iterable[Event]) -> Iterator[Tuple[int, str, Event]]:
    for ev in events:
        yield ev["ts"], name, ev


def iter_events(
    symbols: Union[int, Sequence[str]] = 40, events_per_symbol: int = 500, seed: int = 7
) -> Iterator[Tuple[str, Event]]:
    """All symbols' events merged into one stream by timestamp, as a feed would
    deliver them: (symbol, event) pairs; ties keep symbol order. Each symbol's
    events are made as the merge reaches them, so memory grows with the number
    of symbols only."""
    streams = [
        _tagged(name, iter_symbol_events(name, events_per_symbol, seed))
        for name in _resolve(symbols)
    ]
    for _, name, ev in heapq.merge(*streams, key=lambda item: item[0]):
        yield name, ev


def iter_jsonl(pairs: Iterable[Tuple[str, Event]]) -> Iterator[str]:
    """JSON Lines: one compact {"symbol":...,"event":{...}} object per line."""
    encode = _ENCODE
    quoted: Dict[str, str] = {}
    for name, ev in pairs:
        q = quoted.get(name)
        if q is None:
            q = quoted[name] = '{"symbol":' + encode(name) + ',"event":'
        yield q + encode(ev) + "}\n"


def write_scan(
    fp: IO[str],
    symbols: Union[int, Sequence[str]] = 40,
    events_per_symbol: int = 500,
    seed: int = 7,
    events: Optional[Mapping[str, Sequence[Event]]] = None,
) -> None:
    """Writes the scan form {symbol: [events]} as compact JSON, one symbol at a
    time (given ``events``, or generated from the other arguments)."""
    if events is None:
        names = _resolve(symbols)
        items: Iterable[Tuple[str, Sequence[Event]]] = (
            (name, symbol_events(name, events_per_symbol, seed)) for name in names
        )
    else:
        items = events.items()
    fp.write("{")
    first = True
    for name, evs in items:
        fp.write(("" if first else ",") + _ENCODE(name) + ":" + _ENCODE(evs))
        first = False
    fp.write("}\n")


def write_jsonl(
    fp: IO[str],
    symbols: Union[int, Sequence[str]] = 40,
    events_per_symbol: int = 500,
    seed: int = 7,
    events: Optional[Mapping[str, Sequence[Event]]] = None,
) -> None:
    """Writes JSON Lines of {"symbol":...,"event":{...}}: the given ``events``
    symbol by symbol, or freshly generated ones merged by timestamp."""
    if events is None:
        pairs: Iterable[Tuple[str, Event]] = iter_events(symbols, events_per_symbol, seed)
    else:
        pairs = ((name, ev) for name, evs in events.items() for ev in evs)
    fp.writelines(iter_jsonl(pairs))
