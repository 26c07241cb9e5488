"""The page of `qolven serve --simulate` in a real browser (headless Chromium).

Run by CTest (x86-64): QOLVEN_CLI names the built program, QOLVEN_SCREENSHOT
where the screenshot for docs/serve.md goes.
"""
import csv
import http.server
import io
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
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


def qolven(workdir, *args, devices=DEVICES):
    return [CLI, "--simulate", devices, "--state", os.path.join(workdir, "state")] + list(args)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, workdir, port=0, token=None, devices=DEVICES):
        extra = ["--token", token] if token is not None else []
        # Recordings started from the page go into the folder serve runs in.
        self.process = subprocess.Popen(qolven(workdir, "serve", "--port", str(port), *extra, devices=devices),
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=workdir)
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


def chromium(workdir, size="1200,1400"):
    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=" + size,
                 "--user-data-dir=" + os.path.join(workdir, "chromium")):
        options.add_argument(flag)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(WAIT)
    return driver


@pytest.fixture
def browser(workdir):
    driver = chromium(workdir)
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
    seen = []

    def shows(d):
        seen.append(text_of(d, css))
        return predicate(seen[-1])

    # A table the page draws anew may swap the element between finding and reading it.
    WebDriverWait(driver, WAIT, poll_frequency=0.2, ignored_exceptions=(StaleElementReferenceException,)).until(
        shows, message=what + " (" + css + ")")
    return seen[-1]


def wait_until(driver, script, what):
    WebDriverWait(driver, WAIT, poll_frequency=0.2).until(lambda d: d.execute_script(script), message=what)
    return driver.execute_script(script)


def open_page(driver, url):
    driver.get(url)
    wait_until(driver, "return document.body.dataset.ready === 'yes'", "page ready")


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
    # The table is drawn anew when its tab opens: a row taken from the old one is
    # gone before its button is pressed, and nothing was saved: take it again.
    for attempt in range(5):
        try:
            row = driver.find_element(By.ID, "setting-" + key)
            field = row.find_element(By.CSS_SELECTOR, "input")
            field.clear()
            field.send_keys(str(value))
            row.find_element(By.CSS_SELECTOR, "button").click()
            return
        except StaleElementReferenceException:
            time.sleep(0.2)
    pytest.fail("the settings table kept being drawn anew")


def confirm_text(driver, accept):
    WebDriverWait(driver, WAIT).until(lambda d: _alert(d), message="a confirmation is asked")
    alert = driver.switch_to.alert
    said = alert.text
    alert.accept() if accept else alert.dismiss()
    return said


def _alert(driver):
    try:
        driver.switch_to.alert
        return True
    except Exception:
        return False


def chart_data(driver):
    return driver.execute_script("const d = window.qolvenChart.data; return [Array.from(d[0]), Array.from(d[1])];")


