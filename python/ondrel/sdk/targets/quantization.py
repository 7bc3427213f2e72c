"""Quantization checks: weights, thresholds and time constants against the number formats of a target,
or without one against the widths the model declares (SpikingAffine.weight_bits).

Arrays are copied out of a mapped model through the guarded copy before numpy reads them (a model
truncated meanwhile is an OSError, not SIGBUS); each check is one vectorised pass over its array,
and the slow search for a finer weight grid runs only on tensors the fast pass rejects.
"""

import math

import numpy as np

from ondrel import ir

from .figures import WEIGHTED
from .profiles import integer_range

# A value is on a grid when it is within this fraction of a step of a grid point (float32 weights
# written as k * s carry a relative error of about 1e-7).
GRID_TOLERANCE = 1e-3
# Relative error below which a threshold or time constant counts as represented exactly.
EXACT = 1e-6
DECLARED = "the width the node declares"


def _own(array):
    """``array`` in memory of its own: read through the guarded copy when a file maps it."""
    if not isinstance(array, np.ndarray):
        return None
    copied = np.empty(array.shape, array.dtype)
    if array.size:
        from .. import _mapped

        try:
            _mapped.copy(array, copied)
        except (TypeError, ValueError, BufferError):  # no plain buffer (a dtype of another package): numpy copies
            copied = np.array(array)
    return copied


def _number(value):
    return f"{value:.6g}"


def _float_gcd(values, tolerance):
    """The largest step of which every value in ``values`` (positive, sorted) is a multiple, within tolerance."""
    step = float(values[0])
    for value in values[1:]:
        a, b = max(step, float(value)), min(step, float(value))
        while b > tolerance:
            a, b = b, math.fmod(a, b)
            if a - b <= tolerance:
                b = 0.0
        step = a
    return step


def _grid_errors(rows, low, high):
    """Per row: the largest distance to the grid k * s, k in [low, high], with s the scale covering the row."""
    top, bottom = rows.max(axis=1), rows.min(axis=1)
    scale = np.maximum(np.where(top > 0, top / high, 0.0), np.where(bottom < 0, bottom / low, 0.0) if low < 0
                       else 0.0)
    safe = np.where(scale > 0, scale, 1.0)
    snapped = np.clip(np.rint(rows / safe[:, None]), low, high) * safe[:, None]
    errors = np.abs(rows - snapped).max(axis=1)
    if low >= 0:  # negative weights have no place on an unsigned grid
        errors = np.maximum(errors, np.where(bottom < 0, -bottom, 0.0))
    return errors, scale


def _on_finer_grid(row, low, high, levels):
    """Whether the values of ``row`` are multiples k * s of some step s with k in [low, high]."""
    values = np.unique(row)
    if values.size > levels:
        return False
    magnitudes = np.unique(np.abs(values[values != 0]))
    if not magnitudes.size:
        return True
    step = _float_gcd(magnitudes, magnitudes[-1] * GRID_TOLERANCE / levels)
    if step <= 0:
        return False
    multiples = values / step
    whole = np.rint(multiples)
    return bool(np.all(np.abs(multiples - whole) <= GRID_TOLERANCE) and whole.min() >= low and whole.max() <= high)


def _weights(findings, name, node, number, source):
    from ondrel.ir._dtypes import is_integer

    weight = node.weight
    if not isinstance(weight, np.ndarray) or weight.size == 0 or weight.dtype.kind == "b":
        return
    bits, signed, per = number
    low, high = integer_range(bits, signed)
    values = _own(weight)
    if is_integer(values.dtype):
        values = values.astype(np.int64)
        outside = (values < low) | (values > high)
        count = int(np.count_nonzero(outside))
        if count:
            worst = int(values.min()) if values.min() < low else int(values.max())
            findings.add("QUANT_WEIGHT_RANGE", name, count=count, low=low, high=high, bits=bits,
                         signed=signed, value=worst, source=source)
        return
    rows = values.astype(np.float64).reshape(values.shape[0] if per == "channel" else 1, -1)
    if not np.all(np.isfinite(rows)):
        return  # not a number is the linter's finding, not a rounding error
    errors, scale = _grid_errors(rows, low, high)
    off = np.flatnonzero(errors > GRID_TOLERANCE * scale)
    levels = high - low + 1
    off = [row for row in off if not _on_finer_grid(rows[row], low, high, levels)]
    if off:
        findings.add("QUANT_WEIGHT_GRID", name, bits=bits, per="output channel" if per == "channel" else "tensor",
                     error=_number(float(errors[off].max())), source=source)


