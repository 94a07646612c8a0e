"""What the adapters share, without a market-data library: conversions of
numbers and timestamps, the derivatives-snapshot rule, book depth, symbol
mapping, the feeder's batches, flush bounds and alert changes, and the one
line a user gets without the library."""

import asyncio
import logging
import math
import subprocess
import sys
from decimal import Decimal

import pytest
from norsel_radar import AsyncScreener, Derivatives, Liquidation, Screener, Signal, Spec
from norsel_radar.adapters import BookDepth, DerivativesRule, Feeder, SymbolMap
from norsel_radar.adapters.convert import epoch_ms, finite, optional, timestamp_ms
from norsel_radar.adapters.depth import summarise_levels
from norsel_radar.adapters.snapshots import DerivativesJoiner

T = 1717200000000
ALL = Spec(
    [Signal("oi_delta", [1, 0.1]), Signal("liq_cluster", [3, 10]), Signal("book_imbalance", [1])],
    threshold=-1,
)


def run(coro):
    return asyncio.run(coro)


def liq(ts, qty=1.0):
    return Liquidation(ts, "sell", qty, 100.0)


@pytest.mark.parametrize(
    "convert, value, out",
    [
        (epoch_ms, 1717200000.25, T + 250),  # cryptofeed's float seconds
        (epoch_ms, 1717200000.2506, T + 251),  # to the nearest millisecond
        (epoch_ms, Decimal("1717200000.0005"), T),  # Decimal seconds, half to even
        (epoch_ms, 1717200000, T),
        (epoch_ms, T, T),  # Bybit's int milliseconds
        (epoch_ms, float(T + 7), T + 7),  # Bybit's funding: milliseconds as a float
        (epoch_ms, 99_999_999_999.0, 99_999_999_999_000),  # just below the line: seconds
        (epoch_ms, 100_000_000_000, 100_000_000_000),  # from 1e11 on: milliseconds
        (epoch_ms, float("nan"), ValueError),
        (epoch_ms, 1e30, ValueError),  # beyond 64-bit milliseconds
        (epoch_ms, True, TypeError),
        (epoch_ms, None, TypeError),
        (finite, Decimal("-0.00060000"), -0.0006),
        (finite, Decimal("sNaN"), ValueError),
        (finite, Decimal("Infinity"), ValueError),
        (finite, True, TypeError),
        (optional, None, None),  # a value the message lacks
        (optional, Decimal("1.5"), 1.5),
        (lambda value, where: timestamp_ms(value, where, 5), None, 5),  # no timestamp
    ],
)
def test_conversions(convert, value, out):
    if isinstance(out, type):
        with pytest.raises(out, match="Funding.rate"):
            convert(value, "Funding.rate")
    else:
        got = convert(value, "Funding.rate")
        assert got == out and type(got) is type(out)


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
    # stamped earlier than the last: emits nothing, but the value is kept
    assert j.update("S", T + 1, open_interest=90.0) is None
    assert j.update("S", T + 2, mark_price=47000.0) is None
    assert j.update("S", T + 6, open_interest=104.0) == Derivatives(T + 6, 104.0, 0.0003, 47000.0)
    assert j.update("B", T, open_interest=5.0) is None  # symbols are apart
    assert j.mark_price("S") == 47000.0 and j.mark_price("B") is None


def test_snapshot_at_most_once_per_interval_of_market_time():
    j = DerivativesJoiner(DerivativesRule(1.0))
    j.update("S", T, funding_rate=0.0001, mark_price=50000.0)
    emitted = [j.update("S", T + 100 * k, open_interest=100.0 + k) for k in range(25)]
    assert [e for e in emitted if e is not None] == [
        Derivatives(T + 1000 * k, 100.0 + 10 * k, 0.0001, 50000.0) for k in range(3)
    ]


BIDS = [[100.0, 1.0], [99.5, 2.0], [99.0, 3.0], [90.0, 50.0]]
ASKS = [[101.0, 4.0], [101.5, 5.0], [110.0, 60.0]]


