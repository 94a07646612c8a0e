"""What the adapters share, without a market-data library: conversions of
numbers and timestamps, the derivatives-snapshot rule, book depth, symbol
mapping, and the feeder's batches, flush bounds, reports and alert changes."""

import asyncio
import logging
import math
import subprocess
import sys
from decimal import Decimal

import pytest
from norsel_radar import AsyncScreener, Derivatives, Liquidation, OrderBook, Screener, Signal, Spec
from norsel_radar.adapters import BookDepth, DerivativesRule, Feeder, SymbolMap
from norsel_radar.adapters.convert import epoch_ms, finite, optional
from norsel_radar.adapters.depth import summarise_levels
from norsel_radar.adapters.snapshots import DerivativesJoiner

T = 1717200000000
ALL = Spec(
    [Signal("oi_delta", [1, 0.1]), Signal("liq_cluster", [3, 10]), Signal("book_imbalance", [1])],
    threshold=-1,
)


def run(coro):
    return asyncio.run(coro)


# ---------------------------------------------------------------- conversions


@pytest.mark.parametrize(
    "value, ms",
    [
        (1717200000.25, T + 250),  # cryptofeed's float seconds
        (1717200000.2506, T + 251),  # to the nearest millisecond
        (Decimal("1717200000.0005"), T),  # Decimal seconds, half to even
        (1717200000, T),  # int seconds
        (T, T),  # Bybit's int milliseconds
        (float(T + 7), T + 7),  # Bybit's funding: milliseconds as a float
        (Decimal(T + 9), T + 9),
        (99_999_999_999.0, 99_999_999_999_000),  # just below the line: seconds
        (100_000_000_000, 100_000_000_000),  # from 1e11 on: milliseconds
        (0.0, 0),
        (-1.5, -1500),
    ],
)
def test_timestamps_by_magnitude(value, ms):
    assert epoch_ms(value, "ts") == ms


@pytest.mark.parametrize(
    "value, error",
    [
        (float("nan"), ValueError),
        (float("inf"), ValueError),
        (Decimal("NaN"), ValueError),
        (1e30, ValueError),  # beyond 64-bit milliseconds
        (True, TypeError),
        ("1717200000", TypeError),
        (None, TypeError),
    ],
)
def test_bad_timestamps_name_the_field(value, error):
    with pytest.raises(error, match="when"):
        epoch_ms(value, "when")


@pytest.mark.parametrize(
    "value, out",
    [(Decimal("0.014"), 0.014), (3, 3.0), (2.5, 2.5), (Decimal("-0.00060000"), -0.0006)],
)
def test_numbers(value, out):
    assert finite(value, "x") == out and type(finite(value, "x")) is float


@pytest.mark.parametrize(
    "value, error",
    [
        (Decimal("NaN"), ValueError),
        (Decimal("sNaN"), ValueError),
        (Decimal("Infinity"), ValueError),
        (float("-inf"), ValueError),
        ("1.0", TypeError),
        (None, TypeError),
        (True, TypeError),
    ],
)
def test_bad_numbers(value, error):
    with pytest.raises(error, match="Funding.rate"):
        finite(value, "Funding.rate")


def test_optional_keeps_none():
    assert optional(None, "x") is None and optional(Decimal("1.5"), "x") == 1.5


# ---------------------------------------------------------------- derivatives rule


def test_snapshot_on_open_interest_once_all_three_are_known():
    j = DerivativesJoiner(DerivativesRule(0))
    assert j.update("S", T, open_interest=100.0) is None
    assert j.update("S", T + 1, funding_rate=0.0001) is None
    assert j.update("S", T + 2, mark_price=50000.0) is None  # only open interest emits
    assert j.update("S", T + 3, open_interest=101.0) == Derivatives(T + 3, 101.0, 0.0001, 50000.0)
    # funding then open interest in one message (Bybit): one event of both
    assert j.update("S", T + 4, funding_rate=-0.0002, mark_price=49000.0) is None
    assert j.update("S", T + 4, open_interest=102.0) == Derivatives(T + 4, 102.0, -0.0002, 49000.0)
    # ccxt's polls: one update of all three
    event = j.update("S", T + 5, open_interest=103.0, funding_rate=0.0003, mark_price=48000.0)
    assert event == Derivatives(T + 5, 103.0, 0.0003, 48000.0)


