"""Deployment figures against brute-force enumeration, operations from rates, energy, and ``ondrel-sdk cost``."""

import json

import ml_dtypes
import numpy as np
import pytest

from ondrel import ir
from ondrel.sdk import examples
from ondrel.sdk.deployment import RatesError, deployment_stats
from ondrel.sdk.examples import shape

from test_cli import cli


def enumerate_conv(weight, c_in, h, w, stride, padding, dilation, groups):
    """Every (input element, output element) pair of a convolution, one by one: synapses, non-zero ones, and the
    fan-in of every output and fan-out of every input element."""
    c_out, per_group, kh, kw = weight.shape
    (sh, sw), (ph, pw), (dh, dw) = stride, padding, dilation
    h_out = (h + 2 * ph - dh * (kh - 1) - 1) // sh + 1
    w_out = (w + 2 * pw - dw * (kw - 1) - 1) // sw + 1
    fan_in = np.zeros((c_out, max(h_out, 0), max(w_out, 0)), np.int64)
    fan_out = np.zeros((c_in, h, w), np.int64)
    nonzero = 0
    for co in range(c_out):
        group = co // (c_out // groups)
        for y in range(max(h_out, 0)):
            for x in range(max(w_out, 0)):
                for j in range(per_group):
                    ci = group * per_group + j
                    for ky in range(kh):
                        for kx in range(kw):
                            iy, ix = y * sh - ph + ky * dh, x * sw - pw + kx * dw
                            if 0 <= iy < h and 0 <= ix < w:
                                fan_in[co, y, x] += 1
                                fan_out[ci, iy, ix] += 1
                                nonzero += weight[co, j, ky, kx] != 0
    return fan_in, fan_out, int(nonzero)


# (C_in, H, W, C_out, kernel, stride, padding, dilation, groups): odd sizes, padding of none, some, as large as
# the kernel and larger, strides that skip the last rows, dilations, grouped and depthwise.
CONV_CASES = [
    (1, 7, 5, 2, (3, 3), (1, 1), (0, 0), (1, 1), 1),
    (2, 9, 9, 4, (3, 3), (1, 1), (1, 1), (1, 1), 1),
    (3, 11, 7, 3, (5, 3), (2, 3), (2, 1), (1, 1), 1),
    (2, 8, 13, 4, (3, 5), (3, 2), (3, 4), (1, 1), 2),
    (4, 10, 9, 4, (3, 3), (2, 2), (1, 0), (2, 3), 4),
    (6, 7, 7, 9, (2, 4), (1, 2), (5, 2), (2, 1), 3),
    (2, 5, 6, 2, (7, 7), (1, 1), (0, 3), (1, 1), 1),  # a kernel taller than the input: no rows out
    (4, 15, 3, 8, (1, 1), (4, 2), (0, 1), (1, 1), 2),
    (3, 6, 11, 3, (3, 3), (5, 5), (2, 2), (3, 2), 3),
]


def conv_graph(c_in, h, w, weight, stride, padding, dilation, groups, lif_before=False):
    nodes = {"in": ir.Input(output_type={"output": shape(1, c_in, h, w)})}
    if lif_before:
        nodes["spikes"] = ir.LIF(tau=np.ones(1, np.float32), input_type={"input": shape(1, c_in, h, w)},
                                 output_type={"output": shape(1, c_in, h, w)})
    nodes["conv"] = ir.Conv2d(weight=weight, stride=stride, padding=padding, dilation=dilation, groups=groups,
                              input_type={"input": shape(1, c_in, h, w)})
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


# Weights of every kind the non-zero counts read: native, low-precision, and those numpy counts (complex,
# byte-swapped, Fortran-ordered).
WEIGHT_KINDS = [np.float32, np.float16, ml_dtypes.bfloat16, ml_dtypes.float8_e4m3fn, ml_dtypes.int4, np.int16,
                np.complex64, np.dtype(">f8"), "fortran"]


