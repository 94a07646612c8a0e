"""Checked events in compact columns: what a partition replays.

Tables of any readable shape are brought to the table form (`normalize`),
every row is checked as the radar would check the event (a bad one raises
`HistoryError` naming its file and row, with the radar's message), and what
decides the symbol states is kept in numpy columns: symbol code, kind, ts,
and up to three numbers (open interest, funding rate and mark price;
bid and ask volume; liquidated quantity). Best bid, best ask, side and price
are checked and then dropped: a state never keeps them.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np
import orjson
import pyarrow as pa

from .errors import HistoryError
from .inputs import Chunk, place, radar_message
from .schema import FIELDS, KINDS, arrow_schema

__all__ = ["Columns", "OutOfOrder", "build", "normalize"]

DERIVATIVES, ORDERBOOK, LIQUIDATION = 0, 1, 2
#: The numbers each kind keeps, in the order of v0, v1, v2.
KEPT: Tuple[Tuple[str, ...], ...] = (
    ("open_interest", "funding_rate", "mark_price"),
    ("bid_volume", "ask_volume"),
    ("qty",),
)
_MS_PER_UNIT = {"s": 1000, "ms": 1, "us": 1000, "ns": 1_000_000}


def _text(col: Any, name: str, where: str, plain: bool) -> Any:
    kind = col.type
    if pa.types.is_dictionary(kind):
        if not _is_text(kind.value_type):
            raise HistoryError(f"{where}: column {name} must hold text, found {kind}")
        if not plain:  # kept as it is: checks and codes work on the dictionary
            return col
        return col.cast(pa.string())
    if pa.types.is_string(kind):
        return col
    if _is_text(kind):
        return col.cast(pa.string())
    raise HistoryError(f"{where}: column {name} must hold text, found {kind}")


def _is_text(kind: Any) -> bool:
    return bool(
        pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_string_view(kind)
    )


def _timestamps(col: Any, where: str) -> Any:
    kind = col.type
    if pa.types.is_dictionary(kind):
        col = col.cast(kind.value_type)
        kind = col.type
    if pa.types.is_integer(kind):
        try:
            return col.cast(pa.int64())
        except pa.ArrowInvalid:
            raise HistoryError(f"{where}: column ts holds integers beyond 64 bits") from None
    if pa.types.is_timestamp(kind):
        raw = np.asarray(col.cast(pa.int64()).fill_null(0).to_numpy())
        if kind.unit in ("us", "ns"):
            raw = np.floor_divide(raw, _MS_PER_UNIT[kind.unit])
        elif kind.unit == "s":
            raw = raw * 1000
        return pa.array(raw, type=pa.int64(), mask=np.asarray(col.is_null()))
    raise HistoryError(
        f"{where}: column ts must hold integer milliseconds or timestamps, found {kind}"
    )


def _numbers(col: Any, name: str, where: str) -> Any:
    kind = col.type
    if pa.types.is_dictionary(kind):
        col = col.cast(kind.value_type)
        kind = col.type
    if pa.types.is_float64(kind):
        return col
    if pa.types.is_floating(kind) or pa.types.is_integer(kind) or pa.types.is_decimal(kind):
        return col.cast(pa.float64(), safe=False)
    raise HistoryError(f"{where}: column {name} must hold numbers, found {kind}")


def normalize(table: Any, where: str, plain: bool = True) -> Any:
    """A table in the table form: the columns of `schema` in their order and
    types (absent ones all null), other columns dropped. With ``plain``
    false, dictionary-encoded text columns stay so."""
    n = table.num_rows
    arrays = []
    for field in arrow_schema():
        name = field.name
        if name not in table.column_names:
            arrays.append(pa.nulls(n, field.type))
            continue
        col = table.column(name)
        col = col.combine_chunks() if col.num_chunks != 1 else col.chunk(0)
        if pa.types.is_null(col.type):
            arrays.append(pa.nulls(n, field.type))
        elif name in ("symbol", "kind", "side"):
            arrays.append(_text(col, name, where, plain))
        elif name == "ts":
            arrays.append(_timestamps(col, where))
        else:
            arrays.append(_numbers(col, name, where))
    if plain:
        return pa.Table.from_arrays(arrays, schema=arrow_schema())
    return pa.Table.from_arrays(arrays, names=[f.name for f in arrow_schema()])


def _coded(col: Any) -> Tuple[Any, List[Any]]:
    """Codes (numpy, -1 for null) and the values they stand for, of a text column."""
    if not pa.types.is_dictionary(col.type):
        col = col.dictionary_encode()
    values = col.dictionary.to_pylist()
    indices = col.indices
    if indices.null_count:
        codes = np.asarray(indices.fill_null(-1).to_numpy(), dtype=np.int64)
    else:
        codes = np.asarray(indices.to_numpy(), dtype=np.int64)
    return codes, values


def _values(col: Any) -> Tuple[Any, Optional[Any]]:
    """A float64 column's values (zero copy; anything where null) and, when it
    has nulls, which rows are valid."""
    if col.null_count == 0:
        return col.to_numpy(), None
    data = np.frombuffer(col.buffers()[1], dtype=np.float64)[col.offset : col.offset + len(col)]
    return data, np.asarray(col.is_valid())


def _event_value(table: Any, row: int) -> Dict[str, Any]:
    kind = table.column("kind")[row].as_py()
    value: Dict[str, Any] = {"kind": kind, "ts": table.column("ts")[row].as_py()}
    for name in FIELDS.get(kind, ()):
        value[name] = table.column(name)[row].as_py()
    return value


def _row_problem(table: Any, row: int) -> str:
    value = _event_value(table, row)
    for name, x in value.items():
        if isinstance(x, float) and x - x != 0.0:
            return f"{name} is {x}, which JSON cannot carry to the radar"
    symbol = table.column("symbol")[row].as_py()
    message = radar_message(symbol, orjson.dumps(value).decode())
    return message or "the event does not fit"


class Checked:
    """One chunk's rows, checked, in compact columns."""

    __slots__ = (
        "symbols",
        "codes",
        "kind",
        "ts",
        "v0",
        "v1",
        "v2",
        "where",
        "style",
        "locs",
        "file",
    )
    symbols: List[str]
    codes: Any
    kind: Any
    ts: Any
    v0: Any
    v1: Any
    v2: Any
    where: str
    style: str
    locs: Any
    file: int


