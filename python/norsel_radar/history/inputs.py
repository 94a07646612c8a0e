"""Reading recorded events: JSON Lines and the scan form (plain, gzip or
zstd), Parquet and Arrow IPC files, and in-memory tables.

Every source yields `Chunk`s: a table in the table form (`schema`) with,
for each row, where it came from (a line of JSON Lines, a row of a table, an
event of a symbol in the scan form), so that a bad row can be named. JSON is
read with orjson and each event checked by the radar's own rules; when an
event does not fit, the radar itself is asked for its message.
"""

from __future__ import annotations

import gzip
import io
import os
import re
from typing import IO, Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np
import orjson
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from .._norsel_radar import Radar
from ..cli.inputs import GZIP_MAGIC, ZSTD_MAGIC, looks_like_jsonl
from .errors import HistoryError
from .schema import COLUMNS, FIELDS, arrow_schema

__all__ = ["Chunk", "Source", "open_source", "read_table"]

PARQUET_MAGIC = b"PAR1"
ARROW_MAGIC = b"ARROW1"
#: JSON Lines decoded per table chunk.
LINES_PER_CHUNK = 1 << 16
I64_MIN = -(1 << 63)
I64_MAX = (1 << 63) - 1
#: A spec for the scratch radar that words the messages of bad events.
SCRATCH_SPEC = '{"signals":[{"kind":"funding_flip","params":[1]}]}'

PathLike = Union[str, "os.PathLike[str]"]


class Chunk:
    """Rows in the table form and where each one came from.

    ``style`` says how ``locs`` name a row: "line" (a line number of JSON
    Lines), "row" (a row index of a table, from 0) or "event" (the event's
    number in its symbol's list, from 1, in the scan form); ``file`` orders
    the inputs.
    """

    __slots__ = ("table", "where", "style", "locs", "file")

    def __init__(self, table: Any, where: str, style: str, locs: Any, file: int) -> None:
        self.table = table
        self.where = where
        self.style = style
        self.locs = locs
        self.file = file


def place(where: str, style: str, loc: int, symbol: Optional[str]) -> str:
    """A row's location as messages show it."""
    if style == "line":
        return f"{where}:{loc}"
    if style == "event":
        return f"{where}: symbol {orjson.dumps(symbol).decode()}, event {loc}"
    return f"{where}: row {loc}"


def ask(request: str) -> Optional[str]:
    """The radar's error message for a request; None if it takes it. The
    scratch radar lives only for this call (a radar kept in a frame that an
    exception's traceback holds could be dropped on another thread)."""
    reply = Radar(SCRATCH_SPEC).command(request)
    if reply.startswith('{"error":'):
        return str(orjson.loads(reply)["error"])
    return None


def radar_message(symbol: Any, event_text: str) -> Optional[str]:
    """The radar's error for an event given as JSON text; None if it takes it."""
    try:
        head = orjson.dumps(symbol if isinstance(symbol, str) else "").decode()
    except orjson.JSONEncodeError:
        head = '""'
    return ask('{"cmd":"feed","symbol":' + head + ',"event":' + event_text + "}")


# --------------------------------------------------------------------------
# events as the radar reads them


class _Bad(Exception):
    pass


def _number(value: Any) -> float:
    kind = type(value)
    if kind is float:
        if value - value != 0.0:  # infinite: "number out of range" to the radar
            raise _Bad
        return value  # type: ignore[no-any-return]
    if kind is int:
        try:
            return float(value)
        except OverflowError:
            raise _Bad from None
    raise _Bad


def _ts(value: Any) -> int:
    if type(value) is int and I64_MIN <= value <= I64_MAX:
        return int(value)
    raise _Bad


def _side(value: Any) -> str:
    if value == "buy" or value == "sell":
        if type(value) is str:
            return str(value)
    elif type(value) is dict and len(value) == 1:
        ((name, inner),) = value.items()
        if name in ("buy", "sell") and (inner is None or (type(inner) is dict and not inner)):
            return str(name)
    raise _Bad


#: An event in the table form's order: kind, ts, then the nine numbers and
#: side (None where the kind has no such field).
Row = Tuple[Any, ...]


#: Where each kind's fields go in a row (the table form's columns after symbol).
_SLOTS: Dict[str, Tuple[Tuple[str, int], ...]] = {
    kind: tuple((name, COLUMNS.index(name) - 1) for name in names) for kind, names in FIELDS.items()
}
_EMPTY_ROW: Row = (None,) * (len(COLUMNS) - 1)


