"""Node types. Attribute names are part of the contract with the compiled services.

The classes are plain dataclasses that take any value; what a field may hold
in an ``.o1c`` file is declared by its annotation, through ``FIELD_KINDS``.
"""

import dataclasses
from typing import Callable, Dict, List, Optional, Tuple, Union

import numpy as np

from ._dtypes import is_number

# Field annotations; each names one kind of value in _KIND_OF_ANNOTATION below.
Array = Optional[np.ndarray]
Ports = Optional[Dict[str, np.ndarray]]
Ints = Union[int, Tuple[int, ...], List[int]]
Reals = Union[float, Tuple[float, ...], List[float]]

# Every node class is @dataclasses.dataclass(eq=False, kw_only=True), written
# out so that type checkers see the fields. eq=False: fields hold numpy arrays,
# whose == is elementwise; kw_only lets subclass fields follow the defaulted
# base fields.


@dataclasses.dataclass(eq=False, kw_only=True)
class Node:
    """Base of every node. ``input_type``/``output_type`` map a port name
    ("input", "output") to a shape array, e.g. ``{"input": np.array([1, 28, 28])}``."""

    input_type: Ports = None
    output_type: Ports = None


@dataclasses.dataclass(eq=False, kw_only=True)
class Input(Node):
    """Graph entry point."""


@dataclasses.dataclass(eq=False, kw_only=True)
class Output(Node):
    """Graph exit point."""


@dataclasses.dataclass(eq=False, kw_only=True)
class Affine(Node):
    weight: Array = None
    bias: Array = None


@dataclasses.dataclass(eq=False, kw_only=True)
class SpikingAffine(Node):
    weight: Array = None
    bias: Array = None
    spike_mode: str = "binary"
    weight_bits: int = 8
    accumulator_bits: int = 16


@dataclasses.dataclass(eq=False, kw_only=True)
class Conv2d(Node):
    weight: Array = None
    bias: Array = None
    stride: Ints = (1, 1)
    padding: Ints = (0, 0)
    dilation: Ints = (1, 1)
    groups: int = 1


@dataclasses.dataclass(eq=False, kw_only=True)
class SepConv2d(Node):
    depthwise_weight: Array = None
    pointwise_weight: Array = None
    depthwise_bias: Array = None
    pointwise_bias: Array = None
    stride: Ints = (1, 1)
    padding: Ints = (0, 0)
    dilation: Ints = (1, 1)


@dataclasses.dataclass(eq=False, kw_only=True)
class LIF(Node):
    tau: Array = None
    r: Array = None
    v_leak: Array = None
    v_threshold: Array = None


@dataclasses.dataclass(eq=False, kw_only=True)
class MaxPool2d(Node):
    kernel_size: Ints = (2, 2)
    stride: Ints = (2, 2)
    padding: Ints = (0, 0)


@dataclasses.dataclass(eq=False, kw_only=True)
class AvgPool2d(Node):
    kernel_size: Ints = (2, 2)
    stride: Ints = (2, 2)
    padding: Ints = (0, 0)
    count_include_pad: bool = True


@dataclasses.dataclass(eq=False, kw_only=True)
class Flatten(Node):
    start_dim: int = 1
    end_dim: int = -1


@dataclasses.dataclass(eq=False, kw_only=True)
class Skip(Node):
    """``skip_type`` is "passthrough", "residual" or "concatenate"."""

    skip_type: str = "passthrough"


@dataclasses.dataclass(eq=False, kw_only=True)
class Upsample(Node):
    scale_factor: Reals = 2
    size: Optional[Ints] = None
    mode: str = "nearest"
    align_corners: Optional[bool] = None


@dataclasses.dataclass(eq=False, kw_only=True)
class ChannelSplit(Node):
    split_sections: Optional[Ints] = None
    dim: int = 1


@dataclasses.dataclass(eq=False, kw_only=True)
class Concat(Node):
    num_inputs: int = 2
    dim: int = 1


@dataclasses.dataclass(eq=False, kw_only=True)
class SGhostConv(Node):
    primary_weight: Array = None
    primary_bias: Array = None
    cheap_weight: Array = None
    cheap_bias: Array = None
    primary_stride: int = 1
    primary_padding: int = 0


@dataclasses.dataclass(eq=False, kw_only=True)
class SGhostEncoderLite(Node):
    conv1_weight: Array = None
    conv1_bias: Array = None
    ghost_primary_weight: Array = None
    ghost_primary_bias: Array = None
    ghost_cheap_weight: Array = None
    ghost_cheap_bias: Array = None
    stride: int = 2


@dataclasses.dataclass(eq=False, kw_only=True)
class GhostBasicBlock1(Node):
    cvres_primary_weight: Array = None
    cvres_primary_bias: Array = None
    cvres_cheap_weight: Array = None
    cvres_cheap_bias: Array = None
    cv0_primary_weight: Array = None
    cv0_primary_bias: Array = None
    cv0_cheap_weight: Array = None
    cv0_cheap_bias: Array = None
    cv2_primary_weight: Array = None
    cv2_primary_bias: Array = None
    cv2_cheap_weight: Array = None
    cv2_cheap_bias: Array = None
    stride: int = 2
    in_channels: int = 0
    out_channels: int = 0