def check(chunk: Chunk) -> Checked:
    """A chunk's rows checked as the radar checks events, compacted."""
    table = normalize(chunk.table, chunk.where, plain=False)
    n = table.num_rows
    col = table.column
    symbols, names = _coded(col("symbol").chunk(0) if n else pa.array([], pa.string()))
    bad: List[int] = []  # the first bad row of each check
    if n and int(symbols.min()) < 0:
        row = int(np.argmax(symbols < 0))
        raise HistoryError(
            f"{place(chunk.where, chunk.style, int(chunk.locs[row]), None)}: symbol is null"
        )
    kinds, kind_names = _coded(col("kind").chunk(0) if n else pa.array([], pa.string()))
    lookup = np.array(
        [KINDS.index(k) if k in KINDS else -1 for k in kind_names] + [-1], dtype=np.int8
    )
    kind = lookup[kinds]
    unknown = kind < 0
    if unknown.any():
        bad.append(int(np.argmax(unknown)))
    ts_col = col("ts").chunk(0) if n else pa.array([], pa.int64())
    if ts_col.null_count:
        bad.append(int(np.argmax(np.asarray(ts_col.is_null()))))
    ts = np.asarray(
        ts_col.fill_null(0).to_numpy() if ts_col.null_count else ts_col.to_numpy(), dtype=np.int64
    )
    out = Checked()
    v = [np.zeros(n, dtype=np.float64) for _ in range(3)]
    for code, name in enumerate(KINDS):
        rows = np.flatnonzero(kind == code)
        if not len(rows):
            continue
        for field in FIELDS[name]:
            if field == "side":
                sides, side_names = _coded(col("side").chunk(0))
                ok = np.array([s in ("buy", "sell") for s in side_names] + [False])
                wrong = ~ok[sides[rows]]
                if wrong.any():
                    bad.append(int(rows[np.argmax(wrong)]))
                continue
            data, valid = _values(col(field).chunk(0))
            picked = data[rows]
            wrong = ~np.isfinite(picked)
            if valid is not None:
                wrong |= ~valid[rows]
            if wrong.any():
                bad.append(int(rows[np.argmax(wrong)]))
            if field in KEPT[code]:
                v[KEPT[code].index(field)][rows] = picked
    if bad:
        row = min(bad)
        message = _row_problem(table, row)
        symbol = names[symbols[row]]
        where = place(chunk.where, chunk.style, int(chunk.locs[row]), symbol)
        raise HistoryError(f"{where}: {message}")
    out.symbols = names
    out.codes = symbols.astype(np.int32)
    out.kind = kind
    out.ts = ts
    out.v0, out.v1, out.v2 = v
    out.where, out.style, out.locs, out.file = chunk.where, chunk.style, chunk.locs, chunk.file
    return out


