"""The cryptofeed adapter, driven through cryptofeed's own exchange feeds:
recorded Binance USD-M and Bybit linear messages (tests/data, written by
make_recordings.py from the exchanges' published formats) go into the feeds'
message handlers, whose callbacks are the adapter's."""

import asyncio
import json
import logging
import pathlib
from decimal import Decimal

import pytest

cryptofeed = pytest.importorskip("cryptofeed")

from cryptofeed.connection import WSAsyncConn  # noqa: E402
from cryptofeed.defines import FUNDING, LIQUIDATIONS, OPEN_INTEREST  # noqa: E402
from cryptofeed.exchanges import BinanceFutures, Bybit  # noqa: E402
from cryptofeed.symbols import Symbols  # noqa: E402
from norsel_radar import (  # noqa: E402
    AsyncScreener,
    Derivatives,
    Liquidation,
    OrderBook,
    Screener,
    Signal,
    Spec,
)
from norsel_radar.adapters import BookDepth, DerivativesRule  # noqa: E402
from norsel_radar.adapters.cryptofeed import CryptofeedAdapter  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parent / "data"
BINANCE = json.loads((DATA / "binance_usdm.json").read_text())
BYBIT = json.loads((DATA / "bybit_linear.json").read_text())
T0 = 1717200000000
EVERYTHING = Spec(
    [
        Signal("oi_delta", [20, 0.05]),
        Signal("funding_flip", [0.001]),
        Signal("book_imbalance", [0.5]),
        Signal("liq_cluster", [10, 400]),
    ],
    threshold=-1,
)
LIQUIDATIONS_ONLY = Spec([Signal("liq_cluster", [10, 400])], threshold=0.5)
OI_ONLY = Spec([Signal("oi_delta", [20, 0.05])], threshold=0.5)
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

    async def close(self):
        pass


class Recording(Screener):
    """A Screener that also keeps each batch it is fed."""

    def __init__(self, spec):
        super().__init__(spec)
        self.batches = []

    def feed_batch(self, symbol, events):
        self.batches.append((symbol, list(events)))
        super().feed_batch(symbol, events)

    def events(self, symbol, kind=None):
        return [
            e for s, batch in self.batches if s == symbol for e in batch if kind in (None, type(e))
        ]


def binance_feed(adapter, book="l2"):
    feed = BinanceFutures(
        symbols=PERPS, channels=adapter.channels(book), callbacks=adapter.callbacks(book)
    )
    feed.http_conn = RecordedHTTP()
    return feed


async def replay_binance(adapter, messages=None, **feed_args):
    feed = binance_feed(adapter, **feed_args)
    for receipt, _, message in BINANCE["session"] if messages is None else messages:
        await feed.message_handler(json.dumps(message), None, receipt / 1000)
    return await adapter.refresh()


async def replay_bybit(adapter):
    feed = Bybit(
        symbols=["BTC-USDT-PERP", "ETH-USDT-PERP"],
        channels=adapter.channels(),
        callbacks=adapter.callbacks(),
    )
    conn = WSAsyncConn(
        "wss://stream.bybit.com/v5/public/linear", feed.id, subscription=feed.subscription
    )
    for receipt, message in BYBIT["session"]:
        await feed.message_handler(json.dumps(message), conn, receipt / 1000)
    return await adapter.refresh()


def run(coro):
    return asyncio.run(coro)


# ---------------------------------------------------------------- recorded sessions


@pytest.mark.parametrize(
    "spec, first", [(LIQUIDATIONS_ONLY, "ETH-USDT-PERP"), (OI_ONLY, "SOL-USDT-PERP")]
)
def test_binance_session_planted_situation_ranks_first(spec, first):
    adapter = CryptofeedAdapter(Screener(spec), report_interval=None)
    report = run(replay_binance(adapter))
    assert [a.symbol for a in report.alerts] == [first]
    assert report.alerts[0].severity == 1.0 and report.scanned == 4
    assert adapter.stats.skipped == {} and adapter.stats.refused == 0


def test_binance_events_carry_the_messages_values():
    screener = Recording(EVERYTHING)
    adapter = CryptofeedAdapter(screener, report_interval=None)
    run(replay_binance(adapter))
    session = BINANCE["session"]
    marks = [m["data"] for _, _, m in session if m.get("data", {}).get("e") == "markPriceUpdate"]
    ois = [m for _, via, m in session if via == "rest"]
    derivatives = screener.events("ETH-USDT-PERP", Derivatives)
    # one snapshot a second: the mark price comes at E and makes nothing due;
    # the open interest polled a millisecond later does, with both values
    eth_marks = [m for m in marks if m["s"] == "ETHUSDT"]
    eth_ois = [m for m in ois if m["symbol"] == "ETHUSDT"]
    assert derivatives == [
        Derivatives(oi["time"], float(oi["openInterest"]), float(m["r"]), float(m["p"]))
        for m, oi in zip(eth_marks, eth_ois)
    ]
    assert len(derivatives) == 40
    liquidations = screener.events("ETH-USDT-PERP", Liquidation)
    forced = [m["data"] for _, _, m in session if m.get("data", {}).get("e") == "forceOrder"]
    assert liquidations == [
        Liquidation(f["E"], "sell", float(f["o"]["q"]), float(f["o"]["p"]))
        for f in forced
        if f["o"]["s"] == "ETHUSDT"
    ]


