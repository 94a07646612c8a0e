"""The ccxt adapter on structures made by ccxt's own exchange classes: their
HTTP answered from recordings, ccxt.pro's websockets fed recorded frames
(see recorded_ccxt.py), so requests, parsing and caches are ccxt's."""

import asyncio
import copy
import logging
import math
import re

import pytest
from norsel_radar import Derivatives, Liquidation, OrderBook, Screener, Signal, Spec
from norsel_radar.adapters import BookDepth

pytest.importorskip("ccxt")

from norsel_radar.adapters import ccxt as adapter  # noqa: E402
from recorded_ccxt import load, make_exchange, make_pro_exchange  # noqa: E402

BINANCE = load("binanceusdm")
BYBIT = load("bybit")
BTC, ETH, SOL, XRP, DOGE = (f"{base}/USDT:USDT" for base in ("BTC", "ETH", "SOL", "XRP", "DOGE"))
EVERYTHING = Spec(Spec.default().signals, threshold=-1)  # every symbol is an alert
OI_ANSWERS = "/fapi/v1/openInterest?symbol=ETHUSDT"


def on(exchange, work):
    async def go():
        try:
            await exchange.load_markets()
            return await work(exchange)
        finally:
            await exchange.close()

    return asyncio.run(go())


class Recording(Screener):
    """A Screener that also keeps every event it is fed."""

    def __init__(self, spec=EVERYTHING):
        super().__init__(spec)
        self.fed = []

    def feed_batch(self, symbol, events):
        self.fed.extend(events)
        super().feed_batch(symbol, events)


def test_converters_on_binance_answers():
    async def work(ex):
        return (
            await ex.fetch_open_interest(ETH),
            (await ex.fetch_funding_rates([ETH]))[ETH],
            await ex.fetch_order_book(ETH),
        )

    oi, fr, book = on(make_exchange("binanceusdm"), work)
    recorded = BINANCE["rest"][OI_ANSWERS][0]
    amount = float(recorded["openInterest"])
    assert oi["openInterestValue"] is None  # Binance's endpoint gives no value
    assert adapter.open_interest(oi) == (recorded["time"], amount)
    assert adapter.open_interest(oi, "base", contract_size=1.0) == (recorded["time"], amount)
    with pytest.raises(ValueError, match="no openInterestValue"):
        adapter.open_interest(oi, "quote")
    premium = BINANCE["rest"]["/fapi/v1/premiumIndex"][0][1]
    mark = float(premium["markPrice"])
    assert adapter.funding_rate(fr) == (premium["time"], 0.0001, mark)
    assert adapter.open_interest(oi, "quote", mark_price=mark) == (recorded["time"], amount * mark)

    # the book's volumes over the top three levels, in base or quote units
    snapshot = BINANCE["rest"]["/fapi/v1/depth?symbol=ETHUSDT"][0]
    top = [[(float(p), float(q)) for p, q in snapshot[side][:3]] for side in ("bids", "asks")]
    for units, weigh in [("base", lambda p, q: q / 2), ("quote", lambda p, q: p * q / 2)]:
        event = adapter.order_book(book, BookDepth.top(3), units, contract_size=0.5)
        assert event.ts == snapshot["T"]  # ccxt takes the transaction time
        assert [event.best_bid, event.best_ask] == [side[0][0] for side in top]
        want = [sum(weigh(p, q) for p, q in side) for side in top]
        assert [event.bid_volume, event.ask_volume] == pytest.approx(want)
    # without a timestamp (as some exchanges' books): the time of receipt
    bare = {**book, "timestamp": None}
    assert adapter.order_book(bare, now=123).ts == 123
    assert abs(adapter.order_book(bare).ts - adapter.now_ms()) < 60_000


def test_bybit_websocket_structures():
    async def work(ex):
        liqs = await asyncio.wait_for(ex.watch_liquidations(ETH), 5)
        return liqs[0], await asyncio.wait_for(ex.watch_ticker(BTC), 5)

    liq, ticker = on(make_pro_exchange("bybit"), work)
    first = next(m for _, m in BYBIT["session"] if m["topic"] == "liquidation.ETHUSDT")["data"]
    size, price, ts = float(first["size"]), float(first["price"]), first["updatedTime"]
    assert adapter.liquidation(liq) == Liquidation(ts, "buy", size, price)
    assert adapter.liquidation(liq, "base") == Liquidation(ts, "buy", size, price)
    assert adapter.liquidation(liq, "base", contract_size=0.1).qty == pytest.approx(size / 10)
    assert adapter.liquidation(liq, "quote").qty == pytest.approx(size * price)
    raw = ticker["info"]
    top = [float(raw[k]) for k in ("bid1Size", "ask1Size", "bid1Price", "ask1Price")]
    assert adapter.ticker(ticker) == OrderBook(ticker["timestamp"], *top)
    assert adapter.ticker(ticker, "quote").bid_volume == pytest.approx(top[0] * top[2])


LIQ = {"price": 10.0, "contracts": 2.0, "side": "sell", "timestamp": 5}
TS = {"timestamp": 1}