class OutOfOrder:
    """Events whose timestamp is older than an earlier event of their symbol:
    how many, and the first of them in input order (with the newest
    timestamp seen before it)."""

    __slots__ = ("count", "first", "symbol", "ts", "previous", "_key")

    def __init__(
        self, count: int, first: str, symbol: str, ts: int, previous: int, key: Tuple[int, int]
    ) -> None:
        self.count = count
        self.first = first
        self.symbol = symbol
        self.ts = ts
        self.previous = previous
        self._key = key

    def __repr__(self) -> str:
        return f"OutOfOrder(count={self.count}, first={self.first!r})"

    def __str__(self) -> str:
        plural = "" if self.count == 1 else "s"
        return (
            f"{self.count} event{plural} out of timestamp order within their symbol, sorted"
            f" into place; the first at {self.first}: ts {self.ts} after {self.previous}"
            f" ({self.symbol})"
        )

    def __getstate__(self) -> Tuple[Any, ...]:
        return (self.count, self.first, self.symbol, self.ts, self.previous, self._key)

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        self.count, self.first, self.symbol, self.ts, self.previous, self._key = state

    @staticmethod
    def combine(parts: Iterable[Optional[OutOfOrder]]) -> Optional[OutOfOrder]:
        found = [p for p in parts if p is not None]
        if not found:
            return None
        first = min(found, key=lambda p: p._key)
        return OutOfOrder(
            sum(p.count for p in found),
            first.first,
            first.symbol,
            first.ts,
            first.previous,
            first._key,
        )


class Columns:
    """A partition's events: symbol codes, kinds, timestamps and the kept
    numbers, in input order (files in order, rows in order)."""

    __slots__ = ("symbols", "sym", "kind", "ts", "v0", "v1", "v2", "_spans")

    def __init__(self) -> None:
        self.symbols: List[str] = []
        self.sym: Any = np.zeros(0, dtype=np.int32)
        self.kind: Any = np.zeros(0, dtype=np.int8)
        self.ts: Any = np.zeros(0, dtype=np.int64)
        self.v0: Any = np.zeros(0, dtype=np.float64)
        self.v1: Any = self.v0
        self.v2: Any = self.v0
        # (first position, where, style, locs, file) of each chunk
        self._spans: List[Tuple[int, str, str, Any, int]] = []

    def __len__(self) -> int:
        return len(self.ts)

    def release(self) -> None:
        """Lets the event columns go (symbols and positions stay)."""
        self.sym = self.sym[:0].copy()
        self.kind = self.kind[:0].copy()
        self.ts = self.ts[:0].copy()
        self.v0 = self.v1 = self.v2 = self.v0[:0].copy()

    def locate(self, pos: int) -> Tuple[str, Tuple[int, int]]:
        """Where the event at a position came from, and a key that orders
        positions across partitions (file, then row)."""
        starts = [s[0] for s in self._spans]
        i = int(np.searchsorted(starts, pos, side="right")) - 1
        start, where, style, locs, file = self._spans[i]
        loc = int(locs[pos - start])
        return place(where, style, loc, self.symbols[int(self.sym[pos])]), (file, loc)

    def out_of_order(self, order: Optional[Any]) -> Optional[OutOfOrder]:
        """Given the positions grouped by symbol in input order (None: they
        are), the events older than an earlier event of their symbol."""
        sym = self.sym if order is None else self.sym[order]
        ts = self.ts if order is None else self.ts[order]
        if not bool(((sym[1:] == sym[:-1]) & (ts[1:] < ts[:-1])).any()):
            return None
        # Against the newest earlier event of the symbol: a running maximum per symbol.
        cuts = np.flatnonzero(sym[1:] != sym[:-1]) + 1
        newest = np.concatenate([np.maximum.accumulate(part) for part in np.split(ts, cuts)])
        late = np.zeros(len(ts), dtype=bool)
        late[1:] = (sym[1:] == sym[:-1]) & (ts[1:] < newest[:-1])
        hits = np.flatnonzero(late)
        positions = hits if order is None else order[hits]
        k = int(np.argmin(positions))
        pos = int(positions[k])
        where, key = self.locate(pos)
        return OutOfOrder(
            len(hits),
            where,
            self.symbols[int(self.sym[pos])],
            int(self.ts[pos]),
            int(newest[hits[k] - 1]),
            key,
        )


def build(chunks: Iterable[Chunk]) -> Columns:
    """Checked columns of all the chunks' rows."""
    out = Columns()
    index: Dict[str, int] = {}
    parts: List[Checked] = []
    pos = 0
    for chunk in chunks:
        part = check(chunk)
        lut = np.array([index.setdefault(s, len(index)) for s in part.symbols], dtype=np.int32)
        part.codes = lut[part.codes] if len(lut) else part.codes
        out._spans.append((pos, part.where, part.style, part.locs, part.file))
        pos += len(part.ts)
        parts.append(part)
    out.symbols = list(index)
    if parts:
        # Column by column, each part's piece let go once copied: the peak
        # is the parts plus one column, not twice the whole.
        for name, attr in (
            ("sym", "codes"),
            ("kind", "kind"),
            ("ts", "ts"),
            ("v0", "v0"),
            ("v1", "v1"),
            ("v2", "v2"),
        ):
            setattr(out, name, np.concatenate([getattr(p, attr) for p in parts]))
            for p in parts:
                setattr(p, attr, None)
        out.sym = out.sym.astype(np.int32, copy=False)
    return out