def test_cryptofeed_hands_decimals_and_seconds():
    """What the adapter converts: cryptofeed's own objects on this recording."""
    seen = {}

    async def keep(obj, receipt):
        seen.setdefault(type(obj).__name__, obj)

    feed = BinanceFutures(
        symbols=PERPS,
        channels=[OPEN_INTEREST, FUNDING, LIQUIDATIONS],
        callbacks={OPEN_INTEREST: keep, FUNDING: keep, LIQUIDATIONS: keep},
    )
    feed.http_conn = RecordedHTTP()

    async def go():
        for receipt, _, message in BINANCE["session"]:
            await feed.message_handler(json.dumps(message), None, receipt / 1000)

    run(go())
    oi, funding, liq = seen["OpenInterest"], seen["Funding"], seen["Liquidation"]
    assert type(oi.open_interest) is Decimal and type(oi.timestamp) is float
    assert type(funding.rate) is Decimal and type(funding.mark_price) is Decimal
    assert type(liq.quantity) is Decimal and 1.7e9 < liq.timestamp < 1.8e9  # seconds
    with pytest.raises(TypeError):
        json.dumps(oi.open_interest)  # what a user meets without the adapter


def test_bybit_millisecond_timestamps_and_funding_flip():
    screener = Recording(Spec([Signal("funding_flip", [0.001])], threshold=-1))
    adapter = CryptofeedAdapter(screener, report_interval=None)
    report = run(replay_bybit(adapter))
    tickers = [m for _, m in BYBIT["session"] if m["topic"] == "tickers.BTCUSDT"]
    derivatives = screener.events("BTC-USDT-PERP", Derivatives)
    # Bybit's ticker carries all three: every second makes a snapshot, stamped
    # with the message's ts in milliseconds (cryptofeed passes them as int,
    # the funding's as a float of milliseconds)
    assert [e.ts for e in derivatives] == [m["ts"] for m in tickers]
    assert [e.funding_rate for e in derivatives] == [
        float(m["data"]["fundingRate"]) for m in tickers
    ]
    assert [e.open_interest for e in derivatives] == [
        float(m["data"]["openInterest"]) for m in tickers
    ]
    assert derivatives[19].funding_rate == 0.0004 and derivatives[20].funding_rate == -0.0006
    liquidations = screener.events("ETH-USDT-PERP", Liquidation)
    recorded = [m for _, m in BYBIT["session"] if m["topic"].startswith("liquidation")]
    assert [(e.ts, e.side, e.qty) for e in liquidations] == [
        (m["ts"], "buy", float(m["data"]["size"])) for m in recorded
    ]
    assert {a.symbol: a.factors["funding_flip(0.001)"] for a in report.alerts} == {
        "BTC-USDT-PERP": 0.6,
        "ETH-USDT-PERP": 0.4,
    }
    books = screener.events("BTC-USDT-PERP", OrderBook)
    assert books and all(T0 < b.ts < T0 + 41_000 for b in books)


def test_same_report_through_async_screener_and_any_batch_size():
    async def with_async():
        async with AsyncScreener(EVERYTHING) as screener:
            adapter = CryptofeedAdapter(screener, batch_size=7, report_interval=None)
            report = await replay_binance(adapter)
            return report, adapter.stats.batches

    big = run(replay_binance(CryptofeedAdapter(Screener(EVERYTHING), report_interval=None)))
    small, batches = run(with_async())
    assert small == big and batches > 50
    assert [a.symbol for a in big.alerts][:2] == ["SOL-USDT-PERP", "ETH-USDT-PERP"]


# ---------------------------------------------------------------- books


def first_depth_messages():
    return [
        item for item in BINANCE["session"] if item[2].get("stream", "").endswith("@depth@100ms")
    ][:4]


@pytest.mark.parametrize("depth", [BookDepth.top(1), BookDepth.top(5), BookDepth.within(0.002)])
def test_book_summary_matches_cryptofeeds_book(depth):
    screener = Recording(EVERYTHING)
    adapter = CryptofeedAdapter(screener, depth=depth, report_interval=None)
    feed = binance_feed(adapter)

    async def go():
        for receipt, _, message in first_depth_messages():
            await feed.message_handler(json.dumps(message), None, receipt / 1000)
        await adapter.refresh()

    run(go())
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
        (book,) = screener.events(symbol, OrderBook)  # two books arrived: the newest is fed
        message = next(
            m["data"]
            for _, _, m in first_depth_messages()
            if m["data"]["s"] == symbol.replace("-USDT-PERP", "USDT")
        )
        assert book == OrderBook(
            message["E"], float(bid_volume), float(ask_volume), float(bids[0][0]), float(asks[0][0])
        )
    assert adapter.stats.books == 8  # the snapshot's callback and the update's, per symbol


