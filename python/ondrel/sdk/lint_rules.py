"""The lint catalogue: every code the linter reports, with its severity, the
shape of its message and suggestion, and what it checks, why that matters and
how to fix it.

This module is plain data and imports nothing, so it can be read anywhere: the
compiled linter's table is generated from it when the package is built
(``cmake/lint_catalogue.py``), ``ondrel.sdk.lint_selection.RULES`` is built from
it, and the command line reads it without loading the services.

``message`` and ``suggestion`` are the texts the linter emits, with each
``{name}`` replaced by a value of the finding: ``{node}`` is the node's name;
numbers are written as the message describes them (``{tau}`` and
``{threshold}`` with two decimals, ``{total}`` of LARGE_MODEL with comma
thousands separators). ``help`` is a suggestion that names no such value, for
codes whose suggestion does.
"""

CATALOGUE = (
    {
        "code": "STRUCTURE",
        "severity": "error",
        "summary": "Graph structure is broken (dangling edge, self-loop, missing Input or Output)",
        "message": "{error}",
        "suggestion": "Fix graph structure before linting",
        "doc": """\
Checks: the graph's own validation (every node an IR node, every edge a pair of
existing, distinct nodes, at least one Input and one Output); the message is the
validation error. Why: no other check is meaningful on a broken graph, so none runs.
Fix: correct the edge or node named in the message, or add the missing Input or
Output node.""",
    },
    {
        "code": "UNREACHABLE",
        "severity": "warning",
        "summary": "Node is not reachable from any Input",
        "message": "Node '{node}' is not reachable from any Input",
        "suggestion": "Remove dead node or connect it to the graph",
        "doc": """\
Checks: whether a path of edges leads from some Input node to this node. Why: data
never reaches the node, so it computes nothing and only costs memory and place on the
target. Fix: add the missing edge, or remove the node.""",
    },
    {
        "code": "DEAD_END",
        "severity": "warning",
        "summary": "Node does not reach any Output",
        "message": "Node '{node}' does not reach any Output",
        "suggestion": "Remove dead node or connect it to an Output",
        "doc": """\
Checks: whether a path of edges leads from this node (reached from an Input) to some
Output node. Why: its results are never used. Fix: connect it towards an Output, or
remove it and what only feeds it.""",
    },
    {
        "code": "MULTI_OUTPUT",
        "severity": "info",
        "summary": "Graph has several Output nodes",
        "message": "Graph has {count} Output nodes: {names}",
        "suggestion": "Ensure each output has clear semantics",
        "doc": """\
Checks: how many Output nodes the graph has. Why: several outputs are legitimate
(detection heads, auxiliary losses), but the runtime and the tools downstream must
know which is which. Fix: nothing if intended; otherwise remove the extra Output.""",
    },
    {
        "code": "LIF_LOW_TAU",
        "severity": "warning",
        "summary": "LIF time constant below 1.0",
        "message": "Node '{node}' has very low tau={tau} (< 1.0)",
        "suggestion": "Low tau means fast decay; check if intentional",
        "doc": """\
Checks: the smallest membrane time constant of a LIF layer. Why: below 1.0 the
membrane forgets its input almost at once, which is rarely what training meant and
often a unit mistake (seconds against time steps). Fix: check how tau was exported.""",
    },
    {
        "code": "LIF_HIGH_TAU",
        "severity": "warning",
        "summary": "LIF time constant above 100",
        "message": "Node '{node}' has very high tau={tau} (> 100)",
        "suggestion": "High tau means slow decay; may cause gradient issues",
        "doc": """\
Checks: the largest membrane time constant of a LIF layer. Why: above 100 the membrane
barely decays, which slows learning and can make the neuron integrate without bound.
Fix: check the value, or clamp tau during training.""",
    },
    {
        "code": "LIF_NONPOSITIVE_THRESHOLD",
        "severity": "error",
        "summary": "LIF threshold is zero or negative",
        "message": "Node '{node}' has non-positive threshold={threshold}",
        "suggestion": "LIF thresholds must be positive",
        "doc": """\
Checks: the smallest firing threshold of a LIF layer. Why: at or below zero the neuron
fires on every step whatever its input, so the layer carries no information; hardware
targets reject it. Fix: export positive thresholds.""",
    },
    {
        "code": "LIF_HIGH_THRESHOLD",
        "severity": "info",
        "summary": "LIF threshold above 10",
        "message": "Node '{node}' has high threshold={threshold}",
        "suggestion": "High thresholds may reduce spike activity",
        "doc": """\
Checks: the largest firing threshold of a LIF layer. Why: above 10 few inputs reach it,
so the layer may hardly spike and pass little on. Fix: nothing if activity was checked;
otherwise rescale the threshold with the weights.""",
    },
    {
        "code": "GHOST_UNUSUAL_STRIDE",
        "severity": "warning",
        "summary": "Ghost backbone block stride is neither 1 nor 2",
        "message": "GhostBasicBlock1 '{node}' has stride={stride} (expected 1 or 2)",
        "suggestion": "Paper specifies stride=2 for backbone blocks",
        "doc": """\
Checks: the stride of a GhostBasicBlock1 (2 when it has none). Why: the backbone's
feature-map sizes assume strides of 1 or 2; another stride breaks the shapes the
detection heads expect. Fix: use stride 2 (or 1).""",
    },
    {
        "code": "DETECT_UNUSUAL_STRIDE",
        "severity": "warning",
        "summary": "Detection head stride is not 4, 8 or 16",
        "message": "SDDetect '{node}' has stride={stride} (expected 4, 8, or 16)",
        "suggestion": "SU-YOLO uses strides 4, 8, 16 for P2/P3/P4 scales",
        "doc": """\
Checks: the stride of an SDDetect head. Why: box decoding multiplies by the stride, so
a stride that does not match the feature map's scale puts every box in the wrong place.
Fix: use the stride of the scale the head reads (4, 8 or 16).""",
    },
    {
        "code": "LOW_WEIGHT_BITS",
        "severity": "warning",
        "summary": "Affine weights quantised below 4 bits",
        "message": "Node '{node}' has only {bits}-bit weights",
        "suggestion": "Very low bit widths may hurt accuracy",
        "doc": """\
Checks: weight_bits of a SpikingAffine layer. Why: below 4 bits a layer keeps too few
weight levels to hold what training found, and accuracy usually drops. Fix: quantise
to 4 bits or more, or check accuracy at this width.""",
    },
    {
        "code": "HIGH_WEIGHT_BITS",
        "severity": "info",
        "summary": "Affine weights wider than 16 bits",
        "message": "Node '{node}' uses {bits}-bit weights",
        "suggestion": "Consider lower bits for hardware efficiency",
        "doc": """\
Checks: weight_bits of a SpikingAffine layer. Why: more than 16 bits rarely adds
accuracy but costs memory, bandwidth and logic on the target. Fix: quantise further.""",
    },
    {
        "code": "SKIP_PASSTHROUGH_INPUTS",
        "severity": "warning",
        "summary": "Passthrough skip node without exactly one input",
        "message": "Skip node '{node}' (passthrough) has {inputs} inputs (expected 1)",
        "suggestion": "Passthrough should have exactly one input",
        "doc": """\
Checks: the number of incoming edges of a passthrough Skip node. Why: a passthrough
forwards one input; with none it forwards nothing, with several it is ambiguous which.
Fix: give it exactly one incoming edge, or make it a residual or concatenate skip.""",
    },
    {
        "code": "SKIP_MERGE_INPUTS",
        "severity": "warning",
        "summary": "Merging skip node with fewer than two inputs",
        "message": "Skip node '{node}' ({skip_type}) has only {inputs} input(s)",
        "suggestion": "{skip_type} requires at least 2 inputs to merge",
        "help": "residual and concatenate skips require at least 2 inputs to merge",
        "doc": """\
Checks: the number of incoming edges of a residual or concatenate Skip node. Why: it
merges its inputs; with fewer than two there is nothing to merge, usually a lost edge.
Fix: add the missing incoming edge, or make it a passthrough.""",
    },
    {
        "code": "GENERIC_NAME",
        "severity": "info",
        "summary": "Node has a generic name",
        "message": "Node has generic name: '{node}'",
        "suggestion": "Use descriptive names (e.g., 'conv1', 'fc_hidden')",
        "doc": """\
Checks: whether a node is named "node", "layer" or "module". Why: such names say
nothing in reports, diffs and hardware logs. Fix: name the node after its role.""",
    },
    {
        "code": "PYTHON_KEYWORD",
        "severity": "warning",
        "summary": "Node name is a reserved word",
        "message": "Node name '{node}' is a Python keyword",
        "suggestion": "May cause issues in code generation; consider renaming",
        "doc": """\
Checks: whether a node is named input, output, lambda, class, def, return, for or if.
Why: code generators turn node names into identifiers, and these clash with keywords
or common built-ins. Fix: rename the node.""",
    },
    {
        "code": "LARGE_MODEL",
        "severity": "info",
        "summary": "Model has more than 10M parameters",
        "message": "Graph has {total} parameters (> 10M)",
        "suggestion": "Large models may require more FPGA resources",
        "doc": """\
Checks: the graph's parameter total, as the analysis counts it. Why: past 10 million
parameters a model often needs external memory on an FPGA, which changes its speed
and cost. Fix: nothing if the target has room; otherwise prune or quantise.""",
    },
    {
        "code": "SMALL_MODEL",
        "severity": "info",
        "summary": "Model has fewer than 100 parameters",
        "message": "Graph has only {total} parameters",
        "suggestion": "Very small model; verify this is intentional",
        "doc": """\
Checks: the graph's parameter total, when it is between 1 and 99. Why: so few
parameters usually means weights went missing on export. Fix: check the export.""",
    },
    {
        "code": "MISSING_OUTPUT_SHAPE",
        "severity": "warning",
        "summary": "Computational node has no output shape",
        "message": "Node '{node}' has no output shape",
        "suggestion": "Output shapes should be inferred during export",
        "doc": """\
Checks: whether a node other than an Input or Output has an output_type. Why: memory
planning, FLOP counts and hardware mapping need every layer's output shape. Fix: run
shape inference before exporting, or set output_type.""",
    },
)

