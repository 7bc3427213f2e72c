"""The HTML page: one self-contained file with the drawing, the panel, tables, charts and findings.

Script and style sheet are package data (``static/``) copied into the page;
the per-node records travel as JSON in a ``<script type="application/json">``
element, from which the script fills the panel and the sortable layer table.
Nothing is fetched: no fonts, images or scripts from anywhere.
"""

import math
import os
from collections import Counter
from importlib import resources

import numpy as np

import ondrel

from ..analyze import format_bytes, format_number
from .charts import bar_chart
from .layout import NODE_HEIGHT
from .markup import escape, script_json
from .scene import DIFF_STATUSES, SEVERITY_RANK, class_colours, severity_of, shape_text
from .svg import EDGE_COLOUR, EDGE_STATUS_COLOURS, GROUP_COLOURS, MARKS, drawn_names, render_svg, structure_of

CHART_LAYERS = 40  # the parameters chart shows at most this many layers
NEIGHBOURS = 50  # the panel lists at most this many inputs and outputs of a node
VALUE_CHARS = 200  # configuration values longer than this are cut in the panel


def _static(name):
    return resources.files(__package__).joinpath("static", name).read_text(encoding="utf-8")


def display_value(value):
    """A configuration value as the panel shows it: tuples as (1, 1), floats to six digits, arrays briefly."""
    if isinstance(value, str):
        return value if len(value) <= VALUE_CHARS else value[: VALUE_CHARS - 1] + "…"
    if value is None or isinstance(value, (bool, int, np.integer, np.bool_)):
        return str(value)
    if isinstance(value, (float, np.floating)):
        return "nan" if math.isnan(value) else f"{value:.6g}"
    if isinstance(value, tuple) and all(isinstance(item, (int, np.integer)) for item in value):
        return f"({', '.join(map(str, value))}{',' if len(value) == 1 else ''})"  # shapes, the common case
    if isinstance(value, (tuple, list)):
        inner = ", ".join(display_value(item) for item in value)
        return f"({inner}{',' if len(value) == 1 else ''})" if isinstance(value, tuple) else f"[{inner}]"
    if isinstance(value, np.ndarray):
        if value.size <= 8:
            return display_value(value.tolist())
        return f"array of shape {shape_text(value.shape) or '()'}, {value.dtype}"
    if isinstance(value, np.generic):
        return display_value(value.item())
    return display_value(repr(value))


def _count(n):
    """A count with separators, and its short form where that differs: "235,104 (235.1K)"."""
    short = format_number(n)
    return f"{n:,}" if short == f"{n:,}" else f"{n:,} ({short})"


def _plural(n, word):
    return f"{n} {word}{'' if n == 1 else 's'}"


def _shapes(shapes):
    return "; ".join(display_value(shape) for shape in shapes) or "—"


def _record(layer):
    """Rows (label, text) of one LayerStats, then its configuration."""
    if layer is None:
        return [], []
    fixed = [("Parameters", _count(layer.params)), ("Memory", format_bytes(layer.bytes)),
             ("FLOPs", _count(layer.flops)), ("Input shape", display_value(layer.input_shape)),
             ("Output shape", display_value(layer.output_shape))]
    config = [(str(key), display_value(value)) for key, value in layer.config.items()]
    return fixed, config


def _side_by_side(before, after):
    """Rows (label, A text, B text) of two record lists, labels in order of first appearance."""
    a, b = dict(before), dict(after)
    labels = list(dict.fromkeys([label for label, _ in before] + [label for label, _ in after]))
    return [(label, a.get(label, "—"), b.get(label, "—")) for label in labels]


class _Interned:
    """Values kept once in a list, referred to by their index: nodes alike share their records."""

    def __init__(self):
        self.values, self._index = [], {}

    def __call__(self, value, key=None):
        key = value if key is None else key
        found = self._index.get(key)
        if found is None:
            found = self._index[key] = len(self.values)
            self.values.append(value)
        return found


