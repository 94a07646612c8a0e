"""Scans of a megabyte or more have their event lists read in parallel.
Whatever the text holds, the answer must be the one a plain reading gives:
the same report for valid requests, the same first error, at the same
place, for invalid ones."""

import json
import os
import random
import shutil
import subprocess
import sys

import pytest

from norsel_radar import Radar

SPEC = json.dumps({"signals": [{"kind": "oi_delta", "params": [3, 0.01]},
                               {"kind": "funding_flip", "params": [0.001]},
                               {"kind": "book_imbalance", "params": [0.5]},
                               {"kind": "liq_cluster", "params": [4, 100]}],
                   "threshold": -1})

pytestmark = pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2,
                                reason="parallel reading needs two processors")


def event(rng, t):
    pick = rng.random()
    if pick < 0.5:
        return {"kind": "derivatives", "ts": t, "open_interest": round(rng.uniform(90, 110), 2),
                "funding_rate": round(rng.uniform(-0.002, 0.002), 6),
                "mark_price": round(rng.uniform(40, 60), 2)}
    if pick < 0.8:
        return {"kind": "orderbook", "ts": t, "bid_volume": round(rng.uniform(0, 500), 1),
                "ask_volume": round(rng.uniform(0, 500), 1), "best_bid": 1, "best_ask": 2}
    return ["liquidation", t, "sell", round(rng.uniform(0, 50), 3), 100]


NAME_ENDINGS = {
    # Brackets, quotes and escapes test the skip over strings.
    "mixed": ["", "]", "[{", '\\"]', "\\\\", "}\\u005d"],
    "plain": [""],
    # `],"` is where pieces are guessed to start: here it also ends keys.
    "decoys": ["", "],", "]]]],", "[],"],
}


def big_events(symbols=400, per_symbol=40, seed=5, names="mixed"):
    rng = random.Random(seed)
    events = {}
    for i in range(symbols):
        name = f'S{i:04d}' + rng.choice(NAME_ENDINGS[names])
        events[name] = [event(rng, t) for t in range(per_symbol)]
    return events


def scan_text(events):
    text = json.dumps({"cmd": "scan", "events": events}, separators=(",", ":"))
    assert len(text) >= 1 << 20
    return text


def fed_alerts(events):
    radar = Radar(SPEC)
    for symbol, evs in events.items():
        if evs:
            radar.command(json.dumps({"cmd": "feed_batch", "symbol": symbol, "events": evs}))
    return radar.command('{"cmd":"alerts"}')


@pytest.mark.parametrize("names", sorted(NAME_ENDINGS))
def test_big_scan_equals_alerts_of_the_same_events(names):
    events = big_events(names=names)
    assert Radar(SPEC).command(scan_text(events)) == fed_alerts(events)


@pytest.mark.parametrize("from_symbol", [0, 360])
def test_big_scan_with_lists_inside_events(from_symbol):
    # Ignored members whose lists end like symbols' lists do: a piece that
    # starts at "b" reads to the end of the object. Only in the last tenth,
    # only the last piece starts wrongly, and the join must notice.
    events = big_events(names="plain")
    for evs in list(events.values())[from_symbol:]:
        for ev in evs:
            if isinstance(ev, dict):
                ev.update({"y": {"a": [1], "b": [[2]]}, "z": [1, [2]], "ts": ev.pop("ts")})
    assert Radar(SPEC).command(scan_text(events)) == fed_alerts(events)


def test_big_scan_with_blanks_between_members():
    events = big_events(names="plain")
    text = json.dumps({"cmd": "scan", "events": events}, indent=1)
    assert Radar(SPEC).command(text) == fed_alerts(events)


def test_big_scan_with_members_after_the_events():
    events = big_events(names="plain")
    text = json.dumps({"events": events, "cmd": "scan", "id": [1, {"a": "],\""}]},
                      separators=(",", ":"))
    assert Radar(SPEC).command(text) == fed_alerts(events)


