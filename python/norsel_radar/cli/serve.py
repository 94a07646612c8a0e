"""``norsel-radar serve``: the radar in a browser tab. A local web server runs
a radar fed by a replay (the bundled sample by default) or a live exchange,
and serves one page that follows it (see `norsel_radar.web`)."""

from __future__ import annotations

import argparse
import logging
import secrets
import sys
from typing import Any, Optional

from . import output, replay, specs
from .errors import PROG, UserError, display, os_message
from .live import _factory as exchange_factory

DEFAULT_PORT = 8750


class _Line(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        text = f"{PROG}: {record.levelname.lower()}: {record.getMessage()}"
        if record.exc_info and record.exc_info[1] is not None:
            text += f" ({record.exc_info[1]})"
        return text


def _logging() -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_Line())
    logger = logging.getLogger("norsel_radar")
    logger.addHandler(handler)
    logger.setLevel(logging.WARNING)
    logger.propagate = False


def _speed(text: str) -> float:
    return 0.0 if text.strip().lower() == "max" else replay.parse_speed(text)


def _history(text: str) -> int:
    if not text.isdigit() or not 2 <= int(text) <= 1000:
        raise argparse.ArgumentTypeError(f"--history {text}: give a number from 2 to 1000")
    return int(text)


def token_for(host: str, token: Optional[str]) -> Optional[str]:
    """The token the server will check: the one given, else a new one when
    ``host`` is not a loopback address, else none."""
    from ..web.app import is_loopback

    if token is None and not is_loopback(host):
        return secrets.token_urlsafe(24)
    return token


def run(args: argparse.Namespace) -> int:
    try:
        import starlette  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError:
        raise UserError(
            "serve needs starlette and uvicorn: pip install starlette uvicorn"
        ) from None
    from ..types import Spec
    from ..web import server
    from ..web.app import TOKEN_PATTERN
    from ..web.board import Board

    if args.replay is not None and args.live is not None:
        raise UserError("give --replay or --live, not both")
    if args.live is None and (args.symbols or args.exchange_factory):
        raise UserError("--symbols and --exchange-factory go with --live")
    if args.spec == "-" and args.replay == "-":
        raise UserError("the spec and the events cannot both be read from stdin")
    if args.token is not None and not TOKEN_PATTERN.fullmatch(args.token):
        raise UserError("--token: give 16 to 256 letters, digits or ._~-")
    spec = specs.load(args.spec)
    spec.report(args.strict, sys.stderr)
    every = replay.Every(args.every)
    _logging()

    source: Any
    if args.live is not None:
        if not args.symbols:
            raise UserError("--live needs --symbols (ccxt symbols such as BTC/USDT:USDT)")
        from ..web.live import LiveSource

        source = LiveSource(
            args.live,
            args.symbols,
            Spec.from_json(spec.text),
            every=every,
            interval=args.interval,
            factory=exchange_factory(args.exchange_factory) if args.exchange_factory else None,
        )
    else:
        from ..web.sources import ReplaySource

        loop = args.loop if args.loop is not None else args.replay is None
        source = ReplaySource(
            args.replay,
            spec,
            every=every,
            speed=_speed(args.speed),
            loop=loop,
            input_format=args.input_format,
        )

    token = token_for(args.host, args.token)
    try:
        sock = server.bind(args.host, args.port)
    except OSError as exc:
        raise UserError(
            f"cannot listen on {args.host} port {args.port}: {os_message(exc)}"
        ) from None
    url = server.url_of(sock, args.host, token)
    where = specs.DEFAULT_NAME if args.spec is None else display(args.spec)
    board = Board(
        Spec.from_json(spec.text), source.description, spec_from=where, history=args.history
    )

    def started() -> None:
        output.write(f"{PROG} serve: {source.description}\nopen {url}  (Ctrl-C stops)\n")
        output.flush()

    with sock:
        server.serve(sock, source, board, token=token, on_start=started)
    return 0


def add_parser(sub: Any, formatter: Any) -> None:
    p = sub.add_parser(
        "serve",
        help="serve a live dashboard of the radar to a browser",
        description="Runs a radar fed by a replay of a file (the bundled sample by"
        " default) or by a live exchange, and serves a page that follows it: the"
        " ranked alerts with their recent history, the alerts raised and cleared,"
        " the spec and the feed. Listens on 127.0.0.1 unless --host says otherwise;"
        " elsewhere every request needs a token.",
        formatter_class=formatter,
    )
    feed = p.add_argument_group("feed")
    feed.add_argument(
        "--replay",
        metavar="EVENTS",
        default=None,
        help="replay this events file (as replay reads it; - reads stdin); default:"
        " the bundled sample, looped",
    )
    feed.add_argument(
        "--speed",
        metavar="FACTOR",
        default="1x",
        help="pace the replay FACTOR times faster than market time (10x); max: as fast as possible",
    )
    feed.add_argument(
        "--every",
        metavar="N|SPAN",
        default="1s",
        help="a checkpoint of the severity history every span of market time (5s, 1m)"
        " or every N events; live: every span of wall time",
    )
    feed.add_argument(
        "--loop",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="start the replay over when it ends, with a fresh radar (default: only"
        " for the bundled sample)",
    )
    feed.add_argument(
        "--live",
        metavar="EXCHANGE",
        default=None,
        help="feed from this ccxt exchange (binanceusdm, bybit, ...) instead of a replay;"
        " needs the ccxt extra",
    )
    feed.add_argument(
        "--symbols",
        metavar="SYMBOL",
        nargs="+",
        default=[],
        help="with --live: the ccxt symbols to watch (BTC/USDT:USDT ...)",
    )
    feed.add_argument(
        "--interval",
        metavar="SECONDS",
        type=float,
        default=5.0,
        help="with --live: seconds between two polls of the exchange",
    )
    feed.add_argument(
        "--exchange-factory",
        metavar="MODULE:FUNCTION",
        default=None,
        help="with --live: make the exchange object with FUNCTION(exchange id) of"
        " MODULE (API keys, options, a recorded session)",
    )
    feed.add_argument(
        "--spec",
        metavar="SPEC",
        default=None,
        help="spec JSON file; - reads stdin (default: the bundled default spec)",
    )
    feed.add_argument(
        "--input-format",
        choices=("auto", "scan", "jsonl"),
        default="auto",
        help="the form of the replayed events; auto tells them apart",
    )
    feed.add_argument(
        "--strict",
        action="store_true",
        help="treat spec warnings (members the radar ignores) as errors",
    )
    web = p.add_argument_group("server")
    web.add_argument(
        "--host",
        default="127.0.0.1",
        help="address to listen on; any but a loopback address needs a token",
    )
    web.add_argument(
        "--port",
        type=int,
        default=DEFAULT_PORT,
        help="port to listen on (0: any free port, shown in the URL printed)",
    )
    web.add_argument(
        "--token",
        default=None,
        help="the token every request must carry (?token=...); made up and printed"
        " when --host is not a loopback address",
    )
    web.add_argument(
        "--history",
        metavar="N",
        type=_history,
        default=60,
        help="checkpoints shown in each row's severity history",
    )
    p.set_defaults(run=run)
