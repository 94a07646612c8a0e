"""Typed values of the radar: the RadarSpec (`Spec`, `Signal`), the three
market events and the results (`Report`, `Alert`).

Events are small immutable tuples with named fields (no per-event dict);
their constructors convert what market-data libraries deliver:

- numbers: ``float``, ``int``, ``Decimal``, ``Fraction`` and numpy scalars,
  converted with ``float()``; NaN and infinities are refused (JSON cannot carry
  them to the radar);
- ``ts``: an integer (``int``, numpy integer) is milliseconds since the Unix
  epoch, taken as is; a fractional number (``float``, ``Decimal``, numpy
  floating) is seconds, converted to the nearest millisecond; a ``datetime``
  (pandas ``Timestamp`` included; a naive one is read as UTC) or a numpy
  ``datetime64`` is converted to whole milliseconds, rounded down. The result
  must fit a signed 64-bit integer;
- ``side``: ``"buy"`` or ``"sell"`` in any letter case, kept in lower case.

A value that cannot be converted raises ``TypeError`` (wrong type) or
``ValueError`` (NaN, out of range), naming the field.
"""

from __future__ import annotations

import datetime as _dt
import json
import numbers
import os
from dataclasses import dataclass, field
from decimal import ROUND_HALF_EVEN, Decimal
from fractions import Fraction
from importlib import import_module, resources
from operator import index as _index
from typing import (
    Any,
    ClassVar,
    Dict,
    Iterable,
    List,
    Literal,
    Mapping,
    NamedTuple,
    Optional,
    SupportsFloat,
    SupportsIndex,
    Tuple,
    Union,
)

import orjson

from ._norsel_radar import Radar
from .errors import RadarError

__all__ = [
    "Alert",
    "Derivatives",
    "Event",
    "Liquidation",
    "OrderBook",
    "Report",
    "Side",
    "Signal",
    "SignalKind",
    "Spec",
]

#: The five signal kinds, in the radar's order.
SignalKind = Literal[
    "oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence"
]
SIGNAL_KINDS: Tuple[str, ...] = (
    "oi_delta",
    "funding_flip",
    "book_imbalance",
    "liq_cluster",
    "oi_price_divergence",
)
Side = Literal["buy", "sell"]

#: What the event constructors take as a number and as a timestamp.
Number = SupportsFloat
Timestamp = Union[int, float, Decimal, _dt.datetime, SupportsIndex]

_I64_MIN = -(1 << 63)
_I64_MAX = (1 << 63) - 1
_U64_MAX = (1 << 64) - 1
_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
_MS = _dt.timedelta(milliseconds=1)
_tuple_new = tuple.__new__


# ---------------------------------------------------------------- conversions


def _describe(value: object) -> str:
    text = repr(value)
    if len(text) > 60:
        text = text[:57] + "..."
    return f"{type(value).__name__} {text}"


def to_float(value: object, where: str) -> float:
    """A finite float from a real number (not a bool, not a str)."""
    if type(value) is float:
        x = value
    else:
        if isinstance(value, bool) or not isinstance(value, (numbers.Real, Decimal)):
            raise TypeError(f"{where} must be a number, got {_describe(value)}")
        try:
            x = float(value)
        except (OverflowError, ValueError):
            raise ValueError(f"{where} does not fit a float: {value!r}") from None
    if x - x != 0.0:  # NaN or infinite
        raise ValueError(f"{where} must be finite, got {value!r}")
    return x


def _is_datetime64(value: object) -> bool:
    kind = type(value)
    return kind.__name__ == "datetime64" and kind.__module__ == "numpy"


