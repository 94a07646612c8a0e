"""History: a RadarSpec backtested over recorded events, in one process or on
a Dask cluster, with the same answer.

- `backtest(events, spec, every)` replays the events through a radar and
  evaluates it at checkpoints on market time (every ``every`` milliseconds
  of ``ts``): at a checkpoint T each symbol's state holds exactly its events
  with ts <= T. The result, a `Timeline`, holds the ranked alerts at every
  checkpoint (checkpoint, rank, symbol, severity, one column per signal
  factor in spec order, last ts), the alerts raised and cleared, and a
  summary per symbol. At every checkpoint it is what "alerts" of one radar
  fed every event up to T answers, byte for byte (`Timeline.report_text`).
- `merge_reports(reports, spec)` joins the reports of disjoint symbol sets
  (split scans, partitions) into the one report a single radar gives.
- `read_table(events)` reads any input into one pyarrow Table of the table
  form (`schema`); `convert(inputs, output)` converts between JSON Lines and
  Parquet.

Events of one symbol must come in timestamp order; those that do not are
counted (`Timeline.out_of_order`: how many, and the first of them) and
sorted into place, stably, so that equal timestamps keep their order.

Everything but `merge_reports` and `report_text` needs pyarrow and numpy
(``pip install "norsel_radar[history]"``, which also brings dask and
distributed for the partitions on a cluster).
"""

from __future__ import annotations

from importlib import import_module
from typing import TYPE_CHECKING, Any, List

from .errors import HistoryError
from .merge import format_double, merge_reports, report_text

if TYPE_CHECKING:
    from .backtest import backtest, parse_duration, parse_time
    from .columns import OutOfOrder
    from .convert import convert
    from .inputs import read_table
    from .timeline import Episode, SymbolSummary, Timeline

__all__ = [
    "Episode",
    "HistoryError",
    "OutOfOrder",
    "SymbolSummary",
    "Timeline",
    "backtest",
    "convert",
    "format_double",
    "merge_reports",
    "parse_duration",
    "parse_time",
    "read_table",
    "report_text",
]

_LAZY = {
    "backtest": "backtest",
    "parse_duration": "backtest",
    "parse_time": "backtest",
    "OutOfOrder": "columns",
    "convert": "convert",
    "read_table": "inputs",
    "Episode": "timeline",
    "SymbolSummary": "timeline",
    "Timeline": "timeline",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'norsel_radar.history' has no attribute {name!r}")
    try:
        value = getattr(import_module(f".{module}", __name__), name)
    except ImportError as exc:
        if exc.name not in ("pyarrow", "numpy"):
            raise
        raise ImportError(
            f"norsel_radar.history.{name} needs pyarrow and numpy:"
            ' pip install "norsel_radar[history]"'
        ) from exc
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))
