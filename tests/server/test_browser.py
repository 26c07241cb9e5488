"""The page of `qolven serve --simulate` in a real browser (headless Chromium).

Run by CTest (x86-64): QOLVEN_CLI names the built program, QOLVEN_SCREENSHOT
where the screenshot for docs/serve.md goes.
"""
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import urllib.request

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

CLI = os.environ.get("QOLVEN_CLI", "build/default/bin/qolven")
DEVICES = "type=2,serial=SIM0002,delay_us=300;type=9,serial=SIM0009,delay_us=300"
WAIT = 90  # seconds; the machine is shared and may be slow


@pytest.fixture
def workdir():
    path = tempfile.mkdtemp(prefix="qolven-browser-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


def qolven(workdir, *args, **kwargs):
    return [CLI, "--simulate", DEVICES, "--state", os.path.join(workdir, "state")] + list(args)


class Server:
    def __init__(self, workdir):
        self.process = subprocess.Popen(qolven(workdir, "serve", "--port", "0"), stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.url = None
        for line in self.process.stdout:
            match = re.search(r"^Open (http://\S+)", line)
            if match:
                self.url = match.group(1)
                break
        if not self.url:
            self.process.kill()
            pytest.fail("qolven serve printed no address: " + self.process.stderr.read())

    def stop(self):
        if self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGINT)
        try:
            assert self.process.wait(30) == 130
        except subprocess.TimeoutExpired:
            self.process.kill()
            pytest.fail("qolven serve did not stop on Ctrl-C")


@pytest.fixture
def served(workdir):
    s = Server(workdir)
    yield s
    s.stop()


@pytest.fixture
def server(served):
    return served.url


@pytest.fixture
def browser(workdir):
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1200,1400",
                 "--user-data-dir=" + os.path.join(workdir, "chromium")):
        options.add_argument(flag)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(WAIT)
    yield driver
    driver.quit()


