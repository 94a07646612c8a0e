"""Long commands and the interpreter lock: other threads keep running while a
radar works through a large request, and nothing about the answers, the
owner check or the request text's lifetime changes.

Progress is judged by order, not by speed: a helper thread notes the time as
it spins, and some of its notes must fall in the middle half of the command.
While the lock is held for a whole command there can be none there (a
command of tens of milliseconds leaves the five-millisecond switch interval
well outside that half)."""

import asyncio
import json
import sys
import threading
import time

import pytest
from conftest import make_spec, sig
from norsel_radar import Radar

SIGNALS = [sig("oi_delta", 3, 0.05), sig("funding_flip", 0.001), sig("liq_cluster", 2, 5)]
SPEC = json.dumps(make_spec(*SIGNALS, threshold=0.1))
EVENT = (
    '{"kind":"derivatives","ts":%d,"open_interest":%d.5,"funding_rate":%s,"mark_price":50000.25},'
    '{"kind":"liquidation","ts":%d,"side":"sell","qty":%d,"price":50000}'
)


def event_list(n, seed):
    fr = ["-0.0006", "0.0004", "0.0004"]
    pairs = (EVENT % (t, 100 + (t * seed) % 9, fr[(t + seed) % 3], t, t % 4) for t in range(n // 2))
    return "[" + ",".join(pairs) + "]"


def scan_parts(symbols=400, per_symbol=1000):
    """A scan request of about 40 MB, in two parts to be joined at the call."""
    lists = [event_list(per_symbol, seed) for seed in range(7)]
    body = ",".join('"S%04d":%s' % (i, lists[i % 7]) for i in range(symbols))
    return '{"cmd":"scan","events":{', body + "}}"


def batch_parts(events=200_000):
    return '{"cmd":"feed_batch","symbol":"BIG","events":', event_list(events, 1) + "}"


class Spinner:
    """A plain Python thread noting the time every few iterations."""

    def __enter__(self):
        self.stamps, self.stop, started = [], threading.Event(), threading.Event()
        # Short turns between threads holding the lock keep its hand-overs at
        # the command's ends far from the middle half.
        self.interval = sys.getswitchinterval()
        sys.setswitchinterval(0.0002)

        def spin():
            started.set()
            n = 0
            while not self.stop.is_set():
                n += 1
                if n % 32 == 0:
                    self.stamps.append(time.perf_counter())

        self.thread = threading.Thread(target=spin)
        self.thread.start()
        started.wait()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(60)
        sys.setswitchinterval(self.interval)

    def within(self, t0, t1):
        quarter = (t1 - t0) / 4
        return sum(t0 + quarter < s < t1 - quarter for s in self.stamps)


def timed(call, *args):
    t0 = time.perf_counter()
    out = call(*args)
    return out, t0, time.perf_counter()


@pytest.fixture(scope="module")
def scan_request():
    head, body = scan_parts()
    return head, body, Radar(SPEC).command(head + body)


@pytest.mark.parametrize("kind", ["scan", "feed_batch"])
def test_a_thread_runs_during_a_large_command(scan_request, kind):
    head, body, expected = scan_request if kind == "scan" else (*batch_parts(), '{"ok":true}')
    radar, reference = Radar(SPEC), Radar(SPEC)
    if kind == "feed_batch":
        assert reference.command(head + body) == expected
    with Spinner() as spinner:
        out, t0, t1 = timed(radar.command, head + body)  # the joined text lives only in the call
    assert out == expected
    assert radar.command('{"cmd":"alerts"}') == reference.command('{"cmd":"alerts"}')
    assert spinner.within(t0, t1) > 0


def test_an_event_loop_ticks_while_its_radar_thread_scans(scan_request):
    head, body, expected = scan_request

    async def main():
        ticks = []

        async def ticker():
            while True:
                ticks.append(time.perf_counter())
                await asyncio.sleep(0.001)

        task = asyncio.ensure_future(ticker())
        await asyncio.sleep(0.01)
        radar_thread = asyncio.get_running_loop().run_in_executor(
            None, lambda: timed(lambda: Radar(SPEC).command(head + body))
        )
        out, t0, t1 = await radar_thread
        task.cancel()
        quarter = (t1 - t0) / 4
        return out, sum(t0 + quarter < t < t1 - quarter for t in ticks)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0002)
    try:
        out, ticks = asyncio.run(main())
    finally:
        sys.setswitchinterval(interval)
    assert out == expected and ticks > 0


def test_large_commands_answer_the_same_while_other_threads_work(scan_request):
    head, body, expected = scan_request
    small = json.dumps({"cmd": "feed", "symbol": "X", "event": json.loads(event_list(2, 3))[0]})

    def transcript(stop):
        radar, replies = Radar(SPEC), []
        while not stop.is_set() or len(replies) < 200:
            replies.append(radar.command(small))
            replies.append(radar.command('{"cmd":"alerts"}')[:40])
            _ = [bytearray(1 << 16) for _ in range(4)]  # memory comes and goes meanwhile
        return replies

    stop, results = threading.Event(), []
    other = threading.Thread(target=lambda: results.append(transcript(stop)))
    other.start()
    try:
        outs = [Radar(SPEC).command(head + body) for _ in range(2)]
    finally:
        stop.set()
        other.join(60)
    assert outs == [expected, expected]
    (replies,) = results
    assert replies[0::2] == ['{"ok":true}'] * (len(replies) // 2)


def test_the_owner_check_holds_during_a_large_command(scan_request):
    head, body, expected = scan_request
    radar = Radar(SPEC)
    refused, other_errors, stop = [], [], threading.Event()

    def intrude():
        while not stop.is_set() or not refused:
            try:
                radar.command('{"cmd":"alerts"}')
                other_errors.append("answered on a foreign thread")
            except Exception as exc:
                other_errors.append(exc)
            except BaseException as exc:  # the radar's panic exception
                refused.append(type(exc).__name__)

    thread = threading.Thread(target=intrude)
    thread.start()
    try:
        out = radar.command(head + body)
    finally:
        stop.set()
        thread.join(60)
    assert out == expected and not other_errors and set(refused) == {"PanicException"}
    assert radar.command('{"cmd":"version"}') == '{"version":"0.2.0"}'
