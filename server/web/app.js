// The page of `qolven serve`: everything it shows comes from the server's JSON API.
// Addresses are relative to the page's own, wherever the server serves it.
"use strict";

const $ = (id) => document.getElementById(id);
const CHART_SECONDS = 10;
const MAX_RECORDED = 2000000;
const STALE_MS = 3000;          // a reading older than this is shown as stale
const RETRY_MS = 2000;          // before the live view is opened again after the browser gave up

const state = {
  serial: null,
  simulated: false,
  identity: null,
  rates: [],            // nominal samples per second by rate code (the library's table)
  keys: [],             // front-panel keys (the library's table)
  calibration: null,    // the selected channel's calibration, as GET .../calibration gives it
  reading: null,
  readingAt: 0,
  events: null,
  eventsRetry: null,
  paused: false,
  channel: 0,
  chart: null,
  series: "count",
  yRange: null,         // [min, max] when zoomed, else fitted to the data
  xs: [], ys: [],
  origin: null,         // wall-clock seconds at the chart's 0
  gapPending: false,    // samples went missing before the next one drawn
  lastSequence: null, lastStart: null, lastIndex: null,
  joinedAt: null,       // the first sample number this page got of the stream
  gaps: 0,              // sample numbers skipped in what this page got
  missed: 0,            // samples the server sent while this page was not there
  recorded: { sample: [], channel: [], count: [], load: [], time: [] },
  recordOrigin: null,
  status: null,
  lag: { sum: 0, n: 0, max: 0 },
  drawPending: false,
  contact: { ok: true, since: null, why: "" },
};
// Figures the benchmark and the tests read from the page.
window.qolvenStats = { received: 0, pageLost: 0, boardLost: 0, gaps: 0, lagMs: [], events: 0 };

class ApiError extends Error {
  constructor(message, status, data) {
    super(message);
    this.status = status;
    this.data = data || {};
  }
}

async function api(method, path, body) {
  const init = { method, credentials: "same-origin", headers: {} };
  if (body !== undefined) {
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch(path, init);
  } catch (e) {
    lostContact("down");
    throw new ApiError("the server does not answer", 0);
  }
  let data = null;
  try { data = await res.json(); } catch (e) { data = null; }
  if (res.status === 401) {
    lostContact("token");
    throw new ApiError("the server no longer takes this page's token", 401, data);
  }
  regainedContact();
  if (!res.ok) throw new ApiError((data && data.error) || res.status + " " + res.statusText, res.status, data);
  return data;
}

const dev = (path) => "api/devices/" + encodeURIComponent(state.serial) + (path || "");

function text(id, value) {
  const e = $(id);
  e.textContent = value === null || value === undefined ? "" : value;
  if (e.classList.contains("line")) e.title = e.textContent;
}

function clock(ms) { return new Date(ms).toLocaleTimeString(); }

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

function listInto(ul, items) {
  ul.textContent = "";
  for (const item of items) {
    const li = document.createElement("li");
    li.textContent = item;
    ul.appendChild(li);
  }
}

// ---- contact with the server

function lostContact(why) {
  const c = state.contact;
  if (c.ok) c.since = state.readingAt || Date.now();
  c.ok = false;
  c.why = why;
  const banner = $("contact");
  banner.hidden = false;
  banner.className = "notice lost";
  const asOf = "The values below are from " + clock(c.since) + ".";
  if (why === "token") {
    banner.textContent = "This page has lost its access: the server no longer takes its token (most likely it " +
      "was restarted and made a new one). Open the address qolven serve printed when it started (it ends in " +
      "?token=…) to go on. " + asOf;
  } else {
    banner.textContent = "No contact with the server since " + clock(c.since) + "; trying again. " + asOf;
  }
  text("connection", "no contact");
  markStale();
}

function regainedContact() {
  const c = state.contact;
  if (c.ok) return;
  c.ok = true;
  $("contact").hidden = true;
  // What the page showed may be out of date: read it all again.
  if (state.serial) {
    loadIdentity().catch(() => {});
    connectStream();
  }
}

