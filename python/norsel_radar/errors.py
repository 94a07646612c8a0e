"""RadarError: an error response of the radar, raised."""

from __future__ import annotations

from typing import Tuple

__all__ = ["RadarError"]


class RadarError(ValueError):
    """The radar refused a request or a RadarSpec.

    ``kind`` is the prefix of the radar's error text (``"parse"`` for JSON that
    is malformed or does not fit, ``"bad spec"`` for a spec that fails
    validation or a malformed request) and ``message`` the rest of it, byte for
    byte; ``str(error)`` is the radar's whole text, ``"parse: ..."``.
    """

    kind: str
    message: str

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(f"{kind}: {message}")
        self.kind = kind
        self.message = message

    def __reduce__(self) -> Tuple[type, Tuple[str, str]]:
        return (type(self), (self.kind, self.message))

    @classmethod
    def _from_text(cls, text: str) -> RadarError:
        """From the radar's error text, "kind: message"."""
        kind, sep, message = text.partition(": ")
        if not sep:  # not the radar's form; keep the whole text as the message
            return cls("", text)
        return cls(kind, message)


def foreign_thread_error(owner: str) -> RuntimeError:
    """What use of a thread-bound radar from another thread raises."""
    return RuntimeError(
        f"this {owner} belongs to the thread that created it and was used from another "
        "thread; create one per thread, or use AsyncScreener, which owns a thread of its own"
    )


def is_panic(exc: BaseException) -> bool:
    """The extension's panic exception (not exported; derives from BaseException)."""
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)
