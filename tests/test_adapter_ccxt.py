"""The ccxt adapter on structures made by ccxt's own exchange classes: their
HTTP answered from recordings, ccxt.pro's websockets fed recorded frames
(see recorded_ccxt.py), so requests, parsing and caches are ccxt's."""

import asyncio
import copy
import json
import logging

import pytest

ccxt = pytest.importorskip("ccxt")

import ccxt.async_support as ccxt_async  # noqa: E402
from norsel_radar import (  # noqa: E402
    AsyncScreener,
    Derivatives,
    Liquidation,
    OrderBook,
    Screener,
    Signal,
    Spec,
)
from norsel_radar.adapters import BookDepth  # noqa: E402
from norsel_radar.adapters import ccxt as adapter  # noqa: E402
from recorded_ccxt import load, make_exchange, make_pro_exchange, recorded_class  # noqa: E402

BINANCE = load("binanceusdm")
BYBIT = load("bybit")
ETH, SOL, BTC = "ETH/USDT:USDT", "SOL/USDT:USDT", "BTC/USDT:USDT"
EVERYTHING = Spec(
    [
        Signal("oi_delta", [20, 0.05]),
        Signal("funding_flip", [0.001]),
        Signal("book_imbalance", [0.5]),
        Signal("liq_cluster", [3, 100]),
        Signal("oi_price_divergence", [15, 0.04]),
    ],
    threshold=-1,
)


def run(coro):
    return asyncio.run(coro)


async def with_exchange(make, exchange_id, work):
    exchange = make(exchange_id)
    try:
        await exchange.load_markets()
        return await work(exchange)
    finally:
        await exchange.close()


# ---------------------------------------------------------------- converters


def test_open_interest_units_binance():
    async def work(ex):
        return await ex.fetch_open_interest(ETH), (await ex.fetch_funding_rates([ETH]))[ETH]

    oi, fr = run(with_exchange(make_exchange, "binanceusdm", work))
    recorded = BINANCE["rest"]["/fapi/v1/openInterest?symbol=ETHUSDT"][0]
    amount = float(recorded["openInterest"])
    assert oi["openInterestValue"] is None  # Binance's endpoint gives no value
    assert adapter.open_interest(oi) == (recorded["time"], amount)
    assert adapter.open_interest(oi, "base", contract_size=1.0) == (recorded["time"], amount)
    with pytest.raises(ValueError, match="no openInterestValue"):
        adapter.open_interest(oi, "quote")
    ts, rate, mark = adapter.funding_rate(fr)
    premium = BINANCE["rest"]["/fapi/v1/premiumIndex"][0][1]
    assert (ts, rate, mark) == (premium["time"], 0.0001, float(premium["markPrice"]))
    assert adapter.open_interest(oi, "quote", mark_price=mark) == (recorded["time"], amount * mark)


@pytest.mark.parametrize(
    "depth, units, contract_size",
    [
        (BookDepth.top(3), "contracts", None),
        (BookDepth.top(3), "base", 0.5),
        (BookDepth.top(20), "quote", 1.0),
        (BookDepth.within(0.003), "contracts", None),
    ],
)
def test_order_book_binance(depth, units, contract_size):
    async def work(ex):
        return await ex.fetch_order_book(ETH)

    book = run(with_exchange(make_exchange, "binanceusdm", work))
    snapshot = BINANCE["rest"]["/fapi/v1/depth?symbol=ETHUSDT"][0]
    bids = [(float(p), float(q)) for p, q in snapshot["bids"]]
    asks = [(float(p), float(q)) for p, q in snapshot["asks"]]
    if depth.band is None:
        bids, asks = bids[: depth.levels], asks[: depth.levels]
    else:
        mid = (bids[0][0] + asks[0][0]) / 2
        bids = [(p, q) for p, q in bids if p >= mid * (1 - depth.band)]
        asks = [(p, q) for p, q in asks if p <= mid * (1 + depth.band)]
    size = 1.0 if units == "contracts" else contract_size
    weigh = (lambda p, q: p * q * size) if units == "quote" else (lambda p, q: q * size)
    event = adapter.order_book(book, depth, units, contract_size=contract_size)
    assert event.ts == snapshot["T"]  # ccxt takes the transaction time
    assert event.best_bid == float(snapshot["bids"][0][0])
    assert event.bid_volume == pytest.approx(sum(weigh(p, q) for p, q in bids))
    assert event.ask_volume == pytest.approx(sum(weigh(p, q) for p, q in asks))


