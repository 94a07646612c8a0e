"""Adapters from market-data libraries to the radar's events.

- `norsel_radar.adapters.cryptofeed`: callbacks for a cryptofeed
  ``FeedHandler`` (extra ``cryptofeed``);
- `norsel_radar.adapters.ccxt`: converters from ccxt's unified structures and
  an asyncio streamer over ccxt's polling and ``watch_*`` methods (extra
  ``ccxt``).

Both share the settings and machinery of this package, which needs neither
library: `SymbolMap` (library symbols to radar symbols, one-to-one),
`BookDepth` (how much of a book is summed), `DerivativesRule` (when a
derivatives snapshot is emitted) and `Feeder` (per-symbol batches, flush
bounds, the latest report and alert changes).
"""

from __future__ import annotations

from .depth import BookDepth
from .feeder import AlertChange, Feeder, FeederStats
from .snapshots import DerivativesRule
from .symbols import SymbolMap

__all__ = ["AlertChange", "BookDepth", "DerivativesRule", "Feeder", "FeederStats", "SymbolMap"]