def decode_event(event: Any) -> Row:
    """An event value (object or array form) as a row; raises _Bad for one
    that the radar refuses."""
    try:
        if type(event) is dict:
            kind, values = event["kind"], event
        elif type(event) is list and event:
            kind = event[0]
            if len(event) != len(FIELDS[kind]) + 2:
                raise _Bad
            values = dict(zip(("ts", *FIELDS[kind]), event[1:]))
        else:
            raise _Bad
        row = list(_EMPTY_ROW)
        row[0], row[1] = kind, _ts(values["ts"])
        for name, slot in _SLOTS[kind]:
            row[slot] = _side(values[name]) if name == "side" else _number(values[name])
        return tuple(row)
    except (KeyError, TypeError):
        raise _Bad from None


# "-0" is the double -0.0 to the radar, 0 to orjson: such text takes the slow road.
_NEGATIVE_ZERO = re.compile(rb"-0(?![0-9.eE])")


def _int_literal(text: str) -> Any:
    if text == "-0":
        return -0.0
    value = int(text)
    # Integers beyond 64 bits are doubles to the radar.
    return value if -(1 << 63) <= value < (1 << 64) else float(text)


def _slow_loads(data: bytes) -> Any:
    """JSON read as the radar reads it, for text orjson reads otherwise."""
    import json

    return json.loads(data.decode("utf-8"), parse_int=_int_literal)


def _loads(data: bytes) -> Tuple[Any, bool]:
    """The value and whether it came by the slow road."""
    if b"-0" in data and _NEGATIVE_ZERO.search(data):
        return _slow_loads(data), True
    try:
        return orjson.loads(data), False
    except orjson.JSONDecodeError:
        return _slow_loads(data), True


class _Rows:
    """Rows gathered column by column."""

    def __init__(self) -> None:
        self.symbols: List[str] = []
        self.rows: List[Row] = []
        self.locs: List[int] = []

    def __len__(self) -> int:
        return len(self.rows)

    def table(self) -> Any:
        columns: List[Any] = [self.symbols]
        columns.extend(zip(*self.rows) if self.rows else [[] for _ in COLUMNS[1:]])
        schema = arrow_schema()
        arrays = [pa.array(list(col), type=field.type) for col, field in zip(columns, schema)]
        return pa.Table.from_arrays(arrays, schema=schema)

    def chunk(self, where: str, style: str, file: int) -> Chunk:
        out = Chunk(self.table(), where, style, np.array(self.locs, dtype=np.int64), file)
        self.symbols, self.rows, self.locs = [], [], []
        return out


# --------------------------------------------------------------------------
# files


def _open(path: PathLike) -> Tuple[IO[bytes], bytes]:
    """A binary stream of the content (decompressed) and the raw magic bytes."""
    where = os.fspath(path)
    try:
        raw = open(where, "rb")  # noqa: SIM115 - returned to the caller
    except OSError as exc:
        raise HistoryError(f"{where}: {exc.strerror or exc}") from None
    magic = raw.read(8)
    raw.seek(0)
    if magic.startswith(GZIP_MAGIC):
        return gzip.GzipFile(fileobj=raw, mode="rb"), magic  # type: ignore[return-value]
    if magic.startswith(ZSTD_MAGIC):
        try:
            import zstandard
        except ImportError:
            raw.close()
            raise HistoryError(
                f"{where}: zstd-compressed; reading it needs the zstandard package"
            ) from None
        stream = zstandard.ZstdDecompressor().stream_reader(raw, closefd=True)
        return io.BufferedReader(stream), magic
    return raw, magic


def _read_error(where: str, exc: Exception) -> HistoryError:
    if isinstance(exc, OSError) and exc.strerror:
        return HistoryError(f"{where}: {exc.strerror}")
    if isinstance(exc, (EOFError, gzip.BadGzipFile)):
        return HistoryError(f"{where}: not a valid compressed stream ({exc})")
    return HistoryError(f"{where}: {exc}")


