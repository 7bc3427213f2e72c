"""Node types. Attribute names are part of the contract with the compiled services."""

import dataclasses
from typing import Any, Optional, Tuple

import numpy as np

Array = Optional[np.ndarray]

# eq=False: fields hold numpy arrays, whose == is elementwise; kw_only lets
# subclass fields follow the defaulted base fields.
_node = dataclasses.dataclass(eq=False, kw_only=True)


@_node
class Node:
    """Base of every node. ``input_type``/``output_type`` map a port name
    ("input", "output") to a shape array, e.g. ``{"input": np.array([1, 28, 28])}``."""

    input_type: Optional[dict] = None
    output_type: Optional[dict] = None


@_node
class Input(Node):
    """Graph entry point."""


@_node
class Output(Node):
    """Graph exit point."""


@_node
class Affine(Node):
    weight: Array = None
    bias: Array = None


@_node
class SpikingAffine(Node):
    weight: Array = None
    bias: Array = None
    spike_mode: str = "binary"
    weight_bits: int = 8
    accumulator_bits: int = 16


@_node
class Conv2d(Node):
    weight: Array = None
    bias: Array = None
    stride: Tuple[int, int] = (1, 1)
    padding: Tuple[int, int] = (0, 0)
    dilation: Tuple[int, int] = (1, 1)
    groups: int = 1


@_node
class SepConv2d(Node):
    depthwise_weight: Array = None
    pointwise_weight: Array = None
    depthwise_bias: Array = None
    pointwise_bias: Array = None
    stride: Tuple[int, int] = (1, 1)
    padding: Tuple[int, int] = (0, 0)
    dilation: Tuple[int, int] = (1, 1)


@_node
class LIF(Node):
    tau: Array = None
    r: Array = None
    v_leak: Array = None
    v_threshold: Array = None


@_node
class MaxPool2d(Node):
    kernel_size: Tuple[int, int] = (2, 2)
    stride: Tuple[int, int] = (2, 2)
    padding: Tuple[int, int] = (0, 0)


@_node
class AvgPool2d(Node):
    kernel_size: Tuple[int, int] = (2, 2)
    stride: Tuple[int, int] = (2, 2)
    padding: Tuple[int, int] = (0, 0)
    count_include_pad: bool = True


@_node
class Flatten(Node):
    start_dim: int = 1
    end_dim: int = -1


@_node
class Skip(Node):
    """``skip_type`` is "passthrough", "residual" or "concatenate"."""

    skip_type: str = "passthrough"


@_node
class Upsample(Node):
    scale_factor: Any = 2
    size: Any = None
    mode: str = "nearest"
    align_corners: Optional[bool] = None


@_node
class ChannelSplit(Node):
    split_sections: Any = None
    dim: int = 1


@_node
class Concat(Node):
    num_inputs: int = 2
    dim: int = 1


@_node
class SGhostConv(Node):
    primary_weight: Array = None
    primary_bias: Array = None
    cheap_weight: Array = None
    cheap_bias: Array = None
    primary_stride: int = 1
    primary_padding: int = 0


@_node
class SGhostEncoderLite(Node):
    conv1_weight: Array = None
    conv1_bias: Array = None
    ghost_primary_weight: Array = None
    ghost_primary_bias: Array = None
    ghost_cheap_weight: Array = None
    ghost_cheap_bias: Array = None
    stride: int = 2


@_node
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


@_node
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


@_node
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


@_node
class DFLDecode(Node):
    dfl_weights: Array = None
    reg_max: int = 16


@_node
class Dist2BBox(Node):
    stride: int = 8


# Class name -> class, for the reader. Only these exact classes can be stored.
NODE_TYPES = {
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