def _record_data(node):
    """What the panel and the table show of one node: rows (label, text) or (label, A, B), configuration
    rows, and the table's numbers."""
    fixed, config = _record(node.layer)
    if node.layer_before is not None:
        fixed_a, config_a = _record(node.layer_before)
        fixed, config = _side_by_side(fixed_a, fixed), _side_by_side(config_a, config)
    layer = node.layer
    return [fixed, config, layer.params, layer.bytes, layer.flops, display_value(layer.input_shape),
            display_value(layer.output_shape)]


def _layer_key(layer):
    return (layer.node_type, layer.params, layer.bytes, layer.flops, layer.input_shape, layer.output_shape,
            tuple(layer.config.items()))


def _record_key(node):
    """A key that nodes with the same record share (hashing fails on unhashable configuration values)."""
    try:
        key = (_layer_key(node.layer), node.layer_before is not None and _layer_key(node.layer_before))
        hash(key)
        return key
    except TypeError:
        return ("node", id(node))


SEVERITY_ORDER = ("error", "warning", "info")


def _sorted_issues(issues):
    """Findings by severity, errors first; in lint's order within one severity."""
    return sorted(issues, key=lambda issue: -SEVERITY_RANK[severity_of(issue)])


def _node_columns(scene, structure, issue_index, texts):
    """Per node: [name, kind, label, drawn name, severity, status, findings, changes], less the zeros that end
    it (a missing field reads 0: the label and the drawn name are then the name itself); the kinds [type,
    caption, record] that nodes alike share, with their records interned and their texts in ``texts``."""
    records, kinds = _Interned(), _Interned()
    names = drawn_names(scene)
    known = {}  # record key -> kind index
    rows = []
    for i, node in enumerate(scene.nodes):
        name = node.name if isinstance(node.name, str) else str(node.name)
        label = structure.short_labels[i]
        key = _record_key(node)
        kind = known.get(key)
        if kind is None:
            found = [texts(node.node_type), texts(node.caption), records(_record_data(node), key)]
            kind = known[key] = kinds(found, tuple(found))
        row = [name, kind, 0 if label == name else label, 0 if names[i] == name else names[i],
               node.severity or 0, node.status or 0,
               [issue_index[id(issue)] for issue in node.findings] if node.findings else 0,
               list(node.changes) if node.changes else 0]
        while row[-1] == 0:
            row.pop()
        rows.append(row)
    return rows, kinds.values, records.values


def _adjacency(ends, others, count, limit=NEIGHBOURS):
    """[shown, neighbours, totals]: node i's first ``limit`` neighbours (in edge order) are the next
    shown[i] entries of neighbours, each written as its index less i (neighbours are mostly near); of
    totals[i] in all where that is more, {} where none has more."""
    order = np.argsort(ends, kind="stable")
    totals = np.bincount(ends, minlength=count)
    starts = np.concatenate([[0], np.cumsum(totals)[:-1]])
    rank = np.arange(len(order)) - starts[ends[order]]
    kept = order[rank < limit]
    shown = np.minimum(totals, limit)
    more = np.flatnonzero(totals > limit)
    return [shown.tolist(), (others[kept].astype(np.int64) - ends[kept]).tolist(),
            {int(i): int(totals[i]) for i in more}]


def _neighbours(scene):
    """The nodes each node takes inputs from and gives outputs to (at most NEIGHBOURS of each)."""
    count = len(scene.nodes)
    return {"inputs": _adjacency(scene.edge_targets, scene.edge_sources, count),
            "outputs": _adjacency(scene.edge_sources, scene.edge_targets, count)}


def _layout_data(group):
    """[x, y, widths, size, edges, routes] of a group's level, rounded to tenths, as the script reads them."""
    layout = group.layout
    return [[round(v, 1) for v in layout.x], [round(v, 1) for v in layout.y], group.widths,
            [round(layout.width), round(layout.height)], [list(edge) for edge in group.edges],
            [[route.edges, 1 if route.bus else 0,
              [[round(value, 1) for point in line for value in point] for line in route.lines]]
             for route in layout.routes]]


