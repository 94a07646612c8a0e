"""A pure-Python market radar: what a user would write instead of the native one.

It speaks the same JSON command protocol as ``norsel_radar.Radar`` (``feed``,
``feed_batch``, ``scan``, ``alerts``, ``reset``, ``set_spec``, ``version``) and
answers the report commands with byte-identical text: the same evaluation of the
five signal kinds, the same rounding to multiples of 1e-8, the same ranking and
the same JSON number forms.

It is written the way a competent Python programmer would write it: the standard
``json`` module for reading, ``collections.deque(maxlen=window)`` for the bounded
series, plain float arithmetic for the signals, string building for the report.
Error responses are produced for bad input (so the work done per event is the
same kind of checking the native radar does), but their message texts are only
approximately the native ones; the benchmarks compare successful answers.
"""

from __future__ import annotations

import json
import math
from collections import deque
from decimal import Decimal
from json.encoder import encode_basestring  # JSON string escaping, non-ASCII kept

__all__ = ["PyRadar", "quantize", "format_double", "signal_label", "window_for", "lookback"]

EPS = 1e-12
QUANTUM = 1e-8
TS_MIN = -(2**63)
TS_MAX = 2**63 - 1
U64_MAX = 2**64 - 1

KIND_NAMES = ("oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence")
KIND_INDEX = {name: i for i, name in enumerate(KIND_NAMES)}
PARAM_COUNT = (2, 1, 1, 2, 2)
LOOKBACK_KINDS = (0, 3, 4)

OK = '{"ok":true}'
VERSION = '{"version":"0.2.0"}'


class RadarError(Exception):
    """A failure that becomes an error response; str() is the full text."""


def _parse_error(message: str) -> RadarError:
    return RadarError("parse: " + message)


def _bad_spec(message: str) -> RadarError:
    return RadarError("bad spec: " + message)


# ---------------------------------------------------------------- numbers


def quantize(x: float) -> float:
    """Round to a multiple of 1e-8, halves away from zero, in double arithmetic."""
    q = x / QUANTUM
    if q != q or q in (math.inf, -math.inf):
        return q * QUANTUM
    t = math.copysign(float(math.trunc(q)), q)  # rounding keeps the sign, also of zero
    if abs(q - t) >= 0.5:  # q - t is exact
        t += 1.0 if q > 0 else -1.0
    return t * QUANTUM


def _plain_from_repr(r: str) -> str:
    """Plain decimal notation of a finite, non-negative float's repr (shortest digits)."""
    s = format(Decimal(r), "f")
    return s


def format_double(x: float) -> str:
    """The report's number form: shortest round-trip digits, ".0" on integral
    values, plain decimals for 1e-5 <= |x| < 1e16, exponent form otherwise
    (1e-8, 1.5e-7, 1e+16), null for NaN and infinities."""
    r = repr(x)
    if "e" not in r:
        if r[-1] in "fn":  # inf, -inf, nan
            return "null"
        return r
    mantissa, exp_text = r.split("e")
    exponent = int(exp_text)
    if -5 <= exponent < 16:
        s = _plain_from_repr(r)
        if "." not in s:
            s += ".0"
        return s
    return mantissa + "e" + ("+" if exponent > 0 else "") + str(exponent)


def format_param(x: float) -> str:
    """A label parameter: shortest digits, plain notation, no trailing ".0"."""
    if x != x:
        return "NaN"
    if x in (math.inf, -math.inf):
        return "inf" if x > 0 else "-inf"
    s = format(Decimal(repr(x)), "f")
    if "." in s:
        s = s.rstrip("0").rstrip(".")
    return s


def lookback(x: float) -> int:
    """Look-back parameter to a count: finite and > 0 truncated, else 0."""
    if x > 0 and x != math.inf:
        return min(int(x), U64_MAX)
    return 0


def floor_denominator(x: float) -> float:
    return x if x > EPS else EPS  # NaN > EPS is false: NaN gives EPS


def finish(r: float) -> float:
    if r != r or r == math.inf or r == -math.inf:
        return 0.0
    if r < 0.0:
        return 0.0
    if r > 1.0:
        return 1.0
    return r


def _div(a: float, b: float) -> float:
    """IEEE division (Python raises on a zero divisor)."""
    if b == 0.0:
        if a != a or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


# ---------------------------------------------------------------- spec


