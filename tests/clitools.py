"""Running the command line in a subprocess, for the CLI tests."""

import json
import re
import subprocess
import sys

from norsel_radar import Radar, sample

SPEC = sample.default_spec()


def cli(*args, stdin=None, cwd=None, env=None, timeout=120, text=True):
    """Runs `python -m norsel_radar ARGS`; stdin may be text or bytes."""
    return subprocess.run(
        [sys.executable, "-m", "norsel_radar", *map(str, args)],
        input=stdin,
        capture_output=True,
        text=text,
        cwd=cwd,
        env=env,
        timeout=timeout,
    )


def user_error(proc):
    """The one stderr line of a failed run (exit 2, no traceback, no stdout)."""
    stderr = proc.stderr if isinstance(proc.stderr, str) else proc.stderr.decode()
    assert proc.returncode == 2 and not proc.stdout and len(stderr.splitlines()) == 1, stderr
    return stderr.rstrip("\n")


def table_rows(text):
    """The symbols of the table rows, in rank order."""
    return [m.group(1) for m in re.finditer(r"^\s*\d+\s+(\S+)\s+\d\.\d{4}\s", text, re.M)]


def radar_report(events, spec=SPEC):
    """The radar's own report of a scan of `events`."""
    return Radar(json.dumps(spec)).command(json.dumps({"cmd": "scan", "events": events}))


def jsonl_lines(events_by_symbol):
    """JSON Lines of the events, merged across symbols by timestamp."""
    pairs = sorted(
        (
            (ev["ts"], i, sym, ev)
            for sym, evs in events_by_symbol.items()
            for i, ev in enumerate(evs)
        ),
        key=lambda t: (t[0], t[1]),
    )
    return [
        json.dumps({"symbol": sym, "event": ev}, separators=(",", ":")) for _, _, sym, ev in pairs
    ]
