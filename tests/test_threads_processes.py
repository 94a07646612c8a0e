"""Radars under threads, forks, other start methods and memory exhaustion.
Whatever could hang runs under a timeout: a hang is the fault guarded against."""

import os
import random
import subprocess
import sys
import threading

import pytest

from conftest import FUNDING, alerts, command, deriv, dumps, liq, make_spec, new_radar, sig

TIMEOUT = 120
SPEC = make_spec(FUNDING, sig("oi_delta", 3, 0.05), sig("liq_cluster", 2, 5), threshold=0.05)


def events(rnd, n):
    return [deriv(t, oi=rnd.uniform(90, 110), fr=rnd.choice([-6e-4, 4e-4, 1e-5]))
            if rnd.random() < 0.7 else liq(t, rnd.randrange(1, 9)) for t in range(n)]


def scan_text(rnd, symbols):
    return dumps({"cmd": "scan", "events": {"S%05d" % i: events(rnd, rnd.randrange(6)) for i in range(symbols)}})


def transcript(seed, rounds=15):
    """Every reply of one radar to a seeded run of feeds, scans and alerts."""
    rnd, radar, replies = random.Random(seed), new_radar(SPEC), []
    for _ in range(rounds):
        batch = {"cmd": "feed_batch", "symbol": "S%d" % rnd.randrange(9), "events": events(rnd, 8)}
        replies += [command(radar, dumps(batch)), command(radar, scan_text(rnd, 300)), alerts(radar).raw]
    return replies