def test_page_against_virtual_boards(served, browser, workdir):
    server = served.url
    driver = browser
    api(server, "PUT", "/api/devices/SIM0002/stream", {"rate": 8})
    open_page(driver, server)
    assert "token=" not in driver.current_url, "the token leaves the address bar"

    # Both devices can be chosen; the identity follows.
    devices = [o.text for o in Select(driver.find_element(By.ID, "device")).options]
    assert devices == ["SIM0002", "SIM0009"]
    wait_text(driver, "#id-type", lambda t: t.startswith("2"), "board type of SIM0002")
    wait_text(driver, "#id-answers", lambda t: t == "yes", "the board answers")
    Select(driver.find_element(By.ID, "device")).select_by_visible_text("SIM0009")
    wait_text(driver, "#id-type", lambda t: t.startswith("9 (multi-channel board"), "board type of SIM0009")
    assert driver.find_element(By.ID, "channel-box").is_displayed()
    Select(driver.find_element(By.ID, "device")).select_by_visible_text("SIM0002")
    wait_text(driver, "#id-serial", lambda t: t == "SIM0002", "back to SIM0002")
    wait_text(driver, "#id-type", lambda t: t.startswith("2"), "board type of SIM0002 again")

    # The virtual load cell shows the signal in use, not its defaults.
    signal_in_use = api(server, "GET", "/api/devices/SIM0002/simulation")
    WebDriverWait(driver, WAIT).until(
        lambda d: d.find_element(By.ID, "sim-amplitude").get_attribute("value") == "%g" % signal_in_use["amplitude"],
        message="the panel shows the swing in use")
    assert signal_in_use["amplitude"] > 0

    # The live value moves with the virtual board's signal, and the chart fills.
    first = wait_text(driver, "#live-count", lambda t: t.isdigit(), "a live count")
    wait_text(driver, "#live-count", lambda t: t.isdigit() and t != first, "the live count changes")
    wait_until(driver, "return window.qolvenStats.received > 5", "samples stream in")
    wait_text(driver, "#fig-rate", lambda t: "/s of " in t, "stream figures")
    wait_text(driver, "#fig-min", lambda t: t != "–", "min over the window")
    low, high = float(text_of(driver, "#fig-min")), float(text_of(driver, "#fig-max"))
    mean = float(text_of(driver, "#fig-mean"))
    assert low <= mean <= high

    # Settings: a value the board takes is shown as read back; one it refuses shows the library's text.
    tab(driver, "settings")
    wait_text(driver, "#settings-status", lambda t: "settings of board type 2" in t, "settings read")
    wait_text(driver, "#setting-decimal-point td.value", lambda t: t == "0", "decimal point listed")
    rows = driver.find_elements(By.CSS_SELECTOR, "#settings-table tbody tr")
    assert all(r.get_attribute("textContent").count("(write only)") <= 1 for r in rows), "write only said once"
    assert any("(write only)" in r.get_attribute("textContent") for r in rows)
    assert not any("`" in r.get_attribute("textContent") for r in rows), "no literal backticks"
    # Every syntax shows whole.
    cut = driver.execute_script("""
        return Array.from(document.querySelectorAll('#settings-table .syntax'))
          .filter((e) => e.scrollWidth > e.clientWidth + 1).map((e) => e.textContent);""")
    assert cut == []
    syntax = text_of(driver, "#setting-loading-point\\.0 .syntax")
    assert syntax.startswith("[count ") and syntax.endswith("]"), syntax
    # The board's factory line is a calibration too: the page asks before moving its loads.
    save_setting(driver, "decimal-point", 1)
    said = confirm_text(driver, accept=True)
    assert "10 times smaller" in said, said
    wait_text(driver, "#setting-decimal-point td.value", lambda t: t == "1", "decimal point read back")
    save_setting(driver, "decimal-point", 300)
    wait_text(driver, '#setting-decimal-point .error',
              lambda t: t == "Invalid Decimal Point (decimal-point: value 300 is outside 0..255)", "refusal shown")
    assert text_of(driver, "#setting-decimal-point td.value") == "1"
    save_setting(driver, "decimal-point", "two")
    wait_text(driver, '#setting-decimal-point .error', lambda t: "is not a number" in t, "malformed value named")
    assert api(server, "GET", "/api/devices/SIM0002/settings/decimal-point")["value"] == "1"

    # Calibration wizard, as docs/serve.md tells it.
    tab(driver, "calibration")
    steps = driver.find_element(By.ID, "wizard-steps").text
    assert re.search(r"1\. Zero\s+2\. Known loads\s+3\. Review\s+4\. Write", steps), steps
    set_virtual_signal(driver, 1000000)
    driver.find_element(By.ID, "cal-samples").clear()
    driver.find_element(By.ID, "cal-samples").send_keys("10")
    driver.find_element(By.ID, "zero-measure").click()
    wait_text(driver, "#zero-result", lambda t: t.startswith("Zero: 1000000 counts (± 0.0"), "zero measured")
    driver.find_element(By.ID, "zero-next").click()

    # Loads out of order are named at once, and the review names every problem.
    def measure_load(counts, load, rows):
        set_virtual_signal(driver, counts)
        field = driver.find_element(By.ID, "load-value")
        field.clear()
        field.send_keys(load)
        driver.find_element(By.ID, "load-measure").click()
        WebDriverWait(driver, WAIT).until(
            lambda d: len(d.find_elements(By.CSS_SELECTOR, "#load-table tbody tr")) == rows, message="load measured")

    measure_load(1250000, "2.5", 1)
    measure_load(1100000, "1.0", 2)
    wait_text(driver, "#load-warnings", lambda t: "Point 2 (1.0) is not heavier than point 1 (2.5)" in t,
              "a lighter load named")
    driver.find_element(By.ID, "loads-next").click()
    wait_text(driver, "#review-problems", lambda t: "has load 10 after 25" in t and "not monotonic" in t,
              "both problems reviewed")
    assert not driver.find_element(By.ID, "review-sensitivity-line").is_displayed(), "no empty sensitivity"
    assert not driver.find_element(By.ID, "review-write").is_enabled()

    # Back, drop both points; a load that hardly moves the signal is refused at the review.
    driver.find_element(By.ID, "review-back").click()
    for _ in range(2):
        driver.find_element(By.CSS_SELECTOR, "#load-table tbody tr button").click()
    measure_load(1000040, "5", 1)
    driver.find_element(By.ID, "loads-next").click()
    wait_text(driver, "#review-problems", lambda t: t.startswith("span too small"), "small span refused")
    driver.find_element(By.ID, "review-back").click()
    driver.find_element(By.CSS_SELECTOR, "#load-table tbody tr button").click()
    measure_load(1200000, "5", 1)
    assert [c.text for c in driver.find_elements(By.CSS_SELECTOR, "#load-table tbody td")][:3] == \
        ["1", "5.0", "1200000"]
    assert text_of(driver, "#load-warnings") == ""
    driver.find_element(By.ID, "loads-next").click()
    wait_text(driver, "#review-sensitivity", lambda t: t.startswith("40000.000 counts per load unit"),
              "sensitivity reviewed")
    driver.find_element(By.ID, "review-write").click()
    wait_text(driver, "#write-status", lambda t: t.startswith("Written: 2 loading points"), "calibration written")
    written = [c.text for c in driver.find_elements(By.CSS_SELECTOR, "#written-table tbody td")]
    assert written == ["0", "0.0", "1000000", "1", "5.0", "1200000"]
    table = api(server, "GET", "/api/devices/SIM0002/calibration")
    assert table["points"] == [{"count": 1000000, "load": 0}, {"count": 1200000, "load": 50}]

    # The calibrated load in the live view, the same as the API's, then the screenshot.
    set_virtual_signal(driver, 1100000)
    tab(driver, "live")
    wait_text(driver, "#live-load", lambda t: t == "2.5", "calibrated load shown")
    assert api(server, "GET", "/api/devices/SIM0002/reading")["loadText"] == "2.5"
    driver.execute_script("window.scrollTo(0, 0)")
    shot = os.environ.get("QOLVEN_SCREENSHOT", os.path.join(workdir, "serve.png"))
    assert driver.save_screenshot(shot)
    assert os.path.getsize(shot) > 10000

    # A decimal point over the calibration: asked first; declined, nothing is written.
    tab(driver, "settings")
    wait_text(driver, "#setting-decimal-point td.value", lambda t: t == "1", "settings read again")
    save_setting(driver, "decimal-point", 2)
    said = confirm_text(driver, accept=False)
    assert "2 loading points" in said and "10 times smaller" in said and "2.5 would read 0.25" in said, said
    wait_text(driver, '#setting-decimal-point .error', lambda t: t == "not written", "declined")
    assert api(server, "GET", "/api/devices/SIM0002/settings/decimal-point")["value"] == "1"

    # Tare on the host: the load starts from zero, the board's table stays.
    tab(driver, "live")
    driver.find_element(By.ID, "tare").click()
    wait_text(driver, "#live-load", lambda t: t == "0.0", "tared load")
    assert "tared" in text_of(driver, "#live-unit")
    driver.find_element(By.ID, "untare").click()
    wait_text(driver, "#live-load", lambda t: t == "2.5", "tare cleared")
    assert api(server, "GET", "/api/devices/SIM0002/calibration")["points"][1] == {"count": 1200000, "load": 50}

    # The y axis zooms in and back to the data.
    Select(driver.find_element(By.ID, "series")).select_by_value("load")
    wait_until(driver, "return window.qolvenChart.data[1].filter((y) => y !== null).length > 5", "loads charted")
    driver.find_element(By.ID, "y-fit").click()
    before = driver.execute_script("const y = window.qolvenChart.scales.y; return y.max - y.min;")
    driver.find_element(By.ID, "y-in").click()
    driver.find_element(By.ID, "y-in").click()
    wait_until(driver, "const y = window.qolvenChart.scales.y; return y.max - y.min < %r;" % (before / 3),
               "zoomed in")
    driver.find_element(By.ID, "y-fit").click()
    wait_until(driver, "const y = window.qolvenChart.scales.y; return y.max - y.min > %r;" % (before / 2),
               "fitted again")

    # Restore asks first, as reset does.
    tab(driver, "maintenance")
    driver.find_element(By.ID, "restore").click()
    said = confirm_text(driver, accept=False)
    assert "overwritten" in said, said
    assert text_of(driver, "#pages-status") == ""

    # The virtual board stored what the page wrote: a later process reads it from the state file.
    served.stop()
    for name, value in (("decimal-point", "1"), ("loading-point.1", "1200000"), ("load-of-loading-point.1", "50"),
                        ("number-of-loading-points", "2")):
        got = subprocess.run(qolven(workdir, "--serial", "SIM0002", "get", name), capture_output=True, text=True,
                             timeout=WAIT)
        assert got.stdout == "%s %s\n" % (name, value), got.stderr


