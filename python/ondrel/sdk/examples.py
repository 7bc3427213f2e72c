"""The bundled example models, generated from fixed seeds.

Three small graphs that show every service at work:

- ``classifier()``: a spiking convolutional classifier for 16x16 single-channel
  images (Input, Conv2d, LIF, MaxPool2d, Flatten, Affine, SpikingAffine, LIF,
  Output); it lints clean.
- ``classifier_trained()``: the same model after "training": every convolution
  and affine parameter nudged slightly, and the convolution's stride changed to
  2, with the shapes that follow (an 8x8 feature map, 512 LIF neurons, fc1 on
  128 features), so that a diff has something to report.
- ``detector()``: a small spiking object detector built from the ghost
  convolution blocks and the detection head classes. It carries three defects
  on purpose, one lint finding of each severity: a LIF layer with a zeroed
  threshold (error), a residual skip that lost one of its two inputs (warning)
  and two graph outputs (info). Its head's output is split into the box
  distributions and the class scores (a ChannelSplit), so every declared port
  shape is the inferred one.

The models are built at run time rather than shipped as files; the same seed
always gives the same arrays, so their fingerprints never change between runs.

    from ondrel.sdk import examples
    paths = examples.write_examples("models/")   # {"classifier": "models/classifier.o1c", ...}
"""

import os

import numpy as np

from ondrel import ir

SEED = 20240611
FILE_NAMES = {
    "classifier": "classifier.o1c",
    "classifier_trained": "classifier_trained.o1c",
    "detector": "detector.o1c",
}

_F32 = np.float32


def shape(*dims):
    """A port shape array, as exporters store them: ``shape(1, 28, 28)``."""
    return np.array(dims, dtype=np.int64)


def ports(inp=None, out=None):
    """input_type/output_type keyword arguments of a node, as an exporter fills them (None: no shape)."""
    return {
        "input_type": None if inp is None else {"input": shape(*inp)},
        "output_type": None if out is None else {"output": shape(*out)},
    }


def _weights(rng, *dims):
    """He-style initialisation: trained-looking magnitudes without training."""
    fan_in = int(np.prod(dims[1:]))
    return (rng.standard_normal(dims) * np.sqrt(2.0 / fan_in)).astype(_F32)


def _bias(rng, n):
    return (rng.standard_normal(n) * 0.01).astype(_F32)


def _lif(rng, n, shape, threshold=1.0):
    return ir.LIF(
        tau=rng.uniform(10.0, 30.0, n).astype(_F32),
        r=np.ones(n, _F32),
        v_leak=np.zeros(n, _F32),
        v_threshold=np.full(n, threshold, _F32),
        **ports(shape, shape),
    )


def _chain(nodes, metadata):
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])), metadata=metadata)


def _classifier(nudge_seed=None):
    rng = np.random.default_rng(SEED)
    image = (1, 1, 16, 16)
    features = (1, 8, 16, 16)
    pooled = (1, 8, 8, 8)
    nodes = {
        "image": ir.Input(**ports(image, image)),
        "conv1": ir.Conv2d(weight=_weights(rng, 8, 1, 3, 3), bias=_bias(rng, 8), stride=(1, 1), padding=(1, 1),
                           **ports(image, features)),
        "lif1": _lif(rng, 8 * 16 * 16, features),
        "pool1": ir.MaxPool2d(kernel_size=(2, 2), stride=(2, 2), **ports(features, pooled)),
        "flatten": ir.Flatten(start_dim=1, end_dim=-1, **ports(pooled, (1, 512))),
        "fc1": ir.Affine(weight=_weights(rng, 32, 512), bias=_bias(rng, 32), **ports((1, 512), (1, 32))),
        "fc2": ir.SpikingAffine(weight=_weights(rng, 10, 32), bias=_bias(rng, 10), spike_mode="binary",
                                weight_bits=8, accumulator_bits=16, **ports((1, 32), (1, 10))),
        "lif2": _lif(rng, 10, (1, 10)),
        "logits": ir.Output(**ports((1, 10), (1, 10))),
    }
    metadata = {"model": "spiking-classifier", "dataset": "synthetic 16x16 digits", "epochs": 0}
    if nudge_seed is not None:
        nudge = np.random.default_rng(nudge_seed)
        for name in ("conv1", "fc1", "fc2"):
            node = nodes[name]
            for array in (node.weight, node.bias):
                array += (nudge.standard_normal(array.shape) * 0.01).astype(_F32)
        _stride_two(nodes, nudge)
        metadata["epochs"] = 12
    return _chain(nodes, metadata)


