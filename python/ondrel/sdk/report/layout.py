"""Where each node and edge goes: a layered (Sugiyama) layout computed by igraph.

Layers are longest-path levels from the inputs, with the graph's Output nodes
moved to the last layer, so inputs are at the top and outputs at the bottom.
igraph breaks cycles, orders each layer to reduce crossings and assigns the
horizontal positions; edges that span several layers get one bend point per
layer they cross. Its positions are in units of one slot; they are scaled here
to the real node widths, pushing apart neighbours that would overlap while
keeping each as close to igraph's position as possible.
"""

import dataclasses
from typing import List, Tuple

NODE_HEIGHT = 40
LAYER_GAP = 44  # vertical room between layers, where edges bend
NODE_GAP = 24  # least horizontal room between two nodes of a layer
BEND_WIDTH = 10  # horizontal room an edge takes where it crosses a layer
MARGIN = 24
LOOP_REACH = 22  # how far a self-loop bulges out of its node

Point = Tuple[float, float]


class MissingExtraError(ImportError):
    """The optional dependencies of reports and drawings are not installed."""


def require():
    """The igraph module; MissingExtraError naming the extra when it is not installed."""
    try:
        import igraph
    except ImportError:
        raise MissingExtraError(
            "drawing a model needs the 'report' extra (igraph is not installed): pip install 'ondrel[report]'"
        ) from None
    return igraph


def available():
    """True when the layout library can be imported."""
    try:
        require()
    except MissingExtraError:
        return False
    return True


@dataclasses.dataclass
class Layout:
    width: float
    height: float
    x: List[float]  # node centres
    y: List[float]  # node tops
    routes: List[List[Point]]  # per edge: points from the source's border to the target's


def _layers(igraph, count, edges, graph, outputs):
    """Longest-path level of every node, cycles broken at igraph's feedback arc set, outputs last."""
    reversed_edges = set() if graph.is_dag() else set(graph.feedback_arc_set(method="eades"))
    forward = [(target, source) if index in reversed_edges else (source, target)
               for index, (source, target) in enumerate(edges)]
    successors = [[] for _ in range(count)]
    for source, target in forward:
        successors[source].append(target)
    layer = [0] * count
    for node in igraph.Graph(n=count, edges=forward, directed=True).topological_sorting():
        for successor in successors[node]:
            if layer[successor] <= layer[node]:
                layer[successor] = layer[node] + 1
    last = max(layer, default=0)
    for node in outputs:
        if not successors[node]:
            layer[node] = last
    return layer


def _place_row(targets, separations):
    """Positions as close as possible (least squares) to ``targets`` with position[i+1] - position[i] >=
    separations[i]: pool-adjacent-violators on the positions less their cumulative separations."""
    offsets = [0.0]
    for gap in separations:
        offsets.append(offsets[-1] + gap)
    blocks = []  # [mean, weight, count] of pooled runs, nondecreasing means
    for target, offset in zip(targets, offsets):
        blocks.append([target - offset, 1, 1])
        while len(blocks) > 1 and blocks[-2][0] > blocks[-1][0]:
            mean, weight, count = blocks.pop()
            last = blocks[-1]
            last[0] = (last[0] * last[1] + mean * weight) / (last[1] + weight)
            last[1] += weight
            last[2] += count
    positions = []
    for mean, _, count in blocks:
        positions.extend([mean] * count)
    return [position + offset for position, offset in zip(positions, offsets)]


def layered_layout(widths, edges, outputs=(), maxiter=30):
    """A Layout of nodes ``0 .. len(widths) - 1`` with those widths and the ``edges`` (index pairs).

    ``outputs`` are the nodes drawn on the last layer (when nothing leaves them).
    Raises MissingExtraError without igraph.
    """
    igraph = require()
    count = len(widths)
    drawn = [(source, target) for source, target in edges if source != target]
    graph = igraph.Graph(n=count, edges=drawn, directed=True)
    layer = _layers(igraph, count, drawn, graph, outputs)
    result = graph.layout_sugiyama(layers=layer, hgap=1, vgap=1, maxiter=maxiter)

    # Everything that takes room in a layer: nodes, and edges passing through it.
    unit = sorted(widths)[count // 2] + NODE_GAP if count else 1.0
    rows = {}  # layer -> [(igraph x, width, ("node", index) or ("bend", edge, point))]
    coords = result.coords  # a new list on every access
    for node in range(count):
        rows.setdefault(layer[node], []).append((coords[node][0], widths[node], ("node", node)))
    bends = result.edge_routing
    for edge, points in enumerate(bends):
        for point, (x, y) in enumerate(points):
            rows.setdefault(round(y), []).append((x, BEND_WIDTH, ("bend", edge, point)))

    x = [0.0] * count
    bend_x = [[0.0] * len(points) for points in bends]
    for row in rows.values():
        row.sort(key=lambda item: item[0])
        separations = [(left[1] + right[1]) / 2 + NODE_GAP for left, right in zip(row, row[1:])]
        for (_, _, ref), position in zip(row, _place_row([item[0] * unit for item in row], separations)):
            if ref[0] == "node":
                x[ref[1]] = position
            else:
                bend_x[ref[1]][ref[2]] = position

    left = min([x[node] - widths[node] / 2 for node in range(count)] + [p for row in bend_x for p in row],
               default=0.0)
    shift = MARGIN - left
    x = [value + shift for value in x]
    step = NODE_HEIGHT + LAYER_GAP
    y = [MARGIN + layer[node] * step for node in range(count)]

    drawn_routes = iter(range(len(drawn)))
    routes = []
    for source, target in edges:
        if source == target:
            right, top = x[source] + widths[source] / 2, y[source]
            routes.append([(right, top + 12), (right + LOOP_REACH, top + NODE_HEIGHT / 2),
                           (right, top + NODE_HEIGHT - 12)])
            continue
        edge = next(drawn_routes)
        downward = layer[source] < layer[target]
        points = [(x[source], y[source] + (NODE_HEIGHT if downward else 0))]
        for point, (_, bend_layer) in enumerate(bends[edge]):
            bx, top = bend_x[edge][point] + shift, MARGIN + round(bend_layer) * step
            # Straight through the layer's band, so the edge bends only between layers.
            points += [(bx, top), (bx, top + NODE_HEIGHT)] if downward else [(bx, top + NODE_HEIGHT), (bx, top)]
        points.append((x[target], y[target] + (0 if downward else NODE_HEIGHT)))
        routes.append(points)

    right = max([x[node] + widths[node] / 2 for node in range(count)] + [p + shift for row in bend_x for p in row]
                + [point[0] for route in routes for point in route], default=0.0)
    height = MARGIN * 2 + (max(layer, default=0) * step + NODE_HEIGHT if count else 0)
    return Layout(width=right + MARGIN, height=height, x=x, y=y, routes=routes)
