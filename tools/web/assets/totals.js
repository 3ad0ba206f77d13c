// The page's site clock and totals (/totals.js, after a line that sets
// window.kestuSiteZone to {timeZone: "<the site's zone>"}).
//
// window.kestu gets the site's zone and its clock: siteZone, dateTime(ms)
// ("2027-03-28 03:00:05" in the site's zone) and clock(date) (the time
// alone when it is of the site's today), formatted by the browser's
// Intl.DateTimeFormat in that zone, whatever the browser's own zone.
// #site-zone names the zone and its abbreviation now ("Europe/Berlin,
// CEST", from /api/time_zone).
//
// directionName(process, driver, zone, direction) gives the operator's
// name of a direction ("in") where the line's configuration has one.
//
// #zone-totals lists the chosen driver's lines and directions (the
// direction's name where the line's configuration gives one): the exits
// today, since the local midnight, and since the line was created, each
// as a bar with its value, and since when that counts (the line's first
// sighting, or the oldest hour the history still holds). Reloaded when a
// driver is chosen, shortly after each of its results and every 30 s.
"use strict";
window.kestu = window.kestu || {onChoose: [], onEvent: []};
window.kestu.onState = window.kestu.onState || [];
(() => {
  const kestu = window.kestu;
  const options = {hourCycle: "h23", year: "numeric", month: "2-digit", day: "2-digit",
                   hour: "2-digit", minute: "2-digit", second: "2-digit"};
  let zone = (window.kestuSiteZone || {}).timeZone || "UTC";
  let format;
  try {
    format = new Intl.DateTimeFormat("en-GB", Object.assign({timeZone: zone}, options));
  } catch (e) {
    // A zone this browser does not know: UTC, and the label says so.
    zone = "UTC";
    format = new Intl.DateTimeFormat("en-GB", Object.assign({timeZone: "UTC"}, options));
  }
  const BAR = 90;  // px of the largest value in a column

  function local(ms) {
    const p = {};
    for (const part of format.formatToParts(new Date(ms))) p[part.type] = part.value;
    return {date: p.year + "-" + p.month + "-" + p.day,
            time: p.hour + ":" + p.minute + ":" + p.second};
  }
  kestu.siteZone = zone;
  kestu.dateTime = (ms) => { const t = local(ms); return t.date + " " + t.time; };
  kestu.clock = (date) => {
    const t = local(date.getTime());
    return t.date === local(Date.now()).date ? t.time : t.date + " " + t.time;
  };
  const minutes = (seconds) => kestu.dateTime(seconds * 1000).slice(0, 16);

  async function showZone() {
    const label = document.getElementById("site-zone");
    if (!label) return;
    try {
      const answer = await (await fetch("/api/time_zone")).json();
      label.textContent = answer.timeZone === zone && answer.abbreviation
          ? zone + ", " + answer.abbreviation : zone;
      label.title = "now " + answer.nowLocal + " (kestu-web's time zone, from " + answer.source + ")";
    } catch (e) { label.textContent = zone; }
  }

  let chosen = null;
  let timer = null;
  let shown = null;  // the last answer drawn
  const names = new Map();  // "process|driver|zone" -> [forward name, backward name]

  // The operator's name of a line's direction where its configuration
  // gives one, else FORWARD or BACKWARD.
  kestu.directionName = (process, driver, zone, direction) => {
    const n = names.get(process + "|" + driver + "|" + zone) || [];
    return (direction === "FORWARD" ? n[0] : direction === "BACKWARD" ? n[1] : "") || direction;
  };
  const directionName = (t) => kestu.directionName(t.process, t.driver, t.zone, t.direction);

  function since(t) {
    const at = Number(t.countedSince || 0);
    if (!at) return "since the history began";
    if (t.pruned) {
      return "since " + minutes(at) + "; older exits are no longer kept" +
          (Number(t.firstSeen || 0) ? " (line first seen " + minutes(Number(t.firstSeen)) + ")" : "");
    }
    if (t.firstSeenFromHistory) return "since " + minutes(at) + ", the oldest exit kept";
    return "since " + minutes(at);
  }

  kestu.countedSince = since;

  function bar(cell, value, most) {
    cell.innerHTML = "";
    const b = document.createElement("span");
    b.className = "total-bar";
    b.style.width = (most > 0 ? Math.round(BAR * value / most) : 0) + "px";
    const v = document.createElement("span");
    v.className = "total-value";
    v.textContent = String(value);
    cell.append(b, v);
  }

  function render(answer) {
    shown = answer;
    const table = document.getElementById("zone-totals");
    if (!table) return;
    const body = table.tBodies[0];
    body.innerHTML = "";
    const totals = answer.totals || [];
    const today = totals.map((t) => Number(t.today || 0));
    const total = totals.map((t) => Number(t.total || 0));
    const mostToday = Math.max(0, ...today), mostTotal = Math.max(0, ...total);
    const head = document.getElementById("totals-today");
    if (head && answer.dayStartLocal) {
      head.title = "since " + minutes(Number(answer.dayStart)) + " (local midnight)";
    }
    totals.forEach((t, i) => {
      const row = body.insertRow();
      row.dataset.zone = t.zone;
      row.dataset.direction = t.direction;
      row.insertCell().textContent = t.zone;
      row.insertCell().textContent = directionName(t);
      const a = row.insertCell(); a.className = "today"; bar(a, today[i], mostToday);
      const b = row.insertCell(); b.className = "total"; bar(b, total[i], mostTotal);
      const c = row.insertCell(); c.className = "since"; c.textContent = since(t);
    });
    if (totals.length === 0) {
      const cell = body.insertRow().insertCell();
      cell.colSpan = 5;
      cell.textContent = answer.error || "No counting line seen yet";
    }
  }

  async function load() {
    if (!chosen) return;
    clearTimeout(timer);
    timer = setTimeout(load, 30000);
    try {
      const answer = await (await fetch("/api/totals?process=" + encodeURIComponent(chosen.process) +
                                        "&driver=" + chosen.driver)).json();
      render(answer);
    } catch (e) { /* kestu-web went away; the next round tries again */ }
  }

  kestu.onChoose.push((c) => { chosen = c; load(); });
  kestu.onEvent.push((e) => {
    if (!chosen || !e.result || e.process !== chosen.process || e.driver !== chosen.driver) return;
    clearTimeout(timer);
    timer = setTimeout(load, 2000);
  });
  kestu.onState.push((state) => {
    let changed = false;
    for (const p of state.processes || []) {
      for (const d of p.drivers || []) {
        for (const z of d.zoneCounts || []) {
          const key = p.name + "|" + d.key + "|" + z.zoneName;
          const pair = [z.forwardName || "", z.backwardName || ""];
          const old = names.get(key) || ["", ""];
          changed = changed || old[0] !== pair[0] || old[1] !== pair[1];
          names.set(key, pair);
        }
      }
    }
    if (changed && shown) render(shown);
  });
  document.addEventListener("DOMContentLoaded", showZone);
  setInterval(showZone, 60000);
})();