def test_a_rate_changed_elsewhere_keeps_the_chart_going(server, browser):
    driver = browser
    api(server, "PUT", "/api/devices/SIM0002/stream", {"rate": 13})
    open_page(driver, server)
    wait_until(driver, "return window.qolvenStats.received > 200", "samples at 500/s")
    for rate in (15, 13):
        # Another client (another tab, a script) changes the rate.
        api(server, "PUT", "/api/devices/SIM0002/stream", {"rate": rate})
        wait_until(driver, "return document.getElementById('rate').value === '%d'" % rate, "the rate list follows")
        xs, _ = chart_data(driver)
        latest = xs[-1]
        time.sleep(2)
        xs, ys = chart_data(driver)
        # The chart keeps moving with the clock: no jump, no data stuck at the edge.
        assert 1.0 < xs[-1] - latest < 4.0, (latest, xs[-1])
        assert xs[-1] - xs[0] <= 10.5
        steps = [b - a for a, b in zip(xs, xs[1:])]
        assert min(steps) >= 0 and max(steps) < 1.0, max(steps)


def test_losses_show_as_gaps_that_the_figures_count(workdir, browser):
    devices = "type=2,serial=SIM0002,delay_us=300,fault=fast_short,fault_every=7"
    s = Server(workdir, devices=devices)
    try:
        driver = browser
        api(s.url, "PUT", "/api/devices/SIM0002/stream", {"rate": 15})
        open_page(driver, s.url)
        wait_until(driver, "return window.qolvenStats.boardLost > 0 && window.qolvenStats.joinedAt === 0",
                   "losses counted")
        # At each status, what the figures call lost is what the sample numbers skipped.
        for _ in range(3):
            wait_until(driver, "return window.qolvenStats.boardLost > 0", "a status")
            lost, gaps = driver.execute_script(
                "return [window.qolvenStats.boardLost, window.qolvenStats.gapsAtStatus];")
            assert lost == gaps
            time.sleep(1)
        assert int(text_of(driver, "#fig-lost")) >= lost
        _, ys = chart_data(driver)
        assert None in ys, "a loss breaks the line"
        recorded = driver.execute_script("return window.qolvenCsv().sample;")
        skipped = sum(b - a - 1 for a, b in zip(recorded, recorded[1:]))
        assert skipped > 0
        assert all(b > a for a, b in zip(recorded, recorded[1:]))
    finally:
        s.stop()


