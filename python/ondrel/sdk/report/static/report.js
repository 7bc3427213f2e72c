// The ondrel-sdk report page: pan and zoom with an overview, groups that open and close in place, node
// selection and its panel, stepping through findings or changes, the layer table and the lists.
// The records come from the JSON element #report-data; the drawing's top level comes drawn from Python
// (svg.py), and the levels of opened groups are drawn here in the same markup.
"use strict";
(() => {
  const data = JSON.parse(document.getElementById("report-data").textContent);
  // Groups come as arrays, their levels' layouts shared by levels alike (see page.py _groups_data).
  data.groups = data.groups.map((row) => {
    if (!row) return null;
    const [label, kind, parent, nodes, counts, children, layout, edgeCounts, statuses, entries, exits] = row;
    const [x, y, w, size, edges, routes] = data.layouts[layout];
    return {label, kind, parent, nodes, counts: counts || {}, children, x, y, w, size, routes, entries, exits,
            edges: edges.map(([a, b], k) => [a, b, edgeCounts ? edgeCounts[k] : 1, statuses ? statuses[k] : 0])};
  });
  // Findings name their severity, code and suggestion by their index in the texts (see page.py _issue_data).
  data.findings = data.findings.map(([severity, code, message, suggestion, node]) =>
    [data.texts[severity], data.texts[code], message, data.texts[suggestion], node]);
  const pane = document.getElementById("graph");
  const svg = pane.querySelector("svg");
  const panel = document.getElementById("panel");
  const minimap = document.getElementById("minimap");
  const SVG_NS = "http://www.w3.org/2000/svg";
  const palette = data.palette;
  const H = palette.height;
  const MIN_SCALE = 0.02;
  const MAX_SCALE = 4;
  const READABLE = 0.75; // below this scale node names are too small to read: Fit stops here and scrolls
  const LARGEST_FIT = 1.25; // small models open no larger than this
  const OPEN_ALL_LIMIT = 4000;
  const AUTO_OPEN = 40; // "Open all" stops opening groups past this many drawn items
  const LABEL_CHARS = 36;
  const COUNTED = ["error", "warning", "info", "added", "removed", "modified"];

  // Node columns (see page.py _node_columns): a row ends early where the rest is 0.
  const N = data.nodes.length;
  const kindOf = (i) => data.kinds[data.nodes[i][1] || 0];
  const nameOf = (i) => data.nodes[i][0];
  const typeOf = (i) => data.texts[kindOf(i)[0]];
  const captionOf = (i) => data.texts[kindOf(i)[1]];
  const recordOf = (i) => data.records[kindOf(i)[2]];
  const labelOf = (i) => data.nodes[i][2] || data.nodes[i][0];
  const drawnNameOf = (i) => data.nodes[i][3] || data.nodes[i][0];
  const severityOf = (i) => data.nodes[i][4] || null;
  const statusOf = (i) => data.nodes[i][5] || null;
  const findingsOf = (i) => data.nodes[i][6] || [];
  const changesOf = (i) => data.nodes[i][7] || [];
  // The contributed columns' cells, [sort key, text]: nodes alike share a row (see page.py _contributed_columns).
  const extra = data.contributed;
  const cellOf = (c, i) => extra.values[c][extra.rows[extra.cells[i]][c]];
  // Each node's first inputs and outputs, stored as their index less the node's (see page.py _adjacency).
  const neighbours = {};
  for (const [side, [shown, others, totals]] of Object.entries(data.neighbours)) {
    const offsets = new Int32Array(N + 1);
    shown.forEach((count, i) => { offsets[i + 1] = offsets[i] + count; });
    neighbours[side] = (i) => [others.slice(offsets[i], offsets[i + 1]).map((d) => i + d), totals[i] ?? shown[i]];
  }
  const marked = (status) => status === "added" || status === "removed" || status === "modified";

  // ------------------------------------------------------------------ elements

  function el(tag, attributes, ...children) {
    const element = document.createElement(tag);
    for (const [key, value] of Object.entries(attributes || {})) {
      if (value !== undefined && value !== null) element.setAttribute(key, value);
    }
    for (const child of children.flat()) {
      if (child !== null && child !== undefined) element.append(child);
    }
    return element;
  }

  const ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"};
  const escapeHtml = (text) => String(text).replace(/[&<>"']/g, (c) => ESCAPES[c]);
  const cut = (text, limit) => (text.length <= limit ? text : text.slice(0, limit - 1) + "…");
  const num = (value) => String(Math.round(value * 10) / 10);

  // ------------------------------------------------------------------ drawing markup (as svg.py draws it)

  function badge(width, mark) {
    const [colour, sign] = palette.marks[mark];
    return `<circle class="badge" cx="${width - 2}" cy="2" r="8" fill="${colour}"/>` +
      `<text x="${width - 2}" y="6" font-size="11" font-weight="bold" fill="#fff" text-anchor="middle">${sign}</text>`;
  }

  function nodeMarkup(i, width) {
    const [fill, outline] = palette.types[typeOf(i)] || ["#f1f1f1", "#757575"];
    const status = marked(statusOf(i)) ? statusOf(i) : null;
    const mark = status || severityOf(i);
    let stroke = `stroke="${outline}" stroke-width="1.2"`;
    if (mark) {
      stroke = `stroke="${palette.marks[mark][0]}" stroke-width="3"`;
      if (mark === "removed") stroke += ' stroke-dasharray="6 3" fill-opacity="0.45"';
    }
    return `<g class="node${status ? " " + status : ""}" data-node="${escapeHtml(drawnNameOf(i))}" ` +
      `data-index="${i}" data-class="${escapeHtml(typeOf(i))}"` +
      (severityOf(i) ? ` data-severity="${severityOf(i)}"` : "") + ">" +
      `<title>${escapeHtml(`${nameOf(i)} (${typeOf(i)})`)}</title>` +
      `<rect width="${width}" height="${H}" rx="6" fill="${fill}" ${stroke}/>` +
      `<text x="10" y="17" font-size="12" font-weight="bold" fill="#1a1a1a">${escapeHtml(cut(labelOf(i), LABEL_CHARS))}</text>` +
      `<text x="10" y="32" font-size="11" fill="#4a4a4a">${escapeHtml(captionOf(i))}</text>` +
      (mark ? badge(width, mark) : "") + "</g>";
  }

  function groupMark(group) {
    return ["error", "added", "removed", "modified", "warning", "info"].find((key) => group.counts[key]) || null;
  }

  function groupCaption(group) {
    const marks = COUNTED.filter((key) => group.counts[key])
      .map((key) => `${palette.marks[key][1]}${group.counts[key].toLocaleString("en-US")}`);
    return `${group.nodes.toLocaleString("en-US")} nodes` + (marks.length ? " · " + marks.join(" ") : "");
  }

  function closedGroupMarkup(g, width) {
    const group = data.groups[g];
    const [fill, outline] = palette.group;
    const mark = groupMark(group);
    return `<g class="group" data-group="${g}"><title>${escapeHtml(group.label)}: ` +
      `${group.nodes.toLocaleString("en-US")} nodes (click to open)</title>` +
      `<rect x="4" y="4" width="${width}" height="${H}" rx="6" fill="${fill}" stroke="${outline}" stroke-width="1"/>` +
      `<rect width="${width}" height="${H}" rx="6" fill="${fill}" stroke="${mark ? palette.marks[mark][0] : outline}" ` +
      `stroke-width="${mark ? 2.4 : 1.4}"/>` +
      `<text x="10" y="17" font-size="12" font-weight="bold" fill="#1a1a1a">${escapeHtml(cut(group.label, LABEL_CHARS))}</text>` +
      `<text x="10" y="32" font-size="11" fill="#4a4a4a">${escapeHtml(groupCaption(group))}</text>` +
      (mark ? badge(width, mark) : "") + "</g>";
  }

  const frameLabel = (group) => `${cut(group.label, 60)} · ${groupCaption(group)} (click to close)`;

  function openGroupMarkup(g, size) {
    const group = data.groups[g];
    return `<g class="group open" data-group="${g}">` +
      `<rect class="frame" width="${size[0]}" height="${size[1]}" rx="8" fill="#fbfcfc" fill-opacity="0.6" ` +
      'stroke="#9aa5ad" stroke-width="1.2" stroke-dasharray="5 3"/>' +
      `<text class="frame-label" x="8" y="15" font-size="11" font-weight="bold" fill="#5f6b73">` +
      `${escapeHtml(frameLabel(group))}</text>` +
      `<g class="level" data-group="${g}"></g></g>`;
  }

  function pathData(lines, loop) {
    const parts = [];
    for (const flat of lines) {
      parts.push(`M${num(flat[0])} ${num(flat[1])}`);
      if (loop) {
        const [xm, , x1, y1] = flat.slice(2);
        parts.push(`C${num(xm + 12)} ${num(flat[1] - 6)} ${num(xm + 12)} ${num(y1 + 6)} ${num(x1)} ${num(y1)}`);
        continue;
      }
      for (let k = 2; k < flat.length; k += 2) {
        const [xa, ya, xb, yb] = [flat[k - 2], flat[k - 1], flat[k], flat[k + 1]];
        if (Math.abs(xa - xb) < 0.5 || Math.abs(ya - yb) < 0.5) parts.push(`L${num(xb)} ${num(yb)}`);
        else {
          const middle = num((ya + yb) / 2);
          parts.push(`C${num(xa)} ${middle} ${num(xb)} ${middle} ${num(xb)} ${num(yb)}`);
        }
      }
    }
    return parts.join("");
  }

  function edgeMarkup(group, route, lines) {
    const [ids, bus] = route;
    const statuses = new Set(ids.map((k) => group.edges[k][3] || null));
    const status = statuses.size === 1 ? [...statuses][0] : null;
    const colour = status ? palette.edgeStatus[status] : palette.edge;
    const [from, to] = group.edges[ids[0]];
    const ends = bus ? `data-edges="${ids.length}"` : `data-from="${from}" data-to="${to}"`;
    return `<path class="edge${status ? " " + status : ""}${bus ? " bus" : ""}" ${ends} stroke="${colour}" ` +
      `stroke-width="${status ? 2.2 : 1.4}"${status === "removed" ? ' stroke-dasharray="6 4"' : ""} ` +
      `marker-end="url(#ondrel-arrow-${status || "plain"})" d="${pathData(lines, !bus && from === to)}"/>`;
  }

  // ------------------------------------------------------------------ groups: open, close, place

  const open = new Set([0]);
  const levelEls = new Map(); // group id -> its <g class="level">, while it is drawn
  const itemEls = new Map(); // group id -> [element of each child], while drawn
  const origin = new Map(); // group id -> [x, y] of its level in drawing coordinates
  const placed = new Map(); // group id -> {x, y, w, h, lines, size}: positions with open children grown
  const parentOf = (g) => data.groups[g].parent;

  function ancestors(i) { // the groups holding node i, innermost first
    const chain = [];
    for (let g = data.nodeGroup[i]; g !== null && g !== undefined; g = parentOf(g)) chain.push(g);
    return chain;
  }

  // An open child grows its box to its own level's size: what lies right of the box moves right by the
  // growth in width, what lies below it moves down by the growth in height, edge bends included.
  function place(g) {
    const group = data.groups[g];
    const count = group.children.length;
    const left = group.x.map((x, k) => x - group.w[k] / 2);
    const top = group.y.slice();
    const w = group.w.slice();
    const h = group.children.map(() => H);
    const lines = group.routes.map((route) => route[2].map((line) => line.slice()));
    let [width, height] = group.size;
    if (g) width = Math.max(width, frameLabel(group).length * 6.7 + 16); // the frame's title fits
    const opened = [];
    group.children.forEach((item, k) => { if (item < 0 && open.has(~item)) opened.push(k); });
    opened.sort((a, b) => top[a] - top[b] || left[a] - left[b]);
    for (const k of opened) {
      const size = place(~group.children[k]).size;
      const dw = Math.max(0, size[0] - w[k]);
      const dh = Math.max(0, size[1] - h[k]);
      const right = left[k] + w[k] - 0.5;
      const bottom = top[k] + h[k] - 0.5;
      for (let j = 0; j < count; j++) {
        if (j === k) continue;
        if (left[j] >= right) left[j] += dw;
        if (top[j] >= bottom) top[j] += dh;
      }
      for (const route of lines) {
        for (const line of route) {
          for (let p = 0; p < line.length; p += 2) {
            if (line[p] >= right) line[p] += dw;
            if (line[p + 1] >= bottom) line[p + 1] += dh;
          }
        }
      }
      w[k] = size[0];
      h[k] = size[1];
      width += dw;
      height += dh;
    }
    const result = {left, top, w, h, lines, size: [width, height]};
    placed.set(g, result);
    return result;
  }

  // Inside an open group, thin lines join the point where edges from outside arrive (the middle of its
  // closed box's top) to the children they reach, and the children edges leave from to the bottom.
  function portsMarkup(g, closedWidth) {
    const group = data.groups[g];
    const at = placed.get(g);
    const middle = closedWidth / 2;
    const lines = [];
    for (const k of group.entries) lines.push([middle, 0, at.left[k] + at.w[k] / 2, at.top[k]]);
    for (const k of group.exits) lines.push([at.left[k] + at.w[k] / 2, at.top[k] + at.h[k], middle, at.size[1]]);
    return lines.length ? `<path class="port" fill="none" stroke="${palette.edge}" stroke-width="1" ` +
      `stroke-dasharray="3 3" d="${pathData(lines, false)}"/>` : "";
  }

  function drawLevel(g, levelEl, closedWidth) {
    const group = data.groups[g];
    const at = placed.get(g);
    const edges = (g ? portsMarkup(g, closedWidth) : "") +
      group.routes.map((route, r) => edgeMarkup(group, route, at.lines[r])).join("");
    const items = group.children.map((item, k) => (item >= 0 ? nodeMarkup(item, group.w[k])
      : open.has(~item) ? openGroupMarkup(~item, at.w[k] ? [at.w[k], at.h[k]] : group.size)
      : closedGroupMarkup(~item, group.w[k]))).join("");
    levelEl.innerHTML = `<g class="edges" fill="none">${edges}</g><g class="nodes">${items}</g>`;
    levelEls.set(g, levelEl);
    const elements = Array.from(levelEl.lastChild.children);
    itemEls.set(g, elements);
    elements.forEach((element, k) => element.setAttribute("transform", `translate(${num(at.left[k])} ${num(at.top[k])})`));
    group.children.forEach((item, k) => {
      if (item < 0 && open.has(~item)) drawLevel(~item, elements[k].querySelector(".level"), group.w[k]);
    });
  }

  function locate(g, x, y) { // origin of every drawn level, in drawing coordinates
    origin.set(g, [x, y]);
    const at = placed.get(g);
    data.groups[g].children.forEach((item, k) => {
      if (item < 0 && open.has(~item)) locate(~item, x + at.left[k], y + at.top[k]);
    });
  }

  let drawingSize = [svg.viewBox.baseVal.width, svg.viewBox.baseVal.height];

  function redraw() {
    const root = svg.querySelector('.level[data-group="0"]');
    place(0);
    levelEls.clear();
    itemEls.clear();
    origin.clear();
    for (const g of Array.from(placed.keys())) if (g !== 0 && !open.has(g)) placed.delete(g);
    drawLevel(0, root);
    locate(0, 0, 0);
    drawingSize = placed.get(0).size;
    nodeElements.clear();
    for (const element of svg.querySelectorAll(".node[data-index]")) nodeElements.set(Number(element.dataset.index), element);
    if (selected !== null) highlight(selected, true);
    apply();
  }

  // Opening a group also opens the groups inside it while that draws at most AUTO_OPEN items in all,
  // so that a group of a few small blocks shows its nodes at once.
  function openWithin(g) {
    open.add(g);
    let budget = AUTO_OPEN - data.groups[g].children.length;
    const queue = [g];
    while (queue.length) {
      for (const item of data.groups[queue.shift()].children) {
        if (item >= 0 || data.groups[~item].children.length > budget) continue;
        open.add(~item);
        budget -= data.groups[~item].children.length;
        queue.push(~item);
      }
    }
  }

  function setOpen(g, state) {
    if (g === 0 || open.has(g) === state) return;
    if (state) openWithin(g);
    else {
      open.delete(g);
      for (const other of Array.from(open)) { // closing a group closes what is inside it
        for (let p = parentOf(other); p !== null && p !== undefined; p = parentOf(p)) {
          if (p === g) open.delete(other);
        }
      }
    }
    redraw();
  }

  function reveal(i) { // open every group around node i
    let changed = false;
    for (const g of ancestors(i)) {
      if (!open.has(g)) { open.add(g); changed = true; }
    }
    if (changed) redraw();
  }

  function openAll(state) {
    if (!state) {
      open.clear();
      open.add(0);
    } else {
      let drawn = data.groups[0].children.length;
      const queue = [0];
      while (queue.length) {
        const g = queue.shift();
        for (const item of data.groups[g].children) {
          if (item >= 0) continue;
          const inner = data.groups[~item].children.length;
          if (drawn + inner > OPEN_ALL_LIMIT) continue;
          open.add(~item);
          drawn += inner;
          queue.push(~item);
        }
      }
    }
    redraw();
  }

  // ------------------------------------------------------------------ pan, zoom and the overview

  const view = {scale: 1, x: 0, y: 0};
  const nodeElements = new Map();

  function paneSize() {
    return [pane.clientWidth || 1, pane.clientHeight || 1];
  }

  function apply() {
    const [w, h] = paneSize();
    svg.setAttribute("viewBox", `${view.x} ${view.y} ${w / view.scale} ${h / view.scale}`);
    drawMinimap();
  }

  function zoomAt(factor, px, py) {
    const scale = Math.min(MAX_SCALE, Math.max(MIN_SCALE, view.scale * factor));
    view.x += px / view.scale - px / scale;
    view.y += py / view.scale - py / scale;
    view.scale = scale;
    apply();
  }

  // The whole drawing when it stays readable; else as much as fits at the readable scale, from the top.
  function fit(largest) {
    const [w, h] = paneSize();
    const [width, height] = drawingSize;
    const whole = Math.min(w / width, h / height) * 0.96;
    view.scale = Math.min(largest, Math.max(READABLE, whole));
    view.x = (width - w / view.scale) / 2;
    view.y = whole >= READABLE ? (height - h / view.scale) / 2 : 0;
    if (width * view.scale > w) view.x = 0;
    apply();
  }

  function centreOn(i) {
    const element = nodeElements.get(i);
    if (!element) return;
    const g = data.nodeGroup[i];
    const k = data.groups[g].children.indexOf(i);
    const at = placed.get(g);
    const [ox, oy] = origin.get(g);
    const [w, h] = paneSize();
    if (view.scale < READABLE) view.scale = 1;
    view.x = ox + at.left[k] + at.w[k] / 2 - w / view.scale / 2;
    view.y = oy + at.top[k] + H / 2 - h / view.scale / 2;
    apply();
  }

  function drawMinimap() {
    const context = minimap.getContext("2d");
    const [mw, mh] = [minimap.width, minimap.height];
    const [width, height] = drawingSize;
    const scale = Math.min(mw / width, mh / height);
    const dx = (mw - width * scale) / 2;
    const dy = (mh - height * scale) / 2;
    minimap.dataset.scale = scale;
    minimap.dataset.dx = dx;
    minimap.dataset.dy = dy;
    context.clearRect(0, 0, mw, mh);
    for (const [g, at] of placed) {
      if (!origin.has(g)) continue;
      const [ox, oy] = origin.get(g);
      const group = data.groups[g];
      group.children.forEach((item, k) => {
        const status = item >= 0 ? statusOf(item) : null;
        const mark = item >= 0 ? (marked(status) ? status : severityOf(item)) : groupMark(data.groups[~item]);
        if (item < 0 && open.has(~item)) return;
        context.fillStyle = mark ? palette.marks[mark][0] : item >= 0 ? "#9fb3c2" : "#c9d1d6";
        context.fillRect(dx + (ox + at.left[k]) * scale, dy + (oy + at.top[k]) * scale,
                         Math.max(1, at.w[k] * scale), Math.max(1, at.h[k] * scale));
      });
    }
    const [w, h] = paneSize();
    context.strokeStyle = "#1e63b5";
    context.lineWidth = 1.5;
    context.strokeRect(dx + view.x * scale, dy + view.y * scale, w / view.scale * scale, h / view.scale * scale);
  }

  function minimapMove(event) {
    const box = minimap.getBoundingClientRect();
    const scale = Number(minimap.dataset.scale);
    const [w, h] = paneSize();
    view.x = (event.clientX - box.left - Number(minimap.dataset.dx)) / scale - w / view.scale / 2;
    view.y = (event.clientY - box.top - Number(minimap.dataset.dy)) / scale - h / view.scale / 2;
    apply();
  }

  let minimapDrag = false;
  minimap.addEventListener("pointerdown", (event) => {
    event.stopPropagation();
    minimapDrag = true;
    minimapMove(event);
  });
  window.addEventListener("pointermove", (event) => { if (minimapDrag) minimapMove(event); });
  window.addEventListener("pointerup", () => { minimapDrag = false; });

  pane.addEventListener("wheel", (event) => {
    event.preventDefault();
    const box = pane.getBoundingClientRect();
    const delta = event.deltaMode === 1 ? event.deltaY * 16 : event.deltaY;
    zoomAt(Math.exp(-delta * 0.0015), event.clientX - box.left, event.clientY - box.top);
  }, {passive: false});

  let drag = null;
  pane.addEventListener("pointerdown", (event) => {
    if (event.button !== 0 || event.target === minimap) return;
    drag = {x: event.clientX, y: event.clientY, viewX: view.x, viewY: view.y, moved: false};
  });
  window.addEventListener("pointermove", (event) => {
    if (!drag) return;
    const dx = event.clientX - drag.x;
    const dy = event.clientY - drag.y;
    if (!drag.moved && Math.hypot(dx, dy) < 4) return;
    if (!drag.moved) {
      drag.moved = true;
      pane.classList.add("panning");
      pane.setPointerCapture?.(event.pointerId);
    }
    view.x = drag.viewX - dx / view.scale;
    view.y = drag.viewY - dy / view.scale;
    apply();
  });
  window.addEventListener("pointerup", (event) => {
    if (!drag) return;
    const clicked = !drag.moved;
    drag = null;
    pane.classList.remove("panning");
    if (!clicked || !event.target.closest) return;
    const node = event.target.closest(".node");
    const group = event.target.closest(".group");
    if (node && pane.contains(node)) select(Number(node.dataset.index));
    else if (group && pane.contains(group)) {
      const g = Number(group.dataset.group);
      if (!open.has(g)) setOpen(g, true);
      else if (event.target.closest(".frame-label")) setOpen(g, false);
    } else if (pane.contains(event.target)) select(null);
  });

  for (const button of document.querySelectorAll("[data-zoom]")) {
    button.addEventListener("click", () => {
      const [w, h] = paneSize();
      const action = button.dataset.zoom;
      if (action === "fit") fit(MAX_SCALE);
      else if (action === "actual") zoomAt(1 / view.scale, w / 2, h / 2);
      else zoomAt(action === "in" ? 1.4 : 1 / 1.4, w / 2, h / 2);
    });
  }
  for (const button of document.querySelectorAll("[data-groups]")) {
    button.addEventListener("click", () => openAll(button.dataset.groups === "open"));
  }
  window.addEventListener("resize", apply);

  // ------------------------------------------------------------------ selection and panel

  let selected = null;
  const rows = []; // table row of each node, once the table shows it

  function nodeLink(index) {
    return el("a", {href: "#", class: "goto", "data-goto": index}, nameOf(index));
  }

  function recordTable(rowsOf, sides) {
    const table = el("table", {class: "record"});
    if (sides) table.append(el("tr", {}, el("th"), ...sides.map((side) => el("th", {}, side))));
    for (const row of rowsOf) {
      const [label, ...values] = row;
      const changed = values.length > 1 && values[0] !== values[1];
      table.append(el("tr", {}, el("th", {}, label),
                      ...values.map((value) => el("td", {class: changed ? "changed" : null}, value))));
    }
    return table;
  }

  function showPanel(index) {
    panel.replaceChildren();
    if (index === null) {
      panel.append(el("p", {class: "hint"}, "Select a node in the drawing, the table or a list to see its record."));
      return;
    }
    const [fill, stroke] = palette.types[typeOf(index)] || ["#f1f1f1", "#757575"];
    panel.append(el("h2", {}, nameOf(index)));
    const meta = el("div", {}, el("span", {class: "chip", style: `background:${fill};border-color:${stroke}`},
                                  typeOf(index)));
    if (statusOf(index)) meta.append(" ", el("span", {class: `status ${statusOf(index)}`}, statusOf(index)));
    panel.append(meta);
    const where = ancestors(index).slice(0, -1).reverse().map((g) => data.groups[g].label);
    if (where.length) panel.append(el("div", {class: "where"}, "in " + where.join(" › ")));

    if (findingsOf(index).length) {
      panel.append(el("h3", {}, "Lint findings"));
      panel.append(el("ul", {class: "findings"}, findingsOf(index).map((k) => {
        const [severity, code, message, suggestion] = data.findings[k];
        return el("li", {class: `finding ${severity}`}, el("span", {class: "sev"}, severity), " ",
                  el("code", {}, code), el("div", {}, message),
                  suggestion ? el("div", {class: "suggestion"}, suggestion) : null);
      })));
    }
    if (statusOf(index) === "modified") {
      const details = data.details[index] || changesOf(index);
      panel.append(el("h3", {}, "Changes"), el("ul", {class: "details"}, details.map((line) =>
        el("li", {class: line.startsWith("  ") ? "stat" : null}, line.trim()))));
    }
    const [record, config] = recordOf(index);
    const sides = record.length && record[0].length === 3 ? data.sides : null;
    panel.append(el("h3", {}, "Record"), recordTable(record, sides));
    if (config.length) panel.append(el("h3", {}, "Configuration"), recordTable(config, sides));
    for (const [title, indexes] of extra.panels) {
      const filled = indexes.filter((c) => cellOf(c, index)[1] !== "");
      if (filled.length) {
        panel.append(el("h3", {}, title),
                     recordTable(filled.map((c) => [extra.columns[c][0], cellOf(c, index)[1]]), null));
      }
    }
    for (const [title, side] of [["Inputs from", "inputs"], ["Outputs to", "outputs"]]) {
      const [list, total] = neighbours[side](index);
      if (!list.length) continue;
      const more = total > list.length ? el("span", {class: "note"}, ` and ${(total - list.length).toLocaleString("en-US")} more`) : null;
      panel.append(el("h3", {}, title), el("div", {class: "links"}, list.map((i) => nodeLink(i)), more));
    }
  }

  function highlight(index, on) {
    nodeElements.get(index)?.classList.toggle("selected", on);
    rows[index]?.classList.toggle("selected", on);
    const g = data.nodeGroup[index];
    const k = data.groups[g].children.indexOf(index);
    const levelEl = levelEls.get(g);
    if (!levelEl) return;
    const items = itemEls.get(g);
    for (const edge of levelEl.firstChild.children) {
      const from = Number(edge.dataset.from);
      const to = Number(edge.dataset.to);
      if (from !== k && to !== k) continue;
      edge.classList.toggle("related", on);
      items[from === k ? to : from]?.classList.toggle("neighbour", on);
    }
  }

  function select(index, centre) {
    if (selected !== null) highlight(selected, false);
    selected = index;
    pane.classList.toggle("dimmed", index !== null);
    if (index !== null) {
      if (centre) reveal(index);
      highlight(index, true);
      if (centre) centreOn(index);
    }
    showPanel(index);
  }

  document.addEventListener("click", (event) => {
    const link = event.target.closest && event.target.closest("[data-goto]");
    if (!link || pane.contains(link)) return;
    event.preventDefault();
    select(Number(link.dataset.goto), true);
    if (!panel.contains(link)) pane.scrollIntoView({behavior: "instant", block: "center"});
  });

  // ------------------------------------------------------------------ next and previous finding or change

  const steps = data.kind === "diff"
    ? Array.from({length: N}, (_, i) => i).filter((i) => marked(statusOf(i)))
    : data.findings.map((finding) => finding[4]).filter((i) => i !== null && i !== undefined);
  const stepCount = document.getElementById("step-count");
  let step = -1;
  const stepWord = data.kind === "diff" ? "changes" : "findings";

  function showStep() {
    stepCount.textContent = steps.length
      ? `${step < 0 ? "–" : (step + 1).toLocaleString("en-US")} / ${steps.length.toLocaleString("en-US")} ${stepWord}`
      : `no ${stepWord}`;
  }

  function goStep(direction) {
    if (!steps.length) return;
    step = step < 0 ? (direction > 0 ? 0 : steps.length - 1) : (step + direction + steps.length) % steps.length;
    showStep();
    select(steps[step], true);
  }

  for (const button of document.querySelectorAll("[data-step]")) {
    button.addEventListener("click", () => goStep(Number(button.dataset.step)));
  }

  document.addEventListener("keydown", (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey || event.target.closest?.("input, textarea, select")) return;
    const [w, h] = paneSize();
    const actions = {
      n: () => goStep(1), p: () => goStep(-1), N: () => goStep(-1),
      f: () => fit(MAX_SCALE), "+": () => zoomAt(1.4, w / 2, h / 2), "=": () => zoomAt(1.4, w / 2, h / 2),
      "-": () => zoomAt(1 / 1.4, w / 2, h / 2), 1: () => zoomAt(1 / view.scale, w / 2, h / 2),
    };
    if (actions[event.key]) {
      event.preventDefault();
      actions[event.key]();
    }
  });

  // ------------------------------------------------------------------ find

  const find = document.getElementById("find");
  let lastQuery = "";
  let lastMatch = -1;
  find.addEventListener("keydown", (event) => {
    if (event.key !== "Enter") return;
    const query = find.value.trim().toLowerCase();
    if (!query) return;
    const start = query === lastQuery ? lastMatch + 1 : 0;
    lastQuery = query;
    for (let k = 0; k < N; k++) {
      const i = (start + k) % N;
      if (nameOf(i).toLowerCase().includes(query)) {
        lastMatch = i;
        select(i, true);
        return;
      }
    }
    find.setCustomValidity("No node matches");
    find.reportValidity();
  });
  find.addEventListener("input", () => find.setCustomValidity(""));

  // ------------------------------------------------------------------ lists, a chunk at a time
  // Rows are added as the list is scrolled: a 100,000-row table built at once would hold the page up.

  const CHUNK = 300;

  function lazyRows(container, scroller, order, rowHtml, onShown) {
    const more = el(container.tagName === "UL" ? "li" : "tr", {class: "more"});
    more.append(container.tagName === "UL" ? "" : el("td", {colspan: 20}));
    let shown = 0;
    function showMore() {
      const end = Math.min(order.length, shown + CHUNK);
      more.insertAdjacentHTML("beforebegin", order.slice(shown, end).map(rowHtml).join(""));
      if (onShown) onShown(more, shown, end);
      shown = end;
      more.hidden = shown >= order.length;
      (more.firstChild || more).textContent = `${shown.toLocaleString("en-US")} of ` +
        `${order.length.toLocaleString("en-US")} shown: scroll or click for more`;
    }
    container.append(more);
    scroller.addEventListener("scroll", () => {
      if (!more.hidden && scroller.scrollTop + scroller.clientHeight > scroller.scrollHeight - 600) showMore();
    });
    more.addEventListener("click", showMore);
    showMore();
    return {reset() { container.querySelectorAll("[data-row]").forEach((row) => row.remove()); shown = 0; showMore(); }};
  }

  function buildFindings() {
    const list = document.getElementById("finding-list");
    if (!list) return;
    lazyRows(list, list.parentElement, data.findings.map((_, k) => k), (k) => {
      const [severity, code, message, suggestion, node] = data.findings[k];
      const where = node === null || node === undefined ? ' <span class="whole">whole graph</span>'
        : ` <a href="#" class="goto" data-goto="${node}">${escapeHtml(nameOf(node))}</a>`;
      return `<li class="finding ${severity}" data-row="${k}"><span class="sev">${severity}</span> ` +
        `<code>${escapeHtml(code)}</code>${where}<div>${escapeHtml(message)}</div>` +
        (suggestion ? `<div class="suggestion">${escapeHtml(suggestion)}</div>` : "") + "</li>";
    });
  }

  function buildChanges() {
    const table = document.getElementById("change-list");
    if (!table) return;
    const body = table.tBodies[0];
    lazyRows(body, table.parentElement, steps, (i) =>
      `<tr class="${statusOf(i)}" data-row="${i}"><td><span class="status">${statusOf(i)}</span></td>` +
      `<td><a href="#" class="goto" data-goto="${i}">${escapeHtml(nameOf(i))}</a></td>` +
      `<td>${escapeHtml(typeOf(i))}</td><td>${escapeHtml(changesOf(i).join("; "))}</td></tr>`);
  }

  function buildTable() {
    const table = document.getElementById("layer-table");
    const wrap = table.parentElement;
    const diff = data.kind === "diff";
    // A cell is a text or [sort key, text].
    const columns = [...(diff ? [["Status"]] : []), ["#", "num"], ["Name"], ["Class"], ["Parameters", "num"],
                     ["Memory", "num"], ["FLOPs", "num"], ["Input shape", "mono"], ["Output shape", "mono"],
                     ...(diff ? [] : [["Findings"]]),
                     ...extra.columns.map(([label, numeric]) => [label, numeric ? "num" : null])];
    const RANK = {error: 3, warning: 2, info: 1};
    const formatBytes = (n) => {
      const units = ["B", "KB", "MB", "GB", "TB"];
      let k = 0;
      let value = n;
      while (value >= 1024 && k < units.length - 1) { value /= 1024; k++; }
      return k ? `${value.toFixed(1)} ${units[k]}` : `${n} B`;
    };
    const formatNumber = (n) => {
      for (const [limit, suffix] of [[1e12, "T"], [1e9, "G"], [1e6, "M"], [1e3, "K"]]) {
        if (Math.abs(n) >= limit) return `${(n / limit).toFixed(1)}${suffix}`;
      }
      return String(n);
    };
    function cells(i) {
      const [, , params, bytes, flops, input, output] = recordOf(i);
      const found = findingsOf(i);
      return [...(diff ? [statusOf(i)] : []), [i, String(i + 1)], nameOf(i), typeOf(i),
              [params, params.toLocaleString("en-US")], [bytes, formatBytes(bytes)], [flops, formatNumber(flops)],
              input, output,
              ...(diff ? [] : [[RANK[severityOf(i)] || 0, found.length ? `${found.length} (${severityOf(i)})` : ""]]),
              ...extra.columns.map((_, c) => cellOf(c, i))];
    }
    const head = el("tr", {}, columns.map(([label]) => el("th", {scope: "col"}, label)));
    const body = el("tbody");
    table.className = "layers";
    table.replaceChildren(el("thead", {}, head), body);
    const order = Array.from({length: N}, (_, i) => i);
    const rowHtml = (i) => {
      const status = diff && marked(statusOf(i)) ? ` class="${statusOf(i)}"` : "";
      return `<tr data-row="${i}"${status}>` + cells(i).map((cell, c) => {
        const kind = columns[c][1];
        return `${kind ? `<td class="${kind}">` : "<td>"}${escapeHtml(Array.isArray(cell) ? cell[1] : cell ?? "")}</td>`;
      }).join("") + "</tr>";
    };
    const list = lazyRows(body, wrap, order, rowHtml, (more, from, to) => {
      for (let row = more.previousElementSibling, k = to; k > from; k--, row = row.previousElementSibling) {
        rows[Number(row.dataset.row)] = row;
      }
      if (selected !== null) rows[selected]?.classList.add("selected");
    });
    body.addEventListener("click", (event) => {
      const row = event.target.closest("tr[data-row]");
      if (row) select(Number(row.dataset.row), true);
    });
    head.addEventListener("click", (event) => {
      const th = event.target.closest("th");
      if (!th) return;
      const c = Array.from(head.children).indexOf(th);
      const descending = th.getAttribute("aria-sort") === "ascending";
      for (const other of head.children) other.removeAttribute("aria-sort");
      th.setAttribute("aria-sort", descending ? "descending" : "ascending");
      const keys = new Map(order.map((i) => [i, cells(i)[c]]));
      const compare = (a, b) => {
        const x = keys.get(a);
        const y = keys.get(b);
        if (!Array.isArray(x)) return String(x ?? "").localeCompare(String(y ?? ""));
        const [u, v] = [x[0] ?? -Infinity, y[0] ?? -Infinity];
        return u < v ? -1 : u > v ? 1 : 0;
      };
      order.sort((a, b) => (descending ? -1 : 1) * compare(a, b) || a - b);
      rows.length = 0;
      list.reset();
    });
  }

  // ------------------------------------------------------------------ start

  buildTable();
  buildFindings();
  buildChanges();
  showStep();
  redraw();
  fit(LARGEST_FIT);
  showPanel(null);
  document.documentElement.dataset.ready = "1";
  document.dispatchEvent(new Event("report-ready"));
})();