def test_snapshot_at_most_once_per_interval_of_market_time():
    j = DerivativesJoiner(DerivativesRule(1.0))
    j.update("S", T, funding_rate=0.0001, mark_price=50000.0)
    emitted = []
    for k in range(25):  # an update every 100 ms for 2.5 s
        event = j.update("S", T + 100 * k, open_interest=100.0 + k)
        if event is not None:
            emitted.append(event)
    assert [e.ts for e in emitted] == [T, T + 1000, T + 2000]
    assert [e.open_interest for e in emitted] == [100.0, 110.0, 120.0]


def test_snapshot_out_of_step_update_keeps_value_emits_nothing():
    j = DerivativesJoiner(DerivativesRule(1.0))
    j.update("S", T, open_interest=100.0, funding_rate=0.0001, mark_price=50000.0)
    assert j.update("S", T - 500, open_interest=90.0) is None  # stamped earlier
    assert j.update("S", T + 1000, mark_price=49000.0) is None
    assert j.update("S", T + 1000, open_interest=91.0) == Derivatives(
        T + 1000, 91.0, 0.0001, 49000.0
    )


def test_snapshot_symbols_are_apart():
    j = DerivativesJoiner(DerivativesRule(0))
    assert j.update("A", T, open_interest=1.0, funding_rate=0.1, mark_price=2.0) is not None
    assert j.update("B", T, open_interest=5.0) is None
    assert j.mark_price("A") == 2.0 and j.mark_price("B") is None and j.mark_price("C") is None


@pytest.mark.parametrize("interval", [-1, float("nan"), float("inf")])
def test_bad_interval(interval):
    with pytest.raises(ValueError, match="interval"):
        DerivativesJoiner(DerivativesRule(interval))


# ---------------------------------------------------------------- book depth

BIDS = [[100.0, 1.0], [99.5, 2.0], [99.0, 3.0], [90.0, 50.0]]
ASKS = [[101.0, 4.0], [101.5, 5.0], [110.0, 60.0]]


@pytest.mark.parametrize(
    "depth, summary",
    [
        (BookDepth.top(1), (1.0, 4.0, 100.0, 101.0)),
        (BookDepth.top(2), (3.0, 9.0, 100.0, 101.0)),
        (BookDepth.top(10), (56.0, 69.0, 100.0, 101.0)),  # fewer levels than asked: all
        # mid 100.5: 1% band is [99.495, 101.505]
        (BookDepth.within(0.01), (3.0, 9.0, 100.0, 101.0)),
        # 0.1%: [100.3995, 100.6005], which the spread spans: nothing counts
        (BookDepth.within(0.001), (0.0, 0.0, 100.0, 101.0)),
        (BookDepth.within(0.2), (56.0, 69.0, 100.0, 101.0)),
    ],
)
def test_book_depth(depth, summary):
    assert summarise_levels(BIDS, ASKS, depth) == summary


def test_book_units():
    # contract size 0.1; quote volume is each level's size times its price
    assert summarise_levels(BIDS, ASKS, BookDepth.top(2), 0.1) == pytest.approx(
        (0.3, 0.9, 100.0, 101.0)
    )
    bid, ask, _, _ = summarise_levels(BIDS, ASKS, BookDepth.top(2), 0.1, True)
    assert (bid, ask) == pytest.approx((0.1 * (100 + 2 * 99.5), 0.1 * (4 * 101 + 5 * 101.5)))


@pytest.mark.parametrize("bids, asks", [([], ASKS), (BIDS, []), ([], [])])
def test_book_with_an_empty_side_is_no_event(bids, asks):
    assert summarise_levels(bids, asks, BookDepth()) is None


@pytest.mark.parametrize(
    "text, depth",
    [("20", BookDepth(20, None)), (" 5 ", BookDepth(5, None)), ("0.5%", BookDepth(0, 0.005))],
)
def test_book_depth_parse(text, depth):
    assert BookDepth.parse(text) == depth


@pytest.mark.parametrize("text", ["0", "-3", "2.5", "abc", "0%", "100%", "%"])
def test_book_depth_parse_refuses(text):
    with pytest.raises(ValueError, match="book depth"):
        BookDepth.parse(text)


