"""Standard output that fails as one line: a closed, full or vanished stdout
raises OutputError instead of a traceback at exit."""

from __future__ import annotations

import os
import sys
from typing import Optional, TextIO

from .errors import OutputError, os_message


def _stream() -> TextIO:
    if sys.stdout is None:  # started with stdout closed (>&-)
        raise OutputError("<stdout>: Bad file descriptor")
    return sys.stdout


def write(text: str) -> None:
    try:
        _stream().write(text)
    except OSError as exc:
        raise OutputError(f"<stdout>: {os_message(exc)}") from None


def flush() -> None:
    try:
        _stream().flush()
    except OSError as exc:
        raise OutputError(f"<stdout>: {os_message(exc)}") from None


def silence() -> None:
    """After a failed write: point stdout at /dev/null so that the interpreter's
    own flush at exit has nothing left to fail on."""
    try:
        fd: Optional[int] = sys.stdout.fileno() if sys.stdout is not None else None
    except (OSError, ValueError):
        fd = None
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd if fd is not None else 1)
    except OSError:
        pass
    finally:
        os.close(devnull)
    if sys.stdout is not None:
        try:
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - lives until exit
        except OSError:
            pass
