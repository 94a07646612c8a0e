"""norsel_radar.history in one process: timelines equal to one radar fed every
event up to each checkpoint (byte for byte), in one partition or several and
on Dask's threaded scheduler; the inputs; bad input; the timeline's tables."""

import contextlib
import gzip
import json
import os
import random
import re

import pytest
from conftest import I64_MAX, I64_MIN, book, deriv, liq, make_spec, reference_reports, sig, typed
from hypothesis import given, settings
from hypothesis import strategies as st
from norsel_radar import sample

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("numpy")

from norsel_radar.history import HistoryError, backtest, convert, read_table  # noqa: E402

SPEC = json.dumps(sample.default_spec())
PLANTED = list(sample.iter_events(10, 300))  # four planted situations, merged by ts


def spec_with(**members):
    return json.dumps(dict(sample.default_spec(), **members))


def by_symbol(rows):
    out = {}
    for symbol, event in rows:
        out.setdefault(symbol, []).append(event)
    return out


def write_jsonl(path, rows, opener=open):
    with opener(path, "wt", encoding="utf-8") as f:
        for symbol, event in rows:
            f.write(json.dumps({"symbol": symbol, "event": event}, ensure_ascii=False) + "\n")
    return str(path)


def assert_exact(timeline, rows, spec_text):
    """Every checkpoint's report is the reference radar's, byte for byte; the
    table rows, transitions and counts follow from the same reports."""
    grid = timeline.grid.tolist()
    expected = reference_reports(rows, spec_text, grid)
    table, transitions, before = [], [], {}
    for checkpoint, text in zip(grid, expected):
        assert timeline.report_text(checkpoint) == text, checkpoint
        now = {}
        for rank, a in enumerate(json.loads(text)["alerts"], 1):
            factors = tuple(a["factors"][k] for k in timeline.labels)
            table.append((checkpoint, rank, a["symbol"], a["severity"], *factors, a["ts"]))
            now[a["symbol"]] = (rank, a["severity"])
        gone = [(checkpoint, s, "cleared", v, None) for s, v in before.items() if s not in now]
        new = [(checkpoint, s, "raised", v, r) for s, (r, v) in now.items() if s not in before]
        transitions += gone + new
        before = {s: v for s, (_, v) in now.items()}
    assert [tuple(r.values()) for r in timeline.alerts.to_pylist()] == table
    assert [tuple(r.values()) for r in timeline.transitions.to_pylist()] == transitions
    scanned = [json.loads(t)["scanned"] for t in expected]
    assert timeline.checkpoints.column("scanned").to_pylist() == scanned


def same_timeline(a, b):
    assert a.grid.tolist() == b.grid.tolist()
    for table in ("alerts", "transitions", "checkpoints"):
        assert getattr(a, table).equals(getattr(b, table)), table


def tie_stream(t0):
    """A stream whose severity is the same for every symbol given it."""
    out = []
    for i in range(12):
        out.append(deriv(t0 + 10 * i, oi=100 + 3 * (i % 4), fr=0.0004 * (-1) ** i, mp=50 - i))
        out += [book(t0 + 10 * i + 3, 300 + i, 100), liq(t0 + 10 * i + 6, 50 + i)]
    return out


def adversarial_rows():
    """Ties in severity under many names (ASCII, non-ASCII, quotes, control
    characters), symbols that start late or end early, one with only order
    books, one with only liquidations, equal timestamps."""
    rows = []
    for name in ["A", "M-PERP", "Z", "a", "é-PERP", "ß", "日本-PERP", "😀", 'q"u\\o', "\x01x"]:
        rows += [(name, e) for e in tie_stream(1000)]
    rows += [("LATE", e) for e in tie_stream(1075)] + [("EARLY", e) for e in tie_stream(900)[:6]]
    rows += [("BOOK", book(1000 + 7 * i, 100 + 50 * i, 120)) for i in range(15)]
    rows += [("LIQ", liq(1010 + 9 * i, 30 * i)) for i in range(12)]
    rows += [("SAME", deriv(1050, oi=100 + i, fr=0.001 * i)) for i in range(5)]
    random.Random(3).shuffle(rows)
    rows.sort(key=lambda r: r[1]["ts"])  # each symbol in order again, stably
    return rows


