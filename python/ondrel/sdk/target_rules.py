"""The catalogue of the target and quantization checks (``ondrel.sdk.targets``): the same fields as
``ondrel.sdk.lint_rules``, which ``ondrel.sdk.lint_selection.RULES`` joins with the linter's codes.

Plain data, importing nothing. ``{node}`` is the node (or layer) name, ``{target}`` the profile's
name and version, ``{source}`` where the profile's limit comes from; numbers are written with
comma thousands separators.
"""

_LIMIT_FIX = "Fix: shrink or split the layer in the model, or choose a target with room for it."

TARGET_CATALOGUE = (
    {
        "code": "TARGET_CORES",
        "severity": "error",
        "summary": "The model needs more cores than the target has",
        "message": "The model needs {actual} cores; {target} has {limit} ({source})",
        "suggestion": "Shrink the model, or use a target with more cores",
        "doc": """\
Checks: the cores the packing uses (layers in topological order, first fit, split
across consecutive cores where the profile allows) against device.cores. Why: the
mapper stops at the last core, usually without saying which layer did not fit. """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_NEURONS",
        "severity": "error",
        "summary": "A layer has more neurons than one core holds",
        "message": "Layer '{node}' has {actual} neurons; a core of {target} holds {limit} ({source})",
        "suggestion": "Split the layer, or use a target whose cores hold more neurons",
        "doc": """\
Checks: the neurons of a layer (the elements of one sample of its LIF port shape)
against core.neurons, when the profile does not let a layer span several cores. Why:
the layer cannot be placed at all. """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_SYNAPSES",
        "severity": "error",
        "summary": "A layer has more synapses than one core holds",
        "message": "Layer '{node}' has {actual} synapses; a core of {target} holds {limit} ({source})",
        "suggestion": "Prune or split the layer, or use a target with larger cores",
        "doc": """\
Checks: the synapses into a layer (input x output of its affine weights, the exact
connected pairs of its convolutions) against core.synapses. Why: synapse memory is the
scarcest resource of a neuromorphic core. """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_SYNAPSE_MEMORY",
        "severity": "error",
        "summary": "A layer's synapses need more memory bits than one core has",
        "message": "Layer '{node}' needs {actual} synapse bits; a core of {target} has {limit} ({source})",
        "suggestion": "Use fewer weight bits or fewer synapses per layer",
        "doc": """\
Checks: synapses x weight bits of a layer against core.synapse_bits (the encoding's own
overhead is not counted, so the figure is a lower bound). Why: the build fails with
"Total synapse bits exceeded max". """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_INPUT_AXONS",
        "severity": "error",
        "summary": "A layer reads more inputs than a core has input axons",
        "message": "Layer '{node}' reads {actual} inputs; a core of {target} has {limit} input axons ({source})",
        "suggestion": "Reduce the layer's inputs (pool or project first)",
        "doc": """\
Checks: the input elements a layer's weighted nodes read against core.input_axons;
splitting a layer does not help, since every part reads every input. Why: the build
fails with "Input axons exceeded max". """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_KERNEL_MEMORY",
        "severity": "error",
        "summary": "A layer's kernel needs more memory entries than a core has",
        "message": "Layer '{node}' needs {actual} kernel memory entries; the largest core of {target} has {limit} "
                   "({source})",
        "suggestion": "Use fewer channels or a smaller kernel (sizes are padded to powers of two)",
        "doc": """\
Checks: kernel memory entries (input channels x kernel taps x output channels, or with
the profile's power-of-two padding c * 2^(ceil log2(kh kw) + ceil log2 f)) against
core.kernel_entries. Why: the address encoding pads sizes, so a layer can fail with far
fewer parameters than the core has entries. """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_NEURON_MEMORY",
        "severity": "error",
        "summary": "A layer's neuron states need more memory entries than a core has",
        "message": "Layer '{node}' needs {actual} neuron memory entries; the largest core of {target} has {limit} "
                   "({source})",
        "suggestion": "Reduce channels or the feature map (sizes are padded to powers of two)",
        "doc": """\
Checks: neuron memory entries of a LIF layer (its elements, or with power-of-two padding
c * 2^(ceil log2 h + ceil log2 w)) against core.neuron_entries. Why: each neuron's state
needs an entry. """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_NO_CORE",
        "severity": "error",
        "summary": "A layer fits no single core of the target",
        "message": "Layer '{node}' fits no core of {target}: each lacks room for one of its resources ({source})",
        "suggestion": "Shrink the layer so that one core has room for all its resources",
        "doc": """\
Checks: on targets whose cores differ, whether some core has room for all of a layer's
resources at once (each alone may fit a different core). Why: a layer runs on one core.
""" + _LIMIT_FIX,
    },
    {
        "code": "TARGET_FAN_IN",
        "severity": "error",
        "summary": "A neuron receives more synapses than the target allows",
        "message": "Node '{node}' gives a neuron {actual} inputs; {target} allows {limit} ({source})",
        "suggestion": "Reduce the layer's inputs per neuron",
        "doc": """\
Checks: the largest fan-in of a weighted node (inputs of an affine layer, connected
inputs of a convolution's neuron) against neuron.fan_in. Why: each neuron has a fixed
number of dendrites or crossbar rows. """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_FAN_OUT",
        "severity": "error",
        "summary": "A neuron sends to more synapses than the target allows",
        "message": "Node '{node}' gives an input {actual} outgoing synapses; {target} allows {limit} ({source})",
        "suggestion": "Reduce the layer's outputs per input",
        "doc": """\
Checks: the largest fan-out a weighted node gives one of its inputs against
neuron.fan_out. Why: a neuron's routing table has a fixed number of targets. """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_INPUTS",
        "severity": "error",
        "summary": "The model has more input channels than the target",
        "message": "The model's inputs have {actual} elements per sample; {target} has {limit} input channels "
                   "({source})",
        "suggestion": "Reduce the input (fewer channels or features)",
        "doc": """\
Checks: the elements of one sample of every Input node together against device.inputs.
Why: a device reads a fixed number of input channels. """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_OUTPUTS",
        "severity": "error",
        "summary": "The model has more output neurons than the target",
        "message": "The model's readout layers have {actual} neurons; {target} has {limit} output neurons ({source})",
        "suggestion": "Reduce the number of outputs",
        "doc": """\
Checks: on targets with separate readout neurons (device.outputs), the neurons of the
layers that feed an Output node. Why: readout neurons are a fixed set. """ + _LIMIT_FIX,
    },
    {
        "code": "TARGET_NODE_CLASS",
        "severity": "error",
        "summary": "The target does not run this node class",
        "message": "Node '{node}' is of class {node_type}, which {target} does not run ({source})",
        "suggestion": "Replace the node with a supported class",
        "doc": """\
Checks: each node's class against nodes.supported of the profile. Why: the mapper
rejects the whole model. Fix: rewrite that part of the model with supported layers.""",
    },
    {
        "code": "TARGET_WEIGHT_BITS",
        "severity": "error",
        "summary": "A layer declares wider weights than the target stores",
        "message": "Node '{node}' declares {actual}-bit weights; {target} stores {limit} bits ({source})",
        "suggestion": "Quantise the layer to the target's weight width",
        "doc": """\
Checks: the declared weight width (SpikingAffine.weight_bits, or an int4/uint4 dtype)
against weights.bits. Why: the layer was trained for a precision the device does not
have. Fix: quantise to the target's width and check accuracy.""",
    },
    {
        "code": "TARGET_UNKNOWN_SIZE",
        "severity": "warning",
        "summary": "A layer's size cannot be worked out, so it is not checked",
        "message": "Node '{node}' is not checked against {target}: {reason}",
        "suggestion": "Declare the port shapes (input_type, output_type) and weights",
        "doc": """\
Checks: whether each LIF and weighted node has the declared port shapes and weights its
figures need. Why: an unchecked layer may not fit. Fix: declare the shapes, e.g. by
running shape inference before export.""",
    },
)

