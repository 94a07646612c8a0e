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
at_limit = pytest.mark.skipif(
    bool(os.environ.get("NORSEL_SANITIZED")), reason="ASan cannot run under RLIMIT_AS"
)
SPEC = make_spec(FUNDING, sig("oi_delta", 3, 0.05), sig("liq_cluster", 2, 5), threshold=0.05)


def events(rnd, n):
    def one(t):
        if rnd.random() < 0.7:
            return deriv(t, oi=rnd.uniform(90, 110), fr=rnd.choice([-6e-4, 4e-4, 1e-5]))
        return liq(t, rnd.randrange(1, 9))

    return [one(t) for t in range(n)]


def scan_text(rnd, symbols):
    lists = {"S%05d" % i: events(rnd, rnd.randrange(6)) for i in range(symbols)}
    return dumps({"cmd": "scan", "events": lists})


def transcript(seed, start=None):
    """Every reply of one radar to a seeded run of feeds, scans and alerts."""
    if start:
        start.wait()
    rnd, radar, replies = random.Random(seed), new_radar(SPEC), []
    for _ in range(15):
        symbol = "S%d" % rnd.randrange(9)
        feed = dumps({"cmd": "feed_batch", "symbol": symbol, "events": events(rnd, 8)})
        for text in (feed, scan_text(rnd, 300), '{"cmd":"alerts"}'):
            replies.append(command(radar, text))
    return replies


def test_threads_interleaving_their_radars_answer_as_one_thread_alone():
    # All radars share the process's worker pool, which scans from any thread.
    reference = [transcript(seed) for seed in range(8)]
    assert any('"alerts":[{' in reply for reply in reference[0])
    start, pool = threading.Barrier(8, timeout=TIMEOUT), ThreadPoolExecutor(8)
    previous = sys.getswitchinterval()
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
@at_limit
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


# At the address-space limit most small allocations still find room, so
# failures fall anywhere inside a command: between the three series of one
# derivatives event, or part-way through a batch.
FEEDS_AT_LIMIT = r"""
import resource
from norsel_radar import Radar

SPEC, SYMBOLS = %r, %d
BOOK = '{"cmd":"feed","symbol":"S%%06d","event":["orderbook",1,1,2,1,2]}'
FEED = '{"cmd":"feed","symbol":"S%%06d","event":["derivatives",2,5,0.1,3]}'
BATCH = ('{"cmd":"feed_batch","symbol":"S%%06d","events":[["liquidation",3,"buy",1,1],'
         '["liquidation",4,"sell",2,1],["liquidation",5,"buy",4,1]' +
         ''.join(',["derivatives",%%d,%%d,-0.1,%%d]' %% (6 + i, 9 - i, 3 + i) for i in range(10)) + ']}')
radar = Radar(SPEC)
for i in range(SYMBOLS):
    radar.command(BOOK %% i)
requests = [(FEED if i %% 3 else BATCH) %% i for i in range(SYMBOLS)]
applied = bytearray(SYMBOLS)  # made beforehand: marking a success must not allocate
errors = 0
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
usage = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (usage, hard))
for i in range(SYMBOLS):
    try:
        radar.command(requests[i])
        applied[i] = 1
    except MemoryError:
        errors += 1
        if errors == 40:
            break
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
twin = Radar(SPEC)
for i in range(SYMBOLS):
    twin.command(BOOK %% i)
for text, ok in zip(requests, applied):
    if ok:
        twin.command(text)
print(errors > 0, radar.command('{"cmd":"alerts"}') == twin.command('{"cmd":"alerts"}'))
"""

# The first scan starts the worker pool; at the limit its workers may not
# start at all, or start and fail their first steps.
FIRST_SCAN_AT_LIMIT = r"""
import os, resource, signal, threading
from norsel_radar import Radar

SPEC, REQUEST, EXPECTED, SLACK = %r, %r, %r, %d
threading.Thread(target=lambda: None).start()  # leaves a cached stack for a worker
radar = Radar(SPEC)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
usage = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (usage + SLACK, hard))
try:
    answer = radar.command(REQUEST)
except MemoryError:
    answer = EXPECTED
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert answer == EXPECTED, answer[:200]
assert not signal.pthread_sigmask(signal.SIG_BLOCK, []), "signals left blocked"
assert radar.command(REQUEST) == EXPECTED
# Workers that could not start are tried again: the main thread and one per processor.
print(len(os.listdir("/proc/self/task")) - 1 == len(os.sched_getaffinity(0)))
"""


@at_limit
def test_feeds_that_run_out_of_memory_change_nothing(tmp_path):
    # oi_price_divergence reads the mark price beside each open interest: a
    # derivatives event half applied made it read an empty series.
    spec = make_spec(sig("oi_price_divergence", 0.5, 0.1), sig("liq_cluster", 3, 5), threshold=-1)
    done = run_script(tmp_path, FEEDS_AT_LIMIT % (dumps(spec), 200_000))
    assert (done.returncode, done.stdout) == (0, "True True\n"), done.stderr[-3000:]


# Slack from none to a whole thread stack: workers cannot start, or start and fail their first steps.
@at_limit
@pytest.mark.parametrize("slack", [0, 64 << 10, 8 << 20])
def test_first_scan_at_the_memory_limit_neither_kills_nor_degrades(tmp_path, slack):
    request = scan_text(random.Random(5), 50)
    expected = command(new_radar(SPEC), request)
    done = run_script(tmp_path, FIRST_SCAN_AT_LIMIT % (dumps(SPEC), request, expected, slack))
    assert (done.returncode, done.stdout) == (0, "True\n"), done.stderr[-3000:]


def test_large_non_ascii_requests_leave_no_utf8_copy_on_the_callers_str():
    # The interpreter caches a non-ASCII str's UTF-8 form for the str's life:
    # for a large request that would double what the caller holds.
    radar = new_radar(SPEC)
    request = scan_text(random.Random(6), 2000).replace('"S', '"\u00e9')
    assert len(request) > 100_000 and not request.isascii()
    size = sys.getsizeof(request)
    assert '"scanned":2000' in command(radar, request)
    assert sys.getsizeof(request) == size


# Large commands run without the interpreter lock. A daemon thread that
# finishes one while the interpreter finalizes is ended as it takes the lock
# back (by a forced unwind), which must not abort the process. The garbage
# collection at finalization runs the cycle's finalizer, which holds the
# lock released for long enough.
DAEMON_AT_EXIT = r"""
import threading, time
from norsel_radar import Radar

SPEC, REQUEST = %r, %r
started = threading.Event()

def scan_forever():
    radar = Radar(SPEC)
    while True:
        started.set()
        radar.command(REQUEST)

class SlowToFinalize:
    def __init__(self):
        self.sleep, self.cycle = time.sleep, self

    def __del__(self):
        self.sleep(0.3)

threading.Thread(target=scan_forever, daemon=True).start()
started.wait()
SlowToFinalize()  # garbage only a collection finds
print("main exits")
"""


def test_a_daemon_thread_scanning_at_exit_does_not_abort(tmp_path):
    request = scan_text(random.Random(8), 20_000)
    assert len(request) > 1 << 20
    done = run_script(tmp_path, DAEMON_AT_EXIT % (dumps(SPEC), request))
    assert (done.returncode, done.stdout) == (0, "main exits\n"), done.stderr[-3000:]
