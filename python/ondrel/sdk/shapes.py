"""Port shapes: inferred from the Input shapes through every layer, and the places where a graph disagrees
with them.

    from ondrel.sdk.shapes import infer_shapes, check_shapes, fill_shapes

    infer_shapes(graph)   # {"conv1": {"input": (1, 1, 16, 16), "output": (1, 8, 16, 16)}, ...}
    check_shapes(graph)   # [LintIssue(severity=<Severity.ERROR: 'error'>, code='SHAPE_LIF_SIZE', ...), ...]
    fill_shapes(graph)    # sets every missing input_type/output_type that was inferred; returns how many

The rules, one per node class, and the batch convention are in docs/shapes.md; the codes and their
texts in ``ondrel.sdk.lint_rules.SHAPE_CATALOGUE``. The work is done by the compiled ``_shapes``
module, linear in nodes and edges.
"""

import os
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from .lint_rules import SHAPE_CATALOGUE

__all__ = ["check_shapes", "fill_shapes", "infer_shapes"]

_ENTRIES = {entry["code"]: entry for entry in SHAPE_CATALOGUE}
PORTS = (("input_type", "input"), ("output_type", "output"))


def _graph(graph):
    if isinstance(graph, (str, bytes, os.PathLike)):
        from ondrel import ir

        return ir.read(graph)
    return graph


def _infer(graph):
    from . import _shapes

    return _shapes._infer(_graph(graph))


def infer_shapes(graph: Any) -> Dict[str, Dict[str, Optional[Tuple[int, ...]]]]:
    """Every node's inferred port shapes: ``{name: {"input": tuple or None, "output": tuple or None}}``.

    ``graph`` is an ``ir.Graph`` or a path to an ``.o1c`` file. "input" is the shape of the first incoming
    edge (an Input's is its own shape), "output" what the node sends (a ChannelSplit: its first section).
    None where inference stopped upstream or at the node; ``check_shapes`` says why."""
    shapes, _ = _infer(graph)
    return {name: {"input": shape_in, "output": shape_out} for name, (shape_in, shape_out) in shapes.items()}


def _issue(code, node, values):
    from .lint import LintIssue, Severity

    entry = _ENTRIES[code]
    return LintIssue(Severity(entry["severity"]), code, entry["message"].format(node=node, **values), node,
                     entry["suggestion"].format(node=node, **values))


def check_shapes(graph: Any) -> List[Any]:
    """The shape findings of ``graph`` (an ``ir.Graph`` or a path) as ``LintIssue`` records, in node order."""
    _, findings = _infer(graph)
    return [_issue(code, node, values) for code, node, values in findings]


def fill_shapes(graph: Any, overwrite: bool = False) -> int:
    """Write the inferred shapes into the nodes' ``input_type``/``output_type`` (an ``ir.Graph``, changed in
    place): the ports that declare no shape, and with ``overwrite`` those that declare another. Returns the
    number of ports written."""
    shapes, _ = _infer(graph)
    written = 0
    for name, inferred in shapes.items():
        node = graph.nodes[name]
        for (attribute, port), shape in zip(PORTS, inferred):
            if shape is None:
                continue
            declared = getattr(node, attribute, None) or {}
            current = declared.get(port)
            if current is not None and (not overwrite or tuple(int(d) for d in np.ravel(current)) == shape):
                continue
            setattr(node, attribute, {**declared, port: np.array(shape, dtype=np.int64)})
            written += 1
    return written


def _ports_text(shape_in, shape_out):
    def text(shape):
        return "?" if shape is None else "x".join(map(str, shape)) or "()"

    return None if shape_in is None and shape_out is None else f"{text(shape_in)} → {text(shape_out)}"


def shapes_provider(graph, scene):
    """The report's column of inferred shapes ("input → output"; the layer table shows the declared ones) and the
    shape findings, marked on their nodes (a provider of ``ondrel.sdk.report.contributions``)."""
    from .report.contributions import Column, Contribution, Finding

    shapes, findings = _infer(graph)
    inferred = [_ports_text(*shapes.get(scene_node.name, (None, None))) for scene_node in scene.nodes]
    issues = [_issue(code, node, values) for code, node, values in findings]
    if not any(inferred) and not issues:
        return None
    return Contribution(
        title="Shapes",
        columns=[Column("Inferred shape", inferred)],
        findings=[Finding(issue.severity.value, issue.code, issue.message, issue.node, issue.suggestion or "")
                  for issue in issues])
