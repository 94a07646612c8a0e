"""AsyncScreener: the answers of a Screener called in the same order, however
the queued feeds are grouped; errors raised; its thread always ends."""

import asyncio
import gc
import subprocess
import sys
import threading
from collections.abc import Mapping

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from norsel_radar import (
    AsyncScreener,
    Derivatives,
    Liquidation,
    OrderBook,
    RadarError,
    Report,
    Screener,
    Signal,
    Spec,
    _wire,
)
from test_screener import EVENTS, QUICK, SPECS, forged

TIMEOUT = 60
OTHER = Spec([Signal("oi_delta", [1, 0.1]), Signal("liq_cluster", [2, 5], 2)], threshold=-1)


def run(coro):
    async def bounded():
        return await asyncio.wait_for(coro, TIMEOUT)

    return asyncio.run(bounded())


def threads():
    return {t for t in threading.enumerate() if t.name == "norsel-radar-screener"}


@pytest.fixture(autouse=True)
def no_thread_left():
    before = threads()
    yield
    for thread in threads() - before:
        thread.join(TIMEOUT)
        assert not thread.is_alive()


# ---------------------------------------------------------------- same answers

OPS = st.lists(
    st.one_of(
        st.tuples(st.just("feed"), st.sampled_from("ABC"), EVENTS),
        st.tuples(st.just("feed_batch"), st.sampled_from("ABC"), st.lists(EVENTS, max_size=5)),
        st.tuples(
            st.just("scan"), st.dictionaries(st.sampled_from("ABCD"), st.lists(EVENTS, max_size=4))
        ),
        st.tuples(st.just("alerts")),
        st.tuples(st.just("reset")),
        st.tuples(st.just("set_spec"), st.sampled_from([QUICK, OTHER])),
        st.tuples(st.just("version")),
    ),
    max_size=40,
)


async def replay(screener, ops):
    """Calls the ops in order, awaiting every one; answers of those that answer."""
    answers = []
    for name, *args in ops:
        answer = await getattr(screener, name)(*args)
        if answer is not None:
            answers.append(answer)
    answers.append(await screener.alerts())
    return answers


@settings(max_examples=40, deadline=None)
@given(SPECS, OPS, st.sampled_from([2, 1 << 16]))
def test_answers_as_a_screener_called_in_order(spec, ops, piece_events):
    sync = Screener(spec)
    expected = []
    for name, *args in ops:
        answer = getattr(sync, name)(*args)
        if answer is not None:
            expected.append(answer)
    expected.append(sync.alerts())

    async def main():
        async with AsyncScreener(spec) as screener:
            return await replay(screener, ops)

    saved, _wire.PIECE_EVENTS = _wire.PIECE_EVENTS, piece_events
    try:
        assert run(main()) == expected
    finally:
        _wire.PIECE_EVENTS = saved


def stream(n):
    kinds = [
        lambda t: Derivatives(t, 100 + t % 7, (-1) ** t * 4e-4, 50 - t % 3),
        lambda t: OrderBook(t, 300, 100 + t % 50, 1, 2),
        lambda t: Liquidation(t, "sell", t % 5, 3),
    ]
    return [("S%d" % (t % 3), kinds[t % 4 % 3](t)) for t in range(n)]


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


def test_concurrent_calls_run_in_the_order_they_were_made():
    async def main():
        async with AsyncScreener(QUICK) as screener:
            return await asyncio.gather(
                screener.feed("A", Derivatives(1, 1, 4e-4, 1)),
                screener.alerts(),
                screener.reset(),
                screener.alerts(),
                screener.feed_batch("B", [Derivatives(2, 1, 4e-4, 1)]),
                screener.set_spec(OTHER),
                screener.alerts(),
            ) + [screener.spec]

    _, first, _, second, _, _, third, spec = run(main())
    assert spec == OTHER
    assert [a.symbol for a in first.alerts] == ["A"] and second == Report((), 0, QUICK.labels)
    assert third == Report((), 0, OTHER.labels)


# ---------------------------------------------------------------- errors and misuse


