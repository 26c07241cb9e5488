// The page of `qolven serve`: everything it shows comes from the server's JSON API.
"use strict";

const $ = (id) => document.getElementById(id);
const RATES = [2.5, 10, 20, 25, 30, 50, 60, 80, 100, 150, 200, 250, 300, 500, 750, 1000];
const CHART_SECONDS = 10;
const MAX_RECORDED = 2000000;

const state = {
  serial: null,
  simulated: false,
  identity: null,
  calibration: null,   // decimal point and unit of the selected device
  events: null,
  paused: false,
  nominal: 0,
  channel: 0,
  chart: null,
  xs: [], ys: [],
  recorded: { index: [], channel: [], count: [], time: [] },
  recordStart: null,
  expected: null,      // next sample index the page should see
  pageLost: 0,
  boardLost: 0,
  perSecond: 0,
  lag: { sum: 0, n: 0, max: 0, last: 0 },
  drawPending: false,
  readingTimer: null,
};
// Figures the benchmark reads from the page.
window.qolvenStats = { received: 0, pageLost: 0, boardLost: 0, lagMs: [], events: 0 };

async function api(method, path, body) {
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

const dev = (path) => "api/devices/" + encodeURIComponent(state.serial) + (path || "");

function text(id, value) { $(id).textContent = value; }

function showError(message) {
  const e = $("page-error");
  e.textContent = message || "";
  e.hidden = !message;
}

function cell(tr, value, cls) {
  const td = document.createElement("td");
  if (value instanceof Node) td.appendChild(value); else td.textContent = value === null || value === undefined ? "" : value;
  if (cls) td.className = cls;
  tr.appendChild(td);
  return td;
}

function button(label, onClick) {
  const b = document.createElement("button");
  b.textContent = label;
  b.addEventListener("click", onClick);
  return b;
}

// ---- identity

async function loadIdentity() {
  const id = await api("GET", dev());
  state.identity = id;
  text("id-serial", id.serial);
  if (id.boardType === undefined) {
    text("id-type", "–");
    text("id-hardware", "–");
    text("id-firmware", "–");
  } else {
    text("id-type", id.boardType + (id.meaning ? " (" + id.meaning + ")" : ""));
    text("id-hardware", "version " + id.hardwareVersion);
    text("id-firmware", "version " + id.firmwareVersion + ", " + String(id.firmwareMonth).padStart(2, "0") +
      "/" + String(id.firmwareYear).padStart(2, "0"));
  }
  const answers = $("id-answers");
  answers.textContent = id.answers ? "yes" : "no" + (id.error ? ": " + id.error : "");
  answers.className = id.answers ? "ok" : "error";
  $("channel-box").hidden = id.boardType !== 9;
  $("display-box").hidden = !(id.boardType === 5 || id.boardType === 10);
  if (!$("display-box").hidden) refreshDisplay();
}

// ---- live view

function makeChart() {
  const box = $("chart");
  box.textContent = "";
  const width = Math.max(320, box.clientWidth || 800);
  state.chart = new uPlot({
    width, height: 320,
    scales: { x: { time: false } },
    legend: { show: false },
    cursor: { drag: { x: false, y: false } },
    series: [{ label: "s" }, { label: "count", stroke: "#1565c0", width: 1, points: { show: false } }],
    axes: [{ label: "seconds" }, { label: "counts", size: 80 }],
  }, [[], []], box);
  window.addEventListener("resize", () => {
    if (state.chart) state.chart.setSize({ width: Math.max(320, box.clientWidth), height: 320 });
  });
}

function scheduleDraw() {
  if (state.drawPending) return;
  state.drawPending = true;
  // At most about ten redraws a second, whatever the sample rate.
  setTimeout(() => requestAnimationFrame(() => {
    state.drawPending = false;
    if (state.chart) state.chart.setData([state.xs, state.ys]);
  }), 100);
}

function clearRecording() {
  state.xs = []; state.ys = [];
  state.recorded = { index: [], channel: [], count: [], time: [] };
  state.recordStart = null;
  if (state.chart) state.chart.setData([[], []]);
}

function onSamples(ev) {
  const e = JSON.parse(ev.data);
  const now = Date.now();
  const stats = window.qolvenStats;
  stats.events++;
  if (state.expected !== null && e.first > state.expected) state.pageLost += e.first - state.expected;
  state.expected = e.first + e.counts.length;
  stats.received += e.counts.length;
  stats.pageLost = state.pageLost;
  if (typeof e.wall === "number") {
    const lag = now - e.wall;
    state.lag.sum += lag; state.lag.n++; state.lag.last = lag;
    state.lag.max = Math.max(state.lag.max, lag);
    if (stats.lagMs.length < 100000) stats.lagMs.push(lag);
  }
  if (state.paused) return;
  if (state.recordStart === null) state.recordStart = now;
  const rate = state.nominal || 1;
  const keep = Math.ceil(CHART_SECONDS * rate);
  const rec = state.recorded;
  for (let i = 0; i < e.counts.length; i++) {
    const channel = e.channels ? e.channels[i] : state.channel;
    const count = e.counts[i];
    if (rec.index.length < MAX_RECORDED) {
      rec.index.push(e.first + i); rec.channel.push(channel); rec.count.push(count);
      rec.time.push((now - state.recordStart) / 1000);
    }
    if (channel !== state.channel || count === null) continue;
    state.xs.push((e.first + i) / rate);
    state.ys.push(count);
  }
  if (state.xs.length > keep) {
    state.xs.splice(0, state.xs.length - keep);
    state.ys.splice(0, state.ys.length - keep);
  }
  scheduleDraw();
}

function onStatus(ev) {
  const s = JSON.parse(ev.data);
  state.nominal = s.nominal;
  state.boardLost = s.lost;
  state.perSecond = s.perSecond;
  window.qolvenStats.boardLost = s.lost;
  if (s.rate !== null && $("rate").value !== String(s.rate)) $("rate").value = String(s.rate);
  $("stream-error").textContent = s.error || "";
  const lag = state.lag.n ? Math.round(state.lag.sum / state.lag.n) + " ms (max " + Math.round(state.lag.max) + ")" : "–";
  text("stream-stats", s.perSecond + " samples/s received (nominal " + s.nominal + "), lost: " +
    s.lost + " before the server, " + state.pageLost + " on the way here; lag " + lag +
    (state.paused ? "; paused" : "") +
    (state.recorded.index.length >= MAX_RECORDED ? "; recording full" : ""));
}

function connectStream() {
  if (state.events) state.events.close();
  state.expected = null;
  const source = new EventSource(dev("/stream"));
  state.events = source;
  source.addEventListener("samples", onSamples);
  source.addEventListener("status", onStatus);
  source.addEventListener("dropped", (ev) => {
    $("stream-error").textContent = JSON.parse(ev.data).reason;
  });
  // Answering the server's pings shows that this page reads the stream; a live view
  // that does not answer may lose its place to a new one.
  let client = null;
  source.addEventListener("hello", (ev) => { client = JSON.parse(ev.data).client; });
  source.addEventListener("ping", () => {
    if (client) api("POST", dev("/stream/pong"), { client }).catch(() => {});
  });
  source.onopen = () => text("connection", "live");
  source.onerror = () => text("connection", "reconnecting…");
}

async function pollReading() {
  if (!state.serial) return;
  try {
    const r = await api("GET", dev("/reading?channel=" + state.channel));
    text("live-count", r.count);
    text("live-load", r.calibrated ? r.loadText : "–");
    text("live-unit", r.calibrated ? "unit code " + r.unit : "");
    text("live-why", r.calibrated ? "" : "No load: " + r.why + " (calibrate on the Calibration tab).");
    text("cal-current", r.count + (r.calibrated ? " counts, " + r.loadText : " counts"));
  } catch (e) {
    text("live-why", "Reading: " + e.message);
  }
}

function downloadCsv() {
  const rec = state.recorded;
  const lines = ["sample,channel,count,time"];
  for (let i = 0; i < rec.index.length; i++)
    lines.push(rec.index[i] + "," + rec.channel[i] + "," + (rec.count[i] === null ? "" : rec.count[i]) + "," +
      rec.time[i].toFixed(3));
  const blob = new Blob([lines.join("\n") + "\n"], { type: "text/csv" });
  const a = document.createElement("a");
  a.href = URL.createObjectURL(blob);
  a.download = state.serial + "-stream.csv";
  document.body.appendChild(a);
  a.click();
  setTimeout(() => { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
}

// ---- settings

let settingsGeneration = 0;

async function loadSettings() {
  const body = $("settings-table").tBodies[0];
  const generation = ++settingsGeneration;
  text("settings-status", "reading…");
  try {
    const list = await api("GET", dev("/settings?channel=" + state.channel));
    if (generation !== settingsGeneration) return;  // a later reading is under way
    body.textContent = "";
    for (const s of list.settings) body.appendChild(settingRow(s));
    text("settings-status", list.settings.length + " settings of board type " + list.boardType);
  } catch (e) {
    text("settings-status", "");
    showError("Settings: " + e.message);
  }
}

function settingRow(s) {
  const key = s.name + (s.point !== undefined ? "." + s.point : "");
  const tr = document.createElement("tr");
  tr.id = "setting-" + key;
  cell(tr, s.point !== undefined ? s.name + " " + s.point : s.name);
  const value = cell(tr, s.readable ? (s.value === null ? "" : s.value) : "(write only)", "value");
  const error = document.createElement("span");
  error.className = "error";
  error.dataset.setting = key;
  if (s.error) error.textContent = s.error;
  if (s.writable) {
    const input = document.createElement("input");
    input.dataset.setting = key;
    input.placeholder = s.syntax;
    input.size = 14;
    const save = async () => {
      error.textContent = "";
      tr.classList.remove("saved");
      try {
        const r = await api("PUT", dev("/settings/" + encodeURIComponent(s.name)),
          { value: input.value.trim(), channel: state.channel, point: s.point || 0 });
        if (r.value !== null) value.textContent = r.value;
        input.value = "";
        tr.classList.add("saved");
        if (s.name === "decimal-point" || s.name === "unit-code") loadCalibrationInfo();
      } catch (e) {
        error.textContent = e.message;
      }
    };
    input.addEventListener("keydown", (ev) => { if (ev.key === "Enter") save(); });
    cell(tr, input);
    const b = button("Save", save);
    b.dataset.setting = key;
    cell(tr, b);
  } else {
    cell(tr, "");
    cell(tr, "");
  }
  const meaning = cell(tr, s.meaning);
  meaning.appendChild(document.createElement("br"));
  meaning.appendChild(error);
  return tr;
}

// ---- calibration wizard

const wizard = { zero: null, loads: [], step: "zero" };

async function loadCalibrationInfo() {
  try {
    state.calibration = await api("GET", dev("/calibration?channel=" + state.channel));
  } catch (e) {
    state.calibration = { decimalPoint: 0, unit: 0, error: e.message };
  }
  for (const el of document.querySelectorAll(".cal-unit"))
    el.textContent = "(unit code " + state.calibration.unit + ", " + state.calibration.decimalPoint + " decimals)";
}

function showStep(step) {
  wizard.step = step;
  for (const s of ["zero", "loads", "review", "write"]) {
    $("step-" + s).hidden = s !== step;
    document.querySelector('#wizard-steps [data-step="' + s + '"]').classList.toggle("active", s === step);
  }
  if (step === "review") review();
}

function spreadText(m) {
  return Math.round(m.mean) + " counts (± " + m.stddev.toFixed(1) + ", " + m.min + " to " + m.max + ", " +
    m.samples + " readings)";
}

async function measure() {
  const samples = Number($("cal-samples").value);
  return api("POST", dev("/average"), { samples, channel: state.channel });
}

function pointsOf() {
  return [{ count: Math.round(wizard.zero.mean), load: 0 }]
    .concat(wizard.loads.map((l) => ({ count: Math.round(l.mean), load: l.load })));
}

function loadShown(raw) {
  const dp = state.calibration ? state.calibration.decimalPoint : 0;
  return (raw / Math.pow(10, dp)).toFixed(Math.min(dp, 9));
}

function renderLoads() {
  const body = $("load-table").tBodies[0];
  body.textContent = "";
  wizard.loads.forEach((l, i) => {
    const tr = document.createElement("tr");
    cell(tr, i + 1);
    cell(tr, loadShown(l.load));
    cell(tr, Math.round(l.mean));
    cell(tr, "± " + l.stddev.toFixed(1));
    cell(tr, button("Remove", () => { wizard.loads.splice(i, 1); renderLoads(); }));
    body.appendChild(tr);
  });
  $("loads-next").disabled = wizard.loads.length === 0;
}

function fillPointTable(table, points) {
  const body = table.tBodies[0];
  body.textContent = "";
  points.forEach((p, i) => {
    const tr = document.createElement("tr");
    cell(tr, i); cell(tr, loadShown(p.load)); cell(tr, p.count);
    body.appendChild(tr);
  });
}

async function review() {
  const points = pointsOf();
  fillPointTable($("review-table"), points);
  text("review-error", "");
  text("review-sensitivity", "");
  $("review-write").disabled = true;
  try {
    const r = await api("POST", dev("/calibration"), { points, channel: state.channel, check: true });
    const dp = state.calibration ? state.calibration.decimalPoint : 0;
    text("review-sensitivity", (r.sensitivity * Math.pow(10, dp)).toFixed(3) + " counts per load unit");
    $("review-write").disabled = false;
  } catch (e) {
    text("review-error", e.message);
  }
}

async function writeCalibration() {
  const now = new Date();
  const points = pointsOf();
  showStep("write");
  text("write-status", "writing…");
  fillPointTable($("written-table"), []);
  try {
    const r = await api("POST", dev("/calibration"), {
      points, channel: state.channel,
      date: { day: now.getDate(), month: now.getMonth() + 1, year: now.getFullYear() % 100 },
    });
    fillPointTable($("written-table"), r.points);
    text("write-status", "Written: " + r.stored + " loading points, read back from the board:");
    loadCalibrationInfo();
  } catch (e) {
    text("write-status", "Not written: " + e.message);
  }
}

function setUpWizard() {
  $("zero-measure").addEventListener("click", async () => {
    text("zero-result", "measuring…");
    try {
      wizard.zero = await measure();
      text("zero-result", "Zero: " + spreadText(wizard.zero));
      $("zero-next").disabled = false;
    } catch (e) {
      text("zero-result", e.message);
    }
  });
  $("zero-next").addEventListener("click", () => showStep("loads"));
  $("load-measure").addEventListener("click", async () => {
    text("load-error", "");
    const value = Number($("load-value").value);
    const dp = state.calibration ? state.calibration.decimalPoint : 0;
    const raw = Math.round(value * Math.pow(10, dp));
    if ($("load-value").value.trim() === "" || !isFinite(value)) return text("load-error", "Enter the known load first.");
    if (Math.abs(raw - value * Math.pow(10, dp)) > 1e-6)
      return text("load-error", "The board keeps " + dp + " decimals: " + value + " has more.");
    if (raw < 1 || raw > 65535)
      return text("load-error", "The load must lie between " + loadShown(1) + " and " + loadShown(65535) + ".");
    try {
      const m = await measure();
      m.load = raw;
      wizard.loads.push(m);
      renderLoads();
    } catch (e) {
      text("load-error", e.message);
    }
  });
  $("loads-back").addEventListener("click", () => showStep("zero"));
  $("loads-next").addEventListener("click", () => showStep("review"));
  $("review-back").addEventListener("click", () => showStep("loads"));
  $("review-write").addEventListener("click", writeCalibration);
  $("write-back").addEventListener("click", () => showStep("review"));
  $("write-again").addEventListener("click", () => {
    wizard.zero = null; wizard.loads = [];
    text("zero-result", ""); $("zero-next").disabled = true;
    renderLoads(); showStep("zero");
  });
  const current = document.createElement("p");
  current.innerHTML = 'Now: <span id="cal-current">–</span>';
  $("tab-calibration").insertBefore(current, $("step-zero"));
}

// ---- maintenance

async function pages(kind) {
  text("pages-status", "");
  try {
    const page = Number($("page-from").value), backup = Number($("page-to").value);
    await api("POST", dev("/" + kind), kind === "backup" ? { from: page, to: backup } : { from: backup, to: page });
    text("pages-status", kind === "backup" ? "backed up" : "restored");
    if (kind === "restore") loadSettings();
  } catch (e) {
    text("pages-status", e.message);
  }
}

async function refreshDisplay() {
  try {
    const d = await api("GET", dev("/display"));
    text("display-lines", d.lines.join("\n"));
  } catch (e) {
    text("display-lines", e.message);
  }
}

function setUpMaintenance() {
  $("backup").addEventListener("click", () => pages("backup"));
  $("restore").addEventListener("click", () => pages("restore"));
  $("reset").addEventListener("click", async () => {
    if (!confirm("Reset the board?")) return;
    text("reset-status", "resetting…");
    try {
      await api("POST", dev("/reset"));
      text("reset-status", "the board restarted and answers again");
    } catch (e) {
      text("reset-status", e.message);
    }
  });
  const keys = [["enter", "Battery / Enter"], ["tare", "Tare / Up"], ["display", "Display / Back"],
    ["reset", "Reset / Left"], ["menu", "Menu"], ["unit", "Unit / Right"], ["shunt", "Shunt / Exit"],
    ["hold", "Hold / Down"]];
  for (const [name, label] of keys) {
    const b = button(label, async () => {
      text("keys-status", "");
      try {
        await api("POST", dev("/keys/" + name));
        refreshDisplay();
      } catch (e) {
        text("keys-status", e.message);
      }
    });
    b.dataset.key = name;
    $("keys").appendChild(b);
  }
}

// ---- simulation

function setUpSimulation() {
  $("simulation").hidden = !state.simulated;
  $("sim-apply").addEventListener("click", async () => {
    text("sim-status", "");
    try {
      await api("PUT", dev("/simulation"), {
        offset: Number($("sim-offset").value), noise: Number($("sim-noise").value),
        amplitude: Number($("sim-amplitude").value), period: 10,
      });
      text("sim-status", "applied");
    } catch (e) {
      text("sim-status", e.message);
    }
  });
}

// ---- start

async function selectDevice(serial) {
  state.serial = serial;
  showError("");
  clearRecording();
  state.pageLost = 0;
  state.lag = { sum: 0, n: 0, max: 0, last: 0 };
  try {
    await loadIdentity();
  } catch (e) {
    showError("Device " + serial + ": " + e.message);
  }
  connectStream();
  await loadCalibrationInfo();
  if (!$("tab-settings").hidden) loadSettings();
}

function setUpTabs() {
  for (const b of document.querySelectorAll("#tabs button"))
    b.addEventListener("click", () => {
      for (const o of document.querySelectorAll("#tabs button")) o.classList.toggle("active", o === b);
      for (const t of document.querySelectorAll(".tab")) t.hidden = t.id !== "tab-" + b.dataset.tab;
      if (b.dataset.tab === "settings") loadSettings();
      if (b.dataset.tab === "calibration") loadCalibrationInfo();
    });
}

async function start() {
  // The session's cookie stands for the token now; keep the token out of the address bar,
  // bookmarks and screenshots.  Every address the page uses is relative to its session's path.
  if (location.search.includes("token=")) history.replaceState(null, "", location.pathname);
  RATES.forEach((r, code) => {
    const o = document.createElement("option");
    o.value = String(code);
    o.textContent = code + ": " + r + " samples/s";
    $("rate").appendChild(o);
  });
  setUpTabs();
  setUpWizard();
  setUpMaintenance();
  $("pause").addEventListener("click", () => {
    state.paused = !state.paused;
    $("pause").textContent = state.paused ? "Resume" : "Pause";
  });
  $("clear").addEventListener("click", clearRecording);
  $("download").addEventListener("click", downloadCsv);
  $("settings-reload").addEventListener("click", loadSettings);
  $("rate").addEventListener("change", async () => {
    try {
      const r = await api("PUT", dev("/stream"), { rate: Number($("rate").value) });
      state.nominal = r.nominal;
      clearRecording();
    } catch (e) {
      $("stream-error").textContent = e.message;
    }
  });
  $("channel").addEventListener("change", async () => {
    state.channel = Number($("channel").value);
    try {
      await api("PUT", dev("/stream"), { channel: state.channel });
    } catch (e) {
      $("stream-error").textContent = e.message;
    }
    clearRecording();
    loadCalibrationInfo();
  });
  $("device").addEventListener("change", () => selectDevice($("device").value));

  let info;
  try {
    info = await api("GET", "api");
  } catch (e) {
    showError(e.message);
    return;
  }
  state.simulated = info.simulated;
  setUpSimulation();
  if (!info.devices.length) {
    $("no-device").hidden = false;
    return;
  }
  for (const serial of info.devices) {
    const o = document.createElement("option");
    o.textContent = serial;
    $("device").appendChild(o);
  }
  $("main").hidden = false;
  makeChart();
  await selectDevice(info.devices[0]);
  state.readingTimer = setInterval(pollReading, 500);
  pollReading();
  document.body.dataset.ready = "yes";
}

start();
