#!/usr/bin/python3
"""The live view of `qolven serve` at 1000 samples/s: samples lost between the
virtual board and the page, the server's CPU, the event rate and the page's lag.

Usage: bench/serve_live.py [--seconds 60] [--qolven build/default/bin/qolven]

Starts `qolven serve --simulate` (one type-2 board, answer delay 1.5 ms), sets
the sampling-rate code 15 (1000 samples/s), opens the page in headless
Chromium and measures in the page itself for the given time. Loss is counted
three ways: the shortfall against the virtual board's exact 1000 samples/s
between the first and the last packet, the numbers the library's stream reader
gives the samples (a loss it knows of skips numbers; its "lost" figure), and
the server's running count of samples sent (server to page). Figures:
bench/README.md.
"""
import argparse
import json
import os
import re
import signal
import subprocess
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

# Runs in the page: a second listener next to the page's own that checks the
# sample numbers, the server's count of samples sent and the lag of every event.
PROBE = """
window.probe = {samples: 0, events: 0, indexGaps: 0, sequenceGaps: 0, lag: [], next: null, last: null,
                firstWall: null, lastWall: null, samplesAfterFirst: 0, status: null};
const source = new EventSource('api/devices/SIM0002/stream');  // relative: the page's session path carries its cookie
source.addEventListener('status', (ev) => { window.probe.status = JSON.parse(ev.data); });
source.addEventListener('samples', (ev) => {
  const p = window.probe, e = JSON.parse(ev.data), now = Date.now();
  p.events++;
  p.lag.push(now - e.wall);
  if (p.firstWall === null) p.firstWall = e.wall; else p.samplesAfterFirst += e.counts.length;
  p.lastWall = e.wall;
  if (p.next !== null && e.first !== p.next) p.indexGaps += e.first - p.next;
  p.next = e.first + e.counts.length;
  p.samples += e.counts.length;
  for (const q of e.sequence) {
    if (p.last !== null) p.sequenceGaps += q - p.last - 1;
    p.last = q;
  }
});
"""


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))] if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--qolven", default="build/default/bin/qolven")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qolven-serve-bench-")
    server = subprocess.Popen([args.qolven, "--simulate", "type=2,serial=SIM0002", "--state",
                               os.path.join(work, "state"), "serve", "--port", "0"],
                              stdout=subprocess.PIPE, text=True)
    url = next(re.search(r"(http://\S+)", l).group(1) for l in server.stdout if l.startswith("Open "))
    base, token = url.split("/?token=")
    request = urllib.request.Request(base + "/api/devices/SIM0002/stream", method="PUT",
                                     data=json.dumps({"rate": 15}).encode(),
                                     headers={"Authorization": "Bearer " + token,
                                              "Content-Type": "application/json"})
    urllib.request.urlopen(request, timeout=30).read()

    options = webdriver.ChromeOptions()
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--user-data-dir=" + os.path.join(work, "chromium")):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get(url)
        WebDriverWait(driver, 90).until(lambda d: d.execute_script("return document.body.dataset.ready") == "yes")
        driver.execute_script(PROBE)
        time.sleep(3)  # the backlog of the board and the first packets settle
        driver.execute_script("Object.assign(window.probe, {samples: 0, events: 0, indexGaps: 0, sequenceGaps: 0,"
                              " lag: [], firstWall: null, samplesAfterFirst: 0,"
                              " statusAtStart: window.probe.status}); window.qolvenStats.lagMs = [];"
                              " window.qolvenStats.startReceived = window.qolvenStats.received;"
                              " window.qolvenStats.startLost = window.qolvenStats.pageLost;")
        cpu0, t0 = cpu_seconds(server.pid), time.monotonic()
        load0 = os.getloadavg()
        time.sleep(args.seconds)
        cpu1, t1 = cpu_seconds(server.pid), time.monotonic()
        probe = driver.execute_script("return window.probe")
        page = driver.execute_script("return window.qolvenStats")
        stats = driver.execute_script("return Array.from(document.querySelectorAll('#figures > div'))"
                                      ".map((d) => d.innerText.replace(/\\s+/g, ' ').trim()).join('; ')")
    finally:
        driver.quit()
        server.send_signal(signal.SIGINT)
        server.wait(30)
    elapsed = t1 - t0
    lag = probe["lag"]
    print("window            %.1f s, load average %.2f %.2f %.2f at start, %.2f %.2f %.2f at end" %
          ((elapsed,) + load0 + os.getloadavg()))
    print("samples received  %d (%.1f/s; nominal 1000/s)" % (probe["samples"], probe["samples"] / elapsed))
    # The virtual board makes exactly 1000 samples/s: what arrived between the first and
    # the last packet against that (one packet of slack) is what the board dropped.
    span = (probe["lastWall"] - probe["firstWall"]) / 1000
    shortfall = max(0, round(span * 1000) - probe["samplesAfterFirst"])
    before, after = probe["statusAtStart"] or {}, probe["status"] or {}
    print("lost, board->page %d short of 1000/s over %.1f s between packets; %d skipped sample numbers"
          " (the stream reader's figure: %d, %d time-outs); %d by the server's count of samples sent"
          % (shortfall, span, probe["sequenceGaps"], after.get("lost", 0) - before.get("lost", 0),
             after.get("timeouts", 0) - before.get("timeouts", 0), probe["indexGaps"]))
    print("page's own count  %d received, %d lost" %
          (page["received"] - page["startReceived"], page["pageLost"] - page["startLost"]))
    print("events            %.1f/s (%.1f samples per event)" %
          (probe["events"] / elapsed, probe["samples"] / max(1, probe["events"])))
    print("server CPU        %.1f %% of one core" % (100 * (cpu1 - cpu0) / elapsed))
    print("page lag          median %.0f ms, 95th percentile %.0f ms, max %.0f ms" %
          (percentile(lag, 50), percentile(lag, 95), max(lag) if lag else float("nan")))
    print("page shows        " + stats)


if __name__ == "__main__":
    main()
