"""How the command line fails: one line on stderr and a non-zero status."""

from __future__ import annotations

PROG = "norsel-radar"


class UserError(Exception):
    """A problem with the user's input or environment: one line, exit status 2."""


class OutputError(UserError):
    """Standard output cannot be written (closed, full, or a reader that went away)."""


def display(path: str) -> str:
    """The name of an input as messages show it."""
    return "<stdin>" if path == "-" else path


def os_message(exc: BaseException) -> str:
    """An OSError's text without the errno prefix and file name that Python adds."""
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc) or type(exc).__name__
