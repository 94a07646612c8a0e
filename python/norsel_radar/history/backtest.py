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
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

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
_UNITS = {"ms": 1, "s": 1000, "m": 60_000, "h": 3_600_000, "d": 86_400_000, "w": 604_800_000}
_DURATION = re.compile(r"(\d+(?:\.\d+)?)\s*(ms|s|m|h|d|w)?")

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
        m = _DURATION.fullmatch(every.strip())
        if m is None:
            raise HistoryError(f"every: {every!r} is not a duration (250ms, 30s, 1m, 4h, 1d, 1w)")
        ms = round(float(m.group(1)) * _UNITS[m.group(2) or "ms"])
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
        self, spec: Spec, every: int, grid: Any, ranges: List[Tuple[str, str]], events: int
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


class Survey:
    """Events per symbol and the range of timestamps of a source."""

    def __init__(self) -> None:
        self.counts: Dict[str, int] = {}
        self.lo = I64_MAX
        self.hi = I64_MIN
        self.rows = 0

    def add(self, symbols: Any, ts: Any, where: str, locs: Any, style: str) -> None:
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
        for value, n in pairs:
            if n:
                self.counts[value] = self.counts.get(value, 0) + n
        self.rows += len(symbols)
        if ts is not None and len(ts) and ts.null_count < len(ts):
            if pa.types.is_timestamp(ts.type) or not pa.types.is_integer(ts.type):
                return  # checked (and converted) when the partitions read them
            bounds = pc.min_max(ts)
            self.lo = min(self.lo, bounds["min"].as_py())
            self.hi = max(self.hi, bounds["max"].as_py())

    def merge(self, other: Survey) -> None:
        for k, v in other.counts.items():
            self.counts[k] = self.counts.get(k, 0) + v
        self.lo = min(self.lo, other.lo)
        self.hi = max(self.hi, other.hi)
        self.rows += other.rows


def survey(source: Source) -> Survey:
    """Reads only the symbol and ts columns where it can (Parquet)."""
    out = Survey()
    if source.is_parquet_only():
        for path in source.paths:
            try:
                pf = parquet_file(path)
                names = pf.schema_arrow.names
                if "symbol" not in names:
                    raise HistoryError(f"{path}: no column named symbol")
                cols = ["symbol"] + (["ts"] if "ts" in names else [])
                offset = 0
                for batch in pf.iter_batches(columns=cols, batch_size=1 << 20):
                    locs = np.arange(offset, offset + batch.num_rows)
                    ts = batch.column("ts") if "ts" in names else None
                    out.add(batch.column("symbol"), ts, path, locs, "row")
                    offset += batch.num_rows
            except (OSError, pa.ArrowInvalid) as exc:
                raise HistoryError(f"{path}: {exc}") from None
        return out
    for chunk in source.chunks():
        t = chunk.table
        ts = t.column("ts").combine_chunks() if "ts" in t.column_names else None
        out.add(t.column("symbol").combine_chunks(), ts, chunk.where, chunk.locs, chunk.style)
    return out


def symbol_ranges(counts: Dict[str, int], parts: int) -> List[Tuple[str, str]]:
    """Contiguous ranges of symbols in byte order, about equal in events."""
    symbols = sorted(counts)  # code-point order is UTF-8 byte order
    if not symbols:
        return []
    parts = max(1, min(parts, len(symbols)))
    total = sum(counts.values())
    ranges: List[Tuple[str, str]] = []
    begin = 0
    acc = 0
    for i, symbol in enumerate(symbols):
        acc += counts[symbol]
        left = len(symbols) - i - 1
        need = parts - len(ranges) - 1  # ranges still to make after this one
        if need and (acc >= total * (len(ranges) + 1) / parts or left == need):
            ranges.append((symbols[begin], symbol))
            begin = i + 1
    ranges.append((symbols[begin], symbols[-1]))
    return ranges


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
    return Plan(spec, every, grid, symbol_ranges(summary.counts, parts), summary.rows)


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
        return on_dask.backtest(source, spec, step, t0, t1, partitions, client, scheduler, progress)
    if scheduler == "threads":
        return on_dask.backtest_threads(source, spec, step, t0, t1, partitions, progress)
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
    for lo, hi in the_plan.ranges:
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
