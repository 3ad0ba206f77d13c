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
// The site's clock and totals (/totals.js), the charts (/chart.js) and the
// zone editor (/editor.js) come before the page's own script and register
// with window.kestu: onChoose (a driver was chosen), onEvent (a result or
// status arrived) and onState (/api/state was read). Every time the page
// shows is in kestu-web's time zone (window.kestu.clock and dateTime), not
// the browser's.
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
 img.thumb { width: 80px; display: block; }
 svg.chart text.value { font-size: 9px; }
 #site-time { color: #555; margin: -4px 0 8px 0; }
 .total-bar { display: inline-block; height: 10px; background: #1f77b4; margin-right: 4px; vertical-align: middle; }
 td.since { font-size: 12px; color: #555; }
 #events td:first-child { white-space: nowrap; }
</style>
</head>
<body>
<h1>kestu-vision <a id="audit-link" href="/audit" style="font-size:13px; font-weight:normal">Audit the counts</a></h1>
<div id="site-time">Times in <span id="site-zone"></span></div>
<table id="drivers"><thead><tr><th>process</th><th>driver</th><th>ports</th>
<th>reachable</th><th>alive</th><th>connected</th><th>configured</th>
<th>results</th><th>last status</th></tr></thead><tbody></tbody></table>
<div id="layout">
<div>
<h2>Preview of <span id="chosen">no driver</span></h2>
<div id="stage"><img id="preview" alt="preview"><svg id="editor"></svg><div id="no-picture" hidden></div></div>
<p id="blur-note" class="note" hidden></p>
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
<table id="zone-totals"><thead><tr><th>line</th><th>direction</th><th id="totals-today">today</th>
<th colspan="2">since the line was created</th></tr></thead><tbody></tbody></table>
<h2>Counts per hour, last 24 hours <a id="csv-hours" href="#">CSV</a></h2>
<svg id="chart-hours" class="chart" width="620" height="210"></svg>
<h2>Counts per day, last 30 days <a id="csv-days" href="#">CSV</a></h2>
<svg id="chart-days" class="chart" width="620" height="210"></svg>
<h2>Latest events</h2>
<table id="events"><thead><tr><th>time</th><th>driver</th><th>event</th><th>zone</th>
<th>direction</th><th>speed</th><th>tracking id</th><th>type</th><th>picture</th></tr></thead><tbody></tbody></table>
</div>
</div>
<script src="/totals.js"></script>
<script src="/chart.js"></script>
<script src="/editor.js"></script>
<script>
"use strict";
const params = new URLSearchParams(location.search);
const still = params.get("still") === "1";
const report = params.get("report") === "1";
let chosen = null;   // {process, driver}
let picked = false;  // the operator chose a driver (no more choosing for them)
let state = null;
const shown = new Set();
const $ = (id) => document.getElementById(id);
const path = (p, d, ext, kind) =>
  "/" + kind + "/" + encodeURIComponent(p) + "/" + d + "." + ext;

function text(cell, value) { cell.textContent = value === undefined ? "" : String(value); }
function flag(cell, on) { text(cell, on ? "yes" : "no"); cell.className = on ? "good" : "bad"; }

function log(line, bad) {
  const div = document.createElement("div");
  div.textContent = window.kestu.clock(new Date()) + "  " + line;
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
  return window.kestu.clock(t);  // in the site's time zone
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

// Until the operator picks one, the page shows the first driver that holds
// a configuration (else the first reachable one), or the one the address
// names; one chosen while nothing was configured yields to a configured one.
function chooseFirst() {
  if (picked) return false;
  let first = null, configured = null, current = null;
  for (const p of state.processes || []) {
    for (const d of p.drivers || []) {
      const wanted = !params.get("driver") ||
          (params.get("driver") === d.key &&
           (!params.get("process") || params.get("process") === p.name));
      if (!p.reachable || !wanted) continue;
      const entry = {process: p.name, driver: d.key, configured: Boolean(d.configured)};
      if (!first) first = entry;
      if (!configured && entry.configured) configured = entry;
      if (chosen && chosen.process === p.name && chosen.driver === d.key) current = entry;
    }
  }
  const best = configured || first;
  if (!best || (current && (current.configured || !configured))) return false;
  if (chosen && !current && chosen.process === best.process && chosen.driver === best.driver) return false;
  choose(best.process, best.driver);
  return true;
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
      row.onclick = () => { picked = true; choose(p.name, d.key); };
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
    }
  }
  if (chooseFirst()) return;
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
  for (const f of window.kestu.onState || []) f(state);
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
    const ms = ev.timestamp ? Date.parse(ev.timestamp) : e.received * 1000;
    const when = row.insertCell();
    text(when, window.kestu.dateTime(ms));
    when.title = new Date(ms).toISOString();
    text(row.insertCell(), e.driver + " of " + e.process);
    text(row.insertCell(), ev.tag);
    text(row.insertCell(), ev.zoneName);
    text(row.insertCell(), ev.zoneDirection);
    text(row.insertCell(), ev.speed !== undefined ? Number(ev.speed).toFixed(2) : "");
    text(row.insertCell(), ev.trackingId || detection.trackingId || "0");
    text(row.insertCell(), detection.type);
    snapshotCell(row.insertCell(), r, ev);
  }
  const rows = $("events").tBodies[0];
  while (rows.rows.length > 50) rows.deleteRow(rows.rows.length - 1);
}

// A zone exit's snapshot (kestu-web run with --snapshot_days), once made:
// it is tried a few times while the picture is being filed.
let snapshotsOn = false;
fetch("/api/snapshots").then((a) => a.json()).then((s) => { snapshotsOn = !!s.on; }).catch(() => {});
function snapshotCell(cell, r, ev) {
  if (!snapshotsOn || ev.tag !== "ZONE_EXIT" || !r.uuid) return;
  const src = "/snapshot-of/" + r.uuid + "/" + r.visionEvent.indexOf(ev) + ".jpg";
  const img = document.createElement("img");
  img.className = "thumb";
  img.alt = "snapshot";
  img.hidden = true;
  let tries = 0;
  img.onload = () => { img.hidden = false; };
  img.onerror = () => { if (++tries < 6) setTimeout(() => { img.src = src + "?try=" + tries; }, 1500); };
  img.src = src;
  const link = document.createElement("a");
  link.href = src;
  link.target = "_blank";
  link.appendChild(img);
  cell.appendChild(link);
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
