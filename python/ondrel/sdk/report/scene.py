"""What a drawing shows: nodes with their records, findings and diff status, and edges.

A scene is built from the services' own records (``analyze_graph``, ``lint_graph``,
``compare_graphs``); nothing here recomputes a statistic. The SVG, DOT and HTML
renderers all draw the same scene.
"""

import dataclasses
import functools
import numbers
import os
from typing import List, Optional

import numpy as np

from ondrel import ir

from ..analyze import analyze_graph
from ..compare import compare_graphs
from ..lint import LintResult, lint_graph
from .contributions import contributions

SEVERITY_RANK = {"error": 3, "warning": 2, "info": 1}
DIFF_STATUSES = ("added", "removed", "modified")

# Fill and outline per node class; classes of one family share a hue.
CLASS_COLOURS = {
    "Input": ("#eceff1", "#455a64"),
    "Output": ("#cfd8dc", "#37474f"),
    "Affine": ("#dbe9fb", "#1e63b5"),
    "SpikingAffine": ("#c4dbf8", "#17508f"),
    "Conv2d": ("#d6efd9", "#2e7d32"),
    "SepConv2d": ("#c3e6c8", "#23632a"),
    "LIF": ("#ffe4c6", "#c9650a"),
    "MaxPool2d": ("#ece1f7", "#7b4fa8"),
    "AvgPool2d": ("#e0d1f2", "#663f90"),
    "Flatten": ("#dcf2f2", "#1f7f86"),
    "Skip": ("#e6eef0", "#52707a"),
    "Upsample": ("#cdebeb", "#176a70"),
    "ChannelSplit": ("#d3eef5", "#1b6f88"),
    "Concat": ("#c4e4ee", "#155a70"),
    "SGhostConv": ("#e6f4cf", "#5b8c1a"),
    "SGhostEncoderLite": ("#dcefbd", "#4d7a12"),
    "GhostBasicBlock1": ("#eef6d5", "#6b8f1f"),
    "GhostBasicBlock2": ("#d5eab0", "#456d0e"),
    "SDDetect": ("#fbdfe6", "#b83256"),
    "DFLDecode": ("#f8ccd8", "#9c2846"),
    "Dist2BBox": ("#fce9ee", "#a8455f"),
}
OTHER_COLOURS = ("#f1f1f1", "#757575")


# What a report or drawing holds at most: past these, the page would not open in a browser in any useful time.
MAX_NODES = 1_000_000
MAX_EDGES = 5_000_000


class DrawingLimitError(ValueError):
    """The model is larger than a report or drawing can hold."""


LABEL_CHARS = 36  # longer names are cut in drawings (the full name is in the tooltip and the panel)


def shape_text(shape):
    """A port shape as drawings show it: "1×8×16×16"; "" for no shape."""
    return "×".join(str(int(dim)) if isinstance(dim, numbers.Integral) else str(dim) for dim in shape)


def severity_of(finding):
    """"error", "warning" or "info": of a LintIssue (an enum) or of a contributed Finding (a text)."""
    return getattr(finding.severity, "value", finding.severity)


@functools.lru_cache(maxsize=4096)
def _caption(node_type, output_shape):
    shape = shape_text(output_shape)
    return f"{node_type} · {shape}" if shape else node_type


def cut(text, limit):
    """``text`` cut to ``limit`` characters, the cut marked with an ellipsis."""
    return text if len(text) <= limit else text[: limit - 1] + "…"


def class_colours(node_type):
    """(fill, outline) of a node class."""
    return CLASS_COLOURS.get(node_type, OTHER_COLOURS)