def _groups_data(structure):
    """([label, kind, parent, nodes, counts, children, layout, edge counts, edge statuses, entries, exits] per
    group, 0 for those dissolved while grouping; the layouts, which levels alike share)."""
    groups, layouts, shared = [], [], {}
    for group in structure.groups:
        if group.layout is None:
            groups.append(0)
            continue
        if id(group.layout) not in shared:
            shared[id(group.layout)] = len(layouts)
            layouts.append(_layout_data(group))
        counts = {key: value for key, value in group.counts.items() if value}
        edge_counts = group.edge_counts if any(n > 1 for n in group.edge_counts) else 0
        statuses = [status or 0 for status in group.edge_status] if any(group.edge_status) else 0
        groups.append([group.label, group.kind, group.parent, group.nodes, counts or 0, group.children,
                       shared[id(group.layout)], edge_counts, statuses, sorted(group.entries), sorted(group.exits)])
    return groups, layouts


def _change_details(scene):
    """Per changed node (by index), the diff's lines about it, with the statistics of each array."""
    from ..testing import describe_differences

    index = {node.name: i for i, node in enumerate(scene.nodes)}
    by_node = {}
    for change in scene.node_changes or []:
        by_node.setdefault(change.node, []).append(change)
    details = {}
    for name, changes in by_node.items():
        lines = describe_differences(_NO_STRUCTURE, changes, str)[1:]  # less the "Node NAME:" heading
        details[index[name]] = [line[2:] if line.startswith("  ") else line for line in lines]
    return details


class _NoStructure:
    nodes_added = nodes_removed = edges_added = edges_removed = ()


_NO_STRUCTURE = _NoStructure()


def _issue_data(issue, index, texts):
    """[severity, code, message, suggestion, node index]: the texts that findings repeat (all but the
    message) as their index in ``texts``."""
    return [texts(severity_of(issue)), texts(issue.code), issue.message, texts(issue.suggestion or ""),
            index.get(issue.node)]


def _totals_model(scene):
    stats, lint = scene.stats, scene.lint
    return [
        ("Nodes", f"{stats.node_count:,}"), ("Edges", f"{stats.edge_count:,}"),
        ("Parameters", _count(stats.total_params)), ("Memory", format_bytes(stats.total_bytes)),
        ("FLOPs", _count(stats.total_flops)),
        ("Depth", "cyclic" if stats.depth is None else str(stats.depth)),
        ("Width", "cyclic" if stats.width is None else str(stats.width)),
        ("Inputs", _shapes(stats.input_shapes)), ("Outputs", _shapes(stats.output_shapes)),
        ("LIF layers", str(stats.lif_count)),
        ("Lint", ", ".join(_plural(len(found), word) for found, word in ((lint.errors, "error"),
                                                                        (lint.warnings, "warning"),
                                                                        (lint.infos, "info")))),
    ] + [total for contribution in scene.contributions for total in contribution.totals]


def _totals_diff(scene):
    a, b, diff = scene.stats_before, scene.stats, scene.diff
    verdict = "identical" if diff.identical else "same structure" if diff.structural_match else "structure differs"
    pairs = [("Nodes", f"{a.node_count:,}", f"{b.node_count:,}"), ("Edges", f"{a.edge_count:,}", f"{b.edge_count:,}"),
             ("Parameters", _count(a.total_params), _count(b.total_params)),
             ("Memory", format_bytes(a.total_bytes), format_bytes(b.total_bytes)),
             ("FLOPs", _count(a.total_flops), _count(b.total_flops))]
    totals = [(label, before if before == after else f"{before} → {after}") for label, before, after in pairs]
    return [("Verdict", verdict)] + totals + [
        ("Nodes added", str(len(diff.nodes_added))), ("Nodes removed", str(len(diff.nodes_removed))),
        ("Nodes modified", str(len(diff.nodes_modified))),
        ("Edges added", str(len(diff.edges_added))), ("Edges removed", str(len(diff.edges_removed))),
        ("Max weight difference", f"{diff.max_weight_diff:.2e}"),
        ("Mean weight difference", f"{diff.mean_weight_diff:.2e}"),
    ]


