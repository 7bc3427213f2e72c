"""The HTML page: one self-contained file with the drawing, the panel, tables, charts and findings.

Script and style sheet are package data (``static/``) copied into the page;
the per-node records travel as JSON in a ``<script type="application/json">``
element, from which the script fills the panel and the sortable layer table.
Nothing is fetched: no fonts, images or scripts from anywhere.
"""

import math
from importlib import resources

import numpy as np

import ondrel

from ..analyze import format_bytes, format_number
from ..tensor_sizes import dtype_names, total_bytes
from .charts import bar_chart
from .markup import escape, script_json
from .scene import DIFF_STATUSES, SEVERITY_RANK, class_colours, shape_text
from .svg import MARKS, render_svg

CHART_LAYERS = 40  # the parameters chart shows at most this many layers
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


def _memory(size, stored):
    """A size at the tensors' bit widths, and their storage where it differs: "8.0 MB (16.0 MB stored)"."""
    return format_bytes(size) + (f" ({format_bytes(stored)} stored)" if stored != size else "")


def _tensor_text(tensor):
    """A tensor's dtype, shape and size at its bit width: "int4 (4096, 4096), 8.0 MB at 4 bits (16.0 MB stored)"."""
    size = format_bytes(tensor.bytes)
    if tensor.bytes != tensor.stored_bytes:
        size += f" at {tensor.bits} bits ({format_bytes(tensor.stored_bytes)} stored)"
    return f"{tensor.dtype} {display_value(tensor.shape)}, {size}"


def _record(layer, tensors):
    """Rows (label, text) of one LayerStats (memory at the tensors' bit widths), its configuration
    and its tensors."""
    if layer is None:
        return [], [], []
    fixed = [("Parameters", _count(layer.params)),
             ("Memory", _memory(total_bytes(tensors), sum(tensor.stored_bytes for tensor in tensors))),
             ("FLOPs", _count(layer.flops)), ("Input shape", display_value(layer.input_shape)),
             ("Output shape", display_value(layer.output_shape))]
    config = [(str(key), display_value(value)) for key, value in layer.config.items()]
    return fixed, config, [(tensor.attribute, _tensor_text(tensor)) for tensor in tensors]


def _side_by_side(before, after):
    """Rows (label, A text, B text) of two record lists, labels in order of first appearance."""
    a, b = dict(before), dict(after)
    labels = list(dict.fromkeys([label for label, _ in before] + [label for label, _ in after]))
    return [(label, a.get(label, "—"), b.get(label, "—")) for label in labels]


def _node_data(node, issue_index):
    fixed, config, tensors = _record(node.layer, node.tensors)
    data = {"name": node.name if isinstance(node.name, str) else str(node.name), "type": node.node_type}
    if node.layer_before is not None:
        fixed_a, config_a, tensors_a = _record(node.layer_before, node.tensors_before)
        fixed, config = _side_by_side(fixed_a, fixed), _side_by_side(config_a, config)
        tensors = _side_by_side(tensors_a, tensors)
    data.update(record=fixed, config=config, tensors=tensors)
    if node.status:
        data.update(status=node.status, changes=node.changes)
    if node.findings:
        data.update(severity=node.severity, findings=[issue_index[id(issue)] for issue in node.findings])
    return data


def _issue_data(issue, index):
    return {"severity": issue.severity.value, "code": issue.code, "message": issue.message,
            "suggestion": issue.suggestion, "node": index.get(issue.node)}