class SceneNode:
    """One drawn node. Slotted and built without per-node lists: a 100,000-node scene is built in well
    under a second."""

    __slots__ = ("name", "node_type", "layer", "is_input", "is_output", "findings", "severity", "status",
                 "changes", "layer_before")

    def __init__(self, name, node_type, layer, is_input=False, is_output=False):
        self.name = name  # as the graph holds it (a str in every file; any key in a graph built in code)
        self.node_type = node_type
        self.layer = layer  # the LayerStats of the node (of graph A for a removed node)
        self.is_input = is_input
        self.is_output = is_output
        self.findings = ()  # LintIssue records about this node (set with set_findings)
        self.severity = None  # the worst severity among the findings ("error", "warning", "info"), or None
        self.status = None  # diff view: "added", "removed", "modified" or "unchanged"
        self.changes = ()  # diff view: NodeDiff.changes
        self.layer_before = None  # diff view: the LayerStats in graph A of a node both graphs hold

    @property
    def label(self):
        """The name as drawn, cut to LABEL_CHARS."""
        return cut(str(self.name), LABEL_CHARS)

    @property
    def caption(self):
        """The second line of a drawn node: class and output shape."""
        return _caption(self.node_type, self.layer.output_shape)

    @property
    def marked_status(self):
        """The diff status when the drawing marks it ("added", "removed", "modified"), else None."""
        return self.status if self.status in DIFF_STATUSES else None

    @property
    def mark(self):
        """What the drawing marks on the node: its diff status, else its worst finding's severity."""
        return self.marked_status or self.severity

    def set_findings(self, issues):
        self.findings = issues
        values = [severity_of(issue) for issue in issues]
        self.severity = max(values, key=SEVERITY_RANK.__getitem__) if values else None


@dataclasses.dataclass
class Scene:
    kind: str  # "model" or "diff"
    title: str
    sources: List[str]  # where the graphs came from (paths), one or two
    nodes: List[SceneNode]
    edge_sources: np.ndarray  # per edge, index into nodes; each (source, target) pair once
    edge_targets: np.ndarray
    edge_status: Optional[list] = None  # diff view: per edge "added", "removed" or None
    stats: object = None  # GraphStats (of graph B in the diff view)
    lint: Optional[LintResult] = None  # model view
    diff: object = None  # GraphDiff, diff view
    stats_before: object = None  # GraphStats of graph A, diff view
    node_changes: Optional[list] = None  # diff view: NodeChange records (with array statistics)
    contributions: list = dataclasses.field(default_factory=list)  # model view: what providers add

    @property
    def edge_count(self):
        return len(self.edge_sources)

    @property
    def findings(self):
        """Lint's findings, then those the contributions add."""
        lint = list(self.lint.issues) if self.lint else []
        return lint + [finding for contribution in self.contributions for finding in contribution.findings]


def load_graph(model):
    """(graph, source label) of an ir.Graph or the path of an .o1c file."""
    if isinstance(model, ir.Graph):
        return model, None
    if isinstance(model, (str, bytes, os.PathLike)):
        return ir.read(model), os.fsdecode(model)
    raise TypeError(f"expected an ir.Graph or the path of an .o1c file, got {type(model).__name__}")


def _title(graph, source, fallback):
    name = graph.metadata.get("model") if isinstance(graph.metadata, dict) else None
    if isinstance(name, str) and name.strip():
        return name.strip()
    if source:
        return os.path.basename(source)
    return fallback


def _edge_indices(graph, index):
    """(sources, targets) index arrays of ``graph``'s edges, in edge order."""
    count = len(graph.edges)
    sources, targets = np.empty(count, np.int64), np.empty(count, np.int64)
    for i, (source, target) in enumerate(graph.edges):
        sources[i], targets[i] = index[source], index[target]
    return sources, targets


def _unique_pairs(sources, targets, node_count):
    """The (sources, targets) arrays with each pair once, at its first place."""
    keys = sources * max(node_count, 1) + targets
    _, first = np.unique(keys, return_index=True)
    first.sort()
    return sources[first], targets[first]


def check_drawable(*graphs):
    """ValueError naming the limit when a graph is larger than a report or drawing can hold."""
    for graph in graphs:
        for what, count, limit in (("nodes", len(graph.nodes), MAX_NODES), ("edges", len(graph.edges), MAX_EDGES)):
            if count > limit:
                raise DrawingLimitError(f"too large to draw: {count:,} {what}, and a report or drawing holds at most "
                                        f"{limit:,} {what}")


