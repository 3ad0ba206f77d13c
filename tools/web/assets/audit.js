// The audit page of kestu-web (/audit): a driver's crossings of a time
// window with their snapshots, marked right or wrong by the operator,
// the passes the lines missed, and the count error measured from them per
// line and direction. Plain HTML, CSS and JavaScript over /api/state,
// /api/time_zone and /api/audit; times are shown and picked in kestu-web's
// time zone (the site's, whatever the browser's), which the page names.
//
// Query switches: "process=...&driver=..." chooses the driver, "zone=..."
// the line, "from=...&to=..." (seconds since the epoch) the window, which
// is then shown at once.
"use strict";
const params = new URLSearchParams(location.search);
const $ = (id) => document.getElementById(id);
let data = null;  // the last /api/audit answer
const names = {};  // zone|direction -> the zone's name of the direction

let zone = Intl.DateTimeFormat().resolvedOptions().timeZone || "UTC";  // the site's, once known
let format = null;

function text(cell, value) { cell.textContent = value === undefined || value === null ? "" : String(value); }
function local(ms) {  // "YYYY-MM-DDTHH:MM:SS" in the site's zone, as datetime-local's value
  const p = {};
  for (const part of format.formatToParts(new Date(ms))) p[part.type] = part.value;
  return p.year + "-" + p.month + "-" + p.day + "T" + p.hour + ":" + p.minute + ":" + p.second;
}
function clock(seconds) { return local(seconds * 1000).replace("T", " "); }
function percent(x) { return (100 * x).toFixed(1) + " %"; }
function signed(x) { return (x > 0 ? "+" : "") + percent(x); }
function estimate(e, format) {
  if (!e || e.value === null || e.value === undefined) return "-";
  const low = e.low === null || e.low === undefined ? "open" : format(e.low);
  const high = e.high === null || e.high === undefined ? "open" : format(e.high);
  return format(e.value) + " (" + low + " to " + high + ")";
}
function direction(zone, dir, name) {
  const n = name || names[zone + "|" + dir];
  return n ? n + " (" + dir + ")" : dir;
}
function chosen() {
  const v = $("driver").value;
  return v ? JSON.parse(v) : null;
}

async function post(url, body, method) {
  const answer = await fetch(url, {method: method || "POST", body: body ? JSON.stringify(body) : undefined});
  const json = await answer.json().catch(() => ({}));
  if (!answer.ok) throw new Error(json.error || ("HTTP " + answer.status));
  return json;
}

async function drivers() {
  const state = await (await fetch("/api/state")).json();
  const select = $("driver");
  let picked = false;
  for (const p of state.processes || []) {
    for (const d of p.drivers || []) {
      const option = document.createElement("option");
      option.value = JSON.stringify({process: p.name, driver: d.key});
      option.textContent = d.key + " of " + p.name;
      const wanted = params.get("driver") ? params.get("driver") === d.key &&
          (!params.get("process") || params.get("process") === p.name) : d.key === "crowd";
      if (wanted && !picked) picked = option.selected = true;
      select.appendChild(option);
    }
  }
}

function lines(list) {
  for (const id of ["line", "missed-line"]) {
    const select = $(id);
    const keep = select.value || params.get("zone") || "";
    for (const o of [...select.options]) if (o.value !== "" || id === "missed-line") o.remove();
    for (const zone of list) {
      const option = document.createElement("option");
      option.value = option.textContent = zone;
      select.appendChild(option);
    }
    if ([...select.options].some((o) => o.value === keep)) select.value = keep;
  }
  missedDirections();
}

function missedDirections() {
  const select = $("missed-direction");
  const keep = select.value;
  select.innerHTML = "";
  for (const dir of ["FORWARD", "BACKWARD"]) {
    const option = document.createElement("option");
    option.value = dir;
    option.textContent = direction($("missed-line").value, dir);
    select.appendChild(option);
  }
  if (keep) select.value = keep;
}

function markCell(cell, c) {
  for (const [verdict, label] of [["right", "right"], ["wrong", "wrong"]]) {
    const button = document.createElement("button");
    button.textContent = label;
    button.className = "mark-" + verdict + (c.mark === verdict ? " on" : "");
    button.onclick = async () => {
      try {
        await post("/api/audit/marks", {id: c.id, verdict: c.mark === verdict ? "" : verdict});
        await show();
      } catch (e) { text($("answer"), e.message); }
    };
    cell.appendChild(button);
  }
}