@pytest.mark.parametrize("case, kind", [(case, WEIGHT_KINDS[i % len(WEIGHT_KINDS)]) for i, case in enumerate(CONV_CASES)])
def test_convolution_figures_equal_enumeration(case, kind):
    c_in, h, w, c_out, kernel, stride, padding, dilation, groups = case
    rng = np.random.default_rng(c_in * h * w)
    weight = (rng.standard_normal((c_out, c_in // groups, *kernel)) * 3).astype(np.float32)
    weight[rng.random(weight.shape) < 0.4] = 0
    weight = np.asfortranarray(weight) if kind == "fortran" else weight.astype(kind)
    fan_in, fan_out, nonzero = enumerate_conv(weight, c_in, h, w, stride, padding, dilation, groups)
    layer = deployment_stats(conv_graph(c_in, h, w, weight, stride, padding, dilation, groups)).layers[-1]
    assert (layer.synapses, layer.nonzero_synapses) == (int(fan_in.sum()), nonzero)
    assert (layer.fan_in_max, layer.fan_out_max) == (int(fan_in.max(initial=0)), int(fan_out.max()))
    assert layer.fan_in_mean == pytest.approx(fan_in.mean() if fan_in.size else 0.0)
    assert layer.fan_out_mean == pytest.approx(fan_out.mean())
    assert (layer.dense_synops, layer.macs, layer.acs) == (layer.synapses, layer.synapses, 0.0)  # analog input


@pytest.mark.parametrize("source", ["rate", "spikes"])
def test_operations_from_rates_are_spikes_times_fan_out(tmp_path, source):
    c_in, h, w, timesteps = 3, 9, 8, 5
    weight = np.ones((4, c_in, 3, 3), np.float32)
    graph = conv_graph(c_in, h, w, weight, (2, 1), (1, 2), (1, 2), 1, lif_before=True)
    _, fan_out, _ = enumerate_conv(weight, c_in, h, w, (2, 1), (1, 2), (1, 2), 1)
    spikes_per_neuron = 2  # over the inference, every neuron alike
    expected = float((spikes_per_neuron / timesteps * fan_out).sum())
    entry = spikes_per_neuron / timesteps if source == "rate" else {"spikes": spikes_per_neuron * c_in * h * w}
    path = tmp_path / "rates.json"
    path.write_text(json.dumps({"spikes": entry}))
    layer = deployment_stats(graph, rates=str(path), timesteps=timesteps).layers[-1]
    assert layer.input_spikes and layer.acs == pytest.approx(expected) and layer.macs == 0
    assert layer.synops == pytest.approx(expected)


def test_worked_energy_example(tmp_path):
    # classifier: conv1 reads the analog image (MACs), fc1 the pooled spikes of lif1 (ACs at the rate), fc2 the
    # analog output of fc1 (MACs).
    stats = deployment_stats(examples.classifier(), rates=0.1, timesteps=4)
    totals = stats.totals
    assert (totals.neurons, totals.synapses) == (8 * 16 * 16 + 10, 8 * 46 * 46 + 32 * 512 + 10 * 32)
    assert totals.acs == pytest.approx(0.1 * 32 * 512) and totals.macs == 8 * 46 * 46 + 10 * 32
    step = 0.9e-12 * 1638.4 + 4.6e-12 * 17248
    assert (totals.energy_per_timestep_j, totals.energy_j) == (pytest.approx(step), pytest.approx(4 * step))
    table = tmp_path / "costs.toml"
    table.write_text('source = "our chip"\ne_ac_pj = 2\ne_mac_pj = 10\ne_update_pj = 0.5\n')
    mine = deployment_stats(examples.classifier(), rates=0.1, timesteps=4, costs=str(table), state_bits=8).totals
    assert mine.energy_j == pytest.approx(4e-12 * (2 * 1638.4 + 10 * 17248 + 0.5 * 2058))
    assert mine.state_bits == 2058 * 8


def run_cost(*arguments, cwd):
    return cli("cost", *map(str, arguments), cwd=cwd)


def test_cost_command(tmp_path):
    ir.write(tmp_path / "model.o1c", examples.detector())
    done = run_cost("model.o1c", "--rate", "0.2", "--timesteps", "2", "--format", "json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)
    direct = deployment_stats(examples.detector(), rates=0.2, timesteps=2)
    assert {"name", "neurons", "synapses", "fan_in_max", "fan_out_max", "synops", "acs", "macs"} <= set(
        record["layers"][0])
    assert [layer["synapses"] for layer in record["layers"]] == [layer.synapses for layer in direct.layers]
    assert record["totals"]["energy_j"] == pytest.approx(direct.totals.energy_j)
    done = run_cost("model.o1c", "--rate", "2", cwd=tmp_path)
    assert done.returncode == 2 and "--rate is spikes per neuron per timestep, from 0 to 1, not 2" in done.stderr
    for output_format in ("text", "markdown", "csv"):
        done = run_cost("model.o1c", "--format", output_format, cwd=tmp_path)
        assert done.returncode == 0 and "head" in done.stdout and "SDDetect" in done.stdout, done.stderr


@pytest.mark.parametrize("name, text, message", [
    ("r.json", '{"nope": 0.1}', "unknown layer 'nope'"),
    ("r.json", '{"lif1": -0.5}', "layer 'lif1': a rate must be a finite number of at least 0"),
    ("r.json", '{"lif1": "high"}', "layer 'lif1': expected a number, got str"),
    ("r.json", '{"fc1": 0.5}', "layer 'fc1' is a Affine, not a LIF layer"),
    ("r.json", '{"lif2": 0.5}', "no rate for LIF layer 'lif1', which feeds 'fc1'"),
    ("r.csv", "layer,rate\nlif1,0.1\nlif2,abc\n", "line 3: layer 'lif2': expected a number, got 'abc'"),
    ("r.csv", "name,rate\n", "line 1: expected the header"),
    ("r.npz", None, "layer 'lif1': spike counts must be finite and at least 0"),
    ("c.toml", "e_ac_pj = 1\nwatts = 3\n", "unknown key 'watts'"),
    ("c.toml", 'e_mac_pj = "4"\n', "key 'e_mac_pj': expected a number of picojoules"),
])
def test_bad_rates_and_costs_are_one_line_naming_the_entry(tmp_path, name, text, message):
    ir.write(tmp_path / "model.o1c", examples.classifier())
    if name.endswith(".npz"):
        np.savez(tmp_path / name, lif1=np.full(2048, -1.0), lif2=np.zeros(10))
    else:
        (tmp_path / name).write_text(text)
    option = "--costs" if name.endswith(".toml") else "--rates"
    done = run_cost("model.o1c", option, name, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == "", done.stdout
    assert len(done.stderr.splitlines()) == 1 and message in done.stderr and "Traceback" not in done.stderr


def test_rates_from_python_and_npz(tmp_path):
    graph = examples.classifier()  # lif2 feeds no weighted layer: lif1's rate is all that is needed
    assert deployment_stats(graph, rates={"lif1": 0.25}).layers[5].acs == 0.25 * 32 * 512
    np.savez(tmp_path / "counts.npz", lif1=np.full((8, 16, 16), 3), lif2=np.float64(0.5))
    assert deployment_stats(graph, rates=tmp_path / "counts.npz", timesteps=6).layers[5].acs == 0.5 * 32 * 512
    with pytest.raises(RatesError, match="rate: a rate is spikes per neuron per timestep, at most 1"):
        deployment_stats(graph, rates=1.5)


def test_report_shows_the_deployment_columns_and_chart():
    from ondrel.sdk.report import ModelView

    page = ModelView(examples.classifier()).html()
    assert "Fan-out max" in page and "Synaptic operations per timestep (dense)" in page


def test_spike_inputs_are_found_in_any_node_order_and_cycles_are_analog():
    f32 = np.float32
    nodes = {"fc": ir.Affine(weight=np.ones((3, 4), f32)), "flat": ir.Flatten(), "in": ir.Input(),
             "lif": ir.LIF(output_type={"output": shape(1, 4)}), "a": ir.Flatten(), "b": ir.Flatten(),
             "fc2": ir.Affine(weight=np.ones((2, 2), f32)), "avg": ir.AvgPool2d(),
             "fc3": ir.Affine(weight=np.ones((1, 1), f32))}
    edges = [("in", "lif"), ("lif", "flat"), ("flat", "fc"), ("a", "b"), ("b", "a"), ("b", "fc2"), ("lif", "avg"),
             ("avg", "fc3")]
    layers = {layer.name: layer for layer in deployment_stats(ir.Graph(nodes=nodes, edges=edges), rates=0.5).layers}
    assert (layers["fc"].input_spikes, layers["fc"].acs, layers["fc"].macs) == (True, 6.0, 0.0)
    assert [(layers[n].input_spikes, layers[n].macs) for n in ("fc2", "fc3")] == [(False, 4.0), (False, 1.0)]


def test_names_and_settings_of_any_text():
    # Lone surrogates are valid str; notes and spike settings are read from them without an error.
    nodes = {"in": ir.Input(), "fc\udc80": ir.Affine(weight=np.ones((2, 3), np.float32)),
             "skip\udc80": ir.Skip(skip_type="pass\udc80"), "conv\udc80": ir.Conv2d(weight=np.ones((1, 1, 1, 1)))}
    edges = [("in", "fc\udc80"), ("fc\udc80", "skip\udc80"), ("skip\udc80", "conv\udc80")]
    layers = deployment_stats(ir.Graph(nodes=nodes, edges=edges)).layers
    assert layers[1].synapses == 6 and layers[3].note == "no input shape of at least (batch, H, W) for conv\udc80"