async function checkContact() {
  try { await api("GET", "api"); } catch (e) { /* the banner says it */ }
}

function markStale() {
  $("reading").classList.add("stale");
  text("live-as-of", state.readingAt ? "as of " + clock(state.readingAt) : "");
  const answers = $("id-answers");
  answers.textContent = "unknown: no contact with the server since " + clock(state.contact.since || Date.now());
  answers.className = "stale";
  for (const dd of document.querySelectorAll("#figures dd")) dd.classList.add("stale");
}

function watchStaleness() {
  const old = !state.contact.ok || !state.readingAt || Date.now() - state.readingAt > STALE_MS;
  $("reading").classList.toggle("stale", old);
  text("live-as-of", old && state.readingAt ? "as of " + clock(state.readingAt) : "");
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
  showAnswers(id.answers, id.error);
  const families = id.families || [];
  $("channel-box").hidden = id.class !== "multi-channel";
  $("display-box").hidden = !families.includes("keys");
  fillRates(id.lastRateCode);
  if (!$("display-box").hidden) refreshDisplay();
}

function showAnswers(yes, error) {
  const answers = $("id-answers");
  answers.textContent = yes ? "yes" : "no" + (error ? ": " + error : "");
  answers.className = yes ? "ok" : "error";
}

function fillRates(last) {
  const select = $("rate");
  const keep = select.value;
  select.textContent = "";
  state.rates.forEach((r, code) => {
    if (last !== undefined && last >= 0 && code > last) return;
    const o = document.createElement("option");
    o.value = String(code);
    o.textContent = code + ": " + r + " samples/s";
    select.appendChild(o);
  });
  if (keep) select.value = keep;
  if (state.status && state.status.rate !== null) select.value = String(state.status.rate);
}

// ---- live view

function chartWidth() { return Math.max(200, $("chart").clientWidth || 800); }

function makeChart() {
  const box = $("chart");
  box.textContent = "";
  state.chart = new uPlot({
    width: chartWidth(), height: 320,
    scales: {
      x: { time: false },
      y: { range: (u, min, max) => state.yRange || uPlot.rangeNum(min, max, 0.1, true) },
    },
    legend: { show: false },
    cursor: { drag: { x: false, y: false } },
    series: [{ label: "s" }, { label: state.series, stroke: "#1565c0", width: 1, points: { show: false }, spanGaps: false }],
    axes: [{ label: "seconds" }, { label: state.series === "load" ? "load" : "counts", size: 80 }],
  }, [[], []], box);
  window.qolvenChart = state.chart;
}

function scheduleDraw() {
  if (state.drawPending) return;
  state.drawPending = true;
  // At most about ten redraws a second, whatever the sample rate.
  setTimeout(() => requestAnimationFrame(() => {
    state.drawPending = false;
    draw();
  }), 100);
}

function decimals() {
  if (state.series !== "load") return 0;
  const dp = state.calibration && state.calibration.decimalPoint;
  return Math.min(Math.max(dp || 0, 0), 9);
}

function draw() {
  if (!state.chart) return;
  state.chart.setData([state.xs, state.ys]);
  // Min, max and mean over what the chart shows.
  let n = 0, sum = 0, min = Infinity, max = -Infinity;
  for (const y of state.ys) {
    if (y === null || !isFinite(y)) continue;
    n++; sum += y;
    if (y < min) min = y;
    if (y > max) max = y;
  }
  const places = decimals();
  const span = state.xs.length ? state.xs[state.xs.length - 1] - state.xs[0] : 0;
  text("fig-window", n ? span.toFixed(1) + " s" : "–");
  $("fig-window").title = n + " samples";
  text("fig-min", n ? min.toFixed(places) : "–");
  text("fig-max", n ? max.toFixed(places) : "–");
  text("fig-mean", n ? (sum / n).toFixed(places + 1) : "–");
}

function clearChart() {
  state.xs = []; state.ys = [];
  state.gapPending = false;
  draw();
}

function clearRecording() {
  clearChart();
  state.recorded = { sample: [], channel: [], count: [], load: [], time: [] };
  state.recordOrigin = null;
}