def test_order_book_without_timestamp_takes_the_receipt_time():
    rest = copy.deepcopy(BINANCE["rest"])
    for key in [k for k in rest if k.startswith("/fapi/v1/depth")]:
        for answer in rest[key]:
            del answer["E"], answer["T"]
    exchange = recorded_class(ccxt_async.binanceusdm, rest, [])({"enableRateLimit": False})

    async def work(ex):
        return await ex.fetch_order_book(ETH)

    book = run(with_exchange(lambda _: exchange, "binanceusdm", work))
    assert book["timestamp"] is None
    assert adapter.order_book(book, now=123).ts == 123
    event = adapter.order_book(book)
    assert abs(event.ts - adapter.now_ms()) < 60_000


def test_bybit_websocket_structures():
    async def work(ex):
        liqs = await asyncio.wait_for(ex.watch_liquidations(ETH), 5)
        ticker = await asyncio.wait_for(ex.watch_ticker(BTC), 5)
        return liqs, ticker

    liqs, ticker = run(with_exchange(make_pro_exchange, "bybit", work))
    first = next(m for _, m in BYBIT["session"] if m["topic"] == "liquidation.ETHUSDT")["data"]
    size, price = float(first["size"]), float(first["price"])
    ts = first["updatedTime"]
    assert adapter.liquidation(liqs[0]) == Liquidation(ts, "buy", size, price)
    assert adapter.liquidation(liqs[0], "base") == Liquidation(ts, "buy", size, price)
    assert adapter.liquidation(liqs[0], "base", contract_size=0.1).qty == pytest.approx(size / 10)
    assert adapter.liquidation(liqs[0], "quote").qty == pytest.approx(size * price)
    raw = ticker["info"]
    assert adapter.ticker(ticker) == OrderBook(
        ticker["timestamp"],
        float(raw["bid1Size"]),
        float(raw["ask1Size"]),
        float(raw["bid1Price"]),
        float(raw["ask1Price"]),
    )
    quote = adapter.ticker(ticker, "quote")
    assert quote.bid_volume == pytest.approx(float(raw["bid1Size"]) * float(raw["bid1Price"]))


LIQ = {"price": 10.0, "contracts": 2.0, "side": "sell", "timestamp": 5}


@pytest.mark.parametrize(
    "convert, structure, error",
    [
        (
            adapter.open_interest,
            {"openInterestAmount": None, "timestamp": 1},
            "no openInterestAmount",
        ),
        (adapter.open_interest, {"openInterestAmount": float("nan"), "timestamp": 1}, "finite"),
        (adapter.liquidation, {**LIQ, "price": None}, "liquidation.price"),
        (adapter.liquidation, {**LIQ, "contracts": None}, "no quantity"),
        (adapter.liquidation, {**LIQ, "side": "long"}, "'buy' or 'sell'"),
        (adapter.funding_rate, {"fundingRate": "0.1", "timestamp": 1}, "fundingRate"),
        (
            adapter.order_book,
            {"bids": [[1.0, 2.0]], "asks": [[float("inf"), 1.0]], "timestamp": 1},
            "finite",
        ),
    ],
)
def test_missing_or_bad_fields(convert, structure, error):
    with pytest.raises((TypeError, ValueError), match=error):
        convert(structure)


def test_partial_structures_are_none():
    assert adapter.funding_rate({"fundingRate": None, "markPrice": 5.0, "timestamp": 9}) == (
        9,
        None,
        5.0,
    )
    assert adapter.ticker({"bid": 1.0, "ask": 2.0, "bidVolume": None, "askVolume": 1.0}) is None
    assert adapter.order_book({"bids": [], "asks": [[1.0, 1.0]], "timestamp": 1}) is None
    with pytest.raises(ValueError, match="units"):
        adapter.liquidation(LIQ, "usd")


# ---------------------------------------------------------------- the streamer


def recording_done(exchange):
    """Whether the recording is used up: every recorded answer served and
    every recorded frame received."""
    served = exchange.served.get("/fapi/v1/openInterest?symbol=ETHUSDT", 0)
    frames = sum(len(socket.frames) for socket in exchange.sockets)
    return frames == 0 and (exchange.id != "binanceusdm" or served >= 40)


async def stream(exchange, symbols, spec=EVERYTHING, **kwargs):
    """Streams until the recording is used up (20 s at most), then a little
    longer for what it sent to be handled."""
    async with AsyncScreener(spec) as screener:
        streamer = adapter.CcxtStreamer(
            exchange, symbols, screener, interval=0.01, report_interval=None, **kwargs
        )
        task = asyncio.ensure_future(streamer.run())
        for _ in range(400):
            await asyncio.sleep(0.05)
            if exchange.markets and recording_done(exchange):
                break
        await asyncio.sleep(0.2)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        await exchange.close()
        return streamer


