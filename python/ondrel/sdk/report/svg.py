"""The drawing as SVG: one ``<g class="node" data-node="NAME">`` per drawn node, one path per edge or bus.

Colours are presentation attributes rather than a style sheet, so the file
looks the same in browsers, vector editors and document tool chains. The HTML
page embeds this very drawing and styles its interaction on top; the groups
it opens are drawn by the page's script in the same markup, from the
``node_style`` and ``MARKS`` tables here.

A model of more than ``groups.FLAT_LIMIT`` nodes is drawn with its top-level
groups closed: each is a box with its name, its size and the findings and
changes inside it.
"""

from .groups import build_structure
from .layout import NODE_HEIGHT
from .markup import escape, unique_texts
from .scene import class_colours, cut

FONT_FAMILY = "DejaVu Sans Mono, Menlo, Consolas, Liberation Mono, monospace"
NAME_SIZE = 12
CAPTION_SIZE = 11
CHAR_WIDTH = 0.602  # advance of one character of the monospaced fonts above, in em
PADDING = 10
MIN_WIDTH = 72
LABEL_CHARS = 36  # longer labels are cut in drawings (the full name is in the tooltip and the panel)

EDGE_COLOUR = "#8a949c"
GROUP_COLOURS = ("#f7f9fa", "#5f6b73")  # fill and outline of a closed group
MARKS = {  # outline colour, badge text
    "error": ("#d32f2f", "!"),
    "warning": ("#e69500", "!"),
    "info": ("#1976d2", "i"),
    "added": ("#2e7d32", "+"),
    "removed": ("#c62828", "−"),
    "modified": ("#ef6c00", "~"),
}
EDGE_STATUS_COLOURS = {"added": "#2e7d32", "removed": "#c62828"}


def _text_width(first, second):
    text = max(min(len(first), LABEL_CHARS) * NAME_SIZE, len(second) * CAPTION_SIZE) * CHAR_WIDTH
    return max(MIN_WIDTH, round(text + 2 * PADDING))


def node_width(node, label=None):
    return _text_width(label if label is not None else str(node.name), node.caption)


def group_caption(group):
    """The second line of a closed group: its size, and what is marked inside."""
    marks = [f"{MARKS[key][1]}{value:,}" for key, value in group.counts.items() if value]
    return f"{group.nodes:,} nodes" + (" · " + " ".join(marks) if marks else "")


def group_width(group):
    return _text_width(group.label, group_caption(group)) + 16


def _number(value):
    return f"{value:.1f}".rstrip("0").rstrip(".")


def path_data(lines, loop=False):
    """The ``d`` of a path through polylines: straight where vertical, else curves that leave and enter
    vertically; a self-loop (one polyline of three points) bulges out to the right."""
    parts = []
    for points in lines:
        (x0, y0), rest = points[0], points[1:]
        parts.append(f"M{_number(x0)} {_number(y0)}")
        if loop:
            (xm, _), (x1, y1) = rest
            parts.append(f"C{_number(xm + 12)} {_number(y0 - 6)} {_number(xm + 12)} {_number(y1 + 6)} "
                         f"{_number(x1)} {_number(y1)}")
            continue
        for (xa, ya), (xb, yb) in zip(points, rest):
            if abs(xa - xb) < 0.5 or abs(ya - yb) < 0.5:
                parts.append(f"L{_number(xb)} {_number(yb)}")
            else:
                middle = _number((ya + yb) / 2)
                parts.append(f"C{_number(xa)} {middle} {_number(xb)} {middle} {_number(xb)} {_number(yb)}")
    return "".join(parts)


def _marker(name, colour):
    return (f'<marker id="ondrel-arrow-{name}" viewBox="0 0 10 10" refX="9" refY="5" markerUnits="userSpaceOnUse" '
            f'markerWidth="9" markerHeight="9" orient="auto"><path d="M0 0L10 5L0 10z" fill="{colour}"/></marker>')


def markers():
    return ("<defs>" + _marker("plain", EDGE_COLOUR)
            + "".join(_marker(status, colour) for status, colour in EDGE_STATUS_COLOURS.items()) + "</defs>")


def _badge(width, mark):
    colour, sign = MARKS[mark]
    return (f'<circle class="badge" cx="{width - 2}" cy="2" r="8" fill="{colour}"/>'
            f'<text x="{width - 2}" y="6" font-size="11" font-weight="bold" fill="#fff" '
            f'text-anchor="middle">{sign}</text>')


def _node(node, index, drawn_name, label, x, y, width):
    fill, outline = class_colours(node.node_type)
    mark = node.mark
    classes = f"node {node.marked_status}" if node.marked_status else "node"
    attributes = (f'class="{classes}" data-node="{escape(drawn_name)}" data-index="{index}" '
                  f'data-class="{escape(node.node_type)}"')
    if node.severity:
        attributes += f' data-severity="{node.severity}"'
    stroke = f'stroke="{outline}" stroke-width="1.2"'
    if mark:
        stroke = f'stroke="{MARKS[mark][0]}" stroke-width="3"'
        if mark == "removed":
            stroke += ' stroke-dasharray="6 3" fill-opacity="0.45"'
    return _item(f"<g {attributes}", f"{node.name} ({node.node_type})",
                 f'<rect width="{width}" height="{NODE_HEIGHT}" rx="6" fill="{fill}" {stroke}/>', label,
                 node.caption, mark, x, y, width)