ADVERSARIAL = adversarial_rows()
# Symbols whose events all come after the last checkpoint (partitions that
# never see an event), and others that start after the first checkpoints.
LATE = [("B", e) for e in tie_stream(0)] + [("C", e) for e in tie_stream(60)]
LATE += [("Y", e) for e in tie_stream(10_000)] + [("Z", e) for e in tie_stream(20_000)]
EXTREME = [(s, deriv(ts, oi=oi, fr=fr)) for s, ts, oi, fr in [
    ("LOW", I64_MIN, 100, 0.0004), ("LOW", I64_MIN + 1, 110, -0.0006), ("MID", -1, 100, 0.0004),
    ("MID", 0, 120, -0.0006), ("HIGH", I64_MAX - 1, 100, 0.0004), ("HIGH", I64_MAX, 130, -0.0006),
]]  # fmt: skip
SHORT_WINDOWS = [sig("oi_delta", 1, 0.02), sig("liq_cluster", 2, 100), sig("book_imbalance", 0.5)]
SHORT_WINDOWS += [sig("oi_price_divergence", 1, 0.1), sig("funding_flip", 0.001, weight=2)]
SHORT_WINDOWS = json.dumps(make_spec(*SHORT_WINDOWS, threshold=0.2, limit=4))
FIRST, START = PLANTED[0][1]["ts"], sample.START_TS
# name: (rows, spec, every, options, the checkpoints: (first, last, how many))
CASES = {
    "ties, limit 2": (ADVERSARIAL, spec_with(limit=2, threshold=0.1), 25, {}, (900, 1200, 13)),
    "ties, every symbol": (ADVERSARIAL, spec_with(limit=None, threshold=-1), 25, {}, (900, 1200, 13)),
    "ties, limit 3, threshold 0": (ADVERSARIAL, spec_with(limit=3, threshold=0), 25, {}, (900, 1200, 13)),
    "ties, short windows": (ADVERSARIAL, SHORT_WINDOWS, 25, {}, (900, 1200, 13)),
    "late symbols": (LATE, spec_with(limit=None, threshold=-1), 10, {"end": 200}, (0, 200, 21)),
    "extreme timestamps": (EXTREME, json.dumps(make_spec(sig("oi_delta", 1, 0.1), sig("funding_flip", 0.001))), 1 << 62, {}, (I64_MIN, I64_MAX, 5)),
    "planted": (PLANTED, spec_with(limit=3, threshold=0.05), "2s", {}, (START + 2000, START + 110_000, 55)),
    "planted, start and end": (PLANTED, SPEC, "1s", {"start": FIRST + 10_500, "end": FIRST + 20_000}, (START + 11_000, START + 20_000, 10)),
    "planted, from before any event": (PLANTED, SPEC, "1m", {"start": "2024-05-31T23:58:00Z"}, (START - 120_000, START + 120_000, 5)),
}  # fmt: skip
HOW = {
    "one": {},
    "2 partitions": {"partitions": 2},
    "3 partitions": {"partitions": 3},
    "40 partitions": {"partitions": 40},  # more than symbols: one per symbol
    "threads": {"scheduler": "threads", "partitions": 4},
    "pieces of 3 rows": {},  # a partition's events written a few rows at a time
}


@pytest.mark.parametrize("how", list(HOW))
@pytest.mark.parametrize("case", list(CASES))
def test_timelines_equal_one_radar(tmp_path, monkeypatch, case, how):
    rows, spec, every, options, (first, last, count) = CASES[case]
    if how == "threads":
        pytest.importorskip("dask")
    if how == "pieces of 3 rows":
        from norsel_radar.history import engine

        monkeypatch.setattr(engine, "ROWS_PER_PIECE", 3)
    source = write_jsonl(tmp_path / "ev.jsonl", rows) if how != "one" else by_symbol(rows)
    timeline = backtest(source, spec, every, **options, **HOW[how])
    grid = timeline.grid.tolist()
    assert (grid[0], grid[-1], len(grid)) == (first, last, count)
    assert_exact(timeline, rows, spec)


