"""norsel-radar serve, server side: what the board holds against the command
line's replay, the token and loopback rules, the read-only surface, one
encoding per update whatever the viewers, a viewer that never reads, and a
clean stop on Ctrl-C."""

import asyncio
import json
import os
import pathlib
import re
import signal
import socket
import threading
import time

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

from clitools import cli, jsonl_lines, radar_report, user_error  # noqa: E402
from norsel_radar import Signal, Spec, sample  # noqa: E402
from webtools import read_event, serve  # noqa: E402

EVENTS = sample.generate_events(12, 120, 7)
HOSTILE = "<img src=x onerror=alert(1)>"
TOKEN = "t0ken-for-the-tests_0123456789"
PATHS = ["/", "/app.js", "/style.css", "/state", "/stream"]
STREAM = b"GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("web")
    (d / "ev.jsonl").write_text("\n".join(jsonl_lines(EVENTS)) + "\n")
    (d / "ev.json").write_text(json.dumps({**EVENTS, HOSTILE: EVENTS["SOL-PERP"]}))
    return d


def ended(state):
    return state["feed"]["state"] == "ended"


def test_board_follows_the_replay_of_the_command_line(files):
    """Unpaced, the dashboard looks at the alerts where `replay` does: the same
    alerts raised and cleared at the same market times, one checkpoint per
    table, and the final rows are the radar's report of the same events."""
    line = cli("replay", files / "ev.jsonl", "--every", "5s")
    assert line.returncode == 0, line.stderr
    expected_log = re.findall(
        r"^(\S+ \S+)  (raised|cleared)\s+(\S+)  (\d\.\d{4})$", line.stdout, re.M
    )
    tables = len(re.findall(r"^at .* UTC, [\d,]+ events:$", line.stdout, re.M))
    assert expected_log and tables

    with serve("--replay", files / "ev.jsonl", "--every", "5s", "--speed", "max") as s:
        state = s.wait_state(ended)
    log = [(e["time"], e["kind"], e["symbol"], f"{e['severity']:.4f}") for e in state["log"][:-1]]
    assert log == expected_log and state["log"][-1]["kind"] == "end"
    assert state["feed"]["checkpoints"] == tables
    assert state["feed"]["events"] == sum(map(len, EVENTS.values()))
    report = json.loads(radar_report(EVENTS))
    labels = [c["label"] for c in state["columns"]]
    assert labels == list(Spec.default().labels)
    assert [(r["symbol"], r["severity"], r["factors"]) for r in state["rows"]] == [
        (a["symbol"], a["severity"], [a["factors"][label] for label in labels])
        for a in report["alerts"]
    ]
    for row in state["rows"]:
        assert len(row["history"]) == tables
        # a symbol is absent from the checkpoints before it was raised
        assert row["history"][0] is None or row["history"][0] >= 0.25


