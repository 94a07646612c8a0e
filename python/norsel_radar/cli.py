"""The ``norsel-radar`` command line: demo, scan, replay, generate, backtest and convert.

User errors (a missing file, a bad spec, a bad event) end the program with one
line on stderr and exit status 2; the radar's own messages are shown as they
are, with the file name and, for JSON Lines, the line number in front.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import sys
import time
from collections.abc import Iterable, Iterator, Sequence
from datetime import datetime, timezone
from importlib import resources
from typing import IO, Any, Dict, List, NoReturn, Optional, Tuple

from . import __version__, sample
from ._norsel_radar import Radar

PROG = "norsel-radar"
I64_MIN = -(2**63)
#: Column order of the factors: the signal kinds in their fixed order.
KINDS = ("oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence")
SHORT = {
    "oi_delta": "oi_delta",
    "funding_flip": "funding",
    "book_imbalance": "book",
    "liq_cluster": "liq",
    "oi_price_divergence": "oi/price",
}
#: Most events sent in one "feed_batch" request by replay.
BATCH = 4096

#: Compact JSON for requests. ASCII escapes keep a lone surrogate that Python
#: accepted in the input as text the radar reads (and rejects) itself.
dumps = json.JSONEncoder(
    separators=(",", ":"), ensure_ascii=True, allow_nan=False, check_circular=False
).encode


class UserError(Exception):
    """A problem with the user's input: reported as one line, exit status 2."""


# --------------------------------------------------------------------------
# input


def _open_binary(path: str) -> IO[bytes]:
    if path == "-":
        return sys.stdin.buffer
    try:
        return open(path, "rb")
    except OSError as exc:
        raise UserError(f"{path}: {exc.strerror or exc}") from None


def _read_text(path: str) -> str:
    fp = _open_binary(path)
    try:
        data = fp.read()
    except OSError as exc:
        raise UserError(f"{_display(path)}: {exc.strerror or exc}") from None
    finally:
        if fp is not sys.stdin.buffer:
            fp.close()
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise UserError(f"{_display(path)}: not UTF-8 text (byte {exc.start})") from None


def _display(path: str) -> str:
    return "<stdin>" if path == "-" else path


def load_radar(spec_path: str) -> Tuple[Radar, str]:
    """A radar from a spec file; a bad spec reports the radar's own message."""
    text = _read_text(spec_path)
    try:
        return Radar(text), text
    except ValueError as exc:
        raise UserError(f"{_display(spec_path)}: {exc}") from None


def _is_error(reply: str) -> bool:
    return reply.startswith('{"error":')


def _error_text(reply: str) -> str:
    return str(json.loads(reply)["error"])


def _reject_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not valid JSON")


def _int_or_negative_zero(text: str) -> Any:
    # "-0" is the double -0.0 to the radar; Python would read the integer 0.
    return -0.0 if text == "-0" else int(text)


_DECODER = json.JSONDecoder(parse_constant=_reject_constant)
_DECODER_NEG0 = json.JSONDecoder(parse_constant=_reject_constant, parse_int=_int_or_negative_zero)


def _json_loads(text: str) -> Any:
    """Python's reading of JSON text, kept to what the radar reads: no NaN or
    Infinity literals, and "-0" as a double."""
    return (_DECODER_NEG0 if "-0" in text else _DECODER).decode(text)


def _encodable(where: str, records: Iterable[Tuple[int, str, Any]]) -> None:
    """Raises for the first event that cannot be written back as JSON: a number
    beyond the double range, which Python reads as infinity."""
    for pos, symbol, event in records:
        try:
            dumps(event)
        except ValueError:
            raise UserError(f"{_place(where, pos, symbol)}: number out of range") from None


def _place(where: str, pos: int, symbol: str) -> str:
    """A line number (pos > 0) or a scan-form event number (pos < 0) as text."""
    return f"{where}:{pos}" if pos > 0 else f"{where}: symbol {dumps(symbol)}, event {-pos}"