def test_a_restarted_server(workdir, browser):
    driver = browser
    port = free_port()
    # With the same token the page goes on, and the chart shows the pause.
    first = Server(workdir, port=port, token="fixed-token-0123456789abcdef")
    api(first.url, "PUT", "/api/devices/SIM0002/stream", {"rate": 13})  # kept in the state file
    open_page(driver, first.url)
    wait_until(driver, "return window.qolvenStats.received > 50", "samples")
    first.stop()
    wait_text(driver, "#contact", lambda t: t.startswith("No contact with the server since"), "contact lost")
    assert "stale" in driver.find_element(By.ID, "reading").get_attribute("class")
    assert text_of(driver, "#id-answers").startswith("unknown")
    time.sleep(1)
    again = Server(workdir, port=port, token="fixed-token-0123456789abcdef")
    try:
        received = driver.execute_script("return window.qolvenStats.received")
        wait_until(driver, "return window.qolvenStats.received > %d + 200" % received, "samples again")
        wait_until(driver, "return document.getElementById('contact').hidden", "contact back")
        xs, ys = chart_data(driver)
        breaks = [i for i, y in enumerate(ys) if y is None]
        assert breaks, "old and new data are not joined"
        i = breaks[-1]
        assert xs[i + 1] - xs[i - 1] > 1.0, "the pause shows on the time axis"
        assert "stale" not in driver.find_element(By.ID, "reading").get_attribute("class")
    finally:
        again.stop()

    # A new token (the default): the page says so instead of reconnecting forever.
    third = Server(workdir, port=port)
    try:
        wait_text(driver, "#contact", lambda t: "no longer takes its token" in t, "lost token named")
        assert "stale" in driver.find_element(By.ID, "reading").get_attribute("class")
        assert text_of(driver, "#id-answers").startswith("unknown")
        # Reloading tells a person what to do, not a raw JSON answer.
        driver.get(third.url.split("?token=")[0])
        body = driver.find_element(By.TAG_NAME, "body").text
        assert "token" in body and not body.lstrip().startswith("{"), body
        open_page(driver, third.url)
        wait_text(driver, "#id-answers", lambda t: t == "yes", "the new address works")
    finally:
        third.stop()


