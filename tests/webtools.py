"""Running `norsel-radar serve` in a subprocess and talking to it, for the
dashboard's tests."""

import contextlib
import http.client
import json
import re
import shutil
import signal
import subprocess
import sys
import time
from urllib.parse import urlsplit


class Served:
    """A running `serve`: its process, its URL and small HTTP helpers."""

    def __init__(self, proc, url):
        self.proc, self.url = proc, url
        parts = urlsplit(url)
        self.host, self.port, self.query = parts.hostname, parts.port, parts.query
        self.stderr = None  # what it wrote on stderr, once stopped

    def request(self, method, path, headers=None, timeout=10):
        """(status, headers, body) of one request on a fresh connection."""
        conn = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
        try:
            conn.request(method, path, headers=headers or {})
            resp = conn.getresponse()
            return resp.status, dict(resp.getheaders()), resp.read()
        finally:
            conn.close()

    def state(self):
        status, _, body = self.request("GET", "/state")
        assert status == 200, body
        return json.loads(body)

    def wait_state(self, check, timeout=60):
        """The board's state once ``check(state)`` holds."""
        deadline = time.monotonic() + timeout
        while not check(state := self.state()):
            assert time.monotonic() < deadline, f"timed out; last state: {state['feed']}"
            time.sleep(0.05)
        return state

    def stream(self, path="/stream", timeout=10):
        """An open stream: (connection, response)."""
        conn = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
        conn.request("GET", path)
        resp = conn.getresponse()
        assert resp.status == 200
        return conn, resp


def read_event(resp):
    """The next server-sent event of a stream: (event name, data), skipping
    comments and the retry line."""
    name, data = None, []
    while True:
        line = resp.readline()
        assert line, "the stream ended"
        line = line.decode().rstrip("\n")
        if not line and data:
            return name, json.loads("\n".join(data))
        if line.startswith("event: "):
            name = line[7:]
        elif line.startswith("data: "):
            data.append(line[6:])


@contextlib.contextmanager
def serve(*args, env=None, cwd=None):
    """Starts `norsel-radar serve --port 0 ARGS`; stops it with Ctrl-C at the end."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "norsel_radar", "serve", "--port", "0", *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        cwd=cwd,
    )
    served = None
    try:
        head = proc.stdout.readline() + proc.stdout.readline()
        m = re.search(r"^open (http://\S+)", head, re.M)
        assert m, head + proc.stderr.read()
        served = Served(proc, m.group(1))
        yield served
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        stderr = proc.stderr.read()
        proc.stdout.close()
        proc.stderr.close()
        if served is not None:
            served.stderr = stderr


def chromium_paths():
    """The system's chromium and its driver, or None."""
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    return (browser, driver) if browser and driver else None
