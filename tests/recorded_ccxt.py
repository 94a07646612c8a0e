"""ccxt exchanges whose network is a recording (tests/data/*.json): every
HTTP request the exchange class makes is answered from the recording, and
ccxt.pro's websockets receive its recorded frames, so the class's own request
building, message handlers and parse_* code run as they would on line."""

from __future__ import annotations

import asyncio
import collections
import json
import pathlib
from typing import Any, Dict, List, Optional
from urllib.parse import urlsplit

DATA = pathlib.Path(__file__).resolve().parent / "data"
RECORDINGS = {"binanceusdm": "binance_usdm.json", "bybit": "bybit_linear.json"}


def load(exchange_id: str) -> Dict[str, Any]:
    """The exchange's recording; none for another exchange (as off line)."""
    name = RECORDINGS.get(exchange_id)
    if name is None:
        return {"rest": {}, "session": []}
    return json.loads((DATA / name).read_text(encoding="utf-8"))


class RecordedSocket:
    """Stands for aiohttp's websocket: hands out the recorded frames, one per
    receive, then stays quiet; keeps what is sent."""

    def __init__(self, frames: List[Any]) -> None:
        self.frames = collections.deque(frames)
        self.sent: List[str] = []
        self.closed = False
        self._conn = None

    async def receive(self) -> Any:
        import aiohttp

        await asyncio.sleep(0)  # let the reader keep up, as a network would
        if not self.frames:
            await asyncio.Event().wait()
        return aiohttp.WSMessage(aiohttp.WSMsgType.TEXT, json.dumps(self.frames.popleft()), None)

    async def send_str(self, text: str) -> None:
        self.sent.append(text)

    async def close(self, code: int = 1000) -> None:
        self.closed = True

    async def ping(self, data: bytes = b"") -> None:
        pass

    pong = ping


def recorded_class(base: type, rest: Dict[str, List[Any]], frames: List[Any]) -> type:
    class Recorded(base):  # type: ignore[misc, valid-type]
        """Serves each path's recorded responses in order, the last one again
        once they run out ("path?*" answers any query of that path); a request
        without a recording fails as a network error would."""

        def __init__(self, config: Any = None) -> None:
            super().__init__(config or {})
            self.served: Dict[str, int] = {}
            self.sockets: List[RecordedSocket] = []

        async def fetch(self, url, method="GET", headers=None, body=None):  # noqa: ANN001
            import ccxt

            parts = urlsplit(url)
            key = parts.path + ("?" + parts.query if parts.query else "")
            for candidate in (key, key.split("&limit=")[0], parts.path + "?*"):
                if candidate in rest:
                    responses = rest[candidate]
                    break
            else:
                raise ccxt.NetworkError(f"no recording for {method} {key}")
            n = self.served[key] = self.served.get(key, 0) + 1
            return json.loads(json.dumps(responses[min(n, len(responses)) - 1]))

        def client(self, url):  # noqa: ANN001
            client = super().client(url)

            async def connect(session: Any) -> RecordedSocket:
                self.sockets.append(RecordedSocket(frames))
                return self.sockets[-1]

            client.create_connection = connect
            return client

    Recorded.__name__ = base.__name__
    return Recorded


def make_exchange(exchange_id: str, rest: Optional[Dict[str, List[Any]]] = None) -> Any:
    """The --exchange-factory of the live command's tests: ccxt.async_support
    (polling only), its rate limit off (the recording answers at once);
    ``rest`` replaces the recorded answers."""
    import ccxt.async_support as ccxt_async

    rest = load(exchange_id)["rest"] if rest is None else rest
    return recorded_class(getattr(ccxt_async, exchange_id), rest, [])({"enableRateLimit": False})


def make_pro_exchange(exchange_id: str) -> Any:
    """A ccxt.pro exchange whose websockets replay the recorded session."""
    import ccxt.pro as pro

    recording = load(exchange_id)
    frames = [item[-1] for item in recording["session"] if item[1] != "rest"]
    cls = recorded_class(getattr(pro, exchange_id), recording["rest"], frames)
    return cls({"enableRateLimit": False})
