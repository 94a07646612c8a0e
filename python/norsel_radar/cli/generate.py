"""``norsel-radar generate``: write seeded sample events, streamed."""

from __future__ import annotations

import argparse
import gzip
import io
import sys
from typing import IO, Any, Callable, Union

from .. import sample
from .._files import write_atomically
from .errors import OutputError, UserError, os_message


def _writer(fmt: str) -> Callable[[IO[str], int, int, int], None]:
    return sample.write_scan if fmt == "scan" else sample.write_jsonl


def write_file(path: str, write: Callable[[IO[str]], None]) -> None:
    """Writes ``path`` whole or not at all: an error or Ctrl-C leaves no
    half-written file."""

    def write_text(tmp: str) -> None:
        with open(tmp, "wb") as raw:
            binary: Union[IO[bytes], gzip.GzipFile] = raw
            if path.endswith(".gz"):
                binary = gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0)
            with binary, io.TextIOWrapper(binary, encoding="utf-8", newline="\n") as fp:
                write(fp)

    try:
        write_atomically(path, write_text)
    except OSError as exc:
        raise UserError(f"{path}: {os_message(exc)}") from None


def run(args: argparse.Namespace) -> int:
    if args.symbols < 0 or args.events_per_symbol < 0:
        raise UserError("--symbols and --events-per-symbol must not be negative")
    writer = _writer(args.format)

    def write(fp: IO[str]) -> None:
        writer(fp, args.symbols, args.events_per_symbol, args.seed)

    if args.output in (None, "-"):
        if sys.stdout is None:
            raise OutputError("<stdout>: Bad file descriptor")
        try:
            write(sys.stdout)
            sys.stdout.flush()
        except OSError as exc:
            raise OutputError(f"<stdout>: {os_message(exc)}") from None
        return 0
    write_file(args.output, write)
    return 0


def add_parser(sub: Any, formatter: Any) -> None:
    p = sub.add_parser(
        "generate",
        help="write seeded sample events",
        description="Writes seeded sample events (see norsel_radar.sample); four"
        " planted symbols carry situations the default spec ranks first.",
        formatter_class=formatter,
    )
    p.add_argument("--symbols", type=int, default=40, metavar="N", help="number of symbols")
    p.add_argument(
        "--events-per-symbol", type=int, default=500, metavar="M", help="events of each symbol"
    )
    p.add_argument("--seed", type=int, default=7, metavar="S", help="random seed")
    p.add_argument(
        "--format",
        choices=("scan", "jsonl"),
        default="scan",
        help="the scan form {symbol: [events]}, or JSON Lines merged across symbols by"
        " timestamp as a live feed delivers them",
    )
    p.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        default="-",
        help="output file, gzip-compressed when it ends in .gz; - writes stdout",
    )
    p.set_defaults(run=run)
