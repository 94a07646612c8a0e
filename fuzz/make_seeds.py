"""Writes the fuzzers' seed corpora: fuzz/corpus/commands/, spec/ and reading/.

A commands seed is a sequence of requests, one per line (the harness splits
its input on '\\n'); a spec or reading seed is one spec or request text.
Run from anywhere: `python fuzz/make_seeds.py` rewrites the three folders.
"""

import json
import pathlib
import shutil

HERE = pathlib.Path(__file__).resolve().parent


def j(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


DERIV = {
    "kind": "derivatives",
    "ts": 1700000000000,
    "open_interest": 52000.5,
    "funding_rate": 0.0001,
    "mark_price": 43000.25,
}
BOOK = {
    "kind": "orderbook",
    "ts": 1700000000001,
    "bid_volume": 300,
    "ask_volume": 100,
    "best_bid": 42999.5,
    "best_ask": 43000.5,
}
LIQ = {"kind": "liquidation", "ts": 1700000000002, "side": "sell", "qty": 2.5, "price": 42900}
DERIV_A = ["derivatives", 2, 100, 0.0004, 50]
DERIV_B = ["derivatives", 3, 110, -0.0006, 47.5]
BOOK_A = ["orderbook", 4, 300, 200, 1, 2]
LIQ_A = ["liquidation", 5, "buy", 1.5, 42000]

ALL_KINDS = {
    "signals": [
        {"kind": "oi_delta", "params": [1, 0.1]},
        {"kind": "funding_flip", "params": [0.001]},
        {"kind": "book_imbalance", "params": [0.5], "weight": 0.5},
        {"kind": "liq_cluster", "params": [3, 1000]},
        {"kind": "oi_price_divergence", "params": [1, 0.1], "weight": 2},
    ],
    "threshold": 0.1,
    "limit": 2,
    "venues": ["binance", "okx"],
    "symbols": ["BTC"],
}


def cmd(name, **members):
    return j({"cmd": name, **members})


def feed(symbol, event):
    return cmd("feed", symbol=symbol, event=event)


ALERTS = cmd("alerts")

COMMANDS = {
    "version": [cmd("version"), '{"cmd":"version","anything":[1,{"x":null}]}'],
    "feed_objects": [
        feed("BTC", DERIV),
        feed("BTC", BOOK),
        feed("BTC", LIQ),
        feed(
            "BTC", {**DERIV, "ts": 1700000000003, "funding_rate": -0.0002, "open_interest": 60000}
        ),
        ALERTS,
    ],
    "feed_arrays": [
        feed("ETH", DERIV_A),
        feed("ETH", DERIV_B),
        feed("ETH", BOOK_A),
        feed("ETH", LIQ_A),
        ALERTS,
        feed("eth", DERIV_A),
        feed("", LIQ_A),
        ALERTS,
    ],
    "feed_side_forms": [
        feed("S", ["liquidation", 1, {"buy": None}, 1, 1]),
        feed("S", ["liquidation", 2, {"sell": {}}, 1, 1]),
        feed("S", {**LIQ, "side": {"buy": 1}}),
        feed("S", {**LIQ, "side": {"buy": None, "sell": None}}),
        feed("S", {**LIQ, "side": "SELL"}),
        feed("S", {**LIQ, "side": 1}),
        ALERTS,
    ],
    "feed_batch": [
        cmd("feed_batch", symbol="SOL", events=[DERIV_A, DERIV_B, BOOK, LIQ_A, LIQ]),
        ALERTS,
        cmd("feed_batch", symbol="SOL", events=[]),
        ALERTS,
    ],
    "long_series": [
        cmd(
            "feed_batch",
            symbol="L",
            events=[["derivatives", t, 100 + t, (-1) ** t * 0.0001 * t, 50 - t] for t in range(12)]
            + [["liquidation", t, "buy", t, 1] for t in range(10)],
        ),
        ALERTS,
        feed("L", ["derivatives", 99, 1, 1, 1]),
        ALERTS,
        cmd("scan", events={"L": [["liquidation", t, "sell", t * 10, 1] for t in range(9)]}),
    ],
    "feed_batch_bad": [
        feed("BTC", DERIV),
        cmd("feed_batch", symbol="BTC", events=[DERIV_A, DERIV_B, {"kind": "orderbook"}]),
        cmd("feed_batch", symbol="BTC", events={}),
        ALERTS,
    ],
    "scan": [
        cmd(
            "scan",
            events={
                "BTC": [DERIV_A, DERIV_B],
                "ETH": [BOOK_A, LIQ_A, LIQ],
                "BTC-PERP": [DERIV, DERIV],
                "": [],
            },
        ),
        cmd("scan", events={}),
        ALERTS,
    ],
    "scan_bad": [
        cmd("scan", events=[]),
        cmd("scan", events={"A": [DERIV_A], "B": 5}),
        cmd("scan", events={"A": [["orderbook", 1, 2, 3]]}),
        cmd("scan"),
    ],
    "scan_ties": [
        cmd(
            "set_spec", spec={"signals": [{"kind": "book_imbalance", "params": [0.5]}], "limit": 1}
        ),
        cmd(
            "scan", events={"SOL": [BOOK_A], "ETH": [BOOK_A], "BTC": [["orderbook", 1, 1, 1, 1, 1]]}
        ),
    ],
    "set_spec_valid": [
        feed("BTC", DERIV),
        cmd("set_spec", spec=ALL_KINDS),
        ALERTS,
        feed("BTC", DERIV_A),
        feed("BTC", DERIV_B),
        ALERTS,
    ],
    "set_spec_forms": [
        cmd(
            "set_spec",
            spec=[
                ["v"],
                [],
                [["oi_delta", [50, 0.05]], [{"liq_cluster": None}, [2, 10], 0]],
                -1,
                None,
            ],
        ),
        feed("X", DERIV_A),
        ALERTS,
        cmd("set_spec", spec=[[], [], [{"kind": {"funding_flip": None}, "params": [0.7]}]]),
        cmd("set_spec", spec={"signals": [{"kind": "oi_delta", "params": [1e300, 1e-300]}]}),
        feed("X", DERIV_A),
        ALERTS,
    ],
    "set_spec_invalid": [
        feed("BTC", DERIV),
        cmd("set_spec", spec={}),
        cmd("set_spec", spec={"signals": []}),
        cmd("set_spec", spec={"signals": [{"kind": "funding_flip"}]}),
        cmd(
            "set_spec", spec={"signals": [{"kind": "liq_cluster", "params": [1, 2], "weight": -1}]}
        ),
        cmd(
            "set_spec",
            spec={"signals": [["funding_flip", [0.01]], ["funding_flip", [0.010000001], 2]]},
        ),
        cmd("set_spec", spec={"signals": [["funding_flip", [1]]], "limit": 0}),
        cmd("set_spec", spec={"signals": [["funding_flip", [1]]], "limit": 5.0}),
        cmd("set_spec", spec={"signals": [["funding_flip", [1]]], "limit": -3}),
        cmd("set_spec", spec={"signals": [["Funding-Flip", [1]]]}),
        cmd("set_spec", spec={"signals": [[{"funding_flip": 1}, [1]]]}),
        cmd("set_spec", spec={"signals": [[{}, [1]]]}),
        cmd("set_spec", spec=[[], [], [[]]]),
        cmd("set_spec", spec=[[], [], [["funding_flip", [1]]], 0, 1, 2]),
        cmd("set_spec", spec={"signals": [["funding_flip", [1], 1, 2]]}),
        cmd("set_spec", spec='{"signals":[]}'),
        cmd("set_spec"),
        ALERTS,
    ],
    "reset": [
        feed("A", DERIV_A),
        feed("B", LIQ_A),
        ALERTS,
        cmd("reset"),
        ALERTS,
        cmd("reset"),
        feed("A", DERIV_B),
        ALERTS,
    ],
    "dispatch_errors": [
        "{}",
        "[]",
        "5",
        '"feed"',
        '{"cmd":5}',
        '{"cmd":null}',
        '{"cmd":"Feed"}',
        '{"cmd":"SCAN"}',
        '{"cmd":"nope"}',
        '{"cmd":"feed"}',
        '{"cmd":"feed","symbol":7,"event":{}}',
        '{"cmd":"feed","symbol":"BTC"}',
        '{"cmd":"feed","symbol":"BTC","events":[]}',
        '{"cmd":"feed_batch","symbol":"B"}',
        '{"cmd":"feed_batch"}',
        '{"cmd":"alerts","cmd":"version"}',
        '{"cmd":"version","cmd":"nope\\u0000\\n"}',
    ],
    "malformed": [
        "",
        " ",
        "{",
        "[1,]",
        '{"cmd":"version",}',
        '{"cmd":"version"} x',
        '{"cmd":"version"}\t\r ',
        "tru",
        "nul",
        "falsey",
        "01",
        "-",
        "1.",
        "1e",
        "1e999",
        "-1e999",
        '{"cmd" "x"}',
        '{cmd:"x"}',
        '{"cmd":"x" "y":1}',
        '["a" 1]',
        '"\\x"',
        '"abc',
        '"\\u12"',
        '"\\u12G4"',
        '"\x01"',
    ],
    "events_decode": [
        feed("E", {**DERIV, "ts": 5.0}),
        feed("E", {**DERIV, "ts": -5}),
        feed("E", {**DERIV, "ts": 9223372036854775808}),
        feed("E", {**DERIV, "kind": "Derivatives"}),
        feed("E", {"ts": 1, "open_interest": 1, "funding_rate": 1, "mark_price": 1}),
        feed("E", {"kind": 7}),
        feed("E", {"kind": "orderbook", "bid_volume": "x"}),
        feed("E", {**DERIV, "symbol": "X", "venue": "Y", "side": 3}),
        feed("E", ["orderbook", 1, 2, 3]),
        feed("E", ["derivatives", 1, 2, 3, 4, 5]),
        feed("E", []),
        feed("E", None),
        feed("E", "derivatives"),
        ALERTS,
    ],
    "big_numbers": [
        feed("N", {**DERIV, "ts": 9223372036854775807}),
        feed("N", {**DERIV, "ts": -9223372036854775808, "open_interest": 1.7976931348623157e308}),
        feed("N", ["derivatives", 0, 18446744073709551616, -0.0, 1e-320]),
        '{"cmd":"feed","symbol":"N","event":["derivatives",1,-0,1E+2,123456789012345678901234567890]}',
        '{"cmd":"feed","symbol":"N","event":["derivatives",1,0e99999999999,1e-99999999999,2.5e-7]}',
        ALERTS,
    ],
    "strings": [
        '{"cmd":"feed","symbol":"tab\\there \\"q\\" \\\\ \\/ \\b\\f\\n\\r \\u001f \\u00e9 \\ud83d\\ude00",'
        '"event":["liquidation",1,"buy",1,1]}',
        '{"cmd":"feed","symbol":"raw \u00e9 \u20ac \U0001f600","event":["liquidation",1,"buy",1,1]}',
        '{"c\\u006dd":"al\\u0065rts"}',
        '{"cmd":"feed","symbol":"\\ud800","event":[]}',
        '{"cmd":"feed","symbol":"\\udc00x","event":[]}',
        '{"cmd":"feed","symbol":"\\ud800\\u0041","event":[]}',
        '{"cmd":"feed","symbol":"\\ud800x","event":[]}',
        '{"cmd":"bad \\u00ff \\ud83d\\ude00"}',
        ALERTS,
    ],
    "deep_nesting": [
        '{"cmd":"version","x":' + "[" * 126 + "]" * 126 + "}",
        '{"cmd":"version","x":' + "[" * 127 + "]" * 127 + "}",
        "[" * 128 + "]" * 128,
        '{"a":' * 130,
    ],
}

# Bytes that are not UTF-8, kept as they are.
RAW_COMMANDS = {
    "invalid_utf8": b'{"cmd":"feed","symbol":"\xff\xfe\xc3","event":["liquidation",1,"sell",1,1]}\n'
    b'{"cmd":"\xc0\x80"}\n{"cmd":"alerts"}\n\xef\xbb\xbf{"cmd":"version"}\n',
}

SPECS = {
    "minimal": j({"signals": [{"kind": "funding_flip", "params": [0.5]}]}),
    "all_kinds": j(ALL_KINDS),
    "pretty": json.dumps(ALL_KINDS, indent=2),
    "array_three": j(
        [["venue"], ["BTC", ""], [["oi_delta", [20, 0.05]], ["funding_flip", [0.001], 0]]]
    ),
    "array_five": j([[], [], [["liq_cluster", [5, 100], 1.5]], -0.5, None]),
    "array_four": j([[], [], [{"kind": "book_imbalance", "params": [1]}], 1]),
    "kind_object": j(
        {
            "signals": [
                {"kind": {"oi_price_divergence": None}, "params": [12.9, -0.2]},
                [{"funding_flip": None}, [0.7]],
            ]
        }
    ),
    "kind_only": j({"signals": [["funding_flip"]]}),
    "ignored_members": '{"x":[{"y":"\\ud800"},1e999,[[[[]]]]],"Signals":1,"limits":2,'
    '"signals":[{"kind":"funding_flip","params":[1],"other":{}}]}',
    "huge_params": j(
        {
            "signals": [
                {"kind": "oi_delta", "params": [1e300, 1e-300]},
                {"kind": "liq_cluster", "params": [18446744073709551616, 0]},
                {"kind": "funding_flip", "params": [1.8e300], "weight": 1e308},
            ],
            "threshold": -1e308,
            "limit": 18446744073709551615,
        }
    ),
    "empty_object": "{}",
    "empty_array": "[]",
    "string": '"spec"',
    "no_signals_limit0": j({"signals": [], "limit": 0}),
    "duplicate_threshold": '{"signals":[["funding_flip",[1]]],"threshold":1,"threshold":2}',
    "duplicate_kind": '{"signals":[{"kind":"oi_delta","kind":"oi_delta","params":[1,1]}]}',
    "limit_negative": '{"signals":[["funding_flip",[1]]],"limit":-3}',
    "limit_float": '{"signals":[["funding_flip",[1]]],"limit":5.0}',
    "unknown_kind": '{"signals":[{"kind":"OI_DELTA","params":[1,1]}]}',
    "kind_unit": '{"signals":[{"kind":{"funding_flip":1},"params":[1]}]}',
    "kind_two_members": '{"signals":[{"kind":{"funding_flip":null,"oi_delta":null}}]}',
    "signal_array_long": '{"signals":[["funding_flip",[1],1,2]]}',
    "signal_array_empty": '{"signals":[[]]}',
    "spec_array_long": '[[],[],[["funding_flip",[1]]],0,1,2]',
    "spec_array_comma": '[[],[],[["funding_flip",[1]]],0,1,]',
    "trailing": '{"signals":[["funding_flip",[1]]]} x',
    "threshold_string": '{"signals":[["funding_flip",[1]]],"threshold":"0.5"}',
    "threshold_overflow": '{"signals":[["funding_flip",[1]]],"threshold":1e999}',
    "bad_weight": '{"signals":[["liq_cluster",[1,1],-1],["oi_delta",[1]]]}',
    "multiline_error": '{\n  "signals": [\n    ["funding_flip", [1]],\n    ["oi_delta", [1, 2], 1,]\n  ]\n}',
    "deep": '{"signals":[["funding_flip",[1]]],"x":' + "[" * 127 + "]" * 127 + "}",
    "too_deep": '{"signals":' + "[" * 128 + "]" * 128 + "}",
    "eof": '{"signals":[["funding_flip",[1',
}


def scan_of(lists):
    return j({"cmd": "scan", "events": lists})


MANY = {f"S{i}": [DERIV, BOOK, LIQ, DERIV_A, BOOK_A][: 1 + i % 5] for i in range(40)}

# One request each, read by fuzz_reading both plainly and by pieces.
READING = {
    "scan_many": scan_of(MANY),
    "scan_spaced": json.dumps({"cmd": "scan", "events": MANY}, indent=1),
    "scan_decoy_keys": scan_of({f"S{i}],": [BOOK] for i in range(30)}),
    "scan_lists_in_events": scan_of(
        {f"S{i}": [dict(LIQ, y={"a": [1], "b": [[2]]})] * 3 for i in range(30)}
    ),
    "scan_repeated": scan_of(MANY)[:-2] + ',"S0":[' + j(LIQ) + "]}}",
    "scan_escaped_key": scan_of({"S\u0041" if i == 20 else f"S{i}": [DERIV] for i in range(30)}),
    "scan_not_a_list": scan_of(dict(MANY, S7={"kind": "x"})),
    "scan_bad_event": scan_of(dict(MANY, S30=[DERIV, {"kind": "orderbook", "ts": 1}])),
    "scan_broken": scan_of(MANY)[:900] + "]" + scan_of(MANY)[900:],
    "scan_empty": '{"cmd":"scan","events":{}}',
    "feed_batch": j({"cmd": "feed_batch", "symbol": "S", "events": [DERIV, BOOK, LIQ]}),
    "event_forms": '{"cmd":"scan","events":{"A":[["liquidation",1,"buy",1.5,42000],'
    '{"ts":2,"kind":"derivatives","open_interest":1,"funding_rate":0,"mark_price":2}],'
    '"B":[{"kind":"derivatives","ts":1,"ts":2,"open_interest":1,"funding_rate":0,'
    '"mark_price":2}],"C":[{"kind":"orderbook","bid_volume":"x"}],'
    '"D":[{"kind":"derivatives","kind":"x","ts":1}],"E":[7]}}',
    "feed_forms": '{"event":{"side":{"sell":null},"kind":"liquidation","ts":7,"qty":2,"price":1},'
    '"symbol":"S\\u0041","cmd":"feed"}',
}


def write(folder, name, data):
    path = HERE / "corpus" / folder / name
    path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))


def main():
    for folder in ("commands", "spec", "reading"):
        shutil.rmtree(HERE / "corpus" / folder, ignore_errors=True)
        (HERE / "corpus" / folder).mkdir(parents=True)
    for name, lines in COMMANDS.items():
        write("commands", name, "\n".join(lines))
    for name, data in RAW_COMMANDS.items():
        write("commands", name, data)
    for name, text in SPECS.items():
        write("spec", name, text)
    for name, text in READING.items():
        write("reading", name, text)


if __name__ == "__main__":
    main()
