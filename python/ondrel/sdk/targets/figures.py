"""Per-layer figures of a graph, from its port shapes and its weights.

``layer_figures(graph)`` is the one place the target check takes its figures from. Port shapes are
the deployment figures' (inferred from the Input shapes, declared ones where inference stopped; a
leading batch dimension, every figure for one sample), and neurons, synapses and the fan-in and
fan-out maxima are the records of ``ondrel.sdk.deployment.deployment_stats``; what only a device
mapping needs (the axons a layer reads, its kernel, its neuron grid) is computed here from the same
shapes. The packing and the findings only read ``LayerFigures``.
"""

import dataclasses
import functools
import math
from typing import Optional, Tuple

import numpy as np

from ondrel import ir

WEIGHTED = (ir.Affine, ir.SpikingAffine, ir.Conv2d)


@dataclasses.dataclass
class LayerFigures:
    """What one node asks of a device. None: the node has no such figure, or its shapes are not declared
    (``note`` says which)."""

    name: str
    node_type: str
    neurons: Optional[int] = None  # LIF: elements of one sample of its port shape
    neuron_grid: Optional[Tuple[int, ...]] = None  # LIF: (channels, height, width) of one sample, for memory padding
    synapses: Optional[int] = None  # weighted: connected (input element, output element) pairs
    fan_in_max: Optional[int] = None
    fan_out_max: Optional[int] = None
    inputs: Optional[int] = None  # weighted: input elements of one sample (the axons it reads)
    outputs: Optional[int] = None  # weighted: output elements of one sample
    kernel: Optional[Tuple[int, int, int]] = None  # weighted: (input channels, kernel taps, output channels)
    weight_bits: Optional[int] = None  # declared (SpikingAffine.weight_bits) or of a low-precision integer dtype
    note: str = ""


def _pair(value):
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return int(value), int(value)
    if isinstance(value, (tuple, list)) and len(value) in (1, 2):
        return int(value[0]), int(value[-1])
    raise ValueError(f"{value!r} is not an integer or a pair")


@functools.lru_cache(maxsize=4096)
def _axis(size, kernel, stride, padding, dilation):
    """One spatial axis of a convolution: (output size, taps landing inside summed over outputs, most taps inside
    for one output, most (output, tap) pairs reading one input position). Borders counted exactly."""
    out = max((size + 2 * padding - dilation * (kernel - 1) - 1) // stride + 1, 0)
    positions = np.arange(out)[:, None] * stride - padding + np.arange(kernel)[None, :] * dilation
    inside = (positions >= 0) & (positions < size)
    most_out = int(np.bincount(positions[inside], minlength=size).max(initial=0)) if size else 0
    return out, int(inside.sum()), int(inside.sum(axis=1).max(initial=0)), most_out


def _samples(shape):
    return math.prod(shape[1:]) if shape else None


def _weighted(figures, node, shape_in):
    weight = node.weight
    if not isinstance(weight, np.ndarray):
        figures.note = "no weight"
        return
    if isinstance(node, ir.SpikingAffine):
        figures.weight_bits = int(node.weight_bits)
    if isinstance(node, ir.Conv2d):
        if weight.ndim != 4 or shape_in is None or len(shape_in) != 4:
            figures.note = "needs a [c_out, c_in, kh, kw] weight and a declared (N, C, H, W) input shape"
            return
        c_out, c_in, kh, kw = (int(d) for d in weight.shape)
        groups = int(node.groups) if node.groups else 1
        _, channels, height, width = shape_in
        try:
            (sy, sx), (py, px), (dy, dx) = _pair(node.stride), _pair(node.padding), _pair(node.dilation)
        except (ValueError, TypeError) as e:
            figures.note = str(e)
            return
        oh, taps_y, in_y, out_y = _axis(height, kh, sy, py, dy)
        ow, taps_x, in_x, out_x = _axis(width, kw, sx, px, dx)
        figures.synapses = c_out * c_in * taps_y * taps_x
        figures.fan_in_max = c_in * in_y * in_x
        figures.fan_out_max = (c_out // max(groups, 1)) * out_y * out_x
        figures.inputs = channels * height * width
        figures.outputs = c_out * oh * ow
        figures.kernel = (c_in, kh * kw, c_out)
        return
    if weight.ndim != 2:
        figures.note = "needs an [out, in] weight"
        return
    out, inp = (int(d) for d in weight.shape)
    figures.synapses = out * inp
    figures.fan_in_max, figures.fan_out_max = inp, out
    figures.inputs, figures.outputs = inp, out
    figures.kernel = (inp, 1, out)


def layer_figures(graph):
    """name -> LayerFigures of every node, in node order. ``weight_bits`` is the declared width (the width the
    layer will be quantised to), not the stored one of the deployment records (32 for float32 weights)."""
    from ondrel.ir._dtypes import is_integer, low_precision_name, element_bits

    from ..deployment import deployment_stats, port_shapes

    shapes = port_shapes(graph)
    found = {}
    for name, node in graph.nodes.items():
        figures = found[name] = LayerFigures(name, type(node).__name__)
        shape_in, shape_out = shapes.get(name, (None, None))
        if isinstance(node, ir.LIF):
            shape = shape_in or shape_out
            if shape is None or len(shape) < 2:
                figures.note = "no port shape"
                continue
            figures.neurons = _samples(shape)
            grid = shape[1:]
            figures.neuron_grid = (grid[0], grid[1], math.prod(grid[2:])) if len(grid) >= 2 else (grid[0], 1, 1)
        elif isinstance(node, WEIGHTED):
            _weighted(figures, node, shape_in)
            weight = node.weight
            if (figures.weight_bits is None and isinstance(weight, np.ndarray) and is_integer(weight.dtype)
                    and low_precision_name(weight.dtype)):
                figures.weight_bits = element_bits(weight.dtype)
        elif isinstance(node, (ir.Input, ir.Output)):
            shape = shape_out or shape_in
            if shape is not None and len(shape) >= 2:
                figures.outputs = _samples(shape)
    for layer in deployment_stats(graph).layers:
        figures = found[layer.name]
        for field in ("neurons", "synapses", "fan_in_max", "fan_out_max"):
            if getattr(figures, field) is not None and getattr(layer, field) is not None:
                setattr(figures, field, getattr(layer, field))
    return found
