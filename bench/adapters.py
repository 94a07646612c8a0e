#!/usr/bin/env python3
"""The cryptofeed adapter's cost per event: from a cryptofeed object handed
to its callback to the event applied by the radar (batches flushed, the
radar's feed_batch included; cryptofeed's own parsing is not: the objects
are made beforehand, as cryptofeed's handlers would make them).

    python bench/adapters.py                 # full run (about a minute)
    python bench/adapters.py --quick
    python bench/adapters.py --save bench/results.md
    python bench/adapters.py --wait-idle 600    # on a shared, busy machine

Streams of N objects over 50 symbols, timestamps rising 1 ms apart:
  mixed       40% book updates, 25% open interest, 25% funding, 10% liquidations
  oi          open interest only: each makes a Derivatives event (interval 0)
  funding     funding only: kept values, no event
  liquidation liquidations only: each a Liquidation event
  book        L2 book updates only: kept by reference, the newest of each
              symbol summarised (best 10 levels of 200) at each flush
  baseline    the same mixed stream to a callback that does nothing: what
              awaiting a callback per object costs anyway

Every case runs in one event loop, interleaved with the others; each run
ends with the adapter's refresh (flush and report) and checks the number of
events applied.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import random
import sys
import time
from decimal import Decimal

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import results_file  # noqa: E402
import run  # noqa: E402
from cryptofeed.types import Funding, Liquidation, OpenInterest, OrderBook  # noqa: E402
from norsel_radar import AsyncScreener, Screener, Spec  # noqa: E402
from norsel_radar.adapters import BookDepth, DerivativesRule  # noqa: E402
from norsel_radar.adapters.cryptofeed import CryptofeedAdapter  # noqa: E402

say = run.say
SYMBOLS = [f"S{i:02d}-USDT-PERP" for i in range(50)]
T0 = 1717200000.0
TARGET_US = 2.0


def make_book(rng, symbol, mid, levels=200):
    bids = {
        Decimal(f"{mid - 0.1 * (i + 1):.1f}"): Decimal(f"{rng.uniform(0.1, 9):.3f}")
        for i in range(levels)
    }
    asks = {
        Decimal(f"{mid + 0.1 * (i + 1):.1f}"): Decimal(f"{rng.uniform(0.1, 9):.3f}")
        for i in range(levels)
    }
    book = OrderBook("BINANCE_FUTURES", symbol, bids=bids, asks=asks)
    book.timestamp = T0
    return book


def stream(n, mix, seed=15):
    """[(kind, object)] of n cryptofeed objects; mix: kind -> share."""
    rng = random.Random(seed)
    books = {s: make_book(rng, s, 1000.0 + 10 * i) for i, s in enumerate(SYMBOLS)}
    kinds = [k for k, share in mix.items() for _ in range(int(share * 100))]
    out = []
    for i in range(n):
        symbol = SYMBOLS[i % len(SYMBOLS)]
        ts = T0 + i / 1000.0
        kind = kinds[rng.randrange(len(kinds))]
        if kind == "oi":
            obj = OpenInterest(
                "BINANCE_FUTURES", symbol, Decimal(f"{rng.uniform(1e5, 2e5):.3f}"), ts
            )
        elif kind == "funding":
            obj = Funding(
                "BINANCE_FUTURES",
                symbol,
                Decimal(f"{rng.uniform(990, 1010):.4f}"),
                Decimal("0.00010000"),
                T0 + 28800,
                ts,
            )
        elif kind == "liquidation":
            obj = Liquidation(
                "BINANCE_FUTURES",
                symbol,
                "sell",
                Decimal(f"{rng.uniform(0.1, 5):.3f}"),
                Decimal(f"{rng.uniform(990, 1010):.2f}"),
                None,
                "filled",
                ts,
            )
        else:
            obj = books[symbol]
        out.append((kind, obj))
    return out


def expected_events(items):
    """Events the adapter applies: every open interest once the symbol's
    funding is known (interval 0), every liquidation, one book per symbol and
    flush (counted by the run itself)."""
    funded, count = set(), 0
    for kind, obj in items:
        if kind == "funding":
            funded.add(obj.symbol)
        elif kind == "oi" and obj.symbol in funded:
            count += 1
        elif kind == "liquidation":
            count += 1
    return count


def case(loop, name, items, spec, use_async=False, null=False):
    expected = expected_events(items)

    async def nothing(obj, receipt):
        return None

    async def go():
        if null:
            for _kind, obj in items:
                await nothing(obj, 0.0)
            return None
        screener = AsyncScreener(spec) if use_async else Screener(spec)
        adapter = CryptofeedAdapter(screener, derivatives=DerivativesRule(0), report_interval=None)
        calls = {
            "oi": adapter.open_interest,
            "funding": adapter.funding,
            "liquidation": adapter.liquidation,
            "book": adapter.book,
        }
        for kind, obj in items:
            await calls[kind](obj, 0.0)
        await adapter.refresh()
        stats = adapter.stats
        if use_async:
            await screener.aclose()
        return stats

    def run_once():
        return loop.run_until_complete(go())

    def check(stats):
        # events applied: the expected ones plus one book per symbol and flush
        return stats is None or (stats.events >= expected and not stats.skipped)

    return run.Case(name, run_once, check)


def book_summary_case(name, depth):
    rng = random.Random(1)
    adapter = CryptofeedAdapter(Screener(Spec.default()), depth=depth)
    sides = make_book(rng, "X", 1000.0, levels=1000).book
    summary = adapter._levels if depth.band is None else adapter._band
    return run.Case(name, lambda: summary(sides, 1), lambda e: e is not None and e.bid_volume > 0)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--quick", action="store_true", help="smaller streams, fewer rounds")
    ap.add_argument(
        "--save", metavar="PATH", help="write the machine, load and table into its section"
    )
    ap.add_argument("--wait-idle", type=float, default=0, metavar="SECONDS")
    args = ap.parse_args(argv)
    if args.wait_idle:
        run.wait_idle(args.wait_idle)
    n = 20_000 if args.quick else 100_000
    rounds = 5 if args.quick else 15
    started = time.perf_counter()
    others = run.OtherLoad()
    info = run.machine()
    say(
        f"norsel_radar cryptofeed adapter benchmark ({'quick' if args.quick else 'full'} run, wall clock)"
    )
    for k, v in info:
        say(f"  {k}: {v}")
    say()
    spec = Spec.default()
    loop = asyncio.new_event_loop()
    mixed = stream(n, {"book": 0.40, "oi": 0.25, "funding": 0.25, "liquidation": 0.10})
    streams = {
        "mixed": mixed,
        "oi": stream(n, {"funding": 0.01, "oi": 0.99}),
        "funding": stream(n, {"funding": 1.0}),
        "liquidation": stream(n, {"liquidation": 1.0}),
        "book": stream(n, {"book": 1.0}),
    }
    cases = [case(loop, name, items, spec) for name, items in streams.items()]
    cases.append(case(loop, "mixed, AsyncScreener", mixed, spec, use_async=True))
    cases.append(case(loop, "baseline", mixed, spec, null=True))
    summaries = [
        book_summary_case("summary, 10 levels of 1000", BookDepth.top(10)),
        book_summary_case("summary, 0.5% band of 1000 levels", BookDepth.within(0.005)),
    ]
    times = run.interleave(cases + summaries, rounds)
    base = run.med(times["baseline"]) / n
    say(f"{n:,} objects per stream, {rounds} rounds, medians per object:")
    rows = []
    for c in cases:
        per = run.med(c.times) / n
        over = per - base if c.name != "baseline" else per
        say(
            f"  {c.name:24s} {run.fmt_t(per):>10s}  {run.spread(c.times)}  over baseline {run.fmt_t(over)}"
        )
        rows.append((c.name, per, over))
    for c in summaries:
        say(f"  {c.name:24s} {run.fmt_t(run.med(c.times)):>10s}  {run.spread(c.times)} per summary")
    loop.close()
    elapsed = time.perf_counter() - started
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    busy = others.describe()
    say()
    mixed_per = rows[0][1]
    table = [
        "| Stream | Per object (median) | Over the no-op callback | Target | Holds |",
        "|---|---|---|---|---|",
    ]
    for name, per, over in rows:
        target = f"<= {TARGET_US:g} µs" if name.startswith("mixed") else ""
        holds = ("yes" if per <= TARGET_US * 1e-6 else "**no**") if target else ""
        shown = "" if name == "baseline" else run.fmt_t(over)
        table.append(f"| {name} | {run.fmt_t(per)} | {shown} | {target} | {holds} |")
    for c in summaries:
        table.append(f"| {c.name} (one book) | {run.fmt_t(run.med(c.times))} |  |  |  |")
    say("\n".join(table))
    say()
    say(
        f"mixed / baseline {mixed_per / base:.1f}x; total {elapsed:.0f} s; other processes kept {busy}"
        f" busy on average; load average at the end: {load}"
    )
    if args.save:
        body = [
            *results_file.run_header(
                f"python bench/adapters.py{' --quick' if args.quick else ''}",
                elapsed,
                info,
                load,
                busy,
            ),
            "## Results",
            "",
            "Per cryptofeed object, from its callback to the event applied by the radar "
            "(Screener; the AsyncScreener row is the event loop's share), medians over "
            "interleaved rounds in one process, wall clock. Objects made beforehand: "
            "cryptofeed's parsing is not counted. Book updates are kept by reference and only "
            "the newest of a symbol is summarised at a flush, so a book update costs a dict "
            "store and the summary rows say what one summary costs.",
            "",
            *table,
            "",
            f"mixed / baseline {mixed_per / base:.1f}x.",
        ]
        results_file.write_section(
            args.save, "# Exchange adapters (bench/adapters.py)", "\n".join(body)
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
