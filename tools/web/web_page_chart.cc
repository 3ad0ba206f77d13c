// The page's charts of the event history: counts per hour over the last 24
// hours and per day over the last 30, for the chosen driver, per zone and
// direction, drawn as SVG bars from /api/counts. Buckets follow the
// browser's time zone. Redrawn when a driver is chosen, a minute after the
// last drawing, and shortly after each of the driver's results.
#include "tools/web/web_page.h"

namespace kestu_tools {

const char* WebChartScript() {
  return R"js("use strict";
window.kestu = window.kestu || {onChoose: [], onEvent: []};
(() => {
  const NS = "http://www.w3.org/2000/svg";
  const COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                   "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"];
  const CHARTS = [
    {svg: "chart-hours", csv: "csv-hours", bucket: "hour", seconds: 3600, count: 24},
    {svg: "chart-days", csv: "csv-days", bucket: "day", seconds: 86400, count: 30}];
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

  // The buckets end with the one holding now, in the browser's time zone.
  function range(chart) {
    const offset = -new Date().getTimezoneOffset() * 60;
    const now = Date.now() / 1000;
    const to = (Math.floor((now + offset) / chart.seconds) + 1) * chart.seconds - offset;
    return {from: to - chart.count * chart.seconds, to: to, offset: offset};
  }

  function query(chart, r) {
    return "process=" + encodeURIComponent(chosen.process) + "&driver=" + chosen.driver +
        "&bucket=" + chart.bucket + "&from=" + r.from + "&to=" + r.to +
        "&utc_offset=" + r.offset / 60;
  }

  function tickText(chart, epoch) {
    const d = new Date(epoch * 1000);
    return chart.bucket === "hour" ? String(d.getHours()).padStart(2, "0") + ":00"
                                   : d.getDate() + "/" + (d.getMonth() + 1);
  }

  function draw(chart, r, rows) {
    const svg = document.getElementById(chart.svg);
    svg.innerHTML = "";
    const width = Number(svg.getAttribute("width")), height = Number(svg.getAttribute("height"));
    const left = 34, right = 8, top = 22, bottom = 20;
    const plotW = width - left - right, plotH = height - top - bottom;
    const series = [];
    const counts = new Map();  // "series|bucket" -> count
    let most = 0;
    for (const row of rows) {
      const name = (row.zone || row.tag) + " " + (row.direction || (row.zone ? row.tag : ""));
      if (!series.includes(name)) series.push(name);
      const bucket = Math.round((row.epoch - r.from) / chart.seconds);
      const key = name + "|" + bucket;
      counts.set(key, (counts.get(key) || 0) + row.count);
      most = Math.max(most, counts.get(key));
    }
    series.sort();
    const scale = most > 0 ? plotH / most : 0;
    element("line", {x1: left, y1: top + plotH, x2: left + plotW, y2: top + plotH, stroke: "#999"}, svg);
    for (const value of most > 0 ? [0, Math.ceil(most / 2), most] : [0]) {
      const y = top + plotH - value * scale;
      element("line", {x1: left, y1: y, x2: left + plotW, y2: y, stroke: "#eee"}, svg);
      label(svg, left - 4, y + 4, String(value), "end");
    }
    const group = plotW / chart.count;
    const bar = Math.max(1, (group - 2) / Math.max(1, series.length));
    for (let b = 0; b < chart.count; ++b) {
      const x0 = left + b * group + 1;
      if (b % (chart.bucket === "hour" ? 3 : 5) === 0) {
        label(svg, x0, height - 6, tickText(chart, r.from + b * chart.seconds));
      }
      series.forEach((name, i) => {
        const count = counts.get(name + "|" + b) || 0;
        if (count === 0) return;
        const rect = element("rect", {class: "bar", x: x0 + i * bar, y: top + plotH - count * scale,
                                      width: bar, height: count * scale,
                                      fill: COLOURS[i % COLOURS.length]}, svg);
        element("title", {}, rect).textContent =
            name + ", " + tickText(chart, r.from + b * chart.seconds) + ": " + count;
      });
    }
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
      const r = range(chart);
      document.getElementById(chart.csv).href = "/api/counts.csv?" + query(chart, r);
      try {
        const answer = await (await fetch("/api/counts?" + query(chart, r))).json();
        if (answer.error) {
          const svg = document.getElementById(chart.svg);
          svg.innerHTML = "";
          label(svg, 10, 20, answer.error);
        } else {
          draw(chart, r, answer.rows || []);
        }
      } catch (e) { /* kestu-web went away; the next round tries again */ }
    }
  }

  window.kestu.onChoose.push((c) => { chosen = c; load(); });
  window.kestu.onEvent.push((e) => {
    if (!chosen || !e.result || e.process !== chosen.process || e.driver !== chosen.driver) return;
    clearTimeout(redraw);
    redraw = setTimeout(load, 2000);
  });
})();
)js";
}

}  // namespace kestu_tools
