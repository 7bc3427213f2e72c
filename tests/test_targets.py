"""Target profiles, the mapping of models onto them, the quantization checks, and `ondrel-sdk check`."""

import json

import numpy as np
import pytest
from conftest import chain, ports
from test_cli import cli

from ondrel import ir
from ondrel.sdk.lint_selection import RULES
from ondrel.sdk.targets import ProfileError, check_target, load_profile, shipped_profiles
from ondrel.sdk.targets.profiles import parse_profile

F32 = np.float32


def lif(shape, threshold=1.0, tau=20.0):
    n = int(np.prod(shape[1:]))
    return ir.LIF(tau=np.full(n, tau, F32), r=np.ones(n, F32), v_leak=np.zeros(n, F32),
                  v_threshold=np.full(n, threshold, np.float64), **ports(shape, shape))


def dense(inputs, neurons, weight=None, threshold=1.0, tau=20.0, readout=None):
    """Input(inputs) -> Affine -> LIF(neurons) [-> Affine -> LIF(readout)] -> Output, integer weights of 1."""
    w = np.ones((neurons, inputs), np.int8) if weight is None else weight
    nodes = [("in", ir.Input(**ports((1, inputs), (1, inputs)))),
             ("fc", ir.Affine(weight=w, **ports((1, inputs), (1, neurons)))),
             ("lif", lif((1, neurons), threshold, tau))]
    if readout:
        nodes += [("fc_out", ir.Affine(weight=np.ones((readout, neurons), np.int8), **ports((1, neurons), (1, readout)))),
                  ("lif_out", lif((1, readout)))]
    last = readout or neurons
    return chain(*nodes, ("out", ir.Output(**ports((1, last), (1, last)))))