class Signal:
    __slots__ = ("kind", "params", "weight", "label")

    def __init__(self, kind: int, params: list, weight: float):
        self.kind = kind
        self.params = params
        self.weight = weight
        self.label = signal_label(kind, params)


def signal_label(kind: int, params) -> str:
    return KIND_NAMES[kind] + "(" + ",".join(format_param(quantize(p)) for p in params) + ")"


def _is_number(v) -> bool:
    t = type(v)
    return t is float or t is int


def _read_kind(v) -> int:
    if type(v) is dict and len(v) == 1:
        ((v, unit),) = v.items()
        if unit is not None:
            raise _parse_error("invalid type, expected unit")
    if type(v) is not str:
        raise _parse_error("invalid type, expected string or map")
    kind = KIND_INDEX.get(v)
    if kind is None:
        raise _parse_error(
            f"unknown variant `{v}`, expected one of `oi_delta`, `funding_flip`, "
            "`book_imbalance`, `liq_cluster`, `oi_price_divergence`"
        )
    return kind


def _read_signal(v) -> Signal:
    if type(v) is list:
        if not v:
            raise _parse_error("invalid length 0, expected struct Signal with 3 elements")
        if len(v) > 3:
            raise _parse_error(f"invalid length {len(v)}, expected fewer elements in array")
        fields = dict(zip(("kind", "params", "weight"), v))
    elif type(v) is dict:
        fields = v
        if "kind" not in fields:
            raise _parse_error("missing field `kind`")
    else:
        raise _parse_error("invalid type, expected struct Signal")
    kind = _read_kind(fields["kind"])
    params = fields.get("params", [])
    if type(params) is not list or not all(_is_number(p) for p in params):
        raise _parse_error("invalid type, expected a sequence of f64")
    weight = fields.get("weight", 1.0)
    if not _is_number(weight):
        raise _parse_error("invalid type, expected f64")
    return Signal(kind, [float(p) for p in params], float(weight))


class Spec:
    __slots__ = (
        "venues",
        "symbols",
        "signals",
        "threshold",
        "limit",
        "window",
        "label_order",
        "label_keys",
    )

    def __init__(self, value):
        if type(value) is list:
            if len(value) < 3:
                raise _parse_error("invalid length 2, expected struct RadarSpec with 5 elements")
            if len(value) > 5:
                raise _parse_error(f"invalid length {len(value)}, expected fewer elements in array")
            value = dict(zip(("venues", "symbols", "signals", "threshold", "limit"), value))
        elif type(value) is not dict:
            raise _parse_error("invalid type, expected struct RadarSpec")
        if "signals" not in value:
            raise _parse_error("missing field `signals`")
        for name in ("venues", "symbols"):
            names = value.get(name, [])
            if type(names) is not list or not all(type(n) is str for n in names):
                raise _parse_error("invalid type, expected a sequence of strings")
        self.venues = list(value.get("venues", []))
        self.symbols = list(value.get("symbols", []))
        signals = value["signals"]
        if type(signals) is not list:
            raise _parse_error("invalid type, expected a sequence")
        self.signals = [_read_signal(s) for s in signals]
        threshold = value.get("threshold", 0.0)
        if not _is_number(threshold):
            raise _parse_error("invalid type, expected f64")
        self.threshold = float(threshold)
        limit = value.get("limit")
        if limit is not None and (type(limit) is not int or not 0 <= limit <= U64_MAX):
            raise _parse_error("invalid limit, expected usize")
        self.limit = limit
        self._validate()
        self.window = window_for(self.signals)
        # Factor keys in byte order: the labels, then "severity" (which sorts
        # after every label, since labels start with a kind name).
        labels = [s.label for s in self.signals]
        self.label_order = sorted(range(len(labels)), key=lambda i: labels[i].encode())
        self.label_keys = [encode_basestring(labels[i]) + ":" for i in self.label_order]

    def _validate(self) -> None:
        if not self.signals:
            raise _bad_spec("at least one signal is required")
        if not math.isfinite(self.threshold):
            raise _bad_spec("threshold must be finite")
        if self.limit == 0:
            raise _bad_spec("limit must be greater than zero")
        seen = set()
        for s in self.signals:
            name = KIND_NAMES[s.kind]
            if len(s.params) != PARAM_COUNT[s.kind]:
                raise _bad_spec(
                    f"{name} takes {PARAM_COUNT[s.kind]} parameter(s), got {len(s.params)}"
                )
            if not math.isfinite(s.weight) or s.weight < 0:
                raise _bad_spec(f"{name} weight must be finite and non-negative")
            if s.label in seen:
                raise _bad_spec(f"duplicate signal: {s.label}")
            seen.add(s.label)