def test_ticker_top_of_book_from_the_raw_message():
    screener = Recording(EVERYTHING)
    adapter = CryptofeedAdapter(screener, report_interval=None)
    run(replay_binance(adapter, book="ticker"))
    tickers = [
        m["data"] for _, _, m in BINANCE["session"] if m.get("data", {}).get("e") == "bookTicker"
    ]
    books = screener.events("BTC-USDT-PERP", OrderBook)
    expected = [
        OrderBook(t["E"], float(t["B"]), float(t["A"]), float(t["b"]), float(t["a"]))
        for t in tickers
        if t["s"] == "BTCUSDT"
    ]
    assert books == expected and len(books) == 4


# ---------------------------------------------------------------- bad input and symbols


def corrupted(session, symbol, change):
    """The session with one field of the symbol's 20th markPriceUpdate changed."""
    out, seen = [], 0
    for receipt, via, message in session:
        data = message.get("data", {})
        if data.get("e") == "markPriceUpdate" and data["s"] == symbol:
            seen += 1
            if seen == 20:
                message = {**message, "data": {**data, **change}}
        out.append([receipt, via, message])
    return out


def test_malformed_message_is_counted_skipped_and_changes_nothing(caplog):
    clean = Recording(EVERYTHING)
    run(replay_binance(CryptofeedAdapter(clean, report_interval=None)))
    bad = Recording(EVERYTHING)
    adapter = CryptofeedAdapter(bad, report_interval=None)
    session = corrupted(BINANCE["session"], "BTCUSDT", {"p": "NaN"})
    with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
        report = run(replay_binance(adapter, session))
    assert adapter.stats.skipped == {"funding": 1}
    assert "skipped a malformed funding (Funding.mark_price must be finite" in caplog.text
    # the other symbols are untouched; BTC lost only the snapshot that update made
    for symbol in PERPS[1:]:
        assert bad.events(symbol) == clean.events(symbol)
    lost = [
        e
        for e in clean.events("BTC-USDT-PERP", Derivatives)
        if e not in bad.events("BTC-USDT-PERP")
    ]
    assert len(lost) == 1 and all(
        e.mark_price == e.mark_price for e in bad.events("BTC-USDT-PERP", Derivatives)
    )
    assert len(report.alerts) == 4


def test_partial_funding_keeps_the_previous_rate():
    """Binance sends no rate between funding times ("r": "" or T 0):
    cryptofeed gives None, and the symbol keeps its last rate."""
    screener = Recording(EVERYTHING)
    adapter = CryptofeedAdapter(screener, report_interval=None)
    session = corrupted(BINANCE["session"], "XRPUSDT", {"r": "", "p": "0.77777"})
    run(replay_binance(adapter, session))
    (event,) = [e for e in screener.events("XRP-USDT-PERP", Derivatives) if e.mark_price == 0.77777]
    assert event.funding_rate == 0.0001 and adapter.stats.skipped == {}


@pytest.mark.parametrize(
    "unknown, symbols",
    [
        ("ignore", ["BTC-PERP", "ETH-PERP"]),
        ("keep", ["BTC-PERP", "ETH-PERP", "SOL-USDT-PERP", "XRP-USDT-PERP"]),
    ],
)
def test_symbol_mapping(unknown, symbols):
    names = {"BTC-USDT-PERP": "BTC-PERP", "ETH-USDT-PERP": "ETH-PERP"}
    adapter = CryptofeedAdapter(
        Screener(EVERYTHING), symbols=names, unknown=unknown, report_interval=None
    )
    report = run(replay_binance(adapter))
    assert sorted(a.symbol for a in report.alerts) == symbols
    assert (adapter.symbols.unknown_count > 0) == (unknown == "ignore")


def test_two_exchanges_one_adapter_need_distinct_names():
    async def both(adapter):
        await replay_bybit(adapter)
        return await replay_binance(adapter)

    clash = CryptofeedAdapter(Screener(EVERYTHING), report_interval=None)
    report = run(both(clash))
    assert clash.symbols.conflicts > 0  # Binance's BTC and ETH were refused
    assert sorted(a.symbol for a in report.alerts) == sorted(PERPS)

    apart = CryptofeedAdapter(
        Screener(EVERYTHING),
        symbols=lambda exchange, symbol: f"{exchange}:{symbol}",
        report_interval=None,
    )
    report = run(both(apart))
    assert len(report.alerts) == 6 and apart.symbols.conflicts == 0


def test_derivatives_rule_interval_counts_market_time():
    screener = Recording(EVERYTHING)
    adapter = CryptofeedAdapter(screener, derivatives=DerivativesRule(5.0), report_interval=None)
    run(replay_binance(adapter))
    stamps = [e.ts for e in screener.events("ETH-USDT-PERP", Derivatives)]
    assert len(stamps) == 8 and all(b - a == 5000 for a, b in zip(stamps, stamps[1:]))
