#!/usr/bin/env python3
"""Benchmarks of the typed Python interface (Screener, AsyncScreener) against
the raw protocol, in one process, interleaved, every answer checked.

    python bench/python_api.py                 # full run (a few minutes)
    python bench/python_api.py --quick         # smaller sizes, fewer rounds
    python bench/python_api.py --save bench/results.md
    python bench/python_api.py --only T1,A2
    python bench/python_api.py --wait-idle 600    # on a shared, busy machine

Workloads:
  T1 feed        Screener.feed of a ready event value; the raw command; the road of a
                 new user (dict, json.dumps, command, json.loads, check)
  T2 feed_batch  1000-event batches, typed against raw
  T3 alerts      10,000 stored symbols: Screener.alerts() against the raw command on
                 its own radar (the decoding's cost), reporting the top 10 or every symbol
  T4 scan        200 x 500 events: decoding the report against the raw command
  A1 feeds/s     AsyncScreener, one producer awaiting every feed
  A2 loop        an event loop's 1 ms ticker while ~100 MB are scanned: by a radar on a
                 thread of its own (one raw command) and by AsyncScreener.scan
  A3 thread      a plain Python thread's loop rate during the same scans, against alone

A2 and A3 measure what the interpreter lock allows: while the extension holds
it for a whole command, no other thread runs Python during that command. Their
"stand-in" rows replace the typed scan's commands by sleeps of the same
measured durations, which release the lock: AsyncScreener's own share once
the extension releases it too.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import itertools
import json
import os
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import orjson  # noqa: E402
import results_file  # noqa: E402
import run  # noqa: E402
from norsel_radar import (  # noqa: E402
    AsyncScreener,
    Derivatives,
    Liquidation,
    OrderBook,
    Radar,
    Screener,
    Spec,
    _wire,
    sample,
)
from run import Case, Table, equals, fmt_t, interleave, med, say  # noqa: E402

SPEC = Spec.default()
TYPES = {"derivatives": Derivatives, "orderbook": OrderBook, "liquidation": Liquidation}
FIELDS = {
    "derivatives": ("ts", "open_interest", "funding_rate", "mark_price"),
    "orderbook": ("ts", "bid_volume", "ask_volume", "best_bid", "best_ask"),
    "liquidation": ("ts", "side", "qty", "price"),
}


def fields(event: dict) -> tuple:
    return tuple(event[f] for f in FIELDS[event["kind"]])


def typed(event: dict):
    return TYPES[event["kind"]](*fields(event))


def typed_batch(events: dict) -> dict:
    return {s: [typed(e) for e in evs] for s, evs in events.items()}


class WrongAnswer(AssertionError):
    pass


def same(what: str, a, b) -> None:
    if a != b:
        raise WrongAnswer(f"{what}: answers differ")


# ---------------------------------------------------------------- T1 feed


def t1_feed(table: Table, quick: bool) -> None:
    n = 6000 if quick else 20000
    rounds = 7 if quick else 15
    pairs = list(sample.iter_events(200, n // 200, seed=7))
    events = [(s, typed(e)) for s, e in pairs]
    makers = [(s, TYPES[e["kind"]], fields(e)) for s, e in pairs]
    texts = [run.dumps({"cmd": "feed", "symbol": s, "event": e}) for s, e in pairs]
    screener, maker, raw, road = (
        Screener(SPEC),
        Screener(SPEC),
        Radar(SPEC.to_json()),
        Radar(SPEC.to_json()),
    )

    def typed_feed():
        feed = screener.feed
        for s, e in events:
            feed(s, e)
        return True

    def made_feed():
        feed = maker.feed
        for s, kind, f in makers:
            feed(s, kind(*f))
        return True

    def dict_road():
        command = road.command
        for s, e in pairs:
            reply = json.loads(command(json.dumps({"cmd": "feed", "symbol": s, "event": e})))
            if reply.get("ok") is not True:
                raise WrongAnswer(reply)
        return True

    cases = [
        Case("screener", typed_feed, bool),
        Case("raw", lambda: list(map(raw.command, texts)), run.all_ok),
        Case("dict road", dict_road, bool),
        Case("make+feed", made_feed, bool),
    ]
    say(f"T1 feed: {n} events, {rounds} rounds")
    interleave(cases, rounds)
    t = {c.name: med(c.times) / n for c in cases}
    # All four were fed the same sequence the same number of times at least
    # eight times over, so their windows hold the same values.
    expected = json.loads(raw.command('{"cmd":"alerts"}'))
    for other in (screener, maker):
        alerts = other.alerts()
        same(
            "T1",
            [(a.symbol, a.severity, a.ts) for a in alerts.alerts],
            [(a["symbol"], a["severity"], a["ts"]) for a in expected["alerts"]],
        )
    for c in cases:
        say(f"  {c.name:10s} {fmt_t(med(c.times) / n):>10s} per event  {run.spread(c.times)}")
    say(
        f"  screener/raw {t['screener'] / t['raw']:.2f}x; dict road/screener "
        f"{t['dict road'] / t['screener']:.1f}x"
    )
    table.add(
        "T1 Screener.feed of an event value",
        f"{fmt_t(t['screener'])} per event (raw command {fmt_t(t['raw'])}, dict road "
        f"{fmt_t(t['dict road'])}; making the event too {fmt_t(t['make+feed'])})",
        f"{fmt_t(t['screener'])}",
        "<= 1.0 µs",
        t["screener"] <= 1e-6,
    )


# ---------------------------------------------------------------- T2 feed_batch


def t2_feed_batch(table: Table, quick: bool) -> None:
    batches = 10 if quick else 30
    rounds = 7 if quick else 15
    events = sample.generate_events(batches, 1000, seed=8)
    typed_events = typed_batch(events)
    texts = [
        run.dumps({"cmd": "feed_batch", "symbol": s, "events": ev}) for s, ev in events.items()
    ]
    screener, raw = Screener(SPEC), Radar(SPEC.to_json())

    def typed_feed():
        for s, evs in typed_events.items():
            screener.feed_batch(s, evs)
        return True

    cases = [
        Case("screener", typed_feed, bool),
        Case("raw", lambda: list(map(raw.command, texts)), run.all_ok),
    ]
    say(f"T2 feed_batch: {batches} batches of 1000 events, {rounds} rounds")
    interleave(cases, rounds)
    n = batches * 1000
    t = {c.name: med(c.times) / n for c in cases}
    same(
        "T2",
        run.dumps(json.loads(raw.command('{"cmd":"alerts"}'))["scanned"]),
        str(screener.alerts().scanned),
    )
    for c in cases:
        say(f"  {c.name:10s} {fmt_t(med(c.times) / n):>10s} per event  {run.spread(c.times)}")
    table.add(
        "T2 Screener.feed_batch, 1000 events",
        f"{fmt_t(t['screener'])} per event (raw command {fmt_t(t['raw'])})",
        f"{fmt_t(t['screener'])} ({t['screener'] / t['raw']:.2f}x raw)",
        "<= 0.35 µs",
        t["screener"] <= 0.35e-6,
    )


# ---------------------------------------------------------------- T3 alerts


def t3_alerts(table: Table, quick: bool) -> None:
    symbols = 10_000
    distinct = 300 if quick else 1000
    rounds = 7 if quick else 15
    top = Spec(SPEC.signals, threshold=0, limit=10)
    every = Spec(SPEC.signals, threshold=-1)
    names = sample.symbol_names(symbols)
    streams = [run._filled_stream(n, i, 21) for i, n in enumerate(names[:distinct])]
    batches = [[typed(e) for e in stream] for stream in streams]
    for label, spec in (("the top 10", top), ("every symbol reported", every)):
        screener = Screener(spec)
        for i, name in enumerate(names):
            screener.feed_batch(name, batches[i % distinct])
        # The raw command on the screener's own radar: the difference is the decoding.
        raw = screener._radar
        text = raw.command('{"cmd":"alerts"}')
        expected = screener.alerts()
        parsed = json.loads(text)
        same(
            "T3",
            (parsed["scanned"], len(parsed["alerts"])),
            (expected.scanned, len(expected.alerts)),
        )
        cases = [
            Case("raw", lambda r=raw: r.command('{"cmd":"alerts"}'), equals(text)),
            Case("screener", screener.alerts, equals(expected)),
            Case("orjson", lambda t=text: orjson.loads(t), equals(parsed)),  # the reading alone
        ]
        say(
            f"T3 alerts, {symbols} symbols, {label}: {len(expected.alerts)} alerts, {rounds} rounds"
        )
        interleave(cases, rounds)
        t_raw, t_typed, t_read = (med(c.times) for c in cases)
        for c in cases:
            say(f"  {c.name:10s} {fmt_t(med(c.times)):>10s}  {run.spread(c.times)}")
        added = t_typed / t_raw - 1
        table.add(
            f"T3 Screener.alerts(), 10,000 symbols, {label}",
            f"raw command {fmt_t(t_raw)}, typed {fmt_t(t_typed)} ({len(expected.alerts)} alerts; "
            f"orjson.loads of the report alone {fmt_t(t_read)} = {t_read / t_raw:.0%} of raw)",
            f"decoding adds {added:.0%}",
            "<= 25%",
            added <= 0.25,
        )


# ---------------------------------------------------------------- T4 scan


def t4_scan(table: Table, data: run.Data, quick: bool) -> None:
    rounds = 7 if quick else 15
    events = data.events(200, 500)
    batch = typed_batch(events)
    text = run.scan_request(events)
    raw, screener = Radar(SPEC.to_json()), Screener(SPEC)
    reply = raw.command(text)
    expected = screener.scan(batch)
    labels = SPEC.labels
    sorted_labels = list(labels) == sorted(labels)

    def decode():
        alerts, scanned = _wire.decode_report(reply, labels, sorted_labels)
        return _wire.merge([(alerts, scanned)], SPEC.limit, labels)

    same("T4", decode(), expected)
    cases = [
        Case("raw", lambda: raw.command(text), equals(reply)),
        Case("decode", decode, equals(expected)),
        Case("screener", lambda: screener.scan(batch), equals(expected)),
    ]
    say(f"T4 scan 200 x 500 ({len(text) / 1e6:.1f} MB as objects), {rounds} rounds")
    interleave(cases, rounds)
    t = {c.name: med(c.times) for c in cases}
    for c in cases:
        say(f"  {c.name:10s} {fmt_t(med(c.times)):>10s}  {run.spread(c.times)}")
    say(f"  whole typed scan (encoding included) / raw command: {t['screener'] / t['raw']:.2f}x")
    table.add(
        "T4 Screener.scan, 200 x 500 events",
        f"raw command {fmt_t(t['raw'])}, report decoding {fmt_t(t['decode'])}; whole typed scan "
        f"{fmt_t(t['screener'])} ({t['screener'] / t['raw']:.2f}x, encoding the events included)",
        f"decoding adds {t['decode'] / t['raw']:.1%}",
        "<= 25%",
        t["decode"] / t["raw"] <= 0.25,
    )


# ---------------------------------------------------------------- A1 feeds per second


def a1_feeds(table: Table, quick: bool) -> None:
    per_symbol = 250 if quick else 1500
    pairs = [(s, typed(e)) for s, e in sample.iter_events(200, per_symbol, seed=7)]
    reference = Screener(SPEC)
    for s, e in pairs:
        reference.feed(s, e)
    expected = reference.alerts()

    async def once():
        async with AsyncScreener(SPEC) as screener:
            t0 = time.perf_counter()
            for s, e in pairs:
                await screener.feed(s, e)
            await screener.flush()
            elapsed = time.perf_counter() - t0
            same("A1", await screener.alerts(), expected)
            return elapsed, screener._worker.commands

    rates = []
    for _ in range(3 if quick else 5):
        elapsed, commands = asyncio.run(once())
        rates.append(len(pairs) / elapsed)
    rate = med(rates)
    say(
        f"A1 AsyncScreener: {len(pairs)} feeds awaited one by one: {rate / 1e3:.0f}k feeds/s "
        f"(rounds {', '.join(f'{r / 1e3:.0f}k' for r in rates)}); last round sent {commands} commands"
    )
    table.add(
        "A1 AsyncScreener feeds per second",
        f"{len(pairs)} feeds of 200 symbols, one producer; {commands} feed_batch commands",
        f"{rate / 1e3:.0f}k/s",
        ">= 300k/s",
        rate >= 300e3,
    )


# ---------------------------------------------------------------- A2, A3 during a large scan


def ticker_delays(window):
    """The wake-up delays of a 1 ms asyncio.sleep ticker whose sleeps overlap
    the window that `window()` (an awaitable giving (t0, t1)) reports."""

    async def main():
        stamps = []
        stop = False

        async def tick():
            while not stop:
                t = time.perf_counter()
                await asyncio.sleep(0.001)
                stamps.append((t, time.perf_counter() - t - 0.001))

        task = asyncio.ensure_future(tick())
        await asyncio.sleep(0.05)
        t0, t1 = await window()
        await asyncio.sleep(0.01)
        stop = True
        await task
        return [d for t, d in stamps if t + 0.001 + d >= t0 and t <= t1], t1 - t0

    return asyncio.run(main())


def spin_rate(during):
    """A plain Python thread's loop rate while `during()` runs, against its
    rate alone just before and after."""
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        rates = []
        for what in ("alone", "during", "alone"):
            n0, t0 = count[0], time.perf_counter()
            if what == "alone":
                time.sleep(0.3)
            else:
                during()
            rates.append((count[0] - n0) / (time.perf_counter() - t0))
    finally:
        stop.set()
        thread.join()
    alone = (rates[0] + rates[2]) / 2
    return rates[1] / alone, alone


def a2_a3_during_scan(table: Table, data: run.Data, quick: bool, only: set) -> None:
    shape = (200, 500) if quick else (1000, 1000)
    rounds = 2 if quick else 3
    events = data.events(*shape)
    text = run.scan_request(events)
    mb = len(text) / 1e6
    batch = typed_batch(events)
    expected = Screener(SPEC).scan(batch)
    radar_thread = ThreadPoolExecutor(1, thread_name_prefix="radar")
    box = [radar_thread.submit(Radar, SPEC.to_json()).result()]  # lives on that thread
    reply = radar_thread.submit(box[0].command, text).result()

    def raw_on_thread():
        t0 = time.perf_counter()
        out = box[0].command(text)
        t1 = time.perf_counter()
        same("A2 raw", out, reply)
        return t0, t1

    async def raw_window():
        return await asyncio.get_running_loop().run_in_executor(radar_thread, raw_on_thread)

    screeners = {}
    stand_in = StandIn(batch)

    async def typed_window():
        screener = screeners.get("s")
        if screener is None:
            screener = screeners["s"] = AsyncScreener(SPEC)
        t0 = time.perf_counter()
        out = await screener.scan(batch)
        t1 = time.perf_counter()
        if not stand_in.active:
            same("A2 typed", out, expected)
        return t0, t1

    async def idle_window():
        t0 = time.perf_counter()
        await asyncio.sleep(0.3)
        return t0, time.perf_counter()

    label = f"{shape[0]} x {shape[1]} events, {mb:.0f} MB as objects"
    if "A2" in only:
        say(
            f"A2 ticker (1 ms asyncio.sleep), worst wake-up delay over {rounds} rounds; scan {label}"
        )
        worst = {}
        for name, window in (
            ("idle", idle_window),
            ("raw", raw_window),
            ("typed", typed_window),
            ("stand-in", typed_window),
        ):
            delays, spans = [], []
            for _ in range(rounds):
                with stand_in.used(name == "stand-in"):
                    d, span = ticker_delays(window)
                delays += d
                spans.append(span)
            worst[name] = max(delays) if delays else float("nan")
            say(
                f"  {name:6s} worst {fmt_t(worst[name]):>10s}, median {fmt_t(statistics.median(delays)) if delays else '-'}, "
                f"{len(delays)} ticks over windows of {fmt_t(med(spans))}"
            )
        for name, what in (
            ("raw", "one raw scan command on the radar's own thread"),
            ("typed", "AsyncScreener.scan"),
            ("stand-in", STAND_IN),
        ):
            table.add(
                f"A2 event loop during a {mb:.0f} MB scan: {what}",
                f"worst 1 ms ticker wake-up delay {fmt_t(worst[name])} (idle loop: {fmt_t(worst['idle'])})",
                fmt_t(worst[name]),
                "<= 5 ms",
                worst[name] <= 5e-3,
            )
    if "A3" in only:
        say(
            f"A3 plain thread's loop rate during the scan, against alone; {rounds} rounds; scan {label}"
        )
        results = {}
        radar = Radar(SPEC.to_json())
        for name, during in (
            ("raw", lambda: same("A3 raw", radar.command(text), reply)),
            ("typed", lambda: same("A3 typed", asyncio.run(_typed_scan(batch)), expected)),
            ("stand-in", lambda: asyncio.run(_typed_scan(batch))),
        ):
            with stand_in.used(name == "stand-in"):
                shares = [spin_rate(during) for _ in range(rounds)]
            results[name] = med([s for s, _ in shares])
            say(
                f"  {name:6s} {results[name]:.0%} of its rate alone (rounds "
                f"{', '.join(f'{s:.0%}' for s, _ in shares)}; alone {shares[0][1] / 1e6:.1f} M loops/s)"
            )
        for name, what in (
            ("raw", "one raw scan command"),
            ("typed", "AsyncScreener.scan"),
            ("stand-in", STAND_IN),
        ):
            table.add(
                f"A3 plain thread during a {mb:.0f} MB scan: {what}",
                f"loop rate during the scan against alone (median of {rounds})",
                f"{results[name]:.0%}",
                ">= 50%",
                results[name] >= 0.5,
            )
    for screener in screeners.values():
        asyncio.run(screener.aclose())
    radar_thread.submit(box.clear).result()  # dropped on its own thread
    radar_thread.shutdown()


STAND_IN = "AsyncScreener.scan, its commands standing in as sleeps (the lock released)"


class StandIn:
    """The radar's scan commands replaced by sleeps of their measured
    durations: what AsyncScreener.scan itself leaves the loop and other
    threads once the extension releases the lock during long commands (its
    answers are empty, so they are not checked)."""

    def __init__(self, batch):
        probe = Screener(SPEC)
        self.durations = []
        for piece in _wire.scan_pieces(batch, _wire.PIECE_EVENTS, _wire.CHUNK_EVENTS):
            if piece is not None:
                t0 = time.perf_counter()
                probe._scan_piece(piece)
                self.durations.append(time.perf_counter() - t0)
        self.active = False

    @contextlib.contextmanager
    def used(self, active):
        if not active:
            yield
            return
        real, durations = Screener._scan_piece, itertools.cycle(self.durations)

        def sleep_instead(screener, piece):
            time.sleep(next(durations))
            return [], 0

        Screener._scan_piece = sleep_instead
        self.active = True
        try:
            yield
        finally:
            Screener._scan_piece = real
            self.active = False


async def _typed_scan(batch):
    async with AsyncScreener(SPEC) as screener:
        return await screener.scan(batch)


# ---------------------------------------------------------------- main

WORKLOADS = ["T1", "T2", "T3", "T4", "A1", "A2", "A3"]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--quick", action="store_true", help="smaller sizes and fewer rounds")
    ap.add_argument("--only", help="comma-separated workloads, e.g. T1,A2")
    ap.add_argument(
        "--save", metavar="PATH", help="write the machine, load and table into its section"
    )
    ap.add_argument(
        "--wait-idle",
        type=float,
        default=0,
        metavar="SECONDS",
        help="first wait up to this long for the machine to be mostly idle",
    )
    args = ap.parse_args(argv)
    wanted = set(WORKLOADS if not args.only else args.only.upper().split(","))
    if args.wait_idle:
        run.wait_idle(args.wait_idle)
    started = time.perf_counter()
    others = run.OtherLoad()
    info = run.machine()
    say(
        f"norsel_radar Python interface benchmarks ({'quick' if args.quick else 'full'} run, wall clock)"
    )
    for k, v in info:
        say(f"  {k}: {v}")
    say()
    table, data = Table(), run.Data()
    steps = [
        ("T1", lambda: t1_feed(table, args.quick)),
        ("T2", lambda: t2_feed_batch(table, args.quick)),
        ("T3", lambda: t3_alerts(table, args.quick)),
        ("T4", lambda: t4_scan(table, data, args.quick)),
        ("A1", lambda: a1_feeds(table, args.quick)),
    ]
    for name, step in steps:
        if name in wanted:
            step()
            say()
    if wanted & {"A2", "A3"}:
        a2_a3_during_scan(table, data, args.quick, wanted)
        say()
    elapsed = time.perf_counter() - started
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    busy = others.describe()
    say(table.markdown())
    say()
    say(
        f"Total {elapsed:.0f} s; other processes kept {busy} busy on average; load average at the end: {load}"
    )
    if args.save:
        body = [
            *results_file.run_header(
                f"python bench/python_api.py{' --quick' if args.quick else ''}",
                elapsed,
                info,
                load,
                busy,
            ),
            "## Results",
            "",
            "Medians over interleaved rounds in one process, wall clock; every answer checked "
            "against the raw protocol's or a Screener's. A2 and A3 rely on the extension "
            "releasing the interpreter lock during commands of 64 KiB or more.",
            "",
            table.markdown(),
            "",
            "## Output of the run",
            "",
            "```",
            *run.LOG,
            "```",
        ]
        results_file.write_section(
            args.save, "# Python interface (bench/python_api.py)", "\n".join(body)
        )
        say(f"Saved {args.save}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