def window_for(signals) -> int:
    m = 0
    for s in signals:
        if s.kind in LOOKBACK_KINDS:
            m = max(m, lookback(s.params[0]) if s.params else 0)
    return max(2, m + 1)


# ---------------------------------------------------------------- events

DERIVATIVES, ORDERBOOK, LIQUIDATION = 0, 1, 2
_VARIANTS = {"derivatives": DERIVATIVES, "orderbook": ORDERBOOK, "liquidation": LIQUIDATION}
_FIELDS = (
    ("ts", "open_interest", "funding_rate", "mark_price"),
    ("ts", "bid_volume", "ask_volume", "best_bid", "best_ask"),
    ("ts", "side", "qty", "price"),
)
_STRUCT_NAMES = ("Derivatives", "Orderbook", "Liquidation")


def _f64(v) -> float:
    t = type(v)
    if t is float:
        return v
    if t is int:
        return float(v)
    raise _parse_error("invalid type, expected f64")


def _i64(v) -> int:
    if type(v) is not int:
        raise _parse_error("invalid type, expected i64")
    if v > TS_MAX or v < TS_MIN:
        raise _parse_error(f"invalid value: integer `{v}`, expected i64")
    return v


def _side(v) -> None:
    if type(v) is str:
        if v != "buy" and v != "sell":
            raise _parse_error(f"unknown variant `{v}`, expected `buy` or `sell`")
        return
    if type(v) is dict:
        if len(v) != 1:
            raise _parse_error("invalid value: map, expected map with a single key")
        ((name, unit),) = v.items()
        if name != "buy" and name != "sell":
            raise _parse_error(f"unknown variant `{name}`, expected `buy` or `sell`")
        if unit is not None and unit != {}:
            raise _parse_error("invalid type, expected unit")
        return
    raise _parse_error("invalid type, expected string or map")


def decode_event(v) -> tuple:
    """One event value to a tuple (variant, ts, a, b, c): derivatives carry
    (open_interest, funding_rate, mark_price), orderbook (bid, ask, None),
    liquidation (qty, None, None). Unused fields are checked, then dropped."""
    if type(v) is dict:
        kind = v.get("kind", _MISSING)
        if kind is _MISSING:
            raise _parse_error("missing field `kind`")
        if type(kind) is not str:
            raise _parse_error("invalid type, expected variant identifier")
        variant = _VARIANTS.get(kind)
        if variant is None:
            raise _parse_error(
                f"unknown variant `{kind}`, expected one of `derivatives`, `orderbook`, `liquidation`"
            )
        try:
            if variant == DERIVATIVES:
                return (
                    DERIVATIVES,
                    _i64(v["ts"]),
                    _f64(v["open_interest"]),
                    _f64(v["funding_rate"]),
                    _f64(v["mark_price"]),
                )
            if variant == ORDERBOOK:
                ev = (ORDERBOOK, _i64(v["ts"]), _f64(v["bid_volume"]), _f64(v["ask_volume"]), None)
                _f64(v["best_bid"])
                _f64(v["best_ask"])
                return ev
            _side(v["side"])
            _f64(v["price"])
            return (LIQUIDATION, _i64(v["ts"]), _f64(v["qty"]), None, None)
        except KeyError:
            for name in _FIELDS[variant]:
                if name not in v:
                    raise _parse_error(f"missing field `{name}`") from None
            raise
    if type(v) is list:
        if not v:
            raise _parse_error("missing field `kind`")
        kind = v[0]
        if type(kind) is not str:
            raise _parse_error("invalid type, expected variant identifier")
        variant = _VARIANTS.get(kind)
        if variant is None:
            raise _parse_error(
                f"unknown variant `{kind}`, expected one of `derivatives`, `orderbook`, `liquidation`"
            )
        fields = _FIELDS[variant]
        n = len(v) - 1
        if n < len(fields):
            raise _parse_error(
                f"invalid length {n}, expected struct variant "
                f"Event::{_STRUCT_NAMES[variant]} with {len(fields)} elements"
            )
        if n > len(fields):
            raise _parse_error(f"invalid length {n}, expected {len(fields)} elements in sequence")
        return decode_event(dict(zip(("kind",) + fields, v)))
    raise _parse_error("invalid type, expected internally tagged enum Event")


