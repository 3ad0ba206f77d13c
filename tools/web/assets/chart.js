// The page's charts of the event history: counts per hour over the last 24
// hours and per day over the last 30, for the chosen driver, per zone and
// direction, drawn as SVG bars from /api/counts, each with its value. The
// buckets are the local hours and days of the site's time zone (a spring
// day has 23 hours, an autumn day 25), whatever the browser's zone, and
// their ticks read the local start that kestu-web gives. Redrawn when a
// driver is chosen, a minute after the last drawing, and shortly after
// each of the driver's results.
"use strict";
window.kestu = window.kestu || {onChoose: [], onEvent: []};
(() => {
  const NS = "http://www.w3.org/2000/svg";
  const COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                   "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"];
  const CHARTS = [
    {svg: "chart-hours", csv: "csv-hours", bucket: "hour", count: 24},
    {svg: "chart-days", csv: "csv-days", bucket: "day", count: 30}];
  let chosen = null;
  let redraw = null;

  function element(name, attributes, parent) {
    const e = document.createElementNS(NS, name);
    for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, v);
    if (parent) parent.appendChild(e);
    return e;
  }
  function label(parent, x, y, text, anchor) {
    const t = element("text", {x: x, y: y, "text-anchor": anchor || "start"}, parent);
    t.textContent = text;
    return t;
  }

  // The last `count` buckets, up to the one holding now, in the site's zone.
  function query(chart) {
    return "process=" + encodeURIComponent(chosen.process) + "&driver=" + chosen.driver +
        "&bucket=" + chart.bucket + "&last=" + chart.count +
        "&tz=" + encodeURIComponent(window.kestu.siteZone || "UTC");
  }

  // A bucket's tick, from its local start ("2027-03-28T03:00:00+02:00").
  function tickText(chart, span) {
    const s = span.startLocal || "";
    return chart.bucket === "hour" ? s.slice(11, 16)
                                   : Number(s.slice(8, 10)) + "/" + Number(s.slice(5, 7));
  }

  // The answer's rows as series ("<zone> <direction's name>", or the tag
  // of an event without a zone), sorted, and their counts per bucket
  // ("series|bucket index" -> count, rows of several tags added up); rows
  // outside the buckets name a series but count nowhere.
  function tally(answer) {
    const spans = answer.buckets || [];
    const slot = new Map(spans.map((span, i) => [span.epoch, i]));
    const series = [];
    const counts = new Map();
    let most = 0;
    for (const row of answer.rows || []) {
      const direction = row.direction &&
          window.kestu.directionName(row.process, row.driver, row.zone, row.direction);
      const name = (row.zone || row.tag) + " " + (direction || (row.zone ? row.tag : ""));
      if (!series.includes(name)) series.push(name);
      if (!slot.has(row.epoch)) continue;
      const key = name + "|" + slot.get(row.epoch);
      counts.set(key, (counts.get(key) || 0) + row.count);
      most = Math.max(most, counts.get(key));
    }
    series.sort();
    return {series: series, counts: counts, most: most};
  }

  // The values the vertical axis names: nought, half way and the top.
  function axisValues(most) { return most > 0 ? [0, Math.ceil(most / 2), most] : [0]; }

  function draw(chart, answer) {
    const svg = document.getElementById(chart.svg);
    svg.innerHTML = "";
    const spans = answer.buckets || [];
    const width = Number(svg.getAttribute("width")), height = Number(svg.getAttribute("height"));
    const left = 34, right = 8, top = 32, bottom = 20;
    const plotW = width - left - right, plotH = height - top - bottom;
    const {series, counts, most} = tally(answer);
    const scale = most > 0 ? plotH / most : 0;
    element("line", {x1: left, y1: top + plotH, x2: left + plotW, y2: top + plotH, stroke: "#999"}, svg);
    for (const value of axisValues(most)) {
      const y = top + plotH - value * scale;
      element("line", {x1: left, y1: y, x2: left + plotW, y2: y, stroke: "#eee"}, svg);
      label(svg, left - 4, y + 4, String(value), "end");
    }
    const group = plotW / Math.max(1, spans.length);
    const bar = Math.max(1, (group - 2) / Math.max(1, series.length));
    spans.forEach((span, b) => {
      const x0 = left + b * group + 1;
      const tick = tickText(chart, span);
      if (b % (chart.bucket === "hour" ? 3 : 5) === 0) {
        label(svg, x0, height - 6, tick).setAttribute("class", "tick");
      }
      const hours = Math.round((span.end - span.epoch) / 360) / 10;
      series.forEach((name, i) => {
        const count = counts.get(name + "|" + b) || 0;
        if (count === 0) return;
        const x = x0 + i * bar, y = top + plotH - count * scale;
        const rect = element("rect", {class: "bar", x: x, y: y, width: bar, height: count * scale,
                                      fill: COLOURS[i % COLOURS.length]}, svg);
        element("title", {}, rect).textContent = name + ", " + tick + " (from " + span.startLocal +
            (chart.bucket === "day" && hours !== 24 ? ", " + hours + " hours" : "") + "): " + count;
        const value = label(svg, x + bar / 2, y - 2, String(count), "middle");
        value.setAttribute("class", "value");
      });
    });
    let x = left;
    series.forEach((name, i) => {
      element("rect", {x: x, y: 6, width: 10, height: 10, fill: COLOURS[i % COLOURS.length]}, svg);
      x += 14 + label(svg, x + 14, 15, name).getComputedTextLength() + 12;
    });
    if (series.length === 0) label(svg, left + 8, top + 16, "No events in this range");
  }

  async function load() {
    if (!chosen) return;
    clearTimeout(redraw);
    redraw = setTimeout(load, 60000);
    for (const chart of CHARTS) {
      document.getElementById(chart.csv).href = "/api/counts.csv?" + query(chart);
      try {
        const answer = await (await fetch("/api/counts?all_buckets=1&" + query(chart))).json();
        if (answer.error) {
          const svg = document.getElementById(chart.svg);
          svg.innerHTML = "";
          label(svg, 10, 20, answer.error);
        } else {
          draw(chart, answer);
        }
      } catch (e) { /* kestu-web went away; the next round tries again */ }
    }
  }

  window.kestu.chart = {tickText: tickText, tally: tally, axisValues: axisValues};
  window.kestu.onChoose.push((c) => { chosen = c; load(); });
  window.kestu.onEvent.push((e) => {
    if (!chosen || !e.result || e.process !== chosen.process || e.driver !== chosen.driver) return;
    clearTimeout(redraw);
    redraw = setTimeout(load, 2000);
  });
})();