QUANT_CATALOGUE = (
    {
        "code": "QUANT_WEIGHT_RANGE",
        "severity": "error",
        "summary": "Integer weights outside the range of their bit width",
        "message": "Node '{node}' has {count} weights outside [{low}, {high}] ({bits}-bit {signed}): {value} "
                   "({source})",
        "suggestion": "Requantise the layer to its bit width",
        "doc": """\
Checks: integer weights against the range of the target's weight width and signedness,
or without a target the layer's declared weight_bits (two's complement). Why: the value
wraps or saturates on the device. Fix: requantise, or clip during training.""",
    },
    {
        "code": "QUANT_WEIGHT_GRID",
        "severity": "warning",
        "summary": "Float weights are not on a grid of at most 2^bits levels",
        "message": "Node '{node}' has float weights on no {bits}-bit grid per {per}; the largest rounding error "
                   "is {error} ({source})",
        "suggestion": "Export quantised weights (or accept the rounding error)",
        "doc": """\
Checks: whether the float weights of a tensor (or of each output channel, as the
profile says) are integer multiples k * s of one scale s with k in the range of the
bit width; when not, the largest rounding error to the grid of that width over the
tensor's range. Why: the device rounds them, and accuracy can drop. Fix: export the
quantised weights you validated.""",
    },
    {
        "code": "QUANT_THRESHOLD_RANGE",
        "severity": "error",
        "summary": "A LIF threshold is outside what the target can store",
        "message": "Node '{node}' has threshold {value}; {target} stores {low} to {high} ({source})",
        "suggestion": "Rescale thresholds and weights together into the target's range",
        "doc": """\
Checks: LIF thresholds against the range of the threshold encoding (bits, shift,
sign), or of the state width when the profile gives no threshold encoding. Why: the
stored threshold saturates, and the neuron fires at another level. Fix: rescale the
layer's weights and thresholds together.""",
    },
    {
        "code": "QUANT_THRESHOLD",
        "severity": "warning",
        "summary": "A LIF threshold is not representable and would be rounded",
        "message": "Node '{node}' has threshold {value}, stored as {effective} on {target} (relative error "
                   "{error}; {source})",
        "suggestion": "Use thresholds on the target's grid, in its integer units",
        "doc": """\
Checks: LIF thresholds against the grid of the threshold encoding (integer mantissas
shifted left by the profile's shift); the worst value, what it becomes and its relative
error. Why: the neuron fires at the rounded level. Fix: export thresholds in the
device's integer units.""",
    },
    {
        "code": "QUANT_DECAY",
        "severity": "warning",
        "summary": "A LIF time constant is not representable and would be rounded",
        "message": "Node '{node}' has tau {value}, which {target} stores as {effective} (relative error {error}; "
                   "{source})",
        "suggestion": "Use time constants the target's decay encoding holds",
        "doc": """\
Checks: LIF time constants against the decay encoding: a bit shift (tau = 2^s), or a
fraction 1/tau of the profile's width; the worst value, the effective tau and its
relative error. Why: the membrane decays at another rate. Fix: train with the
representable time constants.""",
    },
    {
        "code": "QUANT_DECAY_RANGE",
        "severity": "error",
        "summary": "A LIF time constant is outside what the target's decay encoding holds",
        "message": "Node '{node}' has tau {value}; {target} holds {low} to {high} ({source})",
        "suggestion": "Bring the time constants into the target's range",
        "doc": """\
Checks: LIF time constants against the range of the decay encoding (shifts up to
2^bits - 1, or fractions from 1 to 2^bits - 1 steps). Why: the decay saturates, or
vanishes altogether. Fix: train within the range.""",
    },
)

CATALOGUE = TARGET_CATALOGUE + QUANT_CATALOGUE
