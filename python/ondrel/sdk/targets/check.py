"""Mapping a graph onto a target profile: layers, packing onto cores, and the findings.

A layer is a LIF node with the weighted nodes (Affine, SpikingAffine, Conv2d) that feed it
directly; a weighted node that feeds no LIF node is a layer of its own whose neurons are its
output elements. Layers are packed in topological order, each onto the first core with room
for all its resources (first fit; on targets whose cores hold one layer each, the first
unused core with room). Where the profile allows it, a layer too large for one core is split
across consecutive empty cores, each part taking as many of its neurons as fit (synapses and
kernel entries per neuron being the layer's average; every part reads all its inputs).
"""

import dataclasses
import math
from typing import Dict, List, Optional

from .figures import layer_figures
from .profiles import load_profile

# Per-core resources, in table order: profile key (and LayerUse field) -> words for the utilisation table.
RESOURCES = {
    "neurons": "neurons", "synapses": "synapses", "synapse_bits": "synapse bits", "input_axons": "input axons",
    "kernel_entries": "kernel entries", "neuron_entries": "neuron entries",
}
RESOURCE_CODES = {
    "neurons": "TARGET_NEURONS", "synapses": "TARGET_SYNAPSES", "synapse_bits": "TARGET_SYNAPSE_MEMORY",
    "input_axons": "TARGET_INPUT_AXONS", "kernel_entries": "TARGET_KERNEL_MEMORY",
    "neuron_entries": "TARGET_NEURON_MEMORY",
}
# Resources that splitting a layer's neurons over several cores divides (input axons are read by every part).
_DIVIDED = ("neurons", "synapses", "synapse_bits", "kernel_entries", "neuron_entries")


@dataclasses.dataclass
class LayerUse:
    """What one layer asks of a core."""

    name: str
    nodes: tuple  # the LIF node (if any) and the weighted nodes feeding it
    neurons: int = 0
    synapses: int = 0
    synapse_bits: int = 0
    input_axons: int = 0
    kernel_entries: int = 0
    neuron_entries: int = 0
    readout: bool = False  # feeds an Output node on a target with separate readout neurons


@dataclasses.dataclass
class CoreUse:
    core: int
    layers: List[str]
    used: Dict[str, int]
    capacity: Dict[str, int]


@dataclasses.dataclass
class Utilisation:
    """Per core and per resource: what the packing uses of what the target has."""

    target: str
    cores_used: int
    cores: Optional[int]  # the target's, None when it sets no count
    per_core: List[CoreUse]
    per_resource: Dict[str, Dict[str, int]]  # resource -> {"used", "capacity"}
    fits: bool = True

    def to_dict(self):
        return dataclasses.asdict(self)


@dataclasses.dataclass
class TargetReport:
    issues: list  # LintIssue
    utilisation: Utilisation

    @property
    def fits(self):
        return self.utilisation.fits


def _log2_ceil(n):
    return max(int(n) - 1, 0).bit_length()


def _kernel_entries(kernel, formula):
    c, taps, f = kernel
    if formula == "power-of-two":
        return c << (_log2_ceil(taps) + _log2_ceil(f))
    return c * taps * f


def _neuron_entries(grid, formula):
    c, h, w = grid
    if formula == "power-of-two":
        return c << (_log2_ceil(h) + _log2_ceil(w))
    return c * h * w


def _topological_names(graph):
    import rustworkx as rx

    try:
        rx_graph = graph._get_rx_graph()
        return [rx_graph[index] for index in rx.topological_sort(rx_graph)]
    except (rx.DAGHasCycle, ValueError):
        return list(graph.nodes)


class Findings:
    """The issues of one check, with their messages written from the catalogue."""

    def __init__(self, profile):
        from ondrel.sdk.lint import LintResult

        self.result = LintResult()
        self.target = f"{profile.name} {profile.version}" if profile is not None else "the declared widths"

    def add(self, code, node=None, **values):
        from ..lint_selection import rule

        entry = rule(code)
        values = {key: f"{value:,}" if isinstance(value, int) and not isinstance(value, bool) else value
                  for key, value in values.items()}
        values.setdefault("target", self.target)
        message = entry.message.format(node=node, **values)
        suggestion = entry.suggestion.format(**values) if "{" in entry.suggestion else entry.suggestion
        getattr(self.result, f"add_{entry.severity}")(code, message, node=node, suggestion=suggestion)


