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
    for arg in (
        "--headless=new",
        "--no-sandbox",  # CI runs as root
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=1360,820",
        "--force-prefers-reduced-motion",
    ):
        options.add_argument(arg)
    # The browser is not ours to sanitize: it runs without the preloaded
    # sanitizer runtime that the server under test may have.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    service = Service(PATHS[1], env=env)
    driver = webdriver.Chrome(options=options, service=service)
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


def test_dashboard_in_chromium(browser, tmp_path):
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    events = sample.generate_events(10, 100, 7)
    events[HOSTILE] = events["SOL-PERP"]  # a hostile name that alerts too
    (tmp_path / "events.jsonl").write_text("\n".join(jsonl_lines(events)) + "\n")
    top = json.loads(radar_report(events))["alerts"][0]["symbol"]
    assert top in sample.PLANTED
    wait = WebDriverWait(browser, 60, poll_frequency=0.05)
    js = browser.execute_script

    def rows():
        return js(
            "return [...document.querySelectorAll('#alerts-body tr')].map(tr =>"
            " [...tr.cells].map(td => td.textContent))"
        )

    def log_count():
        return js("return document.querySelectorAll('#log li').length")

    with serve("--replay", "events.jsonl", "--speed", "5x", cwd=tmp_path) as s:
        browser.get(s.url)
        js("window.loadedOnce = true")
        heads = [th.text for th in browser.find_elements(By.CSS_SELECTOR, "#alerts-head th")]
        wait.until(lambda _: rows())
        assert heads == ["#", "symbol", "severity", "history"] + [
            "oi_delta",
            "funding",
            "book",
            "liq",
            "oi/price",
            "last event (UTC)",
        ]

        # Rows change in place while the page stays the one loaded.
        first = rows()
        wait.until(lambda _: rows() != first)
        logged = log_count()
        assert logged >= 1
        wait.until(lambda _: log_count() > logged)
        wait.until(lambda _: browser.find_element(By.ID, "feed-state").text == "ended")
        assert js("return window.loadedOnce") is True
        assert js("return performance.getEntriesByType('navigation').length") == 1
        assert js("return window.norselRadar.updates") > 5

        # The planted symbol ranks first; the rows are the radar's report.
        final = rows()
        assert final[0][1] == top
        report = json.loads(radar_report(events))
        assert [(r[1], r[2]) for r in final] == [
            (a["symbol"], f"{a['severity']:.4f}") for a in report["alerts"]
        ]
        assert browser.find_elements(By.CSS_SELECTOR, "#alerts-body svg polyline")

        # The log holds the alerts raised, newest first, with their market time.
        entries = js(
            "return [...document.querySelectorAll('#log li')].map(li =>"
            " [li.dataset.kind, li.querySelector('.time').title,"
            " (li.querySelector('.symbol') || {}).textContent])"
        )
        raised = [e for e in entries if e[0] == "raised"]
        assert {e[2] for e in raised} >= {a["symbol"] for a in report["alerts"]}
        assert [e[1] for e in raised] == sorted((e[1] for e in raised), reverse=True)

        # The hostile symbol is text: its characters, no element, no dialog.
        cell = browser.find_element(By.CSS_SELECTOR, "#alerts-body tr td.symbol")
        hostile_cells = [
            td.text
            for td in browser.find_elements(By.CSS_SELECTOR, "#alerts-body td.symbol")
            if td.text.startswith("<")
        ]
        assert hostile_cells == [HOSTILE] and cell.text == top
        assert HOSTILE in [e[2] for e in raised]
        assert js("return document.querySelectorAll('img').length") == 0
        with pytest.raises(NoAlertPresentException):
            browser.switch_to.alert.text  # noqa: B018

        # The spec in force and the feed.
        spec_text = browser.find_element(By.ID, "spec-panel").text
        assert "oi_price_divergence(15,0.04)" in spec_text and "0.25" in spec_text
        assert (
            browser.find_element(By.ID, "feed-events").text == f"{sum(map(len, events.values())):,}"
        )
        assert browser.find_element(By.ID, "connection").text == "live"

        shot = tmp_path / "dashboard.png"
        assert browser.save_screenshot(str(shot))
        if SCREENSHOT:
            shutil.copyfile(shot, SCREENSHOT)
