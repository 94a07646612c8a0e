"""The command layer: request parsing, dispatch on "cmd", member lookups,
atomicity of failing commands and the writing of the radar's own responses."""

import json

import pytest

from conftest import (
    FUNDING, alerts, book, command, deriv, expect_error, expect_ok,
    feed, feed_batch, make_spec, new_radar, run, sig,
)

MISSING_CMD = '{"error":"bad spec: missing \\"cmd\\"","ok":false}'
VERSION = '{"version":"0.2.0"}'
OK = '{"ok":true}'
EMPTY = '{"alerts":[],"scanned":0}'
EV = json.dumps(deriv(1, 100.0, 0.0004, 50.0))


@pytest.mark.parametrize("text, expected", [
    ('{"cmd":"version"} \n\t\r ', VERSION),
    ('\n{ "cmd" :\n"version" }\n', VERSION),
    # members a command does not read are ignored, whatever their type
    ('{"cmd":"version","spec":null,"events":7,"symbol":[]}', VERSION),
    ('{"cmd":"reset","spec":{"signals":[]}}', OK),
    ('{"cmd":"alerts","events":{"X":[]}}', EMPTY),
    ('{"cmd":"feed","symbol":"S","event":%s,"events":1,"extra":{"a":[1,2]}}' % EV, OK),
    ('{"cmd":"scan","events":{},"symbol":5,"event":null}', EMPTY),
    # a repeated "cmd" is read as its last value
    ('{"cmd":"nope","cmd":"version"}', VERSION),
    ('{"cmd":"version","cmd":"nope"}', '{"error":"bad spec: unknown cmd: nope","ok":false}'),
    ('{"cmd":"version","cmd":null}', MISSING_CMD),
])
def test_accepted_requests(radar, text, expected):
    assert command(radar, text) == expected


@pytest.mark.parametrize("text", [
    '["version"]', '"version"', "null", "{}", '{"cmd":5}', '{"cmd":["version"]}',
    '{"cmd":{"version":null}}', '{"CMD":"version"}', '{"cmd ":"version"}',
])
def test_request_without_string_cmd(radar, text):
    assert command(radar, text) == MISSING_CMD


@pytest.mark.parametrize("name", ["Feed", "SCAN", "version ", " version", "feed-batch", "set-spec", "", "nope"])
def test_unknown_cmd_names_echoed(radar, name):
    expect_error(run(radar, {"cmd": name}), "bad spec: unknown cmd: " + name)


@pytest.mark.parametrize("text, message", [
    # a member of the wrong type counts as missing for "symbol" only
    ('{"cmd":"feed"}', 'bad spec: missing string "symbol"'),
    ('{"cmd":"feed","symbol":7,"event":%s}' % EV, 'bad spec: missing string "symbol"'),
    ('{"cmd":"feed","event":null}', 'bad spec: missing string "symbol"'),  # symbol looked up before the event
    ('{"cmd":"feed","symbol":"BTC","Event":%s}' % EV, 'bad spec: missing "event"'),
    ('{"cmd":"feed","symbol":"BTC","events":[%s]}' % EV, 'bad spec: missing "event"'),
    ('{"cmd":"feed","symbol":"BTC","event":null}', "parse: invalid type: null, expected internally tagged enum Event"),
    ('{"cmd":"feed_batch","symbol":1,"events":5}', 'bad spec: missing string "symbol"'),
    ('{"cmd":"feed_batch","symbol":"BTC","event":[%s]}' % EV, 'bad spec: missing "events"'),
    ('{"cmd":"scan","event":{}}', 'bad spec: missing "events"'),
    ('{"cmd":"set_spec","specs":{"signals":[]}}', 'bad spec: missing "spec"'),
    ('{"cmd":"set_spec","spec":null}', "parse: invalid type: null, expected struct RadarSpec"),
])
def test_missing_and_ill_typed_members(radar, text, message):
    expect_error(run(radar, text), message)


def test_repeated_symbol_and_event_last_wins(radar):
    text = ('{"cmd":"feed","symbol":"A","symbol":"B","event":%s,"event":%s}'
            % (json.dumps(deriv(1, fr=0.0004)), json.dumps(deriv(2, fr=-0.0006))))
    assert command(radar, text) == OK
    assert [(a["symbol"], a["ts"]) for a in alerts(radar)["alerts"]] == [("B", 2)]


