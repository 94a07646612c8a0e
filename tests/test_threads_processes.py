"""Radars under threads, forks and memory exhaustion. Whatever could hang runs
under a timeout: a hang is the fault guarded against."""

import os
import random
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import FUNDING, command, deriv, dumps, liq, make_spec, new_radar, sig

TIMEOUT = 120
SPEC = make_spec(FUNDING, sig("oi_delta", 3, 0.05), sig("liq_cluster", 2, 5), threshold=0.05)


def events(rnd, n):
    return [
        deriv(t, oi=rnd.uniform(90, 110), fr=rnd.choice([-6e-4, 4e-4, 1e-5]))
        if rnd.random() < 0.7
        else liq(t, rnd.randrange(1, 9))
        for t in range(n)
    ]


def scan_text(rnd, symbols):
    return dumps(
        {
            "cmd": "scan",
            "events": {"S%05d" % i: events(rnd, rnd.randrange(6)) for i in range(symbols)},
        }
    )


def transcript(seed, start=None):
    """Every reply of one radar to a seeded run of feeds, scans and alerts."""
    if start:
        start.wait()
    rnd, radar = random.Random(seed), new_radar(SPEC)
    return [
        command(radar, text)
        for _ in range(15)
        for text in (
            dumps(
                {"cmd": "feed_batch", "symbol": "S%d" % rnd.randrange(9), "events": events(rnd, 8)}
            ),
            scan_text(rnd, 300),
            '{"cmd":"alerts"}',
        )
    ]


def test_threads_interleaving_their_radars_answer_as_one_thread_alone():
    # All radars share the process's worker pool, which scans from any thread.
    reference = [transcript(seed) for seed in range(8)]
    assert any('"alerts":[{' in reply for reply in reference[0])
    start, pool, previous = (
        threading.Barrier(8, timeout=TIMEOUT),
        ThreadPoolExecutor(8),
        sys.getswitchinterval(),
    )
    sys.setswitchinterval(1e-5)  # interleave the threads as much as possible
    try:
        futures = [pool.submit(transcript, seed, start) for seed in range(8)]
        assert [future.result(TIMEOUT) for future in futures] == reference
    finally:
        sys.setswitchinterval(previous)
        pool.shutdown(wait=False)


def run_script(tmp_path, text):
    """Runs text as a script; a hang ends in subprocess.TimeoutExpired."""
    (tmp_path / "child.py").write_text(text)
    return subprocess.run(
        [sys.executable, "child.py"], capture_output=True, text=True, timeout=TIMEOUT, cwd=tmp_path
    )


FORKS = r"""
import os
from concurrent.futures import ThreadPoolExecutor
from norsel_radar import Radar

SPEC, REQUEST = %r, %r

def agree(expected, inherited, depth):
    # In a forked child, a new radar and the inherited one, if any, answer as
    # the parent did, and so do the child's own children down to depth.
    pid = os.fork()
    if pid == 0:
        try:
            same = all(radar.command(REQUEST) == expected for radar in (Radar(SPEC), inherited) if radar)
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
"""


def test_forked_children_scan_like_their_parent(tmp_path):
    done = run_script(tmp_path, FORKS % (dumps(SPEC), scan_text(random.Random(7), 3000)))
    assert (done.returncode, done.stdout) == (0, "children agree\n"), done.stderr[-3000:]


OOM = r"""
import resource
from norsel_radar import Radar

SPEC, AFTER, WARM, (HEAD, ITEM, TAIL) = %r, %r, %r, %r
radar = Radar(SPEC)
if WARM:
    radar.command(AFTER[1])  # a small scan creates the worker pool before the limit
huge = HEAD + ",".join(ITEM %% i for i in range(5_000_000)) + TAIL
usage = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (usage + (256 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    radar.command(huge)
except MemoryError:
    print("MemoryError")
for text in AFTER:
    print(radar.command(text))
"""
HUGE = {
    "scan": ('{"cmd":"scan","events":{', '"s%07d":[]', "}}"),
    "feed_batch": ('{"cmd":"feed_batch","symbol":"S","events":[', '["derivatives",%d,1,0,1]', "]}"),
}


# A huge scan runs out on the workers when the pool exists, or while making it
# under the limit; after a feed_batch that ran out, the small scan makes the pool.
@pytest.mark.skipif(
    bool(os.environ.get("NORSEL_SANITIZED")), reason="ASan cannot run under RLIMIT_AS"
)
@pytest.mark.parametrize(
    "huge, warm",
    [("scan", True), ("scan", False), ("feed_batch", False)],
    ids=["scan-pool-before-limit", "scan-pool-under-limit", "feed_batch"],
)
def test_memory_exhaustion_raises_memory_error_and_radar_recovers(tmp_path, huge, warm):
    after = [
        '{"cmd":"version"}',
        scan_text(random.Random(3), 40),
        dumps({"cmd": "feed_batch", "symbol": "A", "events": events(random.Random(4), 30)}),
        '{"cmd":"alerts"}',
    ]
    reference = new_radar(SPEC)
    expected = ["MemoryError"] + [command(reference, text) for text in after]
    assert '"scanned":40' in expected[2] and '"symbol":"A"' in expected[4]
    done = run_script(tmp_path, OOM % (dumps(SPEC), after, warm, HUGE[huge]))
    assert (done.returncode, done.stdout.splitlines()) == (0, expected), done.stderr[-3000:]
