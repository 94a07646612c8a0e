"""SymbolMap: a library's (exchange, symbol) to the radar's symbol, one-to-one."""

from __future__ import annotations

import logging
from typing import Callable, Dict, Literal, Mapping, Optional, Set, Tuple, Union

__all__ = ["SymbolMap", "SymbolSource"]

log = logging.getLogger("norsel_radar.adapters")

#: What a SymbolMap is made from: nothing (names kept), a mapping of the
#: library's symbol names, or a function of (exchange, symbol).
SymbolSource = Union[None, Mapping[str, str], Callable[[str, str], Optional[str]]]


class SymbolMap:
    """Names the radar symbol of each (exchange, symbol) a library delivers.

    ``symbols`` is ``None`` (the library's symbol name is the radar's), a
    mapping from the library's symbol names to radar symbols, or a function
    ``(exchange, symbol) -> radar symbol or None``. A symbol that the mapping
    lacks, or for which the function returns None, is dropped
    (``unknown="ignore"``, the default) or keeps its own name
    (``unknown="keep"``).

    The map stays one-to-one: two sources (say the same name on two
    exchanges) never feed one radar symbol, whose series would then mix two
    markets. The first source to reach a radar symbol owns it; the other's
    events are dropped and counted in ``conflicts``, with one warning.
    """

    __slots__ = (
        "_source",
        "_unknown",
        "_cache",
        "_owner",
        "_conflicted",
        "unknown_count",
        "conflicts",
    )

    def __init__(
        self, symbols: SymbolSource = None, unknown: Literal["ignore", "keep"] = "ignore"
    ) -> None:
        if unknown not in ("ignore", "keep"):
            raise ValueError(f"unknown must be 'ignore' or 'keep', got {unknown!r}")
        if isinstance(symbols, Mapping):
            seen: Dict[str, str] = {}
            for name, radar in symbols.items():
                if not isinstance(name, str) or not isinstance(radar, str):
                    raise TypeError(f"symbols must map str to str, got {name!r}: {radar!r}")
                if radar in seen:
                    raise ValueError(
                        f"symbols maps both {seen[radar]!r} and {name!r} to {radar!r};"
                        " each radar symbol needs one source"
                    )
                seen[radar] = name
        elif symbols is not None and not callable(symbols):
            raise TypeError(
                "symbols must be None, a mapping or a function (exchange, symbol) -> str,"
                f" got {type(symbols).__name__}"
            )
        self._source = symbols
        self._unknown = unknown
        self._cache: Dict[str, Dict[str, Optional[str]]] = {}
        self._owner: Dict[str, Tuple[str, str]] = {}
        self._conflicted: Set[Tuple[str, str]] = set()
        #: Events dropped for a symbol the map does not know.
        self.unknown_count = 0
        #: Events dropped because their radar symbol belongs to another source.
        self.conflicts = 0

    def __call__(self, exchange: str, symbol: str) -> Optional[str]:
        """The radar symbol, or None to drop the event (counted)."""
        try:
            name = self._cache[exchange][symbol]
        except KeyError:
            name = self._resolve((exchange, symbol))
        if name is None:
            key = (exchange, symbol)
            if key in self._conflicted:
                self.conflicts += 1
            else:
                self.unknown_count += 1
        return name

    def _resolve(self, key: Tuple[str, str]) -> Optional[str]:
        exchange, symbol = key
        source = self._source
        if source is None:
            name: Optional[str] = symbol
        elif isinstance(source, Mapping):
            name = source.get(symbol)
        else:
            name = source(exchange, symbol)
            if name is not None and not isinstance(name, str):
                raise TypeError(f"the symbol function returned {name!r} for {key}, not a str")
        if name is None and self._unknown == "keep":
            name = symbol
        if name is None:
            log.info("%s %s: not in the symbol map, ignored", exchange, symbol)
        else:
            owner = self._owner.setdefault(name, key)
            if owner != key:
                log.warning(
                    "%s %s would feed radar symbol %r, which %s %s feeds already; ignored"
                    " (give them distinct names through the symbol map)",
                    exchange,
                    symbol,
                    name,
                    *owner,
                )
                self._conflicted.add(key)
                name = None
        self._cache.setdefault(exchange, {})[symbol] = name
        return name