def _totals_model(scene):
    stats, lint = scene.stats, scene.lint
    return [
        ("Nodes", f"{stats.node_count:,}"), ("Edges", f"{stats.edge_count:,}"),
        ("Parameters", _count(stats.total_params)), ("Memory", _memory(scene.memory, stats.total_bytes)),
        ("FLOPs", _count(stats.total_flops)),
        ("Depth", "cyclic" if stats.depth is None else str(stats.depth)),
        ("Width", "cyclic" if stats.width is None else str(stats.width)),
        ("Inputs", _shapes(stats.input_shapes)), ("Outputs", _shapes(stats.output_shapes)),
        ("LIF layers", str(stats.lif_count)),
        ("Lint", ", ".join(_plural(len(found), word) for found, word in ((lint.errors, "error"),
                                                                        (lint.warnings, "warning"),
                                                                        (lint.infos, "info")))),
    ]


def _totals_diff(scene):
    a, b, diff = scene.stats_before, scene.stats, scene.diff
    verdict = "identical" if diff.identical else "same structure" if diff.structural_match else "structure differs"
    pairs = [("Nodes", f"{a.node_count:,}", f"{b.node_count:,}"), ("Edges", f"{a.edge_count:,}", f"{b.edge_count:,}"),
             ("Parameters", _count(a.total_params), _count(b.total_params)),
             ("Memory", _memory(scene.memory_before, a.total_bytes), _memory(scene.memory, b.total_bytes)),
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


def _finding_item(issue, index):
    target = index.get(issue.node)
    where = (f' <a href="#" class="goto" data-goto="{target}">{escape(issue.node)}</a>' if target is not None
             else ' <span class="whole">whole graph</span>')
    suggestion = f'<div class="suggestion">{escape(issue.suggestion)}</div>' if issue.suggestion else ""
    return (f'<li class="finding {issue.severity.value}"><span class="sev">{issue.severity.value}</span> '
            f"<code>{escape(issue.code)}</code>{where}<div>{escape(issue.message)}</div>{suggestion}</li>")


def _findings_section(scene, index):
    issues = scene.lint.issues
    body = ("<ul class=\"findings\">" + "".join(_finding_item(issue, index) for issue in issues) + "</ul>"
            if issues else '<p class="none">No findings: the model lints clean.</p>')
    return f'<section id="findings"><h2>Lint findings ({len(issues)})</h2>{body}</section>'


def _changes_section(scene):
    diff = scene.diff
    rows = []
    for i, node in enumerate(scene.nodes):
        if node.status in DIFF_STATUSES:
            detail = "; ".join(node.changes) if node.changes else ""
            rows.append(f'<tr class="{node.status}"><td><span class="status">{node.status}</span></td>'
                        f'<td><a href="#" class="goto" data-goto="{i}">{escape(node.name)}</a></td>'
                        f"<td>{escape(node.node_type)}</td><td>{escape(detail)}</td></tr>")
    for status, edges in (("added", diff.edges_added), ("removed", diff.edges_removed)):
        for source, target in edges:
            rows.append(f'<tr class="{status}"><td><span class="status">{status}</span></td>'
                        f"<td colspan=\"3\">edge {escape(source)} → {escape(target)}</td></tr>")
    table = ('<table class="changes"><thead><tr><th>Status</th><th>Node</th><th>Class</th><th>Changes</th></tr>'
             f'</thead><tbody>{"".join(rows)}</tbody></table>' if rows else '<p class="none">No differences.</p>')
    return (f'<section id="changes"><h2>Changes</h2>{table}'
            f'<details><summary>Diff summary</summary><pre>{escape(diff.summary)}</pre></details></section>')


def _charts_section(scene):
    stats = scene.stats
    by_type = {}
    for node in scene.nodes:
        by_type[node.node_type] = by_type.get(node.node_type, 0) + total_bytes(node.tensors)
    memory = sorted(((node_type, size) for node_type, size in by_type.items() if size), key=lambda item: -item[1])
    memory_rows = [(node_type, size, format_bytes(size), node_type, None) for node_type, size in memory]
    layers = [(i, layer) for i, layer in enumerate(stats.layers) if layer.params > 0]
    note = ""
    if len(layers) > CHART_LAYERS:
        layers = sorted(layers, key=lambda item: -item[1].params)[:CHART_LAYERS]
        note = f'<p class="note">The {CHART_LAYERS} largest of {sum(l.params > 0 for l in stats.layers):,} layers ' \
               "with parameters.</p>"
    param_rows = [(str(layer.name), layer.params, format_number(layer.params), layer.node_type, i)
                  for i, layer in layers]
    params_chart = bar_chart(param_rows, "Parameters per layer") if param_rows else \
        '<p class="none">No layer holds parameters.</p>'
    return ('<section id="charts"><h2>Charts</h2><div class="charts">'
            f'<figure><figcaption>Memory by layer type</figcaption>{bar_chart(memory_rows, "Memory by layer type")}'
            f"</figure><figure><figcaption>Parameters per layer</figcaption>{note}{params_chart}</figure>"
            "</div></section>")


def _layer_table(scene):
    """Columns and rows of the sortable layer table; a cell is a text or [sort key, text]."""
    diff = scene.kind == "diff"
    columns = ([{"label": "Status"}] if diff else []) + [
        {"label": "#", "numeric": True}, {"label": "Name"}, {"label": "Class"}, {"label": "Dtype"},
        {"label": "Parameters", "numeric": True}, {"label": "Memory", "numeric": True},
        {"label": "FLOPs", "numeric": True}, {"label": "Input shape", "mono": True}, {"label": "Output shape", "mono": True},
    ] + ([] if diff else [{"label": "Findings"}])
    rows = []
    for i, node in enumerate(scene.nodes):
        layer = node.layer
        size = total_bytes(node.tensors)
        cells = ([node.status] if diff else []) + [
            [i, str(i + 1)], str(node.name), node.node_type, dtype_names(node.tensors),
            [layer.params, f"{layer.params:,}"], [size, format_bytes(size)], [layer.flops, format_number(layer.flops)],
            display_value(layer.input_shape), display_value(layer.output_shape),
        ]
        if not diff:
            cells.append([SEVERITY_RANK.get(node.severity, 0),
                          f"{len(node.findings)} ({node.severity})" if node.findings else ""])
        rows.append(cells)
    return {"columns": columns, "rows": rows}


def render_html(scene):
    """The scene as one self-contained HTML page (a text). Raises MissingExtraError without igraph."""
    drawing = render_svg(scene)
    index = {node.name: i for i, node in enumerate(scene.nodes)}
    issues = scene.lint.issues if scene.lint else []
    issue_index = {id(issue): i for i, issue in enumerate(issues)}
    data = {
        "kind": scene.kind,
        "title": scene.title,
        "nodes": [_node_data(node, issue_index) for node in scene.nodes],
        "findings": [_issue_data(issue, index) for issue in issues],
        "table": _layer_table(scene),
        "sides": scene.sources or ["A", "B"],
    }
    if scene.kind == "diff":
        totals, sections = _totals_diff(scene), _changes_section(scene)
        nav = [("changes", "Changes"), ("layers", "Layers")]
    else:
        totals, sections = _totals_model(scene), _findings_section(scene, index) + _charts_section(scene)
        nav = [("findings", "Findings"), ("layers", "Layers"), ("charts", "Charts")]
    sources = "".join(f"<span>{escape(source)}</span>" for source in scene.sources)
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
<button type="button" data-zoom="in" title="Zoom in">+</button>
<button type="button" data-zoom="out" title="Zoom out">−</button>
<button type="button" data-zoom="fit" title="Show the whole graph">Fit</button>
<button type="button" data-zoom="actual" title="Actual size">1:1</button>
<input type="search" id="find" placeholder="Find a node (Enter for the next match)" autocomplete="off">
</div>
{_legend(scene)}
<div class="graph" id="graph">
{drawing}
</div>
</div>
<aside class="panel" id="panel"><p class="hint">Select a node in the drawing, the table or a finding to see its
record here. Drag to pan, scroll to zoom.</p></aside>
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
