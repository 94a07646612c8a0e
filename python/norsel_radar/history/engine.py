"""Replaying one partition's events through one radar, checkpoint by
checkpoint.

At a checkpoint T every symbol's state must hold exactly its events with
ts <= T, applied in timestamp order. Each symbol's events between two
checkpoints (a segment) go to the radar in one "feed_batch", and after the
segments of a checkpoint, one "alerts" gives the partition's ranked list
there. Checkpoints where none of the partition's symbols had events keep the
previous list, so nothing is asked there.

What a segment sends is what decides the state at its checkpoint, by the
radar's own state rules (a state holds the last ``window`` values of each
series, the newest order book and the largest ts; nothing else of an event
is kept):

- the last ``window`` derivatives and liquidations and the last order book
  of the segment, each kind in its own order (the kinds fill separate parts
  of a state, so their relative order does not matter);
- every event stamped with the segment's newest ts, the value the state's
  ts takes after the segment (only the largest ts of a state is kept);
- best bid, best ask, side and price, which a state never keeps, as 0 and
  "buy" (the events were checked whole when they were read).

The state after the segment is the state after all its events, so every
"alerts" answer is the one a radar fed every event gives; the tests hold
the timelines to that, byte for byte. The numbers are written by orjson
for a whole kind at a time (`_rows_text`), and each segment's piece is cut
from that text and given its heads.
"""

from __future__ import annotations

from typing import Any, Callable, List, Optional, Sequence, Tuple

import numpy as np
import orjson

from .._norsel_radar import Radar
from ..types import Spec
from .columns import Columns, OutOfOrder
from .errors import HistoryError

__all__ = ["Partial", "replay", "window_of"]

OK = '{"ok":true}'
ALERTS = '{"cmd":"alerts"}'
U64_MAX = (1 << 64) - 1
#: Each kind's array-form head, with the segment's ts put in, and the zeros
#: appended to its kept numbers for the fields a state does not keep.
HEADS = ('["derivatives",%d,', '["orderbook",%d,', '["liquidation",%d,"buy",')
PADDING = (0, 2, 1)
#: Rows written by orjson at a time.
ROWS_PER_PIECE = 1 << 16
#: An alert as a partition reports it: symbol, severity, factors in the
#: spec's signal order, ts.
Row = Tuple[str, float, Tuple[float, ...], int]
Progress = Callable[[int], None]


def window_of(spec: Spec) -> int:
    """The length of a state's series under this spec: one more than the
    longest look-back or count, at least 2 (the radar's rule). Where the rule
    leaves the radar a choice (look-backs beyond 2**64), the answer is the
    largest: a window too long only sends more events, one too short would
    be wrong."""
    longest = 0
    for sig in spec.signals:
        if sig.kind in ("oi_delta", "liq_cluster", "oi_price_divergence") and sig.params:
            x = sig.params[0]
            if x > 0:  # parameters are finite: a Spec refuses others
                longest = max(longest, min(int(x), U64_MAX))
    return max(2, longest + 1)


class Partial:
    """A partition's alerts at each checkpoint where they may have changed:
    (checkpoint index, symbols scanned, alerts in rank order), plus counts of
    what it read."""

    __slots__ = ("changes", "events", "fed", "symbols", "out_of_order")

    def __init__(self) -> None:
        self.changes: List[Tuple[int, int, List[Row]]] = []
        self.events = 0
        self.fed = 0
        self.symbols = 0
        self.out_of_order: Optional[OutOfOrder] = None

    def __getstate__(self) -> Tuple[Any, ...]:
        return (self.changes, self.events, self.fed, self.symbols, self.out_of_order)

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        self.changes, self.events, self.fed, self.symbols, self.out_of_order = state


def _grouped(columns: Columns) -> Tuple[Optional[Any], Optional[OutOfOrder]]:
    """The order that puts each symbol's events together and in timestamp
    order (None: they already are), and the events found out of order."""
    sym, ts = columns.sym, columns.ts
    order: Optional[Any] = None
    if len(sym) > 1 and not bool(np.all(sym[1:] >= sym[:-1])):
        order = np.argsort(sym, kind="stable")
    late = columns.out_of_order(order)
    if late is not None:
        base = order if order is not None else np.arange(len(sym))
        # Stable: events with equal timestamps keep their input order.
        order = base[np.lexsort((ts[base], sym[base]))]
    return order, late


def _kept(kind: Any, seg: Any, nseg: int, code: int, cap: int) -> Tuple[Any, Any]:
    """The rows of one kind that a segment sends (its last ``cap``), and for
    each segment the range of them that it owns."""
    rows = np.flatnonzero(kind == code)
    segs = seg[rows]
    if cap < len(rows):
        count = np.bincount(segs, minlength=nseg)
        first = np.searchsorted(segs, np.arange(nseg))
        local = np.arange(len(rows)) - first[segs]
        keep = local >= count[segs] - cap
        rows, segs = rows[keep], segs[keep]
    bounds = np.searchsorted(segs, np.arange(nseg + 1))
    return rows, bounds


def _rows_text(code: int, values: List[Any]) -> Tuple[str, Any]:
    """The rows' numbers as JSON arrays, comma-separated, in one text
    (orjson: the shortest digits that read back as the same double), and
    where each row starts, with one more start for the end. Written in
    pieces of ROWS_PER_PIECE rows: orjson's working buffer for a whole
    column of millions of rows would be several times the text."""
    n = len(values[0])
    cols = values + [np.zeros(n)] * PADDING[code]
    pieces: List[bytes] = []
    starts: List[Any] = []
    size = 0
    for first in range(0, n, ROWS_PER_PIECE):
        block = np.column_stack([c[first : first + ROWS_PER_PIECE] for c in cols])
        piece = orjson.dumps(block, option=orjson.OPT_SERIALIZE_NUMPY)[1:-1]
        # "[" opens a row; the comma before a piece counts in the offsets.
        size += 1 if pieces else 0
        starts.append(np.flatnonzero(np.frombuffer(piece, dtype=np.uint8) == 0x5B) + size)
        size += len(piece)
        pieces.append(piece)
    text = b",".join(pieces).decode()  # ASCII: byte offsets are character offsets
    return text, np.append(np.concatenate(starts), size + 1)


