"""norsel_radar.history in one process: backtests against one radar fed
every event up to each checkpoint (byte for byte), partitions run one after
another and on Dask's threaded scheduler, the inputs and their conversion,
bad input and the timeline's tables."""

import gzip
import json
import os
import pathlib
import random
import runpy

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("numpy")

from conftest import (  # noqa: E402
    I64_MAX,
    I64_MIN,
    book,
    deriv,
    liq,
    make_spec,
    reference_reports,
    sig,
    typed,
)
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from norsel_radar import sample  # noqa: E402
from norsel_radar.history import (  # noqa: E402
    HistoryError,
    backtest,
    convert,
    parse_duration,
    read_table,
)

SPEC = sample.default_spec()
SPEC_TEXT = json.dumps(SPEC)


def spec_with(**members):
    return json.dumps(dict(SPEC, **members))


def assert_exact(timeline, rows, spec_text):
    """Every checkpoint's report is the reference radar's, byte for byte; the
    table rows and the transitions follow from the same reports."""
    grid = timeline.grid.tolist()
    expected = reference_reports(rows, spec_text, grid)
    labels = list(timeline.labels)
    table = []
    transitions = []
    before = {}
    for checkpoint, text in zip(grid, expected):
        assert timeline.report_text(checkpoint) == text, checkpoint
        report = json.loads(text)
        now = {}
        for rank, a in enumerate(report["alerts"], 1):
            table.append(
                (checkpoint, rank, a["symbol"], a["severity"])
                + tuple(a["factors"][k] for k in labels)
                + (a["ts"],)
            )
            now[a["symbol"]] = (rank, a["severity"])
        transitions += [
            (checkpoint, s, "cleared", sev, None) for s, sev in before.items() if s not in now
        ]
        transitions += [
            (checkpoint, s, "raised", sev, rank)
            for s, (rank, sev) in now.items()
            if s not in before
        ]
        before = {s: sev for s, (_, sev) in now.items()}
    assert [tuple(r.values()) for r in timeline.alerts.to_pylist()] == table
    assert [tuple(r.values()) for r in timeline.transitions.to_pylist()] == transitions
    scanned = [json.loads(t)["scanned"] for t in expected]
    assert timeline.checkpoints.column("scanned").to_pylist() == scanned


def same_timeline(a, b):
    assert a.grid.tolist() == b.grid.tolist()
    assert a.alerts.equals(b.alerts)
    assert a.transitions.equals(b.transitions)
    assert a.checkpoints.equals(b.checkpoints)


def write_jsonl(path, rows, opener=open):
    with opener(path, "wt", encoding="utf-8") as f:
        for symbol, event in rows:
            f.write(json.dumps({"symbol": symbol, "event": event}, ensure_ascii=False) + "\n")
    return str(path)


# --------------------------------------------------------------------------
# data


@pytest.fixture(scope="module")
def planted():
    """The sample generator's events (four planted situations), merged by ts."""
    return list(sample.iter_events(10, 300))


def tie_stream(t0):
    """A stream whose severity is the same for every symbol given it."""
    out = []
    for i in range(12):
        out.append(deriv(t0 + 10 * i, oi=100 + 3 * (i % 4), fr=0.0004 * (-1) ** i, mp=50 - i))
        out.append(book(t0 + 10 * i + 3, 300 + i, 100))
        out.append(liq(t0 + 10 * i + 6, 50 + i))
    return out


def adversarial_rows():
    """Ties in severity under many names (ASCII, non-ASCII, quotes, control
    characters), symbols that start late or end early, a symbol with only
    order books, one with only liquidations, equal timestamps."""
    names = ["A", "M-PERP", "Z", "a", "é-PERP", "ß", "日本-PERP", "😀", 'q"u\\o', "\x01x"]
    rows = []
    for name in names:
        rows += [(name, e) for e in tie_stream(1000)]
    rows += [("LATE", e) for e in tie_stream(1075)]
    rows += [("EARLY", e) for e in tie_stream(900)[:6]]
    rows += [("BOOK", book(1000 + 7 * i, 100 + 50 * i, 120)) for i in range(15)]
    rows += [("LIQ", liq(1010 + 9 * i, 30 * i)) for i in range(12)]
    rows += [("SAME", deriv(1050, oi=100 + i, fr=0.001 * i)) for i in range(5)]
    random.Random(3).shuffle(rows)
    # Within a symbol the shuffle broke the order; put it back (stable by ts),
    # except for one symbol kept out of order on purpose elsewhere.
    rows.sort(key=lambda r: r[1]["ts"])
    return rows