def to_timestamp(value: object, where: str) -> int:
    """Milliseconds since the Unix epoch (see the module's doc for the rules)."""
    ms: object
    if isinstance(value, bool):
        raise TypeError(
            f"{where} must be int milliseconds, float seconds or a datetime, got {_describe(value)}"
        )
    if isinstance(value, numbers.Integral):
        ms = int(value)
    elif isinstance(value, _dt.datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=_dt.timezone.utc)
        ms = (value - _EPOCH) // _MS
        if not isinstance(ms, int):  # pandas.NaT
            raise ValueError(f"{where} is not a point in time: {value!r}")
    elif isinstance(value, Decimal):
        if not value.is_finite():
            raise ValueError(f"{where} must be finite, got {value!r}")
        ms = int((value * 1000).to_integral_value(rounding=ROUND_HALF_EVEN))
    elif isinstance(value, numbers.Rational):  # Fraction: exact
        ms = round(Fraction(int(value.numerator), int(value.denominator)) * 1000)
    elif isinstance(value, numbers.Real):
        seconds = float(value)
        if seconds - seconds != 0.0:
            raise ValueError(f"{where} must be finite, got {value!r}")
        ms = round(seconds * 1000.0)
    elif _is_datetime64(value):
        if value != value:  # NaT
            raise ValueError(f"{where} is not a point in time: {value!r}")
        ms = int(value.astype("datetime64[ms]").astype("int64"))  # type: ignore[attr-defined]
    else:
        raise TypeError(
            f"{where} must be int milliseconds, float seconds or a datetime, got {_describe(value)}"
        )
    assert isinstance(ms, int)
    if not _I64_MIN <= ms <= _I64_MAX:
        raise ValueError(f"{where} is out of the signed 64-bit range of milliseconds: {value!r}")
    return ms


def to_side(value: object, where: str) -> Side:
    if isinstance(value, str):
        side = value.lower()
        if side == "buy":
            return "buy"
        if side == "sell":
            return "sell"
        raise ValueError(f"{where} must be 'buy' or 'sell', got {value!r}")
    raise TypeError(f"{where} must be 'buy' or 'sell', got {_describe(value)}")


def _strings(value: object, where: str) -> Tuple[str, ...]:
    if isinstance(value, str) or not isinstance(value, Iterable):
        raise TypeError(f"{where} must be a sequence of str, got {_describe(value)}")
    out = tuple(value)
    for i, item in enumerate(out):
        if not isinstance(item, str):
            raise TypeError(f"{where}[{i}] must be a str, got {_describe(item)}")
    return tuple(str(item) for item in out)


# ---------------------------------------------------------------- events


class _DerivativesFields(NamedTuple):
    ts: int
    open_interest: float
    funding_rate: float
    mark_price: float


class Derivatives(_DerivativesFields):
    """A derivatives snapshot: open interest, funding rate and mark price."""

    __slots__ = ()
    kind: ClassVar[str] = "derivatives"

    def __new__(
        cls,
        ts: Timestamp,
        open_interest: Number,
        funding_rate: Number,
        mark_price: Number,
    ) -> Derivatives:
        if type(ts) is not int or not _I64_MIN <= ts <= _I64_MAX:
            ts = to_timestamp(ts, "Derivatives.ts")
        if type(open_interest) is not float or open_interest - open_interest != 0.0:
            open_interest = to_float(open_interest, "Derivatives.open_interest")
        if type(funding_rate) is not float or funding_rate - funding_rate != 0.0:
            funding_rate = to_float(funding_rate, "Derivatives.funding_rate")
        if type(mark_price) is not float or mark_price - mark_price != 0.0:
            mark_price = to_float(mark_price, "Derivatives.mark_price")
        return _tuple_new(cls, (ts, open_interest, funding_rate, mark_price))

    @classmethod
    def _make(cls, iterable: Iterable[Any]) -> Derivatives:  # type: ignore[override]
        return cls(*iterable)


class _OrderBookFields(NamedTuple):
    ts: int
    bid_volume: float
    ask_volume: float
    best_bid: float
    best_ask: float


