"""Terminal views built on rich: the progress bar on stderr and the live table.

rich is imported only when a terminal asks for one of them, so plain runs
start quickly and print plain text.
"""

from __future__ import annotations

import sys
import time
from typing import Any, Dict, List, Optional

from . import output
from .table import columns, num, utc_time

#: Seconds between two redraws.
REFRESH = 0.1


class Progress:
    """A progress bar on stderr (bytes of the input, events, events per second),
    drawn only when stderr is a terminal."""

    def __init__(self, total: Optional[int], what: str = "reading") -> None:
        self._bar: Any = None
        self._last = 0.0
        self._start = time.monotonic()
        if not sys.stderr.isatty():
            return
        from rich.console import Console
        from rich.progress import BarColumn, DownloadColumn, TextColumn, TimeElapsedColumn
        from rich.progress import Progress as Bar

        self._bar = Bar(
            TextColumn("{task.description}"),
            BarColumn(),
            DownloadColumn(),
            TextColumn("{task.fields[events]}"),
            TimeElapsedColumn(),
            console=Console(file=sys.stderr),
            transient=True,
            auto_refresh=False,
        )
        self._task = self._bar.add_task(what, total=total, events="")
        self._bar.start()

    def update(self, done: int, events: int, force: bool = False) -> None:
        if self._bar is None:
            return
        now = time.monotonic()
        if not force and now - self._last < REFRESH:
            return
        self._last = now
        rate = events / max(now - self._start, 1e-9)
        self._bar.update(
            self._task, completed=done, events=f"{events:,} events  {rate:,.0f}/s", refresh=True
        )

    def close(self) -> None:
        if self._bar is not None:
            self._bar.stop()
            self._bar = None


class Live:
    """The ranked table redrawn in place on stdout, with a status line; lines
    printed meanwhile scroll above it."""

    def __init__(self) -> None:
        from rich.console import Console
        from rich.live import Live as RichLive

        self.console = Console(file=sys.stdout)
        self._live = RichLive(console=self.console, auto_refresh=False, transient=False)
        self._live.start()
        self._last = 0.0
        self._alerts: List[Dict[str, Any]] = []
        self._scanned = 0

    def print(self, text: str) -> None:
        self.console.print(text, highlight=False, markup=False)

    def show(self, report: Optional[Dict[str, Any]], status: str, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._last < REFRESH:
            return
        self._last = now
        if report is not None:
            self._alerts = report["alerts"]
            self._scanned = report["scanned"]
        self._live.update(self._render(status), refresh=True)

    def _render(self, status: str) -> Any:
        from rich.console import Group
        from rich.table import Table
        from rich.text import Text

        labels, heads = columns(self._alerts)
        table = Table(box=None, pad_edge=False, header_style="bold")
        table.add_column("#", justify="right")
        table.add_column("symbol")
        table.add_column("severity", justify="right")
        for head in heads:
            table.add_column(head, justify="right")
        table.add_column("last event (UTC)")
        for rank, alert in enumerate(self._alerts, 1):
            table.add_row(
                str(rank),
                alert["symbol"],
                num(alert["severity"], 4),
                *[num(alert["factors"].get(label), 3) for label in labels],
                utc_time(alert["ts"]),
            )
        plural = "" if len(self._alerts) == 1 else "s"
        summary = Text(f"{len(self._alerts)} alert{plural}, {self._scanned} symbols", style="dim")
        return Group(Text(status, style="bold"), table, summary)

    def close(self) -> None:
        self._live.stop()
        output.flush()