class Source:
    """Where events come from: files (any of the readable forms, read in
    order), or rows already in memory (`Chunk`s, which keep where each row
    came from). Picklable, so that partitions can read their part where they
    run."""

    def __init__(self, paths: Sequence[str] = (), chunks: Optional[List[Chunk]] = None) -> None:
        self.paths = list(paths)
        self.memory = chunks

    def __repr__(self) -> str:
        return f"Source({self.paths or 'in memory'!r})"

    def is_parquet_only(self) -> bool:
        return self.memory is None and all(_kind_of(p) == "parquet" for p in self.paths)

    def chunks(self, lo: Optional[str] = None, hi: Optional[str] = None) -> Iterator[Chunk]:
        """The rows, in input order; only the rows whose symbol is at or after
        ``lo`` and before ``hi`` (byte order) when they are given."""
        if self.memory is not None:
            for chunk in self.memory:
                part = _filter_chunk(chunk, lo, hi)
                if part.table.num_rows:
                    yield part
            return
        for index, path in enumerate(self.paths):
            kind = _kind_of(path)
            if kind == "parquet":
                yield from _parquet_chunks(path, index, lo, hi)
            elif kind == "arrow":
                yield from _table_chunks(_read_ipc(path), path, index, lo, hi)
            else:
                for chunk in _json_chunks(path, index):
                    part = _filter_chunk(chunk, lo, hi)
                    if part.table.num_rows:
                        yield part

    def in_memory(self) -> Source:
        """The same rows read into memory once (JSON is parsed once, not by
        every partition)."""
        if self.memory is not None:
            return self
        return Source(chunks=list(self.chunks()))


def _kind_of(path: str) -> str:
    try:
        with open(path, "rb") as f:
            magic = f.read(8)
    except OSError as exc:
        raise HistoryError(f"{path}: {exc.strerror or exc}") from None
    if magic.startswith(PARQUET_MAGIC):
        return "parquet"
    if magic.startswith(ARROW_MAGIC):
        return "arrow"
    return "json"


def _read_ipc(path: str) -> Any:
    try:
        with pa.memory_map(path) as source:
            return pa.ipc.open_file(source).read_all()
    except (OSError, pa.ArrowInvalid) as exc:
        raise _read_error(path, exc) from None


def _inside(values: Any, lo: Optional[str], hi: Optional[str]) -> Any:
    """Which text values lie in [lo, hi), as numpy booleans (null: no)."""
    mask = None
    if lo is not None:
        mask = pc.greater_equal(values, lo)
    if hi is not None:
        below = pc.less(values, hi)
        mask = below if mask is None else pc.and_(mask, below)
    assert mask is not None, "a range with neither end"
    return np.asarray(mask.fill_null(False).to_numpy(zero_copy_only=False), dtype=bool)


def _range_mask(symbols: Any, lo: Optional[str], hi: Optional[str]) -> Any:
    """Which rows' symbols lie in [lo, hi) (byte order), as numpy booleans."""
    if isinstance(symbols, pa.ChunkedArray):
        symbols = symbols.combine_chunks()
    if pa.types.is_dictionary(symbols.type):
        # Compared once per distinct symbol, then looked up per row.
        table = np.append(_inside(symbols.dictionary, lo, hi), False)
        indices = symbols.indices.fill_null(-1).to_numpy()
        return table[indices]
    return _inside(symbols, lo, hi)


def _filter_chunk(chunk: Chunk, lo: Optional[str], hi: Optional[str]) -> Chunk:
    if lo is None and hi is None:
        return chunk
    keep = _range_mask(chunk.table.column("symbol"), lo, hi)
    if keep.all():
        return chunk
    table = chunk.table.filter(pa.array(keep))
    return Chunk(table, chunk.where, chunk.style, chunk.locs[keep], chunk.file)


def _table_chunks(
    table: Any, where: str, file: int, lo: Optional[str], hi: Optional[str]
) -> Iterator[Chunk]:
    if "symbol" not in table.column_names:
        raise HistoryError(f"{where}: no column named symbol")
    step = 1 << 20
    for start in range(0, max(table.num_rows, 1), step):
        part = table.slice(start, step)
        locs = np.arange(start, start + part.num_rows, dtype=np.int64)
        chunk = _filter_chunk(Chunk(part, where, "row", locs, file), lo, hi)
        if chunk.table.num_rows:
            yield chunk


