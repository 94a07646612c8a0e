"""The command layer: request parsing, dispatch on "cmd", member lookups,
atomicity of failing commands and the writing of the radar's own responses."""

import json

import pytest

from conftest import (
    FUNDING, alerts, book, command, deriv, error_response, expect_error, expect_ok,
    feed, feed_batch, make_spec, new_radar, run, scan, sig,
)

MISSING_CMD = '{"error":"bad spec: missing \\"cmd\\"","ok":false}'
VERSION = '{"version":"0.2.0"}'
GOOD_EVENT = deriv(1, 100.0, 0.0004, 50.0)


def test_empty_request_text(radar):
    assert command(radar, "") == '{"error":"parse: EOF while parsing a value at line 1 column 0","ok":false}'


def test_trailing_characters_rejected(radar):
    assert command(radar, '{"cmd":"version"} x') == error_response(
        "parse: trailing characters at line 1 column 19")


@pytest.mark.parametrize("text", ['{"cmd":"version"} \n\t\r ', ' \r\n\t{"cmd":"version"}', '\n{ "cmd" :\n"version" }\n'])
def test_surrounding_whitespace_accepted(radar, text):
    assert command(radar, text) == VERSION


@pytest.mark.parametrize("text", [
    "[]", '["version"]', "5", "-1.5", '"version"', "null", "true", "{}",
    '{"cmd":5}', '{"cmd":null}', '{"cmd":["version"]}', '{"cmd":{"version":null}}',
    '{"CMD":"version"}', '{"cmd ":"version"}',
])
def test_request_without_string_cmd(radar, text):
    assert command(radar, text) == MISSING_CMD


@pytest.mark.parametrize("name", ["Feed", "SCAN", "Version", "version ", " version", "feed-batch", "set-spec", "", "nope"])
def test_unknown_cmd_names_echoed(radar, name):
    expect_error(run(radar, {"cmd": name}), "bad spec: unknown cmd: " + name)


def test_unknown_cmd_example_byte_exact(radar):
    assert command(radar, '{"cmd":"nope"}') == '{"error":"bad spec: unknown cmd: nope","ok":false}'


@pytest.mark.parametrize("request_obj, expected", [
    ({"cmd": "version", "anything": 1}, VERSION),
    ({"cmd": "version", "spec": None, "events": 7, "symbol": []}, VERSION),
    ({"cmd": "reset", "spec": {"signals": []}}, '{"ok":true}'),
    ({"cmd": "alerts", "events": {"X": []}}, '{"alerts":[],"scanned":0}'),
    ({"cmd": "feed", "symbol": "S", "event": GOOD_EVENT, "events": 1, "extra": {"a": [1, 2]}}, '{"ok":true}'),
    ({"cmd": "scan", "events": {}, "symbol": 5, "event": None}, '{"alerts":[],"scanned":0}'),
])
def test_unknown_members_ignored(radar, request_obj, expected):
    assert run(radar, request_obj).raw == expected


@pytest.mark.parametrize("request_obj, message", [
    ({"cmd": "feed"}, 'missing string "symbol"'),
    ({"cmd": "feed", "symbol": 7, "event": GOOD_EVENT}, 'missing string "symbol"'),
    ({"cmd": "feed", "symbol": None, "event": GOOD_EVENT}, 'missing string "symbol"'),
    ({"cmd": "feed", "symbol": ["BTC"], "event": GOOD_EVENT}, 'missing string "symbol"'),
    ({"cmd": "feed", "event": None}, 'missing string "symbol"'),  # symbol looked up before the event
    ({"cmd": "feed", "symbol": "BTC"}, 'missing "event"'),
    ({"cmd": "feed", "symbol": "BTC", "events": [GOOD_EVENT]}, 'missing "event"'),
    ({"cmd": "feed", "symbol": "BTC", "Event": GOOD_EVENT}, 'missing "event"'),
    ({"cmd": "feed_batch"}, 'missing string "symbol"'),
    ({"cmd": "feed_batch", "symbol": 1, "events": 5}, 'missing string "symbol"'),
    ({"cmd": "feed_batch", "symbol": "BTC"}, 'missing "events"'),
    ({"cmd": "feed_batch", "symbol": "BTC", "event": [GOOD_EVENT]}, 'missing "events"'),
    ({"cmd": "scan"}, 'missing "events"'),
    ({"cmd": "scan", "event": {}}, 'missing "events"'),
    ({"cmd": "set_spec"}, 'missing "spec"'),
    ({"cmd": "set_spec", "specs": make_spec(FUNDING)}, 'missing "spec"'),
])
def test_missing_members(radar, request_obj, message):
    expect_error(run(radar, request_obj), "bad spec: " + message)