class OrderBook(_OrderBookFields):
    """An order-book snapshot: bid and ask volume, best bid and best ask."""

    __slots__ = ()
    kind: ClassVar[str] = "orderbook"

    def __new__(
        cls,
        ts: Timestamp,
        bid_volume: Number,
        ask_volume: Number,
        best_bid: Number,
        best_ask: Number,
    ) -> OrderBook:
        if type(ts) is not int or not _I64_MIN <= ts <= _I64_MAX:
            ts = to_timestamp(ts, "OrderBook.ts")
        if type(bid_volume) is not float or bid_volume - bid_volume != 0.0:
            bid_volume = to_float(bid_volume, "OrderBook.bid_volume")
        if type(ask_volume) is not float or ask_volume - ask_volume != 0.0:
            ask_volume = to_float(ask_volume, "OrderBook.ask_volume")
        if type(best_bid) is not float or best_bid - best_bid != 0.0:
            best_bid = to_float(best_bid, "OrderBook.best_bid")
        if type(best_ask) is not float or best_ask - best_ask != 0.0:
            best_ask = to_float(best_ask, "OrderBook.best_ask")
        return _tuple_new(cls, (ts, bid_volume, ask_volume, best_bid, best_ask))

    @classmethod
    def _make(cls, iterable: Iterable[Any]) -> OrderBook:  # type: ignore[override]
        return cls(*iterable)


class _LiquidationFields(NamedTuple):
    ts: int
    side: Side
    qty: float
    price: float


class Liquidation(_LiquidationFields):
    """A liquidation: side ("buy" or "sell"), quantity and price."""

    __slots__ = ()
    kind: ClassVar[str] = "liquidation"

    def __new__(cls, ts: Timestamp, side: str, qty: Number, price: Number) -> Liquidation:
        if type(ts) is not int or not _I64_MIN <= ts <= _I64_MAX:
            ts = to_timestamp(ts, "Liquidation.ts")
        if side != "buy" and side != "sell":
            side = to_side(side, "Liquidation.side")
        if type(qty) is not float or qty - qty != 0.0:
            qty = to_float(qty, "Liquidation.qty")
        if type(price) is not float or price - price != 0.0:
            price = to_float(price, "Liquidation.price")
        return _tuple_new(cls, (ts, str(side), qty, price))

    @classmethod
    def _make(cls, iterable: Iterable[Any]) -> Liquidation:  # type: ignore[override]
        return cls(*iterable)


#: Any of the three market events.
Event = Union[Derivatives, OrderBook, Liquidation]


# ---------------------------------------------------------------- results


class Alert(NamedTuple):
    """One ranked symbol: its severity, its factors by signal label in the
    RadarSpec's signal order (the severity is not among them), and the
    timestamp of its newest event."""

    symbol: str
    severity: float
    factors: Mapping[str, float]
    ts: int


Record = Dict[str, Union[str, float, int]]


class Report(NamedTuple):
    """The answer of "alerts" and "scan": the alerts in rank order, how many
    symbols were evaluated, and the spec's signal labels in signal order."""

    alerts: Tuple[Alert, ...]
    scanned: int
    labels: Tuple[str, ...] = ()

    def _columns(self) -> List[str]:
        labels = list(self.labels) or (list(self.alerts[0].factors) if self.alerts else [])
        return ["symbol", "severity", *labels, "ts"]

    def to_records(self) -> List[Record]:
        """One flat dict per alert, in rank order: "symbol", "severity", one
        member per signal label, "ts"."""
        rows: List[Record] = []
        for alert in self.alerts:
            row: Record = {"symbol": alert.symbol, "severity": alert.severity}
            row.update(alert.factors)
            row["ts"] = alert.ts
            rows.append(row)
        return rows

    def to_pandas(self) -> Any:
        """A pandas DataFrame of `to_records()` (float64 factors, int64 ``ts``,
        one row per alert in rank order). Needs pandas."""
        try:
            pd: Any = import_module("pandas")
        except ImportError as exc:
            raise ImportError(
                'Report.to_pandas() needs pandas: pip install "norsel_radar[pandas]"'
            ) from exc
        columns = self._columns()
        data: Dict[str, Any] = {}
        for name in columns:
            values = [row[name] for row in self.to_records()] if self.alerts else []
            dtype = "int64" if name == "ts" else ("object" if name == "symbol" else "float64")
            data[name] = pd.Series(values, dtype=dtype)
        return pd.DataFrame(data, columns=columns)

    def to_arrow(self) -> Any:
        """A pyarrow Table of `to_records()` (string symbol, float64 factors,
        int64 ``ts``). Needs pyarrow."""
        try:
            pa: Any = import_module("pyarrow")
        except ImportError as exc:
            raise ImportError(
                'Report.to_arrow() needs pyarrow: pip install "norsel_radar[arrow]"'
            ) from exc
        rows = self.to_records()
        arrays = []
        for name in self._columns():
            kind = (
                pa.int64() if name == "ts" else (pa.string() if name == "symbol" else pa.float64())
            )
            arrays.append(pa.array([row[name] for row in rows], type=kind))
        return pa.Table.from_arrays(arrays, names=self._columns())


