"""backtest: a RadarSpec replayed over recorded events, evaluated at
checkpoints on market time, in one process or in partitions.

The plan: checkpoints every ``every`` milliseconds of ``ts`` (multiples of
``every`` from the first at or after the oldest event, or ``start``, to the
first at or after the newest, or ``end``); symbols cut into contiguous
byte-order ranges holding about the same number of events; each range
replayed by one radar (`engine.replay`); the partitions' lists joined at
every checkpoint (`timeline.assemble`).
"""

from __future__ import annotations

import datetime as _dt
import re
from typing import Any, Callable, List, Optional, Tuple, Union

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from ..cli.table import parse_duration as duration_ms
from ..screener import as_spec
from ..types import Spec, to_timestamp
from .columns import build
from .engine import Partial, replay, window_of
from .errors import HistoryError
from .inputs import Source, open_source, parquet_file
from .timeline import Timeline, assemble

__all__ = ["Plan", "backtest", "parse_duration", "parse_time"]

I64_MIN = -(1 << 63)
I64_MAX = (1 << 63) - 1
#: Most checkpoints of one timeline.
MAX_CHECKPOINTS = 50_000_000

ProgressFn = Callable[[int, int], None]
Time = Union[int, str, _dt.datetime]


def parse_duration(every: Union[int, str]) -> int:
    """Milliseconds of a checkpoint interval: an int (milliseconds) or a text
    such as "250ms", "30s", "1m", "4h", "1d", "1w" (a bare number is
    milliseconds)."""
    if isinstance(every, bool):
        raise TypeError("every must be milliseconds (int) or a duration text such as '1m'")
    if isinstance(every, int):
        ms = every
    elif isinstance(every, str):
        text = every.strip()
        bare = re.fullmatch(r"\d+(?:\.\d+)?", text)  # milliseconds
        parsed = round(float(text)) if bare else duration_ms(text)
        if parsed is None:
            raise HistoryError(f"every: {every!r} is not a duration (250ms, 30s, 1m, 4h, 1d, 1w)")
        ms = parsed
    else:
        raise TypeError(f"every must be milliseconds (int) or a duration text, got {every!r}")
    if ms <= 0:
        raise HistoryError(f"every: {every!r} must be greater than zero")
    return ms


def parse_time(value: Time, what: str) -> int:
    """Milliseconds since the Unix epoch of an int (taken as is), a datetime
    (naive: UTC) or an ISO 8601 text ("2024-06-01", "2024-06-01T12:30Z")."""
    if isinstance(value, str):
        text = value.strip()
        if re.fullmatch(r"-?\d+", text):
            return int(text)
        try:
            when = _dt.datetime.fromisoformat(text.replace("Z", "+00:00"))
        except ValueError:
            raise HistoryError(
                f"{what}: {value!r} is neither milliseconds nor an ISO 8601 time"
            ) from None
        return to_timestamp(when, what)
    return to_timestamp(value, what)


