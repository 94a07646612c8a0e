"""Screener: one radar behind typed methods.

Each method is one command of the radar (a large scan is cut into several,
see `_wire`), its request encoded once with orjson and its response decoded
once. An error response raises `RadarError`; nothing is dropped.

Thread rules are the radar's: a Screener belongs to the thread that created
it; use from another thread raises `RuntimeError` and leaves it untouched.
Use one per thread, or `AsyncScreener`, which owns a thread of its own.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Mapping, Tuple, Union

from . import _wire
from ._norsel_radar import Radar
from .errors import foreign_thread_error, is_panic
from .types import Alert, Event, Report, Spec

__all__ = ["Screener"]

# Symbols whose encoded request heads are kept (a feed's symbol is encoded once).
_HEADS_KEPT = 1 << 16
# The names a feed uses, looked up once.
_dumps, _PREFIX, _OK = _wire.dumps, _wire.PREFIX, _wire.OK


def as_spec(spec: object) -> Spec:
    if isinstance(spec, Spec):
        return spec
    if isinstance(spec, (str, bytes)):
        return Spec.from_json(spec)
    raise TypeError(f"a Spec or RadarSpec JSON text is needed, got {type(spec).__name__}")


class Screener:
    """A radar driven through typed values.

    ``Screener(spec)`` takes a `Spec` or RadarSpec JSON text (read and
    validated by the radar: a bad one raises `RadarError`).
    """

    __slots__ = ("_radar", "_spec", "_sorted_labels", "_heads", "__weakref__")

    def __init__(self, spec: Union[Spec, str]) -> None:
        self._use(as_spec(spec))
        self._radar = Radar(self._spec.to_json())
        self._heads: Dict[str, str] = {}

    def _use(self, spec: Spec) -> None:
        self._spec = spec
        # The radar writes factors in byte order of their labels; when that is
        # also the signal order, its dicts serve as they are.
        self._sorted_labels = list(spec.labels) == sorted(spec.labels)

    @property
    def spec(self) -> Spec:
        """The current spec."""
        return self._spec

    def __repr__(self) -> str:
        return f"Screener({self._spec!r})"

    # ------------------------------------------------------------ commands

    def _command(self, text: str) -> str:
        try:
            return self._radar.command(text)
        except BaseException as exc:
            if is_panic(exc):
                raise foreign_thread_error("Screener") from exc
            raise

    def _ok(self, text: str) -> None:
        out = self._command(text)
        if out != _wire.OK:
            raise _wire.error_of(out)

    def _head(self, symbol: object) -> str:
        head = _wire.FEED + _wire.symbol_json(symbol) + ',"event":'
        if len(self._heads) < _HEADS_KEPT:
            self._heads[symbol] = head  # type: ignore[index]
        return head

    def feed(self, symbol: str, event: Event) -> None:
        """Applies one event to the symbol's kept state ("feed")."""
        try:
            head = self._heads[symbol]
        except (KeyError, TypeError):
            head = self._head(symbol)
        try:
            body = _dumps(_PREFIX.get(type(event)) + event)  # type: ignore[operator]
        except TypeError:  # not an event type, or a value put in around its checks
            body = _wire.encode_rows(_wire.row(event, "event"), "event").encode()
        try:
            out = self._radar.command(head + body.decode() + "}")
        except BaseException as exc:
            if is_panic(exc):
                raise foreign_thread_error("Screener") from exc
            raise
        if out != _OK:
            raise _wire.error_of(out)

    def feed_batch(self, symbol: str, events: Iterable[Event]) -> None:
        """Applies the events in order to the symbol's kept state, all or none
        ("feed_batch")."""
        head = _wire.FEED_BATCH + _wire.symbol_json(symbol) + ',"events":'
        self._ok(head + _wire.encode_rows(_wire.rows(events, "events"), "events") + "}")

    def _feed_rows(self, symbol_json: str, rows: List[Tuple[Any, ...]]) -> None:
        """feed_batch of events already in array form (for AsyncScreener)."""
        self._ok(
            _wire.FEED_BATCH + symbol_json + ',"events":' + _wire.encode_rows(rows, "events") + "}"
        )

    def scan(self, events_by_symbol: Mapping[str, Iterable[Event]]) -> Report:
        """Ranks fresh states built from these events alone ("scan"); the kept
        states are neither read nor changed."""
        parts = []
        pieces = _wire.scan_pieces(events_by_symbol, _wire.PIECE_EVENTS, _wire.PIECE_EVENTS)
        for piece in pieces:
            if piece is not None:
                parts.append(self._scan_piece(piece))
        return self._merge(parts)

    def _scan_piece(self, text: str) -> Tuple[List[Alert], int]:
        return _wire.decode_report(self._command(text), self._spec.labels, self._sorted_labels)

    def _merge(self, parts: List[Tuple[List[Alert], int]]) -> Report:
        return _wire.merge(parts, self._spec.limit, self._spec.labels)

    def alerts(self) -> Report:
        """Ranks the kept states ("alerts")."""
        alerts, scanned = _wire.decode_report(
            self._command(_wire.ALERTS), self._spec.labels, self._sorted_labels
        )
        return tuple.__new__(Report, (tuple(alerts), scanned, self._spec.labels))

    def reset(self) -> None:
        """Forgets every kept state ("reset")."""
        self._ok(_wire.RESET)

    def set_spec(self, spec: Union[Spec, str]) -> None:
        """Installs a new spec and forgets every kept state ("set_spec")."""
        new = as_spec(spec)
        self._ok('{"cmd":"set_spec","spec":' + new.to_json() + "}")
        self._use(new)

    def version(self) -> str:
        """The radar's version ("version")."""
        out = self._command(_wire.VERSION)
        value = _wire.loads(out)
        if "version" not in value:
            raise _wire.error_of(out)
        return str(value["version"])
