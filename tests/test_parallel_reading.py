"""Scans of a megabyte or more have their event lists read in pieces, in
parallel. Whatever the text holds, the answer must be the one a plain reading
gives: the same report for valid requests, the same first error, at the same
place, for invalid ones (fuzz/fuzz_reading.cpp compares the two on small
texts)."""

import json
import os
import random

import pytest
from conftest import FUNDING, book, deriv, make_spec, sig
from norsel_radar import Radar

SIGNALS = [
    sig("oi_delta", 3, 0.01),
    FUNDING,
    sig("book_imbalance", 0.5),
    sig("liq_cluster", 4, 100),
]
SPEC = json.dumps(make_spec(*SIGNALS, threshold=-1))

pytestmark = pytest.mark.skipif(
    len(os.sched_getaffinity(0)) < 2, reason="parallel reading needs two processors"
)


def event(rng, t):
    pick = rng.random()
    if pick < 0.5:
        oi, fr, mp = rng.uniform(90, 110), rng.uniform(-0.002, 0.002), rng.uniform(40, 60)
        return deriv(t, round(oi, 2), round(fr, 6), round(mp, 2))
    if pick < 0.8:
        return book(t, round(rng.uniform(0, 500), 1), round(rng.uniform(0, 500), 1), 1, 2)
    return ["liquidation", t, "sell", round(rng.uniform(0, 50), 3), 100]


NAME_ENDINGS = {
    "plain": [""],
    # Keys with escapes make the radar read the events object in one piece.
    "escaped": ["", "]", "[{", '\\"]', "\\\\", "}\\u005d"],
    # Pieces are guessed to start after `],"`: here it also ends keys.
    "decoys": ["", "],", "]]]],", "[],"],
}


def big_events(names="plain"):
    rng = random.Random(5)
    return {
        f"S{i:04d}" + rng.choice(NAME_ENDINGS[names]): [event(rng, t) for t in range(40)]
        for i in range(400)
    }


def scan_text(events, **dump_options):
    text = json.dumps(
        {"cmd": "scan", "events": events}, **(dump_options or {"separators": (",", ":")})
    )
    assert len(text) >= 1 << 20
    return text


def fed_alerts(events):
    radar = Radar(SPEC)
    for symbol, evs in events.items():
        radar.command(json.dumps({"cmd": "feed_batch", "symbol": symbol, "events": evs}))
    return radar.command('{"cmd":"alerts"}')


def with_lists_inside_events(from_symbol):
    # Ignored members whose lists end like symbols' lists do: a piece that
    # starts at "b" reads to the end of the object. From symbol 360 on, only
    # the last piece starts wrongly, and the join must notice.
    events = big_events()
    for evs in list(events.values())[from_symbol:]:
        for ev in evs:
            if isinstance(ev, dict):
                ev.update({"y": {"a": [1], "b": [[2]]}, "z": [1, [2]], "ts": ev.pop("ts")})
    return scan_text(events), events


def with_symbol_repeated_far_apart():
    events = big_events()
    first, last = next(iter(events)), list(events)[-1]
    text = scan_text(events)
    end = text.rindex("}}")
    text = text[:end] + ',"%s":%s' % (first, json.dumps(events[last])) + text[end:]
    events[first] = events[last]  # the later list counts
    return text, events


def with_members_after_the_events():
    events = big_events()
    return json.dumps({"events": events, "cmd": "scan", "id": [1, {"a": '],"'}]}), events


REQUESTS = {
    **{
        f"{names} keys": (lambda n=names: (scan_text(big_events(n)), big_events(n)))
        for names in NAME_ENDINGS
    },
    "default separators": lambda: (scan_text(big_events(), separators=None), big_events()),
    "indented": lambda: (scan_text(big_events(), indent=1), big_events()),
    "lists inside events": lambda: with_lists_inside_events(0),
    "lists inside the last events": lambda: with_lists_inside_events(360),
    "symbol repeated far apart": with_symbol_repeated_far_apart,
    "members after the events": with_members_after_the_events,
}


@pytest.mark.parametrize("request_text", REQUESTS)
def test_big_scan_equals_alerts_of_the_same_events(request_text):
    text, events = REQUESTS[request_text]()
    assert Radar(SPEC).command(text) == fed_alerts(events)


def error_of(text):
    return json.loads(Radar(SPEC).command(text))["error"]


def at(text, index):
    """Line and column of a byte offset, as errors give them."""
    head = text[:index].encode()
    line = head.count(b"\n") + 1
    column = len(head) - (head.rfind(b"\n") + 1)
    return f"at line {line} column {column}"


def insert_after(text, mark, where, insert, tail=""):
    cut = text.index(mark, int(len(text) * where)) + len(mark)
    return text[:cut] + insert + text[cut:] + tail, cut


@pytest.mark.parametrize(
    "mark, where, insert, tail, message, offset",
    [
        ('"open_interest":', 0.1, "-x", "", "invalid number", 2),
        ('"open_interest":', 0.97, "-x", "", "invalid number", 2),
        # The first error in reading order wins over a later one.
        ('"ts":', 0.5, "tru", " x", "expected ident", 4),
        # A stray bracket: every guess past it is wrong.
        ('"best_bid":', 0.3, "]", "", "expected value", 1),
        # Root object, events object, the list, its event object: 4 levels open.
        ('"best_bid":', 0.5, "[" * 130, "", "recursion limit exceeded", 127 - 4 + 1),
        ("}}", 0.99, "]", "", "trailing characters", 1),  # after the end of the request
    ],
)
def test_syntax_error_inside_a_list_is_the_plain_reading_error(
    mark, where, insert, tail, message, offset
):
    bad, cut = insert_after(scan_text(big_events()), mark, where, insert, tail)
    assert error_of(bad) == f"parse: {message} {at(bad, cut + offset)}"


def test_decode_errors_are_reported_in_symbol_order():
    events = big_events()
    names = sorted(events)
    events[names[-1]][3] = {"kind": "orderbook", "ts": 1}
    events[names[1]][7] = {"kind": "derivatives", "ts": 1.5}
    assert error_of(scan_text(events)) == "parse: invalid type: floating point `1.5`, expected i64"