# ---------------------------------------------------------------- symbol map


def test_symbol_map_default_keeps_names_and_stays_one_to_one(caplog):
    names = SymbolMap()
    assert names("BINANCE_FUTURES", "BTC-USDT-PERP") == "BTC-USDT-PERP"
    with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
        assert names("BYBIT", "BTC-USDT-PERP") is None  # would mix two markets
        assert names("BYBIT", "BTC-USDT-PERP") is None
    assert names.conflicts == 2 and names.unknown_count == 0
    assert len([r for r in caplog.records if "feeds already" in r.message]) == 1


@pytest.mark.parametrize(
    "unknown, expected, count", [("ignore", None, 1), ("keep", "DOGE-USDT-PERP", 0)]
)
def test_symbol_map_mapping(unknown, expected, count):
    names = SymbolMap({"BTC-USDT-PERP": "BTC-PERP"}, unknown=unknown)
    assert names("X", "BTC-USDT-PERP") == "BTC-PERP"
    assert names("X", "DOGE-USDT-PERP") == expected
    assert names.unknown_count == count


def test_symbol_map_function_of_exchange_and_symbol():
    names = SymbolMap(
        lambda exchange, symbol: f"{exchange[:3]}:{symbol}" if "PERP" in symbol else None
    )
    assert names("BINANCE_FUTURES", "BTC-USDT-PERP") == "BIN:BTC-USDT-PERP"
    assert names("BYBIT", "BTC-USDT-PERP") == "BYB:BTC-USDT-PERP"
    assert names("BYBIT", "BTC-USDT") is None and names.unknown_count == 1


@pytest.mark.parametrize(
    "symbols, unknown, error",
    [
        ({"A": "X", "B": "X"}, "ignore", ValueError),  # not one-to-one
        ({"A": 1}, "ignore", TypeError),
        (42, "ignore", TypeError),
        (None, "drop", ValueError),
    ],
)
def test_symbol_map_refuses(symbols, unknown, error):
    with pytest.raises(error):
        SymbolMap(symbols, unknown)


# ---------------------------------------------------------------- feeder


def liq(ts, qty=1.0):
    return Liquidation(ts, "sell", qty, 100.0)


def test_feeder_flushes_on_size_one_batch_per_symbol():
    screener = Screener(ALL)

    async def go():
        feeder = Feeder(screener, batch_size=5, flush_interval=60, report_interval=None)
        due = [feeder.add("A" if i % 2 else "B", liq(T + i)) for i in range(5)]
        assert due == [False] * 4 + [True] and feeder.pending == 5
        assert screener.alerts().scanned == 0  # nothing sent before the flush
        await feeder.flush()
        assert feeder.pending == 0 and feeder.stats.batches == 2 and feeder.stats.events == 5
        return screener.alerts()

    report = run(go())
    # the order within a symbol is kept: A's newest liquidation is ts T+3
    assert {a.symbol: a.ts for a in report.alerts} == {"A": T + 3, "B": T + 4}


def test_feeder_flushes_on_time_and_reports():
    async def go():
        async with AsyncScreener(ALL) as screener:
            changes = []
            feeder = Feeder(
                screener,
                batch_size=10_000,
                flush_interval=0.05,
                report_interval=0.0,
                on_alert=changes.append,
            )
            feeder.add("A", liq(T, 20.0))
            for _ in range(200):  # the timer flushes without another event
                await asyncio.sleep(0.01)
                if feeder.stats.reports:
                    break
            assert feeder.stats.events == 1 and feeder.pending == 0
            return feeder.report, changes

    report, changes = run(go())
    assert [a.symbol for a in report.alerts] == ["A"]
    assert [(c.kind, c.symbol) for c in changes] == [("raised", "A")]


def test_feeder_alert_changes_raised_and_cleared():
    spec = Spec([Signal("liq_cluster", [1, 10])], threshold=0.5)

    async def go():
        seen = []

        async def on_alert(change):  # a coroutine function is awaited
            seen.append((change.kind, change.symbol, change.alert.severity))

        feeder = Feeder(Screener(spec), report_interval=None, on_alert=on_alert)
        feeder.add("A", liq(T, 10.0))
        feeder.add("B", liq(T, 2.0))
        await feeder.refresh()
        feeder.add("A", liq(T + 1, 1.0))  # A falls under the threshold
        feeder.add("B", liq(T + 1, 8.0))  # B rises above it
        await feeder.refresh()
        await feeder.refresh()  # nothing changed: nothing heard
        return seen

    assert run(go()) == [("raised", "A", 1.0), ("raised", "B", 0.8), ("cleared", "A", 1.0)]


