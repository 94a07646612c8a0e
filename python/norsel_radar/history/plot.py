"""Severity over time for the symbols listed most often (needs matplotlib)."""

from __future__ import annotations

import os
from importlib import import_module
from typing import Any

import numpy as np

from .._files import write_atomically
from .errors import HistoryError
from .timeline import Timeline

__all__ = ["plot"]


def plot(timeline: Timeline, path: str, top: int = 10) -> None:
    """Draws each of the ``top`` symbols' severity at every checkpoint
    (gaps where it was not listed) into an image file (.png, .svg, .pdf)."""
    try:
        matplotlib: Any = import_module("matplotlib")
        matplotlib.use("Agg")
        mdates: Any = import_module("matplotlib.dates")
        plt: Any = import_module("matplotlib.pyplot")
    except ImportError:
        raise HistoryError('--plot needs matplotlib: pip install "norsel_radar[plot]"') from None
    fmt = os.path.splitext(path)[1].lstrip(".").lower() or "png"
    table = timeline.alerts
    symbols = [s.symbol for s in timeline.summary()[:top]]
    grid = timeline.grid
    when = grid.astype("datetime64[ms]")
    fig: Any
    fig, ax = plt.subplots(figsize=(11, 5), dpi=100)
    try:
        cps = table.column("checkpoint").to_numpy()
        syms = table.column("symbol").to_numpy(zero_copy_only=False)
        sev = table.column("severity").to_numpy()
        for symbol in symbols:
            mine = syms == symbol
            series = np.full(len(grid), np.nan)
            series[np.searchsorted(grid, cps[mine])] = sev[mine]
            ax.plot(when, series, label=symbol, linewidth=1.2)
        ax.axhline(
            timeline.spec.threshold, color="grey", linestyle=":", linewidth=1, label="threshold"
        )
        ax.set_ylabel("severity")
        ax.set_xlabel("market time (UTC)")
        ax.set_title(f"severity of the {len(symbols)} symbols listed most often")
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(ax.xaxis.get_major_locator()))
        ax.legend(loc="upper left", fontsize="small", ncol=2)
        fig.tight_layout()
        write_atomically(path, lambda tmp: fig.savefig(tmp, format=fmt))
    finally:
        plt.close(fig)