def _totals_html(totals):
    items = "".join(f"<div><dt>{escape(label)}</dt><dd>{escape(value)}</dd></div>" for label, value in totals)
    return f'<dl class="totals">{items}</dl>'


def _legend(scene):
    types = list(dict.fromkeys(node.node_type for node in scene.nodes))
    items = []
    for node_type in types:
        fill, outline = class_colours(node_type)
        items.append(f'<span class="swatch" style="background:{fill};border-color:{outline}"></span>'
                     f"{escape(node_type)}")
    marks = DIFF_STATUSES if scene.kind == "diff" else [s for s in ("error", "warning", "info")
                                                       if any(n.severity == s for n in scene.nodes)]
    for mark in marks:
        colour, sign = MARKS[mark]
        items.append(f'<span class="mark" style="background:{colour}">{escape(sign)}</span>{mark}')
    return '<div class="legend">' + "".join(f"<span>{item}</span>" for item in items) + "</div>"


def _findings_section(scene):
    findings = scene.findings
    tally = Counter(severity_of(finding) for finding in findings)
    counts = ", ".join(_plural(tally[word], word) for word in SEVERITY_ORDER if tally[word])
    body = ('<div class="table-wrap"><ul class="findings" id="finding-list"></ul></div>' if findings
            else '<p class="none">No findings: the model lints clean.</p>')
    heading = "Lint findings" if not any(c.findings for c in scene.contributions) else "Findings"
    return (f'<section id="findings"><h2>{heading} ({len(findings):,}{": " + counts if counts else ""})'
            f"</h2><p class=\"note\">Errors first. Keys: <kbd>n</kbd> / <kbd>p</kbd> for the next / previous "
            f"finding in the drawing.</p>{body}</section>")


def _changes_section(scene):
    diff = scene.diff
    edges = "".join(f'<tr class="{status}"><td><span class="status">{status}</span></td>'
                    f'<td colspan="3">edge {escape(source)} → {escape(target)}</td></tr>'
                    for status, pairs in (("added", diff.edges_added), ("removed", diff.edges_removed))
                    for source, target in pairs)
    marked = sum(1 for node in scene.nodes if node.marked_status)
    body = ('<p class="note">Every changed node; click one to see it in the drawing. Keys: <kbd>n</kbd> / '
            '<kbd>p</kbd> for the next / previous change.</p><div class="table-wrap"><table class="changes" '
            'id="change-list"><thead><tr><th>Status</th><th>Node</th><th>Class</th><th>Changes</th></tr></thead>'
            f"<tbody></tbody><tbody>{edges}</tbody></table></div>" if marked or edges
            else '<p class="none">No differences.</p>')
    return (f'<section id="changes"><h2>Changes ({marked:,} nodes, {len(diff.edges_added) + len(diff.edges_removed):,}'
            f" edges)</h2>{body}<details><summary>Diff summary</summary><pre>{escape(diff.summary)}</pre></details>"
            "</section>")


def _charts_section(scene):
    stats = scene.stats
    memory = sorted(stats.memory_breakdown.items(), key=lambda item: -item[1])
    memory_rows = [(node_type, size, format_bytes(size), node_type, None) for node_type, size in memory]
    layers = [(i, node.layer) for i, node in enumerate(scene.nodes) if node.layer.params > 0]
    note = ""
    if len(layers) > CHART_LAYERS:
        note = f'<p class="note">The {CHART_LAYERS} largest of {len(layers):,} layers with parameters.</p>'
        layers = sorted(layers, key=lambda item: -item[1].params)[:CHART_LAYERS]
    param_rows = [(str(layer.name), layer.params, format_number(layer.params), layer.node_type, i)
                  for i, layer in layers]
    params_chart = bar_chart(param_rows, "Parameters per layer") if param_rows else \
        '<p class="none">No layer holds parameters.</p>'
    contributed = "".join(
        f"<figure><figcaption>{escape(chart.title)}</figcaption>"
        + bar_chart([(label, value, text, scene.nodes[i].node_type if i is not None else "", i)
                     for label, value, text, i in chart.rows[:CHART_LAYERS]], chart.title) + "</figure>"
        for contribution in scene.contributions for chart in contribution.charts)
    return ('<section id="charts"><h2>Charts</h2><div class="charts">'
            f'<figure><figcaption>Memory by layer type</figcaption>{bar_chart(memory_rows, "Memory by layer type")}'
            f"</figure><figure><figcaption>Parameters per layer</figcaption>{note}{params_chart}</figure>"
            f"{contributed}</div></section>")