_MISSING = object()


def decode_event_list(v) -> list:
    if type(v) is not list:
        raise _parse_error("invalid type, expected a sequence")
    return [decode_event(e) for e in v]


# ---------------------------------------------------------------- state


class SymbolState:
    __slots__ = ("book_seen", "bid", "ask", "oi", "fr", "mp", "liq", "ts")

    def __init__(self, window: int):
        self.book_seen = False
        self.bid = 0.0
        self.ask = 0.0
        self.oi = deque(maxlen=window)
        self.fr = deque(maxlen=window)
        self.mp = deque(maxlen=window)
        self.liq = deque(maxlen=window)
        self.ts = TS_MIN

    def apply(self, ev: tuple) -> None:
        variant, ts, a, b, c = ev
        if variant == DERIVATIVES:
            self.oi.append(a)
            self.fr.append(b)
            self.mp.append(c)
        elif variant == ORDERBOOK:
            self.book_seen = True
            self.bid = a
            self.ask = b
        else:
            self.liq.append(a)
        if ts > self.ts:
            self.ts = ts


def _deque_window(window: int) -> int:
    # deque's maxlen must fit a Py_ssize_t; a larger window is never reached anyway.
    return min(window, 2**62)


# ---------------------------------------------------------------- evaluation


def _factor(s: Signal, st: SymbolState) -> float:
    kind = s.kind
    p = s.params
    if kind == 0:  # oi_delta
        k = lookback(p[0])
        oi = st.oi
        n = len(oi)
        if n <= k:
            return 0.0
        old = oi[n - 1 - k]
        return finish(_div(abs(_div(oi[-1] - old, floor_denominator(old))), p[1]))
    if kind == 1:  # funding_flip
        fr = st.fr
        if len(fr) < 2:
            return 0.0
        newest = fr[-1]
        r = _div(abs(newest), p[0])
        if newest * fr[-2] < 0.0:
            r = r + r
        return finish(r)
    if kind == 2:  # book_imbalance
        if not st.book_seen:
            return 0.0
        bid = st.bid
        ask = st.ask
        return finish(_div(abs(_div(bid - ask, floor_denominator(bid + ask))), p[0]))
    if kind == 3:  # liq_cluster
        liq = st.liq
        if not liq:
            return 0.0
        m = min(len(liq), lookback(p[0]))
        if m == 0:
            return 0.0
        total = 0.0
        n = len(liq)
        for i in range(n - m, n):  # oldest of the newest m first; no compensated sum
            total += liq[i]
        return finish(_div(total, p[1]))
    # oi_price_divergence
    k = lookback(p[0])
    oi = st.oi
    n = len(oi)
    if n <= k:
        return 0.0
    i = n - 1 - k
    mp = st.mp
    oi_old = oi[i]
    mp_old = mp[i]
    oi_change = _div(oi[-1] - oi_old, floor_denominator(oi_old))
    price_change = _div(mp[-1] - mp_old, floor_denominator(mp_old))
    d = -oi_change * price_change
    d = d if d > 0.0 else 0.0  # larger of d and 0 (a NaN gives 0)
    return finish(_div(d, p[1] * p[1]))


def evaluate(spec: Spec, st: SymbolState):
    """Severity and the rounded factors in signal order."""
    weighted_sum = 0.0
    weight_sum = 0.0
    factors = []
    for s in spec.signals:
        f = _factor(s, st)
        weighted_sum += f * s.weight
        weight_sum += s.weight
        factors.append(quantize(f))
    severity = quantize(_div(weighted_sum, weight_sum)) if weight_sum > 0.0 else 0.0
    return severity, factors


