"""Converting recorded events between JSON Lines and Parquet.

Every row is checked as the radar checks events on the way (a bad one is
named with its file and line or row). Parquet is written sorted by symbol,
then timestamp (stable), in row groups of 2**18 rows by default: a partition
of a backtest then reads only the row groups of its own symbols. JSON Lines
are written one ``{"symbol":...,"event":{...}}`` object per line, gzip
compressed when the name ends in ".gz". Both are written under a temporary
name and renamed when complete.
"""

from __future__ import annotations

import gzip
import os
from typing import Any, List, NamedTuple, Optional, Sequence, Union

import numpy as np
import orjson
import pyarrow as pa
import pyarrow.parquet as pq

from .._files import write_atomically
from .columns import OutOfOrder, build, normalize
from .errors import HistoryError
from .inputs import open_source
from .schema import FIELDS

__all__ = ["Converted", "convert"]

ROW_GROUP = 1 << 18
PARQUET = (".parquet", ".pq")
JSONL = (".jsonl", ".ndjson", ".json", ".jsonl.gz", ".ndjson.gz", ".json.gz")


class Converted(NamedTuple):
    """What a conversion wrote: rows, and the events found out of timestamp
    order within their symbol (sorted into place when the output is sorted)."""

    rows: int
    out_of_order: Optional[OutOfOrder]


def _suffix(path: str) -> str:
    name = path.lower()
    for suffix in PARQUET + JSONL:
        if name.endswith(suffix):
            return suffix
    return ""


def convert(
    inputs: Union[str, os.PathLike[str], Sequence[Union[str, os.PathLike[str]]], Any],
    output: Union[str, os.PathLike[str]],
    *,
    sort: Optional[bool] = None,
    row_group_size: int = ROW_GROUP,
) -> Converted:
    """Converts events (any input `backtest` reads) to Parquet (.parquet) or
    JSON Lines (.jsonl, .jsonl.gz). ``sort``: order rows by symbol, then
    timestamp (the default for Parquet) instead of keeping the input order
    (the default for JSON Lines)."""
    target = os.fspath(output)
    suffix = _suffix(target)
    if not suffix:
        raise HistoryError(f"{target}: the output is written as .parquet or .jsonl (.jsonl.gz)")
    parquet = suffix in PARQUET
    source = open_source(inputs)
    chunks = list(source.chunks())
    columns = build(chunks)  # checks every row
    if not len(columns):
        raise HistoryError("no events")
    late = columns.out_of_order(np.argsort(columns.sym, kind="stable"))
    table = pa.concat_tables([normalize(c.table, c.where) for c in chunks])
    del chunks
    if parquet if sort is None else sort:
        rank = np.argsort(np.argsort(np.array(columns.symbols, dtype=object)))
        order = np.lexsort((columns.ts, rank[columns.sym]))
        table = table.take(pa.array(order))
    if parquet:
        write_atomically(
            target, lambda tmp: pq.write_table(table, tmp, row_group_size=row_group_size)
        )
    else:
        write_atomically(target, lambda tmp: _write_jsonl(table, tmp, target.endswith(".gz")))
    return Converted(table.num_rows, late)


def _write_jsonl(table: Any, path: str, compress: bool) -> None:
    dumps = orjson.dumps
    with gzip.open(path, "wb") if compress else open(path, "wb") as out:
        for batch in table.to_batches(max_chunksize=1 << 16):
            lines: List[bytes] = []
            for row in batch.to_pylist():
                kind = row["kind"]
                event = {"kind": kind, "ts": row["ts"]}
                for name in FIELDS[kind]:
                    event[name] = row[name]
                lines.append(dumps({"symbol": row["symbol"], "event": event}))
            out.write(b"\n".join(lines) + b"\n")