def test_nesting_limit(radar):
    prefix = '{"cmd":"version","x":'
    assert command(radar, prefix + "[" * 126 + "]" * 126 + "}") == VERSION
    assert command(radar, prefix + "[" * 127 + "]" * 127 + "}") == (
        '{"error":"parse: recursion limit exceeded at line 1 column %d","ok":false}' % (len(prefix) + 127))


def test_failing_or_empty_feeds_change_nothing(radar):
    bad = {"kind": "derivatives", "open_interest": 1, "funding_rate": 1, "mark_price": 1}
    expect_ok(feed(radar, "BTC", deriv(1, fr=0.0004)))
    before = alerts(radar).raw
    # feed_batch is all or nothing: the good events before the bad one are not kept
    expect_error(feed_batch(radar, "BTC", [deriv(2, fr=-0.0006), deriv(3, fr=0.0009), bad]),
                 "parse: missing field `ts`")
    # and no new symbol appears from a failed feed, a failed batch or an empty batch
    expect_error(feed_batch(radar, "ETH", [deriv(1), bad]), "parse: missing field `ts`")
    expect_error(feed(radar, "SOL", {"kind": "derivatives", "ts": 1}), "parse: missing field `open_interest`")
    expect_ok(feed_batch(radar, "XRP", []))
    assert alerts(radar).raw == before


def _fed_radar():
    r = new_radar(make_spec(FUNDING, threshold=-1))
    expect_ok(feed_batch(r, "BTC", [deriv(1, fr=0.0004), deriv(2, fr=-0.0006)]))
    expect_ok(feed(r, "ETH", deriv(5, fr=0.0002)))
    return r


@pytest.mark.parametrize("bad_spec, message", [
    (make_spec(sig("oi_delta", 1)), "bad spec: oi_delta takes 2 parameter(s), got 1"),
    (make_spec(FUNDING, limit=0), "bad spec: limit must be greater than zero"),
    ({}, "parse: missing field `signals`"),
])
def test_failed_set_spec_keeps_spec_and_states(bad_spec, message):
    r = _fed_radar()
    before = alerts(r).raw
    assert '"funding_flip(0.001)":1.0' in before
    expect_error(run(r, {"cmd": "set_spec", "spec": bad_spec}), message)
    assert alerts(r).raw == before


@pytest.mark.parametrize("request_obj, event, after", [
    # set_spec installs the new spec and forgets every state
    ({"cmd": "set_spec", "spec": make_spec(sig("book_imbalance", 0.5), threshold=-1)}, book(3, 300.0, 100.0),
     '{"alerts":[{"symbol":"BTC","severity":1.0,"factors":{"book_imbalance(0.5)":1.0,"severity":1.0},"ts":3}],'
     '"scanned":1}'),
    # reset keeps the spec; the old sample is gone, so one sample gives 0
    ({"cmd": "reset"}, deriv(9, fr=-0.0006),
     '{"alerts":[{"symbol":"BTC","severity":0.0,"factors":{"funding_flip(0.001)":0.0,"severity":0.0},"ts":9}],'
     '"scanned":1}'),
])
def test_set_spec_and_reset_clear_states(request_obj, event, after):
    r = _fed_radar()
    expect_ok(run(r, request_obj))
    assert alerts(r).raw == EMPTY
    expect_ok(feed(r, "BTC", event))
    assert alerts(r).raw == after


@pytest.mark.parametrize("name, written", [
    ("a\bb\t\n\f\r", "a\\bb\\t\\n\\f\\r"),
    ("\x00\x01\x0b\x1a\x1e\x1f", "\\u0000\\u0001\\u000b\\u001a\\u001e\\u001f"),
    ('q"b\\s/', 'q\\"b\\\\s/'),
    ("\x7fé中😀\u2028\u2029", "\x7fé中😀\u2028\u2029"),
])
def test_error_text_escaping(radar, name, written):
    expected = '{"error":"bad spec: unknown cmd: %s","ok":false}' % written
    # \u escapes (surrogate pairs included) and raw UTF-8 in the request decode to the same text
    assert command(radar, json.dumps({"cmd": name})) == expected
    assert command(radar, json.dumps({"cmd": name}, ensure_ascii=False)) == expected