def _syntax_message(scratch: Radar, text: str) -> Optional[str]:
    """The radar's syntax error for text that is not one JSON value, if any.

    The text is sent as a request to a scratch radar: well-formed JSON gets a
    request-level answer (no position), broken JSON the reader's message with
    its line and column in the text itself.
    """
    reply = scratch.command(text)
    if _is_error(reply):
        message = _error_text(reply)
        if message.startswith("parse: ") and " at line " in message:
            return message
    return None


def _first_line(text: str) -> str:
    start = len(text) - len(text.lstrip())
    end = text.find("\n", start)
    return text[start:] if end < 0 else text[start:end]


def is_jsonl_line(line: str) -> bool:
    """Whether the first non-blank line of an input makes it JSON Lines.

    A line that is a {"symbol":...,"event":...} object does; so does a broken
    line (its error then names the line), unless it opens a pretty-printed
    {symbol: [events]} object. Any other JSON value is the scan form.
    """
    if len(line) > 1 << 20:  # a huge line: the one-line scan form
        return False
    try:
        obj = _json_loads(line)
    except ValueError:
        return not line.rstrip().endswith(("[", "{", ",", ":"))
    return isinstance(obj, dict) and "symbol" in obj and "event" in obj


def read_jsonl(
    lines: Iterator[bytes], path: str, scratch: Radar
) -> Iterator[Tuple[int, int, str, Any]]:
    """(line number, bytes read so far, symbol, event) for each non-blank line."""
    where = _display(path)
    offset = 0
    for lineno, raw in enumerate(lines, 1):
        offset += len(raw)
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise UserError(f"{where}:{lineno}: not UTF-8 text") from None
        if not text.strip():
            continue
        try:
            obj = _json_loads(text)
        except ValueError as exc:
            message = _syntax_message(scratch, text.rstrip("\r\n")) or f"not valid JSON: {exc}"
            raise UserError(f"{where}:{lineno}: {message}") from None
        if not (isinstance(obj, dict) and isinstance(obj.get("symbol"), str) and "event" in obj):
            raise UserError(
                f'{where}:{lineno}: expected an object with "symbol" (a string) and "event"'
            )
        yield lineno, offset, obj["symbol"], obj["event"]


def _first_bad_event(spec_text: str, symbol: str, events: Sequence[Any]) -> Tuple[int, str]:
    """Index and radar message of the first event that does not decode."""
    scratch = Radar(spec_text)
    for i, event in enumerate(events):
        reply = scratch.command(dumps({"cmd": "feed", "symbol": symbol, "event": event}))
        if _is_error(reply):
            return i, _error_text(reply)
    return -1, ""


def _utf8_key(symbol: str) -> bytes:
    return symbol.encode("utf-8", "surrogatepass")


class Events:
    """A loaded events file: the scan form's text, or JSON Lines records."""

    def __init__(self, path: str, scratch: Radar) -> None:
        self.path = path
        self.where = _display(path)
        self.text = _read_text(path)
        self.jsonl = not self.text.strip() or is_jsonl_line(_first_line(self.text))
        self.records: List[Tuple[int, str, Any]] = []
        if self.jsonl:
            lines = iter(self.text.encode("utf-8").splitlines(keepends=True))
            self.records = [(n, sym, ev) for n, _, sym, ev in read_jsonl(lines, path, scratch)]
        else:
            # The text goes into the scan request as it is, so it must be one
            # JSON value: the radar's reader checks that on a scratch radar.
            syntax = _syntax_message(scratch, self.text)
            if syntax is not None:
                raise UserError(f"{self.where}: {syntax}")

    def scan_request(self) -> str:
        if not self.jsonl:
            return '{"cmd":"scan","events":' + self.text + "}"
        groups: Dict[str, List[Any]] = {}
        for _, symbol, event in self.records:
            groups.setdefault(symbol, []).append(event)
        try:
            return dumps({"cmd": "scan", "events": groups})
        except ValueError:
            _encodable(self.where, self.records)
            raise

    def explain(self, message: str, spec_text: str) -> str:
        """Where a failed scan's message comes from, as one line."""
        if self.jsonl:
            by_symbol: Dict[str, List[Tuple[int, Any]]] = {}
            for lineno, symbol, event in self.records:
                by_symbol.setdefault(symbol, []).append((lineno, event))
            for symbol in sorted(by_symbol, key=_utf8_key):
                items = by_symbol[symbol]
                index, found = _first_bad_event(spec_text, symbol, [ev for _, ev in items])
                if index >= 0:
                    return f"{self.where}:{items[index][0]}: {found}"
            return f"{self.where}: {message}"
        try:
            data = _json_loads(self.text)
        except ValueError:
            return f"{self.where}: {message}"
        if isinstance(data, dict):
            for symbol in sorted(data, key=_utf8_key):
                events = data[symbol]
                if isinstance(events, list):
                    index, found = _first_bad_event(spec_text, symbol, events)
                    if index >= 0:
                        return f"{self.where}: symbol {dumps(symbol)}, event {index + 1}: {found}"
                else:
                    return f"{self.where}: symbol {dumps(symbol)}: {message}"
        return f"{self.where}: {message}"