@dataclasses.dataclass(eq=False, kw_only=True)
class GhostBasicBlock2(Node):
    cv0_primary_weight: Array = None
    cv0_primary_bias: Array = None
    cv0_cheap_weight: Array = None
    cv0_cheap_bias: Array = None
    cv2_primary_weight: Array = None
    cv2_primary_bias: Array = None
    cv2_cheap_weight: Array = None
    cv2_cheap_bias: Array = None
    in_channels: int = 0
    out_channels: int = 0


@dataclasses.dataclass(eq=False, kw_only=True)
class SDDetect(Node):
    cv2_w0: Array = None
    cv2_b0: Array = None
    cv2_w1: Array = None
    cv2_b1: Array = None
    cv2_w2: Array = None
    cv2_b2: Array = None
    cv3_w0: Array = None
    cv3_b0: Array = None
    cv3_w1: Array = None
    cv3_b1: Array = None
    cv3_w2: Array = None
    cv3_b2: Array = None
    num_classes: int = 80
    reg_max: int = 16
    stride: int = 8


@dataclasses.dataclass(eq=False, kw_only=True)
class DFLDecode(Node):
    dfl_weights: Array = None
    reg_max: int = 16


@dataclasses.dataclass(eq=False, kw_only=True)
class Dist2BBox(Node):
    stride: int = 8


# Class name -> class, for the reader. Only these exact classes can be stored.
NODE_TYPES: Dict[str, type[Node]] = {
    cls.__name__: cls
    for cls in (
        Input, Output, Affine, SpikingAffine, Conv2d, SepConv2d, LIF,
        MaxPool2d, AvgPool2d, Flatten, Skip, Upsample, ChannelSplit, Concat,
        SGhostConv, SGhostEncoderLite, GhostBasicBlock1, GhostBasicBlock2,
        SDDetect, DFLDecode, Dist2BBox,
    )
}

_FIELDS = {cls: {f.name: f.default for f in dataclasses.fields(cls)} for cls in NODE_TYPES.values()}


def field_defaults(cls):
    """Field name -> default value of an ir node class, base fields first."""
    return _FIELDS[cls]


# ---------------------------------------------------------------- what fields accept


@dataclasses.dataclass(frozen=True)
class Kind:
    """The values one kind of field accepts; ``text`` words it for messages."""

    text: str
    accepts: Callable[[object], bool]


def _is_integer(value):
    # bool is an int subclass, but True is not a stride.
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool)


def _is_real(value):
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool)


def _one_or_sequence(is_item):
    return lambda value: is_item(value) or (type(value) in (tuple, list) and all(map(is_item, value)))


def _or_none(accepts):
    return lambda value: value is None or accepts(value)


def _is_numeric_array(value):
    return type(value) is np.ndarray and is_number(value.dtype)


def _is_shape_array(value):
    return type(value) is np.ndarray and value.ndim == 1 and value.dtype.kind in "iu"


def _is_port_dict(value):
    return type(value) is dict and all(type(k) is str and _is_shape_array(v) for k, v in value.items())


_INTS = _one_or_sequence(_is_integer)

# One entry per field annotation used above.
_KIND_OF_ANNOTATION = {
    Array: Kind("None or a numpy array of a numeric or bool dtype", _or_none(_is_numeric_array)),
    Ports: Kind("None or a dict mapping str port names to 1-d integer numpy arrays", _or_none(_is_port_dict)),
    int: Kind("an integer", _is_integer),
    Ints: Kind("an integer or a tuple/list of integers", _INTS),
    Optional[Ints]: Kind("None, an integer or a tuple/list of integers", _or_none(_INTS)),
    Reals: Kind("a real number or a tuple/list of real numbers", _one_or_sequence(_is_real)),
    str: Kind("a str", lambda value: isinstance(value, str)),
    bool: Kind("a bool", lambda value: isinstance(value, (bool, np.bool_))),
    Optional[bool]: Kind("None or a bool", lambda value: value is None or isinstance(value, (bool, np.bool_))),
}

# Class -> field name -> Kind: what ir.write stores and ir.read accepts.
FIELD_KINDS = {
    cls: {f.name: _KIND_OF_ANNOTATION[f.type] for f in dataclasses.fields(cls)} for cls in NODE_TYPES.values()
}


def short_repr(value, limit=80):
    """repr(value), cut to ``limit`` characters; never raises."""
    try:
        text = repr(value)
    except Exception:  # e.g. an int too long for the host's int-to-text limit
        text = f"<{type(value).__name__}>"
    return text if len(text) <= limit else text[: limit - 3] + "..."


def describe(value):
    """A short description of ``value`` for an error message."""
    if isinstance(value, np.ndarray):
        return f"{type(value).__name__} of dtype {value.dtype} and shape {value.shape}"
    return f"{type(value).__name__} {short_repr(value)}"


def attribute_problem(cls, field, value):
    """Why ``value`` cannot be field ``field`` of an ir node class in a file, or None."""
    kind = FIELD_KINDS[cls][field]
    if kind.accepts(value):
        return None
    return f"expected {kind.text}, got {describe(value)}"