@pytest.mark.parametrize(
    "convert, structure, out",
    [
        (adapter.open_interest, {"openInterestAmount": None, **TS}, "no openInterestAmount"),
        (adapter.open_interest, {"openInterestAmount": math.nan, **TS}, "finite"),
        (adapter.liquidation, {**LIQ, "price": None}, "liquidation.price"),
        (adapter.liquidation, {**LIQ, "contracts": None}, "no quantity"),
        (adapter.liquidation, {**LIQ, "side": "long"}, "'buy' or 'sell'"),
        (lambda s: adapter.liquidation(s, "usd"), LIQ, "units"),
        (adapter.funding_rate, {"fundingRate": "0.1", **TS}, "fundingRate"),
        (adapter.order_book, {"bids": [[1.0, 2.0]], "asks": [[math.inf, 1.0]], **TS}, "finite"),
        # what a structure lacks is None, or no event
        (adapter.funding_rate, {"fundingRate": None, "markPrice": 5.0, **TS}, (1, None, 5.0)),
        (adapter.ticker, {"bid": 1.0, "ask": 2.0, "bidVolume": None, "askVolume": 1.0}, None),
        (adapter.order_book, {"bids": [], "asks": [[1.0, 1.0]], **TS}, None),
    ],
)
def test_missing_partial_or_bad_fields(convert, structure, out):
    if isinstance(out, str):
        with pytest.raises((TypeError, ValueError), match=out):
            convert(structure)
    else:
        assert convert(structure) == out


def stream(exchange, symbols, screener, **kwargs):
    """Streams until the recording is used up (20 s at most), then a little
    longer for what it sent to be handled."""

    async def go():
        streamer = adapter.CcxtStreamer(
            exchange, symbols, screener, interval=0.01, report_interval=None, **kwargs
        )
        task = asyncio.ensure_future(streamer.run())
        for _ in range(400):
            await asyncio.sleep(0.05)
            # the recording used up: every answer served, every frame received
            frames = sum(len(socket.frames) for socket in exchange.sockets)
            polls = exchange.served.get(OI_ANSWERS, 0) if exchange.id == "binanceusdm" else 40
            if task.done() or (exchange.markets and frames == 0 and polls >= 40):
                break
        await asyncio.sleep(0.2)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        await exchange.close()
        return streamer

    return asyncio.run(go())


@pytest.mark.parametrize("units, malformed", [("contracts", False), ("quote", True)])
def test_streamer_polls_and_ranks_the_planted_symbol_first(units, malformed, caplog):
    """A malformed answer (ETH's 6th, without openInterest) is skipped,
    counted and logged, and the streamer goes on."""
    rest = copy.deepcopy(BINANCE["rest"])
    if malformed:
        rest[OI_ANSWERS][5] = {"symbol": "ETHUSDT", "time": rest[OI_ANSWERS][5]["time"]}
    screener = Recording()
    with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
        streamer = stream(
            make_exchange("binanceusdm", rest), [BTC, ETH, SOL, XRP], screener, units=units
        )
    report = streamer.report
    assert report.alerts[0].symbol == SOL and report.scanned == 4
    factors = report.alerts[0].factors
    assert factors["oi_delta(20,0.05)"] == 1.0 and factors["oi_price_divergence(15,0.04)"] == 1.0
    # one snapshot per recorded poll of each symbol, however often it was polled
    assert streamer.stats.skipped == ({"derivatives": 1} if malformed else {})
    assert streamer.stats.events >= 4 * 40 - malformed
    assert ("skipped a malformed derivatives" in caplog.text) == malformed
    # ETH's first snapshot: at the later of the two answers' times; in quote
    # units its open interest is valued at the mark price
    oi = BINANCE["rest"][OI_ANSWERS][0]
    mark = float(BINANCE["rest"]["/fapi/v1/premiumIndex"][0][1]["markPrice"])
    first = next(e for e in screener.fed if isinstance(e, Derivatives) and e.mark_price == mark)
    value = float(oi["openInterest"]) * (mark if units == "quote" else 1.0)
    assert first.ts == oi["time"] and first.open_interest == pytest.approx(value)


def test_streamer_watches_books_and_liquidations_on_ccxt_pro(caplog):
    exchange = make_pro_exchange("bybit")
    spec = Spec([Signal("liq_cluster", [3, 100])], threshold=-1)
    with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
        streamer = stream(exchange, [BTC, ETH], Screener(spec))
    # funding and open interest have no recording: tried again, logged
    assert re.search("fetch_(funding_rates|open_interest) failed", caplog.text)
    recorded = [m for _, m in BYBIT["session"] if m["topic"] == "liquidation.ETHUSDT"]
    assert streamer.stats.books > 0
    alerts = {a.symbol: a for a in streamer.report.alerts}
    last_three = sum(float(m["data"]["size"]) for m in recorded[-3:])
    assert alerts[ETH].factors["liq_cluster(3,100)"] == pytest.approx(min(last_three / 100, 1.0))
    assert alerts[ETH].ts == recorded[-1]["data"]["updatedTime"]
    assert alerts[BTC].factors["liq_cluster(3,100)"] == 0.0


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: on(make_exchange("binanceusdm"), lambda ex: adapter.CcxtStreamer(ex, [DOGE], Screener(EVERYTHING)).run()), "no market DOGE"),
        (lambda: adapter.CcxtStreamer(None, [ETH], None, interval=0), "interval"),
        (lambda: adapter.CcxtStreamer(None, [ETH], None, units="usd"), "units"),
        (lambda: adapter.CcxtStreamer(None, [], None), "symbols"),
        (lambda: adapter.exchange_class("nowhere"), "no exchange 'nowhere'"),
    ],
)  # fmt: skip
def test_bad_settings_are_refused(make, error):
    with pytest.raises(ValueError, match=error):
        make()


def test_exchange_class_is_pro_where_it_may_watch():
    assert adapter.exchange_class("bybit").__module__.startswith("ccxt.pro")
    assert adapter.exchange_class("bybit", watch=False).__module__.startswith("ccxt.async_support")