function resetStreamView() {
  clearRecording();
  state.origin = null;
  state.lastSequence = state.lastStart = state.lastIndex = state.joinedAt = null;
  state.gaps = state.missed = 0;
  state.status = null;
  state.lag = { sum: 0, n: 0, max: 0 };
}

function onSamples(ev) {
  const e = JSON.parse(ev.data);
  const now = Date.now();
  const stats = window.qolvenStats;
  const n = e.sequence.length;
  stats.events++;
  stats.received += n;
  if (typeof e.wall === "number") {
    const lag = now - e.wall;
    state.lag.sum += lag; state.lag.n++;
    state.lag.max = Math.max(state.lag.max, lag);
    if (stats.lagMs.length < 100000) stats.lagMs.push(lag);
  }
  // Another stream (the server started again): its numbers start afresh, and the chart shows the pause.
  const sameStream = state.lastStart === e.start;
  if (!sameStream) {
    if (state.lastStart !== null) state.gapPending = true;
    state.lastSequence = null;
    state.joinedAt = e.sequence[0];
  } else if (state.lastIndex !== null && e.first > state.lastIndex) {
    state.missed += e.first - state.lastIndex;  // events this page did not get
  }
  state.lastStart = e.start;
  state.lastIndex = e.first + n;
  if (state.origin === null) state.origin = e.start + e.time[0];
  const rec = state.recorded;
  for (let i = 0; i < n; i++) {
    const sequence = e.sequence[i];
    if (state.lastSequence !== null && sequence !== state.lastSequence + 1) {
      state.gaps += sequence - state.lastSequence - 1;
      state.gapPending = true;
    }
    state.lastSequence = sequence;
    if (state.paused) continue;
    const channel = e.channels ? e.channels[i] : state.channel;
    const count = e.counts[i];
    const load = e.loads ? e.loads[i] : null;
    const at = e.start + e.time[i];
    if (rec.sample.length < MAX_RECORDED) {
      if (state.recordOrigin === null) state.recordOrigin = at;
      rec.sample.push(sequence); rec.channel.push(channel); rec.count.push(count); rec.load.push(load);
      rec.time.push(at - state.recordOrigin);
    }
    if (channel !== state.channel) continue;
    const x = at - state.origin;
    if (state.gapPending && state.xs.length) {
      // A point without a value breaks the line where samples are missing.
      state.xs.push((state.xs[state.xs.length - 1] + x) / 2);
      state.ys.push(null);
    }
    state.gapPending = false;
    state.xs.push(x);
    state.ys.push(state.series === "load" ? load : count);
  }
  stats.gaps = state.gaps;
  stats.pageLost = state.missed;
  // The chart shows the last seconds by the samples' own times, whatever the rate.
  const latest = state.xs.length ? state.xs[state.xs.length - 1] : 0;
  let drop = 0;
  while (drop < state.xs.length && state.xs[drop] < latest - CHART_SECONDS) drop++;
  if (drop) { state.xs.splice(0, drop); state.ys.splice(0, drop); }
  if (!state.paused) scheduleDraw();
}

const LOSS_BASIS = {
  "nominal-rate": "counted from the shortfall against the nominal rate",
  "board": "counted by the board",
};