def _thresholds(findings, name, values, number, source):
    bits, signed, shift = number
    low, high = integer_range(bits, signed)
    step = float(2 ** shift)
    lowest, highest = low * step, high * step
    outside = (values < lowest) | (values > highest)
    if outside.any():
        bad = values[outside]
        worst = float(bad[np.argmax(np.maximum(lowest - bad, bad - highest))])
        findings.add("QUANT_THRESHOLD_RANGE", name, value=_number(worst), low=_number(lowest), high=_number(highest),
                     source=source)
    inside = values[~outside]
    if inside.size:
        effective = np.rint(inside / step) * step
        error = np.abs(effective - inside) / np.where(inside != 0, np.abs(inside), 1.0)
        worst = int(np.argmax(error))
        if error[worst] > EXACT:
            findings.add("QUANT_THRESHOLD", name, value=_number(float(inside[worst])),
                         effective=_number(float(effective[worst])), error=f"{float(error[worst]):.3%}",
                         source=source)


def _decays(findings, name, tau, decay, source):
    """Representable time constants: 2^s for a shift s (at most 2^bits - 1 when the width is given), or
    2^bits / k for a fraction k / 2^bits, k from 1 to 2^bits; the range is 1 to the largest of them."""
    if decay.encoding.value == "shift":
        most = 2 ** decay.bits.value - 1 if decay.bits is not None else None
        high = 2.0 ** most if most is not None else math.inf
    else:
        width = 2.0 ** decay.bits.value
        high = width
    outside = ~((tau >= 1.0) & (tau <= high))
    if outside.any():
        bad = tau[outside]
        findings.add("QUANT_DECAY_RANGE", name, value=_number(float(bad[np.argmax(np.abs(np.log(np.where(
            bad > 0, bad, 1e-300))))])), low=_number(1.0), high=_number(high), source=source)
    inside = tau[~outside]
    if not inside.size:
        return
    if decay.encoding.value == "shift":
        effective = np.exp2(np.rint(np.log2(inside)))
    else:
        effective = width / np.clip(np.rint(width / inside), 1, width)
    error = np.abs(effective - inside) / inside
    worst = int(np.argmax(error))
    if error[worst] > EXACT:
        findings.add("QUANT_DECAY", name, value=_number(float(inside[worst])), effective=_number(float(effective[worst])),
                     error=f"{float(error[worst]):.3%}", source=source)


def _integer_fed(graph):
    """The LIF nodes fed directly by weighted nodes whose weights are all integers: their thresholds are in
    the device's units. A toolchain rescales a layer of float weights together with its threshold."""
    from ondrel.ir._dtypes import is_integer

    fed = {}
    for source, destination in graph.edges:
        node = graph.nodes.get(source)
        if isinstance(node, WEIGHTED):
            weight = node.weight
            integer = isinstance(weight, np.ndarray) and is_integer(weight.dtype) and weight.dtype.kind != "b"
            fed[destination] = fed.get(destination, True) and integer
    return {name for name, integer in fed.items() if integer and isinstance(graph.nodes.get(name), ir.LIF)}


def check_quantization(graph, profile, findings):
    """Add the quantization findings of ``graph`` to ``findings``; ``profile`` None: declared widths only."""
    weights = profile.weights if profile is not None else None
    target_weights = None
    if weights is not None and weights.bits is not None:
        target_weights = ((weights.bits.value, weights.signed.value, weights.per.value), profile.source(weights.bits))
    threshold = None
    if profile is not None:
        number = profile.threshold or (profile.state if profile.state is not None and profile.state.bits is not None
                                       and profile.state.kind.value == "integer" else None)
        if number is not None and number.kind.value == "integer":
            threshold = ((number.bits.value, number.signed.value, number.shift.value), profile.source(number.bits))
    decay = profile.decay if profile is not None else None
    integer_fed = _integer_fed(graph) if threshold is not None else set()
    for name, node in graph.nodes.items():
        if isinstance(node, WEIGHTED):
            if target_weights is not None:
                _weights(findings, name, node, *target_weights)
            elif isinstance(node, ir.SpikingAffine) and isinstance(node.weight_bits, int) and node.weight_bits >= 1:
                _weights(findings, name, node, (min(node.weight_bits, 64), "twos-complement", "tensor"), DECLARED)
        elif isinstance(node, ir.LIF) and (threshold is not None or decay is not None):
            if name in integer_fed and isinstance(node.v_threshold, np.ndarray) and node.v_threshold.size:
                values = _own(node.v_threshold).astype(np.float64).ravel()
                if np.all(np.isfinite(values)):
                    _thresholds(findings, name, values, *threshold)
            if decay is not None and isinstance(node.tau, np.ndarray) and node.tau.size:
                tau = _own(node.tau).astype(np.float64).ravel()
                if np.all(np.isfinite(tau)):
                    _decays(findings, name, tau, decay, profile.source(decay.encoding))
