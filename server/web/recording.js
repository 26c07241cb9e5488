// Recording from the page: start and stop a recording of the served devices
// into a file in the server's folder, mark and tare while it runs, and follow
// it on a chart of each device's newest value with the events drawn in.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const KEEP_POINTS = 4000;
  const rec = {
    serials: [],
    nextEvent: 0,
    events: [],         // of the recording shown
    xs: [], ys: [],     // newest values by poll, one series per device
    chart: null,
    running: false,
    timer: null,
    file: "",
  };

  async function call(method, path, body) {
    const init = { method, credentials: "same-origin", headers: {} };
    if (body !== undefined) {
      init.headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
    const res = await fetch(path, init);
    let data = null;
    try { data = await res.json(); } catch (e) { data = null; }
    if (!res.ok) throw new Error((data && data.error) || res.status + " " + res.statusText);
    return data;
  }

  function defaultName() {
    const d = new Date();
    const two = (n) => String(n).padStart(2, "0");
    return "recording-" + d.getFullYear() + two(d.getMonth() + 1) + two(d.getDate()) + "-" + two(d.getHours()) +
      two(d.getMinutes()) + two(d.getSeconds()) + ".h5";
  }

  // Events as vertical lines with their kind, drawn over the chart.
  function drawEvents(u) {
    const ctx = u.ctx;
    ctx.save();
    ctx.font = "11px system-ui, sans-serif";
    for (const e of rec.events) {
      if (e.kind === "start" && e.time === 0) continue;
      const x = u.valToPos(e.time, "x", true);
      if (x < u.bbox.left || x > u.bbox.left + u.bbox.width) continue;
      ctx.strokeStyle = e.kind === "limit" || e.kind === "lost" || e.kind === "disconnected" ? "#b3261e" : "#6d4c9f";
      ctx.beginPath();
      ctx.moveTo(x, u.bbox.top);
      ctx.lineTo(x, u.bbox.top + u.bbox.height);
      ctx.stroke();
      ctx.fillStyle = ctx.strokeStyle;
      ctx.fillText(e.kind + (e.serial ? " " + e.serial : ""), x + 3, u.bbox.top + 12);
    }
    ctx.restore();
  }

  function makeChart() {
    const box = $("rec-chart");
    box.textContent = "";
    const colors = ["#1565c0", "#2e7d32", "#ef6c00", "#6a1b9a", "#00838f", "#ad1457", "#4e342e", "#37474f"];
    const series = [{ label: "s" }].concat(rec.serials.map((s, i) => ({
      label: s, stroke: colors[i % colors.length], width: 1, points: { show: false },
    })));
    rec.chart = new uPlot({
      width: Math.max(320, box.clientWidth || 800), height: 240,
      scales: { x: { time: false } },
      legend: { show: true },
      cursor: { drag: { x: false, y: false } },
      series,
      axes: [{ label: "seconds of the recording" }, { label: "load or count", size: 80 }],
      hooks: { draw: [drawEvents] },
    }, [[]].concat(rec.serials.map(() => [])), box);
  }

  function redraw() {
    if (rec.chart) rec.chart.setData([rec.xs].concat(rec.ys));
  }

  function showEvents() {
    const list = $("rec-events");
    list.textContent = "";
    for (const e of rec.events.slice(-50).reverse()) {
      const li = document.createElement("li");
      li.textContent = e.time.toFixed(3) + " s  " + e.kind + (e.serial ? " " + e.serial : "") + ": " + e.text;
      list.appendChild(li);
    }
  }

  function show(s) {
    const parts = [s.state];
    if (s.file) parts.push(s.file);
    if (typeof s.elapsed === "number" && s.state !== "idle") parts.push(s.elapsed.toFixed(1) + " s");
    if (typeof s.samples === "number") parts.push(s.samples + " samples, " + s.lost + " lost");
    if (s.stopReason) parts.push(s.stopReason);
    $("rec-status").textContent = parts.join(" · ");
    $("rec-error").textContent = s.error || "";
    rec.running = s.state === "waiting" || s.state === "recording" || s.state === "stopping";
    $("rec-start").disabled = rec.running;
    for (const id of ["rec-stop", "rec-mark", "rec-tare"]) $(id).disabled = !rec.running;
    $("rec-folder").textContent = s.folder || "";
  }

  async function poll() {
    try {
      const s = await call("GET", "api/recording?since=" + rec.nextEvent);
      if (s.events && s.events.length) {
        rec.events = rec.events.concat(s.events);
        rec.nextEvent = s.nextEvent;
        showEvents();
      }
      if (rec.running && s.devices && typeof s.elapsed === "number") {
        rec.xs.push(s.elapsed);
        s.devices.forEach((d, i) => {
          if (!rec.ys[i]) rec.ys[i] = [];
          rec.ys[i].push(d.lastLoad !== null && d.lastLoad !== undefined ? d.lastLoad : d.lastCount);
        });
        if (rec.xs.length > KEEP_POINTS) {
          rec.xs.shift();
          for (const y of rec.ys) y.shift();
        }
      }
      show(s);
      redraw();
    } catch (e) {
      $("rec-error").textContent = e.message;
    }
    clearTimeout(rec.timer);
    rec.timer = setTimeout(poll, rec.running ? 250 : 2000);
  }

  async function startRecording() {
    const chosen = Array.from(document.querySelectorAll("#rec-devices input:checked")).map((c) => c.value);
    if (!chosen.length) {
      $("rec-error").textContent = "choose at least one device";
      return;
    }
    const body = { file: $("rec-file").value.trim(), serials: chosen, tare: $("rec-tare-first").checked };
    const seconds = $("rec-seconds").value.trim();
    if (seconds) body.seconds = Number(seconds);
    if ($("rec-rate").value !== "") body.rate = Number($("rec-rate").value);
    try {
      const s = await call("POST", "api/recording", body);
      rec.serials = chosen;
      rec.events = [];
      rec.nextEvent = 0;
      rec.xs = [];
      rec.ys = chosen.map(() => []);
      makeChart();
      show(Object.assign({}, s, { folder: $("rec-folder").textContent }));
      poll();
    } catch (e) {
      $("rec-error").textContent = e.message;
    }
  }

  async function action(path, body) {
    try {
      await call("POST", path, body || {});
      poll();
    } catch (e) {
      $("rec-error").textContent = e.message;
    }
  }

  async function setUp() {
    let info;
    try {
      info = await call("GET", "api");
    } catch (e) {
      return;  // the page shows why
    }
    if (!info.devices.length) return;
    rec.serials = info.devices.slice();
    const box = $("rec-devices");
    for (const serial of info.devices) {
      const label = document.createElement("label");
      const check = document.createElement("input");
      check.type = "checkbox";
      check.value = serial;
      check.checked = true;
      label.appendChild(check);
      label.appendChild(document.createTextNode(" " + serial));
      box.appendChild(label);
      const o = document.createElement("option");
      o.value = serial;
      o.textContent = serial;
      $("rec-tare-device").appendChild(o);
    }
    (info.rates || []).forEach((r, code) => {
      const o = document.createElement("option");
      o.value = String(code);
      o.textContent = code + ": " + r + "/s";
      $("rec-rate").appendChild(o);
    });
    $("rec-file").value = defaultName();
    $("rec-start").addEventListener("click", startRecording);
    $("rec-stop").addEventListener("click", () => action("api/recording/stop"));
    $("rec-mark").addEventListener("click", () => action("api/recording/mark", { text: $("rec-mark-text").value || "mark" }));
    $("rec-tare").addEventListener("click", () => {
      const serial = $("rec-tare-device").value;
      action("api/recording/tare", serial ? { serial } : {});
    });
    $("tab-button-recording").hidden = false;
    // Drawn while its tab was hidden, the chart takes the tab's width once shown.
    $("tab-button-recording").addEventListener("click", () => {
      if (rec.chart) rec.chart.setSize({ width: Math.max(320, $("rec-chart").clientWidth || 800), height: 240 });
    });
    makeChart();
    poll();
  }

  window.addEventListener("load", setUp);
})();
