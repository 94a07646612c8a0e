"""The cryptofeed adapter, driven through cryptofeed's own exchange feeds:
recorded Binance USD-M and Bybit linear messages (tests/data, written by
make_recordings.py from the exchanges' published formats) go into the feeds'
message handlers, whose callbacks are the adapter's."""

import asyncio
import json
import logging
import pathlib

import pytest
from norsel_radar import AsyncScreener, Derivatives, Liquidation, OrderBook, Screener, Signal, Spec
from norsel_radar.adapters import BookDepth, DerivativesRule

pytest.importorskip("cryptofeed")

from cryptofeed.connection import WSAsyncConn  # noqa: E402
from cryptofeed.exchanges import BinanceFutures, Bybit  # noqa: E402
from cryptofeed.symbols import Symbols  # noqa: E402
from norsel_radar.adapters.cryptofeed import CryptofeedAdapter  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parent / "data"
BINANCE = json.loads((DATA / "binance_usdm.json").read_text())
BYBIT = json.loads((DATA / "bybit_linear.json").read_text())
T0 = 1717200000000
EVERYTHING = Spec(Spec.default().signals, threshold=-1)  # every symbol is an alert
PERPS = ["BTC-USDT-PERP", "ETH-USDT-PERP", "SOL-USDT-PERP", "XRP-USDT-PERP"]


@pytest.fixture(autouse=True, scope="module")
def symbol_tables():
    """The exchanges' symbol tables, read by cryptofeed from recorded answers."""
    info = BINANCE["rest"]["/fapi/v1/exchangeInfo"][0]
    Symbols.set(BinanceFutures.id, *BinanceFutures._parse_symbol_data(info))
    pages = [BYBIT["instruments"]["linear"], BYBIT["instruments"]["spot"]]
    Symbols.set(Bybit.id, *Bybit._parse_symbol_data(pages))


class RecordedHTTP:
    """Binance's REST answers (the depth snapshot) from the recording."""

    async def read(self, address, **kwargs):
        path = address.split("binance.com", 1)[1].split("&limit=")[0]
        return json.dumps(BINANCE["rest"][path][0])


class Recording(Screener):
    """A Screener that also keeps each batch it is fed."""

    def __init__(self, spec=EVERYTHING):
        super().__init__(spec)
        self.batches = []

    def feed_batch(self, symbol, events):
        self.batches.append((symbol, list(events)))
        super().feed_batch(symbol, events)

    def events(self, symbol, kind=object):
        return [e for s, batch in self.batches if s == symbol for e in batch if isinstance(e, kind)]


def adapter_on(screener, **kwargs):
    return CryptofeedAdapter(screener, report_interval=None, **kwargs)


async def replay_binance(adapter, session=BINANCE["session"], book="l2"):
    feed = BinanceFutures(
        symbols=PERPS, channels=adapter.channels(book), callbacks=adapter.callbacks(book)
    )
    feed.http_conn = RecordedHTTP()
    for receipt, _, message in session:
        await feed.message_handler(json.dumps(message), None, receipt / 1000)
    return feed, await adapter.refresh()


async def replay_bybit(adapter):
    symbols = ["BTC-USDT-PERP", "ETH-USDT-PERP"]
    feed = Bybit(symbols=symbols, channels=adapter.channels(), callbacks=adapter.callbacks())
    url = "wss://stream.bybit.com/v5/public/linear"
    conn = WSAsyncConn(url, feed.id, subscription=feed.subscription)
    for receipt, message in BYBIT["session"]:
        await feed.message_handler(json.dumps(message), conn, receipt / 1000)
    return await adapter.refresh()


def binance_data(event):
    """The recorded Binance stream events of one type."""
    return [m["data"] for _, _, m in BINANCE["session"] if m.get("data", {}).get("e") == event]


