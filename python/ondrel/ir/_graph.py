"""The graph container."""

from collections.abc import Iterable, Mapping
from itertools import compress, repeat
from operator import eq, itemgetter

import rustworkx as rx

from typing import Any, Optional, Union

from ._nodes import Input, Node, Output

Edge = tuple[str, str]


_PAIR_TYPES = {tuple, list}
_first = itemgetter(0)
_second = itemgetter(1)


def edge_problem(nodes, edge):
    """Why ``edge`` is unusable with ``nodes``, or None if it is fine."""
    if not isinstance(edge, (tuple, list)) or len(edge) != 2:
        return f"Edge {edge!r} is not a (source, destination) pair"
    for end in edge:
        try:
            known = end in nodes
        except TypeError:  # unhashable endpoint
            known = False
        if not known:
            return f"Edge {tuple(edge)!r} references unknown node {end!r}"
    return None


def _index_pairs(index, edges):
    """``edges`` as (source index, destination index) pairs."""
    # Fast path iterates in C only; the type check keeps a 2-char string from
    # unpacking as a pair.
    if set(map(type, edges)) <= _PAIR_TYPES and set(map(len, edges)) == {2}:
        get = index.__getitem__
        try:
            return list(zip(map(get, map(_first, edges)), map(get, map(_second, edges))))
        except (KeyError, TypeError):
            pass
    pairs = []
    for edge in edges:
        problem = edge_problem(index, edge)
        if problem:
            raise ValueError(problem)
        pairs.append((index[edge[0]], index[edge[1]]))
    return pairs


class Graph:
    """Named nodes (insertion ordered), ordered ``(source, destination)`` edges
    and a metadata dict.

    The objects passed in are kept as they are, not copied, and nothing is
    checked here; call :meth:`validate` for that.
    """

    nodes: dict[str, Node]
    edges: list[Edge]
    metadata: dict[str, Any]

    def __init__(
        self,
        nodes: Optional[Union[Mapping[str, Node], Iterable[tuple[str, Node]]]] = None,
        edges: Optional[Iterable[Edge]] = None,
        metadata: Optional[Mapping[str, Any]] = None,
    ) -> None:
        self.nodes = {} if nodes is None else nodes if isinstance(nodes, dict) else dict(nodes)
        self.edges = [] if edges is None else edges if isinstance(edges, list) else list(edges)
        self.metadata = {} if metadata is None else metadata if isinstance(metadata, dict) else dict(metadata)

    # The filters below iterate in C: one isinstance per node, no Python frame
    # (and no narrowing a type checker could follow).
    @property
    def inputs(self) -> dict[str, Input]:
        """The Input nodes, in node order."""
        nodes = self.nodes
        return dict(compress(nodes.items(), map(isinstance, nodes.values(), repeat(Input))))  # type: ignore[arg-type]

    @property
    def outputs(self) -> dict[str, Output]:
        """The Output nodes, in node order."""
        nodes = self.nodes
        return dict(compress(nodes.items(), map(isinstance, nodes.values(), repeat(Output))))  # type: ignore[arg-type]

    def _edges_are_sound(self):
        """True when every edge is a (source, destination) pair of known, distinct
        nodes, checked in C; False when the edge loop must find the first fault."""
        edges, nodes = self.edges, self.nodes
        if not edges:
            return True
        if not (set(map(type, edges)) <= _PAIR_TYPES and set(map(len, edges)) == {2}):
            return False
        sources, destinations = list(map(_first, edges)), list(map(_second, edges))
        try:
            known = all(map(nodes.__contains__, sources)) and all(map(nodes.__contains__, destinations))
        except TypeError:  # unhashable endpoint
            return False
        return known and not any(map(eq, sources, destinations))

    def validate(self) -> None:
        """Raise ValueError naming the first structural problem found."""
        nodes = self.nodes
        if not all(map(isinstance, nodes.values(), repeat(Node))):
            self._raise_for_nodes()
        if not self._edges_are_sound():
            self._raise_for_edges()
        if not self.inputs:
            raise ValueError("Graph has no Input node")
        if not self.outputs:
            raise ValueError("Graph has no Output node")

    def _raise_for_nodes(self):
        for name, node in self.nodes.items():
            if not isinstance(node, Node):
                raise ValueError(f"Node {name!r} is not an IR node (got {type(node).__name__})")

    def _raise_for_edges(self):
        for edge in self.edges:
            problem = edge_problem(self.nodes, edge)
            if problem:
                raise ValueError(problem)
            if edge[0] == edge[1]:
                raise ValueError(f"Self-loop on node {edge[0]!r}")

    def _get_rx_graph(self) -> rx.PyDiGraph:
        """A new PyDiGraph: index i is the i-th node (payload: its name), one
        edge per entry of ``edges``, duplicates included."""
        names = list(self.nodes)
        edges = self.edges
        graph: rx.PyDiGraph
        try:  # (the ignore is for checkers that read rustworkx 0.14's stubs)
            graph = rx.PyDiGraph(node_count_hint=len(names), edge_count_hint=len(edges))  # type: ignore[call-arg]
        except TypeError:  # rustworkx before 0.15 takes no size hints
            graph = rx.PyDiGraph()
        graph.add_nodes_from(names)
        if edges:
            graph.add_edges_from_no_data(_index_pairs(dict(zip(names, range(len(names)))), edges))
        return graph

    def __repr__(self):
        return f"<Graph: {len(self.nodes)} nodes, {len(self.edges)} edges>"

    def _repr_html_(self) -> str:
        """The nodes as a table (name, class, port shapes), as notebooks display a graph."""
        from .._tables import html_table, port_text

        rows = [(name, type(node).__name__, port_text(getattr(node, "input_type", None)),
                 port_text(getattr(node, "output_type", None))) for name, node in self.nodes.items()]
        return html_table(f"Graph: {len(self.nodes)} nodes, {len(self.edges)} edges",
                          ("node", "class", "input", "output"), rows)
