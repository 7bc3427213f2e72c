"""Horizontal bar charts as inline SVG: memory by layer type, parameters per layer."""

from .markup import escape
from .scene import class_colours

ROW_HEIGHT = 22
LABEL_WIDTH = 190
BAR_WIDTH = 360
VALUE_WIDTH = 90
LABEL_CHARS = 26


def _cut(text):
    return text if len(text) <= LABEL_CHARS else text[: LABEL_CHARS - 1] + "…"


def bar_chart(rows, title):
    """An SVG bar chart of ``rows``: (label, value, value text, class name for the colour, node index or None).

    Bars of a node carry ``data-goto`` with its index, so the page can select it.
    """
    largest = max((row[1] for row in rows), default=0) or 1
    height = ROW_HEIGHT * len(rows) + 8
    width = LABEL_WIDTH + BAR_WIDTH + VALUE_WIDTH
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" class="chart" role="img" viewBox="0 0 {width} {height}" '
           f'width="{width}" height="{height}"><title>{escape(title)}</title>']
    for i, (label, value, text, node_type, node_index) in enumerate(rows):
        y = 4 + i * ROW_HEIGHT
        fill, outline = class_colours(node_type)
        bar = max(1.0, BAR_WIDTH * value / largest) if value else 0
        target = f' data-goto="{node_index}"' if node_index is not None else ""
        out.append(
            f'<g class="bar"{target}><title>{escape(label)}: {escape(text)}</title>'
            f'<rect class="row" y="{y}" width="{width}" height="{ROW_HEIGHT}" fill="transparent"/>'  # hit area
            f'<text x="{LABEL_WIDTH - 8}" y="{y + 15}" text-anchor="end">{escape(_cut(label))}</text>'
            f'<rect x="{LABEL_WIDTH}" y="{y + 3}" width="{bar:.1f}" height="{ROW_HEIGHT - 6}" fill="{fill}" '
            f'stroke="{outline}"/>'
            f'<text x="{LABEL_WIDTH + bar + 6:.1f}" y="{y + 15}">{escape(text)}</text></g>'
        )
    out.append("</svg>")
    return "".join(out)