def _stride_two(nodes, rng):
    """The convolution's stride changed to 2 during training, and what follows from it: half the feature map,
    a quarter of the neurons in lif1, and fc1 retrained on 128 features."""
    features, pooled = (1, 8, 8, 8), (1, 8, 4, 4)
    nodes["conv1"].stride = (2, 2)
    nodes["conv1"].output_type = {"output": shape(*features)}
    nodes["lif1"] = _lif(rng, 8 * 8 * 8, features)
    nodes["pool1"].input_type, nodes["pool1"].output_type = ports(features, pooled).values()
    nodes["flatten"].input_type, nodes["flatten"].output_type = ports(pooled, (1, 128)).values()
    nodes["fc1"].weight = nodes["fc1"].weight[:, :128] * 2  # He scale for a quarter of the fan-in
    nodes["fc1"].input_type = {"input": shape(1, 128)}


def classifier():
    """The spiking convolutional classifier, as exported before training."""
    return _classifier()


def classifier_trained():
    """``classifier()`` after training: parameters nudged, the convolution's stride changed to 2 (and the
    shapes, lif1's neurons and fc1's inputs that follow from it)."""
    return _classifier(nudge_seed=SEED + 1)


def _ghost(rng, prefix, c_in, c_out):
    """Primary 1x1 and cheap depthwise 3x3 convolutions of one ghost convolution, by attribute name."""
    half = c_out // 2
    return {
        f"{prefix}primary_weight": _weights(rng, half, c_in, 1, 1),
        f"{prefix}primary_bias": _bias(rng, half),
        f"{prefix}cheap_weight": _weights(rng, half, 1, 3, 3),
        f"{prefix}cheap_bias": _bias(rng, half),
    }


def _head(rng, c_in, c_mid, reg_max, num_classes):
    """SDDetect branches: cv2 regresses box distributions, cv3 scores classes."""
    out = {}
    for branch, c_last in (("cv2", 4 * reg_max), ("cv3", num_classes)):
        dims = ((c_mid, c_in, 3, 3), (c_mid, c_mid, 3, 3), (c_last, c_mid, 1, 1))
        for i, dim in enumerate(dims):
            out[f"{branch}_w{i}"] = _weights(rng, *dim)
            out[f"{branch}_b{i}"] = _bias(rng, dim[0])
    return out


