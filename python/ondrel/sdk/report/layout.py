"""Where each item of one drawing level goes: a layered layout, inputs at the top, outputs at the bottom.

A level is what one group shows when it is open: its children (nodes, or groups
drawn as one box) and the edges between them (see ``groups``). Grouping keeps
every level to at most a few hundred items, so the work here is bounded per
level and the whole drawing costs time linear in nodes plus edges.

Steps, after Sugiyama: cycles are broken where a topological order in graph
order (smallest index first) runs into them; layers are longest-path levels,
with Output items moved to the last layer; each layer is ordered by barycentre
sweeps and placed as close to its neighbours as the widths allow (least
squares, pool-adjacent-violators). Edges between adjacent layers are one curve
each; a node with many of them into (or out of) one layer gets one bus. Edges
that skip layers get no bend per layer: those sharing an end are bundled on one
vertical trunk, placed just right of the layers it passes, so the drawing of
an edge has at most three segments whatever its span. A level without edges is
laid out as a grid.
"""

import dataclasses
import heapq
import math
from typing import List, Tuple

NODE_HEIGHT = 40
LAYER_GAP = 44  # vertical room between layers, where edges bend
NODE_GAP = 24  # least horizontal room between two items of a layer
LANE_GAP = 12  # horizontal room between two trunks
MARGIN = 24
LOOP_REACH = 22  # how far a self-loop bulges out of its node
BUS_MIN = 8  # this many edges from one item into one layer (or into one item from one layer) are one bus
SWEEPS = 4  # barycentre sweeps (down and up) that order the layers

Point = Tuple[float, float]


@dataclasses.dataclass
class Route:
    edges: List[int]  # indices of the level edges it draws
    lines: List[List[Point]]  # one polyline per edge, or per bus segment
    bus: bool = False  # several edges drawn as one shape


@dataclasses.dataclass
class Layout:
    width: float
    height: float
    x: List[float]  # item centres
    y: List[float]  # item tops
    routes: List[Route]
    layers: List[int]


def _order(count, successors, in_degree):
    """A topological order that, where a cycle stops it, goes on at the smallest index left."""
    degree = list(in_degree)
    ready = [v for v in range(count) if degree[v] == 0]
    heapq.heapify(ready)
    placed = [False] * count
    order, scan = [], 0
    while len(order) < count:
        if not ready:
            while placed[scan]:
                scan += 1
            heapq.heappush(ready, scan)
            degree[scan] = 0
        v = heapq.heappop(ready)
        if placed[v]:
            continue
        placed[v] = True
        order.append(v)
        for w in successors[v]:
            if not placed[w]:
                degree[w] -= 1
                if degree[w] == 0:
                    heapq.heappush(ready, w)
    return order


def _layers(count, edges, outputs):
    """Longest-path layer of every item, each edge pointing down the order (cycles broken), outputs last."""
    successors = [[] for _ in range(count)]
    in_degree = [0] * count
    for source, target in edges:
        successors[source].append(target)
        in_degree[target] += 1
    order = _order(count, successors, in_degree)
    rank = [0] * count
    for position, v in enumerate(order):
        rank[v] = position
    below = [[] for _ in range(count)]  # forward neighbours, cycles broken
    for source, target in edges:
        if rank[source] < rank[target]:
            below[source].append(target)
        else:
            below[target].append(source)
    layer = [0] * count
    for v in order:
        for w in below[v]:
            if layer[w] <= layer[v]:
                layer[w] = layer[v] + 1
    last = max(layer, default=0)
    for v in outputs:
        if not below[v]:
            layer[v] = last
    return layer, rank


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


def _mean(values, default):
    return sum(values) / len(values) if values else default


def _arrange(rows, widths, up, down):
    """Order each row by barycentre sweeps, then place it (centres) near its neighbours: returns x."""
    position = [0.0] * len(widths)
    for row in rows:
        for k, v in enumerate(row):
            position[v] = k
    for sweep in range(SWEEPS):
        neighbours = up if sweep % 2 == 0 else down
        for row in (rows if sweep % 2 == 0 else reversed(rows)):
            row.sort(key=lambda v: _mean([position[w] for w in neighbours[v]], position[v]))
            for k, v in enumerate(row):
                position[v] = k
    x = [0.0] * len(widths)
    for row in rows:
        left = 0.0
        for v in row:
            x[v] = left + widths[v] / 2
            left += widths[v] + NODE_GAP
    for sweep in range(4):
        neighbours = up if sweep % 2 == 0 else down
        for row in (rows if sweep % 2 == 0 else reversed(rows)):
            targets = [_mean([x[w] for w in neighbours[v]], x[v]) for v in row]
            separations = [(widths[a] + widths[b]) / 2 + NODE_GAP for a, b in zip(row, row[1:])]
            for v, value in zip(row, _place_row(targets, separations)):
                x[v] = value
    return x


