"""Pictures of a model: an offline HTML report, SVG and DOT drawings, and two models' diff drawn.

    from ondrel.sdk.report import DiffView, ModelView

    view = ModelView("model.o1c")                  # or an ir.Graph
    page = view.html()                             # one self-contained HTML page
    view.save("model.svg")                         # .html, .svg or .dot, chosen by the suffix
    DiffView("before.o1c", "after.o1c").save("changes.html")

In a Jupyter notebook a view displays itself (the interactive page in a frame;
``_repr_svg_`` gives the drawing). The records shown come from ``analyze_graph``,
``lint_graph`` and ``compare_graphs``. A model larger than a page can hold
(``MAX_NODES`` nodes, ``MAX_EDGES`` edges) raises DrawingLimitError, a ValueError
naming the limit. Drawing needs no optional package.
"""

import os
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Optional, Union

from ... import _files
from ...ir._o1c import _collector_paused
from .dot import render_dot
from .markup import escape
from .page import render_html
from .contributions import Chart, Column, Contribution, Finding, register_provider
from .scene import MAX_EDGES, MAX_NODES, DrawingLimitError, diff_scene, model_scene
from .svg import render_svg
from .tensors import tensors_provider
from ..shapes import shapes_provider
from ..deployment import deployment_provider

__all__ = ["MAX_EDGES", "MAX_NODES", "Chart", "Column", "Contribution", "DiffView", "DrawingLimitError", "Finding",
           "ModelView", "default_output", "output_format", "register_provider", "write_text"]

if TYPE_CHECKING:
    from ondrel import ir

    from .scene import Scene

# A model as the views take it: an IR graph or the path of an .o1c file.
Model = Union["ir.Graph", str, "os.PathLike[str]"]
Provider = Callable[..., Optional[Contribution]]

register_provider(tensors_provider)
register_provider(shapes_provider)
register_provider(deployment_provider)

FORMATS = {".html": "html", ".htm": "html", ".svg": "svg", ".dot": "dot", ".gv": "dot"}
NOTEBOOK_HEIGHT = 760  # pixels of the frame a notebook shows the page in


def output_format(path: "Union[str, os.PathLike[str]]", allowed: Sequence[str] = ("html", "svg", "dot")) -> str:
    """The format ("html", "svg" or "dot") that the suffix of ``path`` names; ValueError if it names none allowed."""
    found = FORMATS.get(os.path.splitext(os.fspath(path))[1].lower())
    if found is None or found not in allowed:
        suffixes = ", ".join(suffix for suffix, name in FORMATS.items() if name in allowed)
        raise ValueError(f"cannot tell the format from the file name; use one of {suffixes}")
    return found


def default_output(paths: "Iterable[Union[str, os.PathLike[str]]]", suffix: str = ".html") -> str:
    """The file name a report of the models at ``paths`` gets when none is given: "a.html", "a-vs-b.html"."""
    return "-vs-".join(os.path.splitext(os.path.basename(os.fspath(path)))[0] for path in paths) + suffix


def write_text(path: "Union[str, os.PathLike[str]]", text: str) -> None:
    """Write ``text`` as UTF-8 to ``path``.

    A regular file (or the file a symbolic link names) is replaced through a
    temporary file renamed into place, so it is either the whole new text or
    as it was before; a FIFO or a device (``/dev/stdout``) is written through,
    as a shell's ``>`` would. OSError on failure (IsADirectoryError for a folder).
    """
    target = _files.destination(path)
    fd, temporary = _files.open_for_writing(target)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as fh:
            fh.write(text)
        if temporary is not None:
            _files.publish(temporary, target.path)
    except BaseException:
        if temporary is not None:
            _files.discard(temporary)
        raise


class _View:
    """Renders one scene as HTML, SVG and DOT (each rendered once, on first use)."""

    scene: "Scene"

    def __init__(self, build: "Callable[..., Scene]", *args: object) -> None:
        with _collector_paused():
            self.scene = build(*args)
        self._texts: dict[str, str] = {}

    def _render(self, kind: str, renderer: "Callable[[Scene], str]") -> str:
        if kind not in self._texts:
            with _collector_paused():
                self._texts[kind] = renderer(self.scene)
        return self._texts[kind]

    def html(self) -> str:
        """The self-contained HTML page."""
        return self._render("html", render_html)

    def svg(self) -> str:
        """The drawing as a standalone SVG document."""
        return self._render("svg", render_svg)

    def dot(self) -> str:
        """The drawing as a Graphviz DOT digraph."""
        return self._render("dot", render_dot)

    def save(self, path: "Union[str, os.PathLike[str]]", format: Optional[str] = None) -> None:
        """Write the page or a drawing to ``path``: ``format`` "html", "svg" or "dot", by default from the suffix."""
        text = {"html": self.html, "svg": self.svg, "dot": self.dot}[format or output_format(path)]()
        write_text(path, text)

    def _repr_html_(self) -> str:
        return (f'<iframe srcdoc="{escape(self.html())}" sandbox="allow-scripts" title="{escape(self.scene.title)}" '
                f'style="width:100%;height:{NOTEBOOK_HEIGHT}px;border:1px solid #d8dee2"></iframe>')

    def _repr_svg_(self) -> str:
        return self.svg()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.scene.title!r}: {len(self.scene.nodes)} nodes>"


class ModelView(_View):
    """One model: its drawing with per-layer records, lint findings marked by severity, tables and charts.

    ``model`` is an ir.Graph or the path of an .o1c file (read with ``ir.read``,
    whose OSError or ValueError passes through). ``title`` defaults to the
    model name in the metadata, else the file name; ``source``, shown under
    the title, to the path. ``providers`` add per-node figures, findings,
    charts and totals to this view (see ``contributions``), beside those
    registered with ``register_provider``.
    """

    def __init__(self, model: Model, title: Optional[str] = None, source: Optional[str] = None,
                 providers: Iterable[Provider] = ()) -> None:
        super().__init__(model_scene, model, title, source, providers)


class DiffView(_View):
    """Two models in one drawing: what ``compare_graphs(model_a, model_b, atol, rtol)`` found, marked.

    Nodes and edges only in B are "added", only in A "removed"; nodes that
    changed are "modified", with their changes in the panel. ``sources``
    names where A and B came from (default: their paths).
    """

    def __init__(self, model_a: Model, model_b: Model, atol: float = 1e-6, rtol: float = 1e-5,
                 title: Optional[str] = None, sources: tuple[Optional[str], Optional[str]] = (None, None)) -> None:
        super().__init__(diff_scene, model_a, model_b, atol, rtol, title, sources)
