"""JSON Lines of {"symbol":...,"event":{...}}: cut into per-symbol event texts.

The radar reads the events; this module only cuts the text. A block of lines
written plainly (every line `{"symbol":"S","event":{...}}` with a flat event
object, the layout orjson, JSON.stringify or json.dumps write) is cut with a
few passes over the whole block: the event texts are sliced out, never
decoded, and grouped by symbol. Any other block is read line by line, each
line sent to the radar as it is written. Errors are found line by line either
way, so they name the line and count columns in that line's own text.
"""

from __future__ import annotations

import re
from collections import defaultdict, deque
from collections.abc import Iterable, Iterator
from typing import Dict, List, Optional, Tuple

import orjson

from .._norsel_radar import Radar
from .errors import UserError
from .inputs import Input

EXPECTED_OBJECT = 'expected an object with "symbol" (a string) and "event"'
OK = '{"ok":true}'

# Every byte that is not structural is deleted to see a block's shape; a plain
# line has the shape "{{}}\n". Closing braces read as opening ones let one
# split cut each line into: before "{", the key part, the event's inside, "",
# and the line end.
_STRUCTURAL = b"{}[]\n"
_NON_STRUCTURAL = bytes(c for c in range(256) if c not in _STRUCTURAL)
_CLOSE_AS_OPEN = bytes.maketrans(b"}", b"{")
_LINE_SHAPE = b"{{}}\n"
_WS = rb"[ \t\r]*"
_KEY_PART = re.compile(
    _WS + rb'"symbol"' + _WS + b":" + _WS + rb'("[^"\\\x00-\x1f]*")' + _WS + b","
    + _WS + rb'"event"' + _WS + b":" + _WS
)  # fmt: skip
TS = re.compile(rb'"ts"[ \t]*:[ \t]*(-?[0-9]+)[ \t]*[,}]')


class Block:
    """Consecutive lines of the input.

    A plain block holds, per line, the key part ("symbol":"S","event":) and
    the inside of the event object; any other block holds its non-blank lines.
    """

    __slots__ = ("first_line", "nlines", "text", "parts", "bodies", "lines", "start", "stop")

    def __init__(
        self,
        first_line: int,
        nlines: int,
        text: bytes,
        parts: Optional[List[bytes]] = None,
        bodies: Optional[List[bytes]] = None,
        lines: Optional[List[Tuple[int, bytes]]] = None,
    ) -> None:
        self.first_line = first_line
        self.nlines = nlines
        self.text = text
        self.parts = parts
        self.bodies = bodies
        self.lines = lines
        self.start = 0  # the events of this block still to feed: [start, stop)
        self.stop = len(bodies) if bodies is not None else len(lines or ())

    @property
    def count(self) -> int:
        return self.stop - self.start

    def line_texts(self, start: int, stop: int) -> List[Tuple[int, bytes]]:
        """(line number, text) of events [start, stop) of the block."""
        if self.lines is not None:
            return self.lines[start:stop]
        rows = self.text.split(b"\n")[start:stop]
        return [(self.first_line + start + i, row) for i, row in enumerate(rows)]

    def timestamps(self) -> Optional[List[int]]:
        """The "ts" of each event, or None where one cannot be read off the text."""
        if self.bodies is not None:
            found = TS.findall(self.text)
            if len(found) == len(self.bodies):
                return list(map(int, found))
        stamps: List[int] = []
        for _, text in self.line_texts(0, self.stop):
            ts = line_ts(text)
            if ts is None:
                return None
            stamps.append(ts)
        return stamps


def line_ts(text: bytes) -> Optional[int]:
    try:
        event = orjson.loads(text)["event"]
        ts = event["ts"] if isinstance(event, dict) else event[1]
    except (orjson.JSONDecodeError, KeyError, IndexError, TypeError):
        return None
    return ts if isinstance(ts, int) else None


def cut_plain(text: bytes) -> Optional[Tuple[List[bytes], List[bytes]]]:
    """(key part, event inside) per line when every line of ``text`` (which
    ends with a newline) is written plainly; None otherwise.

    The shape check leaves every line with exactly two "{", two "}" and no
    bracket, in that order, so each event inside is free of braces, brackets
    and newlines: sent as "{inside}" between newlines it is one object or an
    error, never a piece of another.
    """
    shape = text.translate(None, _NON_STRUCTURAL)
    n = len(shape) // 5
    if shape != _LINE_SHAPE * n:
        return None
    parts = text.translate(_CLOSE_AS_OPEN).split(b"{")
    if len(parts) != 4 * n + 1 or parts[0] or any(parts[3::4]):
        return None
    ends = parts[4::4]
    if ends.count(b"\n") != n and ends.count(b"\n") + ends.count(b"\r\n") != n:
        return None
    return parts[1::4], parts[2::4]


class KeyCache:
    """The symbol (as JSON text) of each key part seen, None for a key part
    that is not plainly written."""

    def __init__(self) -> None:
        self._known: Dict[bytes, Optional[bytes]] = {}

    def symbol(self, part: bytes) -> Optional[bytes]:
        try:
            return self._known[part]
        except KeyError:
            m = _KEY_PART.fullmatch(part)
            key = m.group(1) if m is not None else None
            if len(self._known) < 1 << 20:
                self._known[part] = key
            return key


def group(parts: List[bytes], bodies: List[bytes]) -> Dict[bytes, List[bytes]]:
    """Event insides by key part, in order of first appearance."""
    groups: Dict[bytes, List[bytes]] = defaultdict(list)
    deque(map(list.append, map(groups.__getitem__, parts), bodies), maxlen=0)
    return groups


