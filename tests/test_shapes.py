"""Port shape inference: each class's rule against a computation of its own here, the findings on faulty
models, both routes alike, and the command line."""

import itertools

import numpy as np
import pytest

from ondrel import ir
from ondrel.sdk import examples
from ondrel.sdk.examples import ports, shape
from ondrel.sdk.lint_rules import SHAPE_CATALOGUE
from ondrel.sdk.shapes import check_shapes, fill_shapes, infer_shapes
from test_cli import cli


def chain(x, *layers, declare=False):
    """Input of shape x, the layers in a row, an Output; the layers declare no shapes unless asked."""
    nodes = {"x": ir.Input(**ports(x, x))}
    nodes.update((f"l{i}", layer) for i, layer in enumerate(layers))
    nodes["y"] = ir.Output()
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def out_of(x, *layers):
    return infer_shapes(chain(x, *layers))[f"l{len(layers) - 1}"]["output"]


def codes(graph):
    return [(issue.code, issue.node) for issue in check_shapes(graph)]


def window_count(size, kernel, stride, padding, dilation=1):
    """Positions of a dilated window over the padded input, counted one by one."""
    reach = dilation * (kernel - 1)
    return sum(1 for start in range(0, size + 2 * padding) if start % stride == 0 and start + reach < size + 2 * padding)


W = np.zeros  # weights: only their shape matters here

CONV_CASES = [
    # (c_in, h, w), c_out, groups, kernel, stride, padding, dilation
    (c, h, w, c_out, g, k, s, p, d)
    for (c, h, w), c_out, g, k, s, p, d in itertools.product(
        [(4, 7, 9), (6, 16, 15), (2, 5, 5)], [4, 6], [1, 2], [(1, 1), (3, 3), (3, 2), (5, 1)], [(1, 1), (2, 3), (3, 3)],
        [(0, 0), (1, 2)], [(1, 1), (2, 1)])
    if c % g == 0 and c_out % g == 0 and all(x + 2 * pp > dd * (kk - 1) for x, pp, dd, kk in zip((h, w), p, d, k))
]


