"""``norsel-radar spec``: print the bundled default spec, or check one."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from . import output, specs


def run(args: argparse.Namespace) -> int:
    if getattr(args, "file", None) is None:
        output.write(specs.default_text())
        return 0
    spec = specs.load(args.file)
    spec.report(args.strict, sys.stderr)
    warned = f" ({len(spec.warnings)} warning{'s' if len(spec.warnings) != 1 else ''})"
    what = specs.summary(spec.text)
    output.write(f"{spec.where}: ok, {what}{warned if spec.warnings else ''}\n")
    return 0


def add_parser(sub: Any, formatter: Any) -> None:
    p = sub.add_parser(
        "spec",
        help="print the bundled default spec, or check a spec file",
        description="Without arguments, prints the bundled default spec. 'spec check"
        " FILE' checks a spec as the radar does, and warns about members the radar"
        " ignores.",
        formatter_class=formatter,
    )
    p.set_defaults(run=run, file=None)
    actions = p.add_subparsers(dest="action", metavar="ACTION")
    check = actions.add_parser(
        "check",
        help="check a spec file: the radar's validation, plus warnings for ignored members",
        description="Checks a spec file with the radar's own validation and warns"
        " about members the radar ignores; exit status 2 when it is refused.",
        formatter_class=formatter,
    )
    check.add_argument("file", metavar="FILE", help="spec JSON file; - reads stdin")
    check.add_argument(
        "--strict", action="store_true", help="treat warnings as errors (exit status 2)"
    )
    check.set_defaults(run=run)
