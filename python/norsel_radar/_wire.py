"""Typed values to request texts and response texts to typed values.

Events go to the radar in the protocol's array form (``["derivatives",ts,
oi,fr,mp]``): an event tuple with its kind put in front is exactly that
array, so orjson writes a whole list in one call. Large scans are cut into
pieces of whole symbols (a symbol's state depends only on its own events):
each piece is a "scan" of its own and the pieces' alerts are ranked together
by the radar's rule, which gives the report of one scan over everything
while no single step holds the interpreter lock for long.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, Iterator, List, Mapping, Optional, Tuple

import orjson

from .errors import RadarError
from .types import Alert, Derivatives, Liquidation, OrderBook, Report

OK = '{"ok":true}'
FEED = '{"cmd":"feed","symbol":'
FEED_BATCH = '{"cmd":"feed_batch","symbol":'
ALERTS = '{"cmd":"alerts"}'
RESET = '{"cmd":"reset"}'
VERSION = '{"cmd":"version"}'

#: Events per "scan" piece (about 1.8 MB of text: large enough for the
#: radar's parallel reading, short enough to join in a millisecond) and per
#: encoding step (about half a millisecond).
PIECE_EVENTS = 1 << 15
CHUNK_EVENTS = 1 << 12

#: The kind to put in front of an event tuple, by exact type.
PREFIX: Dict[type, Tuple[str]] = {
    Derivatives: ("derivatives",),
    OrderBook: ("orderbook",),
    Liquidation: ("liquidation",),
}
EVENT_TYPES = (Derivatives, OrderBook, Liquidation)
EVENT_NAMES = "Derivatives, OrderBook or Liquidation"

dumps = orjson.dumps
loads = orjson.loads


def symbol_json(symbol: object) -> str:
    """The symbol as a JSON string; refuses what is not a str."""
    if not isinstance(symbol, str):
        raise TypeError(f"symbol must be a str, got {type(symbol).__name__} {symbol!r:.60}")
    try:
        return dumps(symbol).decode()
    except orjson.JSONEncodeError:
        raise ValueError(
            f"symbol {symbol!r:.60} cannot be sent: it is not valid UTF-8 (a lone surrogate)"
        ) from None


def row(event: object, where: str) -> Tuple[Any, ...]:
    """One event as its array form (a plain tuple)."""
    prefix = PREFIX.get(type(event))
    if prefix is None:
        for kind in EVENT_TYPES:  # subclasses of the event types are events too
            if isinstance(event, kind):
                return PREFIX[kind] + tuple(event)
        raise TypeError(f"{where} must be a {EVENT_NAMES}, got {type(event).__name__}")
    out: Tuple[Any, ...] = prefix + event  # type: ignore[operator]
    return out


def rows(events: object, where: str, start: int = 0) -> List[Tuple[Any, ...]]:
    """A list of events as array forms; refuses anything else, naming the index
    (counted from ``start``)."""
    if isinstance(events, EVENT_TYPES):
        raise TypeError(f"{where} must be a sequence of events, got one {type(events).__name__}")
    if isinstance(events, (str, bytes, Mapping)) or not isinstance(events, Iterable):
        raise TypeError(f"{where} must be a sequence of events, got {type(events).__name__}")
    seq = events if isinstance(events, (list, tuple)) else list(events)
    try:
        return [PREFIX[type(e)] + e for e in seq]
    except KeyError:
        return [row(e, f"{where}[{i}]") for i, e in enumerate(seq, start)]


def encode_rows(out: Any, where: str) -> str:
    try:
        return dumps(out).decode()
    except orjson.JSONEncodeError as exc:  # values put in by going around the constructors
        raise ValueError(f"{where} cannot be encoded: {exc}") from None


SCAN_HEAD = '{"cmd":"scan","events":{'


def scan_pieces(
    events_by_symbol: object, piece_events: int, chunk_events: int
) -> Iterator[Optional[str]]:
    """The "scan" requests for a mapping of symbol to events: pieces of whole
    symbols of about ``piece_events`` events each (at least one piece).
    Between steps of about ``chunk_events`` events it yields None, a point
    where a caller may let others run. A piece is joined from its fragments
    in one copy, in a step of its own."""
    if not isinstance(events_by_symbol, Mapping):
        raise TypeError(
            "scan needs a mapping of symbol to events, got " + type(events_by_symbol).__name__
        )
    frags: List[str] = [SCAN_HEAD]
    emitted = False
    in_piece = 0
    since_pause = 0
    for symbol, events in events_by_symbol.items():
        head = ("," if in_piece else "") + symbol_json(symbol) + ":"
        where = f"events[{symbol!r}]"
        if isinstance(events, (list, tuple)) and len(events) <= chunk_events:
            frags.append(head)
            frags.append(encode_rows(rows(events, where), where))
            count = len(events)
        else:
            seq = events if isinstance(events, (list, tuple)) else rows(events, where)
            frags.append(head + "[")
            first = True
            for start in range(0, len(seq), chunk_events):
                chunk = seq[start : start + chunk_events]
                part = encode_rows(
                    rows(chunk, where, start) if seq is events else list(chunk), where
                )
                if first:
                    first = False
                else:
                    frags.append(",")
                frags.append(part[1:-1])
                yield None
            frags.append("]")
            count = len(seq)
            since_pause = 0
        in_piece += count + 1
        since_pause += count + 1
        if in_piece >= piece_events:
            yield None
            frags.append("}}")
            yield "".join(frags)
            emitted = True
            frags = [SCAN_HEAD]
            in_piece = since_pause = 0
        elif since_pause >= chunk_events:
            since_pause = 0
            yield None
    if in_piece or not emitted:
        frags.append("}}")
        yield "".join(frags)


def error_of(response: str) -> RadarError:
    try:
        value = loads(response)
        return RadarError._from_text(value["error"])
    except (orjson.JSONDecodeError, KeyError, TypeError):
        return RadarError("", response)


def decode_report(
    text: str, labels: Tuple[str, ...], sorted_labels: bool
) -> Tuple[List[Alert], int]:
    """A report text as its alerts (factors in signal order) and scanned count."""
    value = loads(text)
    found = value.get("alerts") if type(value) is dict else None
    if found is None:
        raise error_of(text)
    out = []
    new = tuple.__new__
    for a in found:
        factors = a["factors"]
        del factors["severity"]  # kept apart, as the alert's severity
        if not sorted_labels:
            factors = {label: factors[label] for label in labels}
        out.append(new(Alert, (a["symbol"], a["severity"], factors, a["ts"])))
    return out, value["scanned"]


def rank_key(alert: Tuple[Any, ...]) -> Tuple[float, str]:
    """The radar's ranking order for an alert (or any tuple that starts with
    symbol and severity): severity highest first, then symbol ascending
    (code-point order is UTF-8 byte order)."""
    return (-alert[1], alert[0])


def rank(alerts: List[Any], limit: Optional[int]) -> None:
    """Sorts alerts into the radar's rank order and cuts them to the limit, in place."""
    alerts.sort(key=rank_key)
    if limit is not None:
        del alerts[limit:]


def merge(
    parts: Iterable[Tuple[List[Alert], int]], limit: Optional[int], labels: Tuple[str, ...]
) -> Report:
    """The report of one scan over the symbols of all the pieces: alerts
    ranked together by the radar's rule, cut to the limit; scanned counts add
    up."""
    parts = list(parts)
    if len(parts) == 1:
        alerts, scanned = parts[0]
    else:
        alerts = [a for found, _ in parts for a in found]
        rank(alerts, limit)
        scanned = sum(n for _, n in parts)
    return tuple.__new__(Report, (tuple(alerts), scanned, labels))