@pytest.mark.parametrize("c, h, w, c_out, g, k, s, p, d", CONV_CASES[::3])
def test_conv2d(c, h, w, c_out, g, k, s, p, d):
    conv = ir.Conv2d(weight=W((c_out, c // g, *k)), stride=s, padding=p, dilation=d, groups=g)
    expected = (1, c_out, *(window_count(x, kk, ss, pp, dd) for x, kk, ss, pp, dd in zip((h, w), k, s, p, d)))
    assert out_of((1, c, h, w), conv) == expected


@pytest.mark.parametrize("cls", [ir.MaxPool2d, ir.AvgPool2d])
@pytest.mark.parametrize("h, w, k, s, p", [(8, 8, 2, 2, 0), (7, 9, 3, 2, 1), (5, 6, (3, 2), (1, 2), (1, 1)),
                                           (11, 4, 4, 3, 2), (9, 9, 3, 3, 0)])
def test_pooling(cls, h, w, k, s, p):
    k2, s2, p2 = ((v, v) if isinstance(v, int) else v for v in (k, s, p))
    expected = (2, 3, *(window_count(x, kk, ss, pp) for x, kk, ss, pp in zip((h, w), k2, s2, p2)))
    assert out_of((2, 3, h, w), cls(kernel_size=k, stride=s, padding=p)) == expected


@pytest.mark.parametrize("x, start, end", [((1, 8, 4, 4), 1, -1), ((2, 3, 4, 5), 0, 2), ((2, 3, 4, 5), -3, -2),
                                           ((2, 3, 4, 5), 2, 2), ((7,), 0, -1), ((1, 5), 1, 1)])
def test_flatten(x, start, end):
    assert out_of(x, ir.Flatten(start_dim=start, end_dim=end)) == np.zeros(x).reshape(
        x[:start % len(x)] + (-1,) + x[end % len(x) + 1:]).shape


@pytest.mark.parametrize("x, scale, size, expected", [
    ((1, 4, 5, 7), 2, None, (1, 4, 10, 14)), ((1, 4, 5, 7), 1.5, None, (1, 4, 7, 10)),
    ((1, 4, 5, 7), (0.5, 3.0), None, (1, 4, 2, 21)), ((1, 4, 5, 7), 2, 9, (1, 4, 9, 9)),
    ((1, 4, 5, 7), 2, (3, 8), (1, 4, 3, 8)), ((2, 3, 10), 2.5, None, (2, 3, 25))])
def test_upsample(x, scale, size, expected):
    assert out_of(x, ir.Upsample(scale_factor=scale, size=size)) == expected


def test_affine_sepconv_and_flatten_chain():
    layers = (ir.SepConv2d(depthwise_weight=W((6, 1, 3, 3)), pointwise_weight=W((10, 6, 1, 1)), stride=2, padding=1),
              ir.Flatten(), ir.SpikingAffine(weight=W((7, 10 * 8 * 5))))
    shapes = infer_shapes(chain((1, 6, 15, 10), *layers))
    assert [shapes[f"l{i}"]["output"] for i in range(3)] == [(1, 10, 8, 5), (1, 400), (1, 7)]


def merge_graph(a, b, merge):
    nodes = {"a": ir.Input(**ports(a, a)), "b": ir.Input(**ports(b, b)), "m": merge, "y": ir.Output()}
    return ir.Graph(nodes=nodes, edges=[("a", "m"), ("b", "m"), ("m", "y")])


@pytest.mark.parametrize("merge, a, b, expected", [
    (ir.Concat(dim=1), (1, 3, 4, 4), (1, 5, 4, 4), (1, 8, 4, 4)),
    (ir.Concat(dim=-1), (2, 3, 4), (2, 3, 6), (2, 3, 10)),
    (ir.Skip(skip_type="concatenate"), (1, 3, 4, 4), (1, 2, 4, 4), (1, 5, 4, 4)),
    (ir.Skip(skip_type="residual"), (1, 3, 4, 4), (1, 3, 4, 4), (1, 3, 4, 4)),
    (ir.Concat(dim=1), (1, 3, 4, 4), (1, 3, 5, 4), None),
    (ir.Skip(skip_type="residual"), (1, 3, 4, 4), (1, 4, 4, 4), None)])
def test_merges(merge, a, b, expected):
    graph = merge_graph(a, b, merge)
    assert infer_shapes(graph)["m"]["output"] == expected
    assert codes(graph) == ([] if expected else [("SHAPE_MERGE_MISMATCH", "m")])


@pytest.mark.parametrize("sections, expected", [((2, 6), [(1, 2, 3), (1, 6, 3)]), (None, [(1, 4, 3), (1, 4, 3)]),
                                                (5, [(1, 5, 3), (1, 3, 3)])])
def test_channel_split_sends_its_sections_in_edge_order(sections, expected):
    nodes = {"x": ir.Input(**ports((1, 8, 3), (1, 8, 3))), "s": ir.ChannelSplit(split_sections=sections, dim=1),
             "p": ir.Output(), "q": ir.Output()}
    shapes = infer_shapes(ir.Graph(nodes=nodes, edges=[("x", "s"), ("s", "p"), ("s", "q")]))
    assert [shapes["p"]["input"], shapes["q"]["input"]] == expected


@pytest.mark.parametrize("size, finding", [(1, False), (16 * 32 * 32, False), ((16, 1, 1), False),
                                           ((32, 32), False), (100, True), ((16, 1), True)])
def test_lif_parameter_sizes(size, finding):
    lif = ir.LIF(tau=np.ones(size, np.float32))
    assert codes(chain((1, 16, 32, 32), lif)) == ([("SHAPE_LIF_SIZE", "l0")] if finding else [])


def test_the_faulty_models_are_found():
    # the second convolution expects 8 channels where the first gives 16; a LIF of 100 neurons after 1x16x32x32
    graph = chain((1, 3, 32, 32), ir.Conv2d(weight=W((16, 3, 3, 3)), padding=1),
                  ir.Conv2d(weight=W((16, 8, 3, 3)), padding=1), ir.LIF(tau=np.ones(100, np.float32)))
    issues = check_shapes(graph)
    assert [(i.code, i.node, i.severity.value) for i in issues] == [
        ("SHAPE_WEIGHT_MISMATCH", "l1", "error"), ("SHAPE_LIF_SIZE", "l2", "error")]
    assert "16x8x3x3" in issues[0].message and "1x16x32x32" in issues[0].message
    # the stride changed, the declared output shape did not
    trained = examples.classifier()
    trained.nodes["conv1"].stride = (2, 2)
    first = check_shapes(trained)[0]
    assert (first.code, first.node) == ("SHAPE_DECLARED_MISMATCH", "conv1")
    assert first.message == "Node 'conv1' declares output shape 1x8x16x16, but 1x8x8x8 is inferred"


def test_inference_stops_with_a_reason():
    graph = chain((1, 3, 4, 4), ir.Conv2d(weight=W((8, 3, 5, 5))), ir.Flatten())
    assert codes(graph) == [("SHAPE_UNINFERRABLE", "l0")]
    assert "larger than the padded input" in check_shapes(graph)[0].message
    assert infer_shapes(graph)["l1"] == {"input": None, "output": None}


def test_examples_are_consistent_and_every_code_is_catalogued():
    for build in examples.BUILDERS.values():
        assert check_shapes(build()) == []
    assert {entry["code"] for entry in SHAPE_CATALOGUE} == {"SHAPE_WEIGHT_MISMATCH", "SHAPE_LIF_SIZE",
                                                            "SHAPE_DECLARED_MISMATCH", "SHAPE_MERGE_MISMATCH",
                                                            "SHAPE_UNINFERRABLE"}


def test_host_route_gives_what_the_snapshot_gives():
    graph = examples.detector()
    graph.nodes["fuse"].out_channels = 24  # findings downstream, through both routes
    subclassed = {name: type(type(node).__name__, (type(node),), {"__module__": __name__})(**vars(node))
                  for name, node in graph.nodes.items()}
    duck = {name: type(type(node).__name__, (), dict(vars(node)))() for name, node in graph.nodes.items()}
    for nodes in (subclassed, duck):
        other = ir.Graph(nodes=nodes, edges=graph.edges)
        assert infer_shapes(other) == infer_shapes(graph)
        assert check_shapes(other) == check_shapes(graph) != []


def test_fill_shapes_fills_missing_and_keeps_declared():
    graph = examples.classifier()
    graph.nodes["conv1"].output_type = None
    graph.nodes["fc1"].input_type = {"input": shape(1, 99)}
    assert fill_shapes(graph) == 1 and tuple(graph.nodes["conv1"].output_type["output"]) == (1, 8, 16, 16)
    assert tuple(graph.nodes["fc1"].input_type["input"]) == (1, 99)
    assert fill_shapes(graph, overwrite=True) == 1 and tuple(graph.nodes["fc1"].input_type["input"]) == (1, 512)


def test_command_line(tmp_path):
    graph = examples.classifier()
    for node in list(graph.nodes.values())[1:]:
        node.input_type = node.output_type = None
    ir.write(tmp_path / "bare.o1c", graph)
    assert "MISSING_OUTPUT_SHAPE" in cli("lint", "bare.o1c", cwd=tmp_path).stdout
    run = cli("infer-shapes", "bare.o1c", "-o", "full.o1c", cwd=tmp_path)
    assert run.returncode == 0 and "16 port shapes written" in run.stdout, run.stderr
    lint = cli("lint", "full.o1c", cwd=tmp_path)
    assert lint.returncode == 0 and "no issues" in lint.stdout
    refused = cli("infer-shapes", "bare.o1c", "-o", "bare.o1c", "--force", cwd=tmp_path)
    assert refused.returncode == 2 and "is also an input" in refused.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bare.o1c", "full.o1c"]

    graph.nodes["fc1"].weight = W((32, 100), np.float32)
    ir.write(tmp_path / "bad.o1c", graph)
    found = cli("lint", "bad.o1c", "--format", "json", cwd=tmp_path)
    assert found.returncode == 1 and "SHAPE_WEIGHT_MISMATCH" in found.stdout
    assert cli("lint", "bad.o1c", "--ignore", "SHAPE_", cwd=tmp_path).returncode == 0
    (tmp_path / "pyproject.toml").write_text('[tool.ondrel-sdk.lint]\nignore = ["SHAPE_WEIGHT"]\n')
    assert cli("lint", "bad.o1c", cwd=tmp_path).returncode == 0


def test_a_cycle_stops_inference_where_known_shapes_reach_it():
    graph = chain((1, 4), ir.Affine(weight=W((4, 4))), ir.Affine(weight=W((4, 4))), ir.Affine(weight=W((4, 4))))
    graph.edges.append(("l2", "l1"))
    assert codes(graph) == [("SHAPE_UNINFERRABLE", "l1")] and infer_shapes(graph)["l0"]["output"] == (1, 4)


def test_report_shows_inferred_shapes_and_marks_findings():
    from ondrel.sdk.report import ModelView

    graph = examples.classifier()
    graph.nodes["conv1"].stride = (2, 2)
    shapes = next(c for c in ModelView(graph).scene.contributions if c.title == "Shapes")
    (inferred,) = (dict(zip(graph.nodes, column.values)) for column in shapes.columns)
    assert inferred["conv1"] == "1x1x16x16 → 1x8x8x8"
    assert ("SHAPE_DECLARED_MISMATCH", "conv1") in [(f.code, f.node) for f in shapes.findings]


@pytest.mark.parametrize("x, layer, reason", [
    ((1, 2**40, 2**40, 2**40), ir.Flatten(start_dim=0), "a size overflows 64 bits"),
    ((-1, 3), ir.Flatten(), "the Input declares the shape -1x3"),
    ((1, 3, 8, 8), ir.Conv2d(weight=W((4, 3, 3, 3)), stride=0), "stride must be positive"),
    ((1, 3, 8, 8), ir.MaxPool2d(kernel_size=2, padding=2), "padding is more than half"),
    ((1, 3, 8), ir.Skip(skip_type="sideways"), "skip_type sideways has no shape rule")])
def test_settings_no_layer_can_have_stop_inference(x, layer, reason):
    issues = check_shapes(chain(x, layer))
    assert [i.code for i in issues] == ["SHAPE_UNINFERRABLE"] and reason in issues[0].message