def run_threads(targets):
    threads = [threading.Thread(target=t) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"


def test_radars_of_many_threads_match_a_single_threaded_run():
    reference = [transcript(seed) for seed in range(8)]
    assert any('"alerts":[{' in reply for reply in reference[0])
    results, start = {}, threading.Barrier(8, timeout=TIMEOUT)

    def worker(seed):
        start.wait()
        results[seed] = transcript(seed)

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # interleave the threads as much as possible
    try:
        run_threads([lambda s=s: worker(s) for s in range(8)])
    finally:
        sys.setswitchinterval(previous)
    assert [results.get(seed) for seed in range(8)] == reference


@pytest.mark.parametrize("request_obj", [
    {"cmd": "feed", "symbol": "NEW", "event": deriv(99)},
    {"cmd": "feed_batch", "symbol": "A", "events": [deriv(99, fr=0.5)]},
    {"cmd": "reset"},
    {"cmd": "set_spec", "spec": make_spec(sig("book_imbalance", 1))},
    {"cmd": "scan", "events": {"A": []}},
], ids=lambda r: r["cmd"])
def test_foreign_thread_panic_leaves_the_radar_untouched(request_obj):
    radar = new_radar(SPEC)
    command(radar, dumps({"cmd": "feed_batch", "symbol": "A", "events": events(random.Random(1), 20)}))
    command(radar, scan_text(random.Random(2), 50))  # the worker pool exists
    before, caught = alerts(radar).raw, []

    def worker():
        for _ in range(2):
            try:
                radar.command(dumps(request_obj))
            except Exception as exc:  # noqa: BLE001 - must not be reached
                caught.append(("Exception", type(exc)))
            except BaseException as exc:  # noqa: BLE001
                caught.append(("BaseException", type(exc)))
        # the panic leaves the thread able to drive a radar of its own
        caught.append(command(new_radar(SPEC), '{"cmd":"scan","events":{"X":[]}}'))

    run_threads([worker])
    assert caught[0][0] == "BaseException" and caught[0] == caught[1]
    assert caught[2] == command(new_radar(SPEC), '{"cmd":"scan","events":{"X":[]}}')
    assert alerts(radar).raw == before


# ---------------------------------------------------------------- processes

def run_script(tmp_path, text, *args):
    (tmp_path / "child.py").write_text(text)
    try:
        return subprocess.run([sys.executable, "child.py", *args], capture_output=True, text=True,
                              timeout=TIMEOUT, cwd=str(tmp_path))
    except subprocess.TimeoutExpired:
        pytest.fail("the process hung")


CHILD = r'''
import multiprocessing, os, sys, threading
from norsel_radar import Radar

SPEC, REQUEST, RADAR = %r, %r, None


def status(expected, depth=0):
    """0 when a new radar (and under fork the inherited one) answers as the parent did."""
    try:
        ok = all(r.command(REQUEST) == expected for r in [Radar(SPEC)] + [RADAR] * (RADAR is not None))
        if ok and depth:
            pid = os.fork()
            if pid == 0:
                os._exit(status(expected, depth - 1))
            ok = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        return 0 if ok else 3
    except BaseException:
        return 4


def mp_child(expected):
    sys.exit(status(expected))


def main(method):
    global RADAR
    RADAR = Radar(SPEC)
    expected = RADAR.command(REQUEST)  # the parent's worker pool exists from here on
    if method in ("os.fork", "thread-fork"):
        def fork():
            global RADAR
            pid = os.fork()
            if pid == 0:
                RADAR = RADAR if method == "os.fork" else None  # no owner thread in this child
                os._exit(status(expected, depth=2))
            pids.append(pid)

        for _ in range(10):
            RADAR.command(REQUEST)
            pids = []
            if method == "thread-fork":
                thread = threading.Thread(target=fork)
                thread.start()
                thread.join()
            else:
                fork()
            assert os.waitstatus_to_exitcode(os.waitpid(pids[0], 0)[1]) == 0
    else:
        children = [multiprocessing.get_context(method).Process(target=mp_child, args=(expected,))
                    for _ in range(3)]
        for child in children:
            child.start()
        for child in children:
            child.join(60)
            assert child.exitcode == 0, child.exitcode
    print("children agree")


if __name__ == "__main__":
    main(sys.argv[1])
'''


@pytest.mark.parametrize("method", ["fork", "os.fork", "thread-fork", "spawn", "forkserver"])
def test_children_scan_like_their_parent(tmp_path, method):
    done = run_script(tmp_path, CHILD % (dumps(SPEC), scan_text(random.Random(7), 3000)), method)
    assert (done.returncode, done.stdout) == (0, "children agree\n"), done.stderr[-3000:]


OOM = r'''
import resource, sys
from norsel_radar import Radar

SPEC, SMALL, FEED, WARM = %r, %r, %r, %r
radar = Radar(SPEC)
if WARM:
    radar.command(SMALL)  # creates the worker pool before the limit
huge = %s
usage = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (usage + (256 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    radar.command(huge)
except MemoryError:
    print("MemoryError")
for text in ['{"cmd":"version"}', SMALL, FEED, '{"cmd":"alerts"}']:
    print(radar.command(text))
'''

HUGE = {
    "scan": """'{"cmd":"scan","events":{' + ",".join('"s%07d":[]' % i for i in range(5_000_000)) + '}}'""",
    "feed_batch": """'{"cmd":"feed_batch","symbol":"S","events":[' + ",".join(['["derivatives",1,1,0,1]'] * 5_000_000) + ']}'""",
}


@pytest.mark.skipif(bool(os.environ.get("NORSEL_SANITIZED")), reason="ASan cannot run under RLIMIT_AS")
@pytest.mark.parametrize("warm", [True, False], ids=["pool-before-limit", "pool-under-limit"])
@pytest.mark.parametrize("huge", sorted(HUGE))
def test_memory_exhaustion_raises_memory_error_and_radar_recovers(tmp_path, huge, warm):
    small = scan_text(random.Random(3), 40)
    feed = dumps({"cmd": "feed_batch", "symbol": "A", "events": events(random.Random(4), 30)})
    reference = new_radar(SPEC)
    expected = ["MemoryError", '{"version":"0.2.0"}', command(reference, small), command(reference, feed),
                alerts(reference).raw]
    assert '"scanned":40' in expected[2] and '"symbol":"A"' in expected[4]
    done = run_script(tmp_path, OOM % (dumps(SPEC), small, feed, warm, HUGE[huge]))
    assert (done.returncode, done.stdout.splitlines()) == (0, expected), done.stderr[-3000:]