function onStatus(ev) {
  const s = JSON.parse(ev.data);
  state.status = s;
  // What the figures call lost against the gaps in what came before them.
  window.qolvenStats.boardLost = s.lost;
  window.qolvenStats.gapsAtStatus = state.gaps;
  window.qolvenStats.joinedAt = state.joinedAt;
  for (const dd of document.querySelectorAll("#figures dd")) dd.classList.remove("stale");
  if (s.rate !== null && $("rate").value !== String(s.rate) && document.activeElement !== $("rate"))
    $("rate").value = String(s.rate);
  text("fig-rate", s.state === "running" ? s.perSecond + "/s of " + s.nominal : s.state);
  text("fig-received", s.received);
  text("fig-lost", s.lost);
  $("fig-lost").title = "samples lost, " + (LOSS_BASIS[s.lossBasis] || s.lossBasis);
  text("fig-timeouts", s.timeouts + (s.failedRequests ? " (+" + s.failedRequests + " failed)" : ""));
  text("fig-reconnects", s.reconnects);
  text("fig-lag", state.lag.n ? Math.round(state.lag.sum / state.lag.n) + " ms" : "–");
  $("fig-lag").title = state.lag.n ? "mean " + Math.round(state.lag.sum / state.lag.n) + " ms, most " +
    Math.round(state.lag.max) + " ms" : "";
  let note = s.start ? "Stream since " + clock(s.start * 1000) : "";
  if (s.start) note += "; lost samples are " + (LOSS_BASIS[s.lossBasis] || s.lossBasis);
  if (state.joinedAt) note += "; this page joined at sample " + state.joinedAt + " (losses since: " + state.gaps + ")";
  if (state.missed) note += "; " + state.missed + " samples passed while this page was away";
  if (state.paused) note += "; paused";
  if (state.recorded.sample.length >= MAX_RECORDED) note += "; recording full";
  text("stream-note", note);
  text("stream-error", s.error ? s.error : "");
  if (s.state === "reconnecting") text("connection", "device gone: waiting for it");
  else if (state.contact.ok && state.events && state.events.readyState === EventSource.OPEN) text("connection", "live");
}

function onStreamEvent(ev) {
  const e = JSON.parse(ev.data);
  text("stream-error", clock(Date.now()) + " " + ev.type + ": " + e.text);
}

function connectStream() {
  if (state.events) state.events.close();
  clearTimeout(state.eventsRetry);
  const source = new EventSource(dev("/stream"));
  state.events = source;
  source.addEventListener("samples", onSamples);
  source.addEventListener("status", onStatus);
  for (const kind of ["lost", "disconnected", "reconnected"]) source.addEventListener(kind, onStreamEvent);
  source.addEventListener("dropped", (ev) => text("stream-error", JSON.parse(ev.data).reason));
  // Answering the server's pings shows that this page reads the stream; a live view
  // that does not answer may lose its place to a new one.
  let client = null;
  source.addEventListener("hello", (ev) => { client = JSON.parse(ev.data).client; });
  source.addEventListener("ping", () => {
    if (client) api("POST", dev("/stream/pong"), { client }).catch(() => {});
  });
  source.addEventListener("closed", (ev) => text("stream-error", "The live view ended: " + JSON.parse(ev.data).reason));
  source.onopen = () => {
    if (state.contact.ok) text("connection", "live");
  };
  source.onerror = () => {
    for (const dd of document.querySelectorAll("#figures dd")) dd.classList.add("stale");
    if (source.readyState !== EventSource.CLOSED) {
      text("connection", "reconnecting…");
      return;
    }
    // The browser gave up (a refusal such as a lost token): find out why, and try again later.
    text("connection", "live view closed");
    checkContact().finally(() => {
      state.eventsRetry = setTimeout(() => { if (state.events === source) connectStream(); }, RETRY_MS);
    });
  };
}

async function pollReading() {
  if (!state.serial) return;
  try {
    const r = await api("GET", dev("/reading?channel=" + state.channel));
    state.reading = r;
    state.readingAt = Date.now();
    text("live-count", r.count !== null ? r.count : r.status);
    text("live-load", r.calibrated ? r.loadText : "–");
    text("live-unit", r.calibrated ? "unit code " + r.unit + (r.tared ? ", tared" : "") : "");
    text("live-why", r.calibrated ? "" : "No load because " + r.why + ".");
    text("cal-current", (r.count !== null ? r.count + " counts" : r.status) + (r.calibrated ? ", " + r.loadText : ""));
    $("untare").disabled = !r.tared;
    showAnswers(true);
  } catch (e) {
    if (e.status === 0 || e.status === 401) return;  // the banner says it
    text("live-why", "Reading: " + e.message);
    if (e.status >= 500) showAnswers(false, e.message);
  } finally {
    watchStaleness();
  }
}