@pytest.mark.parametrize("request_obj, message", [
    # a present member of the wrong type reaches the decoder, which reports a parse error
    ({"cmd": "feed", "symbol": "BTC", "event": None}, "invalid type: null, expected internally tagged enum Event"),
    ({"cmd": "feed_batch", "symbol": "BTC", "events": None}, "invalid type: null, expected a sequence"),
    ({"cmd": "feed_batch", "symbol": "BTC", "events": GOOD_EVENT}, "invalid type: map, expected a sequence"),
    ({"cmd": "scan", "events": None}, "invalid type: null, expected a map"),
    ({"cmd": "scan", "events": [[GOOD_EVENT]]}, "invalid type: sequence, expected a map"),
    ({"cmd": "scan", "events": "BTC"}, 'invalid type: string "BTC", expected a map'),
    ({"cmd": "scan", "events": {"BTC": GOOD_EVENT}}, "invalid type: map, expected a sequence"),
    ({"cmd": "set_spec", "spec": None}, "invalid type: null, expected struct RadarSpec"),
])
def test_member_of_wrong_type_is_parse_error(radar, request_obj, message):
    expect_error(run(radar, request_obj), "parse: " + message)


def test_scan_events_as_array_byte_exact(radar):
    assert command(radar, '{"cmd":"scan","events":[]}') == \
        '{"error":"parse: invalid type: sequence, expected a map","ok":false}'


@pytest.mark.parametrize("text, expected", [
    ('{"cmd":"nope","cmd":"version"}', VERSION),
    ('{"cmd":"version","cmd":"nope"}', '{"error":"bad spec: unknown cmd: nope","ok":false}'),
    ('{"cmd":5,"cmd":"version"}', VERSION),
    ('{"cmd":"version","cmd":null}', MISSING_CMD),
])
def test_repeated_cmd_key_last_wins(radar, text, expected):
    assert command(radar, text) == expected


def test_repeated_member_last_wins_for_symbol_and_event(radar):
    text = ('{"cmd":"feed","symbol":"A","symbol":"B","event":%s,"event":%s}'
            % (json.dumps(deriv(1, fr=0.0004)), json.dumps(deriv(2, fr=-0.0006))))
    assert command(radar, text) == '{"ok":true}'
    rep = alerts(radar)
    assert [(a["symbol"], a["ts"]) for a in rep["alerts"]] == [("B", 2)]


def _nested(depth):
    inner = "[" * (depth - 1) + "]" * (depth - 1)
    return '{"cmd":"version","x":%s}' % inner


def test_nesting_limit(radar):
    assert command(radar, _nested(127)) == VERSION
    reply = json.loads(command(radar, _nested(128)))
    assert reply["ok"] is False
    assert reply["error"].startswith("parse: recursion limit exceeded at line 1 column ")
    assert reply["error"] == "parse: recursion limit exceeded at line 1 column %d" % (len('{"cmd":"version","x":') + 127)


def test_version_and_reset_on_empty_radar(radar):
    assert command(radar, '{"cmd":"version"}') == VERSION
    expect_ok(run(radar, {"cmd": "reset"}))
    assert alerts(radar).raw == '{"alerts":[],"scanned":0}'


def test_feed_batch_is_all_or_nothing(radar):
    expect_ok(feed(radar, "BTC", deriv(1, fr=0.0004)))
    before = alerts(radar).raw
    bad = {"kind": "derivatives", "open_interest": 1, "funding_rate": 1, "mark_price": 1}
    reply = feed_batch(radar, "BTC", [deriv(2, fr=-0.0006), deriv(3, fr=0.0009), bad])
    expect_error(reply, "parse: missing field `ts`")
    assert alerts(radar).raw == before
    # a new symbol is not created either
    expect_error(feed_batch(radar, "ETH", [deriv(1), deriv(2), bad]), "parse: missing field `ts`")
    assert alerts(radar)["scanned"] == 1


def test_failed_feed_changes_nothing(radar):
    expect_error(feed(radar, "BTC", {"kind": "derivatives", "ts": 1}), "parse: missing field `open_interest`")
    assert alerts(radar).raw == '{"alerts":[],"scanned":0}'


