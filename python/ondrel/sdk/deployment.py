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
import functools
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


def _first_port(ports, preferred):
    if not isinstance(ports, dict) or not ports:
        return None
    value = ports.get(preferred)
    if value is None:
        value = next(iter(ports.values()))
    try:
        return tuple(value.tolist()) if isinstance(value, np.ndarray) and value.ndim == 1 else tuple(map(int, value))
    except (TypeError, ValueError):
        return None


def _port_shapes(graph, predecessors):
    """A function: node name -> (input shape, output shape), each a tuple of ints (batch dimension first) or None.

    The one place port shapes come from: the shapes inferred from the Input shapes through every layer
    (``ondrel.sdk.shapes``), which follow from the weights and settings the hardware will run; where inference
    stopped, a node's declared ``input_type``/``output_type``, and where one is missing, the declared shape at the
    other end of its edge (a single predecessor's output, a successor's input)."""
    from .shapes import infer_shapes

    inferred = infer_shapes(graph)
    nodes, successors = graph.nodes, []

    def declared(name, port):
        node = nodes.get(name)
        return None if node is None else _first_port(getattr(node, f"{port}_type", None), port)

    def shapes(name):
        found = inferred.get(name, {})
        inp, out = found.get("input"), found.get("output")
        inp = declared(name, "input") if inp is None else inp
        out = declared(name, "output") if out is None else out
        if inp is None:
            before = predecessors.get(name, ())
            if len(before) == 1:
                inp = declared(before[0], "output")
        if out is None:
            if not successors:
                successors.append(_neighbours(graph, backwards=False))
            for after in successors[0].get(name, ()):
                out = declared(after, "input")
                if out is not None:
                    break
        return inp, out

    return shapes


def _per_sample(shape):
    """Elements of one sample of a port shape: every dimension after the leading batch dimension."""
    if shape is None or len(shape) < 1 or min(shape, default=0) < 0:
        return None
    return math.prod(shape[1:])


# ---------------------------------------------------------------- convolution geometry