def _parquet_chunks(path: str, file: int, lo: Optional[str], hi: Optional[str]) -> Iterator[Chunk]:
    pf = parquet_file(path)
    names = pf.schema_arrow.names
    if "symbol" not in names:
        raise HistoryError(f"{path}: no column named symbol")
    columns = [c for c in COLUMNS if c in names]
    symbol_at = pf.schema_arrow.get_field_index("symbol")
    meta = pf.metadata
    offset = 0
    for group in range(meta.num_row_groups):
        rows = meta.row_group(group).num_rows
        start, offset = offset, offset + rows
        if lo is not None or hi is not None:
            stats = meta.row_group(group).column(symbol_at).statistics
            # Row groups of files sorted by symbol hold few symbols each: the
            # statistics let a partition skip the others unread.
            if stats is not None and stats.has_min_max and stats.null_count == 0:
                low, high = stats.min, stats.max
                if isinstance(low, bytes):
                    low, high = low.decode("utf-8", "replace"), high.decode("utf-8", "replace")
                if (lo is not None and high < lo) or (hi is not None and low >= hi):
                    continue
        try:
            table = pf.read_row_group(group, columns=columns, use_threads=False)
        except (OSError, pa.ArrowInvalid) as exc:
            raise _read_error(path, exc) from None
        locs = np.arange(start, start + rows, dtype=np.int64)
        chunk = _filter_chunk(Chunk(table, path, "row", locs, file), lo, hi)
        if chunk.table.num_rows:
            yield chunk


def parquet_file(path: str) -> Any:
    """A Parquet file whose text columns are read as dictionaries (as they
    are mostly stored): no string is made per row."""
    try:
        names = pq.read_schema(path).names
        text = [c for c in ("symbol", "kind", "side") if c in names]
        return pq.ParquetFile(path, read_dictionary=text)
    except (OSError, pa.ArrowInvalid) as exc:
        raise _read_error(path, exc) from None


def _json_chunks(path: str, file: int) -> Iterator[Chunk]:
    stream, _ = _open(path)
    try:
        head = stream.read(1 << 16)
        if head.startswith(b"\xef\xbb\xbf"):
            head = head[3:]
        if not head.strip():
            return
        if looks_like_jsonl(head):
            yield from _jsonl_chunks(_lines(head, stream), path, file)
        else:
            yield from _scan_form_chunks(head + stream.read(), path, file)
    except (OSError, EOFError, gzip.BadGzipFile) as exc:
        raise _read_error(path, exc) from None
    finally:
        stream.close()


def _lines(head: bytes, stream: IO[bytes]) -> Iterator[bytes]:
    """The lines of head + the rest of the stream, without their line feeds."""
    buf = head
    while True:
        piece = stream.read(1 << 20)
        if not piece:
            break
        buf += piece
        lines = buf.split(b"\n")
        buf = lines.pop()
        yield from lines
    yield from buf.split(b"\n")


def _jsonl_chunks(lines: Iterator[bytes], where: str, file: int) -> Iterator[Chunk]:
    rows = _Rows()
    for lineno, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            obj, slow = _loads(line)
            symbol = obj["symbol"]
            if type(symbol) is not str:
                raise TypeError
            row = decode_event(obj["event"])
            if slow and _line_message(line) is not None:  # checked by the radar itself
                raise _Bad
        except UnicodeDecodeError:
            raise HistoryError(f"{where}:{lineno}: not UTF-8 text") from None
        except (ValueError, KeyError, TypeError, _Bad):
            raise HistoryError(f"{where}:{lineno}: {_line_problem(line)}") from None
        rows.symbols.append(symbol)
        rows.rows.append(row)
        rows.locs.append(lineno)
        if len(rows) >= LINES_PER_CHUNK:
            yield rows.chunk(where, "line", file)
    if len(rows):
        yield rows.chunk(where, "line", file)


def _line_message(line: bytes) -> Optional[str]:
    text = line.decode("utf-8").strip()
    return ask('{"cmd":"feed",' + text[1:]) if text.startswith("{") else None


def _line_problem(line: bytes) -> str:
    """What is wrong with a line: the radar's syntax message, its message for
    the event, or what a line must hold."""
    try:
        text = line.decode("utf-8").strip()
    except UnicodeDecodeError:
        return "not UTF-8 text"
    syntax = ask(text)  # broken JSON: the reader's message and position in the line
    if syntax is not None and syntax.startswith("parse: ") and " at line " in syntax:
        return syntax
    try:
        obj, _ = _loads(line)
    except ValueError:
        obj = None
    if not (isinstance(obj, dict) and isinstance(obj.get("symbol"), str) and "event" in obj):
        return 'expected an object with "symbol" (a string) and "event"'
    return _line_message(line) or "the event does not fit"