# --------------------------------------------------------------------------
# output


def utc_time(ts: int) -> str:
    """A millisecond timestamp as UTC time; "-" for a symbol without events."""
    if ts == I64_MIN:
        return "-"
    try:
        when = datetime.fromtimestamp(ts / 1000.0, tz=timezone.utc)
    except (OverflowError, OSError, ValueError):
        return str(ts)
    return when.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (ts % 1000)


def _label_key(label: str) -> Tuple[int, str]:
    kind = label.split("(", 1)[0]
    return (KINDS.index(kind) if kind in KINDS else len(KINDS), label)


def format_table(report: Dict[str, Any]) -> str:
    """The ranked alerts as a text table, with a legend of the signal labels."""
    alerts: List[Dict[str, Any]] = report["alerts"]
    scanned = report["scanned"]
    if not alerts:
        return f"no alerts ({scanned} symbols scanned)\n"
    labels = sorted((k for k in alerts[0]["factors"] if k != "severity"), key=_label_key)
    kinds = [label.split("(", 1)[0] for label in labels]
    heads = [SHORT.get(k, k) if kinds.count(k) == 1 else label for k, label in zip(kinds, labels)]
    head = ["#", "symbol", "severity"] + heads + ["last event (UTC)"]
    rows = [
        [str(rank), a["symbol"], _num(a["severity"], 4)]
        + [_num(a["factors"].get(label), 3) for label in labels]
        + [utc_time(a["ts"])]
        for rank, a in enumerate(alerts, 1)
    ]
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    left = {1, len(head) - 1}

    def line(cells: List[str]) -> str:
        out = [
            c.ljust(w) if i in left else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ]
        return "  ".join(out).rstrip()

    legend = "signals: " + ", ".join(
        label if head == label else f"{head} = {label}" for head, label in zip(heads, labels)
    )
    plural = "" if len(alerts) == 1 else "s"
    lines = [legend, line(head)] + [line(r) for r in rows]
    lines.append(f"{len(alerts)} alert{plural}, {scanned} symbols scanned")
    return "\n".join(lines) + "\n"


def _num(value: Any, places: int) -> str:
    return "null" if value is None else f"{value:.{places}f}"


def _print_report(reply: str, fmt: str) -> None:
    if fmt == "json":
        sys.stdout.write(reply + "\n")
    else:
        sys.stdout.write(format_table(json.loads(reply)))