def test_big_scan_repeated_symbol_far_apart_keeps_the_last():
    events = big_events(names="plain")
    first, last = next(iter(events)), list(events)[-1]
    text = scan_text(events)
    # The first symbol again, after the last one: its second list counts.
    again = json.dumps(events[last], separators=(",", ":"))
    end = text.rindex("}}")
    text = text[:end] + ',"%s":%s' % (first, again) + text[end:]
    events[first] = events[last]
    assert Radar(SPEC).command(text) == fed_alerts(events)


def error_of(text):
    return json.loads(Radar(SPEC).command(text))["error"]


def at(text, index):
    """Line and column of a byte offset, as errors give them."""
    head = text[:index].encode()
    line = head.count(b"\n") + 1
    column = len(head) - (head.rfind(b"\n") + 1)
    return f"at line {line} column {column}"


@pytest.mark.parametrize("names", ["mixed", "plain"])
@pytest.mark.parametrize("where", [0.1, 0.5, 0.97])
def test_syntax_error_inside_a_list_is_the_plain_reading_error(where, names):
    text = scan_text(big_events(names=names))
    cut = text.index('"open_interest":', int(len(text) * where)) + len('"open_interest":')
    bad = text[:cut] + "-x" + text[cut:]
    assert error_of(bad) == f"parse: invalid number {at(bad, cut + 2)}"


def test_first_error_in_reading_order_wins_over_a_later_one():
    text = scan_text(big_events())
    cut = text.index('"ts":', len(text) // 2) + len('"ts":')
    bad = text[:cut] + "tru" + text[cut:] + " x"
    assert error_of(bad) == f"parse: expected ident {at(bad, cut + 4)}"


def test_trailing_characters_after_a_big_scan():
    text = scan_text(big_events()) + "]"
    assert error_of(text) == f"parse: trailing characters {at(text, len(text))}"


PLAIN = """
import sys
from norsel_radar import Radar
spec, path = sys.argv[1:]
sys.stdout.write(Radar(spec).command(open(path, encoding="utf-8").read()))
"""


@pytest.mark.skipif(shutil.which("taskset") is None, reason="needs taskset")
@pytest.mark.parametrize("names", ["mixed", "plain"])
@pytest.mark.parametrize("insert, where", [("[", "["), ("]", "["), ("{", "{"), ('"', ":")])
def test_broken_structure_answers_as_a_plain_reading(tmp_path, insert, where, names):
    text = scan_text(big_events(names=names))
    cut = text.index(where, len(text) // 3)
    bad = text[:cut] + insert + text[cut:]
    path = tmp_path / "request.json"
    path.write_text(bad, encoding="utf-8")
    # On one processor the radar reads every request plainly.
    plain = subprocess.run(["taskset", "-c", "0", sys.executable, "-c", PLAIN, SPEC, str(path)],
                           capture_output=True, text=True, timeout=120, check=True).stdout
    assert Radar(SPEC).command(bad) == plain


@pytest.mark.parametrize("names", ["mixed", "plain"])
def test_decode_errors_are_reported_in_symbol_order(names):
    events = big_events(names=names)
    names = sorted(events)
    events[names[-1]][3] = {"kind": "orderbook", "ts": 1}
    events[names[1]][7] = {"kind": "derivatives", "ts": 1.5}
    assert error_of(scan_text(events)) == "parse: invalid type: floating point `1.5`, expected i64"


@pytest.mark.parametrize("names", ["mixed", "plain"])
def test_nesting_limit_inside_a_big_list(names):
    events = big_events(names=names)
    text = scan_text(events)
    cut = text.index('"best_bid":', len(text) // 2) + len('"best_bid":')
    deep = "[" * 130
    bad = text[:cut] + deep + text[cut:]
    # root object, events object, the list, its event object: 4 levels open.
    assert error_of(bad) == f"parse: recursion limit exceeded {at(bad, cut + 127 - 4 + 1)}"