def test_empty_feed_batch_creates_no_state(radar):
    expect_ok(feed_batch(radar, "BTC", []))
    assert alerts(radar).raw == '{"alerts":[],"scanned":0}'


def _fed_radar():
    r = new_radar(make_spec(FUNDING, threshold=-1))
    for ev in (deriv(1, fr=0.0004), deriv(2, fr=-0.0006)):
        expect_ok(feed(r, "BTC", ev))
    expect_ok(feed(r, "ETH", deriv(5, fr=0.0002)))
    return r


@pytest.mark.parametrize("bad_spec, message", [
    (make_spec(), "bad spec: at least one signal is required"),
    (make_spec(sig("oi_delta", 1)), "bad spec: oi_delta takes 2 parameter(s), got 1"),
    (make_spec(FUNDING, limit=0), "bad spec: limit must be greater than zero"),
    ({}, "parse: missing field `signals`"),
    (make_spec(sig("FUNDING_FLIP", 0.1)),
     "parse: unknown variant `FUNDING_FLIP`, expected one of `oi_delta`, `funding_flip`, "
     "`book_imbalance`, `liq_cluster`, `oi_price_divergence`"),
])
def test_failed_set_spec_keeps_spec_and_states(bad_spec, message):
    r = _fed_radar()
    before = alerts(r).raw
    assert '"funding_flip(0.001)":1.0' in before
    expect_error(run(r, {"cmd": "set_spec", "spec": bad_spec}), message)
    assert alerts(r).raw == before


def test_successful_set_spec_installs_and_clears():
    r = _fed_radar()
    expect_ok(run(r, {"cmd": "set_spec", "spec": make_spec(sig("book_imbalance", 0.5), threshold=-1)}))
    assert alerts(r).raw == '{"alerts":[],"scanned":0}'
    expect_ok(feed(r, "BTC", book(3, 300.0, 100.0)))
    assert alerts(r).raw == ('{"alerts":[{"symbol":"BTC","severity":1.0,"factors":'
                             '{"book_imbalance(0.5)":1.0,"severity":1.0},"ts":3}],"scanned":1}')


def test_reset_forgets_states_and_keeps_spec():
    r = _fed_radar()
    expect_ok(run(r, {"cmd": "reset"}))
    assert alerts(r).raw == '{"alerts":[],"scanned":0}'
    expect_ok(feed(r, "BTC", deriv(9, fr=-0.0006)))
    # the radar's spec is still funding_flip(0.001); the old sample is gone, so one sample gives 0
    assert alerts(r).raw == ('{"alerts":[{"symbol":"BTC","severity":0.0,"factors":'
                             '{"funding_flip(0.001)":0.0,"severity":0.0},"ts":9}],"scanned":1}')


# ---------------------------------------------------------------- response escaping

@pytest.mark.parametrize("name, written", [
    ("a\bb", "a\\bb"),
    ("\t\n\f\r", "\\t\\n\\f\\r"),
    ("\x00\x01\x0b\x1f", "\\u0000\\u0001\\u000b\\u001f"),
    ("\x1e\x1a", "\\u001e\\u001a"),
    ('q"b\\s', 'q\\"b\\\\s'),
    ("a/b", "a/b"),
    ("\x7f", "\x7f"),
    ("é中😀", "é中😀"),
    ("\u2028\u2029", "\u2028\u2029"),
])
def test_error_text_escaping(radar, name, written):
    expected = '{"error":"bad spec: unknown cmd: %s","ok":false}' % written
    assert command(radar, json.dumps({"cmd": name})) == expected
    # raw UTF-8 in the request and \u escapes decode to the same text
    assert command(radar, json.dumps({"cmd": name}, ensure_ascii=False)) == expected


def test_surrogate_pair_escape_in_cmd_echoes_raw_emoji(radar):
    assert command(radar, '{"cmd":"x\\ud83d\\ude00y"}') == '{"error":"bad spec: unknown cmd: x😀y","ok":false}'


def test_commands_see_previous_effects_in_order(radar):
    expect_ok(feed(radar, "A", deriv(1, fr=0.0004)))
    first = scan(radar, {"A": [deriv(1, fr=0.0004)]})
    assert alerts(radar).raw == first.raw
    expect_ok(feed(radar, "A", deriv(2, fr=0.0005)))
    assert alerts(radar).raw == scan(radar, {"A": [deriv(1, fr=0.0004), deriv(2, fr=0.0005)]}).raw
