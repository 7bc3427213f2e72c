"""The SDK's own IR layer: node types, the graph container and ``.o1c`` files.

A graph is a dict of named nodes plus an ordered list of ``(source,
destination)`` edges and a free-form metadata dict. Nodes are plain
dataclasses whose attributes (numpy arrays and hyper-parameters) are what the
compiled SDK services read.

    from ondrel import ir
    g = ir.Graph(nodes={"in": ir.Input(), "fc": ir.Affine(weight=w), "out": ir.Output()},
                 edges=[("in", "fc"), ("fc", "out")])
    g.validate()
    ir.write("model.o1c", g)
    same = ir.read("model.o1c")
"""

from ._graph import Graph
from ._nodes import (
    LIF,
    NODE_TYPES,
    Affine,
    AvgPool2d,
    ChannelSplit,
    Concat,
    Conv2d,
    DFLDecode,
    Dist2BBox,
    Flatten,
    GhostBasicBlock1,
    GhostBasicBlock2,
    Input,
    MaxPool2d,
    Node,
    Output,
    SDDetect,
    SepConv2d,
    SGhostConv,
    SGhostEncoderLite,
    Skip,
    SpikingAffine,
    Upsample,
)
from ._o1c import read, write

__all__ = [
    "Node",
    "Input",
    "Output",
    "Affine",
    "SpikingAffine",
    "Conv2d",
    "SepConv2d",
    "LIF",
    "MaxPool2d",
    "AvgPool2d",
    "Flatten",
    "Skip",
    "Upsample",
    "ChannelSplit",
    "Concat",
    "SGhostConv",
    "SGhostEncoderLite",
    "GhostBasicBlock1",
    "GhostBasicBlock2",
    "SDDetect",
    "DFLDecode",
    "Dist2BBox",
    "Graph",
    "read",
    "write",
]
