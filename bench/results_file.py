"""bench/results.md holds one top-level section ("# ...") per benchmark
script; each script rewrites its own and keeps the others as they are."""

from __future__ import annotations

import os
import time


def _sections(text: str) -> list[tuple[str, str]]:
    """(heading line, whole section text) pairs, in file order; a "# " line
    inside a fenced block (a run's log) is not a heading."""
    sections: list[tuple[str, list[str]]] = []
    fenced = False
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        if line.startswith("# ") and not fenced:
            sections.append((line, []))
        if sections:
            sections[-1][1].append(line)
    return [(heading, "\n".join(lines).rstrip("\n") + "\n") for heading, lines in sections]


def write_section(path: str, heading: str, body: str) -> None:
    """Replaces (or appends) the section headed `heading` with `body`."""
    old = ""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            old = f.read()
    new = heading + "\n\n" + body.strip("\n") + "\n"
    sections = _sections(old)
    if any(h == heading for h, _ in sections):
        texts = [new if h == heading else text for h, text in sections]
    else:
        texts = [text for _, text in sections] + [new]
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("\n".join(texts))
    os.replace(tmp, path)


def run_header(command: str, elapsed: float, info, load: str, busy: str) -> list[str]:
    """The opening lines of a section: the command, when, and the machine."""
    return [
        f"`{command}`, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {elapsed:.0f} s.",
        "",
        "## Machine",
        "",
        *(f"- {k}: {v}" for k, v in info),
        f"- Load average at the end: {load}",
        f"- Other processes kept {busy} busy on average during the run",
        "",
    ]