def detector():
    """A small spiking detector (64x64 RGB, 3 classes, one head at stride 4) with three deliberate lint findings."""
    rng = np.random.default_rng(SEED + 2)
    reg_max, num_classes = 8, 3
    image = (1, 3, 64, 64)
    p1 = (1, 8, 32, 32)
    p2 = (1, 16, 16, 16)
    p3 = (1, 32, 8, 8)
    merged = (1, 48, 16, 16)
    fused = (1, 32, 16, 16)
    anchors = 16 * 16
    nodes = {
        "image": ir.Input(**ports(image, image)),
        "stem": ir.SGhostEncoderLite(conv1_weight=_weights(rng, 8, 3, 3, 3), conv1_bias=_bias(rng, 8),
                                     **_ghost(rng, "ghost_", 8, 8), stride=2, **ports(image, p1)),
        # Defect (error): one neuron's threshold was zeroed, so it would fire on every step.
        "stem_lif": _lif(rng, 8 * 32 * 32, p1),
        "down1": ir.GhostBasicBlock1(**_ghost(rng, "cvres_", 8, 16), **_ghost(rng, "cv0_", 8, 16),
                                     **_ghost(rng, "cv2_", 16, 16), stride=2, in_channels=8, out_channels=16,
                                     **ports(p1, p2)),
        "down2": ir.GhostBasicBlock1(**_ghost(rng, "cvres_", 16, 32), **_ghost(rng, "cv0_", 16, 32),
                                     **_ghost(rng, "cv2_", 32, 32), stride=2, in_channels=16, out_channels=32,
                                     **ports(p2, p3)),
        "neck": ir.GhostBasicBlock2(**_ghost(rng, "cv0_", 32, 32), **_ghost(rng, "cv2_", 32, 32),
                                    in_channels=32, out_channels=32, **ports(p3, p3)),
        # Defect (warning): a residual merge whose shortcut edge from down2 was lost.
        "neck_residual": ir.Skip(skip_type="residual", **ports(p3, p3)),
        "upsample": ir.Upsample(scale_factor=2, mode="nearest", **ports(p3, (1, 32, 16, 16))),
        "merge": ir.Concat(num_inputs=2, dim=1, **ports((1, 32, 16, 16), merged)),
        "fuse": ir.GhostBasicBlock2(**_ghost(rng, "cv0_", 48, 32), **_ghost(rng, "cv2_", 32, 32),
                                    in_channels=48, out_channels=32, **ports(merged, fused)),
        "head": ir.SDDetect(**_head(rng, 32, 16, reg_max, num_classes), num_classes=num_classes,
                            reg_max=reg_max, stride=4, **ports(fused, (1, 4 * reg_max + num_classes, anchors))),
        # Box distributions to dfl, class scores to scores: the sections go to the successors in edge order.
        "split": ir.ChannelSplit(split_sections=(4 * reg_max, num_classes), dim=1,
                                 **ports((1, 4 * reg_max + num_classes, anchors), (1, 4 * reg_max, anchors))),
        "dfl": ir.DFLDecode(dfl_weights=np.arange(reg_max, dtype=_F32), reg_max=reg_max,
                            **ports((1, 4 * reg_max, anchors), (1, 4, anchors))),
        "to_boxes": ir.Dist2BBox(stride=4, **ports((1, 4, anchors), (1, 4, anchors))),
        # Two outputs (info): boxes and class scores leave the graph separately.
        "boxes": ir.Output(**ports((1, 4, anchors), (1, 4, anchors))),
        "scores": ir.Output(**ports((1, num_classes, anchors), (1, num_classes, anchors))),
    }
    nodes["stem_lif"].v_threshold[0] = 0.0
    edges = [
        ("image", "stem"), ("stem", "stem_lif"), ("stem_lif", "down1"), ("down1", "down2"), ("down2", "neck"),
        ("neck", "neck_residual"), ("neck_residual", "upsample"), ("upsample", "merge"), ("down1", "merge"),
        ("merge", "fuse"), ("fuse", "head"), ("head", "split"), ("split", "dfl"), ("dfl", "to_boxes"),
        ("to_boxes", "boxes"), ("split", "scores"),
    ]
    metadata = {"model": "spiking-detector", "classes": ["person", "car", "bicycle"], "input_size": [64, 64]}
    return ir.Graph(nodes=nodes, edges=edges, metadata=metadata)


BUILDERS = {"classifier": classifier, "classifier_trained": classifier_trained, "detector": detector}


def write_examples(folder):
    """Write the three example models into ``folder`` (created if missing) as ``.o1c`` files.

    Returns a dict from model name to the path written, in the order of ``FILE_NAMES``.
    """
    os.makedirs(folder, exist_ok=True)
    paths = {}
    for name, build in BUILDERS.items():
        path = os.path.join(folder, FILE_NAMES[name])
        ir.write(path, build())
        paths[name] = path
    return paths
