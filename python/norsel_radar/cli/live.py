"""``norsel-radar live``: the radar on one exchange's perpetual swaps, through
ccxt, with the ranked table printed every few seconds (redrawn in place on
a terminal) until Ctrl-C or ``--duration``.

Needs ccxt (``pip install "norsel_radar[ccxt]"``) and network access;
``--exchange-factory`` builds the exchange object instead (API keys,
proxies, a sandbox, or recorded data as in the tests).
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import logging
import sys
import time
from datetime import datetime, timezone
from typing import Any, Callable, Dict, List, Optional, TextIO

# The command line's shared pieces (in the cli package: .errors and .table).
from ..types import Report, Spec
from .errors import UserError
from .table import format_table

log = logging.getLogger("norsel_radar.live")

EXTRA = 'norsel-radar live needs ccxt: pip install "norsel_radar[ccxt]"'


def add_parser(sub: Any, formatter: Any) -> None:
    p = sub.add_parser(
        "live",
        help="run the radar on an exchange's perpetual swaps through ccxt",
        description="Polls (or, through ccxt.pro, watches) one exchange's perpetual"
        " swaps for open interest, funding and mark price, order books and"
        " liquidations, and prints the ranked table every few seconds, in place"
        " on a terminal. Ctrl-C stops it. Needs ccxt and network access.",
        formatter_class=formatter,
    )
    p.add_argument("--exchange", default="binanceusdm", metavar="ID", help="ccxt exchange id")
    p.add_argument(
        "--symbols",
        metavar="LIST",
        default=None,
        help="comma-separated ccxt symbols (BTC/USDT:USDT,ETH/USDT:USDT); default: the"
        " exchange's linear perpetual swaps, at most --max-symbols of them",
    )
    p.add_argument(
        "--max-symbols",
        type=int,
        default=20,
        metavar="N",
        help="without --symbols, take this many swaps (the largest 24h volume where the"
        " exchange has tickers)",
    )
    p.add_argument(
        "--spec", metavar="SPEC", default=None, help="spec JSON file (default: the bundled spec)"
    )
    p.add_argument(
        "--interval",
        type=float,
        default=5.0,
        metavar="SECONDS",
        help="seconds between polls of funding, open interest and books",
    )
    p.add_argument(
        "--refresh",
        type=float,
        default=3.0,
        metavar="SECONDS",
        help="seconds between two tables",
    )
    p.add_argument(
        "--snapshot-interval",
        type=float,
        default=1.0,
        metavar="SECONDS",
        help="least market time between two derivatives snapshots of a symbol",
    )
    p.add_argument(
        "--units",
        choices=("contracts", "base", "quote"),
        default="contracts",
        help="unit of open interest, liquidated quantities and book volumes",
    )
    p.add_argument(
        "--depth",
        default="10",
        metavar="LEVELS|BAND%",
        help="book volume over this many levels a side, or a band around the mid such as 0.5%%",
    )
    p.add_argument(
        "--no-watch",
        action="store_true",
        help="poll only, even where ccxt.pro could watch books and liquidations",
    )
    p.add_argument(
        "--duration",
        type=float,
        default=None,
        metavar="SECONDS",
        help="stop after this many seconds (default: run until Ctrl-C)",
    )
    p.add_argument(
        "--exchange-factory",
        metavar="MODULE:FUNCTION",
        default=None,
        help="build the exchange yourself: FUNCTION(exchange_id) returns a ccxt"
        " async_support or pro exchange object (API keys, proxies, a sandbox)",
    )
    p.set_defaults(run=run)


# ---------------------------------------------------------------- the view


def report_dict(report: Report) -> Dict[str, Any]:
    """A typed report in the radar's JSON shape, as the table reads it."""
    return {
        "alerts": [
            {
                "symbol": a.symbol,
                "severity": a.severity,
                "factors": dict(a.factors),
                "ts": a.ts,
            }
            for a in report.alerts
        ],
        "scanned": report.scanned,
    }


class View:
    """The table with a status line: redrawn in place on a terminal, printed
    one after the other elsewhere."""

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.tty = out.isatty()
        self._lines = 0

    def show(self, report: Report, status: str) -> None:
        text = f"{status}\n{format_table(report_dict(report))}"
        if self.tty:
            # Back to the top of the previous table and clear below it.
            up = f"\x1b[{self._lines}F" if self._lines else ""
            self.out.write(up + "\x1b[J" + text)
            self._lines = text.count("\n")
        else:
            self.out.write(text + "\n")
        self.out.flush()


# ---------------------------------------------------------------- running


def _positive(value: float, name: str) -> float:
    if not value > 0.0:
        raise UserError(f"{name} must be greater than zero")
    return value


def _spec(path: Optional[str]) -> Spec:
    if path is None:
        return Spec.default()
    try:
        return Spec.from_file(path)
    except OSError as exc:
        raise UserError(f"{path}: {exc.strerror or exc}") from None
    except ValueError as exc:  # RadarError: the radar's own message
        raise UserError(f"{path}: {exc}") from None