class Progress:
    """A one-line progress bar on stderr, drawn only when stderr is a terminal."""

    def __init__(self, total: Optional[int]) -> None:
        self.enabled = sys.stderr.isatty()
        self.total = total
        self.start = self.last = time.monotonic()
        self.shown = False

    def update(self, events: int, done: int, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.last < 0.1:
            return
        self.last = now
        rate = events / max(now - self.start, 1e-9)
        text = f"{events:,} events  {rate:,.0f} events/s"
        if self.total:
            frac = min(done / self.total, 1.0)
            bar = "#" * int(frac * 30)
            text = f"[{bar:<30}] {frac * 100:5.1f}%  " + text
        sys.stderr.write("\r" + text + "\033[K")
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
            self.shown = False


# --------------------------------------------------------------------------
# commands


def _scan(radar: Radar, spec_text: str, events: Events, fmt: str) -> int:
    reply = radar.command(events.scan_request())
    if _is_error(reply):
        raise UserError(events.explain(_error_text(reply), spec_text))
    _print_report(reply, fmt)
    return 0


def cmd_scan(args: argparse.Namespace) -> int:
    radar, spec_text = load_radar(args.spec)
    return _scan(radar, spec_text, Events(args.events, Radar(spec_text)), args.format)


def cmd_demo(args: argparse.Namespace) -> int:
    data = resources.files("norsel_radar") / "data"
    spec_text = (data / "default_spec.json").read_text(encoding="utf-8")
    events_text = (data / "sample_events.json").read_text(encoding="utf-8")
    radar = Radar(spec_text)
    reply = radar.command('{"cmd":"scan","events":' + events_text + "}")
    if _is_error(reply):  # the bundled files are known good
        raise RuntimeError(reply)
    if args.format == "json":
        sys.stdout.write(reply + "\n")
        return 0
    planted = ", ".join(f"{sym} ({what})" for sym, what in sample.PLANTED.items())
    sys.stdout.write("Bundled sample scanned with the default spec; planted: " + planted + "\n\n")
    sys.stdout.write(format_table(json.loads(reply)))
    return 0


Items = Iterator[Tuple[int, int, str, Any]]


def _replay_items(path: str, scratch: Radar) -> Tuple[Items, Optional[int]]:
    """(position, progress, symbol, event) in input order, and the progress total.

    The position is the line number for JSON Lines, minus the event's number
    within its symbol for the scan form; progress counts bytes for JSON Lines
    (the total is the file size, when known) and symbols for the scan form.
    """
    where = _display(path)
    fp = _open_binary(path)
    head: List[bytes] = []
    try:
        for raw in fp:
            head.append(raw)
            if raw.strip():
                break
        if head and not is_jsonl_line(head[-1].decode("utf-8", "replace")):
            data = b"".join(head) + fp.read()
            if fp is not sys.stdin.buffer:
                fp.close()
            try:
                text = data.decode("utf-8")
            except UnicodeDecodeError as exc:
                raise UserError(f"{where}: not UTF-8 text (byte {exc.start})") from None
            return _scan_form_items(text, where, scratch)
    except OSError as exc:
        raise UserError(f"{where}: {exc.strerror or exc}") from None
    total: Optional[int] = None
    try:
        total = os.fstat(fp.fileno()).st_size or None
    except (OSError, ValueError):
        pass
    return read_jsonl(itertools.chain(head, fp), path, scratch), total


def _scan_form_items(text: str, where: str, scratch: Radar) -> Tuple[Items, int]:
    try:
        data = _json_loads(text)
    except ValueError as exc:
        raise UserError(f"{where}: {_syntax_message(scratch, text) or exc}") from None
    # What does not fit is reported with the radar's message for it.
    if not isinstance(data, dict):
        reply = scratch.command(dumps({"cmd": "scan", "events": data}))
        raise UserError(f"{where}: {_error_text(reply)}")
    for symbol, events in data.items():
        if not isinstance(events, list):
            reply = scratch.command(
                dumps({"cmd": "feed_batch", "symbol": symbol, "events": events})
            )
            raise UserError(f"{where}: symbol {dumps(symbol)}: {_error_text(reply)}")

    def items() -> Items:
        for done, (symbol, events) in enumerate(data.items()):
            for index, event in enumerate(events):
                yield -1 - index, done, symbol, event

    return items(), len(data)


def cmd_replay(args: argparse.Namespace) -> int:
    radar, spec_text = load_radar(args.spec)
    if args.every < 0:
        raise UserError("--every must not be negative")
    scratch = Radar(spec_text)
    items, total = _replay_items(args.events, scratch)
    progress = Progress(total)
    where = _display(args.events)
    count = 0
    done = 0
    batch: List[Tuple[int, Any]] = []
    symbol = ""

    def flush() -> None:
        if not batch:
            return
        events = [ev for _, ev in batch]
        try:
            if len(batch) == 1:
                request = dumps({"cmd": "feed", "symbol": symbol, "event": events[0]})
            else:
                request = dumps({"cmd": "feed_batch", "symbol": symbol, "events": events})
        except ValueError:
            _encodable(where, ((pos, symbol, ev) for pos, ev in batch))
            raise
        reply = radar.command(request)
        if _is_error(reply):
            index, message = _first_bad_event(spec_text, symbol, events)
            pos = batch[max(index, 0)][0]
            raise UserError(f"{_place(where, pos, symbol)}: {message or _error_text(reply)}")
        batch.clear()

    def show(title: str) -> None:
        progress.clear()
        reply = radar.command('{"cmd":"alerts"}')
        sys.stdout.write(f"{title}\n{format_table(json.loads(reply))}\n")
        sys.stdout.flush()

    try:
        for pos, done, sym, event in items:
            if sym != symbol or len(batch) >= BATCH:
                flush()
                symbol = sym
            batch.append((pos, event))
            count += 1
            if args.every and count % args.every == 0:
                flush()
                show(f"after {count:,} events:")
            progress.update(count, done)
        flush()
        progress.update(count, total or 0, force=True)
    finally:
        progress.clear()
    show(f"end of input, {count:,} events:")
    return 0


def cmd_generate(args: argparse.Namespace) -> int:
    if args.symbols < 0 or args.events_per_symbol < 0:
        raise UserError("--symbols and --events-per-symbol must not be negative")
    write = sample.write_scan if args.format == "scan" else sample.write_jsonl
    if args.output in (None, "-"):
        write(sys.stdout, args.symbols, args.events_per_symbol, args.seed)
        return 0
    try:
        with open(args.output, "w", encoding="utf-8", newline="\n") as fp:
            write(fp, args.symbols, args.events_per_symbol, args.seed)
    except OSError as exc:
        raise UserError(f"{args.output}: {exc.strerror or exc}") from None
    return 0


# --------------------------------------------------------------------------
# argument parsing


class _Parser(argparse.ArgumentParser):
    """argparse with one-line usage errors."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="A market radar for crypto-derivatives data.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    demo = sub.add_parser("demo", help="scan the bundled sample with the default spec")
    demo.add_argument("--format", choices=("table", "json"), default="table")
    demo.set_defaults(run=cmd_demo)

    scan = sub.add_parser("scan", help="scan a file of events and print the ranked alerts")
    scan.add_argument("--spec", required=True, metavar="SPEC", help="spec JSON file")
    scan.add_argument(
        "events",
        metavar="EVENTS",
        help='events: {symbol: [events]} JSON, or JSON Lines of {"symbol":...,"event":{...}}; - for stdin',
    )
    scan.add_argument(
        "--format",
        choices=("table", "json"),
        default="table",
        help="table (default) or the radar's report JSON unchanged",
    )
    scan.set_defaults(run=cmd_scan)

    replay = sub.add_parser(
        "replay", help="feed events in order and print the alerts as they evolve"
    )
    replay.add_argument("--spec", required=True, metavar="SPEC", help="spec JSON file")
    replay.add_argument("events", metavar="EVENTS", help="JSON Lines events file; - for stdin")
    replay.add_argument(
        "--every",
        type=int,
        default=0,
        metavar="N",
        help="also print the alert table every N events (default: only at the end)",
    )
    replay.set_defaults(run=cmd_replay)

    gen = sub.add_parser("generate", help="write seeded sample events")
    gen.add_argument("--symbols", type=int, default=40, metavar="N")
    gen.add_argument("--events-per-symbol", type=int, default=500, metavar="M")
    gen.add_argument("--seed", type=int, default=7, metavar="S")
    gen.add_argument("--format", choices=("scan", "jsonl"), default="scan")
    gen.add_argument("-o", "--output", metavar="FILE", help="output file (default: stdout)")
    gen.set_defaults(run=cmd_generate)

    # backtest and convert (norsel_radar.history), written for the command
    # line's package form: add_parser(sub, formatter) and run(args).
    from .history import cli as history_cli

    history_cli.add_parser(sub, argparse.HelpFormatter)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except UserError as exc:
        sys.stdout.flush()
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 2
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    except BrokenPipeError:
        # The reader went away (| head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