def test_a_recording_from_its_tab(served, browser, workdir):
    h5py = pytest.importorskip("h5py")
    driver = browser
    open_page(driver, served.url)
    tab(driver, "recording")
    for field, value in (("rec-file", "page.h5"), ("rec-seconds", "1")):
        element = driver.find_element(By.ID, field)
        element.clear()
        element.send_keys(value)
    Select(driver.find_element(By.ID, "rec-rate")).select_by_value("13")
    driver.find_element(By.ID, "rec-start").click()
    wait_until(driver, "return document.getElementById('rec-status').textContent.includes('the duration is over')"
                       " || document.getElementById('rec-error').textContent !== ''", "the recording ends")
    assert text_of(driver, "#rec-error") == "", (text_of(driver, "#rec-status"), driver.get_log("browser"))
    assert driver.find_element(By.ID, "rec-start").is_enabled()
    assert "stop" in text_of(driver, "#rec-events")
    with h5py.File(os.path.join(workdir, "page.h5"), "r") as f:
        assert f.attrs["complete"] == 1
        for serial in api(served.url, "GET", "/api")["devices"]:
            assert f["devices"][serial].attrs["rate_code"] == 13
            assert len(f["devices"][serial]["count"]) > 300, "1 s at 500 samples/s"


def test_a_narrow_window(server, workdir):
    driver = chromium(workdir, size="390,900")
    try:
        driver.set_window_size(390, 900)
        open_page(driver, server)
        width = driver.execute_script("return window.innerWidth")
        assert width <= 400
        for b in driver.find_elements(By.CSS_SELECTOR, "#tabs button"):
            box = b.rect
            assert box["x"] >= 0 and box["x"] + box["width"] <= width, (b.text, box)
        tab(driver, "settings")
        wait_text(driver, "#settings-status", lambda t: "settings of board type" in t, "settings read")
        for b in driver.find_elements(By.CSS_SELECTOR, "#settings-table button"):
            box = b.rect
            assert box["x"] + box["width"] <= width, box
        assert driver.execute_script("return document.documentElement.scrollWidth") <= width
        tab(driver, "live")
        # The figures hold their place: the chart does not move as they change.
        wait_text(driver, "#fig-rate", lambda t: "/s of " in t, "stream figures")
        tops = set()
        for _ in range(6):
            tops.add(driver.execute_script("return Math.round(document.getElementById('chart').getBoundingClientRect().top)"))
            driver.find_element(By.ID, "pause").click()
            time.sleep(0.6)
        assert len(tops) == 1, tops
        assert driver.execute_script("return document.documentElement.scrollWidth") <= width
    finally:
        driver.quit()


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