def _scene_node(name, node, layer):
    return SceneNode(name, layer.node_type, layer, isinstance(node, ir.Input), isinstance(node, ir.Output))


def model_scene(model, title=None, source=None, providers=()):
    """The scene of one model: every node with its per-layer record and lint findings, and what the
    registered ``providers`` and those given add (see ``contributions``).

    ``source`` names where the model came from (default: its path, if it is one).
    """
    graph, path = load_graph(model)
    check_drawable(graph)
    source = source or path
    stats = analyze_graph(graph)
    lint = lint_graph(graph)
    nodes = [_scene_node(name, node, layer) for (name, node), layer in zip(graph.nodes.items(), stats.layers)]
    index = {node.name: i for i, node in enumerate(nodes)}
    sources, targets = _unique_pairs(*_edge_indices(graph, index), len(nodes))
    scene = Scene(kind="model", title=title or _title(graph, source, "ONDREL model"),
                  sources=[source] if source else [], nodes=nodes, edge_sources=sources, edge_targets=targets,
                  stats=stats, lint=lint)
    scene.contributions = contributions(graph, scene, providers)
    found = {}
    for issue in scene.findings:
        if issue.node in index:
            found.setdefault(index[issue.node], []).append(issue)
    for i, issues in found.items():
        nodes[i].set_findings(issues)
    return scene


def diff_scene(model_a, model_b, atol=1e-6, rtol=1e-5, title=None, sources=(None, None)):
    """The scene of two models in one drawing: B's nodes and edges plus what only A had, marked."""
    from ..testing import node_changes

    (graph_a, path_a), (graph_b, path_b) = load_graph(model_a), load_graph(model_b)
    check_drawable(graph_a, graph_b)
    source_a, source_b = sources[0] or path_a, sources[1] or path_b
    diff = compare_graphs(graph_a, graph_b, atol, rtol)
    stats_a, stats_b = analyze_graph(graph_a), analyze_graph(graph_b)
    layers_a = dict(zip(graph_a.nodes, stats_a.layers))
    added, modified = set(diff.nodes_added), set(diff.nodes_modified)
    changes = {node_diff.name: node_diff.changes for node_diff in diff.node_diffs}

    nodes = []
    for (name, node), layer in zip(graph_b.nodes.items(), stats_b.layers):
        scene_node = _scene_node(name, node, layer)
        if name in added:
            scene_node.status = "added"
        else:
            scene_node.status = "modified" if name in modified else "unchanged"
            scene_node.changes = changes.get(name, ())
            scene_node.layer_before = layers_a[name]
        nodes.append(scene_node)
    for name in diff.nodes_removed:
        scene_node = _scene_node(name, graph_a.nodes[name], layers_a[name])
        scene_node.status = "removed"
        nodes.append(scene_node)

    index = {node.name: i for i, node in enumerate(nodes)}
    count = len(nodes)
    sources_b, targets_b = _unique_pairs(*_edge_indices(graph_b, index), count)
    sources_a, targets_a = _unique_pairs(*_edge_indices(graph_a, index), count)
    edges_added = {(index[s], index[t]) for s, t in diff.edges_added}
    edges_removed = {(index[s], index[t]) for s, t in diff.edges_removed}
    status = ["added" if pair in edges_added else None for pair in zip(sources_b.tolist(), targets_b.tolist())]
    keep = [pair in edges_removed for pair in zip(sources_a.tolist(), targets_a.tolist())]
    status += ["removed"] * sum(keep)

    labels = [source or "A" for source in (source_a, source_b)]
    if title is None:
        title_a, title_b = _title(graph_a, source_a, "A"), _title(graph_b, source_b, "B")
        title = title_a if title_a == title_b else f"{title_a} → {title_b}"
    return Scene(kind="diff", title=title, sources=labels if source_a or source_b else [], nodes=nodes,
                 edge_sources=np.concatenate([sources_b, sources_a[keep]]),
                 edge_targets=np.concatenate([targets_b, targets_a[keep]]), edge_status=status,
                 stats=stats_b, diff=diff, stats_before=stats_a,
                 node_changes=node_changes(diff, graph_a, graph_b, atol, rtol))
