"""Output files written whole or not at all."""

from __future__ import annotations

import os
import tempfile
from typing import Callable


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_atomically(target: str, write: Callable[[str], None]) -> None:
    """Runs ``write(temporary path)`` beside ``target`` and renames the
    result into place; on any failure (Ctrl-C included) the temporary file
    is removed and ``target`` is untouched. An OSError names ``target``, not
    the temporary file the user never asked for."""
    folder = os.path.dirname(os.path.abspath(target))
    try:
        fd, tmp = tempfile.mkstemp(
            prefix="." + os.path.basename(target) + ".", suffix=".tmp", dir=folder
        )
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, target) from None
    os.close(fd)
    try:
        write(tmp)
        os.chmod(tmp, 0o666 & ~_umask())  # mkstemp's 0600 is not what a user's file gets
        os.replace(tmp, target)
    except BaseException as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(exc, OSError) and exc.filename == tmp:
            raise OSError(exc.errno, exc.strerror, target) from None
        raise