@pytest.mark.parametrize(
    "depth, bids, asks, summary",
    [
        (BookDepth.top(1), BIDS, ASKS, (1.0, 4.0, 100.0, 101.0)),
        (BookDepth.top(10), BIDS, ASKS, (56.0, 69.0, 100.0, 101.0)),  # fewer levels: all
        # mid 100.5: 1% band is [99.495, 101.505]
        (BookDepth.within(0.01), BIDS, ASKS, (3.0, 9.0, 100.0, 101.0)),
        # 0.1%: [100.3995, 100.6005], which the spread spans: nothing counts
        (BookDepth.within(0.001), BIDS, ASKS, (0.0, 0.0, 100.0, 101.0)),
        (BookDepth(), [], ASKS, None),  # an empty side is no event
        (BookDepth(), BIDS, [], None),
    ],
)
def test_book_depth(depth, bids, asks, summary):
    assert summarise_levels(bids, asks, depth) == summary


@pytest.mark.parametrize(
    "text, depth",
    [("20", BookDepth(20, None)), (" 5 ", BookDepth(5, None)), ("0.5%", BookDepth(0, 0.005))]
    + [(text, None) for text in ["0", "-3", "2.5", "abc", "0%", "100%", "%"]],
)
def test_book_depth_parse(text, depth):
    if depth is None:
        with pytest.raises(ValueError, match="book depth"):
            BookDepth.parse(text)
    else:
        assert BookDepth.parse(text) == depth


def test_symbol_map_default_keeps_names_and_stays_one_to_one(caplog):
    names = SymbolMap()
    assert names("BINANCE_FUTURES", "BTC-USDT-PERP") == "BTC-USDT-PERP"
    with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
        assert names("BYBIT", "BTC-USDT-PERP") is None  # would mix two markets
        assert names("BYBIT", "BTC-USDT-PERP") is None
    assert names.conflicts == 2 and names.unknown_count == 0
    assert len([r for r in caplog.records if "feeds already" in r.message]) == 1


@pytest.mark.parametrize(
    "make, error, match",
    [
        (lambda: DerivativesJoiner(DerivativesRule(-1)), ValueError, "interval"),
        (lambda: DerivativesJoiner(DerivativesRule(math.nan)), ValueError, "interval"),
        (lambda: SymbolMap({"A": "X", "B": "X"}), ValueError, None),  # not one-to-one
        (lambda: SymbolMap({"A": 1}), TypeError, None),
        (lambda: SymbolMap(None, "drop"), ValueError, None),
        (lambda: Feeder(Screener(ALL), batch_size=0), ValueError, None),
        (lambda: Feeder(Screener(ALL), batch_size=True), ValueError, None),
        (lambda: Feeder(Screener(ALL), flush_interval=math.inf), ValueError, None),
        (lambda: Feeder(Screener(ALL), report_interval=-1), ValueError, None),
        (lambda: Feeder("not a screener"), TypeError, "Screener or AsyncScreener"),
    ],
)
def test_bad_settings_are_refused(make, error, match):
    with pytest.raises(error, match=match):
        make()


def test_feeder_flushes_on_size_one_batch_per_symbol():
    screener = Screener(ALL)

    async def go():
        feeder = Feeder(screener, batch_size=5, flush_interval=60, report_interval=None)
        due = [feeder.add("A" if i % 2 else "B", liq(T + i)) for i in range(5)]
        assert due == [False] * 4 + [True] and feeder.pending == 5
        assert screener.alerts().scanned == 0  # nothing sent before the flush
        await feeder.flush()
        assert feeder.pending == 0 and feeder.stats.batches == 2 and feeder.stats.events == 5

    run(go())
    # the order within a symbol is kept: A's newest liquidation is ts T+3
    assert {a.symbol: a.ts for a in screener.alerts().alerts} == {"A": T + 3, "B": T + 4}