def _item(opening, tooltip, frame, label, caption, mark, x, y, width):
    """A drawn box: its frame, two lines of text and the badge of its mark."""
    return "".join([
        f'{opening} transform="translate({_number(x - width / 2)} {_number(y)})">',
        f"<title>{escape(tooltip)}</title>",
        frame,
        f'<text x="{PADDING}" y="17" font-size="{NAME_SIZE}" font-weight="bold" fill="#1a1a1a">'
        f"{escape(cut(label, LABEL_CHARS))}</text>",
        f'<text x="{PADDING}" y="32" font-size="{CAPTION_SIZE}" fill="#4a4a4a">{escape(caption)}</text>',
        _badge(width, mark) if mark else "",
        "</g>",
    ])


def _group(group, g, x, y, width):
    fill, outline = GROUP_COLOURS
    mark = next((key for key in ("error", "added", "removed", "modified", "warning", "info") if group.counts[key]),
                None)
    stroke = MARKS[mark][0] if mark else outline
    frame = (f'<rect x="4" y="4" width="{width}" height="{NODE_HEIGHT}" rx="6" fill="{fill}" stroke="{outline}" '
             f'stroke-width="1"/><rect width="{width}" height="{NODE_HEIGHT}" rx="6" fill="{fill}" stroke="{stroke}" '
             f'stroke-width="{2.4 if mark else 1.4}"/>')
    return _item(f'<g class="group" data-group="{g}"', f"{group.label}: {group.nodes:,} nodes (click to open)",
                 frame, group.label, group_caption(group), mark, x, y, width)


def edge_style(status, bus=False):
    """(class attribute, presentation attributes) of an edge path."""
    colour = EDGE_STATUS_COLOURS.get(status, EDGE_COLOUR)
    style = f'stroke="{colour}" stroke-width="{2.2 if status else 1.4}"'
    if status == "removed":
        style += ' stroke-dasharray="6 4"'
    style += f' marker-end="url(#ondrel-arrow-{status or "plain"})"'
    classes = "edge" + (f" {status}" if status else "") + (" bus" if bus else "")
    return classes, style


def structure_of(scene):
    """The scene's groups with their levels laid out (computed once per scene)."""
    if getattr(scene, "_structure", None) is None:
        scene._structure = build_structure(scene, scene.title, node_width, group_width)
    return scene._structure


def drawn_names(scene):
    """The data-node text of every node: the name itself wherever markup can hold it, and unique."""
    if getattr(scene, "_drawn_names", None) is None:
        scene._drawn_names = unique_texts([node.name for node in scene.nodes])
    return scene._drawn_names


def render_level(scene, g):
    """The markup of one level: its edges, then its items (nodes, and closed groups)."""
    structure = structure_of(scene)
    group = structure.groups[g]
    layout = group.layout
    names = drawn_names(scene)
    out = ['<g class="edges" fill="none">']
    for route in layout.routes:
        statuses = {group.edge_status[i] for i in route.edges}
        status = statuses.pop() if len(statuses) == 1 else None
        classes, style = edge_style(status, route.bus)
        first = route.edges[0]
        source, target = group.edges[first]
        ends = f'data-from="{source}" data-to="{target}"' if not route.bus else f'data-edges="{len(route.edges)}"'
        out.append(f'<path class="{classes}" {ends} {style} d="{path_data(route.lines, source == target)}"/>')
    out.append('</g><g class="nodes">')
    for k, item in enumerate(group.children):
        x, y, width = layout.x[k], layout.y[k], group.widths[k]
        if item >= 0:
            out.append(_node(scene.nodes[item], item, names[item], structure.short_labels[item], x, y, width))
        else:
            out.append(_group(structure.groups[~item], ~item, x, y, width))
    out.append("</g>")
    return "".join(out)


def render_svg(scene):
    """The scene drawn as a standalone SVG document (a text): every node of a model of at most
    FLAT_LIMIT nodes, else the top-level groups closed."""
    layout = structure_of(scene).groups[0].layout
    width, height = round(layout.width), round(layout.height)
    return "\n".join([
        '<svg xmlns="http://www.w3.org/2000/svg" class="ondrel-drawing" '
        f'viewBox="0 0 {width} {height}" width="{width}" height="{height}" font-family="{FONT_FAMILY}">',
        f"<title>{escape(scene.title)}</title>",
        markers(),
        f'<g class="level" data-group="0">{render_level(scene, 0)}</g>',
        "</svg>",
    ])
