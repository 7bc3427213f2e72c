"""Compact HTML tables, as notebooks display graphs and results (``_repr_html_``).

Only the standard library is imported: the IR layer and the services share it.
"""

import html
import numbers

ROW_LIMIT = 50  # longer tables show their first rows and say how many more there are


def port_text(ports):
    """A node's input_type or output_type as text: "1×8×16" for one port, "name: 1×8, ..." for several."""
    if not ports:
        return ""
    if not isinstance(ports, dict):
        return str(ports)
    shapes = {name: _shape_text(shape) for name, shape in ports.items()}
    if len(shapes) == 1:
        return next(iter(shapes.values()))
    return ", ".join(f"{name}: {shape}" for name, shape in shapes.items())


def _shape_text(shape):
    try:
        return "×".join(str(int(dim)) if isinstance(dim, numbers.Integral) else str(dim) for dim in shape)
    except TypeError:  # not a sequence of dimensions
        return str(shape)


def html_table(caption, headers, rows, limit=ROW_LIMIT):
    """An HTML table with ``caption`` (bold, above it), a header row and ``rows``, every text escaped."""
    rows = list(rows)
    shown = rows[:limit]
    head = "".join(f"<th style='text-align:left'>{html.escape(str(header))}</th>" for header in headers)
    body = "".join("<tr>" + "".join(f"<td style='text-align:left'>{html.escape(str(cell))}</td>" for cell in row)
                   + "</tr>" for row in shown)
    more = f"<p>… {len(rows) - len(shown):,} more</p>" if len(rows) > len(shown) else ""
    table = f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>" if rows else ""
    return f"<div><p><b>{html.escape(caption)}</b></p>{table}{more}</div>"
