"""The drawing as Graphviz DOT, for users who lay out and style graphs with their own Graphviz tools.

Node IDs are the node names; labels, colours and marks match the SVG drawing.
Marked nodes and edges carry a ``class`` attribute ("added", "removed",
"modified"), which Graphviz's SVG output adds to its own "node" and "edge"
classes, so a drawing made by dot has the same markers as this package's SVG.
"""

from .markup import visible
from .scene import class_colours
from .svg import EDGE_COLOUR, EDGE_STATUS_COLOURS, FONT_FAMILY, MARKS

_ID_ESCAPES = str.maketrans({"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r"})
# In labels, Graphviz reads \n, \l and \r as line breaks and \N, \G, ... as names: every backslash is doubled.
_LABEL_ESCAPES = str.maketrans({"\\": "\\\\", '"': '\\"', "\n": " ", "\r": " "})


def quote_id(text):
    return '"' + visible(text).translate(_ID_ESCAPES) + '"'


def quote_label(*lines):
    return '"' + "\\n".join(visible(line).translate(_LABEL_ESCAPES) for line in lines) + '"'


def _attributes(pairs):
    return "[" + ", ".join(f"{key}={value}" for key, value in pairs) + "]"


def render_dot(scene):
    """The scene as a DOT digraph (a text): inputs ranked first, outputs last."""
    out = [
        f"digraph {quote_id(scene.title)} {{",
        f'  graph [rankdir=TB, nodesep=0.3, ranksep=0.45, fontname="{FONT_FAMILY}"];',
        f'  node [shape=box, style="rounded,filled", fontname="{FONT_FAMILY}", fontsize=10, penwidth=1.2];',
        f'  edge [color="{EDGE_COLOUR}", arrowsize=0.7];',
    ]
    for node in scene.nodes:
        fill, outline = class_colours(node.node_type)
        mark = node.mark
        pairs = [("label", quote_label(str(node.name), node.caption)), ("fillcolor", f'"{fill}"'),
                 ("color", f'"{MARKS[mark][0] if mark else outline}"'),
                 ("tooltip", quote_label(f"{node.name} ({node.node_type})"))]
        if node.marked_status:
            pairs.append(("class", f'"{node.marked_status}"'))
        if mark:
            pairs.append(("penwidth", "2.5"))
        if mark == "removed":
            pairs.append(("style", '"rounded,filled,dashed"'))
        if node.severity:
            pairs.append(("severity", f'"{node.severity}"'))
        out.append(f"  {quote_id(node.name)} {_attributes(pairs)};")
    for edge in scene.edges:
        source, target = quote_id(scene.nodes[edge.source].name), quote_id(scene.nodes[edge.target].name)
        pairs = []
        if edge.status:
            pairs += [("class", f'"{edge.status}"'), ("color", f'"{EDGE_STATUS_COLOURS[edge.status]}"'),
                      ("penwidth", "2")]
        if edge.status == "removed":
            pairs.append(("style", "dashed"))
        out.append(f"  {source} -> {target}" + (f" {_attributes(pairs)};" if pairs else ";"))
    for rank, wanted in (("source", "is_input"), ("sink", "is_output")):
        members = [quote_id(node.name) for node in scene.nodes if getattr(node, wanted)]
        if members:
            out.append(f"  {{ rank={rank}; {'; '.join(members)}; }}")
    out.append("}")
    return "\n".join(out) + "\n"