def replay(
    columns: Columns,
    spec_json: str,
    grid: Any,
    window: int,
    labels: Sequence[str],
    progress: Optional[Progress] = None,
) -> Partial:
    """Feeds the partition's events checkpoint by checkpoint (``grid``: the
    checkpoints, ascending) and records its alerts wherever they may change."""
    out = Partial()
    out.events = len(columns)
    if not len(columns):
        return out
    order, out.out_of_order = _grouped(columns)
    sym, kind, ts = columns.sym, columns.kind, columns.ts
    v0, v1, v2 = columns.v0, columns.v1, columns.v2
    if order is not None:
        sym, kind, ts = sym[order], kind[order], ts[order]
        v0, v1, v2 = v0[order], v1[order], v2[order]
    g = np.searchsorted(grid, ts, side="left")  # the first checkpoint that holds each event
    inside = g < len(grid)
    if not bool(inside.all()):  # after the last checkpoint: never seen
        sym, kind, ts, g = sym[inside], kind[inside], ts[inside], g[inside]
        v0, v1, v2 = v0[inside], v1[inside], v2[inside]
    n = len(ts)
    if not n:
        return out
    new = np.empty(n, dtype=bool)
    new[0] = True
    new[1:] = (sym[1:] != sym[:-1]) | (g[1:] != g[:-1])
    starts = np.flatnonzero(new)
    nseg = len(starts)
    ends = np.append(starts[1:], n)
    seg = np.repeat(np.arange(nseg, dtype=np.int32 if nseg < 1 << 31 else np.int64), ends - starts)
    seg_sym = sym[starts]
    seg_g = g[starts]
    seg_ts = ts[ends - 1]  # events are in timestamp order within a segment
    out.symbols = len(np.unique(seg_sym))
    del new, g, inside, sym, ts

    texts: List[str] = []
    los: List[List[int]] = []
    his: List[List[int]] = []
    for code, cap in ((0, window), (1, 1), (2, window)):
        rows, bounds = _kept(kind, seg, nseg, code, cap)
        out.fed += len(rows)
        if not len(rows):
            texts.append("")
            los.append([0] * nseg)
            his.append([0] * nseg)
            continue
        values = [v0[rows], v1[rows], v2[rows]][: (3, 2, 1)[code]]
        del rows
        text, row_starts = _rows_text(code, values)
        del values
        lo = row_starts[bounds[:-1]]
        hi = np.where(bounds[1:] > bounds[:-1], row_starts[bounds[1:]] - 1, lo)
        texts.append(text)
        del text, row_starts
        los.append(lo.tolist())
        his.append(hi.tolist())
    # What is left to send is in the texts: the partition's columns can go.
    del kind, seg, v0, v1, v2
    columns.release()

    heads = [
        '{"cmd":"feed_batch","symbol":' + orjson.dumps(s).decode() + ',"events":['
        for s in columns.symbols
    ]
    d_text, o_text, l_text = texts
    d_lo, o_lo, l_lo = los
    d_hi, o_hi, l_hi = his
    h_d, h_o, h_l = HEADS
    # Segments in checkpoint order, cut into one block per checkpoint.
    order = np.lexsort((seg_sym, seg_g))
    cuts = np.flatnonzero(np.diff(seg_g[order])) + 1
    block_g = seg_g[order[np.append(0, cuts)]].tolist()
    block_rows = np.add.reduceat((ends - starts)[order], np.append(0, cuts)).tolist()
    bounds_l = [0, *cuts.tolist(), nseg]
    seg_order = order.tolist()
    seg_sym_l = seg_sym.tolist()
    seg_ts_l = seg_ts.tolist()
    last_text = ""
    labels = tuple(labels)
    radar = Radar(spec_json)
    command: Any = radar.command
    try:
        for k, at in enumerate(block_g):
            # One checkpoint's requests, then its "alerts".
            requests = [
                heads[seg_sym_l[s]]
                + ",".join(
                    [
                        piece
                        for piece in (
                            d_text[d_lo[s] : d_hi[s]].replace("[", h_d % seg_ts_l[s]),
                            o_text[o_lo[s] : o_hi[s]].replace("[", h_o % seg_ts_l[s]),
                            l_text[l_lo[s] : l_hi[s]].replace("[", h_l % seg_ts_l[s]),
                        )
                        if piece
                    ]
                )
                + "]}"
                for s in seg_order[bounds_l[k] : bounds_l[k + 1]]
            ]
            for request in requests:
                reply = command(request)
                if reply != OK:  # the events were checked when read: this is a bug
                    raise HistoryError(f"the radar refused a batch: {reply}: {request[:200]}")
            text = command(ALERTS)
            if text != last_text:
                last_text = text
                value = orjson.loads(text)
                rows = [
                    (a["symbol"], a["severity"], tuple([a["factors"][k] for k in labels]), a["ts"])
                    for a in value["alerts"]
                ]
                out.changes.append((at, value["scanned"], rows))
            if progress is not None:
                progress(block_rows[k])
    finally:
        # Dropped here, on its own thread, also when an exception's
        # traceback keeps this frame alive.
        del radar
        command = None
    return out
