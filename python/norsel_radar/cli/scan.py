"""``norsel-radar scan``: scan a file of events once and print the ranked alerts."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import orjson

from . import jsonl, output, scanform, specs
from .display import Progress
from .errors import UserError
from .inputs import Input, looks_like_jsonl
from .replay import add_input_options
from .table import format_table

#: Bytes of JSON Lines cut at once.
BLOCK = 4 << 20


def scan_form(inp: Input, spec: specs.Spec) -> str:
    """The report of the scan form: its text is the "events" of one request,
    read straight into it; an error is explained only once the radar refused."""
    radar = spec.radar()
    request, _ = scanform.read_request(inp)
    reply = radar.command(request)
    if reply.startswith('{"error":'):
        message = str(orjson.loads(reply)["error"])
        raise scanform.explain(spec.radar(), inp.where, request, message, inp.bom)
    return reply


def scan_jsonl(inp: Input, spec: specs.Spec) -> str:
    """The report of JSON Lines: the events fed in file order, then the alerts
    (the same report as a scan of the same events)."""
    radar = spec.radar()
    keys = jsonl.KeyCache()
    feeder = jsonl.Feeder(radar, spec.radar(), inp.where, keys)
    progress = Progress(inp.size)
    try:
        for block in jsonl.blocks(inp, BLOCK, keys):
            feeder.feed(block)
            progress.update(inp.consumed, feeder.events)
    finally:
        progress.close()
    if feeder.events == 0:
        raise UserError(f"{inp.where}: no events")
    return radar.command('{"cmd":"alerts"}')


def run(args: argparse.Namespace) -> int:
    if args.spec == "-" and args.events == "-":
        raise UserError("the spec and the events cannot both be read from stdin")
    spec = specs.load(args.spec)
    spec.report(args.strict, sys.stderr)
    with Input(args.events) as inp:
        form = args.input_format
        if form == "auto":
            head = inp.head()
            if not head.strip():
                raise UserError(f"{inp.where}: no events")
            form = "jsonl" if looks_like_jsonl(head) else "scan"
        reply = scan_jsonl(inp, spec) if form == "jsonl" else scan_form(inp, spec)
    if args.format == "json":
        output.write(reply + "\n")
    else:
        output.write(format_table(orjson.loads(reply)))
    return 0


def add_parser(sub: Any, formatter: Any) -> None:
    p = sub.add_parser(
        "scan",
        help="scan a file of events once and print the ranked alerts",
        description="Scans a file of events once and prints the ranked alerts.",
        formatter_class=formatter,
    )
    add_input_options(p)
    p.add_argument(
        "--format",
        choices=("table", "json"),
        default="table",
        help="a text table, or the radar's report JSON unchanged",
    )
    p.set_defaults(run=run)
