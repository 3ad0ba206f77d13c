// The one page of kestu-web: plain HTML, CSS and JavaScript, no build step
// and nothing fetched from elsewhere.
//
// Query switches: "process=...&driver=..." chooses the driver shown first
// (else the first one of a reachable process); "still=1" shows the preview
// as snapshots polled once a
// second and the events from the state (no never-ending requests, so a
// headless browser can take a screenshot); "report=1" posts what the page
// shows (the preview's natural width, the event rows) to
// /api/browser-report twice a second, for the browser test.
//
// Over the preview, a banner tells since when the chosen driver, which has
// a source, has given no picture (no frame read and no JPEG for 5 s), from
// the camera state in /api/state.
//
// The charts (/chart.js) and the zone editor (/editor.js) come before the
// page's own script and register with window.kestu: onChoose (a driver was
// chosen) and onEvent (a result or status arrived).
#include "tools/web/web_page.h"

namespace kestu_tools {

const char* WebPage() {
  return R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>kestu-vision</title>
<style>
 body { font: 14px sans-serif; margin: 12px; background: #f4f4f4; color: #222; }
 h1 { font-size: 18px; margin: 0 0 8px 0; }
 h2 { font-size: 15px; margin: 12px 0 4px 0; }
 table { border-collapse: collapse; background: #fff; }
 td, th { border: 1px solid #ccc; padding: 2px 6px; text-align: left; }
 tr.chosen { background: #dde8ff; }
 tr.driver { cursor: pointer; }
 .bad { color: #b00; } .good { color: #070; }
 #layout { display: flex; gap: 16px; align-items: flex-start; }
 #preview { max-width: 720px; min-width: 320px; min-height: 180px; background: #000; display: block; }
 #log { height: 140px; overflow-y: scroll; background: #fff; border: 1px solid #ccc; padding: 4px; font: 12px monospace; width: 720px; }
 textarea { width: 720px; height: 120px; font: 12px monospace; }
 button { margin: 2px; }
 button.on { background: #ffd34d; }
 #stage { position: relative; display: inline-block; line-height: 0; }
 #editor { position: absolute; left: 0; top: 0; cursor: crosshair; }
 #no-picture { position: absolute; left: 0; right: 0; top: 0; padding: 6px 10px; line-height: 1.3;
   background: rgba(176, 0, 0, 0.85); color: #fff; font-weight: bold; pointer-events: none; }
 .tools { margin: 4px 0; }
 .tools input[type=text] { width: 9em; }
 .tools input[type=number] { width: 5em; }
 #whatif, #shapes { font: 12px monospace; }
 #apply-answer.bad { color: #b00; } #apply-answer.good { color: #070; }
 svg.chart { background: #fff; border: 1px solid #ccc; display: block; }
 svg.chart text { font: 11px sans-serif; fill: #333; }
</style>
</head>
<body>
<h1>kestu-vision</h1>
<table id="drivers"><thead><tr><th>process</th><th>driver</th><th>ports</th>
<th>reachable</th><th>alive</th><th>connected</th><th>configured</th>
<th>results</th><th>last status</th></tr></thead><tbody></tbody></table>
<div id="layout">
<div>
<h2>Preview of <span id="chosen">no driver</span></h2>
<div id="stage"><img id="preview" alt="preview"><svg id="editor"></svg><div id="no-picture" hidden></div></div>
<div>
<button data-action="START_STREAMING">Start streaming</button>
<button data-action="STOP_STREAMING">Stop streaming</button>
<button data-action="CAPTURE_PREVIEW">Capture preview</button>
<button data-action="START_RECORDING">Start recording</button>
<input id="duration" type="number" value="10" min="1" style="width:4em"> s
<button data-action="STOP_RECORDING">Stop recording</button>
</div>
<h2>Zones</h2>
<div class="tools">
<button id="draw-line">Draw line</button>
<button id="draw-area">Draw area</button>
<button id="delete-shape">Delete</button>
name <input id="shape-name" type="text">
band <input id="shape-height" type="number" min="1"> px
m/px <input id="shape-scale" type="number" min="0" step="0.001">
<label title="count every pass through the band, not only a track's first"><input id="shape-repeat" type="checkbox"> every pass</label>
<button id="apply-zones">Apply</button>
<span id="apply-answer"></span>
</div>
<div class="tools">
recount over <select id="whatif-source"><option value="live">the live history</option></select>
<input id="recording-file" type="file" title="a detections file">
forget after <input id="forget-after" type="number" min="1"> frames
</div>
<div id="shapes"></div>
<div id="whatif"></div>
<h2>Configuration (DriverConfig, protobuf text format)</h2>
<textarea id="config" spellcheck="false"></textarea><br>
<button id="send">Send configuration</button>
<h2>Statuses</h2>
<div id="log"></div>
</div>
<div>
<h2>Counts by zone</h2>
<table id="zones"><thead><tr><th>zone</th><th>forward</th><th>backward</th></tr></thead><tbody></tbody></table>
<h2>Counts per hour, last 24 hours <a id="csv-hours" href="#">CSV</a></h2>
<svg id="chart-hours" class="chart" width="620" height="210"></svg>
<h2>Counts per day, last 30 days <a id="csv-days" href="#">CSV</a></h2>
<svg id="chart-days" class="chart" width="620" height="210"></svg>
<h2>Latest events</h2>
<table id="events"><thead><tr><th>time</th><th>driver</th><th>event</th><th>zone</th>
<th>direction</th><th>speed</th><th>tracking id</th><th>type</th></tr></thead><tbody></tbody></table>
</div>
</div>
<script src="/chart.js"></script>
<script src="/editor.js"></script>
<script>
"use strict";
const params = new URLSearchParams(location.search);
const still = params.get("still") === "1";
const report = params.get("report") === "1";
let chosen = null;   // {process, driver}
let state = null;
const shown = new Set();
const $ = (id) => document.getElementById(id);
const path = (p, d, ext, kind) =>
  "/" + kind + "/" + encodeURIComponent(p) + "/" + d + "." + ext;

function text(cell, value) { cell.textContent = value === undefined ? "" : String(value); }
function flag(cell, on) { text(cell, on ? "yes" : "no"); cell.className = on ? "good" : "bad"; }

function log(line, bad) {
  const div = document.createElement("div");
  div.textContent = new Date().toLocaleTimeString() + "  " + line;
  if (bad) div.className = "bad";
  $("log").prepend(div);
  while ($("log").childNodes.length > 200) $("log").lastChild.remove();
}

function choose(p, d) {
  chosen = {process: p, driver: d};
  text($("chosen"), d + " of " + p);
  if (!still) $("preview").src = path(p, d, "mjpg", "stream") + "?headers_ahead=1";
  render();
  for (const f of window.kestu.onChoose) f(chosen);
}

// The chosen driver's camera has a source and no frame was read and no
// picture came for this long: the banner over the preview says since when.
const noPictureMs = 5000;

function clock(t) {
  const two = (n) => String(n).padStart(2, "0");
  const time = two(t.getHours()) + ":" + two(t.getMinutes()) + ":" + two(t.getSeconds());
  if (t.toDateString() === new Date().toDateString()) return time;
  return t.getFullYear() + "-" + two(t.getMonth() + 1) + "-" + two(t.getDate()) + " " + time;
}

function showPicture(d) {
  const banner = $("no-picture");
  const c = (d && d.camera) || {};
  if (!c.hasSource || Number(c.pictureAgeMs || 0) < noPictureMs) {
    banner.hidden = true;
    return;
  }
  const last = Number(c.lastPictureMs || 0);
  text(banner, last ? "No picture since " + clock(new Date(last)) : "No picture yet");
  banner.hidden = false;
}

function render() {
  if (!state) return;
  let picture = null;  // the chosen driver
  const body = $("drivers").tBodies[0];
  body.innerHTML = "";
  for (const p of state.processes || []) {
    for (const d of p.drivers || []) {
      const row = body.insertRow();
      row.className = "driver";
      if (chosen && chosen.process === p.name && chosen.driver === d.key) row.className += " chosen";
      row.onclick = () => choose(p.name, d.key);
      text(row.insertCell(), p.name);
      text(row.insertCell(), d.key + (d.name ? " (" + d.name + ")" : ""));
      text(row.insertCell(), d.basePort + "-" + (d.basePort + 3));
      const reach = row.insertCell();
      text(reach, p.reachable ? "yes" : "not reachable");
      reach.className = p.reachable ? "good" : "bad";
      flag(row.insertCell(), d.alive);
      flag(row.insertCell(), d.connected);
      flag(row.insertCell(), d.configured);
      text(row.insertCell(), d.results || 0);
      const s = d.lastStatus;
      text(row.insertCell(), s ? s.type + (s.message ? ": " + s.message : "") : "");
      const wanted = !params.get("driver") ||
          (params.get("driver") === d.key &&
           (!params.get("process") || params.get("process") === p.name));
      if (!chosen && p.reachable && wanted) choose(p.name, d.key);
    }
  }
  const zones = $("zones").tBodies[0];
  zones.innerHTML = "";
  for (const p of state.processes || []) {
    for (const d of p.drivers || []) {
      if (!chosen || chosen.process !== p.name || chosen.driver !== d.key) continue;
      picture = d;
      for (const z of d.zoneCounts || []) {
        const row = zones.insertRow();
        text(row.insertCell(), z.zoneName);
        text(row.insertCell(), z.forward || 0);
        text(row.insertCell(), z.backward || 0);
      }
    }
  }
  showPicture(picture);
  if (still) for (const e of state.recentResults || []) addResult(e);
}

function addResult(e) {
  const key = e.process + "|" + e.driver + "|" + e.received;
  if (shown.has(key)) return;
  shown.add(key);
  const r = e.result || {};
  const detection = (r.rectDetection || [])[0] || {};
  for (const ev of r.visionEvent || []) {
    const row = $("events").tBodies[0].insertRow(0);
    text(row.insertCell(), ev.timestamp || new Date(e.received * 1000).toISOString());
    text(row.insertCell(), e.driver + " of " + e.process);
    text(row.insertCell(), ev.tag);
    text(row.insertCell(), ev.zoneName);
    text(row.insertCell(), ev.zoneDirection);
    text(row.insertCell(), ev.speed !== undefined ? Number(ev.speed).toFixed(2) : "");
    text(row.insertCell(), ev.trackingId || detection.trackingId || "0");
    text(row.insertCell(), detection.type);
  }
  const rows = $("events").tBodies[0];
  while (rows.rows.length > 50) rows.deleteRow(rows.rows.length - 1);
}

async function refresh() {
  try {
    const answer = await fetch("/api/state");
    state = await answer.json();
    render();
  } catch (e) { /* kestu-web itself went away; try again */ }
  if (still && chosen) {
    $("preview").src = path(chosen.process, chosen.driver, "jpg", "snapshot") + "?t=" + Date.now();
  }
}

async function command(body) {
  if (!chosen) { log("Choose a driver first", true); return; }
  body.process = chosen.process;
  body.driver = chosen.driver;
  log("Sending " + (body.action || "configuration") + " to " + chosen.driver);
  try {
    const answer = await (await fetch("/api/command", {method: "POST", body: JSON.stringify(body)})).json();
    if (answer.error) log(answer.error, true);
    if (answer.status) log("Answer: " + answer.status.type + (answer.status.message ? " " + answer.status.message : ""),
                           answer.status.type === "STATUS_ERROR");
  } catch (e) { log("kestu-web did not answer", true); }
}

for (const button of document.querySelectorAll("button[data-action]")) {
  button.onclick = () => command({action: button.dataset.action, duration: Number($("duration").value)});
}
$("send").onclick = () => command({config: $("config").value});
window.kestu.log = log;

if (!still) {
  const events = new EventSource("/events");
  events.onmessage = (message) => {
    const e = JSON.parse(message.data);
    for (const f of window.kestu.onEvent) f(e);
    if (e.result) addResult(e);
    if (e.status) {
      const s = e.status;
      log(e.driver + " of " + e.process + ": " + s.type + (s.message ? " " + s.message : ""),
          s.type === "STATUS_ERROR" || s.type === "STATUS_CRITICAL");
    }
  };
}
if (report) {
  setInterval(() => {
    fetch("/api/browser-report", {method: "POST", body: JSON.stringify({
      previewWidth: $("preview").naturalWidth,
      eventRows: $("events").tBodies[0].rows.length,
      drivers: $("drivers").tBodies[0].rows.length})});
  }, 500);
}
refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
)html";
}

}  // namespace kestu_tools
