// The one page of kestu-web: plain HTML, CSS and JavaScript, nothing
// bundled and nothing fetched from elsewhere (page.html, with page.css and
// this script spliced in at build time).
//
// Query switches: "process=...&driver=..." chooses the driver shown first
// (else the first one of a reachable process); "still=1" shows the preview
// as snapshots polled once a second and the events from the state (no
// never-ending requests, so a headless browser can take a screenshot);
// "report=1" posts what the page shows (the preview's natural width, the
// event rows) to /api/browser-report twice a second, for the browser test.
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
// it is tried a few times while the picture is being filed. Whether
// snapshots are on may still be on its way when the first rows come: the
// picture is added to its row once that is known.
let snapshotsOn = false;
const snapshotsKnown = fetch("/api/snapshots").then((a) => a.json())
  .then((s) => { snapshotsOn = !!s.on; }).catch(() => {});
function snapshotCell(cell, r, ev) {
  if (ev.tag !== "ZONE_EXIT" || !r.uuid) return;
  snapshotsKnown.then(() => { if (snapshotsOn) addSnapshot(cell, r, ev); });
}
function addSnapshot(cell, r, ev) {
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
