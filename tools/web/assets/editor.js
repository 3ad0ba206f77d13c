// The page's zone editor: counting lines and areas drawn over the chosen
// driver's preview, in frame pixels whatever size the picture is shown at.
//
// "Draw line": click A, click B, move to set the band and click. "Draw
// area": click the corners, then click the first corner again or double
// click. End points and corners drag; a shape drags whole by its body.
// While anything is drawn or dragged the page asks /api/whatif what the
// shapes would have counted over the driver's track history (or over an
// uploaded detections file) and shows it per direction. "Apply" sends the
// driver its configuration again with these zones (/api/zones).
"use strict";
window.kestu = window.kestu || {onChoose: [], onEvent: []};
(() => {
  const NS = "http://www.w3.org/2000/svg";
  const $ = (id) => document.getElementById(id);
  const svg = $("editor"), img = $("preview");
  const ed = {chosen: null, known: false, scale: 1, lines: [], areas: [], selected: null,
              mode: "idle", draft: null, drag: null, pointer: null, source: "live",
              recordings: {}, paths: [], counts: null, busy: false, again: false, timer: null,
              sent: 0, size: ""};
  window.kestu.editor = ed;

  function frameSize() {
    if (img.naturalWidth > 0) {
      return {w: Math.round(img.naturalWidth / ed.scale), h: Math.round(img.naturalHeight / ed.scale)};
    }
    return ed.recordings[ed.source] || {w: 768, h: 576};
  }
  function unit() { return frameSize().w / Math.max(1, Number(svg.getAttribute("width"))); }
  function element(name, attributes, parent) {
    const e = document.createElementNS(NS, name);
    for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, v);
    parent.appendChild(e);
    return e;
  }
  function points(list) { return list.map((p) => p.x + "," + p.y).join(" "); }

  // The editor covers the picture; over a recording without one it stands
  // alone, grey.
  function measure() {
    const f = frameSize();
    const alone = img.naturalWidth === 0 && ed.recordings[ed.source] !== undefined;
    const w = alone ? Math.min(720, f.w) : img.clientWidth;
    const h = alone ? Math.round(w * f.h / f.w) : img.clientHeight;
    return {f: f, alone: alone, w: w, h: h, key: w + "x" + h + "/" + f.w + "x" + f.h + (alone ? "a" : "")};
  }
  function place() {
    const m = measure();
    img.style.display = m.alone ? "none" : "";
    svg.style.position = m.alone ? "static" : "absolute";
    svg.style.background = m.alone ? "#555" : "none";
    svg.setAttribute("width", m.w);
    svg.setAttribute("height", m.h);
    svg.setAttribute("viewBox", "0 0 " + m.f.w + " " + m.f.h);
    svg.setAttribute("preserveAspectRatio", "none");
    ed.size = m.key;
  }

  function toFrame(event) {
    const point = svg.createSVGPoint();
    point.x = event.clientX;
    point.y = event.clientY;
    const p = point.matrixTransform(svg.getScreenCTM().inverse());
    const f = frameSize();
    return {x: Math.min(f.w - 1, Math.max(0, Math.round(p.x))),
            y: Math.min(f.h - 1, Math.max(0, Math.round(p.y)))};
  }

  // The band's corners as the zone reader builds them: corner0 and corner3
  // on the side of the normal n (the first line), corner1 and corner2 on
  // the other; a forward crossing goes from the first line to the second.
  function band(line) {
    const dx = line.b.x - line.a.x, dy = line.b.y - line.a.y;
    const length = Math.hypot(dx, dy) || 1;
    const u = {x: dx / length, y: dy / length}, n = {x: -dy / length, y: dx / length};
    const c = {x: (line.a.x + line.b.x) / 2, y: (line.a.y + line.b.y) / 2};
    const corner = (su, sn) => ({x: c.x + su * length / 2 * u.x + sn * line.height / 2 * n.x,
                                 y: c.y + su * length / 2 * u.y + sn * line.height / 2 * n.y});
    return {c: c, n: n, corners: [corner(-1, 1), corner(-1, -1), corner(1, -1), corner(1, 1)]};
  }
  function bandHeight(line, p) {
    const dx = line.b.x - line.a.x, dy = line.b.y - line.a.y;
    const length = Math.hypot(dx, dy) || 1;
    return Math.max(2, Math.round(2 * Math.abs(dx * (line.a.y - p.y) - dy * (line.a.x - p.x)) / length));
  }
  function inside(p, polygon) {
    let hit = false;
    for (let i = 0, j = polygon.length - 1; i < polygon.length; j = i++) {
      const a = polygon[i], b = polygon[j];
      if ((a.y > p.y) !== (b.y > p.y) && p.x < (b.x - a.x) * (p.y - a.y) / (b.y - a.y) + a.x) hit = !hit;
    }
    return hit;
  }
  window.kestu.geometry = {band: band, bandHeight: bandHeight, inside: inside};
  function near(p, q) { return Math.hypot(p.x - q.x, p.y - q.y) <= 8 * unit(); }

  function countText(kind, index) {
    if (!ed.counts) return "";
    const list = ed.counts.report[kind === "line" ? "zones" : "areas"] || [];
    const c = list[index];
    if (!c) return "";
    return kind === "line" ? "  F " + Number(c.forward || 0) + " / B " + Number(c.backward || 0)
                           : "  in " + Number(c.enters || 0) + " / out " + Number(c.exits || 0);
  }

  function drawLine(line, index, draft) {
    const u = unit(), b = band(line);
    const chosen = ed.selected && ed.selected.kind === "line" && ed.selected.index === index;
    const colour = draft ? "#ff0" : chosen ? "#0ff" : "#0f0";
    element("polygon", {points: points(b.corners), fill: colour, "fill-opacity": 0.18,
                        stroke: colour, "stroke-width": u}, svg);
    element("line", {x1: line.a.x, y1: line.a.y, x2: line.b.x, y2: line.b.y, stroke: colour,
                     "stroke-width": 2 * u}, svg);
    const reach = Math.max(line.height / 2 + 14 * u, 24 * u);
    const tip = {x: b.c.x - b.n.x * reach, y: b.c.y - b.n.y * reach};
    element("line", {x1: b.c.x, y1: b.c.y, x2: tip.x, y2: tip.y, stroke: colour, "stroke-width": 2 * u}, svg);
    element("circle", {cx: tip.x, cy: tip.y, r: 3 * u, fill: colour}, svg);
    const text = element("text", {x: line.a.x + 6 * u, y: line.a.y - 6 * u, fill: colour,
                                  "font-size": 14 * u, "font-family": "sans-serif"}, svg);
    text.textContent = line.name + (draft ? "" : countText("line", index));
    for (const end of [line.a, line.b]) {
      element("circle", {cx: end.x, cy: end.y, r: 6 * u, fill: "none", stroke: colour, "stroke-width": 2 * u}, svg);
    }
  }

  function drawArea(area, index, draft) {
    const u = unit();
    const chosen = ed.selected && ed.selected.kind === "area" && ed.selected.index === index;
    const colour = draft ? "#ff0" : chosen ? "#0ff" : "#f0f";
    const shown = draft && ed.pointer ? area.points.concat([ed.pointer]) : area.points;
    element(draft ? "polyline" : "polygon", {points: points(shown), fill: colour, "fill-opacity": 0.15,
                                             stroke: colour, "stroke-width": 2 * u}, svg);
    for (const p of area.points) {
      element("circle", {cx: p.x, cy: p.y, r: 6 * u, fill: "none", stroke: colour, "stroke-width": 2 * u}, svg);
    }
    if (area.points.length > 0) {
      const text = element("text", {x: area.points[0].x + 6 * u, y: area.points[0].y - 6 * u, fill: colour,
                                    "font-size": 14 * u, "font-family": "sans-serif"}, svg);
      text.textContent = "Area #" + (index + 1) + (draft ? "" : countText("area", index));
    }
  }

  function render() {
    place();
    svg.innerHTML = "";
    const u = unit();
    for (let i = 0; i + 1 < ed.paths.length; i += 2) {
      element("circle", {cx: ed.paths[i], cy: ed.paths[i + 1], r: 1.5 * u, fill: "#0ff", "fill-opacity": 0.5}, svg);
    }
    ed.lines.forEach((line, i) => drawLine(line, i, false));
    ed.areas.forEach((area, i) => drawArea(area, i, false));
    if (ed.draft && ed.draft.a) drawLine(ed.draft, -1, true);
    if (ed.draft && ed.draft.points) drawArea(ed.draft, ed.areas.length, true);
    listShapes();
  }

  function listShapes() {
    const list = $("shapes");
    list.innerHTML = "";
    ed.lines.forEach((l, i) => {
      const row = document.createElement("div");
      row.className = "shape-line";
      Object.assign(row.dataset, {name: l.name, ax: l.a.x, ay: l.a.y, bx: l.b.x, by: l.b.y, height: l.height});
      row.textContent = (i + 1) + ". " + l.name + ": A (" + l.a.x + ", " + l.a.y + ") B (" + l.b.x + ", " +
          l.b.y + "), band " + l.height + " px" + (l.meterPixelRatio > 0 ? ", " + l.meterPixelRatio + " m/px" : "") +
          (l.repeat ? ", every pass" : "");
      list.appendChild(row);
    });
    ed.areas.forEach((a, i) => {
      const row = document.createElement("div");
      row.className = "shape-area";
      row.textContent = "Area #" + (i + 1) + ": " + a.points.map((p) => "(" + p.x + ", " + p.y + ")").join(" ");
      list.appendChild(row);
    });
  }

  function selectedShape() {
    if (!ed.selected) return null;
    return (ed.selected.kind === "line" ? ed.lines : ed.areas)[ed.selected.index] || null;
  }
  function select(kind, index) {
    ed.selected = kind ? {kind: kind, index: index} : null;
    const shape = selectedShape();
    const line = shape && kind === "line";
    $("shape-name").disabled = !line;
    $("shape-height").disabled = !line;
    $("shape-scale").disabled = !line;
    $("shape-repeat").disabled = !line;
    $("shape-repeat").checked = Boolean(line && shape.repeat);
    $("shape-name").value = line ? shape.name : kind === "area" ? "Area #" + (index + 1) : "";
    $("shape-height").value = line ? shape.height : "";
    $("shape-scale").value = line && shape.meterPixelRatio > 0 ? shape.meterPixelRatio : "";
  }
  function setMode(mode) {
    ed.mode = mode;
    ed.draft = mode === "line-a" ? null : mode === "area" ? {points: []} : ed.draft;
    $("draw-line").className = mode.startsWith("line") ? "on" : "";
    $("draw-area").className = mode === "area" ? "on" : "";
  }
  function nextName() {
    for (let i = ed.lines.length + 1; ; ++i) {
      if (!ed.lines.some((l) => l.name === "Line " + i)) return "Line " + i;
    }
  }

  function layout() {
    const lines = ed.lines.slice(), areas = ed.areas.slice();
    if (ed.draft && ed.draft.a && ed.mode !== "line-b") lines.push(ed.draft);
    if (ed.draft && ed.draft.a && ed.mode === "line-b" &&
        (ed.draft.a.x !== ed.draft.b.x || ed.draft.a.y !== ed.draft.b.y)) lines.push(ed.draft);
    if (ed.draft && ed.draft.points && ed.draft.points.length >= 3) areas.push(ed.draft);
    return {lines: lines.map((l) => ({name: l.name, a: l.a, b: l.b, height: l.height,
                                      meterPixelRatio: l.meterPixelRatio || 0, source: l.source || 0,
                                      repeat: Boolean(l.repeat)})),
            areas: areas.map((a) => ({points: a.points}))};
  }

  async function post(url, body) {
    return (await fetch(url, {method: "POST", body: JSON.stringify(body)})).json();
  }

  // One recount at a time, at most about seven a second; the last change
  // is always recounted.
  async function whatIf() {
    if (!ed.chosen) return;
    if (ed.busy || ed.timer) { ed.again = true; return; }
    const wait = ed.sent + 150 - Date.now();
    if (wait > 0) {
      ed.timer = setTimeout(() => { ed.timer = null; whatIf(); }, wait);
      return;
    }
    ed.busy = true;
    ed.sent = Date.now();
    try {
      const answer = await post("/api/whatif", {process: ed.chosen.process, driver: ed.chosen.driver,
                                                source: ed.source, layout: layout(),
                                                forgetAfter: Number($("forget-after").value) || 0});
      ed.counts = answer.error ? null : {report: answer.report || {}};
      showCounts(answer);
      if (!ed.drag) render();
    } catch (e) { /* kestu-web went away */ }
    ed.busy = false;
    if (ed.again) { ed.again = false; whatIf(); }
  }

  function showCounts(answer) {
    const box = $("whatif");
    box.innerHTML = "";
    const head = document.createElement("div");
    box.appendChild(head);
    if (answer.error) { head.textContent = "What-if: " + answer.error; return; }
    const r = answer.report || {};
    head.textContent = "What-if over " + Number(r.frames || 0) + " frames (" +
        (Number(answer.seconds || 0) / 60).toFixed(1) + " min) of " +
        (ed.source === "live" ? "the live history" : "the recording") +
        ", recounted in " + Number(answer.elapsedMs || 0).toFixed(0) + " ms" +
        (ed.source === "live" && Number(r.frames || 0) === 0
             ? " (kestu-web keeps a driver's tracks while it streams: start streaming)" : "");
    const table = document.createElement("table");
    box.appendChild(table);
    const sent = layout();
    (r.zones || []).forEach((z, i) => {
      const row = table.insertRow();
      row.className = "whatif-line";
      Object.assign(row.dataset, {zone: z.zoneName || (sent.lines[i] || {}).name || "",
                                  forward: Number(z.forward || 0), backward: Number(z.backward || 0)});
      for (const v of [row.dataset.zone, "forward " + row.dataset.forward, "backward " + row.dataset.backward]) {
        row.insertCell().textContent = v;
      }
    });
    (r.areas || []).forEach((a, i) => {
      const row = table.insertRow();
      row.className = "whatif-area";
      for (const v of ["Area #" + (i + 1), "in " + Number(a.enters || 0), "out " + Number(a.exits || 0)]) {
        row.insertCell().textContent = v;
      }
    });
  }

  async function loadZones() {
    try {
      const c = ed.chosen;
      const answer = await (await fetch("/api/zones?process=" + encodeURIComponent(c.process) +
                                        "&driver=" + c.driver)).json();
      ed.known = answer.known;
      ed.scale = answer.previewScale || 1;
      $("forget-after").value = answer.forgetAfter || 15;
      const point = (p) => ({x: (p && p.x) || 0, y: (p && p.y) || 0});
      const layout = answer.layout || {};
      ed.lines = (layout.lines || []).map((l) => ({name: l.name, a: point(l.a), b: point(l.b), height: l.height,
                                                    meterPixelRatio: l.meterPixelRatio || 0, source: l.source,
                                                    repeat: Boolean(l.repeat)}));
      ed.areas = (layout.areas || []).map((a) => ({points: (a.points || []).map(point)}));
      select(null);
      if (!ed.known) answerText("Apply needs a configuration sent to this driver from this page first", true);
      else if ($("apply-answer").className === "bad") answerText("", false);
      const blur = $("blur-note");
      blur.hidden = !answer.previewBlurred;
      blur.textContent = ed.known
          ? "The preview is blurred: the driver's \"blur_preview\" key is on. Send \"blur_preview\": false to see it sharp."
          : "The preview is blurred unless the driver's configuration sets \"blur_preview\" to false (it is on by default).";
      render();
      whatIf();
    } catch (e) { /* kestu-web went away */ }
  }

  async function loadPaths() {
    if (!ed.chosen) return;
    try {
      const answer = await (await fetch("/api/paths?process=" + encodeURIComponent(ed.chosen.process) +
                                        "&driver=" + ed.chosen.driver + "&source=" + ed.source)).json();
      ed.paths = answer.points || [];
      if (!ed.drag) render();
    } catch (e) { /* kestu-web went away */ }
  }

  function answerText(text, bad) {
    $("apply-answer").textContent = text;
    $("apply-answer").className = bad ? "bad" : "good";
  }

  function moveHandle(p) {
    const d = ed.drag;
    if (d.handle === "body") {
      const dx = p.x - d.start.x, dy = p.y - d.start.y;
      const moved = (q) => ({x: q.x + dx, y: q.y + dy});
      if (d.kind === "line") {
        Object.assign(ed.lines[d.index], {a: moved(d.original.a), b: moved(d.original.b)});
      } else {
        ed.areas[d.index].points = d.original.points.map(moved);
      }
    } else if (d.kind === "line") {
      ed.lines[d.index][d.handle] = p;
    } else {
      ed.areas[d.index].points[d.handle] = p;
    }
  }

  function grab(p) {
    for (let i = ed.lines.length - 1; i >= 0; --i) {
      for (const end of ["a", "b"]) if (near(p, ed.lines[i][end])) return {kind: "line", index: i, handle: end};
    }
    for (let i = ed.areas.length - 1; i >= 0; --i) {
      const k = ed.areas[i].points.findIndex((q) => near(p, q));
      if (k >= 0) return {kind: "area", index: i, handle: k};
    }
    const copy = (o) => JSON.parse(JSON.stringify(o));
    for (let i = ed.lines.length - 1; i >= 0; --i) {
      if (inside(p, band(ed.lines[i]).corners)) return {kind: "line", index: i, handle: "body", start: p, original: copy(ed.lines[i])};
    }
    for (let i = ed.areas.length - 1; i >= 0; --i) {
      if (inside(p, ed.areas[i].points)) return {kind: "area", index: i, handle: "body", start: p, original: copy(ed.areas[i])};
    }
    return null;
  }

  function finishArea() {
    if (!ed.draft || !ed.draft.points || ed.draft.points.length < 3) return;
    ed.areas.push(ed.draft);
    select("area", ed.areas.length - 1);
    setMode("idle");
    ed.draft = null;
    render();
    whatIf();
  }

  svg.addEventListener("mousedown", (event) => {
    event.preventDefault();
    const p = toFrame(event);
    if (ed.mode === "line-a") {
      ed.draft = {name: nextName(), a: p, b: p, height: 20, meterPixelRatio: 0, source: 0};
      ed.mode = "line-b";
    } else if (ed.mode === "line-b") {
      if (p.x === ed.draft.a.x && p.y === ed.draft.a.y) return;
      ed.draft.b = p;
      ed.mode = "line-height";
    } else if (ed.mode === "line-height") {
      ed.draft.height = bandHeight(ed.draft, p);
      ed.lines.push(ed.draft);
      ed.draft = null;
      setMode("idle");
      select("line", ed.lines.length - 1);
    } else if (ed.mode === "area") {
      if (ed.draft.points.length >= 3 && near(p, ed.draft.points[0])) return finishArea();
      ed.draft.points.push(p);
    } else {
      ed.drag = grab(p);
      select(ed.drag ? ed.drag.kind : null, ed.drag ? ed.drag.index : 0);
    }
    render();
    whatIf();
  });
  svg.addEventListener("mousemove", (event) => {
    const p = toFrame(event);
    if (ed.drag) {
      moveHandle(p);
    } else if (ed.mode === "line-b") {
      ed.draft.b = p;
    } else if (ed.mode === "line-height") {
      ed.draft.height = bandHeight(ed.draft, p);
    } else if (ed.mode === "area") {
      ed.pointer = p;
      render();
      return;
    } else {
      return;
    }
    render();
    whatIf();
  });
  window.addEventListener("mouseup", () => {
    if (!ed.drag) return;
    ed.drag = null;
    render();
    whatIf();
  });
  svg.addEventListener("dblclick", finishArea);
  document.addEventListener("keydown", (event) => {
    if (event.key !== "Escape" || ed.mode === "idle") return;
    setMode("idle");
    ed.draft = null;
    render();
    whatIf();
  });

  $("draw-line").onclick = () => { setMode("line-a"); render(); };
  $("draw-area").onclick = () => { setMode("area"); render(); };
  $("delete-shape").onclick = () => {
    if (!ed.selected) return;
    (ed.selected.kind === "line" ? ed.lines : ed.areas).splice(ed.selected.index, 1);
    select(null);
    render();
    whatIf();
  };
  for (const [id, field] of [["shape-name", "name"], ["shape-height", "height"], ["shape-scale", "meterPixelRatio"]]) {
    $(id).oninput = () => {
      const shape = selectedShape();
      if (!shape || ed.selected.kind !== "line") return;
      shape[field] = field === "name" ? $(id).value : Math.max(0, Number($(id).value) || 0);
      render();
      whatIf();
    };
  }
  $("shape-repeat").onchange = () => {
    const shape = selectedShape();
    if (!shape || ed.selected.kind !== "line") return;
    shape.repeat = $("shape-repeat").checked;
    render();
    whatIf();
  };
  $("forget-after").oninput = whatIf;
  $("apply-zones").onclick = async () => {
    if (!ed.chosen) return;
    answerText("Sending the zones...", false);
    try {
      const answer = await post("/api/zones", {process: ed.chosen.process, driver: ed.chosen.driver,
                                               layout: {lines: layout().lines.slice(0, ed.lines.length),
                                                        areas: layout().areas.slice(0, ed.areas.length)}});
      const s = answer.status;
      if (s) {
        answerText(s.type + (s.message ? ": " + s.message : ""), s.type !== "CONFIG_RECEIVED");
      } else {
        answerText(answer.error || "no answer", true);
      }
      if (s && s.type === "CONFIG_RECEIVED") loadZones();
    } catch (e) { answerText("kestu-web did not answer", true); }
  };
  $("recording-file").onchange = async () => {
    const file = $("recording-file").files[0];
    if (!file || !ed.chosen) return;
    try {
      const answer = await (await fetch("/api/recordings?name=" + encodeURIComponent(file.name),
                                        {method: "POST", body: file,
                                         headers: {"Content-Type": "application/octet-stream"}})).json();
      if (answer.error) { answerText(answer.error, true); return; }
      ed.recordings[answer.id] = {w: answer.frameWidth || 768, h: answer.frameHeight || 576};
      const option = document.createElement("option");
      option.value = answer.id;
      option.textContent = answer.name + " (" + Number(answer.frames) + " frames)";
      $("whatif-source").appendChild(option);
      $("whatif-source").value = answer.id;
      ed.source = answer.id;
      loadPaths();
      whatIf();
    } catch (e) { answerText("kestu-web did not answer", true); }
  };
  $("whatif-source").onchange = () => {
    ed.source = $("whatif-source").value;
    loadPaths();
    whatIf();
  };

  window.kestu.onChoose.push((c) => {
    ed.chosen = c;
    loadZones();
    loadPaths();
  });
  // The picture's size shows only once frames come; the live history grows.
  setInterval(() => {
    if (measure().key !== ed.size && !ed.drag) render();
  }, 500);
  setInterval(() => {
    if (ed.source !== "live" || ed.drag || ed.mode !== "idle") return;
    loadPaths();
    whatIf();
  }, 10000);
  select(null);
})();