def blocks(inp: Input, size: int, keys: KeyCache) -> Iterator[Block]:
    """The input as blocks of whole lines, about ``size`` bytes each."""
    lineno = 1
    pending: List[bytes] = []
    held = 0
    for piece in inp.chunks():
        held += len(piece)
        if held < size:
            pending.append(piece)
            continue
        cut = piece.rfind(b"\n") + 1
        if cut == 0:  # no line ends in this piece: read on
            pending.append(piece)
            continue
        # One copy: the pieces before, and this one up to its last line end.
        pending.append(piece[:cut] if cut < len(piece) else piece)
        block = make_block(lineno, b"".join(pending), keys)
        lineno += block.nlines
        yield block
        rest = piece[cut:]
        pending, held = ([rest], len(rest)) if rest else ([], 0)
    if pending:
        data = b"".join(pending)
        if data.strip():
            yield make_block(lineno, data if data.endswith(b"\n") else data + b"\n", keys)


def make_block(lineno: int, text: bytes, keys: KeyCache) -> Block:
    # The key parts are checked when the block is fed, once per symbol.
    cut = cut_plain(text)
    if cut is not None:
        parts, bodies = cut
        return Block(lineno, len(bodies), text, parts, bodies)
    rows = text.split(b"\n")
    rows.pop()  # after the last newline
    lines = [(lineno + i, row) for i, row in enumerate(rows) if row.strip()]
    return Block(lineno, len(rows), text, lines=lines)


# --------------------------------------------------------------------------
# requests and exact errors


def batch_request(symbol: bytes, insides: List[bytes]) -> bytes:
    """A "feed_batch" request of events given by their insides, built in one
    copy. Newlines between the events keep a string left open in one from
    reaching the next."""
    head = b'{"cmd":"feed_batch","symbol":' + symbol + b',"events":[{'
    if len(insides) == 1:
        return head + insides[0] + b"}]}"
    return b"},\n{".join([head + insides[0], *insides[1:-1], insides[-1] + b"}]}"])


def feed_request(line: str) -> Optional[str]:
    """The "feed" request that a line of JSON Lines stands for, or None.

    The line itself is the request, with "cmd" added last (so that it wins
    over a "cmd" the line may hold): positions in the radar's messages are
    then positions in the line.
    """
    text = line.rstrip()
    if not text.lstrip().startswith("{") or not text.endswith("}"):
        return None
    if not text[text.index("{") + 1 : -1].strip():
        return None
    return text[:-1] + ',"cmd":"feed"}'


def _error_text(reply: str) -> str:
    return str(orjson.loads(reply)["error"])


def _positioned(message: str) -> bool:
    return message.startswith("parse: ") and " at line " in message


def line_error(scratch: Radar, raw: bytes) -> Optional[str]:
    """The message for one line of JSON Lines, or None when the radar takes it."""
    try:
        line = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        return f"not UTF-8 text (byte {exc.start + 1} of the line)"
    line = line.rstrip("\r\n")
    if not line.strip():
        return None
    request = feed_request(line)
    if request is not None:
        reply = scratch.command(request)
        if reply == OK:
            return None
        message = _error_text(reply)
        if not _positioned(message):
            return EXPECTED_OBJECT if message.startswith("bad spec: ") else message
    # The line alone, for the reader's own message about its text.
    reply = scratch.command(line)
    if reply.startswith('{"error":'):
        own = _error_text(reply)
        if _positioned(own):
            return own
    return EXPECTED_OBJECT if request is None else message


def locate(scratch: Radar, where: str, rows: Iterable[Tuple[int, bytes]]) -> UserError:
    """The error for the first line among ``rows`` that the radar refuses."""
    for lineno, raw in rows:
        message = line_error(scratch, raw)
        if message is not None:
            return UserError(f"{where}:{lineno}: {message}")
    return UserError(f"{where}: the radar refused the events but no line alone is wrong")


class Feeder:
    """Feeds blocks of JSON Lines to a radar: plain blocks as one "feed_batch"
    per symbol, other blocks line by line."""

    def __init__(self, radar: Radar, scratch: Radar, where: str, keys: KeyCache) -> None:
        self.radar = radar
        self.scratch = scratch
        self.where = where
        self.keys = keys
        self.events = 0

    def feed(self, block: Block, stop: Optional[int] = None) -> None:
        """Feeds the block's events up to ``stop`` (all by default)."""
        start, stop = block.start, block.stop if stop is None else stop
        if stop <= start:
            return
        groups = None
        if block.parts is not None and block.bodies is not None:
            if start == 0 and stop == block.stop:
                groups = group(block.parts, block.bodies)
            else:
                groups = group(block.parts[start:stop], block.bodies[start:stop])
            if all(map(self.keys.symbol, groups)):
                self._feed_groups(block, start, stop, groups)
            else:  # a symbol not written plainly: line by line
                groups = None
        if groups is None:
            command = self.radar.command
            for lineno, raw in block.line_texts(start, stop):
                try:
                    request = feed_request(raw.decode("utf-8"))
                except UnicodeDecodeError:
                    request = None
                if request is None or command(request) != OK:
                    raise locate(self.scratch, self.where, [(lineno, raw)])
        block.start = stop
        self.events += stop - start

    def _feed_groups(
        self, block: Block, start: int, stop: int, groups: Dict[bytes, List[bytes]]
    ) -> None:
        command = self.radar.command
        symbol = self.keys.symbol
        for part, bodies in groups.items():
            request = batch_request(symbol(part) or b"", bodies)
            try:
                ok = command(request.decode("utf-8")) == OK
            except UnicodeDecodeError:
                ok = False
            if not ok:
                raise locate(self.scratch, self.where, block.line_texts(start, stop))