def _layers(graph, figures, profile, weight_bits):
    """The layers of ``graph`` in topological order, and the weighted nodes each one holds."""
    from ondrel import ir

    successors, predecessors = {}, {}
    for source, destination in graph.edges:
        successors.setdefault(source, []).append(destination)
        predecessors.setdefault(destination, []).append(source)
    nodes = graph.nodes
    separate_readout = "outputs" in profile.device

    def feeds_output(name):
        return any(isinstance(nodes.get(after), ir.Output) for after in successors.get(name, ()))

    layers, claimed = [], set()
    order = _topological_names(graph)
    for name in order:
        node = nodes[name]
        if isinstance(node, ir.LIF):
            feeding = tuple(before for before in dict.fromkeys(predecessors.get(name, ()))
                            if figures[before].kernel is not None)
            claimed.update(feeding)
            layers.append((name, feeding))
    for name in order:
        if name not in claimed and figures[name].kernel is not None:
            layers.append((name, (name,)))
    position = {name: i for i, name in enumerate(order)}
    layers.sort(key=lambda layer: min(position[n] for n in (layer[0],) + layer[1]))
    uses = []
    for name, feeding in layers:
        lif = figures[name] if figures[name].neurons is not None else None
        use = LayerUse(name, (name,) + tuple(n for n in feeding if n != name))
        if lif is not None:
            use.neurons = lif.neurons
            use.neuron_entries = _neuron_entries(lif.neuron_grid, profile.neuron_memory)
        elif isinstance(nodes[name], ir.LIF):
            continue  # no shape: reported once, not packed
        else:
            use.neurons = figures[name].outputs
            use.neuron_entries = _neuron_entries((use.neurons, 1, 1), profile.neuron_memory)
        for weighted in feeding:
            f = figures[weighted]
            use.synapses += f.synapses
            use.synapse_bits += f.synapses * (weight_bits or f.weight_bits or 0)
            use.input_axons += f.inputs
            use.kernel_entries += _kernel_entries(f.kernel, profile.kernel_memory)
        use.readout = separate_readout and any(feeds_output(n) for n in use.nodes)
        uses.append(use)
    return uses