# ---------------------------------------------------------------- the RadarSpec


def _radar_check(text: str) -> None:
    """The radar's own reading and validation of a RadarSpec text."""
    try:
        Radar(text)
    except UnicodeError:
        raise
    except ValueError as exc:
        raise RadarError._from_text(str(exc)) from None


@dataclass(frozen=True, init=False)
class Signal:
    """One weighted signal of a RadarSpec: its kind, its parameters (as many
    as the kind takes: one for ``funding_flip`` and ``book_imbalance``, two for
    the others) and its weight (finite, not negative)."""

    kind: SignalKind
    params: Tuple[float, ...]
    weight: float

    def __init__(
        self, kind: SignalKind, params: Iterable[Number] = (), weight: Number = 1.0
    ) -> None:
        if not isinstance(kind, str) or kind not in SIGNAL_KINDS:
            raise ValueError(f"Signal.kind must be one of {', '.join(SIGNAL_KINDS)}; got {kind!r}")
        if isinstance(params, str) or not isinstance(params, Iterable):
            raise TypeError(f"Signal.params must be a sequence of numbers, got {_describe(params)}")
        values = tuple(to_float(p, f"Signal.params[{i}]") for i, p in enumerate(params))
        object.__setattr__(self, "kind", str(kind))
        object.__setattr__(self, "params", values)
        object.__setattr__(self, "weight", to_float(weight, "Signal.weight"))

    def _value(self) -> Dict[str, Any]:
        return {"kind": self.kind, "params": self.params, "weight": self.weight}

    @classmethod
    def _from_value(cls, value: Any) -> Signal:
        if isinstance(value, dict):
            kind, params, weight = value["kind"], value.get("params", []), value.get("weight", 1.0)
        else:  # [kind, params, weight], cut short after the kind or the params
            items = list(value)
            kind = items[0]
            params = items[1] if len(items) > 1 else []
            weight = items[2] if len(items) > 2 else 1.0
        if isinstance(kind, dict):  # {"oi_delta": null}
            (kind,) = kind
        return cls(kind, params, weight)


