"""What a model costs on spiking hardware: neurons, synapses, synaptic operations, state memory and energy.

    from ondrel.sdk.deployment import deployment_stats

    stats = deployment_stats("model.o1c", rates=0.1, timesteps=4)
    for layer in stats.layers:
        if layer.synapses:
            print(layer.name, layer.synapses, layer.synops, layer.acs, layer.macs)
    print(stats.totals.neurons, stats.totals.energy_j)

Every figure is defined in docs/deployment.md. In short: port shapes carry a leading batch dimension, (1, C, H, W)
or (1, F), and every figure is for one sample; a LIF layer has one neuron per element of its state for one sample at
one timestep; a synapse is one connected (input element, output element) pair of a weighted layer, counted exactly
at the borders of convolutions; operations are per timestep; energy is an estimate from a cost table.
"""

import collections
import dataclasses
import math
import operator
import os
from typing import Dict, List, Optional

import numpy as np

# ---------------------------------------------------------------- records


@dataclasses.dataclass(slots=True)
class LayerCost:
    """The deployment figures of one node (every node has one, in node order). Figures a layer cannot have are 0;
    figures that need a port shape the graph does not give are None, with the reason in ``note``."""

    name: str
    node_type: str
    neurons: Optional[int]  # LIF: elements of its state for one sample at one timestep
    synapses: Optional[int]  # connected (input element, output element) pairs
    nonzero_synapses: Optional[int]  # of those, the pairs whose weight is not zero
    fan_in_mean: Optional[float]  # synapses per output element of the layer's weighted stages
    fan_in_max: Optional[int]
    fan_out_mean: Optional[float]  # synapses per input element of the layer's weighted stages
    fan_out_max: Optional[int]
    weight_bits: Optional[int]  # the widest stored bit width of its weight tensors (None without weights)
    param_bits: int  # every parameter tensor at its stored bit width
    state_bits: Optional[int]  # neurons x the state width
    input_spikes: Optional[bool]  # True: its input is binary spikes; False: analog values; None: no synapses
    input_rate: Optional[float]  # spikes per input element per timestep, for spike inputs
    dense_synops: Optional[int]  # per timestep, every synapse once
    synops: Optional[float]  # per timestep, effective: acs + macs
    acs: Optional[float]  # accumulates per timestep (synaptic events of spike inputs)
    macs: Optional[float]  # multiply-accumulates per timestep (non-spike inputs)
    neuron_updates: Optional[int]  # per timestep
    energy_per_timestep_j: Optional[float]
    energy_j: Optional[float]  # per inference of ``timesteps`` timesteps
    note: str = ""  # why figures are None


@dataclasses.dataclass
class DeploymentTotals:
    """Sums over the layers (unknown figures left out; ``incomplete`` names those layers)."""

    neurons: int
    synapses: int
    nonzero_synapses: int
    fan_in_max: int
    fan_out_max: int
    param_bits: int
    state_bits: int
    dense_synops: int
    synops: float
    acs: float
    macs: float
    neuron_updates: int
    energy_per_timestep_j: float
    energy_j: float
    timesteps: int
    incomplete: List[str]


@dataclasses.dataclass(frozen=True)
class EnergyCosts:
    """Energy per operation, in joules. The defaults are estimates: 45 nm, 0.9 V figures of M. Horowitz,
    "Computing's energy problem (and what we can do about it)", ISSCC 2014, pp. 10-14, Figure 1.1.9."""

    e_ac: float = 0.9e-12  # a 32-bit floating-point add
    e_mac: float = 4.6e-12  # a 32-bit floating-point multiply (3.7 pJ) plus add (0.9 pJ)
    e_update: float = 0.0  # a neuron update: not counted unless a table sets it
    source: str = ("estimate: M. Horowitz, ISSCC 2014, Fig. 1.1.9 (45 nm, 0.9 V): 32-bit float add 0.9 pJ, "
                   "multiply 3.7 pJ")


@dataclasses.dataclass
class DeploymentStats:
    layers: List[LayerCost]
    totals: DeploymentTotals
    timesteps: int
    state_width: int  # bits per neuron of state
    costs: EnergyCosts
    rates: str  # where the firing rates came from: "dense (no rates)", "uniform 0.1", a file name

    def to_dict(self):
        return dataclasses.asdict(self)


DEFAULT_STATE_BITS = 16  # one 16-bit membrane potential per neuron
DEFAULT_TIMESTEPS = 1


class RatesError(ValueError):
    """A firing rate or spike count that cannot be used; the message names the entry."""


class CostsError(ValueError):
    """An energy cost table that cannot be used; the message names the key."""