def _scan_form_chunks(data: bytes, where: str, file: int) -> Iterator[Chunk]:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise HistoryError(f"{where}: not UTF-8 text (byte {exc.start})") from None
    # The radar checks the whole text first, in its own order, so that the
    # problem named is the one it meets first.
    problem = ask('{"cmd":"scan","events":' + text + "}")
    try:
        value, _ = _loads(data)
    except ValueError:
        value = None
    if problem is not None and not isinstance(value, dict):
        raise HistoryError(f"{where}: {problem}")
    if not isinstance(value, dict):
        raise HistoryError(f"{where}: expected an object of symbol to event list")
    if problem is not None:
        for symbol in sorted(value):
            events = value[symbol]
            if not isinstance(events, list):
                raise HistoryError(f"{where}: symbol {orjson.dumps(symbol).decode()}: {problem}")
            for index, event in enumerate(events, 1):
                message = radar_message(symbol, _event_text(event))
                if message is not None:
                    raise HistoryError(f"{place(where, 'event', index, symbol)}: {message}")
        raise HistoryError(f"{where}: {problem}")
    rows = _Rows()
    for symbol, events in value.items():
        for index, event in enumerate(events, 1):
            try:
                row = decode_event(event)
            except _Bad:
                message = radar_message(symbol, _event_text(event))
                raise HistoryError(
                    f"{place(where, 'event', index, symbol)}: {message or 'the event does not fit'}"
                ) from None
            rows.symbols.append(symbol)
            rows.rows.append(row)
            rows.locs.append(index)
        if len(rows) >= LINES_PER_CHUNK:
            yield rows.chunk(where, "event", file)
    if len(rows):
        yield rows.chunk(where, "event", file)


def _event_text(event: Any) -> str:
    try:
        return orjson.dumps(event).decode()
    except (orjson.JSONEncodeError, TypeError):
        import json

        return json.dumps(event, ensure_ascii=True)


# --------------------------------------------------------------------------
# sources


def open_source(events: Any) -> Source:
    """A Source for what `backtest` takes: a path or a list of paths, a
    pyarrow Table or RecordBatch, a pandas DataFrame, or a mapping of symbol
    to events (typed events or event objects, as in the scan form)."""
    if isinstance(events, Source):
        return events
    if isinstance(events, (str, os.PathLike)):
        return Source([os.fspath(events)])
    if isinstance(events, pa.RecordBatch):
        events = pa.Table.from_batches([events])
    if type(events).__name__ == "DataFrame" and hasattr(events, "to_dict"):
        events = pa.Table.from_pandas(events, preserve_index=False)
    if isinstance(events, pa.Table):
        return Source(chunks=list(_table_chunks(events, "<table>", 0, None, None)))
    if isinstance(events, dict) or (hasattr(events, "items") and hasattr(events, "keys")):
        return Source(chunks=[_mapping_chunk(events)])
    if isinstance(events, (list, tuple)) and all(isinstance(p, (str, os.PathLike)) for p in events):
        if not events:
            raise HistoryError("no input files")
        return Source([os.fspath(p) for p in events])
    raise TypeError(
        "events must be a path or a list of paths, a pyarrow Table, a pandas DataFrame or a"
        f" mapping of symbol to events; got {type(events).__name__}"
    )


def _mapping_chunk(events: Any) -> Chunk:
    rows = _Rows()
    for symbol, items in events.items():
        if not isinstance(symbol, str):
            raise TypeError(f"symbols must be str, got {type(symbol).__name__}")
        for index, event in enumerate(items, 1):
            value = event
            kind = getattr(event, "kind", None)
            if isinstance(event, tuple) and isinstance(kind, str):  # a typed event
                value = {"kind": kind, **event._asdict()}  # type: ignore[attr-defined]
            try:
                row = decode_event(value)
            except _Bad:
                message = radar_message(symbol, _event_text(value))
                raise HistoryError(
                    f"{place('<events>', 'event', index, symbol)}: "
                    f"{message or 'the event does not fit'}"
                ) from None
            rows.symbols.append(symbol)
            rows.rows.append(row)
            rows.locs.append(index)
    return rows.chunk("<events>", "event", 0)


def read_table(events: Any) -> Any:
    """All events of a source as one pyarrow Table in the table form (see
    `norsel_radar.history.schema`), rows in input order."""
    from .columns import normalize

    source = open_source(events)
    tables = [normalize(c.table, c.where) for c in source.chunks()]
    if not tables:
        return arrow_schema().empty_table()
    return pa.concat_tables(tables)
