"""``norsel-radar backtest`` and ``norsel-radar convert``.

Each command is an ``add_parser(sub, formatter)`` and a ``run(args)``, as
the command line's other commands; the work is done by
`norsel_radar.history`, imported only when a command runs. Problems with the
input or the run end in one line on stderr (status 2).
"""

from __future__ import annotations

import argparse
import sys
import time
from datetime import datetime, timezone
from importlib import resources
from typing import Any, List, Optional

from ..cli import output
from ..cli.errors import UserError

__all__ = ["add_backtest", "add_convert", "add_parser", "run_backtest", "run_convert"]

I64_MIN = -(1 << 63)


def _user_error(message: str) -> Exception:
    return UserError(message)


def utc(ms: int, every: int = 1000) -> str:
    """Milliseconds since the Unix epoch as UTC time, to the minute, second
    or millisecond as the checkpoint interval needs."""
    if ms == I64_MIN:
        return "-"
    try:
        when = datetime.fromtimestamp(ms // 1000, tz=timezone.utc)
    except (OverflowError, OSError, ValueError):
        return str(ms)
    if every % 60_000 == 0:
        return when.strftime("%Y-%m-%d %H:%M")
    text = when.strftime("%Y-%m-%d %H:%M:%S")
    return text if every % 1000 == 0 else f"{text}.{ms % 1000:03d}"


def duration(ms: int) -> str:
    for unit, size in (("w", 604_800_000), ("d", 86_400_000), ("h", 3_600_000), ("m", 60_000)):
        if ms >= size and ms % size == 0:
            return f"{ms // size}{unit}"
    return f"{ms / 1000:g}s" if ms % 1000 == 0 else f"{ms}ms"


class Progress:
    """A progress bar on stderr (events replayed, rate), drawn with rich only
    when stderr is a terminal."""

    def __init__(self) -> None:
        self._bar: Any = None
        self._task: Any = None
        self._start = self._last = time.monotonic()

    def __call__(self, done: int, total: int) -> None:
        if not sys.stderr.isatty():
            return
        now = time.monotonic()
        if self._bar is None:
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, TextColumn, TimeElapsedColumn
            from rich.progress import Progress as Bar

            self._bar = Bar(
                TextColumn("replaying"),
                BarColumn(),
                MofNCompleteColumn(),
                TextColumn("events {task.fields[rate]}"),
                TimeElapsedColumn(),
                console=Console(file=sys.stderr),
                transient=True,
                auto_refresh=False,
            )
            self._task = self._bar.add_task("replay", total=total, rate="")
            self._bar.start()
        elif now - self._last < 0.1 and done < total:
            return
        self._last = now
        rate = done / max(now - self._start, 1e-9)
        self._bar.update(
            self._task, completed=done, total=total, rate=f"{rate:,.0f}/s", refresh=True
        )

    def close(self) -> None:
        if self._bar is not None:
            self._bar.stop()
            self._bar = None


def _spec(path: Optional[str]) -> Any:
    from ..errors import RadarError
    from ..types import Spec

    if path is None:
        data = resources.files("norsel_radar") / "data" / "default_spec.json"
        return Spec.from_json(data.read_bytes())
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as exc:
        raise _user_error(f"{path}: {exc.strerror or exc}") from None
    try:
        return Spec.from_json(text)
    except RadarError as exc:
        raise _user_error(f"{path}: {exc}") from None
    except UnicodeDecodeError as exc:
        raise _user_error(f"{path}: not UTF-8 text (byte {exc.start})") from None


def _table(head: List[str], rows: List[List[str]], right: Any = ()) -> List[str]:
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    out = []
    for cells in [head] + rows:
        out.append(
            "  ".join(
                c.rjust(w) if i in right else c.ljust(w)
                for i, (c, w) in enumerate(zip(cells, widths))
            ).rstrip()
        )
    return out


def summary_text(timeline: Any, top: int) -> str:
    """What a backtest found, for people: the run, the alerts per symbol and
    the longest episodes."""
    grid = timeline.grid
    every = timeline.every
    lines = [
        f"{timeline.events:,} events, {timeline.symbols:,} symbols;"
        f" {len(grid):,} checkpoints every {duration(every)}"
        f" from {utc(int(grid[0]), every)} to {utc(int(grid[-1]), every)} UTC"
    ]
    summary = timeline.summary()
    if not summary:
        lines.append("no alerts at any checkpoint")
        return "\n".join(lines) + "\n"
    plural = "" if len(summary) == 1 else "s"
    lines.append("")
    lines.append(f"alerts per symbol ({len(summary)} symbol{plural} listed at some checkpoint):")
    rows = [
        [
            s.symbol,
            f"{s.checkpoints:,}",
            utc(s.first, every),
            utc(s.last, every),
            str(s.episodes),
            f"{s.longest.checkpoints:,}",
            f"{s.peak:.4f}",
        ]
        for s in summary[:top]
    ]
    head = ["symbol", "checkpoints", "first (UTC)", "last (UTC)", "episodes", "longest", "peak"]
    lines += _table(head, rows, right={1, 4, 5, 6})
    if len(summary) > top:
        lines.append(f"... and {len(summary) - top} more")
    episodes = sorted(timeline.episodes(), key=lambda e: (-e.checkpoints, e.start, e.symbol))
    lines.append("")
    lines.append("longest episodes:")
    rows = [
        [
            e.symbol,
            utc(e.start, every),
            utc(e.end, every),
            f"{e.checkpoints:,}",
            f"{e.peak:.4f}",
        ]
        for e in episodes[: min(top, 10)]
    ]
    lines += _table(["symbol", "from (UTC)", "to (UTC)", "checkpoints", "peak"], rows, {3, 4})
    return "\n".join(lines) + "\n"


def run_backtest(args: argparse.Namespace) -> int:
    from ..errors import RadarError

    try:
        from . import HistoryError, backtest
    except ImportError as exc:
        raise _user_error(str(exc)) from None
    if args.top < 1:
        raise _user_error("--top must be at least 1")
    spec = _spec(args.spec)
    progress = Progress()
    scheduler = args.scheduler
    try:
        timeline = backtest(
            args.events,
            spec,
            args.every,
            start=args.start,
            end=args.end,
            partitions=args.partitions,
            scheduler=scheduler,
            progress=progress,
        )
    except (HistoryError, RadarError, ImportError) as exc:
        raise _user_error(str(exc)) from None
    finally:
        progress.close()
    if timeline.out_of_order is not None:
        sys.stderr.write(f"norsel-radar: warning: {timeline.out_of_order}\n")
    output.write(summary_text(timeline, args.top))
    try:
        if args.output:
            timeline.write(args.output)
            output.write(f"timeline written to {args.output} ({len(timeline.alerts):,} rows)\n")
        if args.plot:
            from .plot import plot

            plot(timeline, args.plot, args.top)
            output.write(f"plot written to {args.plot}\n")
    except HistoryError as exc:
        raise _user_error(str(exc)) from None
    except OSError as exc:
        where = exc.filename or args.output or args.plot
        raise _user_error(f"{where}: {exc.strerror or exc}") from None
    return 0


def run_convert(args: argparse.Namespace) -> int:
    try:
        from . import HistoryError, convert
    except ImportError as exc:
        raise _user_error(str(exc)) from None
    sort = None if args.order == "auto" else args.order == "symbol"
    try:
        done = convert(args.inputs, args.output, sort=sort)
    except HistoryError as exc:
        raise _user_error(str(exc)) from None
    except OSError as exc:
        raise _user_error(f"{exc.filename or args.output}: {exc.strerror or exc}") from None
    if done.out_of_order is not None:
        sys.stderr.write(f"norsel-radar: warning: {done.out_of_order}\n")
    output.write(f"{done.rows:,} events written to {args.output}\n")
    return 0


def add_backtest(sub: Any, formatter: Any) -> None:
    p = sub.add_parser(
        "backtest",
        help="replay recorded events and list the alerts at checkpoints on market time",
        description="Replays recorded events through a radar, evaluates it every SPAN of"
        " market time (ts read as milliseconds) and summarises the alerts: per symbol, and"
        " the longest episodes. The timeline is the same wherever it is computed.",
        formatter_class=formatter,
    )
    p.add_argument(
        "events",
        nargs="+",
        metavar="EVENTS",
        help="JSON Lines or the scan form (plain, gzip or zstd), Parquet or Arrow files",
    )
    p.add_argument(
        "--spec",
        metavar="SPEC",
        default=None,
        help="spec JSON file (default: the bundled default spec)",
    )
    p.add_argument(
        "--every", required=True, metavar="SPAN", help="checkpoint interval: 30s, 1m, 1h, 1d"
    )
    p.add_argument("--start", metavar="TIME", help="first checkpoint at or after TIME (ISO or ms)")
    p.add_argument("--end", metavar="TIME", help="last checkpoint at or before TIME (ISO or ms)")
    p.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        default=None,
        help="run the partitions on Dask: a scheduler address (tcp://host:8786), 'local'"
        " (worker processes on this machine) or 'threads' (default: in this process)",
    )
    p.add_argument(
        "--partitions",
        type=int,
        default=None,
        metavar="N",
        help="symbol partitions (default: 1 in this process; on Dask one per worker thread,"
        " more when one would hold over 10 million events)",
    )
    p.add_argument(
        "-o", "--output", metavar="FILE", help="write the timeline table (.parquet or .csv)"
    )
    p.add_argument(
        "--plot", metavar="FILE", help="draw severity over time for the top symbols (.png)"
    )
    p.add_argument("--top", type=int, default=10, metavar="N", help="symbols shown")
    p.set_defaults(run=run_backtest)


def add_convert(sub: Any, formatter: Any) -> None:
    p = sub.add_parser(
        "convert",
        help="convert events between JSON Lines and Parquet",
        description="Converts events between JSON Lines (or the scan form) and Parquet,"
        " checking every event. Parquet is written sorted by symbol and timestamp.",
        formatter_class=formatter,
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="event files, read in order")
    p.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="FILE",
        help="output: .parquet, or .jsonl (.jsonl.gz: gzip)",
    )
    p.add_argument(
        "--order",
        choices=("auto", "symbol", "input"),
        default="auto",
        help="rows by symbol then timestamp, or in input order (auto: by symbol for Parquet)",
    )
    p.set_defaults(run=run_convert)


def add_parser(sub: Any, formatter: Any) -> None:
    """Both commands."""
    add_backtest(sub, formatter)
    add_convert(sub, formatter)
