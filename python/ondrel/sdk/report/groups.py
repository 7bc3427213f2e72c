"""Collapsed structure: the nodes of a large model gathered into groups that open one level at a time.

A model of at most ``FLAT_LIMIT`` nodes is drawn flat. A larger one is grouped:

1. by name hierarchy: dotted or slashed prefixes ("stage1.block3.conv" is in
   "stage1.block3", which is in "stage1"), at most ``MAX_NAME_DEPTH`` deep; a
   prefix is a group when it holds at least two items (and more than a couple
   of nodes, or other groups);
2. by repeats: among the children of a group of more than ``REPEATS_ABOVE`` (in graph order), a run of consecutive
   items alike in class and shape (a node: its class and output shape; a
   group: its children's, in order), one item or a block of up to
   ``MAX_PERIOD`` items repeated, becomes one group, "Conv2d · LIF × 12";
3. by range: a group still holding more than ``MAX_ITEMS`` items is cut into
   consecutive parts ("stage0 … stage159"), so that no level ever draws more than that.

Each group then holds one drawing level: its children and the edges between
them (an edge between two nodes is drawn at the level of their closest common
group, between the children that hold them), with the findings and changes of
its nodes counted. Levels alike are laid out once.
"""

import dataclasses
import itertools
import re
from typing import List, Optional

import numpy as np

from .layout import layered_layout

FLAT_LIMIT = 200  # models up to this many nodes are drawn flat, every node at once
MAX_ITEMS = 160  # items one level draws at most
MAX_PERIOD = 8  # longest block of items whose repeats are found
MAX_NAME_DEPTH = 8  # prefixes deeper than this are not groups of their own
REPEATS_ABOVE = 12  # repeats are gathered in levels of more items than this: smaller ones read at a glance
MIN_GROUP = 3  # a name group of only nodes holds at least this many
MIN_REPEATS = {1: 3}  # a single item repeated becomes a group from 3 repeats; a block from 2
SEPARATOR = re.compile("[./]")
COUNTED = ("error", "warning", "info", "added", "removed", "modified")


@dataclasses.dataclass
class Group:
    label: str  # as drawn: "stage1", "Conv2d · LIF × 12", "items 161–320"
    kind: str  # "model" (the whole graph), "name", "repeat", "block" (one repeat) or "range"
    children: List[int]  # node i as i, group g as ~g (that is, -g - 1)
    prefix: str = ""  # the name prefix its nodes share, without the separator ("" for none)
    parent: Optional[int] = None
    nodes: int = 0  # nodes inside, at any depth
    counts: dict = dataclasses.field(default_factory=dict)  # COUNTED name -> nodes inside with it
    first: int = 0  # smallest node index inside: the group's place in graph order
    layout: object = None  # the Layout of its level
    edges: list = dataclasses.field(default_factory=list)  # level edges (child position pairs)
    edge_counts: list = dataclasses.field(default_factory=list)  # graph edges drawn by each level edge
    edge_status: list = dataclasses.field(default_factory=list)  # "added", "removed" or None per level edge
    widths: list = dataclasses.field(default_factory=list)  # drawn width of each child
    entries: set = dataclasses.field(default_factory=set)  # positions of the children edges from outside enter
    exits: set = dataclasses.field(default_factory=set)  # positions of the children edges to outside leave


@dataclasses.dataclass
class Structure:
    groups: List[Group]  # groups[0] is the whole model
    node_parent: List[int]  # the group that holds each node
    short_labels: List[str]  # each node's name without its group's prefix


def item_ref(item):
    """("node", i) or ("group", g) of an encoded item."""
    return ("node", item) if item >= 0 else ("group", ~item)


