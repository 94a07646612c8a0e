"""norsel-radar serve in a real browser: the system's headless chromium,
driven by selenium, on a paced replay of generated data with planted
situations and a hostile symbol. One server, one page, several checks."""

import json
import os
import shutil

import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
pytest.importorskip("selenium")

from clitools import jsonl_lines, radar_report  # noqa: E402
from norsel_radar import sample  # noqa: E402
from webtools import chromium_paths, serve  # noqa: E402

PATHS = chromium_paths()
if PATHS is None and not os.environ.get("NORSEL_REQUIRE_BROWSER"):
    pytest.skip(
        "needs Debian's chromium and chromium-driver (apt-get install chromium chromium-driver)",
        allow_module_level=True,
    )

HOSTILE = "<img src=x onerror=alert(1)>"
#: Where to keep the page's screenshot besides the test's own directory
#: (the README's picture is made this way).
SCREENSHOT = os.environ.get("NORSEL_DASHBOARD_PNG")


@pytest.fixture(scope="module")
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    assert PATHS is not None, (
        "NORSEL_REQUIRE_BROWSER is set but chromium or chromedriver is missing"
    )
    os.environ.setdefault("SE_OFFLINE", "true")  # selenium must never fetch a browser
    options = webdriver.ChromeOptions()
    options.binary_location = PATHS[0]
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(arg)  # no sandbox: CI runs as root
    options.add_argument("--window-size=1360,820")
    options.add_argument("--force-prefers-reduced-motion")
    # The browser is not ours to sanitize: it runs without the preloaded
    # sanitizer runtime that the server under test may have.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=Service(PATHS[1], env=env))
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


def test_dashboard_in_chromium(browser, tmp_path):
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.support.ui import WebDriverWait

    events = sample.generate_events(10, 100, 7)
    events[HOSTILE] = events["SOL-PERP"]  # a hostile name that alerts too
    (tmp_path / "events.jsonl").write_text("\n".join(jsonl_lines(events)) + "\n")
    report = json.loads(radar_report(events))
    assert report["alerts"][0]["symbol"] in sample.PLANTED
    wait = WebDriverWait(browser, 60, poll_frequency=0.05)
    js = browser.execute_script

    def texts(selector, extra=""):
        """Each element's text content (and ``extra``, a JS expression of el)."""
        return js(
            f"return [...document.querySelectorAll('{selector}')].map(el => {extra or 'el.textContent'})"
        )

    def rows():
        return texts("#alerts-body tr", "[...el.cells].map(td => td.textContent)")

    def text(element_id):
        return js(f"return document.getElementById('{element_id}').textContent")

    with serve("--replay", "events.jsonl", "--speed", "5x", cwd=tmp_path) as s:
        browser.get(s.url)
        js("window.loadedOnce = true")
        wait.until(lambda _: rows())
        assert texts("#alerts-head th") == ["#", "symbol", "severity", "history", "oi_delta"] + [
            "funding", "book", "liq", "oi/price", "last event (UTC)",
        ]  # fmt: skip

        # Rows change in place and the log grows while the page stays the one loaded.
        first, logged = rows(), len(texts("#log li"))
        wait.until(lambda _: rows() != first)
        assert logged >= 1
        wait.until(lambda _: len(texts("#log li")) > logged)
        wait.until(lambda _: text("feed-state") == "ended")
        assert js("return window.loadedOnce") is True
        assert js("return performance.getEntriesByType('navigation').length") == 1
        assert js("return window.norselRadar.updates") > 5

        # The planted symbol ranks first; the rows are the radar's report.
        assert [(r[1], r[2]) for r in rows()] == [
            (a["symbol"], f"{a['severity']:.4f}") for a in report["alerts"]
        ]
        assert texts("#alerts-body svg polyline")

        # The log holds the alerts raised, newest first, with their market time.
        entries = texts(
            "#log li",
            "[el.dataset.kind, el.querySelector('.time').title,"
            " (el.querySelector('.symbol') || {}).textContent]",
        )
        raised = [e for e in entries if e[0] == "raised"]
        assert {e[2] for e in raised} >= {a["symbol"] for a in report["alerts"]} >= {HOSTILE}
        assert [e[1] for e in raised] == sorted((e[1] for e in raised), reverse=True)

        # The hostile symbol is text: its characters, no element, no dialog.
        assert [t for t in texts("#alerts-body td.symbol") if t.startswith("<")] == [HOSTILE]
        assert js("return document.querySelectorAll('img').length") == 0
        with pytest.raises(NoAlertPresentException):
            browser.switch_to.alert.text  # noqa: B018

        # The spec in force and the feed.
        assert "oi_price_divergence(15,0.04)" in text("spec-panel") and "0.25" in text("spec-panel")
        assert text("feed-events") == f"{sum(map(len, events.values())):,}"
        assert text("connection") == "live"

        shot = tmp_path / "dashboard.png"
        assert browser.save_screenshot(str(shot))
        if SCREENSHOT:
            shutil.copyfile(shot, SCREENSHOT)
