"""The scan form, one object {symbol: [events]}: read straight into a "scan"
request, and its errors explained after the radar has refused it."""

from __future__ import annotations

import json
import re
from collections.abc import Iterator
from typing import Any, Dict, List, NoReturn, Optional, Tuple

import orjson

from .._norsel_radar import Radar
from .errors import UserError
from .inputs import Input

PREFIX = b'{"cmd":"scan","events":'
SUFFIX = b"\n}"  # on a line of its own: an error in the events never points past them
_POSITION = re.compile(r" at line (\d+) column (\d+)$")
_NONBLANK = re.compile(rb"[^ \t\r\n]")


def read_request(inp: Input) -> Tuple[str, int]:
    """The "scan" request with the input's text as its events, and the text's length."""
    buf = inp.read_into(PREFIX, SUFFIX)
    size = len(buf) - len(PREFIX) - len(SUFFIX)
    if _NONBLANK.search(buf, len(PREFIX), len(buf) - len(SUFFIX)) is None:
        raise UserError(f"{inp.where}: no events")
    try:
        return buf.decode("utf-8"), size
    except UnicodeDecodeError as exc:
        raise UserError(
            f"{inp.where}: not UTF-8 text (byte {exc.start - len(PREFIX) + 1})"
        ) from None


def events_text(request: str) -> str:
    return request[len(PREFIX) : len(request) - len(SUFFIX)]


def _error(reply: str) -> str:
    return str(orjson.loads(reply)["error"])


def explain(scratch: Radar, where: str, request: str, message: str, bom: bool) -> UserError:
    """One line for a scan request the radar refused with ``message``.

    Syntax errors come from reading the events text alone, so that lines and
    columns count in the user's file (``bom``: its first three bytes, a
    byte-order mark, were blanked and are not counted); other errors are traced to the symbol
    and the event that cause them.
    """
    text = events_text(request)
    if message.startswith("parse: ") and _POSITION.search(message):
        own = scratch.command(text[3:] if bom else text)
        if own.startswith('{"error":'):
            own_message = _error(own)
            if _POSITION.search(own_message):
                return UserError(f"{where}: {own_message}")
        return UserError(f"{where}: {message}")
    found = _find_bad_event(scratch, text, message)
    return UserError(f"{where}: {found or message}")


def _reject_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not valid JSON")


def _int_or_negative_zero(text: str) -> Any:
    # "-0" is the double -0.0 to the radar; Python would read the integer 0.
    return -0.0 if text == "-0" else int(text)


_DECODER = json.JSONDecoder(parse_constant=_reject_constant, parse_int=_int_or_negative_zero)
_ENCODE = json.JSONEncoder(
    separators=(",", ":"), ensure_ascii=True, allow_nan=False, check_circular=False
).encode


def loads(text: str) -> Any:
    """Python's reading of JSON text, kept to what the radar reads: "-0" as a double."""
    if "-0" not in text:
        try:
            return orjson.loads(text)
        except orjson.JSONDecodeError:
            pass
    return _DECODER.decode(text)


def dumps(value: Any) -> str:
    """Compact JSON; ASCII escapes keep a lone surrogate as text the radar reads."""
    return _ENCODE(value)


def _find_bad_event(scratch: Radar, text: str, message: str) -> Optional[str]:
    try:
        data = loads(text)
    except (ValueError, RecursionError):
        return None
    if not isinstance(data, dict):
        return None
    first: Optional[str] = None
    for symbol, events in data.items():
        place = f"symbol {dumps(symbol)}"
        if not isinstance(events, list):
            return f"{place}: {message}"
        index, found = first_bad_event(scratch, symbol, events)
        if index >= 0:
            line = f"{place}, event {index + 1}: {found}"
            if found == message:
                return line
            first = first or line
    return first


def first_bad_event(scratch: Radar, symbol: str, events: List[Any]) -> Tuple[int, str]:
    """Index and radar message of the first event of a list that does not decode."""
    for i, event in enumerate(events):
        try:
            request = dumps({"cmd": "feed", "symbol": symbol, "event": event})
        except ValueError:
            return i, "parse: number out of range"
        reply = scratch.command(request)
        if reply.startswith('{"error":'):
            return i, _error(reply)
    return -1, ""


def symbol_lists(text: str) -> Iterator[Tuple[str, List[Any]]]:
    """(symbol, events) of a scan-form text the radar has accepted, in text order."""
    data: Dict[str, List[Any]] = loads(text)
    yield from data.items()


def batch_request(symbol: str, events: List[Any]) -> str:
    return (
        '{"cmd":"feed_batch","symbol":' + dumps(symbol) + ',"events":' + _dump_events(events) + "}"
    )


def _dump_events(events: List[Any]) -> str:
    try:
        return orjson.dumps(events).decode("utf-8")
    except (orjson.JSONEncodeError, TypeError):
        return dumps(events)
