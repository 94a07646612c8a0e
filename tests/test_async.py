"""AsyncScreener: the answers of a Screener called in the same order, however
the queued feeds are grouped; a refused queued feed raised later; its thread
always ends. Misuse is refused as a Screener's is (test_screener)."""

import asyncio
import gc
import subprocess
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from norsel_radar import AsyncScreener, Derivatives, Liquidation, RadarError, Screener, Signal, Spec
from test_screener import EVENTS, KEPT_OPS, QUICK, SPECS, forged, piece_events

TIMEOUT = 60
OTHER = Spec([Signal("oi_delta", [1, 0.1]), Signal("liq_cluster", [2, 5], 2)], threshold=-1)
D = Derivatives(1, 1, 4e-4, 1)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, TIMEOUT))


def threads():
    return {t for t in threading.enumerate() if t.name == "norsel-radar-screener"}


@pytest.fixture(autouse=True)
def no_thread_left():
    before = threads()
    yield
    for thread in threads() - before:
        thread.join(TIMEOUT)
        assert not thread.is_alive()


def stream(n):
    """n events over three symbols, interleaved as a feed delivers them."""
    return [
        ("S%d" % (t % 3), Derivatives(t, 100 + t % 7, (-1) ** t * 4e-4, 50 - t % 3))
        if t % 4
        else ("S%d" % (t % 3), Liquidation(t, "sell", t % 5, 3))
        for t in range(n)
    ]


# ---------------------------------------------------------------- same answers

SCAN = st.tuples(
    st.just("scan"), st.dictionaries(st.sampled_from("AB"), st.lists(EVENTS, max_size=4))
)
ASK = st.tuples(st.sampled_from(["alerts", "version"]))
OPS = st.lists(st.one_of(*KEPT_OPS, SCAN, ASK), max_size=40)


@settings(max_examples=50, deadline=None)
@given(SPECS, OPS, st.sampled_from([2, 1 << 16]), st.booleans())
def test_answers_as_a_screener_called_in_order(spec, ops, piece_size, together):
    sync = Screener(spec)
    expected = [getattr(sync, name)(*args) for name, *args in ops] + [sync.alerts()]

    async def main():
        async with AsyncScreener(spec) as screener:
            calls = [getattr(screener, name)(*args) for name, *args in ops]
            if together:  # all at once: they still run in the order they were called
                answers = list(await asyncio.gather(*calls))
            else:
                answers = [await call for call in calls]
            return answers + [await screener.alerts(), screener.spec]

    with piece_events(piece_size):
        assert run(main()) == expected + [sync.spec]


def test_queued_feeds_are_grouped_without_changing_the_answer():
    feeds = stream(3000)
    sync = Screener(OTHER)
    for symbol, event in feeds:
        sync.feed(symbol, event)

    async def main(max_pending):
        async with AsyncScreener(OTHER, max_pending=max_pending) as screener:
            for symbol, event in feeds:
                await screener.feed(symbol, event)
            await screener.flush()
            return await screener.alerts(), screener._worker.commands

    report, commands = run(main(1 << 17))
    assert report == sync.alerts() and report.alerts
    # Feeds queue while the loop holds the interpreter; one feed_batch per
    # symbol takes whatever waited (this counter only exists for this check).
    assert commands <= len(feeds) // 2
    report, _ = run(main(7))  # a feed waits whenever 7 events wait to be applied
    assert report == sync.alerts()


def test_a_refused_queued_feed_is_raised_by_the_next_call():
    good = [D, Derivatives(3, 1, -6e-4, 1)]
    sync = Screener(QUICK)
    sync.feed_batch("A", good)  # what is left once the forged event is refused

    async def main():
        async with AsyncScreener(QUICK) as screener:
            await screener.feed("A", good[0])
            await screener.feed("A", forged(2, float("nan"), 1.0, 1.0))  # queued, refused later
            await screener.feed("A", good[1])
            with pytest.raises(RadarError) as exc:
                await screener.alerts()
            assert str(exc.value) == "parse: invalid type: null, expected f64"
            return await screener.alerts()  # raised once; the other feeds were applied

    assert run(main()) == sync.alerts()

    async def closing():
        screener = AsyncScreener(QUICK)
        await screener.feed_batch("A", [good[0], forged(2, 1.0, float("inf"), 1.0)])
        with pytest.raises(RadarError, match="expected f64"):
            await screener.aclose()  # nobody asked: closing raises it
        assert screener.closed

    run(closing())


# ---------------------------------------------------------------- the loop and the thread


def test_a_scan_lets_the_loop_run_and_cancellation_ends_cleanly(monkeypatch):
    monkeypatch.setattr("norsel_radar._wire.CHUNK_EVENTS", 64)
    batch = {"S%d" % i: [e for _, e in stream(200)] for i in range(20)}
    log = []

    class Logged(dict):  # notes when the scan reads each symbol's events
        def items(self):
            for item in super().items():
                log.append("symbol")
                yield item

    async def ticker():
        while True:
            log.append("tick")
            await asyncio.sleep(0)

    async def owner(started):
        async with AsyncScreener(QUICK) as screener:
            await screener.feed("A", D)
            started.set()
            await asyncio.sleep(TIMEOUT)

    async def main():
        async with AsyncScreener(QUICK) as screener:
            task = asyncio.ensure_future(ticker())
            assert await screener.scan(Logged(batch)) == Screener(QUICK).scan(batch)
            task.cancel()
            task = asyncio.ensure_future(screener.scan({k: v * 20 for k, v in batch.items()}))
            await asyncio.sleep(0)  # the scan has begun encoding
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            await screener.feed("A", D)
            assert (await screener.alerts()).scanned == 1  # the thread went on
        started = asyncio.Event()
        task = asyncio.ensure_future(owner(started))
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())  # the fixture checks that every thread ended
    first, last = log.index("symbol"), len(log) - 1 - log[::-1].index("symbol")
    assert "tick" in log[first:last]


def test_a_screener_outlives_its_loop_and_ends_its_thread_when_dropped():
    screener = AsyncScreener(QUICK)

    async def use(screener):
        await screener.feed("A", D)
        return (await screener.alerts()).scanned

    # The loop of the first run is closed: the next one may take the screener over.
    assert run(use(screener)) == run(use(screener)) == 1
    thread = screener._worker.thread
    del screener
    gc.collect()
    thread.join(TIMEOUT)
    assert not thread.is_alive()


EXIT = """
import asyncio
from norsel_radar import AsyncScreener, Derivatives, Spec

kept = AsyncScreener(Spec.default())  # never used, never closed

async def main():
    global screener
    screener = AsyncScreener(Spec.default())
    await screener.feed("A", Derivatives(1, 1, 1, 1))
    batch = {"S%d" % i: [Derivatives(t, 1, 1, 1) for t in range(3000)] for i in range(50)}
    asyncio.ensure_future(screener.scan(batch))  # left running when the loop ends
    await asyncio.sleep(0)
    print(await screener.version())

asyncio.run(main())
"""


def test_interpreter_exit_ends_unclosed_screeners():
    proc = subprocess.run(
        [sys.executable, "-c", EXIT], capture_output=True, text=True, timeout=TIMEOUT
    )
    assert (proc.returncode, proc.stderr) == (0, "") and proc.stdout.strip()
