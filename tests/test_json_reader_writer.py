"""Reading JSON numbers and strings, and writing doubles and texts in reports,
observed through the radar's behaviour (i64/u64 edges and plain number
syntax: decode vectors; escapes and long numbers: test_hostile_inputs; the
spec text's numbers read like a request's: fuzz/fuzz_spec.cpp)."""

import pytest
from conftest import book, command, derivs, error_response, make_spec, new_radar, run, scan, sig
from hypothesis import given, settings
from hypothesis import strategies as st

READER = new_radar(make_spec(sig("funding_flip", 0.001)))  # failed feeds leave it as it was


def feed_text(ts_literal, oi_literal="1"):
    return (
        '{"cmd":"feed","symbol":"S","event":{"kind":"derivatives","ts":%s,"open_interest":%s,'
        '"funding_rate":0,"mark_price":2}}' % (ts_literal, oi_literal)
    )


@settings(max_examples=400, deadline=None)
@given(
    st.from_regex(r"-?(0|[1-9][0-9]{0,21})(\.[0-9]{1,21})?([eE][-+]?[0-9]{1,2})?", fullmatch=True)
)
def test_decimal_literals_read_to_the_nearest_double(literal):
    # Read as ts, followed by more members: the error names the double read.
    reply = run(READER, feed_text(literal))
    if reply.get("ok"):  # an integer that fits i64
        assert not any(c in literal for c in ".eE")
        return
    error = reply["error"]
    assert error.startswith("parse: invalid ") and error.endswith("`, expected i64"), error
    named = error.split("`")[1]
    if named.isdigit():  # integers beyond i64 but within u64 stay integers
        assert int(named) == int(literal)
    else:  # the rest, integers beyond u64 included, are read as doubles
        assert error.startswith("parse: invalid type: floating point `")
        assert float(named).hex() == float(literal).hex()


# what rounds to the largest double is read, past the halfway point is out of range; the smallest is read
@pytest.mark.parametrize(
    "oi, reply",
    [
        ("1.7976931348623158e308", '{"ok":true}'),
        ("5e-324", '{"ok":true}'),
        (
            "1.7976931348623159e308",
            error_response("parse: number out of range at line 1 column 102"),
        ),
    ],
)
def test_doubles_at_the_ends_of_the_range(radar, oi, reply):
    assert command(radar, feed_text(1, oi)) == reply


def test_limit_up_to_u64_max():
    r = new_radar(
        '{"signals":[["funding_flip",[0.001]]],"threshold":-1,"limit":18446744073709551615}'
    )
    assert [a["symbol"] for a in scan(r, {"A": [], "B": [], "C": []})["alerts"]] == ["A", "B", "C"]


def test_symbols_sort_by_utf8_bytes(radar):
    # (their escapes and writing: test_hostile_inputs)
    # U+FF5E sorts before U+1F600 in UTF-8 (and in code points), after it in UTF-16
    ordered = ["", "BTC", "BTC-PERP", "Z", "btc", "z", "é", "\uff5e", "😀"]
    rep = scan(radar, {s: [] for s in reversed(ordered)})
    assert [a["symbol"] for a in rep["alerts"]] == ordered


@pytest.mark.parametrize(
    "scale, funding, written",
    [
        (0.001, [0.0004, -0.0006], "1.0"),  # raw 1.2 clamps to 1
        (5, [0.0004, 0.0005], "0.0001"),
        (50, [0.0004, 0.0005], "0.00001"),
        (100000, [0.0004, 0.0005], "1e-8"),  # 5e-9 is half a step: rounds away from zero
        (500000, [0.0004, 0.0005], "0.0"),  # 1e-9 rounds to 0
        (10000000, [1.0, 1.5], "1.5e-7"),
        (0.00075, [0.0004, 0.0005], "0.66666667"),
    ],
)
def test_factor_and_severity_forms(scale, funding, written):
    rep = scan(
        new_radar(make_spec(sig("funding_flip", scale), threshold=-1)), {"S": derivs(fr=funding)}
    )
    assert rep.raw == (
        '{"alerts":[{"symbol":"S","severity":%s,"factors":{"funding_flip(%s)":%s,"severity":%s},'
        '"ts":%d}],"scanned":1}' % (written, scale, written, written, len(funding))
    )


FLIP = derivs(fr=[0.0004, -0.0006])
WEIGHTED = (
    '{"alerts":[{"symbol":"S","severity":%s,"factors":{"book_imbalance(0.5)":%s,'
    '"funding_flip(0.001)":1.0,"severity":%s},"ts":%d}],"scanned":1}'
)


@pytest.mark.parametrize(
    "weight, events, report",
    [
        # weights whose sum overflows: an infinite weighted sum over an infinite weight sum is NaN, which never passes
        (1e308, FLIP + [book(3, 300, 100)], '{"alerts":[],"scanned":1}'),
        # with one factor 0 the weighted sum stays finite: severity 0 passes
        (1e308, FLIP, WEIGHTED % ("0.0", "0.0", "0.0", 2)),
        # weights just small enough not to overflow give the exact mean
        (1e307, FLIP + [book(3, 300, 100)], WEIGHTED % ("1.0", "1.0", "1.0", 3)),
    ],
)
def test_huge_weights(weight, events, report):
    signals = [sig("funding_flip", 0.001, weight=weight), sig("book_imbalance", 0.5, weight=weight)]
    r = new_radar(make_spec(*signals, threshold=-1))
    assert scan(r, {"S": events}).raw == report
    assert run(r, {"cmd": "feed_batch", "symbol": "S", "events": events}).raw == '{"ok":true}'
    assert command(r, '{"cmd":"alerts"}') == report