def _rank_and_write(spec: Spec, items, scanned: int) -> str:
    """items: (symbol, state) pairs in ascending symbol order."""
    threshold = spec.threshold
    alerts = []
    for symbol, st in items:
        severity, factors = evaluate(spec, st)
        if severity >= threshold:  # NaN never passes
            alerts.append((severity, symbol, factors, st.ts))
    # Stable sort on severity alone keeps the ascending symbol order of equal
    # severities. Severities here are never NaN (they passed the threshold) and
    # never -0.0 (the weighted sum starts at +0.0), so -severity orders them
    # exactly as the IEEE total order does.
    alerts.sort(key=lambda a: -a[0])
    if spec.limit is not None:
        del alerts[spec.limit :]
    keys = spec.label_keys
    order = spec.label_order
    parts = []
    for severity, symbol, factors, ts in alerts:
        sev = format_double(severity)
        fac = ",".join([keys[j] + format_double(factors[i]) for j, i in enumerate(order)])
        parts.append(
            '{"symbol":'
            + encode_basestring(symbol)
            + ',"severity":'
            + sev
            + ',"factors":{'
            + fac
            + ',"severity":'
            + sev
            + '},"ts":'
            + str(ts)
            + "}"
        )
    return '{"alerts":[' + ",".join(parts) + '],"scanned":' + str(scanned) + "}"


# ---------------------------------------------------------------- the radar


def _error_response(err: RadarError) -> str:
    return '{"error":' + encode_basestring(str(err)) + ',"ok":false}'


class PyRadar:
    """Pure-Python radar with the native radar's command protocol."""

    def __init__(self, spec_json: str):
        try:
            spec_value = json.loads(spec_json)
        except ValueError as exc:
            raise ValueError("parse: " + str(exc)) from None
        try:
            self.spec = Spec(spec_value)
        except RadarError as exc:
            raise ValueError(str(exc)) from None
        self.store: dict[str, SymbolState] = {}

    # -- commands

    def command(self, cmd_json: str) -> str:
        try:
            try:
                request = json.loads(cmd_json)
            except ValueError as exc:
                raise _parse_error(str(exc)) from None
            if type(request) is not dict or type(request.get("cmd")) is not str:
                raise _bad_spec('missing "cmd"')
            cmd = request["cmd"]
            if cmd == "feed":
                return self._feed(request)
            if cmd == "feed_batch":
                return self._feed_batch(request)
            if cmd == "scan":
                return self._scan(request)
            if cmd == "alerts":
                return self.alerts()
            if cmd == "reset":
                self.store.clear()
                return OK
            if cmd == "version":
                return VERSION
            if cmd == "set_spec":
                if "spec" not in request:
                    raise _bad_spec('missing "spec"')
                spec = Spec(request["spec"])
                self.spec = spec
                self.store.clear()
                return OK
            raise _bad_spec("unknown cmd: " + cmd)
        except RadarError as exc:
            return _error_response(exc)

    def _symbol(self, request) -> str:
        symbol = request.get("symbol")
        if type(symbol) is not str:
            raise _bad_spec('missing string "symbol"')
        return symbol

    def _state(self, symbol: str) -> SymbolState:
        st = self.store.get(symbol)
        if st is None:
            st = self.store[symbol] = SymbolState(_deque_window(self.spec.window))
        return st

    def _feed(self, request) -> str:
        symbol = self._symbol(request)
        if "event" not in request:
            raise _bad_spec('missing "event"')
        ev = decode_event(request["event"])
        self._state(symbol).apply(ev)
        return OK

    def _feed_batch(self, request) -> str:
        symbol = self._symbol(request)
        if "events" not in request:
            raise _bad_spec('missing "events"')
        events = decode_event_list(request["events"])
        if events:
            apply = self._state(symbol).apply
            for ev in events:
                apply(ev)
        return OK

    def _scan(self, request) -> str:
        if "events" not in request:
            raise _bad_spec('missing "events"')
        by_symbol = request["events"]
        if type(by_symbol) is not dict:
            raise _parse_error("invalid type, expected a map")
        # Decode everything before building anything.
        decoded = [(symbol, decode_event_list(lst)) for symbol, lst in by_symbol.items()]
        decoded.sort(key=lambda item: item[0])  # code-point order is UTF-8 byte order
        window = _deque_window(self.spec.window)
        items = []
        for symbol, events in decoded:
            st = SymbolState(window)
            apply = st.apply
            for ev in events:
                apply(ev)
            items.append((symbol, st))
        return _rank_and_write(self.spec, items, len(items))

    def alerts(self) -> str:
        store = self.store
        return _rank_and_write(self.spec, [(s, store[s]) for s in sorted(store)], len(store))
