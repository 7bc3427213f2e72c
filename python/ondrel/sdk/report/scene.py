"""What a drawing shows: nodes with their records, findings and diff status, and edges.

A scene is built from the services' own records (``analyze_graph``, ``lint_graph``,
``compare_graphs``); nothing here recomputes a statistic. The SVG, DOT and HTML
renderers all draw the same scene.
"""

import dataclasses
import numbers
import os
from typing import List, Optional

from ondrel import ir

from ..analyze import analyze_graph
from ..compare import compare_graphs
from ..lint import LintResult, lint_graph
from ..tensor_sizes import graph_tensors, node_tensors, total_bytes

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


LABEL_CHARS = 36  # longer names are cut in drawings (the full name is in the tooltip and the panel)


def shape_text(shape):
    """A port shape as drawings show it: "1×8×16×16"; "" for no shape."""
    return "×".join(str(int(dim)) if isinstance(dim, numbers.Integral) else str(dim) for dim in shape)


def class_colours(node_type):
    """(fill, outline) of a node class."""
    return CLASS_COLOURS.get(node_type, OTHER_COLOURS)


@dataclasses.dataclass
class SceneNode:
    name: object  # as the graph holds it (a str in every file; any key in a graph built in code)
    node_type: str
    layer: object  # the LayerStats of the node (of graph A for a removed node)
    is_input: bool = False
    is_output: bool = False
    findings: list = dataclasses.field(default_factory=list)  # LintIssue records about this node
    status: Optional[str] = None  # diff view: "added", "removed", "modified" or "unchanged"
    changes: list = dataclasses.field(default_factory=list)  # diff view: NodeDiff.changes
    layer_before: object = None  # diff view: the LayerStats in graph A of a node both graphs hold
    tensors: list = dataclasses.field(default_factory=list)  # TensorSize records of its parameter arrays
    tensors_before: list = dataclasses.field(default_factory=list)  # diff view: those in graph A

    @property
    def label(self):
        """The name as drawn, cut to LABEL_CHARS."""
        text = str(self.name)
        return text if len(text) <= LABEL_CHARS else text[: LABEL_CHARS - 1] + "…"

    @property
    def caption(self):
        """The second line of a drawn node: class and output shape."""
        shape = shape_text(self.layer.output_shape)
        return f"{self.node_type} · {shape}" if shape else self.node_type

    @property
    def marked_status(self):
        """The diff status when the drawing marks it ("added", "removed", "modified"), else None."""
        return self.status if self.status in DIFF_STATUSES else None

    @property
    def mark(self):
        """What the drawing marks on the node: its diff status, else its worst finding's severity."""
        return self.marked_status or self.severity

    @property
    def severity(self):
        """The worst severity among the findings ("error", "warning", "info"), or None."""
        values = [issue.severity.value for issue in self.findings]
        return max(values, key=SEVERITY_RANK.__getitem__) if values else None


@dataclasses.dataclass
class SceneEdge:
    source: int  # index into Scene.nodes
    target: int
    status: Optional[str] = None  # diff view: "added", "removed" or None


@dataclasses.dataclass
class Scene:
    kind: str  # "model" or "diff"
    title: str
    sources: List[str]  # where the graphs came from (paths), one or two
    nodes: List[SceneNode]
    edges: List[SceneEdge]
    stats: object = None  # GraphStats (of graph B in the diff view)
    lint: Optional[LintResult] = None  # model view
    diff: object = None  # GraphDiff, diff view
    stats_before: object = None  # GraphStats of graph A, diff view
    memory: int = 0  # the parameter tensors' size at their bit widths (of graph B in the diff view)
    memory_before: int = 0  # the same of graph A, diff view


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


def _unique_edges(graph, index, status=None, keep=None):
    """SceneEdges of ``graph``'s edges, each (source, target) pair once, in edge order."""
    seen, edges = set(), []
    for source, target in graph.edges:
        pair = (source, target)
        if pair in seen or (keep is not None and pair not in keep):
            continue
        seen.add(pair)
        edges.append(SceneEdge(index[source], index[target], status))
    return edges


def _scene_node(name, node, layer):
    return SceneNode(name=name, node_type=layer.node_type, layer=layer, is_input=isinstance(node, ir.Input),
                     is_output=isinstance(node, ir.Output), tensors=node_tensors(name, node))


def model_scene(model, title=None, source=None):
    """The scene of one model: every node with its per-layer record and lint findings.

    ``source`` names where the model came from (default: its path, if it is one).
    """
    graph, path = load_graph(model)
    source = source or path
    stats = analyze_graph(graph)
    lint = lint_graph(graph)
    nodes = [_scene_node(name, node, layer) for (name, node), layer in zip(graph.nodes.items(), stats.layers)]
    index = {node.name: i for i, node in enumerate(nodes)}
    for issue in lint.issues:
        if issue.node in index:
            nodes[index[issue.node]].findings.append(issue)
    return Scene(kind="model", title=title or _title(graph, source, "ONDREL model"),
                 sources=[source] if source else [], nodes=nodes, edges=_unique_edges(graph, index),
                 stats=stats, lint=lint, memory=sum(total_bytes(node.tensors) for node in nodes))


def diff_scene(model_a, model_b, atol=1e-6, rtol=1e-5, title=None, sources=(None, None)):
    """The scene of two models in one drawing: B's nodes and edges plus what only A had, marked."""
    (graph_a, path_a), (graph_b, path_b) = load_graph(model_a), load_graph(model_b)
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
            scene_node.changes = changes.get(name, [])
            scene_node.layer_before = layers_a[name]
            scene_node.tensors_before = node_tensors(name, graph_a.nodes[name])
        nodes.append(scene_node)
    for name in diff.nodes_removed:
        scene_node = _scene_node(name, graph_a.nodes[name], layers_a[name])
        scene_node.status = "removed"
        nodes.append(scene_node)

    index = {node.name: i for i, node in enumerate(nodes)}
    edges_added = {tuple(edge) for edge in diff.edges_added}
    edges_removed = {tuple(edge) for edge in diff.edges_removed}
    edges = _unique_edges(graph_b, index)
    for edge in edges:
        if (nodes[edge.source].name, nodes[edge.target].name) in edges_added:
            edge.status = "added"
    edges += _unique_edges(graph_a, index, "removed", keep=edges_removed)

    labels = [source or "A" for source in (source_a, source_b)]
    if title is None:
        title_a, title_b = _title(graph_a, source_a, "A"), _title(graph_b, source_b, "B")
        title = title_a if title_a == title_b else f"{title_a} → {title_b}"
    return Scene(kind="diff", title=title, sources=labels if source_a or source_b else [], nodes=nodes,
                 edges=edges, stats=stats_b, diff=diff, stats_before=stats_a,
                 memory=total_bytes(graph_tensors(graph_b)), memory_before=total_bytes(graph_tensors(graph_a)))