function downloadCsv() {
  const rec = state.recorded;
  const lines = ["sample,channel,count,load,time"];
  for (let i = 0; i < rec.sample.length; i++)
    lines.push(rec.sample[i] + "," + rec.channel[i] + "," + rec.count[i] + "," +
      (rec.load[i] === null ? "" : rec.load[i]) + "," + rec.time[i].toFixed(4));
  const blob = new Blob([lines.join("\n") + "\n"], { type: "text/csv" });
  const a = document.createElement("a");
  a.href = URL.createObjectURL(blob);
  a.download = state.serial + "-stream.csv";
  document.body.appendChild(a);
  a.click();
  setTimeout(() => { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
}
window.qolvenCsv = () => state.recorded;

function zoom(factor) {
  const u = state.chart;
  if (!u) return;
  const [min, max] = state.yRange || [u.scales.y.min, u.scales.y.max];
  if (!isFinite(min) || !isFinite(max)) return;
  const middle = (min + max) / 2, half = Math.max((max - min) / 2 * factor, 1e-9);
  state.yRange = [middle - half, middle + half];
  draw();
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

// The range of a setting's syntax ("0..255"), or null.
function syntaxRange(syntax) {
  const m = /^(-?\d+)\.\.(-?\d+)$/.exec(syntax || "");
  return m ? [Number(m[1]), Number(m[2])] : null;
}

// A decimal point written over a calibration moves every load: ask first.
async function decimalPointAgreed(value, syntax) {
  const next = Number(value), range = syntaxRange(syntax);
  // What the board does not take the server refuses with the library's words; nothing to ask.
  if (value === "" || !Number.isInteger(next) || (range && (next < range[0] || next > range[1]))) return true;
  let c;
  try {
    c = await api("GET", dev("/calibration?channel=" + state.channel));
  } catch (e) {
    return true;
  }
  if (c.source === "none" || c.decimalPoint === null || c.decimalPoint === next) return true;
  const places = next - c.decimalPoint, factor = Math.pow(10, Math.abs(places));
  const what = c.source === "table" ? "its " + c.points.length + " loading points" : "its offset and full-scale pair";
  let example = "";
  const r = state.reading;
  if (r && r.calibrated) {
    const moved = r.load / Math.pow(10, places);
    example = " The present load " + r.loadText + " would read " + moved.toFixed(Math.min(Math.max(next, 0), 9)) + ".";
  }
  return confirm("The board is calibrated (" + what + ", loads with decimal point " + c.decimalPoint + "). " +
    "Decimal point " + next + " makes every load " + factor + " times " + (places > 0 ? "smaller" : "larger") +
    "." + example + " Write it anyway?");
}

function settingRow(s) {
  const key = s.name + (s.point !== undefined ? "." + s.point : "");
  const tr = document.createElement("tr");
  tr.id = "setting-" + key;
  cell(tr, s.point !== undefined ? s.name + " " + s.point : s.name);
  const value = cell(tr, s.readable ? (s.value === null ? "" : s.value) : "(write only)", "value");
  const message = document.createElement("span");
  message.className = "error";
  message.dataset.setting = key;
  if (s.error) message.textContent = s.error;
  if (s.writable) {
    const input = document.createElement("input");
    input.dataset.setting = key;
    input.setAttribute("aria-label", "new value of " + key + " (" + s.syntax + ")");
    const syntax = document.createElement("span");
    syntax.className = "syntax";
    syntax.textContent = s.syntax;
    const field = document.createElement("div");
    field.appendChild(input);
    field.appendChild(syntax);
    const save = async () => {
      message.textContent = "";
      message.className = "error";
      tr.classList.remove("saved");
      const body = { value: input.value.trim(), channel: state.channel };
      if (s.point !== undefined) body.point = s.point;
      if (s.name === "decimal-point" && !(await decimalPointAgreed(body.value, s.syntax))) {
        message.textContent = "not written";
        return;
      }
      try {
        const r = await api("PUT", dev("/settings/" + encodeURIComponent(s.name)), body);
        if (r.value !== null) value.textContent = r.value;
        input.value = "";
        tr.classList.add("saved");
        if (r.warning) {
          message.className = "muted";
          message.textContent = r.warning;
        }
        if (s.name === "decimal-point" || s.name === "unit-code") loadCalibrationInfo();
      } catch (e) {
        message.textContent = e.message;
      }
    };
    input.addEventListener("keydown", (ev) => { if (ev.key === "Enter") save(); });
    cell(tr, field);
    const b = button("Save", save);
    b.dataset.setting = key;
    cell(tr, b);
  } else {
    cell(tr, "");
    cell(tr, "");
  }
  const meaning = cell(tr, s.meaning);
  meaning.appendChild(document.createElement("br"));
  meaning.appendChild(message);
  return tr;
}

// ---- calibration wizard

const wizard = { zero: null, loads: [], step: "zero" };

async function loadCalibrationInfo() {
  try {
    state.calibration = await api("GET", dev("/calibration?channel=" + state.channel));
  } catch (e) {
    state.calibration = { decimalPoint: 0, unit: null, source: "none", why: e.message };
  }
  const c = state.calibration;
  for (const el of document.querySelectorAll(".cal-unit"))
    el.textContent = "(unit code " + (c.unit === null ? "–" : c.unit) + ", " + (c.decimalPoint || 0) + " decimals)";
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

function decimalPlaces() { return Math.max((state.calibration && state.calibration.decimalPoint) || 0, 0); }

function loadShown(raw) {
  const dp = decimalPlaces();
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
  // Said at once, not only at the review: each load must be heavier than the one before.
  const warnings = [];
  let previous = { load: 0, name: "the zero point" };
  wizard.loads.forEach((l, i) => {
    if (l.load <= previous.load)
      warnings.push("Point " + (i + 1) + " (" + loadShown(l.load) + ") is not heavier than " + previous.name +
        " (" + loadShown(previous.load) + "): the loads must increase; remove one of them.");
    previous = { load: l.load, name: "point " + (i + 1) };
  });
  listInto($("load-warnings"), warnings);
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
  listInto($("review-problems"), []);
  $("review-sensitivity-line").hidden = true;
  text("review-status", "checking…");
  $("review-write").disabled = true;
  try {
    const r = await api("POST", dev("/calibration"), { points, channel: state.channel, check: true });
    text("review-status", "");
    text("review-sensitivity", (r.sensitivity * Math.pow(10, decimalPlaces())).toFixed(3) + " counts per load unit");
    $("review-sensitivity-line").hidden = false;
    $("review-write").disabled = false;
  } catch (e) {
    text("review-status", "Not written as it is:");
    listInto($("review-problems"), e.data.problems || [e.message]);
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
    const dp = decimalPlaces();
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
}

// ---- maintenance

async function pages(kind) {
  text("pages-status", "");
  const page = Number($("page-from").value), backup = Number($("page-to").value);
  if (kind === "restore" && !confirm("Restore backup page " + backup + " into setting page " + page +
      "? What the board keeps on page " + page + " now is overwritten.")) return;
  try {
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

const capitalized = (word) => word.charAt(0).toUpperCase() + word.slice(1);

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
  $("keys").textContent = "";
  for (const k of state.keys) {
    const label = k.alias && k.alias !== k.name ? capitalized(k.name) + " / " + capitalized(k.alias) : capitalized(k.name);
    const b = button(label, async () => {
      text("keys-status", "");
      try {
        await api("POST", dev("/keys/" + k.name));
        refreshDisplay();
      } catch (e) {
        text("keys-status", e.message);
      }
    });
    b.dataset.key = k.name;
    $("keys").appendChild(b);
  }
}

// ---- simulation

const SIGNAL = [["sim-offset", "offset"], ["sim-noise", "noise"], ["sim-amplitude", "amplitude"], ["sim-period", "period"]];

async function loadSimulation() {
  if (!state.simulated) return;
  try {
    const signal = await api("GET", dev("/simulation"));
    for (const [id, field] of SIGNAL) $(id).value = String(signal[field]);
    text("sim-status", "");
  } catch (e) {
    text("sim-status", e.message);
  }
}

function setUpSimulation() {
  $("simulation").hidden = !state.simulated;
  $("sim-apply").addEventListener("click", async () => {
    text("sim-status", "");
    const body = {};
    for (const [id, field] of SIGNAL) body[field] = Number($(id).value);
    try {
      const signal = await api("PUT", dev("/simulation"), body);
      for (const [id, field] of SIGNAL) $(id).value = String(signal[field]);
      text("sim-status", "applied");
    } catch (e) {
      text("sim-status", e.message);
    }
  });
}

// ---- start

async function selectDevice(serial) {
  state.serial = serial;
  state.reading = null;
  state.readingAt = 0;
  showError("");
  resetStreamView();
  try {
    await loadIdentity();
  } catch (e) {
    showError("Device " + serial + ": " + e.message);
  }
  connectStream();
  await Promise.all([loadCalibrationInfo(), loadSimulation()]);
  if (!$("tab-settings").hidden) loadSettings();
}

function setUpTabs() {
  for (const b of document.querySelectorAll("#tabs button"))
    b.addEventListener("click", () => {
      for (const o of document.querySelectorAll("#tabs button")) o.classList.toggle("active", o === b);
      for (const t of document.querySelectorAll(".tab")) t.hidden = t.id !== "tab-" + b.dataset.tab;
      if (b.dataset.tab === "settings") loadSettings();
      if (b.dataset.tab === "calibration") loadCalibrationInfo();
      if (b.dataset.tab === "live" && state.chart) state.chart.setSize({ width: chartWidth(), height: 320 });
    });
}

function setUpLiveControls() {
  $("pause").addEventListener("click", () => {
    state.paused = !state.paused;
    $("pause").textContent = state.paused ? "Resume" : "Pause";
  });
  $("clear").addEventListener("click", clearRecording);
  $("download").addEventListener("click", downloadCsv);
  $("rate").addEventListener("change", async () => {
    try {
      await api("PUT", dev("/stream"), { rate: Number($("rate").value) });
    } catch (e) {
      text("stream-error", e.message);
    }
  });
  $("channel").addEventListener("change", async () => {
    state.channel = Number($("channel").value);
    try {
      await api("PUT", dev("/stream"), { channel: state.channel });
    } catch (e) {
      text("stream-error", e.message);
    }
    clearChart();
    loadCalibrationInfo();
  });
  $("series").addEventListener("change", () => {
    state.series = $("series").value;
    state.yRange = null;
    makeChart();
    clearChart();
  });
  $("y-in").addEventListener("click", () => zoom(0.5));
  $("y-out").addEventListener("click", () => zoom(2));
  $("y-fit").addEventListener("click", () => { state.yRange = null; draw(); });
  $("tare").addEventListener("click", async () => {
    try {
      await api("PUT", dev("/tare"), { channel: state.channel });
      pollReading();
    } catch (e) {
      text("live-why", "Tare: " + e.message);
    }
  });
  $("untare").addEventListener("click", async () => {
    try {
      await api("DELETE", dev("/tare?channel=" + state.channel));
      pollReading();
    } catch (e) {
      text("live-why", "Tare: " + e.message);
    }
  });
}

async function start() {
  // The session's cookie stands for the token now; keep the token out of the address bar,
  // bookmarks and screenshots.  Every address the page uses is relative to its session's path.
  if (location.search.includes("token=")) history.replaceState(null, "", location.pathname);
  setUpTabs();
  setUpWizard();
  setUpLiveControls();
  $("settings-reload").addEventListener("click", loadSettings);
  $("device").addEventListener("change", () => selectDevice($("device").value));

  let info;
  try {
    info = await api("GET", "api");
  } catch (e) {
    if (e.status !== 401) showError(e.message);
    return;
  }
  state.simulated = info.simulated;
  state.rates = info.rates || [];
  state.keys = info.keys || [];
  setUpSimulation();
  setUpMaintenance();
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
  fillRates();
  makeChart();
  window.addEventListener("resize", () => {
    if (state.chart) state.chart.setSize({ width: chartWidth(), height: 320 });
  });
  await selectDevice(info.devices[0]);
  setInterval(pollReading, 500);
  pollReading();
  document.body.dataset.ready = "yes";
}

start();