def _name_groups(scene, groups):
    """Groups by dotted or slashed prefixes, at most MAX_NAME_DEPTH deep; returns each node's holding group."""
    by_prefix = {"": 0}
    node_parent = []
    for i, node in enumerate(scene.nodes):
        name = str(node.name)
        cuts = [match.start() for match in itertools.islice(SEPARATOR.finditer(name), MAX_NAME_DEPTH)]
        parent = 0
        for cut_at in cuts:
            prefix = name[:cut_at]
            group = by_prefix.get(prefix)
            if group is None:
                start = max(prefix.rfind("."), prefix.rfind("/")) + 1
                group = by_prefix[prefix] = len(groups)
                groups.append(Group(label=prefix[start:] or prefix, kind="name", children=[], prefix=prefix,
                                    parent=parent, first=i))
                groups[parent].children.append(~group)
            parent = group
        groups[parent].children.append(i)
        node_parent.append(parent)
    return node_parent


def _dissolve_small(groups, node_parent):
    """A group of one item, or of fewer than MIN_GROUP nodes and nothing else, is replaced by its items."""
    for g in range(len(groups) - 1, 0, -1):
        group = groups[g]
        children = group.children
        if len(children) != 1 and (len(children) >= MIN_GROUP or any(item < 0 for item in children)):
            continue
        parent = groups[group.parent]
        at = parent.children.index(~g)
        parent.children[at:at + 1] = children
        _adopt(group.parent, children, groups, node_parent)
        group.children = []
        group.parent = None  # unused from now on


def _signature(item, groups, scene, interned):
    """A number that two items share when they are alike in class and shape (groups: child by child)."""
    known = interned.get(("item", item))
    if known is not None:
        return known
    if item >= 0:
        node = scene.nodes[item]
        key = ("node", node.caption)  # class and output shape
    else:
        key = ("group", tuple(_signature(child, groups, scene, interned) for child in groups[~item].children))
    signature = interned.setdefault(key, len(interned))
    interned[("item", item)] = signature  # a group's children are final once it is a child itself
    return signature


