"""HistoryError: recorded data that cannot be backtested as it is."""

from __future__ import annotations

__all__ = ["HistoryError"]


class HistoryError(ValueError):
    """A problem with the input or the run, as one line: a file that cannot
    be read, a row the radar refuses (its file, row or line, and the radar's
    message), a checkpoint range that makes no sense, a failed worker."""