def api(url, method, path, body=None):
    base, token = url.split("/?token=")
    request = urllib.request.Request(base + path, method=method,
                                     data=None if body is None else json.dumps(body).encode(),
                                     headers={"Authorization": "Bearer " + token,
                                              "Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=WAIT) as response:
        return json.load(response)


def text_of(driver, css):
    # textContent: also for elements on a tab that is not shown.
    return driver.find_element(By.CSS_SELECTOR, css).get_attribute("textContent").strip()


def wait_text(driver, css, predicate, what):
    WebDriverWait(driver, WAIT, poll_frequency=0.2).until(
        lambda d: predicate(text_of(d, css)), message=what + " (" + css + ")")
    return text_of(driver, css)


def tab(driver, name):
    driver.find_element(By.CSS_SELECTOR, '#tabs button[data-tab="%s"]' % name).click()


def set_virtual_signal(driver, counts):
    for field, value in (("sim-offset", counts), ("sim-noise", 0), ("sim-amplitude", 0)):
        element = driver.find_element(By.ID, field)
        element.clear()
        element.send_keys(str(value))
    driver.execute_script("document.getElementById('sim-status').textContent = ''")
    driver.find_element(By.ID, "sim-apply").click()
    wait_text(driver, "#sim-status", lambda t: t == "applied", "virtual signal applied")
    wait_text(driver, "#live-count", lambda t: t == str(counts), "reading follows the virtual signal")


def save_setting(driver, key, value):
    row = driver.find_element(By.ID, "setting-" + key)
    field = row.find_element(By.CSS_SELECTOR, "input")
    field.clear()
    field.send_keys(str(value))
    row.find_element(By.CSS_SELECTOR, "button").click()


def test_page_against_virtual_boards(served, browser, workdir):
    server = served.url
    driver = browser
    driver.get(server)
    WebDriverWait(driver, WAIT).until(lambda d: d.execute_script("return document.body.dataset.ready") == "yes",
                                      message="page ready")
    assert "token=" not in driver.current_url, "the token leaves the address bar"

    # Both devices can be chosen; the identity follows.
    devices = [o.text for o in Select(driver.find_element(By.ID, "device")).options]
    assert devices == ["SIM0002", "SIM0009"]
    wait_text(driver, "#id-type", lambda t: t.startswith("2"), "board type of SIM0002")
    assert text_of(driver, "#id-answers") == "yes"
    Select(driver.find_element(By.ID, "device")).select_by_visible_text("SIM0009")
    wait_text(driver, "#id-type", lambda t: t.startswith("9 (multi-channel board"), "board type of SIM0009")
    assert driver.find_element(By.ID, "channel-box").is_displayed()
    Select(driver.find_element(By.ID, "device")).select_by_visible_text("SIM0002")
    wait_text(driver, "#id-serial", lambda t: t == "SIM0002", "back to SIM0002")
    wait_text(driver, "#id-type", lambda t: t.startswith("2"), "board type of SIM0002 again")

    # The live value moves with the virtual board's signal, and the chart fills.
    first = wait_text(driver, "#live-count", lambda t: t.isdigit(), "a live count")
    wait_text(driver, "#live-count", lambda t: t.isdigit() and t != first, "the live count changes")
    WebDriverWait(driver, WAIT).until(lambda d: d.execute_script("return window.qolvenStats.received") > 5,
                                      message="samples stream in")
    wait_text(driver, "#stream-stats", lambda t: "samples/s received" in t, "stream figures")

    # Settings: a value the board takes is shown as read back; one it refuses shows the library's text.
    tab(driver, "settings")
    wait_text(driver, "#settings-status", lambda t: "settings of board type 2" in t, "settings read")
    wait_text(driver, "#setting-decimal-point td.value", lambda t: t == "0", "decimal point listed")
    save_setting(driver, "decimal-point", 2)
    wait_text(driver, "#setting-decimal-point td.value", lambda t: t == "2", "decimal point read back")
    save_setting(driver, "decimal-point", 300)
    wait_text(driver, '#setting-decimal-point .error', lambda t: t == "Invalid Decimal Point (decimal-point: value 300 is outside 0..255)",
              "refusal shown")
    assert text_of(driver, "#setting-decimal-point td.value") == "2"
    save_setting(driver, "decimal-point", "two")
    wait_text(driver, '#setting-decimal-point .error', lambda t: "is not a number" in t, "malformed value named")
    assert api(server, "GET", "/api/devices/SIM0002/settings/decimal-point")["value"] == "2"

    # Calibration wizard on known counts; two decimals from the setting above.
    tab(driver, "calibration")
    set_virtual_signal(driver, 1000000)
    driver.find_element(By.ID, "cal-samples").clear()
    driver.find_element(By.ID, "cal-samples").send_keys("10")
    driver.find_element(By.ID, "zero-measure").click()
    wait_text(driver, "#zero-result", lambda t: t.startswith("Zero: 1000000 counts (± 0.0"), "zero measured")
    driver.find_element(By.ID, "zero-next").click()

    # A load that hardly moves the signal is refused at the review.
    set_virtual_signal(driver, 1000040)
    driver.find_element(By.ID, "load-value").send_keys("5")
    driver.find_element(By.ID, "load-measure").click()
    WebDriverWait(driver, WAIT).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#load-table tbody tr")) == 1,
                                      message="first load measured")
    driver.find_element(By.ID, "loads-next").click()
    wait_text(driver, "#review-error", lambda t: t.startswith("span too small"), "small span refused")
    assert not driver.find_element(By.ID, "review-write").is_enabled()

    # Back, drop that point, measure a real load.
    driver.find_element(By.ID, "review-back").click()
    driver.find_element(By.CSS_SELECTOR, "#load-table tbody tr button").click()
    set_virtual_signal(driver, 1200000)
    driver.find_element(By.ID, "load-measure").click()
    WebDriverWait(driver, WAIT).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#load-table tbody tr")) == 1,
                                      message="second load measured")
    assert [c.text for c in driver.find_elements(By.CSS_SELECTOR, "#load-table tbody td")][:3] == \
        ["1", "5.00", "1200000"]
    driver.find_element(By.ID, "loads-next").click()
    wait_text(driver, "#review-sensitivity", lambda t: t.startswith("40000.000 counts per load unit"),
              "sensitivity reviewed")
    driver.find_element(By.ID, "review-write").click()
    wait_text(driver, "#write-status", lambda t: t.startswith("Written: 2 loading points"), "calibration written")
    written = [c.text for c in driver.find_elements(By.CSS_SELECTOR, "#written-table tbody td")]
    assert written == ["0", "0.00", "1000000", "1", "5.00", "1200000"]
    table = api(server, "GET", "/api/devices/SIM0002/calibration")
    assert table["points"] == [{"count": 1000000, "load": 0}, {"count": 1200000, "load": 500}]

    # The calibrated load in the live view, then the screenshot for the documentation.
    set_virtual_signal(driver, 1100000)
    tab(driver, "live")
    wait_text(driver, "#live-load", lambda t: t == "2.50", "calibrated load shown")
    driver.execute_script("window.scrollTo(0, 0)")
    shot = os.environ.get("QOLVEN_SCREENSHOT", os.path.join(workdir, "serve.png"))
    assert driver.save_screenshot(shot)
    assert os.path.getsize(shot) > 10000

    # The virtual board stored what the page wrote: a later process reads it from the state file.
    served.stop()
    for name, value in (("decimal-point", "2"), ("loading-point.1", "1200000"), ("load-of-loading-point.1", "500"),
                        ("number-of-loading-points", "2")):
        got = subprocess.run(qolven(workdir, "--serial", "SIM0002", "get", name), capture_output=True, text=True,
                             timeout=WAIT)
        assert got.stdout == "%s %s\n" % (name, value), got.stderr


