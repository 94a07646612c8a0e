"""The command layer: request parsing, dispatch on "cmd", member lookups,
atomicity of failing commands and the writing of the radar's own responses."""

import json

import pytest
from conftest import (
    FUNDING,
    alerts,
    book,
    command,
    deriv,
    error_response,
    expect_error,
    expect_ok,
    feed,
    feed_batch,
    make_spec,
    new_radar,
    run,
    sig,
)

VERSION = '{"version":"0.2.0"}'
OK = '{"ok":true}'
EMPTY = '{"alerts":[],"scanned":0}'
EV = json.dumps(deriv(1, 100.0, 0.0004, 50.0))
DEEP = '{"cmd":"version","x":%s}'
NAME = 'a\bb\t\n\f\r\x00\x01\x0b\x1a\x1e\x1f q"b\\s/ \x7fé中😀\u2028\u2029'
NAME_ERROR = '{"error":"bad spec: unknown cmd: %s","ok":false}' % (
    'a\\bb\\t\\n\\f\\r\\u0000\\u0001\\u000b\\u001a\\u001e\\u001f q\\"b\\\\s/ \x7fé中😀\u2028\u2029'
)


def bad(text):
    return error_response("bad spec: " + text)


# missing members and unknown names are also checked by fuzz/fuzz_commands.cpp on every request it makes
@pytest.mark.parametrize(
    "text, expected",
    [
        # members a command does not read are ignored, whatever their type
        ('{"cmd":"reset","spec":{"signals":[]}}', OK),
        ('{"cmd":"feed","symbol":"S","event":%s,"events":1,"extra":{"a":[1,2]}}' % EV, OK),
        ('{"cmd":"scan","events":{},"symbol":5,"event":null}', EMPTY),
        # a repeated "cmd" is read as its last value
        ('{"cmd":"nope","cmd":"version"}', VERSION),
        *[
            (text, bad('missing "cmd"'))
            for text in [
                '{"cmd":"version","cmd":null}',
                '["version"]',
                '{"cmd":{"version":null}}',
                '{"CMD":"version"}',
            ]
        ],
        # names are matched exactly and echoed
        *[
            ('{"cmd":"%s"}' % name, bad("unknown cmd: " + name))
            for name in ["Feed", "version ", "feed-batch", ""]
        ],
        # \u escapes (surrogate pairs included) and raw UTF-8 decode to the same name, written with controls escaped
        (json.dumps({"cmd": NAME}), NAME_ERROR),
        (json.dumps({"cmd": NAME}, ensure_ascii=False), NAME_ERROR),
        # a member of the wrong type counts as missing for "symbol" only, which is looked up first
        ('{"cmd":"feed","symbol":7,"event":%s}' % EV, bad('missing string "symbol"')),
        ('{"cmd":"feed","event":null}', bad('missing string "symbol"')),
        (
            '{"cmd":"feed","symbol":"BTC","Event":%s,"events":[%s]}' % (EV, EV),
            bad('missing "event"'),
        ),
        ('{"cmd":"feed_batch","symbol":"BTC","event":[%s]}' % EV, bad('missing "events"')),
        ('{"cmd":"scan","event":{}}', bad('missing "events"')),
        ('{"cmd":"set_spec","specs":{"signals":[]}}', bad('missing "spec"')),
        # 127 levels in all pass; the 128th fails where it opens
        (DEEP % ("[" * 126 + "]" * 126), VERSION),
        (
            DEEP % ("[" * 127 + "]" * 127),
            error_response("parse: recursion limit exceeded at line 1 column 148"),
        ),
    ],
)
def test_dispatch(radar, text, expected):
    assert command(radar, text) == expected


def test_repeated_symbol_and_event_last_wins(radar):
    text = '{"cmd":"feed","symbol":"A","symbol":"B","event":%s,"event":%s}' % (
        json.dumps(deriv(1, fr=0.0004)),
        json.dumps(deriv(2, fr=-0.0006)),
    )
    assert command(radar, text) == OK
    assert [(a["symbol"], a["ts"]) for a in alerts(radar)["alerts"]] == [("B", 2)]


def test_failing_or_empty_feeds_change_nothing(radar):
    bad_event = {"kind": "derivatives", "open_interest": 1, "funding_rate": 1, "mark_price": 1}
    expect_ok(feed(radar, "BTC", deriv(1, fr=0.0004)))
    before = alerts(radar).raw
    # feed_batch is all or nothing: the good events before the bad one are not kept
    expect_error(
        feed_batch(radar, "BTC", [deriv(2, fr=-0.0006), deriv(3, fr=0.0009), bad_event]),
        "parse: missing field `ts`",
    )
    # and no new symbol appears from a failed feed, a failed batch or an empty batch
    expect_error(feed_batch(radar, "ETH", [deriv(1), bad_event]), "parse: missing field `ts`")
    expect_error(
        feed(radar, "SOL", {"kind": "derivatives", "ts": 1}), "parse: missing field `open_interest`"
    )
    expect_ok(feed_batch(radar, "XRP", []))
    assert alerts(radar).raw == before


def _fed_radar():
    r = new_radar(make_spec(FUNDING, threshold=-1))
    expect_ok(feed_batch(r, "BTC", [deriv(1, fr=0.0004), deriv(2, fr=-0.0006)]))
    expect_ok(feed(r, "ETH", deriv(5, fr=0.0002)))
    return r


@pytest.mark.parametrize(
    "bad_spec, message",
    [
        (make_spec(sig("oi_delta", 1)), "bad spec: oi_delta takes 2 parameter(s), got 1"),
        (make_spec(FUNDING, limit=0), "bad spec: limit must be greater than zero"),
        ({}, "parse: missing field `signals`"),
    ],
)
def test_failed_set_spec_keeps_spec_and_states(bad_spec, message):
    r = _fed_radar()
    before = alerts(r).raw
    assert '"funding_flip(0.001)":1.0' in before
    expect_error(run(r, {"cmd": "set_spec", "spec": bad_spec}), message)
    assert alerts(r).raw == before


@pytest.mark.parametrize(
    "request_obj, event, after",
    [
        # set_spec installs the new spec and forgets every state
        (
            {"cmd": "set_spec", "spec": make_spec(sig("book_imbalance", 0.5), threshold=-1)},
            book(3, 300.0, 100.0),
            '{"alerts":[{"symbol":"BTC","severity":1.0,"factors":{"book_imbalance(0.5)":1.0,"severity":1.0},"ts":3}],'
            '"scanned":1}',
        ),
        # reset keeps the RadarSpec; the old sample is gone, so one sample gives 0
        (
            {"cmd": "reset"},
            deriv(9, fr=-0.0006),
            '{"alerts":[{"symbol":"BTC","severity":0.0,"factors":{"funding_flip(0.001)":0.0,"severity":0.0},"ts":9}],'
            '"scanned":1}',
        ),
    ],
)
def test_set_spec_and_reset_clear_states(request_obj, event, after):
    r = _fed_radar()
    expect_ok(run(r, request_obj))
    assert alerts(r).raw == EMPTY
    expect_ok(feed(r, "BTC", event))
    assert alerts(r).raw == after