@pytest.mark.parametrize(
    "spec, first, depth",
    [
        (Spec([Signal("liq_cluster", [10, 400])], threshold=0.5), "ETH-USDT-PERP", BookDepth.top(5)),
        (Spec([Signal("oi_delta", [20, 0.05])], threshold=0.5), "SOL-USDT-PERP", BookDepth.within(0.002)),
    ],
)  # fmt: skip
def test_binance_session(spec, first, depth):
    """The planted situation ranks first, the same through an AsyncScreener in
    small batches. Of a batch's books only the newest is summarised, as
    cryptofeed's own book holds it."""

    async def in_batches():
        async with AsyncScreener(spec) as screener:
            adapter = adapter_on(screener, batch_size=7)
            return (await replay_binance(adapter))[1], adapter.stats.batches

    screener = Recording(spec)
    adapter = adapter_on(screener, depth=depth)
    feed, report = asyncio.run(replay_binance(adapter))
    assert [a.symbol for a in report.alerts] == [first]
    assert report.alerts[0].severity == 1.0 and report.scanned == 4
    assert adapter.stats.skipped == {} and adapter.stats.refused == 0
    small, batches = asyncio.run(in_batches())
    assert small == report and batches > 50

    updates = binance_data("depthUpdate")
    assert adapter.stats.books == 4 + len(updates)  # the snapshots' callbacks and the updates'
    assert sum(len(screener.events(s, OrderBook)) for s in PERPS) < adapter.stats.books
    for symbol in PERPS:
        bids = feed._l2_book[symbol].book.bids.to_list()
        asks = feed._l2_book[symbol].book.asks.to_list()
        if depth.band is None:
            bid_volume = sum(q for _, q in bids[: depth.levels])
            ask_volume = sum(q for _, q in asks[: depth.levels])
        else:
            mid = (float(bids[0][0]) + float(asks[0][0])) / 2
            bid_volume = sum(q for p, q in bids if float(p) >= mid * (1 - depth.band))
            ask_volume = sum(q for p, q in asks if float(p) <= mid * (1 + depth.band))
        last = [u for u in updates if u["s"] == symbol.replace("-USDT-PERP", "USDT")][-1]
        best = float(bids[0][0]), float(asks[0][0])
        assert screener.events(symbol, OrderBook)[-1] == OrderBook(
            last["E"], float(bid_volume), float(ask_volume), *best
        )


@pytest.mark.parametrize("seconds", [1, 5])
def test_binance_events_carry_the_messages_values(seconds):
    """Decimals become floats and float seconds milliseconds. One snapshot per
    interval of market time: the mark price comes at E and makes nothing due;
    the open interest polled a millisecond later does, with both values."""
    screener = Recording()
    adapter = adapter_on(screener, derivatives=DerivativesRule(seconds))
    asyncio.run(replay_binance(adapter, book="ticker"))
    marks = [m for m in binance_data("markPriceUpdate") if m["s"] == "ETHUSDT"]
    polls = [m for _, via, m in BINANCE["session"] if via == "rest" and m["symbol"] == "ETHUSDT"]
    expected = [
        Derivatives(oi["time"], float(oi["openInterest"]), float(m["r"]), float(m["p"]))
        for m, oi in zip(marks, polls)
    ]
    assert screener.events("ETH-USDT-PERP", Derivatives) == expected[::seconds]
    assert screener.events("ETH-USDT-PERP", Liquidation) == [
        Liquidation(f["E"], "sell", float(f["o"]["q"]), float(f["o"]["p"]))
        for f in binance_data("forceOrder")
        if f["o"]["s"] == "ETHUSDT"
    ]
    # the ticker's top of book, sizes from its raw message
    tickers = [t for t in binance_data("bookTicker") if t["s"] == "BTCUSDT"]
    assert len(tickers) == 4 and screener.events("BTC-USDT-PERP", OrderBook) == [
        OrderBook(t["E"], float(t["B"]), float(t["A"]), float(t["b"]), float(t["a"]))
        for t in tickers
    ]


