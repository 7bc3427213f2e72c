"""What other parts of the SDK add to a model's report: per-node figures, findings, charts and totals.

A provider is a callable ``provider(graph, scene)`` that returns a
``Contribution`` (or None when it has nothing to say about this graph). The
model view calls every registered provider once, after the scene is built, and
the page shows what they return:

- ``columns``: per-node figures, one value per scene node (``scene.nodes``
  order). Each becomes a sortable column of the layer table and a row of the
  selected node's panel, under the contribution's ``title``.
- ``findings``: findings of a kind other than lint's (shape findings, target
  limits). They join the lint findings: listed by severity, marked on their
  node, counted on the groups that hold it, and stepped through with next and
  previous finding.
- ``charts``: horizontal bar charts in the Charts section; a bar of a node
  selects it when clicked.
- ``totals``: (label, text) pairs in the header's totals.

A provider registered with ``register_provider`` applies to every model view;
one passed as ``ModelView(model, providers=[...])`` to that view alone.
Providers import what they need themselves, so an SDK part that is not
installed simply registers nothing. An example (the figures are the provider's
own)::

    from ondrel.sdk.report import Chart, Column, Contribution, register_provider

    def neurons(graph, scene):
        counts = [my_neuron_count(graph.nodes[node.name]) for node in scene.nodes]
        return Contribution(
            title="Deployment",
            columns=[Column("Neurons", counts, numeric=True)],
            charts=[Chart("Neurons per layer", [(str(node.name), n, f"{n:,}", i)
                                                for i, (node, n) in enumerate(zip(scene.nodes, counts)) if n])],
            totals=[("Neurons", f"{sum(counts):,}")])

    register_provider(neurons)
"""

import dataclasses
import math
import sys
from typing import Callable, List, Optional, Sequence, Tuple

import numpy as np

SEVERITIES = ("error", "warning", "info")


@dataclasses.dataclass
class Column:
    label: str
    values: Sequence  # one per scene node: a number, a text or None (shown empty)
    numeric: bool = False  # sorted as numbers, right-aligned
    text: Optional[Callable] = None  # how a value reads (default: numbers with separators, the rest as str)

    def cell(self, value):
        """[sort key, text] of one value, as the page's table reads it."""
        if value is None:
            return [None, ""]  # sorts first
        text = self.text(value) if self.text else f"{value:,}" if self.numeric else str(value)
        if not self.numeric:
            return [text, text]
        key = value.item() if isinstance(value, np.generic) else value  # the page's JSON holds Python numbers
        if isinstance(key, float) and not math.isfinite(key):  # nor NaN or infinity: NaN sorts with the empty
            key = None if math.isnan(key) else math.copysign(sys.float_info.max, key)
        return [key, text]


@dataclasses.dataclass
class Finding:
    severity: str  # "error", "warning" or "info"
    code: str
    message: str
    node: Optional[str] = None  # the node's name, None for the whole graph
    suggestion: str = ""

    def __post_init__(self):
        if self.severity not in SEVERITIES:
            raise ValueError(f"a finding's severity is one of {', '.join(SEVERITIES)}, not {self.severity!r}")


@dataclasses.dataclass
class Chart:
    title: str
    rows: List[Tuple]  # (label, value, value text, node index or None), drawn in this order


@dataclasses.dataclass
class Contribution:
    title: str  # names what it adds, e.g. "Deployment": the panel's heading for its columns
    columns: List[Column] = dataclasses.field(default_factory=list)
    findings: List[Finding] = dataclasses.field(default_factory=list)
    charts: List[Chart] = dataclasses.field(default_factory=list)
    totals: List[Tuple[str, str]] = dataclasses.field(default_factory=list)


PROVIDERS: List[Callable] = []  # applied to every model view


def register_provider(provider: Callable[..., Optional["Contribution"]]) -> Callable[..., Optional["Contribution"]]:
    """Add ``provider(graph, scene) -> Contribution | None`` to those every model view calls; returns it, so
    that it can decorate the function."""
    if provider not in PROVIDERS:
        PROVIDERS.append(provider)
    return provider


def contributions(graph, scene, providers=()):
    """What the registered providers and ``providers`` add to ``scene``; ValueError when a column does not
    hold one value per node."""
    found = []
    for provider in [*PROVIDERS, *providers]:
        contribution = provider(graph, scene)
        if contribution is None:
            continue
        for column in contribution.columns:
            if len(column.values) != len(scene.nodes):
                raise ValueError(f"column {column.label!r} of {contribution.title!r} has {len(column.values):,} "
                                 f"values for {len(scene.nodes):,} nodes")
        found.append(contribution)
    return found