def test_out_of_order_events_are_sorted_and_reported(tmp_path):
    rows = [("BTC", deriv(t, oi=100 + t, fr=0.0004 * (-1) ** t)) for t in range(1, 30)]
    rows += [("ETH", liq(t, 10 * t)) for t in range(1, 30)]
    shuffled = rows[:10] + [rows[12], rows[10], rows[11]] + rows[13:40] + [rows[45], rows[40]]
    shuffled += rows[41:45] + rows[46:]
    path = write_jsonl(tmp_path / "ev.jsonl", shuffled)
    spec = json.dumps(make_spec(sig("oi_delta", 2, 0.1), sig("liq_cluster", 3, 100), threshold=-1))
    for partitions in (1, 2):
        timeline = backtest(path, spec, 5, partitions=partitions)
        late = timeline.out_of_order  # BTC: 11 and 12 after 13; ETH: 12 to 16 after 17
        first = (late.first, late.symbol, late.ts, late.previous)
        assert late.count == 7 and first == (f"{path}:12", "BTC", 11, 13)
        assert "7 events out of timestamp order" in str(late)
        assert_exact(timeline, shuffled, spec)  # the reference sorts each symbol by ts
    assert backtest(by_symbol(rows), spec, 5).out_of_order is None


# Short windows, so that segments often hold more events than a state keeps.
SIGNALS = st.sampled_from(
    [("oi_delta", (0, 0.1)), ("oi_delta", (1, 0.05)), ("oi_delta", (3, 0.02))]
    + [("oi_delta", (2.7, 0.05)), ("funding_flip", (0.001,)), ("book_imbalance", (0.5,))]
    + [("liq_cluster", (n, s)) for n, s in ((0.5, 100), (2, 100), (4, 250), (1.5, 100))]
    + [("oi_price_divergence", (1, 0.1)), ("oi_price_divergence", (2, 0.05))]
)  # fractional look-backs are truncated
NUMBERS = st.sampled_from([0.0, -0.0, 0.1, 1.0, 47.5, 50.0, 100.0, 105.0, 110.0, 1e-300, 5e-324])
FUNDING = st.sampled_from([0.0004, -0.0006, 0.0, -0.0, 0.0005, 0.1])
EVENTS = st.one_of(
    st.builds(deriv, st.integers(-5, 25), oi=NUMBERS, fr=FUNDING, mp=NUMBERS),
    st.builds(book, st.integers(-5, 25), NUMBERS, NUMBERS),
    st.builds(liq, st.integers(-5, 25), NUMBERS, side=st.sampled_from(["buy", "sell"])),
)


@settings(max_examples=60, deadline=None)
@given(
    signals=st.lists(SIGNALS, min_size=1, max_size=4, unique=True),
    threshold=st.sampled_from([-1, 0.0, 0.3]),
    limit=st.sampled_from([None, 1, 2, 3]),
    rows=st.lists(st.tuples(st.sampled_from("ABé日"), EVENTS), min_size=10, max_size=120),
    every=st.integers(1, 12),
    partitions=st.integers(1, 4),
)
def test_random_replays_equal_one_radar(signals, threshold, limit, rows, every, partitions):
    signals = (sig(k, *p) for k, p in signals)
    spec = json.dumps(make_spec(*signals, threshold=threshold, limit=limit))
    assert_exact(backtest(by_symbol(rows), spec, every, partitions=partitions), rows, spec)


def test_every_input_form_gives_the_same_timeline(tmp_path):
    spec = spec_with(limit=4, threshold=0.1)
    jsonl = write_jsonl(tmp_path / "ev.jsonl", PLANTED)
    one = backtest(jsonl, spec, "3s")
    (tmp_path / "ev.json").write_text(json.dumps(by_symbol(PLANTED)), encoding="utf-8")
    # Parquet sorted by symbol (planned from row-group statistics, a symbol
    # over several row groups) and in time order (from the symbol column).
    convert(jsonl, tmp_path / "s.parquet", row_group_size=200)
    convert(jsonl, tmp_path / "t.parquet", sort=False, row_group_size=200)
    table = read_table(jsonl)
    with pa.ipc.new_file(str(tmp_path / "ev.arrow"), table.schema) as writer:
        writer.write_table(table)
    half = len(PLANTED) // 2  # several files are read in order, as one input
    parts = [write_jsonl(tmp_path / "a.jsonl", PLANTED[:half])]
    parts.append(write_jsonl(tmp_path / "b.jsonl", PLANTED[half:]))
    forms = [str(tmp_path / n) for n in ("ev.json", "s.parquet", "t.parquet", "ev.arrow")]
    forms += [write_jsonl(tmp_path / "ev.jsonl.gz", PLANTED, opener=gzip.open), parts, table]
    forms += [table.to_pandas(), {s: list(map(typed, e)) for s, e in by_symbol(PLANTED).items()}]
    with contextlib.suppress(ImportError):
        from zstandard import ZstdCompressor

        zst = tmp_path / "ev.jsonl.zst"
        zst.write_bytes(ZstdCompressor().compress(open(jsonl, "rb").read()))
        forms.append(str(zst))
    for form in forms:
        for partitions in (None, 3):
            same_timeline(backtest(form, spec, "3s", partitions=partitions), one)


