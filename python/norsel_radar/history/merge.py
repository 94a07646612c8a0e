"""Reports of disjoint symbol sets joined into the report of one radar, and
reports written back as the radar's own text.

A symbol's state depends only on its own events, so a radar over all symbols
evaluates each symbol exactly as the radar of its part did; only the ranking
and the limit span the parts. Each part's top ``limit`` alerts therefore
suffice: the union, ranked by the radar's rule and cut to the limit, is the
whole radar's list. Nothing here needs more than orjson.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Sequence, Tuple, TypeVar, Union, overload

import orjson

from .. import _wire
from ..screener import as_spec
from ..types import Alert, Report, Spec

__all__ = ["format_double", "merge_reports", "report_text"]

R = TypeVar("R", str, Report)


def format_double(x: float) -> str:
    """A double as the radar writes it: the shortest digits that read back as
    the same double, plain from 1e-5 up to below 1e16 (with ".0" on integral
    values), in exponent form outside that ("1e-8", "1.5e-7", "1e+16"), and
    null for NaN and infinities."""
    if x != x or x - x != 0.0:
        return "null"
    text = repr(x)  # the shortest round-trip digits, as the radar's writer picks them
    sign = ""
    if text[0] == "-":
        sign, text = "-", text[1:]
    mantissa, _, exp_text = text.partition("e")
    whole, _, frac = mantissa.partition(".")
    digits = whole + frac
    point = len(whole) + (int(exp_text) if exp_text else 0)
    stripped = digits.lstrip("0")
    point -= len(digits) - len(stripped)
    digits = stripped.rstrip("0")
    if not digits:
        return sign + "0.0"
    magnitude = abs(x)
    if 1e-5 <= magnitude < 1e16:
        if point <= 0:
            return sign + "0." + "0" * -point + digits
        if point >= len(digits):
            return sign + digits + "0" * (point - len(digits)) + ".0"
        return sign + digits[:point] + "." + digits[point:]
    exponent = point - 1
    head = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return sign + head + ("e-" if exponent < 0 else "e+") + str(abs(exponent))


def _alert_text(symbol: str, severity: float, factors: Dict[str, float], ts: int) -> str:
    # The report's fixed member order; factors by byte order of their labels.
    members = ",".join(
        _wire.dumps(label).decode() + ":" + format_double(value)
        for label, value in sorted(factors.items())
    )
    return (
        '{"symbol":'
        + _wire.dumps(symbol).decode()
        + ',"severity":'
        + format_double(severity)
        + ',"factors":{'
        + members
        + '},"ts":'
        + str(int(ts))
        + "}"
    )


def report_text(report: Report) -> str:
    """The radar's text of a report, byte for byte what "alerts" or "scan"
    answered for it: ``{"alerts":[...],"scanned":N}``."""
    parts = []
    for alert in report.alerts:
        factors = dict(alert.factors)
        factors["severity"] = alert.severity
        parts.append(_alert_text(alert.symbol, alert.severity, factors, alert.ts))
    return '{"alerts":[' + ",".join(parts) + '],"scanned":' + str(int(report.scanned)) + "}"


# One alert of a report text: symbol, severity, factors with "severity", ts.
_Row = Tuple[str, float, Dict[str, float], int]


def _text_rows(text: str, expected: Sequence[str], index: int) -> Tuple[List[_Row], int]:
    value = orjson.loads(text)
    if type(value) is not dict or "alerts" not in value:
        raise _wire.error_of(text)
    rows = []
    for a in value["alerts"]:
        factors = a["factors"]
        if sorted(factors) != expected:
            raise ValueError(
                f"reports[{index}]: the factors of {a['symbol']!r} are not those of the spec"
                f" ({', '.join(expected[:-1])})"
            )
        rows.append((a["symbol"], a["severity"], factors, a["ts"]))
    return rows, value["scanned"]


def _check_disjoint(parts: Iterable[Tuple[List[Any], int]]) -> None:
    seen: Dict[str, int] = {}
    for index, (alerts, _) in enumerate(parts):
        for alert in alerts:
            first = seen.setdefault(alert[0], index)
            if first != index:
                raise ValueError(
                    f"symbol {alert[0]!r} is in reports[{first}] and reports[{index}]:"
                    " merged reports must cover disjoint symbol sets"
                )


def _passes(severity: Any, threshold: float) -> bool:
    return severity is not None and severity >= threshold


@overload
def merge_reports(reports: Iterable[str], spec: Union[Spec, str]) -> str: ...
@overload
def merge_reports(reports: Iterable[Report], spec: Union[Spec, str]) -> Report: ...
def merge_reports(reports: Iterable[Any], spec: Union[Spec, str]) -> Any:
    """The report that one radar would give over all the symbols of these
    reports, which must cover disjoint symbol sets (split scans, or the
    partitions of a backtest).

    ``reports`` are report texts exactly as ``Radar.command`` returned them
    (the answer is then such a text too, byte for byte the single radar's)
    or `Report` values (the answer is a `Report`). The alerts are ranked by
    the radar's rule (severity highest first, ties by symbol in byte order),
    the spec's threshold and limit applied, and ``scanned`` added up. An
    error response among the texts raises its `RadarError`.
    """
    spec = as_spec(spec)
    items = list(reports)
    if not items:
        raise ValueError("merge_reports needs at least one report")
    if all(isinstance(r, str) for r in items):
        expected = sorted((*spec.labels, "severity"))
        parts = [_text_rows(text, expected, i) for i, text in enumerate(items)]
        _check_disjoint(parts)
        rows = [r for found, _ in parts for r in found if _passes(r[1], spec.threshold)]
        _wire.rank(rows, spec.limit)
        body = ",".join(_alert_text(*r) for r in rows)
        return '{"alerts":[' + body + '],"scanned":' + str(sum(n for _, n in parts)) + "}"
    if all(isinstance(r, Report) for r in items):
        for i, report in enumerate(items):
            if report.labels and tuple(report.labels) != spec.labels:
                raise ValueError(f"reports[{i}] was made with other signals than the spec's")
        typed: List[Tuple[List[Alert], int]] = [
            ([a for a in r.alerts if _passes(a.severity, spec.threshold)], r.scanned) for r in items
        ]
        _check_disjoint(typed)
        merged = _wire.merge(typed, spec.limit, spec.labels)
        if len(typed) == 1:  # merge leaves a single part as it is
            alerts = list(merged.alerts)
            _wire.rank(alerts, spec.limit)
            merged = merged._replace(alerts=tuple(alerts))
        return merged
    kinds = sorted({type(r).__name__ for r in items})
    raise TypeError(
        "merge_reports takes report texts (str) or Report values, all of one kind; got "
        + ", ".join(kinds)
    )
