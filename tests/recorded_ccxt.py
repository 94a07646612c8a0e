"""ccxt exchanges whose network is a recording: every HTTP request that the
exchange class makes is answered from tests/data/*.json, so its own request
building and parse_* code run as they would on line."""

from __future__ import annotations

import json
import os
import pathlib
from typing import Any, Dict, List
from urllib.parse import urlsplit

DATA = pathlib.Path(__file__).resolve().parent / "data"
RECORDINGS = {"binanceusdm": "binance_usdm.json"}


def recorded_class(base: type, rest: Dict[str, List[Any]]) -> type:
    class Recorded(base):  # type: ignore[misc, valid-type]
        """Serves each path's recorded responses in order, the last one again
        once they run out; a path without a recording fails as a network
        error would."""

        served: Dict[str, int] = {}

        async def fetch(self, url, method="GET", headers=None, body=None):  # noqa: ANN001
            import ccxt

            parts = urlsplit(url)
            key = parts.path + ("?" + parts.query if parts.query else "")
            responses = rest.get(key)
            if responses is None:  # the depth limit is the exchange's default
                responses = rest.get(key.split("&limit=")[0])
            if responses is None:
                raise ccxt.NetworkError(f"no recording for {method} {key}")
            n = self.served.get(key, 0)
            self.served[key] = n + 1
            return json.loads(json.dumps(responses[min(n, len(responses) - 1)]))

    Recorded.__name__ = base.__name__
    return Recorded


def make_exchange(exchange_id: str) -> Any:
    """The --exchange-factory of the live command's tests (ccxt.async_support:
    polling only)."""
    import ccxt.async_support as ccxt_async

    name = os.environ.get("NORSEL_RECORDING", RECORDINGS[exchange_id])
    recording = json.loads((DATA / name).read_text(encoding="utf-8"))
    cls = recorded_class(getattr(ccxt_async, exchange_id), recording["rest"])
    return cls({"enableRateLimit": False})
