"""Running the command line for the CLI tests: in a subprocess, on a
pseudo-terminal, or in this process for tables of error messages."""

import contextlib
import io
import json
import os
import pty
import re
import subprocess
import sys

from norsel_radar import Radar, sample

SPEC = sample.default_spec()


def cli(*args, stdin=None, cwd=None, env=None, timeout=120, text=True):
    """Runs `python -m norsel_radar ARGS`; stdin may be text or bytes."""
    cmd = [sys.executable, "-m", "norsel_radar", *map(str, args)]
    return subprocess.run(
        cmd, input=stdin, capture_output=True, text=text, cwd=cwd, env=env, timeout=timeout
    )


def user_error(proc):
    """The one stderr line of a failed run (exit 2, no traceback, no stdout)."""
    stderr = proc.stderr if isinstance(proc.stderr, str) else proc.stderr.decode()
    assert proc.returncode == 2 and not proc.stdout and len(stderr.splitlines()) == 1, stderr
    return stderr.rstrip("\n")


def main_error(*args):
    """user_error of a run in this process: the subprocess tables pin how a
    process ends; the message tables need no interpreter of their own."""
    from norsel_radar.cli import main

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = main([str(a) for a in args])
        except SystemExit as exc:  # argparse
            status = exc.code
    return user_error(subprocess.CompletedProcess(args, status, out.getvalue(), err.getvalue()))


def on_terminal(*args, stream="stdout", env=None):
    """Runs the command line with `stream` on a pseudo-terminal (the other
    discarded): (exit status, what the terminal was shown)."""
    main, child = pty.openpty()
    streams = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, stream: child}
    cmd = [sys.executable, "-m", "norsel_radar", *map(str, args)]
    with subprocess.Popen(cmd, stdin=subprocess.DEVNULL, env=env, **streams) as proc:
        os.close(child)
        shown = []
        with contextlib.suppress(OSError):  # EIO once the child's side is closed
            while data := os.read(main, 65536):
                shown.append(data)
        status = proc.wait(timeout=120)
    os.close(main)
    return status, b"".join(shown).decode("utf-8", "replace")


def table_rows(text):
    """The symbols of the table rows, in rank order."""
    return [m.group(1) for m in re.finditer(r"^\s*\d+\s+(\S+)\s+\d\.\d{4}\s", text, re.M)]


def radar_report(events, spec=SPEC):
    """The radar's own report of a scan of `events`."""
    return Radar(json.dumps(spec)).command(json.dumps({"cmd": "scan", "events": events}))


def jsonl_lines(events_by_symbol):
    """JSON Lines of the events, merged across symbols by timestamp."""
    pairs = [(e["ts"], i, s, e) for s, evs in events_by_symbol.items() for i, e in enumerate(evs)]
    pairs.sort(key=lambda t: t[:2])
    return [json.dumps({"symbol": s, "event": e}, separators=(",", ":")) for *_, s, e in pairs]