def test_scan_form_is_merged_by_time_and_strings_stay_data(files):
    """The scan form is fed across symbols in time order (not symbol by
    symbol), so market time advances with every symbol; the end is the scan.
    A hostile symbol is data in the state, never in the page."""
    events = json.loads((files / "ev.json").read_text())
    with serve("--replay", files / "ev.json", "--every", "10s", "--speed", "max") as s:
        state = s.wait_state(ended)
        _, headers, body = s.request("GET", "/")
    stamps = sorted(ev["ts"] for evs in events.values() for ev in evs)
    assert state["feed"]["checkpoints"] == (stamps[-1] // 10_000) - (stamps[0] // 10_000)
    report = json.loads(radar_report(events))
    assert [r["symbol"] for r in state["rows"]] == [a["symbol"] for a in report["alerts"]]
    raised = [e for e in state["log"] if e["kind"] == "raised"]
    assert [e["time"] for e in raised] == sorted(e["time"] for e in raised)
    assert HOSTILE in [r["symbol"] for r in state["rows"]] and HOSTILE in [
        e["symbol"] for e in raised
    ]
    assert HOSTILE.encode() not in body  # the page holds no data, only the script
    csp = headers["content-security-policy"]
    assert "script-src 'self'" in csp and "unsafe-inline" not in csp


def test_loop_starts_over_with_a_fresh_radar():
    """The bundled sample is looped by default: each round ends in a restart
    entry and raises its alerts again."""
    with serve("--speed", "max") as s:
        state = s.wait_state(lambda st: sum(e["kind"] == "restart" for e in st["log"]) >= 2)
    assert state["feed"]["source"] == "replay of the bundled sample, as fast as possible, looped"
    rounds = " ".join(e["kind"] for e in state["log"]).split("restart")
    assert all("raised" in part for part in rounds[:2])


def test_live_source_on_a_recorded_exchange_and_ctrl_c_with_viewers():
    """--live through the ccxt adapter, on a ccxt class whose network is a
    recording: the board follows the reports of the live radar. Ctrl-C with
    a viewer reading and one stalled ends every stream and the server."""
    pytest.importorskip("ccxt")
    here = str(pathlib.Path(__file__).resolve().parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([here, os.environ.get("PYTHONPATH", "")])}
    symbols = ["BTC/USDT:USDT", "ETH/USDT:USDT", "SOL/USDT:USDT"]
    factory = ["--exchange-factory", "recorded_ccxt:make_exchange"]
    fast = ["--interval", "0.01", "--every", "0.2s"]
    with serve("--live", "binanceusdm", "--symbols", *symbols, *factory, *fast, env=env) as s:
        state = s.wait_state(lambda st: st["rows"] and st["feed"]["checkpoints"] >= 3)
        conn, resp = s.stream()
        assert read_event(resp)[0] == "state"
        with socket.create_connection((s.host, s.port)) as stalled:
            stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            stalled.sendall(STREAM)
            time.sleep(0.3)
            s.proc.send_signal(signal.SIGINT)
            assert s.proc.wait(timeout=20) == 130
        with pytest.raises(AssertionError, match="the stream ended"):
            while True:
                read_event(resp)
        conn.close()
    assert s.stderr == "norsel-radar: interrupted\n"
    feed = state["feed"]
    assert feed["source"] == "live: binanceusdm " + ", ".join(symbols)
    assert feed["state"] == "running" and feed["events"] > 0 and feed["market"] != "-"
    # the planted open-interest surge of the recording, by the default spec
    assert [r["symbol"] for r in state["rows"]] == ["SOL/USDT:USDT"]
    assert [(e["kind"], e["symbol"]) for e in state["log"]] == [("raised", "SOL/USDT:USDT")]


def test_loopback_names_only_and_a_read_only_surface():
    """Without a token, only loopback names are answered. Only GET and HEAD
    are answered, on every path; nothing else changes the radar."""
    with serve("--speed", "max", "--no-loop") as s:
        before = s.wait_state(ended)
        for host in (f"127.0.0.1:{s.port}", f"localhost:{s.port}", "127.0.0.1", "[::1]:80"):
            status, headers, _ = s.request("GET", "/state", {"Host": host})
            assert (status, headers["referrer-policy"]) == (200, "no-referrer"), host
        for host in ("evil.example", f"evil.example:{s.port}", "10.1.2.3", ""):
            for path in PATHS:
                assert s.request("GET", path, {"Host": host})[0] == 403, (host, path)
        for path in [*PATHS, "/nothing", "/set_spec", "/reset"]:
            for method in ("POST", "PUT", "DELETE", "PATCH", "OPTIONS"):
                status, headers, _ = s.request(method, path, {"Content-Type": "application/json"})
                assert (status, headers["allow"]) == (405, "GET, HEAD"), (method, path)
        assert s.request("GET", "/nothing")[0] == 404
        status, headers, body = s.request("HEAD", "/stream")
        assert status == 200 and body == b""
        assert headers["content-type"].startswith("text/event-stream")
        assert s.state() == before
    # Stopped after the end of its input: nothing but the one line.
    assert s.proc.returncode == 130 and s.stderr == "norsel-radar: interrupted\n"


def test_token_is_checked_on_every_request_and_the_stream():
    from norsel_radar.cli.serve import token_for
    from norsel_radar.web.app import TOKEN_PATTERN

    # one is made up for a server beyond loopback, none needed on it
    for host in ("127.0.0.1", "::1", "localhost"):
        assert token_for(host, None) is None and token_for(host, TOKEN) == TOKEN
    for host in ("0.0.0.0", "192.0.2.7"):
        made = token_for(host, None)
        assert TOKEN_PATTERN.fullmatch(made) and made != token_for(host, None)
    with serve("--speed", "max", "--token", TOKEN) as s:
        assert s.query == f"token={TOKEN}"
        for path in PATHS:
            for bad in ("", "?token=", "?token=wrong-token-0123456789", f"?token={TOKEN}x"):
                assert s.request("GET", path + bad)[0] == 401, path + bad
            assert s.request("GET", path, {"Authorization": "Bearer nope"})[0] == 401
            if path != "/stream":
                assert s.request("GET", f"{path}?token={TOKEN}")[0] == 200
                assert s.request("GET", path, {"Authorization": f"Bearer {TOKEN}"})[0] == 200
        conn, resp = s.stream(f"/stream?token={TOKEN}")
        assert read_event(resp)[0] == "state"
        conn.close()
        page = s.request("GET", f"/?token={TOKEN}")[2].decode()
        # the page's own requests carry the token
        assert f'src="app.js?token={TOKEN}"' in page
        assert f'href="style.css?token={TOKEN}"' in page


def test_user_errors(tmp_path):
    missing = tmp_path / "missing.jsonl"
    for args, message in [
        (["--replay", missing], f"error: {missing}: No such file or directory"),
        (["--replay", "x", "--live", "binance", "--symbols", "X"], "give --replay or --live"),
        (["--token", "short"], "16 to 256"),
        (["--symbols", "BTC"], "--symbols and --exchange-factory go with --live"),
        (["--live", "binanceusdm"], "--live needs --symbols"),
    ]:
        assert message in user_error(cli("serve", *args))
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        message = user_error(cli("serve", "--port", port))
    assert message.startswith(f"norsel-radar: error: cannot listen on 127.0.0.1 port {port}: ")


class InProcess:
    """The dashboard's app and server in a thread of this process, with a board
    written by the test: the hub's counters can be read."""

    def __init__(self, board):
        import uvicorn
        from norsel_radar.web.app import create_app
        from norsel_radar.web.hub import Hub
        from norsel_radar.web.server import _Server

        self.hub = Hub(board, interval=0.0)
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        app = create_app(self.hub)
        config = uvicorn.Config(
            app, lifespan="off", ws="none", log_config=None, timeout_graceful_shutdown=2
        )
        self.server = _Server(config, self.hub)
        self.thread = threading.Thread(target=asyncio.run, args=(self._main(),), daemon=True)
        self.thread.start()
        while not self.server.started:
            time.sleep(0.01)

    async def _main(self):
        self.loop = asyncio.get_running_loop()
        self.hub.start(self.loop)
        await self.server.serve(sockets=[self.sock])

    def call(self, fn):
        """fn() on the server's loop, its result here."""

        async def call():
            return fn()

        return asyncio.run_coroutine_threadsafe(call(), self.loop).result(10)

    def stop(self):
        """As on Ctrl-C (the signal's handler, without the signal)."""
        self.server.should_exit = True
        self.thread.join(30)
        assert not self.thread.is_alive()


def test_a_viewer_that_never_reads_stays_bounded(caplog):
    """A viewer that never reads holds at most one frame waiting and its
    connection's buffer: the frames published meanwhile are not kept for it,
    the radar's writer is never held up, the viewers share one encoding per
    update, and a viewer that reads still gets every state up to the last."""
    from norsel_radar.web.board import AlertRow, Board

    board = Board(Spec([Signal("oi_delta", [20, 0.05])]), "test", rows=400, history=4)
    OI = {"oi_delta(20,0.05)": 1.0}
    served = InProcess(board)
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    try:
        stalled.connect(("127.0.0.1", served.port))
        stalled.sendall(STREAM)
        reader = socket.create_connection(("127.0.0.1", served.port))
        reader.sendall(STREAM)
        got, done = bytearray(), threading.Event()

        def read():
            while not done.is_set() and (chunk := reader.recv(1 << 20)):
                got.extend(chunk)

        threading.Thread(target=read, daemon=True).start()
        while served.call(lambda: len(served.hub.viewers)) < 2:
            time.sleep(0.01)
        for version in range(300):
            rows = [
                AlertRow(f"SYMBOL-{i:04d}-{'x' * 200}", 0.5 + i * 1e-6 + version * 1e-9, OI, i)
                for i in range(400)
            ]
            board.report(rows, 400, version, version)
            time.sleep(0.002)
        time.sleep(0.5)
        hub = served.hub
        slow, fast = served.call(lambda: sorted(hub.viewers, key=lambda v: v.sent))
        frame = served.call(lambda: len(hub.state_frame()))
        assert hub.published > 50 and hub.encoded > 20 * (1 << 20)
        assert slow.sent < hub.encoded / 4 and slow.resyncs > 0
        connections = served.server.server_state.connections
        buffers = served.call(lambda: [c.transport.get_write_buffer_size() for c in connections])
        assert max(buffers) < 2 * (1 << 20)  # the high-water mark and a frame
        assert hub.encoded <= (hub.published + slow.resyncs + fast.resyncs + 2) * frame
        # The reader's last frame is the board's last version.
        done.set()
        last = bytes(got).rsplit(b"data: ", 1)[1].split(b"\n", 1)[0]
        assert json.loads(last)["version"] == board.version
        # Stopping drops the stalled viewer's connection at once, rather than
        # waiting out the grace period for its full buffer.
        served.stop()
        assert not [r for r in caplog.records if r.name.startswith("uvicorn")]
        stalled.settimeout(10)
        while stalled.recv(1 << 20):  # what the kernel holds, then the end
            pass
    finally:
        stalled.close()
        if served.thread.is_alive():
            served.stop()