class _Packing:
    """First-fit packing onto the target's cores. Cores of one size are opened as needed (past the
    target's count too, so that the cores a model needs can be told); cores that differ in size all
    exist from the start, and a layer that finds none free with room counts as one core short."""

    def __init__(self, profile):
        self.profile = profile
        self.resources = [key for key in RESOURCES if key in profile.core]
        self.share = profile.share.value
        self.uniform = not any(isinstance(profile.core[key].value, tuple) for key in self.resources)
        self.cores = [] if self.uniform else [self.new_core(i) for i in range(profile.cores)]
        self.short = 0  # layers that would fit an empty core of the target, but none was left

    def new_core(self, index):
        return CoreUse(index, [], {key: 0 for key in self.resources},
                       {key: self.profile.core[key].at(index) for key in self.resources})

    def room(self, core, need):
        used, capacity = core.used, core.capacity
        return all(used[key] + need[key] <= capacity[key] for key in self.resources)

    def place(self, core, name, need):
        core.layers.append(name)
        for key in self.resources:
            core.used[key] += need[key]

    def fits_empty(self, need):
        """Whether some core of the target, empty, has room for ``need``."""
        if self.uniform:
            return self.room(self.new_core(0), need)
        return any(self.room(self.new_core(i), need) for i in range(self.profile.cores))

    def first_fit(self, name, need):
        """Place the whole layer; False when no core has room."""
        for core in self.cores:
            if (self.share or not core.layers) and self.room(core, need):
                self.place(core, name, need)
                return True
        if not self.uniform:
            if self.fits_empty(need):
                self.short += 1
                return True
            return False
        core = self.new_core(len(self.cores))
        if not self.room(core, need):
            return False
        self.cores.append(core)
        self.place(core, name, need)
        return True

    def split(self, name, need, neurons):
        """Spread the layer's neurons over new cores; False when not even one neuron fits an empty core."""
        per_neuron = {key: need[key] / neurons for key in self.resources}
        probe = self.new_core(0)
        fit = neurons
        for key in self.resources:
            if key in _DIVIDED and per_neuron[key] > 0:
                fit = min(fit, int(probe.capacity[key] // per_neuron[key]))
            elif need[key] > probe.capacity[key]:
                fit = 0
        if fit < 1:
            return False
        for start in range(0, neurons, fit):
            part = min(fit, neurons - start)
            core = self.new_core(len(self.cores))
            self.cores.append(core)
            self.place(core, f"{name}[{start}:{start + part}]",
                       {key: math.ceil(per_neuron[key] * part) if key in _DIVIDED else need[key]
                        for key in self.resources})
        return True

    def needed(self):
        return sum(1 for core in self.cores if core.layers) + self.short


def _add_sized(findings, figures, names):
    for name in names:
        f = figures[name]
        if f.note and (f.node_type == "LIF" or f.kernel is None and f.node_type in ("Affine", "SpikingAffine",
                                                                                    "Conv2d")):
            findings.add("TARGET_UNKNOWN_SIZE", name, reason=f.note)


def check_declared(graph):
    """The quantization findings of ``graph`` against the widths its nodes declare (no target)."""
    from .quantization import check_quantization

    findings = Findings(None)
    if not _broken(graph, findings):
        check_quantization(graph, None, findings)
    return list(findings.result.issues)


def _broken(graph, findings):
    """Whether ``graph`` fails its own validation; if so, the linter's STRUCTURE finding says why."""
    try:
        graph.validate()
    except ValueError as e:
        findings.add("STRUCTURE", None, error=str(e))
        return True
    return False


def check_target(graph, profile):
    """The findings of mapping ``graph`` onto ``profile`` (a ``TargetProfile``, a shipped name or a path):
    a ``TargetReport`` with the issues (``LintIssue``s, every violation at once) and the utilisation."""
    from .quantization import check_quantization

    profile = load_profile(profile)
    findings = Findings(profile)
    if _broken(graph, findings):  # nothing can be mapped
        return TargetReport(list(findings.result.issues), Utilisation(findings.target, 0, profile.cores, [], {},
                                                                      fits=False))
    figures = layer_figures(graph)
    _add_sized(findings, figures, graph.nodes)
    if profile.nodes is not None:
        supported = set(profile.nodes.value) | {"Input", "Output"}
        for name, node in graph.nodes.items():
            if type(node).__name__ not in supported:
                findings.add("TARGET_NODE_CLASS", name, node_type=type(node).__name__,
                             source=profile.source(profile.nodes))
    weight_bits = profile.weights.bits if profile.weights is not None else None
    if weight_bits is not None:
        for name, f in figures.items():
            if f.weight_bits is not None and f.weight_bits > weight_bits.value:
                findings.add("TARGET_WEIGHT_BITS", name, actual=f.weight_bits, limit=weight_bits.value,
                             source=profile.source(weight_bits))
    for key, code in (("fan_in", "TARGET_FAN_IN"), ("fan_out", "TARGET_FAN_OUT")):
        limit = profile.neuron.get(key)
        if limit is not None:
            for name, f in figures.items():
                actual = getattr(f, f"{key}_max")
                if actual is not None and actual > limit.value:
                    findings.add(code, name, actual=actual, limit=limit.value, source=profile.source(limit))
    inputs = profile.device.get("inputs")
    if inputs is not None:
        total = sum(f.outputs or 0 for f in figures.values() if f.node_type == "Input")
        if total > inputs.value:
            findings.add("TARGET_INPUTS", None, actual=total, limit=inputs.value, source=profile.source(inputs))
    uses = _layers(graph, figures, profile, weight_bits.value if weight_bits else None)
    outputs = profile.device.get("outputs")
    if outputs is not None:
        total = sum(use.neurons for use in uses if use.readout)
        if total > outputs.value:
            findings.add("TARGET_OUTPUTS", None, actual=total, limit=outputs.value, source=profile.source(outputs))
    packing = _Packing(profile)
    if packing.resources:
        _pack(packing, [use for use in uses if not use.readout], profile, findings)
    utilisation = _utilisation(packing, profile)
    check_quantization(graph, profile, findings)
    utilisation.fits = not findings.result.errors
    return TargetReport(list(findings.result.issues), utilisation)


def _pack(packing, uses, profile, findings):
    splits = profile.split.value and packing.uniform and "neurons" in packing.resources
    for use in uses:
        need = {key: getattr(use, key) for key in packing.resources}
        if packing.first_fit(use.name, need):
            continue
        if splits and use.neurons > 0 and packing.split(use.name, need, use.neurons):
            continue
        # No core has room: name each resource that exceeds a core (per neuron, for a layer that may split).
        reported = False
        for key in packing.resources:
            limit = profile.core[key]
            actual = need[key]
            if splits and key in _DIVIDED and use.neurons > 0 and math.ceil(actual / use.neurons) <= limit.largest():
                continue
            if actual > limit.largest():
                findings.add(RESOURCE_CODES[key], use.name, actual=actual, limit=limit.largest(),
                             source=profile.source(limit))
                reported = True
        if not reported:
            findings.add("TARGET_NO_CORE", use.name, source=profile.source(profile.core[packing.resources[0]]))
    count = profile.device.get("cores")
    if count is not None and packing.needed() > count.value:
        findings.add("TARGET_CORES", None, actual=packing.needed(), limit=count.value, source=profile.source(count))


def _utilisation(packing, profile):
    per_resource = {}
    for key in packing.resources:
        limit = profile.core[key]
        count = profile.cores
        if count is not None:
            capacity = sum(limit.at(i) for i in range(count))
        else:
            capacity = sum(core.capacity[key] for core in packing.cores if core.layers)
        per_resource[key] = {"used": sum(core.used[key] for core in packing.cores), "capacity": capacity}
    return Utilisation(f"{profile.name} {profile.version}", packing.needed(), profile.cores,
                       [core for core in packing.cores if core.layers], per_resource)