class ForeignSite:
    def __init__(self, url):
        self.url = url
        self.cookies = []  # the Cookie headers of the requests it got


@pytest.fixture
def foreign_site():
    # Another site on this machine, as a page the user visits would be.
    class Page(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            site.record.cookies.append(self.headers.get("Cookie") or "")
            body = b"<!doctype html><title>elsewhere</title>"
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    site.record = ForeignSite("http://127.0.0.1:%d/" % site.server_address[1])
    thread = threading.Thread(target=site.serve_forever, daemon=True)
    thread.start()
    yield site.record
    site.shutdown()
    site.server_close()


def test_foreign_pages_cannot_reach_the_devices(server, browser, foreign_site):
    # A page from another site tries the API the ways a browser allows it.
    driver = browser
    base = server.split("/?token=")[0]
    driver.get(foreign_site.url)
    points = [{"count": 1000, "load": 0}, {"count": 90000, "load": 100}]
    script = """
        const [base, points, done] = arguments;
        const attempts = [
          fetch(base + '/api/devices/SIM0002/calibration', {method: 'POST', mode: 'no-cors',
                body: JSON.stringify({points}), headers: {'Content-Type': 'text/plain'}}),
          fetch(base + '/api/devices/SIM0002/calibration', {method: 'POST',
                body: JSON.stringify({points}), headers: {'Content-Type': 'application/json'}}),
          fetch(base + '/api'),
        ];
        Promise.allSettled(attempts).then((r) => done(r.map((x) => x.status === 'fulfilled'
            ? (x.value.type === 'opaque' ? 'opaque' : 'read ' + x.value.status) : 'failed')));
    """
    assert driver.execute_async_script(script, base, points) == ["opaque", "failed", "failed"]
    table = api(server, "GET", "/api/devices/SIM0002/calibration")
    assert table["stored"] == 1 and table["points"][0]["count"] != 1000


def test_other_ports_get_neither_token_nor_session(server, browser, foreign_site):
    # Browsers keep cookies apart by host, not by port: whatever the page keeps
    # would reach every other server on 127.0.0.1.
    driver = browser
    driver.get(server)
    WebDriverWait(driver, WAIT).until(lambda d: d.execute_script("return document.body.dataset.ready") == "yes",
                                      message="page ready")
    session = [c for c in driver.get_cookies() if c["name"] == "qolven_session"]
    assert len(session) == 1 and session[0]["httpOnly"], driver.get_cookies()
    assert session[0]["path"].startswith("/s/") and session[0]["path"] != "/"
    token = server.split("?token=")[1]
    for path in ("", "api/devices", "app.js", "s/"):
        driver.get(foreign_site.url + path)
    assert len(foreign_site.cookies) >= 4  # and the icons the browser asked for
    for cookie in foreign_site.cookies:
        assert token not in cookie and session[0]["value"] not in cookie and "qolven" not in cookie, cookie
