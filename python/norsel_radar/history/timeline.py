"""The result of a backtest: the ranked alerts at every checkpoint, the
alerts raised and cleared, and a summary per symbol."""

from __future__ import annotations

import os
from bisect import bisect_right
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from .. import _wire
from .._files import write_atomically
from ..types import Alert, Report, Spec
from .columns import OutOfOrder
from .engine import Partial, Row
from .errors import HistoryError
from .merge import report_text

__all__ = ["Episode", "SymbolSummary", "Timeline", "assemble"]

#: The ranked alerts from one checkpoint on: (checkpoint index, scanned, alerts).
State = Tuple[int, int, List[Row]]


class Episode(NamedTuple):
    """A run of consecutive checkpoints at which a symbol was in the ranked
    list: the first and the last of them, how many, and its highest severity."""

    symbol: str
    start: int
    end: int
    checkpoints: int
    peak: float


class SymbolSummary(NamedTuple):
    """A symbol's alerts over the timeline: at how many checkpoints it was
    listed, the first and last of them, its episodes, the longest one and its
    highest severity."""

    symbol: str
    checkpoints: int
    first: int
    last: int
    episodes: int
    longest: Episode
    peak: float


def assemble(partials: Sequence[Partial], grid: Any, spec: Spec, every: int) -> Timeline:
    """The timeline of partitions' partial alerts: at each checkpoint, the
    partitions' lists (each carried from its last change) ranked together by
    the radar's rule and cut to the limit; scanned counts added."""
    states: List[State] = []
    if len(partials) == 1:
        states = list(partials[0].changes)
    else:
        points = sorted({at for p in partials for at, _, _ in p.changes})
        current: List[Tuple[int, List[Row]]] = [(0, [])] * len(partials)
        cursors = [0] * len(partials)
        for at in points:
            for i, p in enumerate(partials):
                k = cursors[i]
                if k < len(p.changes) and p.changes[k][0] == at:
                    current[i] = (p.changes[k][1], p.changes[k][2])
                    cursors[i] = k + 1
            rows = [row for _, found in current for row in found]
            _wire.rank(rows, spec.limit)
            states.append((at, sum(n for n, _ in current), rows))
    merged: List[State] = []
    for state in states:
        if merged and merged[-1][1:] == state[1:]:
            continue
        merged.append(state)
    if not merged or merged[0][0] != 0:
        merged.insert(0, (0, 0, []))
    return Timeline(
        spec,
        every,
        grid,
        merged,
        events=sum(p.events for p in partials),
        fed=sum(p.fed for p in partials),
        symbols=sum(p.symbols for p in partials),
        out_of_order=OutOfOrder.combine(p.out_of_order for p in partials),
    )