def checkpoints(lo: int, hi: int, every: int, start: Optional[int], end: Optional[int]) -> Any:
    """The checkpoint times, for events from ``lo`` to ``hi``: multiples of
    ``every`` from the first at or after ``start`` (default: the oldest
    event) to the last at or before ``end`` (default: the first at or after
    the newest event, so that every event is seen)."""
    first_at = lo if start is None else start
    first = -(-first_at // every) * every
    if end is None:
        last = max(-(-hi // every) * every, first)
    else:
        last = end // every * every
        if last < first:
            raise HistoryError(f"no checkpoint between {first_at} and {end}")
    capped = last > I64_MAX  # only the newest possible timestamp gets here
    last = min(last, I64_MAX)
    count = (last - first) // every + 1
    if count > MAX_CHECKPOINTS:
        raise HistoryError(
            f"{count:,} checkpoints every {every} ms: more than {MAX_CHECKPOINTS:,};"
            " choose a longer interval or a narrower range"
        )
    grid = first + every * np.arange(count, dtype=np.int64)
    if capped and int(grid[-1]) != I64_MAX:
        grid = np.append(grid, np.int64(I64_MAX))
    return grid


class Plan:
    """What the partitions share: checkpoints, and each partition's symbol range."""

    def __init__(
        self, spec: Spec, every: int, grid: Any, ranges: List[Tuple[Range, int]], events: int
    ) -> None:
        self.spec = spec
        self.events = events
        self.spec_json = spec.to_json()
        self.every = every
        self.grid = grid
        self.ranges = ranges
        self.window = window_of(spec)

    def grid_args(self) -> Tuple[int, int, int, int]:
        """The checkpoints as (first, step, count, last): small enough to travel."""
        return (int(self.grid[0]), self.every, len(self.grid), int(self.grid[-1]))


def grid_from(args: Tuple[int, int, int, int]) -> Any:
    first, step, count, last = args
    grid = first + step * np.arange(count, dtype=np.int64)
    if count and int(grid[-1]) != last:
        grid[-1] = last
    return grid


def run_partition(
    source: Source,
    lo: Optional[str],
    hi: Optional[str],
    spec_json: str,
    grid_args: Tuple[int, int, int, int],
    window: int,
    labels: Tuple[str, ...],
    progress: Optional[Callable[[int], None]] = None,
) -> Partial:
    """One partition: read its symbols' events, replay them, report."""
    columns = build(source.chunks(lo, hi))
    return replay(columns, spec_json, grid_from(grid_args), window, labels, progress)


#: Symbols and the events they hold: (first symbol, last symbol, events);
#: first == last where the count is known per symbol.
Unit = Tuple[str, str, int]
#: A partition's symbols: from ``lo`` (inclusive) to ``hi`` (exclusive),
#: byte order; None is open.
Range = Tuple[Optional[str], Optional[str]]


class Survey:
    """Where the events lie, for the plan: symbols with their event counts
    (or row groups of a Parquet file sorted by symbol: a range of symbols and
    its rows) and the range of timestamps."""

    def __init__(self) -> None:
        self.units: List[Unit] = []
        self.lo = I64_MAX
        self.hi = I64_MIN
        self.rows = 0

    def add_symbols(self, symbols: Any, where: str, locs: Any, style: str) -> None:
        from .inputs import place

        if symbols.null_count:
            row = int(np.flatnonzero(np.asarray(symbols.is_null()))[0])
            raise HistoryError(f"{place(where, style, int(locs[row]), None)}: symbol is null")
        if pa.types.is_dictionary(symbols.type):
            found = np.bincount(symbols.indices.to_numpy(), minlength=len(symbols.dictionary))
            pairs = zip(symbols.dictionary.to_pylist(), found.tolist())
        else:
            counts = pc.value_counts(symbols)
            pairs = zip(counts.field("values").to_pylist(), counts.field("counts").to_pylist())
        self.units += [(value, value, n) for value, n in pairs if n]
        self.rows += len(symbols)

    def add_times(self, ts: Any, where: str) -> None:
        from .columns import _timestamps

        if ts is None or not len(ts) or ts.null_count == len(ts):
            return
        bounds = pc.min_max(_timestamps(ts, where))
        self.lo = min(self.lo, bounds["min"].as_py())
        self.hi = max(self.hi, bounds["max"].as_py())

    def merge(self, other: Survey) -> None:
        self.units += other.units
        self.lo = min(self.lo, other.lo)
        self.hi = max(self.hi, other.hi)
        self.rows += other.rows


def _from_metadata(path: str, out: Survey) -> bool:
    """The survey of a Parquet file from its row groups' statistics alone,
    when they tell enough: every row group with symbol and integer ts
    bounds, no null symbol, and row groups that do not overlap in symbols
    (a file sorted by symbol, as convert writes it)."""
    meta = pq.read_metadata(path)
    schema = meta.schema.to_arrow_schema()
    names = schema.names
    if (
        "symbol" not in names
        or "ts" not in names
        or not pa.types.is_integer(schema.field("ts").type)
    ):
        return False
    at_symbol, at_ts = names.index("symbol"), names.index("ts")
    units: List[Unit] = []
    lo, hi = I64_MAX, I64_MIN
    for group in range(meta.num_row_groups):
        rg = meta.row_group(group)
        if not rg.num_rows:
            continue
        sym, ts = rg.column(at_symbol).statistics, rg.column(at_ts).statistics
        if sym is None or ts is None or not (sym.has_min_max and ts.has_min_max):
            return False
        if sym.null_count != 0:  # found and named when the column is read
            return False
        first, last = sym.min, sym.max
        if isinstance(first, bytes) or isinstance(last, bytes):
            return False
        units.append((first, last, rg.num_rows))
        lo, hi = min(lo, ts.min), max(hi, ts.max)
    units.sort()
    if any(a[1] > b[0] for a, b in zip(units, units[1:])):
        return False
    out.units += units
    out.lo, out.hi = min(out.lo, lo), max(out.hi, hi)
    out.rows += sum(u[2] for u in units)
    return True


def survey(source: Source) -> Survey:
    """Where the events of a source lie. Parquet files sorted by symbol are
    surveyed from their metadata; other Parquet files by reading their symbol
    and ts columns; other inputs by reading them."""
    out = Survey()
    if source.is_parquet_only():
        for path in source.paths:
            try:
                if _from_metadata(path, out):
                    continue
                pf = parquet_file(path)
                names = pf.schema_arrow.names
                if "symbol" not in names:
                    raise HistoryError(f"{path}: no column named symbol")
                cols = ["symbol"] + (["ts"] if "ts" in names else [])
                offset = 0
                for batch in pf.iter_batches(columns=cols, batch_size=1 << 20):
                    locs = np.arange(offset, offset + batch.num_rows)
                    out.add_symbols(batch.column("symbol"), path, locs, "row")
                    out.add_times(batch.column("ts") if "ts" in names else None, path)
                    offset += batch.num_rows
            except (OSError, pa.ArrowInvalid) as exc:
                raise HistoryError(f"{path}: {exc}") from None
        return out
    for chunk in source.chunks():
        t = chunk.table
        out.add_symbols(t.column("symbol").combine_chunks(), chunk.where, chunk.locs, chunk.style)
        if "ts" in t.column_names:
            out.add_times(t.column("ts").combine_chunks(), chunk.where)
    return out


def symbol_ranges(units: List[Unit], parts: int) -> List[Tuple[Range, int]]:
    """Contiguous ranges of symbols in byte order (code-point order is UTF-8
    byte order), about equal in events, with about the events of each. A
    range starts at the first symbol of a unit, so no symbol is split: a
    symbol shared by two row groups goes whole to the range of the second."""
    merged: List[List[Any]] = []
    for first, last, rows in sorted(units):
        if merged and first < merged[-1][1]:  # overlapping row groups: one unit
            merged[-1][1] = max(merged[-1][1], last)
            merged[-1][2] += rows
        else:
            merged.append([first, last, rows])
    if not merged:
        return []
    total = sum(m[2] for m in merged)
    out: List[Tuple[Range, int]] = []
    lo: Optional[str] = None
    acc = done = 0  # events in the range being filled, and before it
    for first, _, rows in merged:
        cut = len(out) + 1  # the range being filled
        if acc and cut < parts and first != lo and done + acc >= total * cut / parts:
            out.append(((lo, first), acc))
            lo, done, acc = first, done + acc, 0
        acc += rows
    out.append(((lo, None), acc))
    return out


def plan(
    summary: Survey,
    spec: Spec,
    every: int,
    start: Optional[int],
    end: Optional[int],
    parts: int,
) -> Plan:
    if not summary.rows or summary.lo > summary.hi:
        raise HistoryError("no events")
    grid = checkpoints(summary.lo, summary.hi, every, start, end)
    return Plan(spec, every, grid, symbol_ranges(summary.units, parts), summary.rows)


def backtest(
    events: Any,
    spec: Union[Spec, str],
    every: Union[int, str],
    *,
    start: Optional[Time] = None,
    end: Optional[Time] = None,
    partitions: Optional[int] = None,
    scheduler: Optional[str] = None,
    client: Any = None,
    progress: Optional[ProgressFn] = None,
) -> Timeline:
    """Replays recorded events through a radar and evaluates it at
    checkpoints on market time; returns the `Timeline`.

    ``events``: a path or list of paths (JSON Lines or the scan form, plain,
    gzip or zstd; Parquet; Arrow IPC), a pyarrow Table, a pandas DataFrame,
    or a mapping of symbol to events. ``spec``: a `Spec` or RadarSpec JSON.
    ``every``: the checkpoint interval, milliseconds or a duration text
    ("1m"); ``start``/``end`` bound the checkpoints (milliseconds, datetime
    or ISO text).

    Where it runs: in this process by default, as ``partitions``
    partitions one after another (1 unless given); with ``scheduler=
    "threads"`` on Dask's threaded scheduler; with ``client`` (a
    ``distributed.Client``) or ``scheduler`` set to a scheduler address or
    ``"local"`` (a LocalCluster of worker processes started for the run) on
    Dask distributed. The timeline is the same wherever it runs.

    ``progress(done, total)`` is called now and then with events replayed.
    Events of a symbol whose timestamps go backwards are sorted into place
    (stable) and counted in ``Timeline.out_of_order``.
    """
    spec = as_spec(spec)
    step = parse_duration(every)
    if partitions is not None and (isinstance(partitions, bool) or partitions < 1):
        raise HistoryError(f"partitions must be at least 1, got {partitions!r}")
    t0 = None if start is None else parse_time(start, "start")
    t1 = None if end is None else parse_time(end, "end")
    if t0 is not None and t1 is not None and t1 < t0:
        raise HistoryError(f"end ({t1}) is before start ({t0})")
    source = open_source(events)
    distributed = client is not None or (scheduler not in (None, "sync", "threads"))
    if not distributed and scheduler != "threads" and (partitions or 1) == 1:
        return _in_process(source, spec, step, t0, t1, progress)
    from . import dask as on_dask

    if distributed:
        return on_dask.run_distributed(
            source, spec, step, t0, t1, partitions, client, scheduler, progress
        )
    if scheduler == "threads":
        return on_dask.run_threads(source, spec, step, t0, t1, partitions, progress)
    return run_sequentially(source, spec, step, t0, t1, partitions or 1, progress)


def _in_process(
    source: Source,
    spec: Spec,
    every: int,
    start: Optional[int],
    end: Optional[int],
    progress: Optional[ProgressFn],
) -> Timeline:
    columns = build(source.chunks())
    if not len(columns):
        raise HistoryError("no events")
    grid = checkpoints(int(columns.ts.min()), int(columns.ts.max()), every, start, end)
    total = len(columns)
    done = 0

    def step(n: int) -> None:
        nonlocal done
        done += n
        if progress is not None:
            progress(done, total)

    partial = replay(columns, spec.to_json(), grid, window_of(spec), spec.labels, step)
    if progress is not None:
        progress(total, total)
    return assemble([partial], grid, spec, every)


def tabled(source: Source) -> Source:
    """Inputs other than Parquet read into memory once, so that partitions
    do not each parse the text again."""
    if source.is_parquet_only():
        return source
    return source.in_memory()


def run_sequentially(
    source: Source,
    spec: Spec,
    every: int,
    start: Optional[int],
    end: Optional[int],
    partitions: int,
    progress: Optional[ProgressFn],
) -> Timeline:
    source = tabled(source)
    the_plan = plan(survey(source), spec, every, start, end, partitions)
    partials = []
    for (lo, hi), _ in the_plan.ranges:
        partials.append(
            run_partition(
                source,
                lo,
                hi,
                the_plan.spec_json,
                the_plan.grid_args(),
                the_plan.window,
                spec.labels,
            )
        )
        if progress is not None:
            progress(sum(p.events for p in partials), the_plan.events)
    return assemble(partials, the_plan.grid, spec, every)
