"""A market radar for crypto-derivatives data.

`Radar` is the native radar, driven by JSON commands. `Screener` drives one
through typed values (`Spec`, `Signal`, the events `Derivatives`,
`OrderBook`, `Liquidation`; results `Report`, `Alert`; errors `RadarError`),
and `AsyncScreener` does the same for asyncio, on a thread of its own.
The typed layer is imported on first use, so code that only uses `Radar`
loads nothing more.
"""

from __future__ import annotations

from importlib import import_module
from typing import TYPE_CHECKING, Any, List

from ._norsel_radar import Radar, __version__

if TYPE_CHECKING:
    from .aio import AsyncScreener
    from .errors import RadarError
    from .screener import Screener
    from .types import Alert, Derivatives, Event, Liquidation, OrderBook, Report, Signal, Spec

__all__ = [
    "__version__",
    "Alert",
    "AsyncScreener",
    "Derivatives",
    "Event",
    "Liquidation",
    "OrderBook",
    "Radar",
    "RadarError",
    "Report",
    "Screener",
    "Signal",
    "Spec",
]

_LAZY = {
    "AsyncScreener": "aio",
    "RadarError": "errors",
    "Screener": "screener",
    **{
        name: "types"
        for name in (
            "Alert",
            "Derivatives",
            "Event",
            "Liquidation",
            "OrderBook",
            "Report",
            "Signal",
            "Spec",
        )
    },
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'norsel_radar' has no attribute {name!r}")
    value = getattr(import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))