def test_bybit_millisecond_timestamps_and_funding_flip():
    screener = Recording(Spec([Signal("funding_flip", [0.001])], threshold=-1))
    report = asyncio.run(replay_bybit(adapter_on(screener)))
    tickers = [m for _, m in BYBIT["session"] if m["topic"] == "tickers.BTCUSDT"]
    # Bybit's ticker carries all three: every second makes a snapshot, stamped
    # with the message's ts in milliseconds (cryptofeed passes them as int,
    # the funding's as a float of milliseconds)
    derivatives = screener.events("BTC-USDT-PERP", Derivatives)
    assert [(e.ts, e.funding_rate, e.open_interest) for e in derivatives] == [
        (m["ts"], float(m["data"]["fundingRate"]), float(m["data"]["openInterest"]))
        for m in tickers
    ]
    recorded = [m for _, m in BYBIT["session"] if m["topic"].startswith("liquidation")]
    assert [(e.ts, e.side, e.qty) for e in screener.events("ETH-USDT-PERP", Liquidation)] == [
        (m["ts"], "buy", float(m["data"]["size"])) for m in recorded
    ]
    assert {a.symbol: a.factors["funding_flip(0.001)"] for a in report.alerts} == {
        "BTC-USDT-PERP": 0.6,
        "ETH-USDT-PERP": 0.4,
    }
    books = screener.events("BTC-USDT-PERP", OrderBook)
    assert books and all(T0 < b.ts < T0 + 41_000 for b in books)


def test_malformed_message_is_counted_skipped_and_changes_nothing(caplog):
    """BTC's 20th mark price is NaN: skipped and counted, the other symbols
    untouched, BTC losing only the snapshot that update made. XRP's has no
    rate, as Binance sends between funding times ("r": ""): cryptofeed gives
    None, and XRP keeps its last rate."""
    changes = {"BTCUSDT": {"p": "NaN"}, "XRPUSDT": {"r": "", "p": "0.77777"}}
    session, seen = [], {}
    for receipt, via, message in BINANCE["session"]:
        data = message.get("data", {})
        if data.get("e") == "markPriceUpdate" and data["s"] in changes:
            seen[data["s"]] = seen.get(data["s"], 0) + 1
            if seen[data["s"]] == 20:
                message = {**message, "data": {**data, **changes[data["s"]]}}
        session.append([receipt, via, message])
    clean, bad = Recording(), Recording()
    asyncio.run(replay_binance(adapter_on(clean)))
    adapter = adapter_on(bad)
    with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
        _, report = asyncio.run(replay_binance(adapter, session))
    assert adapter.stats.skipped == {"funding": 1} and len(report.alerts) == 4
    assert "skipped a malformed funding (Funding.mark_price must be finite" in caplog.text
    assert [bad.events(s) for s in PERPS[1:3]] == [clean.events(s) for s in PERPS[1:3]]
    btc = bad.events("BTC-USDT-PERP", Derivatives)
    lost = [e for e in clean.events("BTC-USDT-PERP", Derivatives) if e not in btc]
    assert len(lost) == 1 and all(e.mark_price == e.mark_price for e in btc)
    (xrp,) = [e for e in bad.events("XRP-USDT-PERP", Derivatives) if e.mark_price == 0.77777]
    assert xrp.funding_rate == 0.0001


def test_symbol_mapping():
    names = {"BTC-USDT-PERP": "BTC-PERP", "ETH-USDT-PERP": "ETH-PERP"}
    for unknown, others in [("ignore", []), ("keep", ["SOL-USDT-PERP", "XRP-USDT-PERP"])]:
        adapter = adapter_on(Screener(EVERYTHING), symbols=names, unknown=unknown)
        _, report = asyncio.run(replay_binance(adapter))
        assert sorted(a.symbol for a in report.alerts) == ["BTC-PERP", "ETH-PERP", *others]
        assert (adapter.symbols.unknown_count > 0) == (unknown == "ignore")

    async def both(adapter):  # two exchanges into one adapter
        await replay_bybit(adapter)
        return (await replay_binance(adapter))[1]

    clash = adapter_on(Screener(EVERYTHING))
    report = asyncio.run(both(clash))
    assert clash.symbols.conflicts > 0  # Binance's BTC and ETH were refused
    assert sorted(a.symbol for a in report.alerts) == sorted(PERPS)
    apart = adapter_on(
        Screener(EVERYTHING), symbols=lambda exchange, symbol: f"{exchange}:{symbol}"
    )
    report = asyncio.run(both(apart))
    assert len(report.alerts) == 6 and apart.symbols.conflicts == 0