def test_tables_of_other_shapes_are_read():
    # Dictionary-encoded text, int32 ts, int and float32 numbers, extra
    # columns, a kind's columns absent when no row has that kind.
    table = pa.table({
        "venue": ["x", "x", "x"], "symbol": pa.array(["B", "A", "B"]).dictionary_encode(),
        "kind": pa.array(["derivatives"] * 3).dictionary_encode(), "ts": pa.array([1, 2, 3], pa.int32()),
        "open_interest": [100, 110, 121], "funding_rate": pa.array([0.5, -0.5, 0.25], pa.float32()),
        "mark_price": [1.0, 2.0, 3.0],
    })  # fmt: skip
    spec = json.dumps(make_spec(sig("oi_delta", 1, 0.1), sig("funding_flip", 1), threshold=-1))
    rows = [("B", deriv(1, 100, 0.5, 1)), ("A", deriv(2, 110, -0.5, 2))]
    rows.append(("B", deriv(3, 121, 0.25, 3)))
    assert_exact(backtest(table, spec, 1), rows, spec)
    micros = pa.array([1000, 2000, 3999], type=pa.int64()).cast(pa.timestamp("us"))
    timeline = backtest(table.set_column(3, "ts", micros), spec, 1)
    assert timeline.grid.tolist() == [1, 2, 3]  # whole milliseconds, rounded down
    assert [a.ts for a in timeline.report(3).alerts] == [3, 2]


def test_convert_round_trips_and_sorts(tmp_path):
    rows = [
        ("B", deriv(5, oi=0.1, fr=-0.0, mp=5e-324)),
        ("A", book(7, 1e300, 0.0, best_bid=-2.5, best_ask=1e-7)),
        ("B", liq(3, 2.5, side="sell", price=42900.0)),
        ("é", deriv(1, oi=1, fr=2, mp=3)),
    ]
    src = write_jsonl(tmp_path / "in.jsonl", rows)
    done = convert(src, tmp_path / "out.parquet")
    assert done.rows == 4 and done.out_of_order.count == 1
    table = pq.read_table(tmp_path / "out.parquet")
    assert table.column("symbol").to_pylist() == ["A", "B", "B", "é"]
    assert table.column("ts").to_pylist() == [7, 3, 5, 1]
    assert convert(tmp_path / "out.parquet", tmp_path / "back.jsonl.gz").rows == 4
    with gzip.open(tmp_path / "back.jsonl.gz", "rt", encoding="utf-8") as f:
        back = [json.loads(line) for line in f]
    assert [(o["symbol"], o["event"]) for o in back] == [rows[i] for i in (1, 2, 0, 3)]
    assert str(back[2]["event"]["funding_rate"]) == "-0.0"
    convert(src, tmp_path / "kept.parquet", sort=False)  # input order kept on request
    kept = pq.read_table(tmp_path / "kept.parquet")
    assert kept.column("symbol").to_pylist() == ["B", "A", "B", "é"]