def test_a_refused_queued_feed_is_raised_by_the_next_call():
    good = [Derivatives(1, 1, 4e-4, 1), Derivatives(3, 1, -6e-4, 1)]
    sync = Screener(QUICK)
    sync.feed("A", good[0])
    with pytest.raises(RadarError):
        sync.feed("A", forged(2, float("nan"), 1.0, 1.0))
    sync.feed("A", good[1])

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
        with pytest.raises(RadarError):
            await screener.aclose()  # nobody asked: closing raises it
        assert screener.closed

    run(closing())


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda s: s.feed("A", {"kind": "derivatives"}), TypeError, "event must be a Derivatives"),
        (lambda s: s.feed(1, Derivatives(1, 1, 1, 1)), TypeError, "symbol must be a str"),
        (lambda s: s.feed_batch("A", [Derivatives(1, 1, 1, 1), None]), TypeError, "events[1]"),
        (lambda s: s.scan({"A": [7]}), TypeError, "events['A'][0]"),
        (lambda s: s.scan({"A": [forged(1, float("nan"), 1.0, 1.0)]}), RadarError, "parse: "),
        (lambda s: s.set_spec('{"signals":[]}'), RadarError, "at least one signal is required"),
        (lambda s: s.set_spec(3), TypeError, "a Spec or RadarSpec JSON text"),
    ],
)
def test_misuse_is_refused_and_changes_nothing(call, error, words):
    async def main():
        async with AsyncScreener(QUICK) as screener:
            await screener.feed("A", Derivatives(1, 1, 4e-4, 1))
            before = await screener.alerts()
            with pytest.raises(error) as exc:
                await call(screener)
            assert words in str(exc.value)
            assert await screener.alerts() == before and screener.spec == QUICK

    run(main())


def test_closed_screeners_and_other_loops_are_refused():
    screener = AsyncScreener(QUICK)

    async def use():
        await screener.feed("A", Derivatives(1, 1, 1, 1))
        return await screener.version()

    assert run(use()) == "0.2.0"  # the first loop is closed: a new one may take over
    caught = []

    def other_loop():
        try:
            asyncio.run(use())
        except RuntimeError as exc:
            caught.append(exc)

    async def main():
        await use()  # this loop takes it over
        thread = threading.Thread(target=other_loop)
        thread.start()
        await asyncio.sleep(0.05)
        await asyncio.get_running_loop().run_in_executor(None, thread.join, TIMEOUT)
        await screener.aclose()
        await screener.aclose()  # twice is harmless
        for call in (use, screener.alerts, lambda: screener.scan({})):
            with pytest.raises(RuntimeError, match="this AsyncScreener is closed"):
                await call()

    run(main())
    assert len(caught) == 1 and "belongs to another event loop" in str(caught[0])


# ---------------------------------------------------------------- the loop and the thread


class Logged(Mapping):
    """A mapping that notes when the scan reads each symbol's events."""

    def __init__(self, data, log):
        self.data, self.log = data, log

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)

    def items(self):
        for key, value in self.data.items():
            self.log.append("symbol")
            yield key, value


def test_a_scan_lets_the_loop_run_while_it_encodes(monkeypatch):
    monkeypatch.setattr(_wire, "CHUNK_EVENTS", 64)
    batch = {"S%d" % i: [e for _, e in stream(200)] for i in range(20)}

    async def main():
        log = []

        async def ticker():
            while True:
                log.append("tick")
                await asyncio.sleep(0)

        async with AsyncScreener(QUICK) as screener:
            task = asyncio.ensure_future(ticker())
            report = await screener.scan(Logged(batch, log))
            task.cancel()
        return report, log

    report, log = run(main())
    assert report == Screener(QUICK).scan(batch)
    first, last = log.index("symbol"), len(log) - 1 - log[::-1].index("symbol")
    assert "tick" in log[first:last]


def test_cancelled_scan_and_cancelled_owner_end_cleanly():
    async def main():
        async with AsyncScreener(QUICK) as screener:
            batch = {"S%d" % i: [e for _, e in stream(3000)] for i in range(40)}
            task = asyncio.ensure_future(screener.scan(batch))
            await asyncio.sleep(0)  # the scan has begun encoding
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            await screener.feed("A", Derivatives(1, 1, 4e-4, 1))
            assert (await screener.alerts()).scanned == 1  # the thread went on

        async def owner(started):
            async with AsyncScreener(QUICK) as screener:
                await screener.feed("A", Derivatives(1, 1, 4e-4, 1))
                started.set()
                await asyncio.sleep(TIMEOUT)

        started = asyncio.Event()
        task = asyncio.ensure_future(owner(started))
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())  # the fixture checks that every thread ended


def test_dropped_screeners_end_their_thread():
    async def main():
        screener = AsyncScreener(QUICK)
        await screener.feed("A", Derivatives(1, 1, 4e-4, 1))
        return screener._worker.thread

    thread = run(main())
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


def test_interpreter_exit_ends_unclosed_screeners(tmp_path):
    script = tmp_path / "unclosed.py"
    script.write_text(EXIT)
    proc = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=TIMEOUT
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "0.2.0\n", "")