def _grid_layers(widths):
    """Rows of a grid about as wide as tall, for a level whose items are not connected."""
    count = len(widths)
    mean_width = sum(widths) / count + NODE_GAP
    columns = max(1, round(math.sqrt(count * (NODE_HEIGHT + LAYER_GAP) / mean_width * 1.6)))
    return [k // columns for k in range(count)]


def layered_layout(widths, edges, outputs=(), bundle=None):
    """A Layout of items ``0 .. len(widths) - 1`` with those widths and the ``edges`` (index pairs, each once).

    ``outputs`` are the items drawn on the last layer (when nothing leaves them);
    ``bundle[i]`` False keeps edge i out of trunks and buses (edges marked in a diff).
    """
    count = len(widths)
    widths = [float(w) for w in widths]
    bundle = [True] * len(edges) if bundle is None else bundle
    drawn = [(s, t) for s, t in edges if s != t]
    if drawn or count <= 6:
        layer, rank = _layers(count, drawn, set(outputs))
    else:
        layer, rank = _grid_layers(widths), list(range(count))
    depth = max(layer, default=-1) + 1
    rows = [[] for _ in range(depth)]
    for v in sorted(range(count), key=rank.__getitem__):
        rows[layer[v]].append(v)
    up = [[] for _ in range(count)]  # neighbours in the layer above / below
    down = [[] for _ in range(count)]
    for s, t in drawn:
        if layer[t] == layer[s] + 1:
            up[t].append(s)
            down[s].append(t)
        elif layer[s] == layer[t] + 1:
            up[s].append(t)
            down[t].append(s)
    x = _arrange(rows, widths, up, down) if count else []
    shift = MARGIN - min([x[v] - widths[v] / 2 for v in range(count)], default=0.0)
    x = [value + shift for value in x]
    step = NODE_HEIGHT + LAYER_GAP
    y = [MARGIN + layer[v] * step for v in range(count)]
    right = [max((x[v] + widths[v] / 2 for v in row), default=MARGIN) for row in rows]
    routes = _routes(edges, bundle, layer, x, y, widths, right)
    width = max(right + [point[0] for route in routes for line in route.lines for point in line],
                default=0.0) + MARGIN
    height = MARGIN * 2 + (depth - 1) * step + NODE_HEIGHT if count else MARGIN * 2
    return Layout(width=width, height=height, x=x, y=y, routes=routes, layers=layer)


def _routes(edges, bundle, layer, x, y, widths, right):
    """The Routes of every edge: curves between adjacent layers, buses, trunks for the others, loops."""
    half_gap = LAYER_GAP / 2
    routes, short_in, short_out, long_edges = [], {}, {}, []
    for i, (s, t) in enumerate(edges):
        if s == t:
            r, top = x[s] + widths[s] / 2, y[s]
            routes.append(Route([i], [[(r, top + 12), (r + LOOP_REACH, top + NODE_HEIGHT / 2),
                                       (r, top + NODE_HEIGHT - 12)]]))
        elif layer[t] == layer[s] + 1:
            if bundle[i]:
                short_in.setdefault(t, []).append(i)
                short_out.setdefault(s, []).append(i)
            else:
                routes.append(Route([i], [[(x[s], y[s] + NODE_HEIGHT), (x[t], y[t])]]))
        else:
            long_edges.append(i)

    # Buses: the larger side first, each edge in at most one bus.
    taken = set()
    hubs = sorted([(len(ids), "in", t, ids) for t, ids in short_in.items()]
                  + [(len(ids), "out", s, ids) for s, ids in short_out.items()], key=lambda hub: -hub[0])
    for _, side, hub, ids in hubs:
        ids = [i for i in ids if i not in taken]
        if len(ids) < BUS_MIN:
            continue
        taken.update(ids)
        others = [edges[i][0] if side == "in" else edges[i][1] for i in ids]
        if side == "in":
            bar = y[hub] - half_gap
            lines = [[(x[o], y[o] + NODE_HEIGHT), (x[o], bar)] for o in others]
            ends = [x[o] for o in others] + [x[hub]]
            lines += [[(min(ends), bar), (max(ends), bar)], [(x[hub], bar), (x[hub], y[hub])]]
        else:
            bar = y[hub] + NODE_HEIGHT + half_gap
            ends = [x[o] for o in others] + [x[hub]]
            lines = [[(x[hub], y[hub] + NODE_HEIGHT), (x[hub], bar)], [(min(ends), bar), (max(ends), bar)]]
            lines += [[(x[o], bar), (x[o], y[o])] for o in others]
        routes.append(Route(ids, lines, bus=True))
    for i in sorted(set(i for ids in short_in.values() for i in ids) - taken):
        s, t = edges[i]
        routes.append(Route([i], [[(x[s], y[s] + NODE_HEIGHT), (x[t], y[t])]]))

    # Trunks: an edge that skips layers joins the trunk of whichever end has more such edges.
    if long_edges:
        count_out, count_in = {}, {}
        for i in long_edges:
            s, t = edges[i]
            count_out[s] = count_out.get(s, 0) + 1
            count_in[t] = count_in.get(t, 0) + 1
        trunks = {}
        for i in long_edges:
            s, t = edges[i]
            key = ("solo", i) if not bundle[i] else ("out", s) if count_out[s] >= count_in[t] else ("in", t)
            trunks.setdefault(key, []).append(i)
        spans = []
        for key, ids in trunks.items():
            low = min(min(layer[edges[i][0]] + 1, layer[edges[i][1]]) for i in ids)
            high = max(max(layer[edges[i][1]] - 1, layer[edges[i][0]]) for i in ids)
            spans.append((high - low, low, high, ids))
        for _, low, high, ids in sorted(spans, key=lambda span: span[:2]):
            lane = max(right[low:high + 1]) + LANE_GAP
            right[low:high + 1] = [lane] * (high - low + 1)
            lines = []
            for i in ids:
                s, t = edges[i]
                lines.append([(x[s], y[s] + NODE_HEIGHT), (lane, y[s] + NODE_HEIGHT + half_gap),
                              (lane, y[t] - half_gap), (x[t], y[t])])
            if len(ids) >= BUS_MIN:
                routes.append(Route(ids, lines, bus=True))
            else:
                routes += [Route([i], [line]) for i, line in zip(ids, lines)]
    return routes