# The shape checks of ``ondrel.sdk.shapes.check_shapes``: codes of their own, outside
# the linter's, which ``ondrel-sdk lint`` adds to its findings unless deselected.
# ``{node}`` is the node's name; shapes are written as ``1x16x32x32``.
SHAPE_CATALOGUE = (
    {
        "code": "SHAPE_WEIGHT_MISMATCH",
        "severity": "error",
        "summary": "A weight's input size does not match the shape that reaches the node",
        "message": "Node '{node}' has {field} {weight} expecting {expected}, but its input is {input}",
        "suggestion": "Re-export the layer with weights for its real input, or fix the layer that feeds it",
        "doc": """\
Checks: the input size a node's weights (or channel settings) expect against the
inferred shape of its input: an Affine weight [out, in] against the last dimension,
a convolution's weight [c_out, c_in/groups, kh, kw] against the channels, a ghost
block's in_channels and first weights, a detection head's first weights, and
DFLDecode's 4 * reg_max channels. Why: the layer cannot run on that input; the
hardware compiler either fails late or, worse, maps it with the wrong fan-in.
Fix: export the weights of the trained layer that really sits there, or fix the
layer upstream that changed the shape (a stride, a channel count).""",
    },
    {
        "code": "SHAPE_LIF_SIZE",
        "severity": "error",
        "summary": "A LIF parameter array does not fit the number of neurons its input gives",
        "message": "Node '{node}' has {field} of {size} values, but its input {input} gives {neurons} neurons "
                   "per sample",
        "suggestion": "Give the parameter one value, one per neuron of a sample, or a shape broadcastable to "
                      "a sample",
        "doc": """\
Checks: the size of each LIF parameter array (tau, r, v_leak, v_threshold) against
the neurons of one sample of its input (the elements without the leading batch
dimension): it must hold one value, one per neuron, or a shape that broadcasts to the
sample's shape (per channel: [c, 1, 1]). Why: a layer with 100 thresholds after a
16x32x32 feature map is not the layer that was trained; deployment tools size its
state from these arrays. Fix: export the parameters of the layer that sits there.""",
    },
    {
        "code": "SHAPE_DECLARED_MISMATCH",
        "severity": "error",
        "summary": "A declared port shape differs from the inferred one",
        "message": "Node '{node}' declares {port} shape {declared}, but {inferred} is inferred",
        "suggestion": "Run 'ondrel-sdk infer-shapes MODEL -o OUT --overwrite', or fix the layer's settings",
        "doc": """\
Checks: each node's declared input_type "input" and output_type "output" against the
shapes inferred from the Input shapes through every layer. Why: memory planning,
FLOP counts and the hardware mapping trust declared shapes; one left over from
before a stride or channel change makes them plan for a model that does not exist.
Fix: write the inferred shapes with infer-shapes --overwrite when the layers are
right, or fix the layer whose settings changed.""",
    },
    {
        "code": "SHAPE_MERGE_MISMATCH",
        "severity": "error",
        "summary": "A merge (Concat, Skip) joins inputs of incompatible shapes",
        "message": "Node '{node}' cannot merge inputs of shapes {shapes}: {reason}",
        "suggestion": "Make the merged branches agree (resample or project one of them)",
        "doc": """\
Checks: the shapes reaching a Concat (equal but for its dim) or a Skip (residual:
all equal; concatenate: equal but for the channels). Why: the merge is undefined,
so nothing after it has a shape. Fix: resample or project one branch so that the
shapes agree.""",
    },
    {
        "code": "SHAPE_UNINFERRABLE",
        "severity": "warning",
        "summary": "Shapes cannot be inferred from a node onwards",
        "message": "Shapes cannot be inferred from node '{node}' onwards: {reason}",
        "suggestion": "Declare the Input shapes and fix the settings the reason names",
        "doc": """\
Checks: where shape inference stops and why: an Input without a shape, a layer
without the weights its shape depends on, settings that give an empty output, a class
without a shape rule, a cycle. Nothing downstream of it is inferred or checked
(declared shapes there are kept as they are). Why: unchecked shapes are where the
other shape findings hide. Fix: what the reason names.""",
    },
)