def _indexed(keys):
    """(the distinct ``keys`` in order of first appearance, the index of each key among them)."""
    index = {}
    positions = [index.setdefault(key, len(index)) for key in keys]
    return list(index), positions


def _reads_alike_when_equal(kind):
    """True for value types whose equal values make equal cells (not floats: 0.0 == -0.0; nor 1 == 1.0 == True
    across types)."""
    return kind in (str, int, bool) or issubclass(kind, np.integer)


def _column_cells(column):
    """(the distinct [sort key, text] cells of ``column``, the index of each node's among them). A column of
    texts or integers (and None) is read once per distinct value; any other is read per node, its equal
    cells kept once."""
    values = column.values
    kinds = set(map(type, values))
    kinds.discard(type(None))
    if len(kinds) <= 1 and all(map(_reads_alike_when_equal, kinds)):
        index = {value: k for k, value in enumerate(dict.fromkeys(values))}
        return [column.cell(value) for value in index], list(map(index.__getitem__, values))
    cells = [column.cell(value) for value in values]
    try:
        keys, indexes = _indexed((type(value), value, text) for value, (_, text) in zip(values, cells))
    except TypeError:  # an unhashable value
        return cells, list(range(len(cells)))
    return [column.cell(value) for _, value, _ in keys], indexes


def _contributed_columns(scene):
    """{"columns": [[label, numeric]], "values": [per column, its distinct [sort key, text] cells], "rows":
    [per row, the index of its cell in each column's values], "cells": [row index per node], "panels":
    [[title, [column index, ...]]]}: the per-node figures the contributions add to the table and the panel,
    nodes alike sharing one row."""
    columns, values, indexes, panels = [], [], [], []
    for contribution in scene.contributions:
        numbered = []
        for column in contribution.columns:
            numbered.append(len(columns))
            columns.append([column.label, column.numeric])
            cells, of_nodes = _column_cells(column)
            values.append(cells)
            indexes.append(of_nodes)
        if numbered:
            panels.append([contribution.title, numbered])
    rows, cells = _indexed(zip(*indexes))
    return {"columns": columns, "values": values, "rows": rows, "cells": cells, "panels": panels}


def short_sources(paths):
    """Labels for the files of a diff: their names, or as much of their folders as tells them apart."""
    parts = [os.path.normpath(os.fspath(path)).split(os.sep) for path in paths]
    for keep in range(1, max((len(p) for p in parts), default=1) + 1):
        labels = [os.sep.join(p[-keep:]) for p in parts]
        if len(set(labels)) == len(labels):
            return labels
    return [os.fspath(path) for path in paths]


def _palette(scene):
    types = {node.node_type: class_colours(node.node_type) for node in scene.nodes}
    return {"types": types, "marks": {key: list(value) for key, value in MARKS.items()}, "group": list(GROUP_COLOURS),
            "edge": EDGE_COLOUR, "edgeStatus": EDGE_STATUS_COLOURS, "height": NODE_HEIGHT}


