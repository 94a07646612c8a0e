"""Plain-text rendering of reports: the ranked table, times and durations."""

from __future__ import annotations

import re
from datetime import datetime, timezone
from typing import Any, Dict, List, Optional, Tuple

I64_MIN = -(2**63)
#: Column order of the factors: the signal kinds in their fixed order.
KINDS = ("oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence")
SHORT = {
    "oi_delta": "oi_delta",
    "funding_flip": "funding",
    "book_imbalance": "book",
    "liq_cluster": "liq",
    "oi_price_divergence": "oi/price",
}
_UNITS = {"ms": 1, "s": 1000, "m": 60_000, "h": 3_600_000, "d": 86_400_000, "w": 604_800_000}
_DURATION = re.compile(r"(\d+(?:\.\d+)?)\s*(ms|s|m|h|d|w)")


def utc_time(ts: Optional[int]) -> str:
    """A millisecond timestamp as UTC time; "-" for none."""
    if ts is None or ts == I64_MIN:
        return "-"
    try:
        when = datetime.fromtimestamp(ts / 1000.0, tz=timezone.utc)
    except (OverflowError, OSError, ValueError):
        return str(ts)
    return when.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (ts % 1000)


def parse_duration(text: str) -> Optional[int]:
    """Milliseconds of a duration such as "5m", "30s", "1h", "250ms", "1w"; None
    if not one."""
    m = _DURATION.fullmatch(text.strip())
    if m is None:
        return None
    return round(float(m.group(1)) * _UNITS[m.group(2)])


def _label_key(label: str) -> Tuple[int, str]:
    kind = label.split("(", 1)[0]
    return (KINDS.index(kind) if kind in KINDS else len(KINDS), label)


def columns(alerts: List[Dict[str, Any]]) -> Tuple[List[str], List[str]]:
    """The factor labels in column order and their column heads."""
    if not alerts:
        return [], []
    labels = sorted((k for k in alerts[0]["factors"] if k != "severity"), key=_label_key)
    kinds = [label.split("(", 1)[0] for label in labels]
    heads = [SHORT.get(k, k) if kinds.count(k) == 1 else label for k, label in zip(kinds, labels)]
    return labels, heads


def num(value: Any, places: int) -> str:
    return "null" if value is None else f"{value:.{places}f}"


def rows(alerts: List[Dict[str, Any]], labels: List[str]) -> List[List[str]]:
    return [
        [str(rank), a["symbol"], num(a["severity"], 4)]
        + [num(a["factors"].get(label), 3) for label in labels]
        + [utc_time(a["ts"])]
        for rank, a in enumerate(alerts, 1)
    ]


def format_table(report: Dict[str, Any]) -> str:
    """The ranked alerts as a text table, with a legend of the signal labels."""
    alerts: List[Dict[str, Any]] = report["alerts"]
    scanned = report["scanned"]
    if not alerts:
        return f"no alerts ({scanned} symbols scanned)\n"
    labels, heads = columns(alerts)
    head = ["#", "symbol", "severity"] + heads + ["last event (UTC)"]
    body = rows(alerts, labels)
    widths = [max(len(r[i]) for r in body + [head]) for i in range(len(head))]
    left = {1, len(head) - 1}

    def line(cells: List[str]) -> str:
        out = [
            c.ljust(w) if i in left else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ]
        return "  ".join(out).rstrip()

    legend = "signals: " + ", ".join(
        label if head == label else f"{head} = {label}" for head, label in zip(heads, labels)
    )
    plural = "" if len(alerts) == 1 else "s"
    lines = [legend, line(head)] + [line(r) for r in body]
    lines.append(f"{len(alerts)} alert{plural}, {scanned} symbols scanned")
    return "\n".join(lines) + "\n"
