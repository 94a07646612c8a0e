"""Radars under threads, forks and memory exhaustion. Whatever could hang runs
under a timeout: a hang is the fault guarded against."""

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


# Changes a thread may not make to a radar of another thread. The owner check
# comes before the text is even read, so which command it is cannot matter.
FOREIGN = [{"cmd": "reset"}, {"cmd": "feed", "symbol": "NEW", "event": deriv(99)}]


def test_threads_run_their_own_radars_alike_and_cannot_touch_anothers():
    shared = new_radar(SPEC)
    command(shared, dumps({"cmd": "feed_batch", "symbol": "A", "events": events(random.Random(1), 20)}))
    command(shared, scan_text(random.Random(2), 50))  # its worker pool exists
    before = alerts(shared).raw
    reference = [transcript(seed) for seed in range(8)]
    assert '"symbol":"A"' in before and any('"alerts":[{' in reply for reply in reference[0])
    results, refusals, start = {}, set(), threading.Barrier(8, timeout=TIMEOUT)

    def worker(seed):
        start.wait()
        for request in FOREIGN:
            try:
                refusals.add(shared.command(dumps(request)))  # a reply is the fault
            except BaseException as exc:  # noqa: BLE001 - and so is an Exception
                refusals.add(type(exc))
        results[seed] = transcript(seed)  # after those panics the thread drives a radar of its own

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # interleave the threads as much as possible
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(TIMEOUT)
    finally:
        sys.setswitchinterval(previous)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    assert [results.get(seed) for seed in range(8)] == reference
    assert [getattr(r, "__bases__", r) for r in refusals] == [(BaseException,)]  # one kind of panic
    assert alerts(shared).raw == before


# ---------------------------------------------------------------- processes

def run_script(tmp_path, text):
    """Runs text as a script; a hang ends in subprocess.TimeoutExpired."""
    (tmp_path / "child.py").write_text(text)
    return subprocess.run([sys.executable, "child.py"], capture_output=True, text=True, timeout=TIMEOUT, cwd=tmp_path)


FORKS = r'''
import os
from concurrent.futures import ThreadPoolExecutor
from norsel_radar import Radar

SPEC, REQUEST = %r, %r


def agree(expected, inherited, depth):
    """In a forked child, a new radar and the inherited one, if any, answer as
    the parent did, and so do the child's own children down to depth."""
    pid = os.fork()
    if pid == 0:
        try:
            radars = [Radar(SPEC)] + [inherited] * (inherited is not None)
            same = all(radar.command(REQUEST) == expected for radar in radars)
            os._exit(0 if same and (depth == 0 or agree(expected, inherited, depth - 1)) else 3)
        finally:
            os._exit(4)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


radar = Radar(SPEC)
expected = radar.command(REQUEST)  # the parent's worker pool exists from here on
for _ in range(10):
    radar.command(REQUEST)
    assert agree(expected, radar, 2)
    with ThreadPoolExecutor(1) as pool:  # forked from a thread that does not own the radar:
        assert pool.submit(agree, expected, None, 2).result()  # that child has no owner thread
print("children agree")
'''


def test_forked_children_scan_like_their_parent(tmp_path):
    done = run_script(tmp_path, FORKS % (dumps(SPEC), scan_text(random.Random(7), 3000)))
    assert (done.returncode, done.stdout) == (0, "children agree\n"), done.stderr[-3000:]


OOM = r'''
import resource
from norsel_radar import Radar

SPEC, AFTER, WARM = %r, %r, %r
radar = Radar(SPEC)
if WARM:
    radar.command(AFTER[1])  # a small scan creates the worker pool before the limit
huge = %s
usage = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (usage + (256 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    radar.command(huge)
except MemoryError:
    print("MemoryError")
for text in AFTER:
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
    after = ['{"cmd":"version"}', scan_text(random.Random(3), 40),
             dumps({"cmd": "feed_batch", "symbol": "A", "events": events(random.Random(4), 30)}), '{"cmd":"alerts"}']
    reference = new_radar(SPEC)
    expected = ["MemoryError"] + [command(reference, text) for text in after]
    assert '"scanned":40' in expected[2] and '"symbol":"A"' in expected[4]
    done = run_script(tmp_path, OOM % (dumps(SPEC), after, warm, HUGE[huge]))
    assert (done.returncode, done.stdout.splitlines()) == (0, expected), done.stderr[-3000:]
