"""The ``norsel-radar`` command line: demo, scan, replay, generate, spec, live
and serve.

One module per command, with the input reading (plain, gzip, zstd; the scan
form and JSON Lines) shared. User errors, a closed or full stdout and Ctrl-C
each end the program with one line on stderr: status 2, or 130 for Ctrl-C.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import NoReturn, Optional

from .. import __version__
from ..history import cli as history
from . import demo, generate, live, output, replay, scan, serve, spec
from .errors import PROG, OutputError, UserError
from .table import format_table

__all__ = ["PROG", "UserError", "build_parser", "format_table", "main"]


class _Parser(argparse.ArgumentParser):
    """argparse with one-line usage errors."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _Help(argparse.ArgumentDefaultsHelpFormatter):
    """Shows the default of every option that has one worth showing."""

    def _get_help_string(self, action: argparse.Action) -> Optional[str]:
        if action.default in (None, False) or isinstance(action, argparse._VersionAction):
            return action.help
        return super()._get_help_string(action)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description=(
            "A market radar for crypto-derivatives data: scan, replay and backtest event"
            " files, watch an exchange live, or serve a dashboard."
        ),
        formatter_class=_Help,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    for module in (demo, scan, replay, generate, spec, live, serve, history):
        module.add_parser(sub, _Help)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        output.flush()
        return status
    except OutputError as exc:
        output.silence()
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 2
    except UserError as exc:
        _flush_quietly()
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 2
    except KeyboardInterrupt:
        _flush_quietly()
        # On a terminal the line goes after the echoed ^C.
        sys.stderr.write(f"{chr(10) if sys.stderr.isatty() else ''}{PROG}: interrupted\n")
        return 130
    except MemoryError:
        _flush_quietly()
        sys.stderr.write(f"{PROG}: error: out of memory\n")
        return 2


def _flush_quietly() -> None:
    try:
        output.flush()
    except OutputError:
        output.silence()