class Timeline:
    """A backtest's alerts over market time.

    - ``alerts``: the timeline table (pyarrow): one row per alert per
      checkpoint: ``checkpoint``, ``rank`` (from 1), ``symbol``,
      ``severity``, one column per signal factor in spec order (named by its
      label), ``ts`` (the symbol's newest event);
    - ``transitions``: a row per symbol entering (``"raised"``) or leaving
      (``"cleared"``) the ranked list: ``checkpoint``, ``symbol``,
      ``change``, ``severity`` (the new one, or the last one before it
      left), ``rank`` (null when cleared);
    - ``checkpoints``: ``checkpoint``, ``scanned`` (symbols with an event
      so far), ``alerts``;
    - ``report(T)`` / ``report_text(T)``: the report at checkpoint T, as
      "alerts" of a radar fed every event up to T gives it.

    ``events`` counts the events read, ``fed`` those sent to the radar (see
    `norsel_radar.history.engine`), ``out_of_order`` describes the events
    found older than their symbol's previous one (or is None).
    """

    def __init__(
        self,
        spec: Spec,
        every: int,
        grid: Any,
        states: List[State],
        events: int = 0,
        fed: int = 0,
        symbols: int = 0,
        out_of_order: Optional[OutOfOrder] = None,
    ) -> None:
        self.spec = spec
        self.every = every
        self.grid = np.asarray(grid, dtype=np.int64)
        self.events = events
        self.fed = fed
        self.symbols = symbols
        self.out_of_order = out_of_order
        self._states = states
        self._starts = [s[0] for s in states]
        self._alerts: Any = None
        self._transitions: Any = None

    def __repr__(self) -> str:
        return (
            f"<Timeline: {len(self.grid)} checkpoints every {self.every} ms, {self.events} events,"
            f" {len(self.alerts)} alert rows>"
        )

    @property
    def labels(self) -> Tuple[str, ...]:
        return self.spec.labels

    def _runs(self) -> List[Tuple[int, int, int, List[Row]]]:
        """Each state with the checkpoints it covers: (start, stop, scanned, rows)."""
        stops = self._starts[1:] + [len(self.grid)]
        return [(s[0], stop, s[1], s[2]) for s, stop in zip(self._states, stops) if stop > s[0]]

    # -- tables ------------------------------------------------------------

    @property
    def alerts(self) -> Any:
        if self._alerts is None:
            self._alerts = self._alerts_table()
        return self._alerts

    def _alerts_table(self) -> Any:
        names: Dict[str, int] = {}
        pieces: Dict[str, List[Any]] = {
            k: [] for k in ("checkpoint", "rank", "sym", "sev", "f", "ts")
        }
        nlab = len(self.labels)
        for start, stop, _, rows in self._runs():
            if not rows:
                continue
            repeat = stop - start
            size = len(rows)
            pieces["checkpoint"].append(np.repeat(self.grid[start:stop], size))
            pieces["rank"].append(np.tile(np.arange(1, size + 1, dtype=np.int32), repeat))
            sym = np.array([names.setdefault(r[0], len(names)) for r in rows], dtype=np.int32)
            pieces["sym"].append(np.tile(sym, repeat))
            pieces["sev"].append(np.tile(np.array([r[1] for r in rows], dtype=np.float64), repeat))
            factors = np.array([r[2] for r in rows], dtype=np.float64).reshape(size, nlab)
            pieces["f"].append(np.tile(factors, (repeat, 1)))
            pieces["ts"].append(np.tile(np.array([r[3] for r in rows], dtype=np.int64), repeat))
        if pieces["checkpoint"]:
            cat = {k: np.concatenate(v) for k, v in pieces.items()}
        else:
            cat = {
                "checkpoint": np.zeros(0, np.int64),
                "rank": np.zeros(0, np.int32),
                "sym": np.zeros(0, np.int32),
                "sev": np.zeros(0),
                "f": np.zeros((0, nlab)),
                "ts": np.zeros(0, np.int64),
            }
        symbols = pc.take(pa.array(list(names), type=pa.string()), pa.array(cat["sym"]))
        arrays = [pa.array(cat["checkpoint"]), pa.array(cat["rank"]), symbols, pa.array(cat["sev"])]
        arrays += [pa.array(np.ascontiguousarray(cat["f"][:, i])) for i in range(nlab)]
        arrays.append(pa.array(cat["ts"]))
        names_out = ["checkpoint", "rank", "symbol", "severity", *self.labels, "ts"]
        return pa.Table.from_arrays(arrays, names=names_out)

    @property
    def transitions(self) -> Any:
        if self._transitions is None:
            cols: Dict[str, List[Any]] = {
                "checkpoint": [],
                "symbol": [],
                "change": [],
                "severity": [],
                "rank": [],
            }
            before: Dict[str, float] = {}
            for start, _, _, rows in self._runs():
                now = {r[0]: (rank, r[1]) for rank, r in enumerate(rows, 1)}
                at = int(self.grid[start])
                changes: List[Tuple[Any, ...]] = [
                    (at, symbol, "cleared", severity, None)
                    for symbol, severity in before.items()
                    if symbol not in now
                ]
                changes += [
                    (at, symbol, "raised", severity, rank)
                    for symbol, (rank, severity) in now.items()
                    if symbol not in before
                ]
                for change in changes:
                    for name, value in zip(cols, change):
                        cols[name].append(value)
                before = {s: sev for s, (_, sev) in now.items()}
            types = (pa.int64(), pa.string(), pa.string(), pa.float64(), pa.int32())
            self._transitions = pa.Table.from_arrays(
                [pa.array(v, type=t) for v, t in zip(cols.values(), types)], names=list(cols)
            )
        return self._transitions

    @property
    def checkpoints(self) -> Any:
        runs = self._runs()
        scanned = np.repeat([r[2] for r in runs], [r[1] - r[0] for r in runs]).astype(np.int64)
        counts = np.repeat([len(r[3]) for r in runs], [r[1] - r[0] for r in runs]).astype(np.int32)
        return pa.Table.from_arrays(
            [pa.array(self.grid), pa.array(scanned), pa.array(counts)],
            names=["checkpoint", "scanned", "alerts"],
        )

    # -- reports -----------------------------------------------------------

    def _state_at(self, checkpoint: int) -> State:
        g = int(np.searchsorted(self.grid, checkpoint))
        if g >= len(self.grid) or int(self.grid[g]) != checkpoint:
            raise KeyError(f"{checkpoint} is not a checkpoint of this timeline")
        return self._states[bisect_right(self._starts, g) - 1]

    def report(self, checkpoint: int) -> Report:
        """The ranked alerts at a checkpoint, as one radar fed every event up
        to it reports them (KeyError if ``checkpoint`` is not one of ``grid``)."""
        _, scanned, rows = self._state_at(checkpoint)
        labels = self.labels
        alerts = tuple(
            tuple.__new__(Alert, (r[0], r[1], dict(zip(labels, r[2])), r[3])) for r in rows
        )
        return tuple.__new__(Report, (alerts, scanned, labels))

    def report_text(self, checkpoint: int) -> str:
        """`report` as the radar's own text."""
        return report_text(self.report(checkpoint))

    # -- summary -----------------------------------------------------------

    def episodes(self) -> List[Episode]:
        """Every episode, in order of start, then symbol."""
        out: List[Episode] = []
        open_: Dict[str, Tuple[int, float]] = {}
        runs = self._runs()
        for start, _, _, rows in runs:
            now = {r[0]: r[1] for r in rows}
            for symbol in [s for s in open_ if s not in now]:
                first, peak = open_.pop(symbol)
                out.append(self._episode(symbol, first, start, peak))
            for symbol, severity in now.items():
                first, peak = open_.get(symbol, (start, severity))
                open_[symbol] = (first, max(peak, severity))
        for symbol, (first, peak) in open_.items():
            out.append(self._episode(symbol, first, len(self.grid), peak))
        out.sort(key=lambda e: (e.start, e.symbol))
        return out

    def _episode(self, symbol: str, first: int, stop: int, peak: float) -> Episode:
        return Episode(symbol, int(self.grid[first]), int(self.grid[stop - 1]), stop - first, peak)

    def summary(self) -> List[SymbolSummary]:
        """One line per symbol ever listed, most checkpoints first."""
        by: Dict[str, List[Episode]] = {}
        for episode in self.episodes():
            by.setdefault(episode.symbol, []).append(episode)
        out = []
        for symbol, found in by.items():
            longest = max(found, key=lambda e: (e.checkpoints, -e.start))
            out.append(
                SymbolSummary(
                    symbol,
                    sum(e.checkpoints for e in found),
                    found[0].start,
                    found[-1].end,
                    len(found),
                    longest,
                    max(e.peak for e in found),
                )
            )
        out.sort(key=lambda s: (-s.checkpoints, s.symbol))
        return out

    # -- output ------------------------------------------------------------

    def to_pandas(self) -> Any:
        """The timeline table as a pandas DataFrame."""
        return self.alerts.to_pandas()

    def write(self, path: Union[str, os.PathLike[str]]) -> None:
        """Writes the timeline table to a Parquet (.parquet) or CSV (.csv)
        file. It is written under a temporary name in the same folder and
        renamed when complete, so no partial file is ever left under the
        name."""
        target = os.fspath(path)
        suffix = os.path.splitext(target)[1].lower()
        if suffix not in (".parquet", ".pq", ".csv"):
            raise HistoryError(f"{target}: the timeline is written as .parquet or .csv")
        write_atomically(target, lambda tmp: _write_table(self.alerts, tmp, suffix))


def _write_table(table: Any, path: str, suffix: str) -> None:
    if suffix == ".csv":
        import pyarrow.csv as pcsv

        pcsv.write_csv(table, path)
    else:
        import pyarrow.parquet as pq

        pq.write_table(table, path)