def test_streamer_polls_and_ranks_the_planted_symbol_first():
    symbols = [BTC, ETH, SOL, "XRP/USDT:USDT"]
    streamer = run(stream(make_exchange("binanceusdm"), symbols))
    report = streamer.report
    assert report.alerts[0].symbol == SOL and report.scanned == 4
    factors = report.alerts[0].factors
    assert factors["oi_delta(20,0.05)"] == 1.0 and factors["oi_price_divergence(15,0.04)"] == 1.0
    # one snapshot per recorded poll of each symbol, however often it was polled
    assert streamer.stats.events >= 4 * 40 and streamer.stats.skipped == {}


def test_streamer_quote_units_use_the_mark_price():
    fed = []

    class Recording(Screener):
        def feed_batch(self, symbol, events):
            fed.extend(events)
            super().feed_batch(symbol, events)

    async def go():
        exchange = make_exchange("binanceusdm")
        streamer = adapter.CcxtStreamer(
            exchange, [ETH], Recording(EVERYTHING), interval=0.01, units="quote"
        )
        task = asyncio.ensure_future(streamer.run())
        while not fed:
            await asyncio.sleep(0.02)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        await exchange.close()

    run(go())
    first = next(e for e in fed if isinstance(e, Derivatives))
    oi = BINANCE["rest"]["/fapi/v1/openInterest?symbol=ETHUSDT"][0]
    premium = BINANCE["rest"]["/fapi/v1/premiumIndex"][0][1]
    assert first.ts == oi["time"]  # the later of the two answers' times
    assert first.open_interest == pytest.approx(
        float(oi["openInterest"]) * float(premium["markPrice"])
    )


def test_streamer_watches_books_and_liquidations_on_ccxt_pro(caplog):
    exchange = make_pro_exchange("bybit")
    with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
        streamer = run(
            stream(exchange, [BTC, ETH], spec=Spec([Signal("liq_cluster", [3, 100])], threshold=-1))
        )
    # funding and open interest have no recording: tried again, logged
    assert (
        "fetch_funding_rates failed" in caplog.text or "fetch_open_interest failed" in caplog.text
    )
    recorded = [m for _, m in BYBIT["session"] if m["topic"] == "liquidation.ETHUSDT"]
    assert streamer.stats.books > 0
    alerts = {a.symbol: a for a in streamer.report.alerts}
    last_three = sum(float(m["data"]["size"]) for m in recorded[-3:])
    assert alerts[ETH].factors["liq_cluster(3,100)"] == pytest.approx(min(last_three / 100, 1.0))
    assert alerts[ETH].ts == recorded[-1]["data"]["updatedTime"]
    assert alerts[BTC].factors["liq_cluster(3,100)"] == 0.0


def test_streamer_skips_a_malformed_answer_and_goes_on(caplog):
    rest = copy.deepcopy(BINANCE["rest"])
    answers = rest["/fapi/v1/openInterest?symbol=ETHUSDT"]
    answers[5] = {"symbol": "ETHUSDT", "time": answers[5]["time"]}  # no openInterest
    exchange = recorded_class(ccxt_async.binanceusdm, rest, [])({"enableRateLimit": False})
    with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
        streamer = run(stream(exchange, [ETH, SOL]))
    assert streamer.stats.skipped == {"derivatives": 1}
    assert "skipped a malformed derivatives" in caplog.text
    assert streamer.report.alerts[0].symbol == SOL


def test_streamer_refuses_unknown_symbols():
    async def go():
        exchange = make_exchange("binanceusdm")
        try:
            streamer = adapter.CcxtStreamer(exchange, ["DOGE/USDT:USDT"], Screener(EVERYTHING))
            await streamer.run()
        finally:
            await exchange.close()

    with pytest.raises(ValueError, match="no market DOGE/USDT:USDT"):
        run(go())


@pytest.mark.parametrize(
    "kwargs, error",
    [({"interval": 0}, "interval"), ({"units": "usd"}, "units"), ({"symbols": []}, "symbols")],
)
def test_streamer_refuses_bad_settings(kwargs, error):
    args = {"symbols": [ETH], **kwargs}
    with pytest.raises(ValueError, match=error):
        adapter.CcxtStreamer(None, screener=Screener(EVERYTHING), **args)


def test_exchange_class():
    assert adapter.exchange_class("bybit").__module__.startswith("ccxt.pro")
    assert adapter.exchange_class("bybit", watch=False).__module__.startswith("ccxt.async_support")
    with pytest.raises(ValueError, match="no exchange 'nowhere'"):
        adapter.exchange_class("nowhere")
    json.dumps(adapter.UNITS)