def render_html(scene):
    """The scene as one self-contained HTML page (a text)."""
    structure = structure_of(scene)
    drawing = render_svg(scene)
    index = {node.name: i for i, node in enumerate(scene.nodes)}
    issues = _sorted_issues(scene.findings)
    issue_index = {id(issue): i for i, issue in enumerate(issues)}
    texts = _Interned()
    nodes, kinds, records = _node_columns(scene, structure, issue_index, texts)
    findings = [_issue_data(issue, index, texts) for issue in issues]
    groups, layouts = _groups_data(structure)
    data = {
        "kind": scene.kind,
        "title": scene.title,
        "nodes": nodes,
        "kinds": kinds,
        "texts": texts.values,
        "records": records,
        "neighbours": _neighbours(scene),
        "groups": groups,
        "layouts": layouts,
        "nodeGroup": structure.node_parent,
        "findings": findings,
        "details": _change_details(scene) if scene.kind == "diff" else {},
        "sides": short_sources(scene.sources) if len(scene.sources) == 2 else ["A", "B"],
        "palette": _palette(scene),
        "contributed": _contributed_columns(scene),
    }
    if scene.kind == "diff":
        totals, sections = _totals_diff(scene), _changes_section(scene)
        nav = [("changes", "Changes"), ("layers", "Layers")]
        step = ("change", "changes")
    else:
        totals, sections = _totals_model(scene), _findings_section(scene) + _charts_section(scene)
        nav = [("findings", "Findings"), ("layers", "Layers"), ("charts", "Charts")]
        step = ("finding", "findings")
    shown = short_sources(scene.sources) if len(scene.sources) == 2 else scene.sources
    sources = "".join(f'<span title="{escape(path)}">{"AB"[k] + ": " if len(shown) == 2 else ""}{escape(label)}'
                      "</span>" for k, (label, path) in enumerate(zip(shown, scene.sources)))
    links = "".join(f'<a href="#{anchor}">{label}</a>' for anchor, label in nav)
    heading = "Diff report" if scene.kind == "diff" else "Model report"
    return f"""<!DOCTYPE html>
<html lang="en" data-kind="{scene.kind}">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="generator" content="ondrel-sdk {escape(ondrel.__version__)}">
<title>{escape(scene.title)} · {heading}</title>
<style>
{_static("report.css")}
</style>
</head>
<body>
<header>
<div class="heading"><h1>{escape(scene.title)}</h1><span class="kind">{heading}</span>
<span class="sources">{sources}</span><nav>{links}</nav></div>
{_totals_html(totals)}
</header>
<main>
<section class="viewer">
<div class="graph-pane">
<div class="toolbar">
<button type="button" data-zoom="in" title="Zoom in (+)">+</button>
<button type="button" data-zoom="out" title="Zoom out (−)">−</button>
<button type="button" data-zoom="fit" title="Show the whole graph, or as much as stays readable (f)">Fit</button>
<button type="button" data-zoom="actual" title="Actual size (1)">1:1</button>
<span class="sep"></span>
<button type="button" data-step="-1" title="Previous {step[0]} (p)">◀</button>
<span class="step-count" id="step-count">{step[1]}</span>
<button type="button" data-step="1" title="Next {step[0]} (n)">▶</button>
<span class="sep"></span>
<button type="button" data-groups="open" title="Open every group (may draw many nodes)">Open all</button>
<button type="button" data-groups="close" title="Close every group">Close all</button>
<input type="search" id="find" placeholder="Find a node (Enter for the next match)" autocomplete="off">
</div>
{_legend(scene)}
<div class="graph" id="graph">
{drawing}
<canvas class="minimap" id="minimap" width="180" height="140" title="Overview: click or drag to move"></canvas>
</div>
</div>
<aside class="panel" id="panel"><p class="hint">Select a node in the drawing, the table or a finding to see its
record here. Drag to pan, scroll to zoom; click a group to open or close it.</p></aside>
</section>
{sections}
<section id="layers"><h2>Layers ({len(scene.nodes):,})</h2><p class="note">Click a column heading to sort,
a row to select its node.</p><div class="table-wrap"><table id="layer-table"></table></div></section>
</main>
<script type="application/json" id="report-data">{script_json(data)}</script>
<script>
{_static("report.js")}
</script>
</body>
</html>
"""