def test_feeder_keeps_only_the_newest_book_and_feeds_it_last():
    screener = Screener(Spec([Signal("book_imbalance", [1])], threshold=-1))
    summarised = []

    def summary(book, ts):
        summarised.append(book)
        return OrderBook(ts, book[0], book[1], 99.0, 101.0)

    async def go():
        feeder = Feeder(screener, report_interval=None)
        feeder.add_book("A", (10.0, 30.0), T, summary)
        feeder.add("A", liq(T + 5))
        feeder.add_book("A", (30.0, 10.0), T + 1, summary)
        assert feeder.pending == 2 and feeder.stats.books == 2
        return await feeder.refresh()

    report = run(go())
    assert summarised == [(30.0, 10.0)]  # the first book was never summarised
    assert report.alerts[0].factors["book_imbalance(1)"] == 0.5 and report.alerts[0].ts == T + 5


def test_feeder_skips_a_book_it_cannot_summarise(caplog):
    def broken(book, ts):
        raise ValueError("no bids")

    async def go():
        feeder = Feeder(Screener(ALL), report_interval=None)
        feeder.add_book("A", object(), T, broken)
        feeder.add_book("B", object(), T, lambda book, ts: None)  # an empty side
        feeder.add("C", liq(T))
        with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
            report = await feeder.refresh()
        return feeder.stats, report

    stats, report = run(go())
    assert stats.skipped == {"book": 1} and stats.events == 1
    assert [a.symbol for a in report.alerts] == ["C"]
    assert "skipped a malformed book (no bids; 1 so far)" in caplog.text


def test_feeder_on_alert_failure_does_not_stop_it(caplog):
    def boom(change):
        raise RuntimeError("listener broke")

    async def go():
        feeder = Feeder(Screener(ALL), report_interval=None, on_alert=boom)
        feeder.add("A", liq(T))
        feeder.add("B", liq(T))
        with caplog.at_level(logging.ERROR, "norsel_radar.adapters"):
            return await feeder.refresh()

    assert len(run(go()).alerts) == 2
    assert caplog.text.count("on_alert failed") == 2


def test_feeder_warnings_are_counted_not_repeated(caplog):
    feeder = Feeder(Screener(ALL))
    with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
        for i in range(2500):
            feeder.skip("funding", ValueError(f"bad {i}"))
    assert feeder.stats.skipped == {"funding": 2500}
    assert len(caplog.records) == 10 + 2  # the first ten, then the 1000th and 2000th


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"batch_size": 0}, ValueError),
        ({"batch_size": True}, ValueError),
        ({"flush_interval": 0}, ValueError),
        ({"flush_interval": math.inf}, ValueError),
        ({"report_interval": -1}, ValueError),
    ],
)
def test_feeder_refuses_bad_bounds(kwargs, error):
    with pytest.raises(error):
        Feeder(Screener(ALL), **kwargs)


def test_feeder_needs_a_screener():
    with pytest.raises(TypeError, match="Screener or AsyncScreener"):
        Feeder("not a screener")


# ---------------------------------------------------------------- without the libraries


@pytest.mark.parametrize(
    "module, library",
    [("norsel_radar.adapters.cryptofeed", "cryptofeed"), ("norsel_radar.adapters.ccxt", "ccxt")],
)
def test_adapter_without_its_library_names_the_extra(module, library):
    code = f"import sys; sys.modules[{library!r}] = None; import {module}"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1
    last = proc.stderr.strip().splitlines()[-1]
    assert last == f'ImportError: {module} needs {library}: pip install "norsel_radar[{library}]"'


def test_live_without_ccxt_is_one_line():
    code = (
        "import sys; sys.modules['ccxt'] = None; from norsel_radar.cli import main;"
        " sys.exit(main(['live']))"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr == (
        'norsel-radar: error: norsel-radar live needs ccxt: pip install "norsel_radar[ccxt]"\n'
    )