@dataclass(frozen=True, init=False)
class Spec:
    """A RadarSpec: the signals to evaluate in order, the threshold a
    symbol's severity must reach, the most alerts reported (None: no limit),
    and the venue and symbol names (kept as written; they filter nothing).

    A `Spec` is always valid: its constructor runs the radar's own validation
    and raises `RadarError` with the radar's message. Specs are immutable,
    comparable, hashable and picklable.
    """

    signals: Tuple[Signal, ...]
    threshold: float
    limit: Optional[int]
    venues: Tuple[str, ...]
    symbols: Tuple[str, ...]
    _labels: Tuple[str, ...] = field(init=False, repr=False, compare=False)

    def __init__(
        self,
        signals: Iterable[Signal],
        threshold: Number = 0.0,
        limit: Optional[SupportsIndex] = None,
        venues: Iterable[str] = (),
        symbols: Iterable[str] = (),
    ) -> None:
        if isinstance(signals, Signal) or not isinstance(signals, Iterable):
            raise TypeError(f"Spec.signals must be a sequence of Signal, got {_describe(signals)}")
        sigs = tuple(signals)
        for i, sig in enumerate(sigs):
            if not isinstance(sig, Signal):
                raise TypeError(f"Spec.signals[{i}] must be a Signal, got {_describe(sig)}")
        if limit is not None:
            if isinstance(limit, bool):
                raise TypeError(f"Spec.limit must be an int or None, got {_describe(limit)}")
            try:
                limit = _index(limit)
            except TypeError:
                raise TypeError(
                    f"Spec.limit must be an int or None, got {_describe(limit)}"
                ) from None
            if not 0 <= limit <= _U64_MAX:
                raise ValueError(f"Spec.limit must be a positive count, got {limit}")
        object.__setattr__(self, "signals", sigs)
        object.__setattr__(self, "threshold", to_float(threshold, "Spec.threshold"))
        object.__setattr__(self, "limit", limit)
        object.__setattr__(self, "venues", _strings(venues, "Spec.venues"))
        object.__setattr__(self, "symbols", _strings(symbols, "Spec.symbols"))
        _radar_check(self.to_json())
        object.__setattr__(self, "_labels", tuple(_label(sig) for sig in sigs))

    @property
    def labels(self) -> Tuple[str, ...]:
        """The signals' labels in signal order, as the radar keys its factors
        ("oi_delta(20,0.05)")."""
        return self._labels

    def to_json(self) -> str:
        """The RadarSpec as compact JSON text, every member written."""
        return orjson.dumps(
            {
                "venues": self.venues,
                "symbols": self.symbols,
                "signals": [sig._value() for sig in self.signals],
                "threshold": self.threshold,
                "limit": self.limit,
            }
        ).decode()

    @classmethod
    def from_json(cls, text: Union[str, bytes]) -> Spec:
        """A spec from RadarSpec JSON text (object or array form), read and
        validated by the radar itself: a bad one raises `RadarError` with the
        radar's exact message."""
        if isinstance(text, (bytes, bytearray)):
            text = bytes(text).decode("utf-8")
        if not isinstance(text, str):
            raise TypeError(f"Spec.from_json needs str or bytes, got {_describe(text)}")
        _radar_check(text)
        try:
            value = orjson.loads(text)
        except orjson.JSONDecodeError:  # integers beyond 64 bits, which the radar reads as doubles
            value = json.loads(text)
        return cls._from_value(value)

    @classmethod
    def from_file(cls, path: Union[str, os.PathLike[str]]) -> Spec:
        """A spec from a file of RadarSpec JSON text (UTF-8)."""
        with open(path, "rb") as f:
            return cls.from_json(f.read())

    @classmethod
    def default(cls) -> Spec:
        """The bundled default spec (all five signal kinds; the one of
        ``norsel-radar demo``)."""
        data = resources.files("norsel_radar") / "data" / "default_spec.json"
        return cls.from_json(data.read_bytes())

    @classmethod
    def _from_value(cls, value: Any) -> Spec:
        if isinstance(value, dict):
            parts = [value.get(name) for name in ("venues", "symbols", "signals", "threshold")]
            parts.append(value.get("limit"))
        else:
            parts = list(value) + [None] * (5 - len(value))
        venues, symbols, signals, threshold, limit = parts
        return cls(
            [Signal._from_value(sig) for sig in signals or ()],
            0.0 if threshold is None else threshold,
            limit,
            venues or (),
            symbols or (),
        )


def _label(sig: Signal) -> str:
    """The radar's label of a signal, asked of the radar itself."""
    one = orjson.dumps({"signals": [sig._value()], "threshold": -1}).decode()
    report = orjson.loads(Radar(one).command('{"cmd":"scan","events":{"":[]}}'))
    (label,) = [key for key in report["alerts"][0]["factors"] if key != "severity"]
    return str(label)
