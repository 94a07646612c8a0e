"""Soak run: a million mixed commands on one radar, printing resident memory.

Feeds, batches, scans, alerts, resets, spec changes, version requests and
garbage (malformed JSON, wrong types, deep nesting, huge numbers, invalid
escapes) are drawn at random from a fixed corpus of request texts, so the
Python side allocates nothing new while the radar runs. The symbol universe
is bounded, so a healthy radar's resident memory plateaus after warm-up; a
steady climb is a leak.

    python bench/soak.py                    # 1,000,000 commands
    python bench/soak.py --commands 200000  # shorter
"""

import argparse
import json
import os
import random
import resource
import sys
import time

from norsel_radar import Radar

SPEC = {
    "signals": [
        {"kind": "funding_flip", "params": [0.001]},
        {"kind": "oi_delta", "params": [20, 0.05]},
        {"kind": "book_imbalance", "params": [0.5]},
        {"kind": "liq_cluster", "params": [5, 10]},
        {"kind": "oi_price_divergence", "params": [10, 0.1], "weight": 2},
    ],
    "threshold": 0.1,
    "limit": 50,
}
OTHER_SPEC = {"signals": [{"kind": "oi_delta", "params": [5, 0.01]}], "threshold": -1}
SYMBOLS = ["SYM%03d" % i for i in range(300)] + ["é中😀", "a\u0000b", "tab\there"]


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def event(rnd, ts):
    kind = rnd.random()
    if kind < 0.5:
        return {
            "kind": "derivatives",
            "ts": ts,
            "open_interest": rnd.uniform(1e3, 1e5),
            "funding_rate": rnd.uniform(-1e-3, 1e-3),
            "mark_price": rnd.uniform(10, 5e4),
        }
    if kind < 0.8:
        return {
            "kind": "orderbook",
            "ts": ts,
            "bid_volume": rnd.uniform(0, 500),
            "ask_volume": rnd.uniform(0, 500),
            "best_bid": 1.0,
            "best_ask": 2.0,
        }
    return {
        "kind": "liquidation",
        "ts": ts,
        "side": rnd.choice(["buy", "sell"]),
        "qty": rnd.uniform(0, 20),
        "price": 100.0,
    }


def garbage(rnd):
    pick = rnd.randrange(12)
    return [
        lambda: "",
        lambda: "{" * rnd.randrange(1, 400),
        lambda: "[" * 1000 + "]" * 1000,
        lambda: '{"cmd":"feed","symbol":"S","event":{"kind":"derivatives","ts":1e400}}',
        lambda: '{"cmd":"feed","symbol":"\\ud800","event":{}}',
        lambda: '{"cmd":"scan","events":[]}',
        lambda: '{"cmd":"nope%d"}' % rnd.randrange(10**6),
        lambda: '{"cmd":"feed_batch","symbol":"S","events":[{"kind":"orderbook","ts":1}]}',
        lambda: json.dumps({"cmd": "set_spec", "spec": {"signals": []}}),
        lambda: '{"cmd":"feed","symbol":7}',
        lambda: "".join(chr(rnd.randrange(32, 127)) for _ in range(rnd.randrange(1, 200))),
        lambda: '{"cmd":"version"} trailing',
    ][pick]()


def corpus(rnd, size):
    """A fixed list of request texts in the command mix."""
    texts = []
    ts = 0
    for _ in range(size):
        ts += 1
        pick = rnd.random()
        if pick < 0.35:
            req = {"cmd": "feed", "symbol": rnd.choice(SYMBOLS), "event": event(rnd, ts)}
        elif pick < 0.5:
            req = {
                "cmd": "feed_batch",
                "symbol": rnd.choice(SYMBOLS),
                "events": [event(rnd, ts + i) for i in range(rnd.randrange(0, 60))],
            }
        elif pick < 0.6:
            chosen = rnd.sample(SYMBOLS, rnd.randrange(0, 80))
            req = {
                "cmd": "scan",
                "events": {
                    s: [event(rnd, ts + i) for i in range(rnd.randrange(0, 30))] for s in chosen
                },
            }
        elif pick < 0.68:
            req = {"cmd": "alerts"}
        elif pick < 0.7:
            req = {"cmd": "reset"}
        elif pick < 0.72:
            req = {"cmd": "set_spec", "spec": rnd.choice([SPEC, OTHER_SPEC])}
        elif pick < 0.75:
            req = {"cmd": "version"}
        else:
            texts.append(garbage(rnd))
            continue
        texts.append(json.dumps(req, ensure_ascii=rnd.random() < 0.5))
    return texts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--commands", type=int, default=1_000_000, help="commands to run")
    parser.add_argument("--reports", type=int, default=20, help="memory reports over the run")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    rnd = random.Random(args.seed)
    texts = corpus(rnd, 5_000)
    order = [rnd.randrange(len(texts)) for _ in range(min(args.commands, 100_000))]
    radar = Radar(json.dumps(SPEC))
    every = max(1, args.commands // args.reports)
    errors = 0
    start = time.perf_counter()
    print("corpus of %d texts built; rss %.1f MiB" % (len(texts), rss_mib()), flush=True)
    print("%10s %9s %9s %8s" % ("commands", "rss_mib", "errors", "seconds"))
    for n in range(1, args.commands + 1):
        reply = radar.command(texts[order[n % len(order)]])
        if reply.startswith('{"error"'):
            errors += 1
        if n % every == 0 or n == args.commands:
            print(
                "%10d %9.1f %9d %8.1f" % (n, rss_mib(), errors, time.perf_counter() - start),
                flush=True,
            )
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print("peak rss (getrusage) %.1f MiB" % peak)
    return 0


if __name__ == "__main__":
    sys.exit(main())