ADVERSARIAL_SPECS = {
    "limit 2": spec_with(limit=2, threshold=0.1),
    "every symbol": spec_with(limit=None, threshold=-1),
    "limit 3, threshold 0": spec_with(limit=3, threshold=0),
    "short windows": json.dumps(
        make_spec(
            sig("oi_delta", 1, 0.02),
            sig("liq_cluster", 2, 100),
            sig("oi_price_divergence", 1, 0.1),
            sig("funding_flip", 0.001, weight=2),
            sig("book_imbalance", 0.5),
            threshold=0.2,
            limit=4,
        )
    ),
}


# --------------------------------------------------------------------------
# exactness


def test_planted_sample_in_one_process(planted):
    timeline = backtest(_mapping(planted), SPEC_TEXT, "5s")
    assert_exact(timeline, planted, SPEC_TEXT)
    assert timeline.events == len(planted) and timeline.fed < timeline.events
    found = {e.symbol for e in timeline.episodes()}
    assert set(sample.PLANTED) <= found


def _mapping(rows):
    out = {}
    for symbol, event in rows:
        out.setdefault(symbol, []).append(event)
    return out


@pytest.mark.parametrize("name", list(ADVERSARIAL_SPECS))
@pytest.mark.parametrize(
    "how",
    [
        {},
        {"partitions": 2},
        {"partitions": 3},
        {"partitions": 40},  # more than symbols: one per symbol
        {"scheduler": "threads", "partitions": 4},
    ],
    ids=["one", "2 partitions", "3 partitions", "40 partitions", "threads"],
)
def test_adversarial_cases_equal_one_radar(tmp_path, name, how):
    if how.get("scheduler") == "threads":
        pytest.importorskip("dask")
    rows = adversarial_rows()
    spec = ADVERSARIAL_SPECS[name]
    path = write_jsonl(tmp_path / "ev.jsonl", rows)
    timeline = backtest(path, spec, 25, **how)
    assert_exact(timeline, rows, spec)


def test_events_written_in_small_pieces(monkeypatch):
    # The texts of a kind are written a few rows at a time for large
    # partitions; here three rows at a time.
    from norsel_radar.history import engine

    monkeypatch.setattr(engine, "ROWS_PER_PIECE", 3)
    rows = adversarial_rows()
    spec = ADVERSARIAL_SPECS["short windows"]
    assert_exact(backtest(_mapping(rows), spec, 25), rows, spec)


def test_the_same_timeline_wherever_it_runs(tmp_path, planted):
    path = write_jsonl(tmp_path / "ev.jsonl", planted)
    spec = spec_with(limit=3, threshold=0.05)
    one = backtest(path, spec, "2s")
    for how in ({"partitions": 2}, {"partitions": 5}):
        same_timeline(backtest(path, spec, "2s", **how), one)
    if _has("dask"):
        same_timeline(backtest(path, spec, "2s", scheduler="threads"), one)