def _repeats(g, groups, scene, node_parent, interned):
    """Runs of repeated items or blocks among the children of group ``g`` become groups."""
    children = groups[g].children
    if len(children) <= REPEATS_ABOVE:
        return
    signatures = [_signature(item, groups, scene, interned) for item in children]
    count = len(children)
    result, i = [], 0
    while i < count:
        if signatures[i] not in signatures[i + 1:i + 1 + MAX_PERIOD]:  # no repeat starts here
            result.append(children[i])
            i += 1
            continue
        best = (0, 0, 0)  # (items covered, -period, repeats)
        for period in range(1, min(MAX_PERIOD, (count - i) // 2) + 1):
            block = signatures[i:i + period]
            repeats = 1
            while signatures[i + repeats * period:i + (repeats + 1) * period] == block:
                repeats += 1
            if repeats >= MIN_REPEATS.get(period, 2) and (repeats * period, -period) > best[:2]:
                best = (repeats * period, -period, repeats)
        if not best[0]:
            result.append(children[i])
            i += 1
            continue
        covered, period, repeats = best[0], -best[1], best[2]
        run = children[i:i + covered]
        if covered == count and g != 0 and period == 1:  # the group is itself the run: just name it so
            groups[g].kind = "repeat"
            groups[g].label = f"{groups[g].label} · {_item_name(run[0], groups, scene)} × {repeats}"
            return
        repeat = len(groups)
        label = " · ".join(_item_name(item, groups, scene) for item in run[:period])
        groups.append(Group(label=f"{label} × {repeats}", kind="repeat", children=[], prefix=groups[g].prefix,
                            parent=g))
        for k in range(repeats):
            members = run[k * period:(k + 1) * period]
            if period == 1:
                instance = members[0]
            else:
                instance = ~len(groups)
                groups.append(Group(label=f"{k + 1} of {repeats}", kind="block", children=members,
                                    prefix=groups[g].prefix, parent=repeat))
                _adopt(~instance, members, groups, node_parent)
            groups[repeat].children.append(instance)
        _adopt(repeat, [item for item in groups[repeat].children], groups, node_parent)
        result.append(~repeat)
        i += covered
    groups[g].children = result


def _adopt(g, items, groups, node_parent):
    for item in items:
        if item >= 0:
            node_parent[item] = g
        else:
            groups[~item].parent = g


def _item_name(item, groups, scene):
    if item >= 0:
        return scene.nodes[item].node_type
    group = groups[~item]
    return group.label if group.kind in ("name", "repeat") else "block"


def _ranges(g, groups, scene, node_parent):
    """A group of more than MAX_ITEMS children is cut into consecutive parts (parts of parts if need be)."""
    while len(groups[g].children) > MAX_ITEMS:
        children = groups[g].children
        size = MAX_ITEMS
        while -(-len(children) // size) > MAX_ITEMS:
            size *= MAX_ITEMS
        parts = []
        for start in range(0, len(children), size):
            members = children[start:start + size]
            part = len(groups)
            groups.append(Group(label=f"{_item_label(members[0], groups, scene)} … {_item_label(members[-1], groups, scene)}",
                                kind="range",
                                children=members, prefix=groups[g].prefix, parent=g))
            _adopt(part, members, groups, node_parent)
            parts.append(~part)
        groups[g].children = parts


def _item_label(item, groups, scene):
    return groups[~item].label if item < 0 else str(scene.nodes[item].name)


def _short_label(name, prefix):
    text = str(name)
    return text[len(prefix) + 1:] if prefix and text.startswith(prefix) and len(text) > len(prefix) + 1 else text


def build_structure(scene, title, width_of_node, width_of_group):
    """The groups of ``scene`` (one, holding every node, for a model of at most FLAT_LIMIT nodes),
    with their levels laid out. ``width_of_node(node, label)`` and ``width_of_group(group)`` size the items."""
    count = len(scene.nodes)
    groups = [Group(label=title, kind="model", children=[])]
    if count <= FLAT_LIMIT:
        groups[0].children = list(range(count))
        node_parent = [0] * count
    else:
        node_parent = _name_groups(scene, groups)
        _dissolve_small(groups, node_parent)
        interned = {}
        for g in _bottom_up(groups):
            _repeats(g, groups, scene, node_parent, interned)
        for g in _bottom_up(groups):
            _ranges(g, groups, scene, node_parent)
    live = _bottom_up(groups)
    short_labels = [_short_label(node.name, groups[node_parent[i]].prefix) for i, node in enumerate(scene.nodes)]
    _count(scene, groups, node_parent, live)
    _level_edges(scene, groups, node_parent, live)
    cache = {}
    for g in live:
        group = groups[g]
        group.widths = [width_of_node(scene.nodes[item], short_labels[item]) if item >= 0
                        else width_of_group(groups[~item]) for item in group.children]
        outputs = tuple(k for k, item in enumerate(group.children) if item >= 0 and scene.nodes[item].is_output)
        bundle = [status is None for status in group.edge_status]
        key = (tuple(group.widths), tuple(group.edges), outputs, tuple(bundle))
        if key not in cache:
            cache[key] = layered_layout(group.widths, group.edges, outputs, bundle)
        group.layout = cache[key]
    return Structure(groups=groups, node_parent=node_parent, short_labels=short_labels)


def _bottom_up(groups):
    """Ids of the groups in use, children before their parents."""
    order, stack = [], [0]
    while stack:
        g = stack.pop()
        order.append(g)
        stack.extend(~item for item in groups[g].children if item < 0)
    return order[::-1]


def _count(scene, groups, node_parent, live):
    for group in groups:
        group.counts = dict.fromkeys(COUNTED, 0)
        group.first = None
    for i, node in enumerate(scene.nodes):
        group = groups[node_parent[i]]
        group.nodes += 1
        if group.first is None:
            group.first = i
        for what in (node.severity, node.marked_status):
            if what:
                group.counts[what] += 1
    for g in live:
        group = groups[g]
        if group.parent is not None and g != 0:
            parent = groups[group.parent]
            parent.nodes += group.nodes
            for key, value in group.counts.items():
                parent.counts[key] += value
            if group.first is not None and (parent.first is None or group.first < parent.first):
                parent.first = group.first


def _level_edges(scene, groups, node_parent, live):
    """Each graph edge drawn once, at the level of its ends' closest common group, between the children
    that hold them; edges between the same two children are drawn once, with their count."""
    count = len(scene.nodes)
    parent = np.zeros(len(groups), np.int64)  # the root is its own parent
    for g in live:
        if g != 0:
            parent[g] = groups[g].parent
    ancestors = [np.asarray(node_parent, np.int64)]  # ancestors[k][i]: the k-th group above node i
    while ancestors[-1].any():
        ancestors.append(parent[ancestors[-1]])
    above = np.stack(ancestors[:-1] or [ancestors[0]], axis=1)
    leaf = (above != 0).sum(axis=1)  # how many groups (the root aside) hold each node
    depth = above.shape[1]
    # path[i] = the items from the top level down to node i, padded with i.
    reach = leaf[:, None] - 1 - np.arange(depth + 1)[None, :]
    nodes = np.arange(count)
    path = np.where(reach >= 0, ~above[nodes[:, None], np.clip(reach, 0, depth - 1)], nodes[:, None])
    position = {}
    for g in live:
        for k, item in enumerate(groups[g].children):
            position[item] = k
    sources, targets = scene.edge_sources, scene.edge_targets
    if not len(sources):
        return
    from_path, to_path = path[sources], path[targets]
    split = np.where(sources == targets, leaf[sources], np.argmax(from_path != to_path, axis=1))
    rows = np.arange(len(sources))
    level = np.where(split == 0, 0, from_path[rows, np.maximum(split - 1, 0)])
    level = np.where(level < 0, ~level, 0)
    first, second = from_path[rows, split], to_path[rows, split]
    codes = np.zeros(len(sources), np.int64)
    if scene.edge_status is not None:
        codes = np.array([{"added": 1, "removed": 2}.get(status, 0) for status in scene.edge_status], np.int64)
    size = count + len(groups)  # items as numbers 0 .. size - 1: nodes, then groups
    dense = lambda items: np.where(items >= 0, items, count + ~items)  # noqa: E731
    keys = (level * size + dense(first)) * size + dense(second)
    unique_keys, inverse, counts = np.unique(keys, return_inverse=True, return_counts=True)
    inverse = inverse.reshape(-1)
    undense = lambda items: np.where(items < count, items, ~(items - count))  # noqa: E731
    unique = np.stack([unique_keys // (size * size), undense(unique_keys // size % size),
                       undense(unique_keys % size)], axis=1)
    low = np.full(len(unique), 3, np.int64)
    high = np.zeros(len(unique), np.int64)
    np.minimum.at(low, inverse, codes)
    np.maximum.at(high, inverse, codes)
    order = np.argsort(_first_use(inverse, len(unique)), kind="stable")  # in graph edge order
    names = {0: None, 1: "added", 2: "removed"}
    for u in order.tolist():
        g, a, b = unique[u].tolist()
        group = groups[g]
        group.edges.append((position[a], position[b]))
        group.edge_counts.append(int(counts[u]))
        group.edge_status.append(names[int(low[u])] if low[u] == high[u] else None)
    # Ports: inside each group that an edge enters (leaves), the child that holds its end.
    for side, ends, attribute in ((from_path, sources, "exits"), (to_path, targets, "entries")):
        for k in range(1, path.shape[1]):
            inside = (k > split) & (k <= leaf[ends])
            if not inside.any():
                continue
            pairs = np.unique(np.stack([~side[inside, k - 1], side[inside, k]], axis=1), axis=0)
            for g, item in pairs.tolist():
                getattr(groups[g], attribute).add(position[item])


def _first_use(inverse, size):
    """The first position at which each of ``size`` values appears in ``inverse``."""
    first = np.full(size, len(inverse), np.int64)
    np.minimum.at(first, inverse, np.arange(len(inverse)))
    return first

