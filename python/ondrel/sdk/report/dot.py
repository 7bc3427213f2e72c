"""The drawing as Graphviz DOT, for users who lay out and style graphs with their own Graphviz tools.

Node IDs are the node names, exactly as Graphviz reads them back: in a quoted
ID Graphviz keeps every character (backslashes too) and unescapes only ``\"``,
so only quotes are escaped; a name with a backslash right before a quote, a
line break or its end is written as an HTML-like ID, ``<...>``, which Graphviz
keeps as it stands. A name that Graphviz's own SVG output could not carry (a
control character other than tab and line breaks, a lone surrogate), or that
has such a backslash and angle brackets too, gets its visible form (control
characters as their Control Pictures signs, as in the SVG), numbered " (2)"
if another name reads so: two names never become one node. Labels, colours and marks match the SVG drawing.
Marked nodes and edges carry a ``class`` attribute ("added", "removed",
"modified"), which Graphviz's SVG output adds to its own "node" and "edge"
classes, so a drawing made by dot has the same markers as this package's SVG.
"""

import re

from .markup import markup_can_hold, unique_texts, visible
from .scene import class_colours
from .svg import EDGE_COLOUR, EDGE_STATUS_COLOURS, FONT_FAMILY, MARKS

_BACKSLASH_BEFORE_END = re.compile(r'\\(?=["\n]|\Z)')
# In labels, Graphviz reads \n, \l and \r as line breaks and \N, \G, ... as names: every backslash is doubled.
_LABEL_ESCAPES = str.maketrans({"\\": "\\\\", '"': '\\"', "\n": " ", "\r": " "})


def _can_hold(text):
    return markup_can_hold(text) and (not _BACKSLASH_BEFORE_END.search(text) or not re.search("[<>]", text))


def quote_id(text):
    """``text`` as a DOT ID that Graphviz reads back as exactly ``text`` (see ``_can_hold``)."""
    if _BACKSLASH_BEFORE_END.search(text):
        if not re.search("[<>]", text):
            return f"<{text}>"
        text = _BACKSLASH_BEFORE_END.sub("\u29f5", text)  # only the visible form of a name comes here
    return '"' + text.replace('"', '\\"') + '"'


def quote_label(*lines):
    return '"' + "\\n".join(visible(line).translate(_LABEL_ESCAPES) for line in lines) + '"'


def _attributes(pairs):
    return "[" + ", ".join(f"{key}={value}" for key, value in pairs) + "]"


def render_dot(scene):
    """The scene as a DOT digraph (a text): inputs ranked first, outputs last."""
    ids = [quote_id(text) for text in unique_texts([node.name for node in scene.nodes], _can_hold)]
    out = [
        f"digraph {quote_id(visible(scene.title))} {{",
        f'  graph [rankdir=TB, nodesep=0.3, ranksep=0.45, fontname="{FONT_FAMILY}"];',
        f'  node [shape=box, style="rounded,filled", fontname="{FONT_FAMILY}", fontsize=10, penwidth=1.2];',
        f'  edge [color="{EDGE_COLOUR}", arrowsize=0.7];',
    ]
    for node, node_id in zip(scene.nodes, ids):
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
        out.append(f"  {node_id} {_attributes(pairs)};")
    statuses = scene.edge_status or [None] * scene.edge_count
    for source, target, status in zip(scene.edge_sources.tolist(), scene.edge_targets.tolist(), statuses):
        pairs = []
        if status:
            pairs += [("class", f'"{status}"'), ("color", f'"{EDGE_STATUS_COLOURS[status]}"'), ("penwidth", "2")]
        if status == "removed":
            pairs.append(("style", "dashed"))
        out.append(f"  {ids[source]} -> {ids[target]}" + (f" {_attributes(pairs)};" if pairs else ";"))
    for rank, wanted in (("source", "is_input"), ("sink", "is_output")):
        members = [node_id for node, node_id in zip(scene.nodes, ids) if getattr(node, wanted)]
        if members:
            out.append(f"  {{ rank={rank}; {'; '.join(members)}; }}")
    out.append("}")
    return "\n".join(out) + "\n"