def _has(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def test_empty_partitions_and_symbols_without_events_yet(tmp_path):
    # Symbols whose events all come after the last checkpoint form partitions
    # of their own that never see an event; others start after the first
    # checkpoints.
    rows = [("B", e) for e in tie_stream(0)]
    rows += [("C", e) for e in tie_stream(60)]
    rows += [("Y", e) for e in tie_stream(10_000)] + [("Z", e) for e in tie_stream(20_000)]
    spec = spec_with(limit=None, threshold=-1)
    for partitions in (1, 2, 4):
        timeline = backtest(_mapping(rows), spec, 10, end=200, partitions=partitions)
        assert timeline.grid.tolist() == list(range(0, 201, 10))
        assert_exact(timeline, rows, spec)
        assert timeline.report(0).scanned == 1  # only B's first event so far
        assert timeline.report(200).scanned == 2


def test_start_and_end_bound_the_checkpoints(planted):
    first = planted[0][1]["ts"]
    timeline = backtest(
        _mapping(planted), SPEC_TEXT, "1s", start=first + 10_500, end=first + 20_000
    )
    grid = timeline.grid.tolist()
    assert grid[0] % 1000 == 0 and grid[0] >= first + 10_500 and grid[-1] <= first + 20_000
    assert_exact(timeline, planted, SPEC_TEXT)
    # Before any event: empty lists; the run from an ISO text.
    early = backtest(_mapping(planted), SPEC_TEXT, "1m", start="2024-05-31T23:58:00Z")
    assert early.grid[0] == sample.START_TS - 120_000
    assert early.report(int(early.grid[0])).scanned == 0


def test_extreme_timestamps():
    rows = [
        ("LOW", deriv(I64_MIN, oi=100, fr=0.0004)),
        ("LOW", deriv(I64_MIN + 1, oi=110, fr=-0.0006)),
        ("MID", deriv(-1, oi=100, fr=0.0004)),
        ("MID", deriv(0, oi=120, fr=-0.0006)),
        ("HIGH", deriv(I64_MAX - 1, oi=100, fr=0.0004)),
        ("HIGH", deriv(I64_MAX, oi=130, fr=-0.0006)),
    ]
    spec = json.dumps(make_spec(sig("oi_delta", 1, 0.1), sig("funding_flip", 0.001)))
    timeline = backtest(_mapping(rows), spec, 1 << 62)
    assert timeline.grid.tolist()[0] == I64_MIN and timeline.grid.tolist()[-1] == I64_MAX
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
        late = timeline.out_of_order
        # BTC: 11 and 12 after 13; ETH: 12 to 16 after 17.
        assert late is not None and late.count == 7
        assert late.first == f"{path}:12" and (late.symbol, late.ts, late.previous) == (
            "BTC",
            11,
            13,
        )
        assert "7 events out of timestamp order" in str(late)
        assert_exact(timeline, shuffled, spec)  # the reference sorts each symbol by ts
    assert backtest(_mapping(rows), spec, 5).out_of_order is None


# Small specs whose windows are short, so that segments often hold more
# events than a state keeps.
SIGNALS = st.sampled_from(
    [
        ("oi_delta", (0, 0.1)),
        ("oi_delta", (1, 0.05)),
        ("oi_delta", (3, 0.02)),
        ("oi_delta", (2.7, 0.05)),  # look-backs are truncated
        ("funding_flip", (0.001,)),
        ("book_imbalance", (0.5,)),
        ("liq_cluster", (0.5, 100)),
        ("liq_cluster", (2, 100)),
        ("liq_cluster", (4, 250)),
        ("liq_cluster", (1.5, 100)),
        ("oi_price_divergence", (1, 0.1)),
        ("oi_price_divergence", (2, 0.05)),
    ]
)
NUMBERS = st.sampled_from([0.0, -0.0, 0.1, 1.0, 47.5, 50.0, 100.0, 105.0, 110.0, 1e-300, 5e-324])
FUNDING = st.sampled_from([0.0004, -0.0006, 0.0, -0.0, 0.0005, 0.1])


@st.composite
def events(draw):
    kind = draw(st.sampled_from(["derivatives", "orderbook", "liquidation"]))
    ts = draw(st.integers(-5, 25))
    if kind == "derivatives":
        return deriv(ts, oi=draw(NUMBERS), fr=draw(FUNDING), mp=draw(NUMBERS))
    if kind == "orderbook":
        return book(ts, draw(NUMBERS), draw(NUMBERS))
    return liq(ts, draw(NUMBERS), side=draw(st.sampled_from(["buy", "sell"])))


@settings(max_examples=60, deadline=None)
@given(
    signals=st.lists(SIGNALS, min_size=1, max_size=4, unique=True),
    threshold=st.sampled_from([-1, 0.0, 0.3]),
    limit=st.sampled_from([None, 1, 2, 3]),
    rows=st.lists(
        st.tuples(st.sampled_from(["A", "B", "é", "日"]), events()), min_size=10, max_size=120
    ),
    every=st.integers(1, 12),
    partitions=st.integers(1, 4),
)
def test_random_replays_equal_one_radar(signals, threshold, limit, rows, every, partitions):
    if not rows:
        return
    spec = json.dumps(
        make_spec(*(sig(k, *p) for k, p in signals), threshold=threshold, limit=limit)
    )
    timeline = backtest(_mapping(rows), spec, every, partitions=partitions)
    assert_exact(timeline, rows, spec)


# --------------------------------------------------------------------------
# inputs


def test_every_input_form_gives_the_same_timeline(tmp_path, planted):
    spec = spec_with(limit=4, threshold=0.1)
    jsonl = write_jsonl(tmp_path / "ev.jsonl", planted)
    one = backtest(jsonl, spec, "3s")
    gz = write_jsonl(tmp_path / "ev.jsonl.gz", planted, opener=gzip.open)
    scan_form = tmp_path / "ev.json"
    scan_form.write_text(json.dumps(_mapping(planted)), encoding="utf-8")
    parquet = tmp_path / "ev.parquet"
    convert(jsonl, parquet)
    table = read_table(jsonl)
    arrow = tmp_path / "ev.arrow"
    with pa.OSFile(str(arrow), "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)
    forms = [gz, str(scan_form), str(parquet), str(arrow), table, table.to_pandas()]
    typed_events = {s: [typed(e) for e in evs] for s, evs in _mapping(planted).items()}
    forms.append(typed_events)
    zstandard = _has("zstandard") and __import__("zstandard")
    if zstandard:
        zst = tmp_path / "ev.jsonl.zst"
        zst.write_bytes(zstandard.ZstdCompressor().compress(open(jsonl, "rb").read()))
        forms.append(str(zst))
    for form in forms:
        same_timeline(backtest(form, spec, "3s"), one)
    # Several files are read in order, as one input.
    half = len(planted) // 2
    a = write_jsonl(tmp_path / "a.jsonl", planted[:half])
    b = write_jsonl(tmp_path / "b.jsonl", planted[half:])
    same_timeline(backtest([a, b], spec, "3s"), one)


def test_tables_of_other_shapes_are_read():
    # Dictionary-encoded text, int32 ts, float32 numbers, extra columns, a
    # kind's columns absent when no row has that kind; ts as timestamps.
    table = pa.table(
        {
            "venue": ["x", "x", "x"],
            "symbol": pa.array(["B", "A", "B"]).dictionary_encode(),
            "kind": pa.array(["derivatives"] * 3).dictionary_encode(),
            "ts": pa.array([1, 2, 3], type=pa.int32()),
            "open_interest": pa.array([100, 110, 121], type=pa.int64()),
            "funding_rate": pa.array([0.5, -0.5, 0.25], type=pa.float32()),
            "mark_price": [1.0, 2.0, 3.0],
        }
    )
    spec = json.dumps(make_spec(sig("oi_delta", 1, 0.1), sig("funding_flip", 1), threshold=-1))
    rows = [
        ("B", deriv(1, oi=100, fr=0.5, mp=1)),
        ("A", deriv(2, oi=110, fr=-0.5, mp=2)),
        ("B", deriv(3, oi=121, fr=0.25, mp=3)),
    ]
    assert_exact(backtest(table, spec, 1), rows, spec)
    stamped = table.set_column(
        3, "ts", pa.array([1000, 2000, 3999], type=pa.int64()).cast(pa.timestamp("us"))
    )
    timeline = backtest(stamped, spec, 1)
    assert timeline.grid.tolist() == [1, 2, 3]  # microseconds read as whole milliseconds, down
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
    assert done.rows == 4 and done.out_of_order is not None and done.out_of_order.count == 1
    table = pq.read_table(tmp_path / "out.parquet")
    assert table.column("symbol").to_pylist() == ["A", "B", "B", "é"]
    assert table.column("ts").to_pylist() == [7, 3, 5, 1]
    assert convert(tmp_path / "out.parquet", tmp_path / "back.jsonl.gz").rows == 4
    with gzip.open(tmp_path / "back.jsonl.gz", "rt", encoding="utf-8") as f:
        back = [json.loads(line) for line in f]
    assert [(o["symbol"], o["event"]) for o in back] == sorted(
        rows, key=lambda r: (r[0], r[1]["ts"])
    )
    assert str(back[2]["event"]["funding_rate"]) == "-0.0"
    # Input order kept on request.
    convert(src, tmp_path / "kept.parquet", sort=False)
    assert pq.read_table(tmp_path / "kept.parquet").column("symbol").to_pylist() == [
        "B",
        "A",
        "B",
        "é",
    ]


# --------------------------------------------------------------------------
# bad input


def test_bad_json_lines_name_the_line_and_the_radar_message(tmp_path):
    good = json.dumps({"symbol": "BTC", "event": deriv(1)})
    cases = [
        ('{"symbol":"BTC","event":{"kind":"derivatives"', "parse: EOF while parsing an object"),
        (json.dumps({"symbol": "BTC", "event": {"kind": "derivatives", "ts": 2}}),
         "parse: missing field `open_interest`"),
        (json.dumps({"symbol": "BTC", "event": dict(deriv(2), ts=2.0)}),
         "parse: invalid type: floating point `2.0`, expected i64"),
        ('{"symbol":"BTC","event":{"kind":"liquidation","ts":-0,"side":"buy","qty":1,"price":1}}',
         "parse: invalid type: floating point `-0.0`, expected i64"),
        (json.dumps({"symbol": "BTC", "event": dict(deriv(2), mark_price=None)}),
         "parse: invalid type: null, expected f64"),
        ('{"symbol":"BTC","event":{"kind":"derivatives","ts":2,"open_interest":1e999,'
         '"funding_rate":0,"mark_price":1}}', "parse: number out of range"),
        (json.dumps({"symbol": 7, "event": deriv(2)}), 'expected an object with "symbol"'),
        (json.dumps({"symbol": "BTC", "event": liq(2, 1, side="SELL")}),
         "parse: unknown variant `SELL`, expected `buy` or `sell`"),
    ]  # fmt: skip
    for i, (line, message) in enumerate(cases):
        path = tmp_path / f"bad{i}.jsonl"
        path.write_text(f"{good}\n\n{line}\n{good}\n", encoding="utf-8")
        with pytest.raises(HistoryError) as exc:
            backtest(str(path), SPEC_TEXT, "1s")
        assert str(exc.value).startswith(f"{path}:3: {message}"), str(exc.value)


def test_bad_rows_of_other_inputs(tmp_path):
    scan_form = tmp_path / "scan.json"
    scan_form.write_text(json.dumps({"BTC": [deriv(1), {"kind": "derivatives", "ts": 2}]}))
    with pytest.raises(HistoryError) as exc:
        backtest(str(scan_form), SPEC_TEXT, "1s")
    assert (
        str(exc.value)
        == f'{scan_form}: symbol "BTC", event 2: parse: missing field `open_interest`'
    )
    table = read_table({"BTC": [deriv(1), deriv(2), liq(3, 1.0)], "ETH": [book(1, 1, 2)]})
    cases = [
        ("mark_price", 1, None, "row 1: parse: invalid type: null, expected f64"),
        ("mark_price", 1, float("nan"), "row 1: mark_price is nan, which JSON cannot carry"),
        ("qty", 2, float("inf"), "row 2: qty is inf, which JSON cannot carry"),
        ("kind", 3, "trade", "row 3: parse: unknown variant `trade`, expected one of"),
        ("side", 2, "up", "row 2: parse: unknown variant `up`, expected `buy` or `sell`"),
        ("ts", 0, None, "row 0: parse: invalid type: null, expected i64"),
        ("symbol", 3, None, "row 3: symbol is null"),
    ]
    for column, row, value, message in cases:
        values = table.column(column).to_pylist()
        values[row] = value
        bad = table.set_column(
            table.schema.get_field_index(column),
            column,
            pa.array(values, table.schema.field(column).type),
        )
        path = tmp_path / f"bad-{column}-{row}.parquet"
        pq.write_table(bad, path)
        for how in ({}, {"partitions": 2}):
            with pytest.raises(HistoryError) as exc:
                backtest(str(path), SPEC_TEXT, "1s", **how)
            assert str(exc.value).startswith(f"{path}: {message}"), str(exc.value)
    wrong = table.set_column(2, "ts", pa.array([1.5, 2.0, 3.0, 1.0]))
    with pytest.raises(HistoryError, match="column ts must hold integer milliseconds"):
        backtest(wrong, SPEC_TEXT, "1s")


def test_unreadable_inputs_and_bad_arguments(tmp_path):
    with pytest.raises(HistoryError, match="No such file or directory"):
        backtest(str(tmp_path / "missing.jsonl"), SPEC_TEXT, "1s")
    truncated = tmp_path / "cut.jsonl.gz"
    data = gzip.compress(
        b"".join(
            json.dumps({"symbol": "A", "event": deriv(i)}).encode() + b"\n" for i in range(500)
        )
    )
    truncated.write_bytes(data[: len(data) // 2])
    with pytest.raises(HistoryError, match=str(truncated)):
        backtest(str(truncated), SPEC_TEXT, "1s")
    empty = tmp_path / "empty.jsonl"
    empty.write_text("\n")
    with pytest.raises(HistoryError, match="no events"):
        backtest(str(empty), SPEC_TEXT, "1s")
    ok = {"A": [deriv(1)]}
    for every in ("0s", "-1m", "soon", 0):
        with pytest.raises(HistoryError, match="every"):
            backtest(ok, SPEC_TEXT, every)
    with pytest.raises(HistoryError, match="is before start"):
        backtest(ok, SPEC_TEXT, 10, start=20, end=15)
    with pytest.raises(HistoryError, match="no checkpoint between 11 and 19"):
        backtest(ok, SPEC_TEXT, 10, start=11, end=19)
    with pytest.raises(HistoryError, match="partitions must be at least 1"):
        backtest(ok, SPEC_TEXT, 10, partitions=0)
    with pytest.raises(HistoryError, match="checkpoints every 1 ms"):
        backtest({"A": [deriv(0), deriv(10**11)]}, SPEC_TEXT, 1)
    assert [parse_duration(x) for x in ("250ms", "30s", "1m", "1.5h", "1d", "1w", "40", 7)] == [
        250,
        30_000,
        60_000,
        5_400_000,
        86_400_000,
        604_800_000,
        40,
        7,
    ]


# --------------------------------------------------------------------------
# the timeline


def test_timeline_tables_reports_summary_and_files(tmp_path):
    # X is listed from 20 to 30, again from 60 on; Y from 40 to 50.
    spec = json.dumps(make_spec(sig("funding_flip", 0.001), threshold=0.5))
    rows = [
        ("X", deriv(5, fr=0.0001)),
        ("X", deriv(15, fr=0.0008)),
        ("X", deriv(35, fr=0.0001)),
        ("Y", deriv(36, fr=0.0001)),
        ("Y", deriv(37, fr=-0.0009)),
        ("Y", deriv(55, fr=-0.0001)),
        ("X", deriv(58, fr=-0.0007)),
        ("X", deriv(63, fr=0.0009)),
    ]
    timeline = backtest(_mapping(rows), spec, 10)
    assert timeline.grid.tolist() == [10, 20, 30, 40, 50, 60, 70]
    assert_exact(timeline, rows, spec)
    episodes = [(e.symbol, e.start, e.end, e.checkpoints) for e in timeline.episodes()]
    assert episodes == [("X", 20, 30, 2), ("Y", 40, 50, 2), ("X", 60, 70, 2)]
    (x, y) = timeline.summary()
    assert (x.symbol, x.checkpoints, x.first, x.last, x.episodes) == ("X", 4, 20, 70, 2)
    assert (y.symbol, y.checkpoints, y.peak) == ("Y", 2, 1.0)
    assert timeline.events == 8 and timeline.symbols == 2
    with pytest.raises(KeyError):
        timeline.report(15)
    for name in ("t.parquet", "t.csv"):
        timeline.write(tmp_path / name)
    assert pq.read_table(tmp_path / "t.parquet").equals(timeline.alerts)
    header = (tmp_path / "t.csv").read_text().splitlines()[0]
    assert header == '"checkpoint","rank","symbol","severity","funding_flip(0.001)","ts"'
    with pytest.raises(HistoryError, match="parquet or .csv"):
        timeline.write(tmp_path / "t.xlsx")
    assert sorted(os.listdir(tmp_path)) == ["t.csv", "t.parquet"]
    assert list(timeline.to_pandas().columns)[:4] == ["checkpoint", "rank", "symbol", "severity"]
    quiet = backtest(
        _mapping(rows), json.dumps(make_spec(sig("funding_flip", 0.001), threshold=2)), 10
    )
    assert quiet.alerts.num_rows == 0 and quiet.alerts.column_names == timeline.alerts.column_names
    assert quiet.transitions.num_rows == 0 and quiet.episodes() == [] and quiet.summary() == []
    assert quiet.report_text(70) == '{"alerts":[],"scanned":2}'


def test_failed_writes_leave_no_file(tmp_path):
    timeline = backtest({"A": [deriv(1)]}, SPEC_TEXT, 10)

    class Boom(Exception):
        pass

    from norsel_radar.history import timeline as module

    def broken(table, path, suffix):
        with open(path, "wb") as f:
            f.write(b"PAR1 half a file")
        raise Boom

    original = module._write_table
    module._write_table = broken
    try:
        with pytest.raises(Boom):
            timeline.write(tmp_path / "t.parquet")
    finally:
        module._write_table = original
    assert os.listdir(tmp_path) == []
    bad = tmp_path / "bad.jsonl"
    bad.write_text(json.dumps({"symbol": "A", "event": deriv(1)}) + "\n{oops\n")
    with pytest.raises(HistoryError):
        convert(bad, tmp_path / "out.parquet")
    assert sorted(os.listdir(tmp_path)) == ["bad.jsonl"]


def test_the_example_runs(capsys):
    pytest.importorskip("dask")
    example = pathlib.Path(__file__).resolve().parent.parent / "examples" / "history.py"
    runpy.run_path(str(example), run_name="__main__")
    out = capsys.readouterr().out
    assert "threads give the same timeline: True" in out
    assert "split scans merge to the whole scan: True" in out


@pytest.mark.parametrize(
    ("units", "parts", "expected"),
    [
        # per symbol: balanced by events, a symbol never split
        ([("A", "A", 10), ("B", "B", 10), ("C", "C", 10), ("D", "D", 10)], 2, [(None, "C"), ("C", None)]),
        ([("A", "A", 100), ("B", "B", 1), ("C", "C", 1)], 2, [(None, "B"), ("B", None)]),
        ([("A", "A", 1)], 3, [(None, None)]),
        # the same symbol in several files counts once
        ([("B", "B", 5), ("A", "A", 5), ("B", "B", 5)], 2, [(None, "B"), ("B", None)]),
        # row groups of a sorted file; one symbol over two row groups stays whole
        ([("A", "C", 8), ("C", "C", 8), ("D", "F", 8), ("F", "H", 8)], 2, [(None, "D"), ("D", None)]),
        # byte order: "Z" < "a" < "é" < "日"
        ([("é", "é", 1), ("a", "a", 1), ("Z", "Z", 1), ("日", "日", 1)], 4,
         [(None, "a"), ("a", "é"), ("é", "日"), ("日", None)]),
    ],
)  # fmt: skip
def test_symbol_ranges(units, parts, expected):
    from norsel_radar.history.backtest import symbol_ranges

    found = symbol_ranges(units, parts)
    assert [r for r, _ in found] == expected
    assert sum(n for _, n in found) == sum(u[2] for u in units)


def test_parquet_in_time_order_or_by_symbol(tmp_path, planted):
    # Sorted by symbol: planned from the row groups' statistics; in time
    # order: from the symbol column. The same timeline either way.
    import importlib

    plan = importlib.import_module("norsel_radar.history.backtest")
    jsonl = write_jsonl(tmp_path / "ev.jsonl", planted)
    by_symbol, by_time = tmp_path / "s.parquet", tmp_path / "t.parquet"
    convert(jsonl, by_symbol, row_group_size=200)
    convert(jsonl, by_time, sort=False, row_group_size=200)
    units = plan.survey(plan.Source([str(by_symbol)])).units
    assert len(units) == 15 and any(first != last for first, last, _ in units)
    assert all(first == last for first, last, _ in plan.survey(plan.Source([str(by_time)])).units)
    one = backtest(jsonl, SPEC_TEXT, "2s")
    for path in (by_symbol, by_time):
        same_timeline(backtest(str(path), SPEC_TEXT, "2s", partitions=3), one)