def conv(channels, out_channels, size, pool=None):
    """Input(1, C, size, size) -> Conv2d 1x1 -> LIF [-> pool] -> Output."""
    shape_out = (1, out_channels, size, size)
    nodes = [("in", ir.Input(**ports((1, channels, size, size), (1, channels, size, size)))),
             ("conv", ir.Conv2d(weight=np.ones((out_channels, channels, 1, 1), np.int8),
                                **ports((1, channels, size, size), shape_out))),
             ("lif", lif(shape_out))]
    if pool is not None:
        nodes.append(("pool", pool(**ports(shape_out, (1, out_channels, size // 2, size // 2)))))
    return chain(*nodes, ("out", ir.Output(**ports(shape_out, shape_out))))


def layers(*sizes):
    """LIF layers of these sizes in a row, each fed by an Affine, then a readout layer of one neuron."""
    nodes = [("in", ir.Input(**ports((1, 1), (1, 1))))]
    width = 1
    for i, neurons in enumerate(sizes):
        nodes += [(f"fc{i}", ir.Affine(weight=np.ones((neurons, width), np.int8), **ports((1, width), (1, neurons)))),
                  (f"lif{i}", lif((1, neurons)))]
        width = neurons
    return chain(*nodes, ("mid", ir.Affine(weight=np.ones((1, width), np.int8), **ports((1, width), (1, 1)))),
                 ("lif_end", lif((1, 1))), ("out", ir.Output(**ports((1, 1), (1, 1)))))


def declared(bits):
    return chain(("in", ir.Input(**ports((1, 2), (1, 2)))),
                 ("fc", ir.SpikingAffine(weight=np.ones((2, 2), np.int8), weight_bits=bits, **ports((1, 2), (1, 2)))),
                 ("lif", lif((1, 2))), ("out", ir.Output(**ports((1, 2), (1, 2)))))


def weights(value, dtype=np.int32):
    return dense(2, 2, weight=np.array([[value, 0], [0, 1]], dtype))


def cores_used(profile, graph):
    return check_target(graph, profile).utilisation.cores_used


def codes(profile, graph):
    return {issue.code for issue in check_target(graph, profile).issues}


# (profile, limit, model at the limit, model one past it, the code that appears past it only)
LIMITS = [
    ("loihi", "device.cores x core.neurons", lambda: dense(1, 131072), lambda: dense(1, 131073), "TARGET_CORES"),
    ("loihi", "core.input_axons", lambda: dense(4096, 1), lambda: dense(4097, 1), "TARGET_INPUT_AXONS"),
    ("loihi", "core.synapse_bits", lambda: dense(4096, 3584), lambda: dense(4096, 3585), "TARGET_CORES"),
    ("loihi", "weights.bits", lambda: weights(-255), lambda: weights(-256), "QUANT_WEIGHT_RANGE"),
    ("loihi", "weights.bits", lambda: declared(9), lambda: declared(10), "TARGET_WEIGHT_BITS"),
    ("loihi", "threshold.bits", lambda: dense(1, 1, threshold=131071 * 64), lambda: dense(1, 1, threshold=131072 * 64),
     "QUANT_THRESHOLD_RANGE"),
    ("loihi", "threshold.shift", lambda: dense(1, 1, threshold=128), lambda: dense(1, 1, threshold=129),
     "QUANT_THRESHOLD"),
    ("loihi", "decay.bits", lambda: dense(1, 1, tau=4096), lambda: dense(1, 1, tau=4097), "QUANT_DECAY_RANGE"),
    ("loihi", "decay.encoding", lambda: dense(1, 1, tau=2048), lambda: dense(1, 1, tau=2047), "QUANT_DECAY"),
    ("truenorth", "device.cores", lambda: dense(1, 4096 * 256), lambda: dense(1, 4096 * 256 + 1), "TARGET_CORES"),
    ("truenorth", "core.input_axons", lambda: dense(256, 1), lambda: dense(257, 1), "TARGET_INPUT_AXONS"),
    ("truenorth", "neuron.fan_in", lambda: dense(256, 1), lambda: dense(257, 1), "TARGET_FAN_IN"),
    ("dynapcnn", "core.kernel_entries", lambda: conv(64, 1024, 1), lambda: conv(65, 1024, 1), "TARGET_KERNEL_MEMORY"),
    # 513 output channels pad to 1,024: 64 x 1,024 entries exactly fill the largest core.
    ("dynapcnn", "memory.kernel", lambda: conv(64, 513, 1), lambda: conv(65, 513, 1), "TARGET_KERNEL_MEMORY"),
    ("dynapcnn", "core.neuron_entries", lambda: conv(1, 16, 64), lambda: conv(1, 17, 64), "TARGET_NEURON_MEMORY"),
    ("dynapcnn", "device.cores", lambda: layers(*[4] * 8), lambda: layers(*[4] * 9), "TARGET_CORES"),
    ("dynapcnn", "weights.bits", lambda: weights(-128), lambda: weights(-129), "QUANT_WEIGHT_RANGE"),
    ("dynapcnn", "threshold.bits", lambda: dense(1, 1, threshold=32767), lambda: dense(1, 1, threshold=32768),
     "QUANT_THRESHOLD_RANGE"),
    ("dynapcnn", "nodes.supported", lambda: conv(1, 2, 4, ir.AvgPool2d), lambda: conv(1, 2, 4, ir.MaxPool2d),
     "TARGET_NODE_CLASS"),
    ("xylo-audio", "device.inputs", lambda: dense(16, 1, readout=1), lambda: dense(17, 1, readout=1), "TARGET_INPUTS"),
    ("xylo-audio", "device.outputs", lambda: dense(1, 1, readout=8), lambda: dense(1, 1, readout=9), "TARGET_OUTPUTS"),
    ("xylo-audio", "core.neurons", lambda: dense(1, 1000, readout=1), lambda: dense(1, 1001, readout=1),
     "TARGET_NEURONS"),
    ("xylo-audio", "device.cores", lambda: layers(500, 500), lambda: layers(500, 501), "TARGET_CORES"),
    ("xylo-audio", "neuron.fan_out", lambda: dense(1, 64, readout=1), lambda: dense(1, 65, readout=1),
     "TARGET_FAN_OUT"),
    ("xylo-audio", "weights.bits", lambda: weights(127), lambda: weights(128), "QUANT_WEIGHT_RANGE"),
    ("xylo-audio", "decay.encoding", lambda: dense(1, 1, tau=1.0), lambda: dense(1, 1, tau=0.999),
     "QUANT_DECAY_RANGE"),
    ("generic-fpga", "weights.bits", lambda: weights(-(2 ** 17)), lambda: weights(2 ** 17), "QUANT_WEIGHT_RANGE"),
    ("generic-fpga", "state.bits", lambda: dense(1, 1, threshold=2.0 ** 47 - 1), lambda: dense(1, 1, threshold=2.0 ** 47),
     "QUANT_THRESHOLD_RANGE"),
]


@pytest.mark.parametrize("name, limit, at, past, code", LIMITS, ids=[f"{row[0]}:{row[1]}" for row in LIMITS])
def test_the_verdict_flips_exactly_at_each_limit(name, limit, at, past, code):
    assert code not in codes(name, at())
    assert code in codes(name, past())


@pytest.mark.parametrize("name, per_core", [("truenorth", 256), ("loihi", 1024)])
def test_layers_split_across_cores_at_the_neurons_and_synapses_of_a_core(name, per_core):
    # A core of TrueNorth holds 256 neurons of 256 synapses each (its crossbar): the 257th opens a core.
    fan_in = 256 if name == "truenorth" else 1
    assert cores_used(name, dense(fan_in, per_core)) == 1
    assert cores_used(name, dense(fan_in, per_core + 1)) == 2


# Limits checked by the split test above, or that another limit of the profile takes precedence over.
ELSEWHERE = {("truenorth", "core.neurons"), ("truenorth", "core.synapses"),
             ("dynapcnn", "state.bits")}  # the threshold encoding is checked instead


def test_every_limit_of_the_shipped_profiles_is_covered_and_sourced():
    covered = {(name, key) for name, limit, *_ in LIMITS for key in limit.split(" x ")} | ELSEWHERE
    for name in shipped_profiles():
        for key, limit in load_profile(name).limits():
            assert limit.source, f"{name} {key} has no source"
            assert (name, key) in covered, f"{name} {key} has no test at its limit"
    assert set(shipped_profiles()) == {"generic-fpga", "loihi", "truenorth", "dynapcnn", "xylo-audio"}


def test_every_code_is_in_the_catalogue_with_its_doc():
    for code in ("TARGET_CORES", "TARGET_NEURONS", "QUANT_WEIGHT_GRID", "QUANT_DECAY"):
        assert RULES[code].doc and RULES[code].message


# ---- quantization: a quantized and a float model per rule


def grid_profile(bits, per="tensor"):
    return parse_profile(f'format = 1\nname = "grid"\nversion = "1"\n[weights]\nbits = {bits}\nper = "{per}"\n',
                         "grid.toml")


@pytest.mark.parametrize("bits", [2, 4, 8])
def test_float_weights_on_a_grid_of_at_most_2_to_the_bits_levels_pass(bits):
    rng = np.random.default_rng(bits)
    high = 2 ** (bits - 1) - 1
    on_grid = (rng.integers(-high - 1, high + 1, (8, 8)) * 0.037).astype(F32)
    assert "QUANT_WEIGHT_GRID" not in codes(grid_profile(bits), dense(8, 8, weight=on_grid))
    finer = on_grid.copy()
    finer[0, 0] += 0.037 / 3  # one value between two levels
    issues = [i for i in check_target(dense(8, 8, weight=finer), grid_profile(bits)).issues
              if i.code == "QUANT_WEIGHT_GRID"]
    assert len(issues) == 1 and f"{bits}-bit grid" in issues[0].message


def test_a_sparse_grid_whose_largest_value_is_not_the_top_level_still_passes():
    # Levels 0.1 apart up to 0.3 are on a 4-bit grid, though 0.3 / 7 is not the step.
    weight = np.array([[0.1, 0.2], [0.3, -0.2]], F32)
    assert "QUANT_WEIGHT_GRID" not in codes(grid_profile(4), dense(2, 2, weight=weight))


def test_per_channel_grids_pass_per_channel_and_fail_per_tensor():
    weight = np.array([[1, -2, 3, 127], [0.001, 0.002, -0.003, 0.127]], F32)
    assert "QUANT_WEIGHT_GRID" in codes(grid_profile(8), dense(4, 2, weight=weight))
    assert "QUANT_WEIGHT_GRID" not in codes(grid_profile(8, "channel"), dense(4, 2, weight=weight))


def test_declared_weight_bits_are_checked_without_a_target():
    from ondrel.sdk.targets import check_declared

    def model(weight):
        return chain(("in", ir.Input(**ports((1, 2), (1, 2)))),
                     ("fc", ir.SpikingAffine(weight=weight, weight_bits=4, **ports((1, 2), (1, 2)))),
                     ("out", ir.Output(**ports((1, 2), (1, 2)))))

    assert check_declared(model(np.array([[7, -8], [0, 1]], np.int8))) == []
    (issue,) = check_declared(model(np.array([[8, -8], [0, 1]], np.int8)))
    assert issue.code == "QUANT_WEIGHT_RANGE" and "[-8, 7]" in issue.message
    assert [i.code for i in check_declared(model(np.array([[0.5, 0.25], [0, 0.1]], F32)))] == ["QUANT_WEIGHT_GRID"]


def test_thresholds_of_layers_with_float_weights_are_left_to_the_toolchain():
    float_fed = dense(2, 2, weight=np.ones((2, 2), F32), threshold=0.3)
    assert not codes("loihi", float_fed) & {"QUANT_THRESHOLD", "QUANT_THRESHOLD_RANGE"}


def test_a_broken_graph_is_one_structure_error():
    broken = dense(1, 1)
    broken.edges.append(("lif", "nowhere"))
    report = check_target(broken, "loihi")
    assert [issue.code for issue in report.issues] == ["STRUCTURE"] and not report.fits


def test_a_finding_names_node_limit_actual_and_source():
    (issue,) = [i for i in check_target(dense(257, 1), "truenorth").issues if i.code == "TARGET_INPUT_AXONS"]
    assert issue.node == "lif" and "257" in issue.message and "256" in issue.message and "Akopyan" in issue.message


# ---- profiles

PROFILE = 'format = 1\nname = "mine"\nversion = "2"\n'


@pytest.mark.parametrize("text, key, reason", [
    (PROFILE + "[core]\nneuron = 4\n", "core.neuron", "did you mean 'neurons'"),
    (PROFILE + "[core]\nneurons = 0\n", "core.neurons", "at least 1"),
    (PROFILE + '[weights]\nbits = { value = 8, source = "nowhere" }\n', "weights.bits", "not a key of [sources]"),
    (PROFILE + "[core]\nneurons = [1, 2]\n", "core.neurons", "one value per core"),
    (PROFILE + '[nodes]\nsupported = ["Conv3d"]\n', "nodes.supported", "unknown node class"),
    ('name = "x"\nversion = "1"\n', "format", "must be 1"),
    (PROFILE + "[core\n", None, "not valid TOML"),
])
def test_profile_errors_name_the_file_and_the_key(tmp_path, text, key, reason):
    path = tmp_path / "bad.toml"
    path.write_text(text)
    with pytest.raises(ProfileError) as raised:
        load_profile(str(path))
    message = str(raised.value)
    assert message.startswith(f"{path}: ") and reason in message and "\n" not in message
    assert key is None or f"'{key}'" in message


def test_a_profile_in_pyproject(tmp_path):
    (tmp_path / "pyproject.toml").write_text('[tool.ondrel-sdk.target]\n' + PROFILE
                                             + "[tool.ondrel-sdk.target.core]\nneurons = 3\n")
    profile = load_profile(str(tmp_path / "pyproject.toml"))
    assert (profile.name, profile.core["neurons"].value) == ("mine", 3)
    assert "TARGET_NEURONS" in codes(profile, dense(1, 4, readout=None))
    (tmp_path / "pyproject.toml").write_text('[tool.ondrel-sdk]\ntarget = "truenorth"\n')
    assert load_profile(str(tmp_path / "pyproject.toml")).name == "truenorth"


# ---- the command line


def test_check_and_lint_target_on_the_command_line(tmp_path):
    ir.write(tmp_path / "fits.o1c", dense(256, 4))
    ir.write(tmp_path / "big.o1c", dense(257, 4))
    fits = cli("check", "fits.o1c", "--target", "truenorth", cwd=tmp_path)
    assert fits.returncode == 0 and "utilisation on truenorth 1: 1 of 4,096 cores" in fits.stdout
    big = cli("check", "big.o1c", "--target", "truenorth", "--format", "json", cwd=tmp_path)
    assert big.returncode == 1
    (entry,) = json.loads(big.stdout)
    assert {"TARGET_FAN_IN", "TARGET_INPUT_AXONS"} <= {i["code"] for i in entry["issues"]}
    assert entry["utilisation"]["cores"] == 4096
    ignored = cli("check", "big.o1c", "--target", "truenorth", "--ignore", "TARGET_", cwd=tmp_path)
    assert ignored.returncode == 0
    sarif = cli("lint", "big.o1c", "--target", "truenorth", "--select", "TARGET_FAN_IN", "--format", "sarif",
                cwd=tmp_path)
    assert sarif.returncode == 1
    assert [r["ruleId"] for r in json.loads(sarif.stdout)["runs"][0]["results"]] == ["TARGET_FAN_IN"]
    (tmp_path / "pyproject.toml").write_text('[tool.ondrel-sdk.lint.per-node-ignores]\n"lif" = ["TARGET_"]\n')
    assert cli("check", "big.o1c", "--target", "truenorth", "--select", "TARGET_INPUT_AXONS",
               cwd=tmp_path).returncode == 0
    (tmp_path / "bad.toml").write_text(PROFILE + "[core]\nneurons = -1\n")
    bad = cli("check", "big.o1c", "--target", "bad.toml", cwd=tmp_path)
    assert bad.returncode == 2 and bad.stdout == ""
    assert bad.stderr.strip() == "ondrel-sdk: error: bad.toml: key 'core.neurons': must be a whole number of at " \
                                 "least 1, got -1"