# The events are read with orjson and checked apart from the radar: each of
# these must be refused as the radar refuses it, named by its line (blank
# lines count).
BAD_LINES = [
    ('{"symbol":"BTC","event":{"kind":"derivatives"', "parse: EOF while parsing an object"),
    (json.dumps({"symbol": "BTC", "event": {"kind": "derivatives", "ts": 2}}), "parse: missing field `open_interest`"),
    (json.dumps({"symbol": "BTC", "event": dict(deriv(2), ts=2.0)}), "parse: invalid type: floating point `2.0`, expected i64"),
    ('{"symbol":"BTC","event":{"kind":"liquidation","ts":-0,"side":"buy","qty":1,"price":1}}', "parse: invalid type: floating point `-0.0`, expected i64"),
    (json.dumps({"symbol": "BTC", "event": dict(deriv(2), mark_price=None)}), "parse: invalid type: null, expected f64"),
    ('{"symbol":"BTC","event":{"kind":"derivatives","ts":2,"open_interest":1e999,"funding_rate":0,"mark_price":1}}', "parse: number out of range"),
    (json.dumps({"symbol": 7, "event": deriv(2)}), 'expected an object with "symbol"'),
    (json.dumps({"symbol": "BTC", "event": liq(2, 1, side="SELL")}), "parse: unknown variant `SELL`, expected `buy` or `sell`"),
]  # fmt: skip
# The same for table rows: (column, row, value, message), rows counted from 0.
BAD_ROWS = [
    ("mark_price", 1, None, "row 1: parse: invalid type: null, expected f64"),
    ("mark_price", 1, float("nan"), "row 1: mark_price is nan, which JSON cannot carry"),
    ("qty", 2, float("inf"), "row 2: qty is inf, which JSON cannot carry"),
    ("kind", 3, "trade", "row 3: parse: unknown variant `trade`, expected one of"),
    ("side", 2, "up", "row 2: parse: unknown variant `up`, expected `buy` or `sell`"),
    ("ts", 0, None, "row 0: parse: invalid type: null, expected i64"),
    ("symbol", 3, None, "row 3: symbol is null"),
]


def test_a_bad_row_names_its_file_and_place(tmp_path):
    good = json.dumps({"symbol": "BTC", "event": deriv(1)})
    for i, (line, message) in enumerate(BAD_LINES):
        path = tmp_path / f"bad{i}.jsonl"
        path.write_text(f"{good}\n\n{line}\n{good}\n", encoding="utf-8")
        with pytest.raises(HistoryError, match="^" + re.escape(f"{path}:3: {message}")):
            backtest(str(path), SPEC, "1s")
    scan_form = tmp_path / "scan.json"
    scan_form.write_text(json.dumps({"BTC": [deriv(1), {"kind": "derivatives", "ts": 2}]}))
    message = f'{scan_form}: symbol "BTC", event 2: parse: missing field `open_interest`'
    with pytest.raises(HistoryError, match=f"^{re.escape(message)}$"):
        backtest(str(scan_form), SPEC, "1s")
    table = read_table({"BTC": [deriv(1), deriv(2), liq(3, 1.0)], "ETH": [book(1, 1, 2)]})
    for column, row, value, message in BAD_ROWS:
        values = table.column(column).to_pylist()
        values[row] = value
        index = table.schema.get_field_index(column)
        bad = table.set_column(index, column, pa.array(values, table.schema.field(column).type))
        path = tmp_path / f"bad-{column}-{row}.parquet"
        pq.write_table(bad, path)
        for partitions in (None, 2):  # rows counted in the file, not the partition
            with pytest.raises(HistoryError, match="^" + re.escape(f"{path}: {message}")):
                backtest(str(path), SPEC, "1s", partitions=partitions)
    with pytest.raises(HistoryError, match="column ts must hold integer milliseconds"):
        backtest(table.set_column(2, "ts", pa.array([1.5, 2.0, 3.0, 1.0])), SPEC, "1s")