function render() {
  for (const f of data.figures) if (f.directionName) names[f.zone + "|" + f.direction] = f.directionName;
  for (const c of data.crossings) if (c.directionName) names[c.zone + "|" + c.direction] = c.directionName;
  lines(data.lines);
  const figures = $("figures").tBodies[0];
  figures.innerHTML = "";
  for (const f of data.figures) {
    const row = figures.insertRow();
    text(row.insertCell(), f.zone);
    text(row.insertCell(), direction(f.zone, f.direction, f.directionName));
    for (const key of ["counted", "audited", "unaudited", "right", "wrong", "missed"]) {
      const cell = row.insertCell();
      cell.className = "n";
      text(cell, f[key]);
    }
    const truth = row.insertCell();
    truth.className = "n";
    text(truth, f.true === null ? "-" : Number(f.true).toFixed(f.unaudited ? 1 : 0));
    text(row.insertCell(), estimate(f.precision, percent));
    text(row.insertCell(), estimate(f.recall, percent));
    const error = row.insertCell();
    error.className = "count-error";
    text(error, estimate(f.countError, signed));
  }
  $("about").innerHTML = "";
  const about = data.about || {};
  for (const key of ["counted", "audited", "unaudited", "right", "wrong", "missed", "true",
                     "precision", "recall", "countError"]) {
    const term = document.createElement("dt");
    term.textContent = key === "countError" ? "count error" : key;
    const meaning = document.createElement("dd");
    meaning.textContent = about[key] || "";
    $("about").append(term, meaning);
  }
  const audited = data.crossings.filter((c) => c.mark).length;
  text($("summary"), data.crossings.length + " crossings, " + audited + " audited, " +
       (data.crossings.length - audited) + " not yet" + (data.more ? " (the first ones only: narrow the window)" : ""));
  const body = $("crossings").tBodies[0];
  body.innerHTML = "";
  for (const c of data.crossings) {
    const row = body.insertRow();
    row.className = "crossing" + (c.mark ? " " + c.mark : "");
    row.dataset.id = c.id;
    text(row.insertCell(), clock(c.time));
    text(row.insertCell(), c.zone);
    text(row.insertCell(), direction(c.zone, c.direction, c.directionName));
    text(row.insertCell(), c.trackingId);
    const picture = row.insertCell();
    if (c.snapshot) {
      const link = document.createElement("a");
      link.href = c.snapshot;
      link.target = "_blank";
      const img = document.createElement("img");
      img.className = "snap";
      img.src = c.snapshot;
      img.alt = "crossing " + c.id;
      link.appendChild(img);
      picture.appendChild(link);
    } else {
      picture.className = "quiet no-snapshot";
      text(picture, "no picture");
      picture.title = c.noSnapshot;
      const why = document.createElement("div");
      why.textContent = c.noSnapshot;
      picture.appendChild(why);
    }
    markCell(row.insertCell(), c);
  }
  const missed = $("missed").tBodies[0];
  missed.innerHTML = "";
  for (const m of data.missed) {
    const row = missed.insertRow();
    text(row.insertCell(), clock(m.time));
    text(row.insertCell(), m.zone);
    text(row.insertCell(), direction(m.zone, m.direction));
    text(row.insertCell(), m.note);
    const button = document.createElement("button");
    button.textContent = "remove";
    button.onclick = async () => {
      try { await post("/api/audit/missed/" + m.id, null, "DELETE"); await show(); }
      catch (e) { text($("answer"), e.message); }
    };
    row.insertCell().appendChild(button);
  }
}

async function show() {
  const d = chosen();
  if (!d) { text($("answer"), "no driver to audit"); return; }
  const query = new URLSearchParams({process: d.process, driver: d.driver, zone: $("line").value,
                                     from: $("from").value, to: $("to").value, tz: zone});
  const answer = await fetch("/api/audit?" + query);
  const json = await answer.json().catch(() => ({}));
  if (!answer.ok) { text($("answer"), json.error || ("HTTP " + answer.status)); return; }
  text($("answer"), "");
  data = json;
  render();
}

$("show").onclick = show;
$("line").onchange = show;
$("driver").onchange = () => { $("line").value = ""; show(); };
$("missed-line").onchange = missedDirections;
$("add-missed").onclick = async () => {
  const d = chosen();
  try {
    await post("/api/audit/missed", {process: d.process, driver: d.driver, zone: $("missed-line").value,
                                     direction: $("missed-direction").value, time: $("missed-time").value,
                                     tz: zone, note: $("missed-note").value});
    text($("missed-answer"), "added");
    $("missed-answer").className = "good";
    await show();
  } catch (e) { text($("missed-answer"), e.message); $("missed-answer").className = "bad"; }
};

function useZone(name) {
  format = new Intl.DateTimeFormat("en-GB", {timeZone: name, hourCycle: "h23", year: "numeric", month: "2-digit",
                                             day: "2-digit", hour: "2-digit", minute: "2-digit", second: "2-digit"});
  zone = name;
}

(async () => {
  useZone(zone);
  let label = zone;
  try {
    const site = await (await fetch("/api/time_zone")).json();
    if (site.timeZone) {
      useZone(site.timeZone);
      label = zone + (site.abbreviation ? ", " + site.abbreviation : "");
    }
  } catch (e) { /* an older kestu-web: the browser's zone */ }
  text($("zone"), label);
  const to = params.get("to") ? Number(params.get("to")) * 1000 : Date.now();
  const from = params.get("from") ? Number(params.get("from")) * 1000 : to - 3600000;
  $("to").value = local(to);
  $("from").value = local(from);
  $("missed-time").value = local(from);
  missedDirections();
  try { await drivers(); await show(); } catch (e) { text($("answer"), "kestu-web did not answer"); }
})();