@functools.lru_cache(maxsize=8192)
def _axis(size, kernel, stride, padding, dilation):
    """One spatial axis of a convolution: (output size, per tap the number of output positions where it lands
    inside the input, most taps inside for one output, most (output, tap) pairs reading one input position).

    O(output size x kernel), and convolutions factor per axis, so nothing is ever done per element."""
    out = max((size + 2 * padding - dilation * (kernel - 1) - 1) // stride + 1, 0)
    positions = np.arange(out)[:, None] * stride - padding + np.arange(kernel)[None, :] * dilation
    inside = (positions >= 0) & (positions < size)
    per_tap = tuple(int(n) for n in inside.sum(axis=0))
    most_in = int(inside.sum(axis=1).max(initial=0))
    most_out = int(np.bincount(positions[inside], minlength=size).max(initial=0)) if size else 0
    return out, per_tap, most_in, most_out


def _pair(value, what):
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return int(value), int(value)
    if isinstance(value, (tuple, list)) and len(value) in (1, 2) and all(
            isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in value):
        return (int(value[0]), int(value[-1]))
    raise _Unknown(f"{what} {value!r} is not an integer or a pair of integers")


class _Unknown(Exception):
    """A figure that cannot be computed; its text becomes the layer's note."""


@dataclasses.dataclass
class _Stage:
    """One weighted operation inside a layer (a layer may hold several: a separable or ghost convolution)."""

    weight: np.ndarray
    synapses: int
    per_tap: Optional[np.ndarray]  # per kernel tap (ky, kx): output positions it connects; None for affine
    fan_in_max: int
    fan_out_max: int
    inputs: int  # input elements
    outputs: int  # output elements
    reads_input: bool  # reads the layer's own input (else another stage's output: analog)


def _conv(weight, chw, stride, padding, dilation, groups, reads_input):
    """A 2-d convolution of ``weight`` [C_out, C_in/groups, kh, kw] on an input of (C, H, W); returns the stage
    and the output (C_out, H_out, W_out)."""
    _check_weight(weight)
    geometry = _conv_geometry(weight.shape, chw, _hashable(stride), _hashable(padding), _hashable(dilation),
                              groups)
    if isinstance(geometry, str):
        raise _Unknown(geometry)
    synapses, per_tap, fan_in_max, fan_out_max, inputs, outputs, out = geometry
    return _Stage(weight, synapses, per_tap, fan_in_max, fan_out_max, inputs, outputs, reads_input), out


def _check_weight(weight):
    from ondrel.ir._dtypes import is_number

    if not isinstance(weight, np.ndarray) or not is_number(weight.dtype):
        raise _Unknown(f"a weight that is not a numeric array ({type(weight).__name__})")


def _hashable(value):
    return tuple(value) if isinstance(value, list) else value


@functools.lru_cache(maxsize=8192)
def _conv_geometry(shape, chw, stride, padding, dilation, groups):
    """The figures of a convolution that depend on shapes and settings alone (a large model repeats a few)."""
    if len(shape) != 4:
        return f"convolution weight of shape {tuple(shape)} is not [C_out, C_in/groups, kh, kw]"
    c_out, per_group, kh, kw = (int(d) for d in shape)
    c_in, h, w = chw
    try:
        (sh, sw), (ph, pw), (dh, dw) = _pair(stride, "stride"), _pair(padding, "padding"), _pair(dilation, "dilation")
    except _Unknown as e:
        return str(e)
    if min(sh, sw, dh, dw, kh, kw, groups) < 1 or min(ph, pw) < 0:
        return "stride, dilation, kernel and groups must be positive and padding not negative"
    if c_in is None:
        c_in = per_group * groups
    if per_group * groups != c_in or c_out % groups:
        return f"a weight of shape {tuple(shape)} in {groups} group(s) does not take {c_in} input channels"
    h_out, taps_h, in_h, out_h = _axis(h, kh, sh, ph, dh)
    w_out, taps_w, in_w, out_w = _axis(w, kw, sw, pw, dw)
    per_tap = np.array([a * b for a in taps_h for b in taps_w], np.int64)
    synapses = c_out * per_group * sum(taps_h) * sum(taps_w)
    return (synapses, per_tap, per_group * in_h * in_w if h_out and w_out else 0, (c_out // groups) * out_h * out_w,
            c_in * h * w, c_out * h_out * w_out, (c_out, h_out, w_out))


def _same(weight):
    """Padding that keeps the size at stride 1 for an odd kernel: half the kernel, per axis."""
    return (int(weight.shape[-2]) // 2, int(weight.shape[-1]) // 2) if weight.ndim == 4 else 0


def _depthwise_groups(weight, chw):
    return chw[0] if chw[0] is not None else int(weight.shape[0]) // max(int(weight.shape[1]), 1)


_LARGEST_AXIS = 1 << 24  # spatial sizes past this are not feature maps a device holds


def _chw(shape, name):
    if shape is None or len(shape) < 3:
        raise _Unknown(f"no input shape of at least (batch, H, W) for {name}")
    chw = (int(shape[-3]) if len(shape) >= 4 else None, int(shape[-2]), int(shape[-1]))
    if min(d for d in chw if d is not None) < 0 or max(chw[1:]) > _LARGEST_AXIS:
        raise _Unknown(f"input shape {shape} of {name} is not a feature map")
    return chw


def _ghost(node, prefix, chw, stride, padding, reads_input):
    """A ghost convolution: a primary convolution, then a cheap depthwise one ("same" padding, stride 1) on its
    output; their outputs are concatenated."""
    primary = getattr(node, f"{prefix}primary_weight", None)
    cheap = getattr(node, f"{prefix}cheap_weight", None)
    stages = []
    if primary is None:
        return stages, chw
    groups = chw[0] // int(primary.shape[1]) if chw[0] is not None and primary.ndim == 4 and primary.shape[1] else 1
    stage, out = _conv(primary, chw, stride, padding, 1, groups, reads_input)
    stages.append(stage)
    if cheap is not None:
        cheap_stage, cheap_out = _conv(cheap, out, 1, _same(cheap), 1, _depthwise_groups(cheap, out), False)
        stages.append(cheap_stage)
        out = (out[0] + cheap_out[0], out[1], out[2])
    return stages, out


def _affine_stages(node, shapes):
    weight = node.weight
    if weight is None:
        return []
    _check_weight(weight)
    if weight.ndim != 2:
        raise _Unknown(f"affine weight of shape {tuple(weight.shape)} is not [out, in]")
    out, inp = (int(d) for d in weight.shape)
    return [_Stage(weight, out * inp, None, inp, out, inp, out, True)]


def _conv2d_stages(node, shapes, name):
    if node.weight is None:
        return []
    chw = _chw(shapes(name)[0], name)
    groups = node.groups if isinstance(node.groups, (int, np.integer)) else 1
    return [_conv(node.weight, chw, node.stride, node.padding, node.dilation, int(groups), True)[0]]


def _sepconv_stages(node, shapes, name):
    chw = _chw(shapes(name)[0], name)
    stages = []
    if node.depthwise_weight is not None:
        depthwise = node.depthwise_weight
        stage, chw = _conv(depthwise, chw, node.stride, node.padding, node.dilation,
                           _depthwise_groups(depthwise, chw), True)
        stages.append(stage)
    if node.pointwise_weight is not None:
        stages.append(_conv(node.pointwise_weight, chw, 1, 0, 1, 1, not stages)[0])
    return stages


def _sghostconv_stages(node, shapes, name):
    return _ghost(node, "", _chw(shapes(name)[0], name), node.primary_stride, node.primary_padding, True)[0]


def _encoder_stages(node, shapes, name):
    chw, stages = _chw(shapes(name)[0], name), []
    if node.conv1_weight is not None:
        stage, chw = _conv(node.conv1_weight, chw, node.stride, _same(node.conv1_weight), 1, 1, True)
        stages.append(stage)
    return stages + _ghost(node, "ghost_", chw, 1, 0, not stages)[0]


def _basic1_stages(node, shapes, name):
    chw = _chw(shapes(name)[0], name)
    shortcut, _ = _ghost(node, "cvres_", chw, node.stride, 0, True)
    first, mid = _ghost(node, "cv0_", chw, node.stride, 0, True)
    return shortcut + first + _ghost(node, "cv2_", mid, 1, 0, False)[0]


def _basic2_stages(node, shapes, name):
    first, mid = _ghost(node, "cv0_", _chw(shapes(name)[0], name), 1, 0, True)
    return first + _ghost(node, "cv2_", mid, 1, 0, False)[0]


def _detect_stages(node, shapes, name):
    chw, stages = _chw(shapes(name)[0], name), []
    for branch in ("cv2", "cv3"):
        current = chw
        for i in range(3):
            weight = getattr(node, f"{branch}_w{i}", None)
            if weight is None:
                break
            stage, current = _conv(weight, current, 1, _same(weight), 1, 1, i == 0)
            stages.append(stage)
    return stages


# Class name -> the weighted stages of a node of it. Classes not listed have no synapses.
_STAGES = {
    "Affine": lambda node, shapes, name: _affine_stages(node, shapes),
    "SpikingAffine": lambda node, shapes, name: _affine_stages(node, shapes),
    "Conv2d": _conv2d_stages,
    "SepConv2d": _sepconv_stages,
    "SGhostConv": _sghostconv_stages,
    "SGhostEncoderLite": _encoder_stages,
    "GhostBasicBlock1": _basic1_stages,
    "GhostBasicBlock2": _basic2_stages,
    "SDDetect": _detect_stages,
}

# Nodes that pass binary spikes on as binary spikes (they select, copy or reorder elements).
_SPIKES_PASS = {
    "Flatten": lambda node: True,
    "MaxPool2d": lambda node: True,
    "ChannelSplit": lambda node: True,
    "Concat": lambda node: True,
    "Skip": lambda node: getattr(node, "skip_type", None) in ("passthrough", "concatenate"),
    "Upsample": lambda node: getattr(node, "mode", None) == "nearest",
}


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


def _nonzero_synapses(stages):
    """The non-zero synapses of each stage: per tap, its non-zero weights times the output positions it
    connects (an affine weight: its non-zero elements)."""
    groups = {}
    for i, stage in enumerate(stages):
        groups.setdefault((stage.weight.shape, stage.weight.dtype), []).append(i)
    found = [0] * len(stages)
    for (shape, _), members in groups.items():
        taps = shape[2] * shape[3] if len(shape) == 4 else 1
        counts = _nonzero_per_tap([stages[i].weight for i in members], taps)
        if len(shape) == 4:
            counts = (counts * np.stack([stages[i].per_tap for i in members])).sum(axis=1)
        for i, count in zip(members, counts.reshape(-1).tolist()):
            found[i] = count
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


def _neighbours(graph, backwards=True):
    """name -> its predecessors (``backwards``) or successors, in edge order."""
    found = collections.defaultdict(list)
    if backwards:
        for source, target in graph.edges:
            found[target].append(source)
    else:
        for source, target in graph.edges:
            found[source].append(target)
    return found


def _merge(parts):
    """The LIF layers of several inputs together; None unless every one is spikes."""
    if not parts or any(part is None for part in parts):
        return None
    return parts[0] if len(parts) == 1 else tuple(lif for part in parts for lif in part)


def _spike_sources(graph, predecessors):
    """A function: node name -> the LIF layers whose spikes reach its input unchanged in kind (through nodes
    that pass spikes on), or None when its input is not only binary spikes (or it has none)."""
    carried = {}  # name -> the LIF layers whose spikes its output is, or None

    def settle(name, open_nodes=()):
        """Settle ``name`` where its kind and its inputs allow; else the inputs still to settle."""
        node = graph.nodes.get(name)
        kind = type(node).__name__
        passes = _SPIKES_PASS.get(kind)
        if kind == "LIF" or passes is None or not passes(node):
            carried[name] = (name,) if kind == "LIF" else None
            return ()
        feeds = predecessors.get(name, ())
        todo = [p for p in feeds if p not in carried]
        if any(p in open_nodes for p in todo):  # a cycle: no settled kind
            carried[name] = None
        elif not todo:
            carried[name] = _merge([carried[p] for p in feeds])
        return todo

    for name in graph.nodes:  # one pass settles every node whose inputs come earlier in node order
        settle(name)

    def output(start):
        # The rest, iteratively, each node once: long chains must not exhaust the stack.
        stack, open_nodes = [start], {start}
        while stack:
            todo = settle(stack[-1], open_nodes)
            if stack[-1] not in carried:
                stack.extend(todo)
                open_nodes.update(todo)
                continue
            open_nodes.discard(stack.pop())
        return carried[start]

    def sources(name):
        return _merge([carried[p] if p in carried else output(p) for p in predecessors.get(name, ())])

    return sources


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
    from .tensor_sizes import _array_fields, array_key, node_tensors

    if isinstance(timesteps, bool) or not isinstance(timesteps, (int, np.integer)) or timesteps < 1:
        raise ValueError(f"timesteps must be a positive integer, not {timesteps!r}")
    if isinstance(state_bits, bool) or not isinstance(state_bits, (int, np.integer)) or state_bits < 1:
        raise ValueError(f"state_bits must be a positive integer, not {state_bits!r}")
    timesteps, state_bits = int(timesteps), int(state_bits)
    table, uniform, rates_text = _rates_table(rates)
    energy = _costs(costs)
    predecessors = _neighbours(graph)
    shapes = _port_shapes(graph, predecessors)
    sources = _spike_sources(graph, predecessors)

    neurons_of = {}
    for name, node in graph.nodes.items():
        if type(node).__name__ == "LIF":
            inp, out = shapes(name)
            shape = out or inp
            neurons_of[name] = _per_sample(shape)

    layer_rate = {}
    if table is not None:
        for name, (kind, value) in table.items():
            if name not in graph.nodes:
                raise RatesError(f"{rates_text}: unknown layer {name!r}")
            if name not in neurons_of:
                raise RatesError(f"{rates_text}: layer {name!r} is a {type(graph.nodes[name]).__name__}, "
                                 "not a LIF layer")
            if kind == "spikes":
                neurons = neurons_of[name]
                if not neurons:
                    raise RatesError(f"{rates_text}: layer {name!r}: spike counts need its neuron count, and its "
                                     "port shape is unknown")
                value = _check_rate(value / (neurons * timesteps),
                                    f"{rates_text}: layer {name!r} ({value:g} spikes over {neurons:,} neurons "
                                    f"and {timesteps} timestep(s))")
            layer_rate[name] = value

    def input_rate(name):
        lifs = sources(name)
        if lifs is None:
            return False, None
        if uniform is not None:
            return True, uniform
        if table is None:
            return True, 1.0
        missing = [lif for lif in lifs if lif not in layer_rate]
        if missing:
            raise RatesError(f"{rates_text}: no rate for LIF layer {missing[0]!r}, which feeds {name!r}")
        weights = [neurons_of[lif] or 0 for lif in lifs]
        if sum(weights) == 0:
            return True, sum(layer_rate[lif] for lif in lifs) / len(lifs)
        return True, sum(layer_rate[lif] * w for lif, w in zip(lifs, weights)) / sum(weights)

    layers: List[LayerCost] = []
    weighted: list = []
    bits_of: Dict[Optional[tuple], dict] = {}
    unknown = dict(synapses=None, nonzero_synapses=None, fan_in_mean=None, fan_in_max=None, fan_out_mean=None,
                   fan_out_max=None, weight_bits=None, input_spikes=None, input_rate=None, dense_synops=None,
                   synops=None, acs=None, macs=None)
    for name, node in graph.nodes.items():
        kind = type(node).__name__
        # Layers of one kind have tensors alike: their bit widths and sizes are read once per kind.
        key = (type(node), array_key(node)) if _array_fields(type(node)) else None
        tensors = bits_of.get(key)
        if tensors is None:
            tensors = bits_of[key] = {t.attribute: (t.bits, math.prod(t.shape) * t.bits)
                                      for t in node_tensors(name, node)}
            tensors[None] = sum(b for _, b in tensors.values())
        neurons = neurons_of.get(name, 0)
        layer = LayerCost(name, kind, neurons, 0, 0, 0.0, 0, 0.0, 0, None, tensors[None],
                          None if neurons is None else neurons * state_bits, None, None, 0, 0.0, 0.0, 0.0,
                          neurons, None, None, "" if neurons is not None else "no port shape for its neurons")
        rule = _STAGES.get(kind)
        if rule is not None:
            try:
                stages = rule(node, shapes, name)
            except (_Unknown, AttributeError, TypeError) as e:  # settings missing or of a kind no rule reads
                stages = None
                layer.note = str(e)
                for field, value in unknown.items():
                    setattr(layer, field, value)
            if stages:
                spikes, rate = input_rate(name)
                synapses, first, outputs, inputs, layer.fan_in_max, layer.fan_out_max, weights = _combined(stages)
                layer.synapses = layer.dense_synops = synapses
                layer.fan_in_mean = synapses / outputs if outputs else 0.0
                layer.fan_out_mean = synapses / inputs if inputs else 0.0
                layer.weight_bits = max((tensors[field][0] for field in tensors
                                         if field is not None and id(getattr(node, field)) in weights),
                                        default=None)
                layer.input_spikes, layer.input_rate = spikes, rate if spikes else None
                layer.acs = rate * first if spikes else 0.0
                layer.macs = float(synapses - first) + (0.0 if spikes else float(first))
                layer.synops = layer.acs + layer.macs
                weighted.append((layer, stages))
        if layer.acs is not None and neurons is not None:
            step = energy.e_ac * layer.acs + energy.e_mac * layer.macs + energy.e_update * neurons
            layer.energy_per_timestep_j, layer.energy_j = step, step * timesteps
        layers.append(layer)
    every_stage = [stage for _, stages in weighted for stage in stages]
    counts = iter(_nonzero_synapses(every_stage) if every_stage else ())
    for layer, stages in weighted:
        layer.nonzero_synapses = sum(next(counts) for _ in stages)
    return DeploymentStats(layers, _totals(layers, timesteps), timesteps, state_bits, energy, rates_text)


def _combined(stages):
    """(synapses, those of the stages that read the layer's input, outputs, inputs, fan-in max, fan-out max, ids of
    the weights) of a layer's stages."""
    if len(stages) == 1:  # most layers: no generators
        stage = stages[0]
        return (stage.synapses, stage.synapses if stage.reads_input else 0, stage.outputs, stage.inputs,
                stage.fan_in_max, stage.fan_out_max, {id(stage.weight)})
    return (sum(s.synapses for s in stages), sum(s.synapses for s in stages if s.reads_input),
            sum(s.outputs for s in stages), sum(s.inputs for s in stages), max(s.fan_in_max for s in stages),
            max(s.fan_out_max for s in stages), {id(s.weight) for s in stages})


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
    per timestep) and a chart of operations per layer."""
    from .report.contributions import Chart, Column, Contribution

    try:
        stats = deployment_stats(graph)
    except (ValueError, OSError):
        return None
    by_name = {layer.name: layer for layer in stats.layers}
    rows = [by_name.get(node.name) for node in scene.nodes]
    if not any(layer and (layer.synapses or layer.neurons) for layer in rows):
        return None

    def column(label, field):
        return Column(label, [getattr(layer, field) if layer else None for layer in rows], numeric=True)

    chart = [(str(layer.name), layer.dense_synops, f"{layer.dense_synops:,}", i)
             for i, layer in enumerate(rows) if layer and layer.dense_synops]
    totals = stats.totals
    return Contribution(
        title="Deployment",
        columns=[column("Neurons", "neurons"), column("Synapses", "synapses"),
                 column("Non-zero synapses", "nonzero_synapses"), column("Fan-in max", "fan_in_max"),
                 column("Fan-out max", "fan_out_max"), column("SynOps per timestep", "dense_synops")],
        charts=[Chart("Synaptic operations per timestep (dense)", chart)] if chart else [],
        totals=[("Neurons", f"{totals.neurons:,}"), ("Synapses", f"{totals.synapses:,}"),
                ("SynOps per timestep", f"{totals.dense_synops:,}")])