def test_feeder_flushes_on_time_and_tells_alert_changes():
    spec = Spec([Signal("liq_cluster", [1, 10])], threshold=0.5)

    async def go():
        seen = []

        async def on_alert(change):  # a coroutine function is awaited
            seen.append((change.kind, change.symbol, change.alert.severity))

        async with AsyncScreener(spec) as screener:
            feeder = Feeder(screener, flush_interval=0.05, report_interval=0.0, on_alert=on_alert)
            feeder.add("A", liq(T, 10.0))
            feeder.add("B", liq(T, 2.0))
            for _ in range(200):  # the timer flushes and reports without another event
                await asyncio.sleep(0.01)
                if feeder.stats.reports:
                    break
            assert feeder.stats.events == 2 and feeder.pending == 0 and len(seen) == 1
            feeder.add("A", liq(T + 1, 1.0))  # A falls under the threshold
            feeder.add("B", liq(T + 1, 8.0))  # B rises above it
            await feeder.refresh()
            await feeder.refresh()  # nothing changed: nothing heard
        return seen

    assert run(go()) == [("raised", "A", 1.0), ("raised", "B", 0.8), ("cleared", "A", 1.0)]


def test_feeder_goes_on_past_a_bad_book_and_a_broken_listener(caplog):
    def broken(book, ts):
        raise ValueError("no bids")

    def boom(change):
        raise RuntimeError("listener broke")

    async def go():
        feeder = Feeder(Screener(ALL), report_interval=None, on_alert=boom)
        feeder.add_book("A", object(), T, broken)
        feeder.add_book("B", object(), T, lambda book, ts: None)  # an empty side
        feeder.add("C", liq(T))
        feeder.add("D", liq(T))
        with caplog.at_level(logging.WARNING, "norsel_radar.adapters"):
            report = await feeder.refresh()
            for i in range(2500):
                feeder.skip("funding", ValueError(f"bad {i}"))
        return feeder.stats, report

    stats, report = run(go())
    assert stats.skipped == {"book": 1, "funding": 2500} and stats.events == 2
    assert [a.symbol for a in report.alerts] == ["C", "D"]
    assert "skipped a malformed book (no bids; 1 so far)" in caplog.text
    assert caplog.text.count("on_alert failed") == 2
    # warnings are counted, not repeated: the first ten, then the 1000th and 2000th
    assert len([r for r in caplog.records if "funding" in r.getMessage()]) == 10 + 2


@pytest.mark.parametrize(
    "library, code, line",
    [
        ("cryptofeed", "import norsel_radar.adapters.cryptofeed", 'ImportError: norsel_radar.adapters.cryptofeed needs cryptofeed: pip install "norsel_radar[cryptofeed]"'),
        ("ccxt", "import norsel_radar.adapters.ccxt", 'ImportError: norsel_radar.adapters.ccxt needs ccxt: pip install "norsel_radar[ccxt]"'),
        ("ccxt", "live", 'norsel-radar: error: norsel-radar live needs ccxt: pip install "norsel_radar[ccxt]"'),
        ("ccxt", "serve --live binanceusdm --symbols BTC/USDT:USDT", "norsel-radar: error: --live needs the ccxt adapter and ccxt: pip install 'norsel_radar[ccxt]'"),
    ],
)  # fmt: skip
def test_without_its_library_one_line_names_the_extra(library, code, line):
    """An adapter's import fails naming the extra; a command says it in one line."""
    command = not code.startswith("import")
    if command:
        code = f"from norsel_radar.cli import main; sys.exit(main({code.split()!r}))"
    code = f"import sys; sys.modules[{library!r}] = None; {code}"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    lines = proc.stderr.splitlines()
    assert (proc.returncode, proc.stdout) == ((2, "") if command else (1, ""))
    assert lines[-1].startswith(line) and (len(lines) == 1 or not command), proc.stderr