def catalogue() -> "tuple[dict[str, str], ...]":
    """Every code the SDK reports, each as its catalogue entry: the linter's first, then those of the SDK's own
    checks as they are added beside them. The command line's ``rule`` and the rule reference read this alone."""
    return CATALOGUE + SHAPE_CATALOGUE + target_catalogue()


def target_catalogue() -> "tuple[dict[str, str], ...]":
    """The entries of the target and quantization checks (``ondrel.sdk.targets``)."""
    from .target_rules import CATALOGUE as TARGET_CATALOGUE  # here, so the build can read this file alone

    return TARGET_CATALOGUE


def strict_effect(entry: "dict[str, str]") -> str:
    """What ``--strict`` does to the code of ``entry``."""
    return {"warning": "--strict makes it an error", "error": "an error with or without --strict",
            "info": "--strict leaves it an info"}.get(entry["severity"], "--strict does not change it")


def doc_sections(entry: "dict[str, str]") -> "dict[str, str]":
    """The doc of ``entry`` split into what the code checks, why it matters and how to fix it
    (keys "checks", "why", "fix"; a doc without those markers is all "checks")."""
    text = " ".join(entry.get("doc", "").split())
    sections: "dict[str, str]" = {}
    key, start = "checks", 0
    markers = [("checks", "Checks:"), ("why", "Why:"), ("fix", "Fix:")]
    found = sorted((text.find(marker), name, len(marker)) for name, marker in markers if marker in text)
    if not found:
        return {"checks": text} if text else {}
    for position, name, length in found:
        if position > start:
            sections.setdefault(key, text[start:position].strip())
        key, start = name, position + length
    sections[key] = text[start:].strip()
    return {name: value for name, value in sections.items() if value}


def example(entry: "dict[str, str]") -> str:
    """The finding as the linter writes it, each value it names shown as <name>."""
    import string

    names = [field for _, field, _, _ in string.Formatter().parse(entry["message"]) if field]
    return entry["message"].format(**{name: f"<{name}>" for name in names})
