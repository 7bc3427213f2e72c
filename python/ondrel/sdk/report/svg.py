"""The drawing as SVG: one ``<g class="node" data-node="NAME">`` per node, one path per edge.

Colours are presentation attributes rather than a style sheet, so the file
looks the same in browsers, vector editors and document tool chains. The HTML
page embeds this very drawing and styles its interaction on top.
"""

from .layout import NODE_HEIGHT, layered_layout
from .markup import escape
from .scene import class_colours

FONT_FAMILY = "DejaVu Sans Mono, Menlo, Consolas, Liberation Mono, monospace"
NAME_SIZE = 12
CAPTION_SIZE = 11
CHAR_WIDTH = 0.602  # advance of one character of the monospaced fonts above, in em
PADDING = 10
MIN_WIDTH = 72

EDGE_COLOUR = "#8a949c"
MARKS = {  # outline colour, badge text
    "error": ("#d32f2f", "!"),
    "warning": ("#e69500", "!"),
    "info": ("#1976d2", "i"),
    "added": ("#2e7d32", "+"),
    "removed": ("#c62828", "−"),
    "modified": ("#ef6c00", "~"),
}
EDGE_STATUS_COLOURS = {"added": "#2e7d32", "removed": "#c62828"}


def node_width(node):
    text = max(len(node.label) * NAME_SIZE, len(node.caption) * CAPTION_SIZE) * CHAR_WIDTH
    return max(MIN_WIDTH, round(text + 2 * PADDING))


def _number(value):
    return f"{value:.1f}".rstrip("0").rstrip(".")


def _path(points, loop):
    (x0, y0), rest = points[0], points[1:]
    parts = [f"M{_number(x0)} {_number(y0)}"]
    if loop:  # out of the node's right side and back in
        (xm, _), (x1, y1) = rest
        parts.append(f"C{_number(xm + 12)} {_number(y0 - 6)} {_number(xm + 12)} {_number(y1 + 6)} "
                     f"{_number(x1)} {_number(y1)}")
        return "".join(parts)
    for (xa, ya), (xb, yb) in zip(points, rest):
        if abs(xa - xb) < 0.5:
            parts.append(f"L{_number(xb)} {_number(yb)}")
        else:
            middle = _number((ya + yb) / 2)
            parts.append(f"C{_number(xa)} {middle} {_number(xb)} {middle} {_number(xb)} {_number(yb)}")
    return "".join(parts)


def _marker(name, colour):
    return (f'<marker id="ondrel-arrow-{name}" viewBox="0 0 10 10" refX="9" refY="5" markerUnits="userSpaceOnUse" '
            f'markerWidth="9" markerHeight="9" orient="auto"><path d="M0 0L10 5L0 10z" fill="{colour}"/></marker>')


def _node(node, x, y, width):
    fill, outline = class_colours(node.node_type)
    mark = node.mark
    classes = f"node {node.marked_status}" if node.marked_status else "node"
    attributes = f'class="{classes}" data-node="{escape(node.name)}" data-class="{escape(node.node_type)}"'
    if node.severity:
        attributes += f' data-severity="{node.severity}"'
    stroke = f'stroke="{outline}" stroke-width="1.2"'
    if mark:
        stroke = f'stroke="{MARKS[mark][0]}" stroke-width="3"'
        if mark == "removed":
            stroke += ' stroke-dasharray="6 3" fill-opacity="0.45"'
    tooltip = f"{node.name} ({node.node_type})"
    parts = [
        f'<g {attributes} transform="translate({_number(x - width / 2)} {_number(y)})">',
        f"<title>{escape(tooltip)}</title>",
        f'<rect width="{width}" height="{NODE_HEIGHT}" rx="6" fill="{fill}" {stroke}/>',
        f'<text x="{PADDING}" y="17" font-size="{NAME_SIZE}" font-weight="bold" fill="#1a1a1a">'
        f"{escape(node.label)}</text>",
        f'<text x="{PADDING}" y="32" font-size="{CAPTION_SIZE}" fill="#4a4a4a">{escape(node.caption)}</text>',
    ]
    if mark:
        colour, sign = MARKS[mark]
        parts.append(f'<circle class="badge" cx="{width - 2}" cy="2" r="8" fill="{colour}"/>'
                     f'<text x="{width - 2}" y="6" font-size="11" font-weight="bold" fill="#fff" '
                     f'text-anchor="middle">{sign}</text>')
    parts.append("</g>")
    return "".join(parts)


def render_svg(scene):
    """The scene drawn as a standalone SVG document (a text). Raises MissingExtraError without igraph."""
    widths = [node_width(node) for node in scene.nodes]
    layout = layered_layout(widths, [(edge.source, edge.target) for edge in scene.edges],
                            outputs=[i for i, node in enumerate(scene.nodes) if node.is_output])
    width, height = round(layout.width), round(layout.height)
    out = [
        '<svg xmlns="http://www.w3.org/2000/svg" class="ondrel-drawing" '
        f'viewBox="0 0 {width} {height}" width="{width}" height="{height}" font-family="{FONT_FAMILY}">',
        f"<title>{escape(scene.title)}</title>",
        "<defs>" + _marker("plain", EDGE_COLOUR)
        + "".join(_marker(status, colour) for status, colour in EDGE_STATUS_COLOURS.items()) + "</defs>",
        '<g class="edges" fill="none">',
    ]
    for edge, route in zip(scene.edges, layout.routes):
        colour = EDGE_STATUS_COLOURS.get(edge.status, EDGE_COLOUR)
        style = f'stroke="{colour}" stroke-width="{2.2 if edge.status else 1.4}"'
        if edge.status == "removed":
            style += ' stroke-dasharray="6 4"'
        classes = f"edge {edge.status}" if edge.status else "edge"
        out.append(f'<path class="{classes}" data-from="{edge.source}" data-to="{edge.target}" {style} '
                   f'marker-end="url(#ondrel-arrow-{edge.status or "plain"})" '
                   f'd="{_path(route, edge.source == edge.target)}"/>')
    out.append('</g><g class="nodes">')
    out += [_node(node, x, y, w) for node, x, y, w in zip(scene.nodes, layout.x, layout.y, widths)]
    out.append("</g></svg>")
    return "\n".join(out)