# ---------------------------------------------------------------- port shapes


def port_shapes(graph):
    """{name: (input shape, output shape)} of every node, each a tuple of ints (batch dimension first) or None.

    The one place port shapes come from: the shapes inferred from the Input shapes through every layer
    (``ondrel.sdk.shapes``), which follow from the weights and settings the hardware will run; where inference
    stopped, a node's declared ``input_type``/``output_type``, and where one is missing, the declared shape at the
    other end of its edge (a single predecessor's output, a successor's input)."""
    from . import _deployment

    return _deployment._port_shapes(graph)


# ---------------------------------------------------------------- guarded reads of weights

_SLICE_BYTES = 1 << 22  # weights are read in slices of about this size
_BATCH_BYTES = 1 << 24  # small weights of one shape and dtype are counted together, this many bytes at a time


def _nonzero_per_tap(weights, taps):
    """Non-zero elements per kernel tap of each of ``weights`` (arrays of one shape and dtype; ``taps`` elements
    per tap group: the last two axes of a 4-d weight, all of a 2-d one), read through guarded copies: a mapped
    file truncated meanwhile is an OSError, not a crash. Returns an int64 array [len(weights), taps]."""
    from ._mapped import copy

    first = weights[0]
    if first.size == 0:
        return np.zeros((len(weights), taps), np.int64)
    per_item = max(first.nbytes, 1)
    if per_item > _SLICE_BYTES:  # one large weight: slice by slice along its first axis
        rows = max(1, _SLICE_BYTES // max(first[:1].nbytes, 1))
        counts = np.zeros((len(weights), taps), np.int64)
        for i, weight in enumerate(weights):
            for start in range(0, weight.shape[0], rows):
                part = weight[start:start + rows]
                buffer = np.empty(part.shape, part.dtype)
                copy(part, buffer)
                counts[i] += np.count_nonzero(buffer.reshape(-1, taps) != 0, axis=0)
        return counts
    batch = max(1, min(len(weights), _BATCH_BYTES // per_item))
    buffer = np.empty((batch,) + first.shape, first.dtype)
    counts = []
    for start in range(0, len(weights), batch):
        part = weights[start:start + batch]
        for i, weight in enumerate(part):
            copy(weight, buffer[i])
        flat = buffer[:len(part)].reshape(len(part), -1, taps)
        counts.append(np.count_nonzero(flat != 0, axis=1))
    return np.concatenate(counts)


def _node_figures(graph):
    """The compiled per-node figures (``ondrel.sdk._deployment._figures``), with the non-zero synapses of the
    weights numpy counts added in."""
    from . import _deployment

    figures = _deployment._figures(graph)
    weighted = figures["weighted"]
    for position, count in _host_counted_nonzero(figures["host_counts"]).items():
        row = weighted[position]
        weighted[position] = row[:7] + (row[7] + count,) + row[8:]
    return figures


def _host_counted_nonzero(requests):
    """Non-zero synapses of the weights the compiled counter leaves to numpy (complex, long double, byte-swapped
    or strided ones): {node position: their sum}. ``requests``: (position, weight, per-tap output positions or
    None for an affine weight)."""
    found = collections.Counter()
    for position, weight, per_tap in requests:
        taps = 1 if per_tap is None else len(per_tap)
        counts = _nonzero_per_tap([weight], taps)[0]
        found[position] += int(counts.sum()) if per_tap is None else sum(
            int(c) * int(n) for c, n in zip(counts.tolist(), per_tap))
    return found


# ---------------------------------------------------------------- rates


def _check_rate(value, where):
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise RatesError(f"{where}: expected a number, got {type(value).__name__} {value!r:.60}")
    value = float(value)
    if not math.isfinite(value) or value < 0:
        raise RatesError(f"{where}: a rate must be a finite number of at least 0, not {value}")
    if value > 1:
        raise RatesError(f"{where}: a rate is spikes per neuron per timestep, at most 1, not {value}")
    return value


def _entry(name, value, where):
    """A rates-table entry as ("rate", r) or ("spikes", n)."""
    if isinstance(value, dict):
        if set(value) != {"spikes"}:
            raise RatesError(f"{where}: layer {name!r}: expected a rate or {{\"spikes\": N}}, got keys "
                             f"{sorted(map(str, value))}")
        spikes = value["spikes"]
        if isinstance(spikes, bool) or not isinstance(spikes, (int, float, np.integer, np.floating)) or \
                not math.isfinite(float(spikes)) or float(spikes) < 0:
            raise RatesError(f"{where}: layer {name!r}: spikes must be a number of at least 0, not {spikes!r:.60}")
        return ("spikes", float(spikes))
    return ("rate", _check_rate(value, f"{where}: layer {name!r}"))


def load_rates(path):
    """A rates file as {LIF layer: ("rate", r) or ("spikes", n)}: JSON, CSV or .npz (docs/deployment.md);
    RatesError naming the bad entry, OSError when it cannot be read."""
    where = os.fspath(path)
    suffix = os.path.splitext(where)[1].lower()
    if suffix == ".npz":
        try:
            with np.load(where, allow_pickle=False) as data:
                table = {name: data[name] for name in data.files}
        except (ValueError, OSError) as e:
            if isinstance(e, FileNotFoundError):
                raise
            raise RatesError(f"{where}: not a readable .npz file ({e})") from None
        entries = {}
        for name, array in table.items():
            if array.dtype.kind not in "iuf" or array.size == 0:
                raise RatesError(f"{where}: layer {name!r}: expected numbers, got an array of dtype {array.dtype}")
            if array.ndim == 0:
                entries[name] = _entry(name, array[()], where)
            else:  # recorded spike counts per neuron: their sum
                if (array < 0).any() or not np.isfinite(array).all():
                    raise RatesError(f"{where}: layer {name!r}: spike counts must be finite and at least 0")
                entries[name] = ("spikes", float(array.sum()))
        return entries
    with open(where, encoding="utf-8") as file:
        text = file.read()
    if suffix == ".csv":
        import csv

        reader = csv.reader(text.splitlines())
        header = [cell.strip() for cell in next(reader, [])]
        if len(header) != 2 or header[0] != "layer" or header[1] not in ("rate", "spikes"):
            raise RatesError(f"{where}: line 1: expected the header 'layer,rate' or 'layer,spikes', got "
                             f"{','.join(header)!r}")
        entries = {}
        for line, row in enumerate(reader, start=2):
            if not row or not any(cell.strip() for cell in row):
                continue
            if len(row) != 2:
                raise RatesError(f"{where}: line {line}: expected 2 cells, got {len(row)}")
            name, cell = row[0].strip(), row[1].strip()
            try:
                number = float(cell)
            except ValueError:
                raise RatesError(f"{where}: line {line}: layer {name!r}: expected a number, got {cell!r}") from None
            if name in entries:
                raise RatesError(f"{where}: line {line}: layer {name!r} is listed twice")
            entries[name] = _entry(name, {"spikes": number} if header[1] == "spikes" else number,
                                   f"{where}: line {line}")
        return entries
    import json

    try:
        table = json.loads(text)
    except ValueError as e:
        raise RatesError(f"{where}: not valid JSON ({e})") from None
    if not isinstance(table, dict):
        raise RatesError(f"{where}: expected a JSON object of layer names, got {type(table).__name__}")
    return {name: _entry(name, value, where) for name, value in table.items()}


def _rates_table(rates):
    """(per-layer entries or None, uniform rate or None, a description)."""
    if rates is None:
        return None, None, "dense (no rates)"
    if isinstance(rates, (str, os.PathLike)):
        return load_rates(rates), None, os.fspath(rates)
    if isinstance(rates, dict):
        return {name: _entry(name, value, "rates") for name, value in rates.items()}, None, "per layer"
    rate = _check_rate(rates, "rate")
    return None, rate, f"uniform {rate:g}"


# ---------------------------------------------------------------- costs


_COST_KEYS = {"e_ac_pj": "e_ac", "e_mac_pj": "e_mac", "e_update_pj": "e_update"}


def load_costs(path):
    """An energy cost table from a TOML file (docs/deployment.md); CostsError naming the bad key."""
    import sys

    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    where = os.fspath(path)
    with open(where, "rb") as file:
        try:
            table = tomllib.load(file)
        except tomllib.TOMLDecodeError as e:
            raise CostsError(f"{where}: not valid TOML ({e})") from None
    return costs_from_table(table, where)


def costs_from_table(table, where="costs"):
    values = {}
    for key, value in table.items():
        if key == "source":
            if not isinstance(value, str):
                raise CostsError(f"{where}: key 'source': expected a string")
            values["source"] = value
            continue
        if key not in _COST_KEYS:
            raise CostsError(f"{where}: unknown key {key!r} (known: {', '.join([*_COST_KEYS, 'source'])})")
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) or value < 0:
            raise CostsError(f"{where}: key {key!r}: expected a number of picojoules of at least 0, got {value!r}")
        values[_COST_KEYS[key]] = float(value) * 1e-12
    values.setdefault("source", f"user table {where}")
    return dataclasses.replace(EnergyCosts(), **values)


def _costs(costs):
    if costs is None:
        return EnergyCosts()
    if isinstance(costs, EnergyCosts):
        return costs
    if isinstance(costs, dict):
        return costs_from_table(costs)
    return load_costs(costs)


# ---------------------------------------------------------------- the figures


def deployment_stats(graph, rates=None, timesteps=DEFAULT_TIMESTEPS, costs=None,
                     state_bits=DEFAULT_STATE_BITS) -> DeploymentStats:
    """The deployment figures of ``graph`` (an ``ir.Graph`` or a path of an ``.o1c`` file).

    ``rates``: None (every input element active every timestep: effective operations equal the dense ones), a
    uniform rate (spikes per neuron per timestep), a dict {LIF layer: rate or {"spikes": N}} or the path of a
    rates file (JSON, CSV or .npz). ``timesteps``: T of one inference. ``costs``: None (the default estimates),
    an ``EnergyCosts``, a dict or the path of a TOML table. ``state_bits``: bits of state per neuron.
    RatesError / CostsError name a bad entry; ValueError a bad argument.
    """
    from ondrel import ir
    from ondrel.ir._o1c import _collector_paused

    if isinstance(graph, (str, bytes, os.PathLike)):
        graph = ir.read(graph)
    # A record or two per node and none in a cycle: collections meanwhile would walk the graph again and again.
    with _collector_paused():
        return _deployment_stats(graph, rates, timesteps, costs, state_bits)


def _deployment_stats(graph, rates, timesteps, costs, state_bits):
    if isinstance(timesteps, bool) or not isinstance(timesteps, (int, np.integer)) or timesteps < 1:
        raise ValueError(f"timesteps must be a positive integer, not {timesteps!r}")
    if isinstance(state_bits, bool) or not isinstance(state_bits, (int, np.integer)) or state_bits < 1:
        raise ValueError(f"state_bits must be a positive integer, not {state_bits!r}")
    timesteps, state_bits = int(timesteps), int(state_bits)
    table, uniform, rates_text = _rates_table(rates)
    energy = _costs(costs)
    figures = _node_figures(graph)
    names, neurons = figures["names"], figures["neurons"]
    lif_rate = _lif_rates(table, rates_text, names, figures["kinds"], neurons, timesteps)

    def input_rate(position, sources):
        """The rate of a weighted layer's spike input: uniform, 1 without rates, else the neuron-weighted mean
        of its LIF sources' rates (a source reached twice through merges counts twice)."""
        if uniform is not None:
            return uniform
        if table is None:
            return 1.0
        missing = [lif for lif, _ in sources if lif not in lif_rate]
        if missing:
            raise RatesError(f"{rates_text}: no rate for LIF layer {names[missing[0]]!r}, which feeds "
                             f"{names[position]!r}")
        weights = [(neurons[lif] or 0) * times for lif, times in sources]
        if sum(weights) == 0:
            return sum(lif_rate[lif] * times for lif, times in sources) / sum(times for _, times in sources)
        return sum(lif_rate[lif] * w for (lif, _), w in zip(sources, weights)) / sum(weights)

    weighted = figures["weighted"]
    e_ac, e_mac, e_update = energy.e_ac, energy.e_mac, energy.e_update
    layers: List[LayerCost] = []
    for position, (name, kind, layer_neurons, param_bits) in enumerate(
            zip(names, figures["kinds"], neurons, figures["param_bits"])):
        state = None if layer_neurons is None else layer_neurons * state_bits
        note = "" if layer_neurons is not None else "no port shape for its neurons"
        row = weighted.get(position)
        if row is None:  # no synapses
            step = None if layer_neurons is None else e_update * layer_neurons
            layers.append(LayerCost(name, kind, layer_neurons, 0, 0, 0.0, 0, 0.0, 0, None, param_bits, state, None,
                                    None, 0, 0.0, 0.0, 0.0, layer_neurons, step,
                                    None if step is None else step * timesteps, note))
            continue
        synapses, first, outputs, inputs, fan_in_max, fan_out_max, weight_bits, nonzero, stage_note, sources = row
        if synapses is None:  # its settings or shapes leave the figures unknown
            layers.append(LayerCost(name, kind, layer_neurons, None, None, None, None, None, None, None, param_bits,
                                    state, None, None, None, None, None, None, layer_neurons, None, None,
                                    stage_note))
            continue
        spikes = sources is not None
        rate = input_rate(position, sources) if spikes else None
        acs = rate * first if spikes else 0.0
        macs = float(synapses - first) + (0.0 if spikes else float(first))
        step = None if layer_neurons is None else e_ac * acs + e_mac * macs + e_update * layer_neurons
        layers.append(LayerCost(name, kind, layer_neurons, synapses, nonzero,
                                synapses / outputs if outputs else 0.0, fan_in_max,
                                synapses / inputs if inputs else 0.0, fan_out_max, weight_bits, param_bits, state,
                                spikes, rate, synapses, acs + macs, acs, macs, layer_neurons, step,
                                None if step is None else step * timesteps, note))
    return DeploymentStats(layers, _totals(layers, timesteps), timesteps, state_bits, energy, rates_text)


def _lif_rates(table, rates_text, names, kinds, neurons, timesteps):
    """{LIF node position: its rate} from a rates table (spike counts over its neurons and the timesteps)."""
    if table is None:
        return {}
    positions = {name: i for i, name in enumerate(names)}
    found = {}
    for name, (kind, value) in table.items():
        if name not in positions:
            raise RatesError(f"{rates_text}: unknown layer {name!r}")
        layer_neurons, kind_of_layer = neurons[positions[name]], kinds[positions[name]]
        if kind_of_layer != "LIF":
            raise RatesError(f"{rates_text}: layer {name!r} is a {kind_of_layer}, not a LIF layer")
        if kind == "spikes":
            if not layer_neurons:
                raise RatesError(f"{rates_text}: layer {name!r}: spike counts need its neuron count, and its "
                                 "port shape is unknown")
            value = _check_rate(value / (layer_neurons * timesteps),
                                f"{rates_text}: layer {name!r} ({value:g} spikes over {layer_neurons:,} neurons "
                                f"and {timesteps} timestep(s))")
        found[positions[name]] = value
    return found


def _totals(layers, timesteps):
    int_fields = ("neurons", "synapses", "nonzero_synapses", "param_bits", "state_bits", "dense_synops",
                  "neuron_updates")
    float_fields = ("synops", "acs", "macs", "energy_per_timestep_j")
    fields = int_fields + float_fields + ("fan_in_max", "fan_out_max")
    columns = list(zip(*map(operator.attrgetter(*fields), layers))) or [()] * len(fields)
    # filter(None, ...) leaves out unknown figures (and zeros, which change no sum or maximum).
    values = dict(zip(int_fields + float_fields, (sum(filter(None, column)) for column in columns)))
    for field in float_fields:
        values[field] = float(values[field])
    return DeploymentTotals(
        **values, fan_in_max=max(filter(None, columns[-2]), default=0),
        fan_out_max=max(filter(None, columns[-1]), default=0),
        energy_j=values["energy_per_timestep_j"] * timesteps, timesteps=timesteps,
        incomplete=[layer.name for layer in layers if layer.note])


# ---------------------------------------------------------------- the report's page


def deployment_provider(graph, scene):
    """The report's Deployment columns (neurons, synapses, fan-in and fan-out maxima, dense synaptic operations
    per timestep) and a chart of operations per layer: the figures without rates, read as columns (no records)."""
    from .report.contributions import Chart, Column, Contribution

    try:
        figures = _node_figures(graph)
    except (ValueError, OSError):
        return None
    position = {name: i for i, name in enumerate(figures["names"])}
    neurons, weighted = figures["neurons"], figures["weighted"]
    no_synapses = (0, 0, 0, 0, 0, 0, None, 0)
    rows = []  # per scene node: (neurons, synapses, non-zero synapses, fan-in max, fan-out max), or None
    for node in scene.nodes:
        i = position.get(node.name)
        if i is None:
            rows.append(None)
            continue
        synapses, _, _, _, fan_in_max, fan_out_max, _, nonzero = weighted.get(i, no_synapses)[:8]
        rows.append((neurons[i], synapses, nonzero, fan_in_max, fan_out_max))
    if not any(row and (row[0] or row[1]) for row in rows):
        return None
    labels = ("Neurons", "Synapses", "Non-zero synapses", "Fan-in max", "Fan-out max")
    columns = [Column(label, [row[k] if row else None for row in rows], numeric=True) for k, label in enumerate(labels)]
    columns.append(Column("SynOps per timestep", columns[1].values, numeric=True))  # dense: every synapse once
    chart = [(str(node.name), row[1], f"{row[1]:,}", i)
             for i, (node, row) in enumerate(zip(scene.nodes, rows)) if row and row[1]]
    total_neurons = sum(filter(None, neurons))
    total_synapses = sum(row[0] for row in weighted.values() if row[0])
    return Contribution(
        title="Deployment", columns=columns,
        charts=[Chart("Synaptic operations per timestep (dense)", chart)] if chart else [],
        totals=[("Neurons", f"{total_neurons:,}"), ("Synapses", f"{total_synapses:,}"),
                ("SynOps per timestep", f"{total_synapses:,}")])