def _factory(text: str) -> Callable[[str], Any]:
    module, sep, name = text.partition(":")
    if not sep or not module or not name:
        raise UserError(f"--exchange-factory {text}: give MODULE:FUNCTION")
    try:
        found = getattr(importlib.import_module(module), name)
    except (ImportError, AttributeError) as exc:
        raise UserError(f"--exchange-factory {text}: {exc}") from None
    if not callable(found):
        raise UserError(f"--exchange-factory {text}: not callable")
    return found  # type: ignore[no-any-return]


def run(args: argparse.Namespace) -> int:
    try:
        from ..adapters import ccxt as adapter
    except ImportError:
        raise UserError(EXTRA) from None
    from ..adapters.depth import BookDepth
    from ..adapters.snapshots import DerivativesRule

    spec = _spec(args.spec)
    try:
        depth = BookDepth.parse(args.depth)
        rule = DerivativesRule(args.snapshot_interval)
        rule.interval_ms()
    except ValueError as exc:
        raise UserError(str(exc)) from None
    _positive(args.interval, "--interval")
    _positive(args.refresh, "--refresh")
    if args.duration is not None:
        _positive(args.duration, "--duration")
    if args.max_symbols < 1:
        raise UserError("--max-symbols must be at least 1")
    if args.exchange_factory is not None:
        make = _factory(args.exchange_factory)
    else:
        try:
            cls = adapter.exchange_class(args.exchange, watch=not args.no_watch)
        except ValueError as exc:
            raise UserError(str(exc)) from None
        make = lambda exchange_id: cls()  # noqa: E731
    if not logging.getLogger().handlers:
        logging.basicConfig(
            level=logging.WARNING, format="norsel-radar: %(levelname)s: %(message)s"
        )
    return asyncio.run(_live(args, spec, depth, rule, make, adapter))


async def _symbols(exchange: Any, args: argparse.Namespace) -> List[str]:
    markets = exchange.markets
    if args.symbols:
        wanted = [s.strip() for s in args.symbols.split(",") if s.strip()]
        missing = [s for s in wanted if s not in markets]
        if missing:
            raise UserError(f"{exchange.id} has no market {', '.join(missing)}")
        return wanted
    swaps = sorted(
        s
        for s, m in markets.items()
        if m.get("swap") and m.get("linear") and m.get("active") is not False
    )
    if not swaps:
        raise UserError(f"{exchange.id} lists no linear perpetual swaps; give --symbols")
    if len(swaps) <= args.max_symbols:
        return swaps
    volume: Dict[str, float] = {}
    if exchange.has.get("fetchTickers"):
        try:
            tickers = await exchange.fetch_tickers(swaps)
            volume = {s: float(t.get("quoteVolume") or 0.0) for s, t in tickers.items()}
        except Exception as exc:  # the ranking is a nicety
            log.warning("fetch_tickers failed (%s); taking swaps by name", exc)
    swaps.sort(key=lambda s: -volume.get(s, 0.0))
    return swaps[: args.max_symbols]


async def _live(
    args: argparse.Namespace,
    spec: Spec,
    depth: Any,
    rule: Any,
    make: Callable[[str], Any],
    adapter: Any,
) -> int:
    from ..aio import AsyncScreener

    exchange = make(args.exchange)
    try:
        try:
            await exchange.load_markets()
        except Exception as exc:
            raise UserError(
                f"{args.exchange}: cannot load markets: {type(exc).__name__}: {exc}"
            ) from None
        symbols = await _symbols(exchange, args)
        async with AsyncScreener(spec) as screener:
            streamer = adapter.CcxtStreamer(
                exchange,
                symbols,
                screener,
                interval=args.interval,
                units=args.units,
                depth=depth,
                derivatives=rule,
                watch=not args.no_watch,
                report_interval=None,
            )
            view = View(sys.stdout)
            started = time.monotonic()
            task = asyncio.ensure_future(streamer.run())
            try:
                while not task.done():
                    elapsed = time.monotonic() - started
                    wait = args.refresh
                    if args.duration is not None:
                        wait = min(wait, args.duration - elapsed)
                        if wait <= 0:
                            break
                    await asyncio.wait({task}, timeout=wait)
                    if not task.done():
                        view.show(await streamer.refresh(), _status(exchange, symbols, streamer))
            finally:
                task.cancel()
                await asyncio.gather(task, return_exceptions=True)
            failure = None if task.cancelled() else task.exception()
            if failure is not None:
                raise failure
            view.show(streamer.report, _status(exchange, symbols, streamer, final=True))
    finally:
        await exchange.close()
    return 0


def _status(exchange: Any, symbols: List[str], streamer: Any, final: bool = False) -> str:
    stats = streamer.stats
    now = datetime.now(timezone.utc).strftime("%H:%M:%S UTC")
    skipped = sum(stats.skipped.values())
    text = (
        f"{exchange.id}: {len(symbols)} symbols, {stats.events:,} events"
        f"{f', {skipped:,} skipped' if skipped else ''}, at {now}"
    )
    return text + (" (final)" if final else "")