def test_unreadable_inputs_and_bad_arguments(tmp_path):
    cut = tmp_path / "cut.jsonl.gz"
    write_jsonl(cut, [("A", deriv(i)) for i in range(500)], gzip.open)
    cut.write_bytes(cut.read_bytes()[:700])
    (tmp_path / "empty.jsonl").write_text("\n")
    ok = {"A": [deriv(1)]}
    for events, every, options, message in [
        (str(tmp_path / "missing.jsonl"), "1s", {}, "No such file or directory"),
        (str(cut), "1s", {}, str(cut)),
        (str(tmp_path / "empty.jsonl"), "1s", {}, "no events"),
        *((ok, every, {}, "every") for every in ("0s", "-1m", "soon", 0)),
        (ok, 10, {"start": 20, "end": 15}, "is before start"),
        (ok, 10, {"start": 11, "end": 19}, "no checkpoint between 11 and 19"),
        (ok, 10, {"partitions": 0}, "partitions must be at least 1"),
        ({"A": [deriv(0), deriv(10**11)]}, 1, {}, "checkpoints every 1 ms"),
    ]:  # fmt: skip
        with pytest.raises(HistoryError, match=re.escape(message)):
            backtest(events, SPEC, every, **options)
    from norsel_radar.history import parse_duration

    spans = [parse_duration(x) for x in ("250ms", "1.5h", "1d", "1w", "40", 7)]
    assert spans == [250, 5_400_000, 86_400_000, 604_800_000, 40, 7]


def test_timeline_tables_reports_summary_and_files(tmp_path):
    # X is listed from 20 to 30, again from 60 on; Y from 40 to 50.
    spec = json.dumps(make_spec(sig("funding_flip", 0.001), threshold=0.5))
    rows = [("X", 5, 0.0001), ("X", 15, 0.0008), ("X", 35, 0.0001), ("Y", 36, 0.0001)]
    rows += [("Y", 37, -0.0009), ("Y", 55, -0.0001), ("X", 58, -0.0007), ("X", 63, 0.0009)]
    rows = [(s, deriv(ts, fr=fr)) for s, ts, fr in rows]
    timeline = backtest(by_symbol(rows), spec, 10)
    assert timeline.grid.tolist() == [10, 20, 30, 40, 50, 60, 70]
    assert_exact(timeline, rows, spec)
    episodes = [(e.symbol, e.start, e.end, e.checkpoints) for e in timeline.episodes()]
    assert episodes == [("X", 20, 30, 2), ("Y", 40, 50, 2), ("X", 60, 70, 2)]
    x, y = timeline.summary()
    assert (x.symbol, x.checkpoints, x.first, x.last, x.episodes) == ("X", 4, 20, 70, 2)
    assert (y.symbol, y.checkpoints, y.peak) == ("Y", 2, 1.0)
    assert (timeline.events, timeline.symbols) == (8, 2)
    with pytest.raises(KeyError):
        timeline.report(15)
    timeline.write(tmp_path / "t.parquet")
    timeline.write(tmp_path / "t.csv")
    assert pq.read_table(tmp_path / "t.parquet").equals(timeline.alerts)
    header = (tmp_path / "t.csv").read_text().splitlines()[0]
    assert header == '"checkpoint","rank","symbol","severity","funding_flip(0.001)","ts"'
    assert list(timeline.to_pandas().columns)[:4] == ["checkpoint", "rank", "symbol", "severity"]
    quiet = backtest(by_symbol(rows), spec.replace("0.5", "2"), 10)
    assert quiet.alerts.num_rows == 0 and quiet.alerts.column_names == timeline.alerts.column_names
    assert quiet.transitions.num_rows == 0 and quiet.episodes() == [] and quiet.summary() == []
    assert quiet.report_text(70) == '{"alerts":[],"scanned":2}'


def test_failed_writes_leave_no_file(tmp_path, monkeypatch):
    from norsel_radar.history import timeline as module

    def broken(table, path, suffix):  # fails after writing part of the file
        with open(path, "wb") as f:
            f.write(b"PAR1 half a file")
        raise OSError("disk gone")

    monkeypatch.setattr(module, "_write_table", broken)
    with pytest.raises(OSError, match="disk gone"):
        backtest({"A": [deriv(1)]}, SPEC, 10).write(tmp_path / "t.parquet")
    with pytest.raises(HistoryError, match="parquet or .csv"):
        backtest({"A": [deriv(1)]}, SPEC, 10).write(tmp_path / "t.xlsx")
    bad = tmp_path / "bad.jsonl"
    bad.write_text(json.dumps({"symbol": "A", "event": deriv(1)}) + "\n{oops\n")
    with pytest.raises(HistoryError):
        convert(bad, tmp_path / "out.parquet")
    assert os.listdir(tmp_path) == ["bad.jsonl"]
