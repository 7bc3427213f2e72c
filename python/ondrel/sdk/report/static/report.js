// The ondrel-sdk report page: pan and zoom, node selection and its panel, the sortable layer table.
// The records come from the JSON element #report-data; drawn node i is the i-th .node of the drawing.
"use strict";
(() => {
  const data = JSON.parse(document.getElementById("report-data").textContent);
  const pane = document.getElementById("graph");
  const svg = pane.querySelector("svg");
  const panel = document.getElementById("panel");
  const nodes = Array.from(svg.querySelectorAll(".node"));
  const width = svg.viewBox.baseVal.width;
  const height = svg.viewBox.baseVal.height;
  const MIN_SCALE = 0.01;
  const MAX_SCALE = 4;

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

  const ESCAPES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"};
  const escapeHtml = (text) => String(text).replace(/[&<>"]/g, (c) => ESCAPES[c]);

  // ------------------------------------------------------------------ edges by node

  const incoming = nodes.map(() => []);
  const outgoing = nodes.map(() => []);
  for (const edge of svg.querySelectorAll(".edge")) {
    const from = Number(edge.dataset.from);
    const to = Number(edge.dataset.to);
    outgoing[from].push([to, edge]);
    incoming[to].push([from, edge]);
  }

  // ------------------------------------------------------------------ pan and zoom

  const view = {scale: 1, x: 0, y: 0};

  function paneSize() {
    return [pane.clientWidth || 1, pane.clientHeight || 1];
  }

  function apply() {
    const [w, h] = paneSize();
    svg.setAttribute("viewBox", `${view.x} ${view.y} ${w / view.scale} ${h / view.scale}`);
  }

  function zoomAt(factor, px, py) {
    const scale = Math.min(MAX_SCALE, Math.max(MIN_SCALE, view.scale * factor));
    view.x += px / view.scale - px / scale;
    view.y += py / view.scale - py / scale;
    view.scale = scale;
    apply();
  }

  function fit() {
    const [w, h] = paneSize();
    view.scale = Math.min(MAX_SCALE, Math.max(MIN_SCALE, Math.min(w / width, h / height) * 0.96));
    view.x = (width - w / view.scale) / 2;
    view.y = (height - h / view.scale) / 2;
    apply();
  }

  function initialView() {
    const [w, h] = paneSize();
    if (Math.min(w / width, h / height) >= 0.45) return fit();
    // Too large to read when fitted: show the inputs at the top, as wide as fits.
    view.scale = Math.min(1, Math.max(0.45, w / width));
    view.x = (width - w / view.scale) / 2;
    view.y = 0;
    apply();
  }

  function centreOn(index) {
    const node = nodes[index];
    const [w, h] = paneSize();
    const matrix = node.transform.baseVal.consolidate().matrix;
    const rect = node.querySelector("rect");
    if (view.scale < 0.6) view.scale = 1;
    view.x = matrix.e + rect.width.baseVal.value / 2 - w / view.scale / 2;
    view.y = matrix.f + rect.height.baseVal.value / 2 - h / view.scale / 2;
    apply();
  }

  pane.addEventListener("wheel", (event) => {
    event.preventDefault();
    const box = pane.getBoundingClientRect();
    const delta = event.deltaMode === 1 ? event.deltaY * 16 : event.deltaY;
    zoomAt(Math.exp(-delta * 0.0015), event.clientX - box.left, event.clientY - box.top);
  }, {passive: false});

  let drag = null;
  pane.addEventListener("pointerdown", (event) => {
    if (event.button !== 0) return;
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
    if (!clicked) return;
    const node = event.target.closest && event.target.closest(".node");
    if (node && pane.contains(node)) select(nodes.indexOf(node));
    else if (pane.contains(event.target)) select(null);
  });

  for (const button of document.querySelectorAll("[data-zoom]")) {
    button.addEventListener("click", () => {
      const [w, h] = paneSize();
      const action = button.dataset.zoom;
      if (action === "fit") fit();
      else if (action === "actual") zoomAt(1 / view.scale, w / 2, h / 2);
      else zoomAt(action === "in" ? 1.4 : 1 / 1.4, w / 2, h / 2);
    });
  }
  window.addEventListener("resize", apply);

  // ------------------------------------------------------------------ selection and panel

  let selected = null;
  const rows = [];  // table row of each node, once the table shows it

  function nodeLink(index) {
    return el("a", {href: "#", class: "goto", "data-goto": index}, data.nodes[index].name);
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
      panel.append(el("p", {class: "hint"}, "Select a node in the drawing, the table or a finding to see its record."));
      return;
    }
    const node = data.nodes[index];
    const colours = nodes[index].querySelector("rect");
    panel.append(el("h2", {}, node.name));
    const meta = el("div", {}, el("span", {class: "chip", style:
      `background:${colours.getAttribute("fill")};border-color:${colours.getAttribute("stroke")}`}, node.type));
    if (node.status) meta.append(" ", el("span", {class: `status ${node.status}`}, node.status));
    panel.append(meta);

    if (node.findings) {
      panel.append(el("h3", {}, "Lint findings"));
      panel.append(el("ul", {class: "findings"}, node.findings.map((i) => {
        const issue = data.findings[i];
        return el("li", {class: `finding ${issue.severity}`}, el("span", {class: "sev"}, issue.severity), " ",
                  el("code", {}, issue.code), el("div", {}, issue.message),
                  issue.suggestion ? el("div", {class: "suggestion"}, issue.suggestion) : null);
      })));
    }
    if (node.status === "modified") {
      panel.append(el("h3", {}, "Changes"), el("ul", {}, node.changes.map((change) => el("li", {}, change))));
    }
    const sides = node.record.length && node.record[0].length === 3 ? data.sides : null;
    panel.append(el("h3", {}, "Record"), recordTable(node.record, sides));
    if (node.config.length) panel.append(el("h3", {}, "Configuration"), recordTable(node.config, sides));
    if (node.tensors.length) panel.append(el("h3", {}, "Tensors"), recordTable(node.tensors, sides));
    for (const [title, list] of [["Inputs from", incoming[index]], ["Outputs to", outgoing[index]]]) {
      if (list.length) panel.append(el("h3", {}, title), el("div", {class: "links"}, list.map(([i]) => nodeLink(i))));
    }
  }

  function highlight(index, on) {
    nodes[index].classList.toggle("selected", on);
    rows[index]?.classList.toggle("selected", on);
    for (const [i, edge] of [...incoming[index], ...outgoing[index]]) {
      edge.classList.toggle("related", on);
      nodes[i].classList.toggle("neighbour", on);
    }
  }

  function select(index, centre) {
    if (selected !== null) highlight(selected, false);
    selected = index;
    pane.classList.toggle("dimmed", index !== null);
    if (index !== null) {
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
    if (!panel.contains(link)) pane.scrollIntoView({behavior: "smooth", block: "center"});
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
    for (let k = 0; k < data.nodes.length; k++) {
      const i = (start + k) % data.nodes.length;
      if (data.nodes[i].name.toLowerCase().includes(query)) {
        lastMatch = i;
        select(i, true);
        return;
      }
    }
    find.setCustomValidity("No node matches");
    find.reportValidity();
  });
  find.addEventListener("input", () => find.setCustomValidity(""));

  // ------------------------------------------------------------------ layer table
  // Rows are added a chunk at a time, as the table is scrolled: a 10,000-row table built at once
  // would hold the page up for seconds.

  const TABLE_CHUNK = 300;

  function buildTable() {
    const table = document.getElementById("layer-table");
    const wrap = table.parentElement;
    const {columns, rows: cells} = data.table;
    const classes = columns.map((column) => column.numeric ? "num" : column.mono ? "mono" : "");
    const head = el("tr", {}, columns.map((column) => el("th", {scope: "col"}, column.label)));
    const body = el("tbody");
    const more = el("tr", {class: "more"}, el("td", {colspan: columns.length}));
    body.append(more);
    table.className = "layers";
    table.replaceChildren(el("thead", {}, head), body);
    const order = cells.map((_, i) => i);
    let shown = 0;

    function rowHtml(i) {
      const html = [`<tr data-row="${i}">`];
      cells[i].forEach((cell, c) => {
        html.push(classes[c] ? `<td class="${classes[c]}">` : "<td>",
                  escapeHtml(Array.isArray(cell) ? cell[1] : cell), "</td>");
      });
      html.push("</tr>");
      return html.join("");
    }

    function showMore() {
      const end = Math.min(order.length, shown + TABLE_CHUNK);
      more.insertAdjacentHTML("beforebegin", order.slice(shown, end).map(rowHtml).join(""));
      for (let row = more.previousElementSibling, k = end; k > shown; k--, row = row.previousElementSibling) {
        rows[Number(row.dataset.row)] = row;
      }
      shown = end;
      if (selected !== null) rows[selected]?.classList.add("selected");
      more.hidden = shown >= order.length;
      more.firstChild.textContent = `${shown.toLocaleString()} of ${order.length.toLocaleString()} rows: ` +
        "scroll or click for more";
    }

    wrap.addEventListener("scroll", () => {
      if (!more.hidden && wrap.scrollTop + wrap.clientHeight > wrap.scrollHeight - 600) showMore();
    });
    body.addEventListener("click", (event) => {
      const row = event.target.closest("tr");
      if (row === more) showMore();
      else if (row) select(Number(row.dataset.row), true);
    });
    head.addEventListener("click", (event) => {
      const th = event.target.closest("th");
      if (!th) return;
      const c = Array.from(head.children).indexOf(th);
      const descending = th.getAttribute("aria-sort") === "ascending";
      for (const other of head.children) other.removeAttribute("aria-sort");
      th.setAttribute("aria-sort", descending ? "descending" : "ascending");
      // A cell is a text or [sort key, text].
      const compare = (a, b) => {
        const x = cells[a][c];
        const y = cells[b][c];
        return Array.isArray(x) ? x[0] - y[0] : String(x).localeCompare(String(y));
      };
      order.sort((a, b) => (descending ? -1 : 1) * compare(a, b) || a - b);
      for (const row of rows) row?.remove();
      rows.length = 0;
      shown = 0;
      showMore();
    });
    showMore();
  }

  // ------------------------------------------------------------------ start

  buildTable();
  initialView();
  showPanel(null);
  document.documentElement.dataset.ready = "1";
  document.dispatchEvent(new Event("report-ready"));
})();
