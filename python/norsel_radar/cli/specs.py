"""The spec: the bundled default or a file, checked by the radar, plus warnings
for members the radar ignores (a likely typo names the member it resembles)."""

from __future__ import annotations

import difflib
import json
from importlib import resources
from typing import Any, List, Tuple

from .._norsel_radar import Radar
from .errors import PROG, UserError, display
from .inputs import read_text

SPEC_MEMBERS = ("venues", "symbols", "signals", "threshold", "limit")
SIGNAL_MEMBERS = ("kind", "params", "weight")
DEFAULT_NAME = "the default spec"


def default_text() -> str:
    """The bundled default spec, as shipped."""
    data = resources.files("norsel_radar") / "data" / "default_spec.json"
    return data.read_text(encoding="utf-8")


def _pairs(pairs: List[Tuple[str, Any]]) -> Any:
    return _Members(pairs)


class _Members(dict):  # type: ignore[type-arg]
    """An object as read, remembering its member names in order."""

    def __init__(self, pairs: List[Tuple[str, Any]]) -> None:
        super().__init__(pairs)
        self.names = [name for name, _ in pairs]


def _unknown(names: List[str], known: Tuple[str, ...], where: str) -> List[str]:
    out = []
    for name in names:
        if name in known:
            continue
        close = difflib.get_close_matches(name, known, n=1, cutoff=0.6)
        hint = f" (did you mean {close[0]}?)" if close else ""
        out.append(f"{where}{name}: unknown member, ignored{hint}")
    return out


def warnings(text: str) -> List[str]:
    """Members of a spec (that the radar accepted) which the radar ignores."""
    try:
        spec = json.loads(text, object_pairs_hook=_pairs)
    except (ValueError, RecursionError):
        return []
    found: List[str] = []
    if isinstance(spec, _Members):
        found += _unknown(spec.names, SPEC_MEMBERS, "")
        signals = spec.get("signals")
    elif isinstance(spec, list) and len(spec) > 2:
        signals = spec[2]
    else:
        signals = None
    for i, signal in enumerate(signals if isinstance(signals, list) else []):
        if isinstance(signal, _Members):
            found += _unknown(signal.names, SIGNAL_MEMBERS, f"signals[{i}].")
    return found


def limit_of(text: str) -> Any:
    """The spec's "limit" (None for no limit)."""
    spec = json.loads(text)
    if isinstance(spec, dict):
        return spec.get("limit")
    return spec[4] if isinstance(spec, list) and len(spec) > 4 else None


class Spec:
    """A spec the radar accepted: its text, where it came from and its warnings."""

    def __init__(self, text: str, where: str) -> None:
        self.text = text
        self.where = where
        try:
            Radar(text)
        except ValueError as exc:
            raise UserError(f"{where}: {exc}") from None
        self.warnings = warnings(text)

    def radar(self) -> Radar:
        return Radar(self.text)

    def report(self, strict: bool, stderr: Any) -> None:
        """Warnings to stderr; with ``strict``, the first one is an error."""
        if strict and self.warnings:
            raise UserError(f"{self.where}: {self.warnings[0].replace(', ignored', '', 1)}")
        for warning in self.warnings:
            stderr.write(f"{PROG}: warning: {self.where}: {warning}\n")


def load(path: Any) -> Spec:
    """The spec of a file (``None``: the bundled default)."""
    if path is None:
        return Spec(default_text(), DEFAULT_NAME)
    return Spec(read_text(path), display(path))


def summary(text: str) -> str:
    """A spec the radar accepted, in a few words: signals, threshold, limit."""
    spec = json.loads(text)
    if isinstance(spec, dict):
        signals, threshold, limit = (spec.get(k) for k in ("signals", "threshold", "limit"))
    else:
        signals, threshold, limit = (spec + [None, None, None])[2:5]
    kinds = []
    for signal in signals or ():
        kind = signal.get("kind") if isinstance(signal, dict) else signal[0]
        kinds.append(next(iter(kind)) if isinstance(kind, dict) else str(kind))
    plural = "" if len(kinds) == 1 else "s"
    return (
        f"{len(kinds)} signal{plural} ({', '.join(kinds)}), threshold"
        f" {0.0 if threshold is None else threshold},"
        f" {'no limit' if limit is None else f'limit {limit}'}"
    )
