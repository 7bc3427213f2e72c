"""Reports and drawings as their users see them: pages in headless Chromium, files from the command line,
SVG read as XML and DOT read by Graphviz."""

import io
import json
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
from PIL import Image
from test_cli import PACKAGE_ROOT, child_env, cli

from ondrel import ir
from ondrel.sdk import examples
from ondrel.sdk.analyze import analyze_graph, format_bytes
from ondrel.sdk.compare import compare_graphs
from ondrel.sdk.lint import lint_graph
from ondrel.sdk.report import Chart, Column, Contribution, DiffView, DrawingLimitError, Finding, ModelView
from ondrel.sdk.report import scene as scene_module
from ondrel.sdk.report.layout import NODE_GAP, layered_layout

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
from bench_report import every_forward_edge, wide_fan_in  # noqa: E402
from headless_chromium import Chromium, find_chromium  # noqa: E402

SVG = "{http://www.w3.org/2000/svg}"
SEVERITY_RANK = {"info": 1, "warning": 2, "error": 3}

# Names a file may hold: markup characters, a script end tag, white space, control characters and
# non-ASCII text.
ODD_NAMES = ['say "hi"', "<b>&amp;</b>", "</script><script>throw 1</script>", "tab\tand\nline", "ctl\x01\x1f\x7f",
             "naïve 模型 🧠", "it's", "back\\slash"]


def odd_graph():
    """A chain through ODD_NAMES with a feedback edge (a cycle) and one LIF layer that lints with an error."""
    lif = ir.LIF(tau=np.full(4, 20.0, np.float32), v_threshold=np.zeros(4, np.float32))
    names = ["in", *ODD_NAMES, "out"]
    nodes = {name: ir.Affine(weight=np.ones((4, 4), np.float32)) for name in ODD_NAMES}
    nodes.update({"in": ir.Input(), "out": ir.Output(), "<b>&amp;</b>": lif})
    edges = list(zip(names, names[1:])) + [("it's", 'say "hi"')]
    return ir.Graph(nodes={name: nodes[name] for name in names}, edges=edges)


def drawn_name(name):
    """How a name appears in markup: characters XML cannot hold become visible stand-ins."""
    return "".join(chr(0x2400 + ord(c)) if ord(c) < 32 and c not in "\t\n\r"
                   else "\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in name)


VIEWS = {  # name -> builders of the graphs: one for a model view, two for a diff view
    "detector": (examples.detector,),
    "odd names": (odd_graph,),
    "classifier diff": (examples.classifier, examples.classifier_trained),
    "structural diff": (examples.classifier, examples.detector),
}


def build(name):
    graphs = [make() for make in VIEWS[name]]
    return graphs, ModelView(*graphs) if len(graphs) == 1 else DiffView(*graphs)


def expected_marks(graphs):
    """drawn name -> (class attribute, data-severity) that every drawn node must carry."""
    if len(graphs) == 1:
        worst = {}
        for issue in lint_graph(graphs[0]).issues:
            if issue.node is not None and SEVERITY_RANK[issue.severity.value] > SEVERITY_RANK.get(worst.get(
                    issue.node), 0):
                worst[issue.node] = issue.severity.value
        return {drawn_name(name): ("node", worst.get(name)) for name in graphs[0].nodes}
    diff = compare_graphs(*graphs)
    status = {name: f"node {kind}" for kind, names in (("added", diff.nodes_added), ("removed", diff.nodes_removed),
                                                       ("modified", diff.nodes_modified)) for name in names}
    return {drawn_name(name): (status.get(name, "node"), None) for name in {*graphs[0].nodes, *graphs[1].nodes}}


def edge_marks(graphs):
    if len(graphs) == 1:
        return Counter()
    diff = compare_graphs(*graphs)
    return Counter({"edge added": len(diff.edges_added), "edge removed": len(diff.edges_removed)}) - Counter()


def assert_not_blank(png):
    image = Image.open(io.BytesIO(png)).convert("RGB")
    colours = image.getcolors(maxcolors=image.width * image.height)
    background = max(count for count, _ in colours)
    assert len(colours) > 50 and background < 0.97 * image.width * image.height, "the screenshot is blank"


@pytest.fixture(scope="module")
def browser():
    if find_chromium() is None:
        pytest.skip("chromium is not installed, and tools/ensure_test_programs.sh could not install it")
    with Chromium() as chromium:
        yield chromium


def open_page(browser, folder, view):
    path = folder / "page.html"
    view.save(path)
    return browser.open(path)


# ---------------------------------------------------------------- the page in a browser


DRAWN_NODES = ("Array.from(document.querySelectorAll('.node[data-node]'), "
               "n => [n.dataset.node, n.getAttribute('class'), n.dataset.severity || null])")
DRAWN_EDGES = "Array.from(document.querySelectorAll('.edge'), e => e.getAttribute('class'))"


@pytest.mark.parametrize("name", VIEWS)
def test_page_opens_offline_with_every_node_drawn_and_marked(browser, tmp_path, name):
    graphs, view = build(name)
    page = open_page(browser, tmp_path, view)
    assert page.console_errors == []
    assert page.requests == [page.url]  # nothing fetched
    drawn = page.evaluate(DRAWN_NODES)
    assert {node: (classes, severity) for node, classes, severity in drawn} == expected_marks(graphs)
    assert len(drawn) == len(expected_marks(graphs))
    assert Counter(c for c in page.evaluate(DRAWN_EDGES) if c != "edge") == edge_marks(graphs)
    assert_not_blank(page.screenshot("#graph"))
    page.close()


def test_selection_findings_table_and_charts_work_as_clicked(browser, tmp_path):
    graph = examples.detector()
    layers = analyze_graph(graph).layers
    page = open_page(browser, tmp_path, ModelView(graph))
    selected = "document.querySelector('.node.selected')?.dataset.node"

    page.click('.node[data-node="stem_lif"]')
    panel = page.evaluate("document.getElementById('panel').innerText")
    stem_lif = next(layer for layer in layers if layer.name == "stem_lif")
    for text in ("LIF_NONPOSITIVE_THRESHOLD", f"{stem_lif.params:,}", format_bytes(stem_lif.bytes), "tau_mean",
                 "(1, 8, 32, 32)"):
        assert text in panel

    page.click('#findings a[data-goto]')  # the first finding about a node
    assert page.evaluate(selected) == next(i.node for i in lint_graph(graph).issues if i.node)

    for _ in range(2):  # ascending, then descending
        page.click("#layer-table th:nth-child(4)")
    rows = page.evaluate("Array.from(document.querySelectorAll('#layer-table tr[data-row]'), "
                         "r => r.children[1].textContent)")
    assert rows == [layer.name for _, layer in sorted(enumerate(layers), key=lambda item: (-item[1].params,
                                                                                          item[0]))]
    page.click("#layer-table tr[data-row]")
    assert page.evaluate(selected) == rows[0]

    page.click(".chart .bar[data-goto]")
    assert page.evaluate(selected) == next(layer.name for layer in layers if layer.params)

    before = page.evaluate("document.querySelector('#graph svg').getAttribute('viewBox')")
    page.click('[data-zoom="in"]')
    assert page.evaluate("document.querySelector('#graph svg').getAttribute('viewBox')") != before
    assert page.console_errors == []
    page.close()


def test_notebook_frame_runs_the_page(browser, tmp_path):
    view = ModelView(examples.detector())
    assert view._repr_svg_() == view.svg()
    (tmp_path / "notebook.html").write_text(f"<!DOCTYPE html><body>{view._repr_html_()}</body>", encoding="utf-8")
    page = browser.open(tmp_path / "notebook.html", wait_until_ready=False)
    page.evaluate("new Promise(resolve => setTimeout(resolve, 500))")
    assert page.console_errors == [] and page.requests == [page.url]
    assert_not_blank(page.screenshot("iframe"))
    page.close()


def blocks_graph(blocks=80, scale=1.0, extra=None, without=None):
    """Input, ``blocks`` blocks "stageS.blockB.{conv,lif,add}" (ten a stage), Output: 242 nodes, drawn in
    groups. ``scale`` multiplies the weights of blocks 5, 47 and 78; ``extra`` names a block that gets one
    more node, ``without`` one whose LIF is left out."""
    rng = np.random.default_rng(1)
    nodes, edges, last = {"in": ir.Input()}, [], "in"
    for b in range(blocks):
        prefix = f"stage{b // 10}.block{b}"
        weight = rng.standard_normal((4, 4, 1, 1)).astype(np.float32) * (scale if b in (5, 47, 78) else 1.0)
        chain = [(f"{prefix}.conv", ir.Conv2d(weight=weight))]
        if b != without:
            chain.append((f"{prefix}.lif", ir.LIF(tau=np.full(4, 20.0, np.float32),
                                                  v_threshold=np.ones(4, np.float32))))
        if b == extra:
            chain.append((f"{prefix}.extra", ir.Skip()))
        chain.append((f"{prefix}.add", ir.Skip(skip_type="residual")))
        for name, node in chain:
            nodes[name] = node
            edges.append((last if name.endswith("conv") else previous, name))
            previous = name
        edges.append((last, f"{prefix}.add"))
        last = f"{prefix}.add"
    nodes["out"] = ir.Output()
    edges.append((last, "out"))
    return ir.Graph(nodes=nodes, edges=edges)


DRAWN = "(name) => document.querySelector(`.node[data-node='${name}']`) !== null"
SELECTED = "document.querySelector('.node.selected')?.dataset.node"


def test_large_model_opens_grouped_and_groups_open_in_place(browser, tmp_path):
    page = open_page(browser, tmp_path, ModelView(blocks_graph()))
    assert page.evaluate("document.querySelectorAll('.node').length") == 2  # the input and the output
    groups = page.evaluate("Array.from(document.querySelectorAll('.group'), g => g.textContent)")
    assert len(groups) == 8 and all("30 nodes" in text for text in groups)
    page.click('.group[data-group] text')  # the first stage: its ten blocks open with it, being small
    assert page.evaluate(f"({DRAWN})('stage0.block3.conv')")
    assert page.evaluate("document.querySelectorAll('.node').length") == 2 + 30
    page.click(".group.open .frame-label")  # the stage's
    assert not page.evaluate(f"({DRAWN})('stage0.block3.conv')")
    page.click('#findings a[data-goto]')  # a finding inside a closed group opens it
    assert page.evaluate(SELECTED) is not None
    assert page.console_errors == []
    page.close()


def test_next_change_visits_every_change(browser, tmp_path):
    before, after = blocks_graph(), blocks_graph(scale=2.0, extra=20, without=66)
    diff = compare_graphs(before, after)
    changed = {*diff.nodes_added, *diff.nodes_removed, *diff.nodes_modified}
    assert len(changed) == 5
    page = open_page(browser, tmp_path, DiffView(before, after, sources=("runs/a/model.o1c", "runs/b/model.o1c")))
    visited = []
    for _ in range(len(changed)):
        page.click('[data-step="1"]')
        name = page.evaluate(SELECTED)
        assert page.evaluate(f"({DRAWN})({json.dumps(name)})")  # drawn: its groups were opened
        visited.append(name)
    assert sorted(visited) == sorted(changed)
    page.evaluate("document.dispatchEvent(new KeyboardEvent('keydown', {key: 'n'}))")
    assert page.evaluate(SELECTED) == visited[0]  # round again

    # The diff's statistics of a changed array, in the panel.
    page.click('#change-list a[data-goto]')
    assert "Mismatched elements: 16 / 16" in page.evaluate("document.getElementById('panel').innerText")
    # Short file labels, full paths on hover; changed rows marked in the layer table.
    assert page.evaluate("Array.from(document.querySelectorAll('.sources span'), s => [s.textContent, s.title])") \
        == [["A: a/model.o1c", "runs/a/model.o1c"], ["B: b/model.o1c", "runs/b/model.o1c"]]
    rows = page.evaluate("Array.from(document.querySelectorAll('#layer-table tr[data-row]'), "
                         "r => r.className.replace('selected', '').trim())")
    assert Counter(rows) == Counter({"": 243 - 5, "modified": 3, "added": 1, "removed": 1})
    assert page.console_errors == []
    page.close()


@pytest.mark.parametrize("make", [examples.classifier, examples.detector, odd_graph])
def test_small_models_open_readable_and_fit_never_goes_below(browser, tmp_path, make):
    page = open_page(browser, tmp_path, ModelView(make()))
    scale = "document.getElementById('graph').clientWidth / document.querySelector('#graph svg').viewBox.baseVal.width"
    assert page.evaluate(scale) >= 0.75
    page.click('[data-zoom="fit"]')
    assert page.evaluate(scale) >= 0.75
    severities = page.evaluate("Array.from(document.querySelectorAll('#finding-list .sev'), s => s.textContent)")
    assert severities == sorted(severities, key=lambda severity: -SEVERITY_RANK[severity])
    page.close()


def test_providers_add_columns_findings_charts_and_totals(browser, tmp_path):
    def doubled_parameters(graph, scene):  # a stand-in for figures other parts of the SDK will provide
        values = [node.layer.params * 2 or None for node in scene.nodes]
        rows = [(str(node.name), value, f"{value:,}", i) for i, (node, value) in enumerate(zip(scene.nodes, values))
                if value]
        from_numpy = [np.int64(value) if value else np.nan for value in values]  # numpy numbers, and NaN
        return Contribution("Doubled", columns=[Column("From numpy", from_numpy, numeric=True),
                                                Column("Twice the parameters", values, numeric=True)],
                            findings=[Finding("error", "TOO_MANY", "far too many", node="down1")],
                            charts=[Chart("Twice the parameters per layer", rows)], totals=[("Doubled", "yes")])

    graph = examples.detector()
    view = ModelView(graph, providers=[doubled_parameters])
    assert 'data-node="down1" data-index="3" data-class="GhostBasicBlock1" data-severity="error"' in view.svg()
    page = open_page(browser, tmp_path, view)
    page.click('.node[data-node="down1"]')
    down1 = next(layer for layer in analyze_graph(graph).layers if layer.name == "down1")
    panel = page.evaluate("document.getElementById('panel').innerText")
    assert "TOO_MANY" in panel and f"Twice the parameters\t{down1.params * 2:,}" in panel
    assert f"From numpy\t{down1.params * 2:,}" in panel
    assert page.evaluate("document.querySelector('#layer-table th:last-child').textContent") == "Twice the parameters"
    assert page.evaluate("document.querySelector('#finding-list code').textContent") in ("TOO_MANY",
                                                                                         "LIF_NONPOSITIVE_THRESHOLD")
    assert "Twice the parameters per layer" in page.evaluate("document.getElementById('charts').innerText")
    assert "DOUBLED\nyes" in page.evaluate("document.querySelector('.totals').innerText")
    assert page.console_errors == []
    page.close()
    with pytest.raises(ValueError, match="column 'short' of 'Bad' has 1 values for 16 nodes"):
        ModelView(graph, providers=[lambda graph, scene: Contribution("Bad", columns=[Column("short", [1])])])


def test_page_shows_shapes_deployment_and_target(browser, models):
    result = cli("report", "classifier.o1c", "--target", "truenorth", "-o", "page.html", cwd=models)
    assert result.returncode == 0 and result.stderr == ""
    page = browser.open(models / "page.html")
    headers = page.evaluate("Array.from(document.querySelectorAll('#layer-table th'), th => th.textContent)")
    assert {"Inferred shape", "Neurons", "Synapses", "Core"} <= set(headers)
    assert "TARGET_" in page.evaluate("document.getElementById('finding-list').innerText")
    totals = page.evaluate("document.querySelector('.totals').innerText")
    assert "truenorth" in totals and "CORES" in totals.upper()
    assert "Fullest resource per core" in page.evaluate("document.getElementById('charts').innerText")
    assert page.console_errors == []
    page.close()
    assert "give MODEL alone" in cli("report", "classifier.o1c", "detector.o1c", "--target", "loihi",
                                     cwd=models).stderr


# Generated large models: the page is built and opens. The benchmark (bench/bench_report.py) measures how fast;
# here only that it completes. They take a while, so they run once: on the main Python version, not under the
# sanitizers.
LARGE = pytest.mark.skipif(sys.version_info[:2] != (3, 10) or os.environ.get("ONDREL_SANITIZED") == "1",
                           reason="large models are drawn once, on the main Python version without sanitizers")


@LARGE
@pytest.mark.parametrize("make", [lambda: blocks_graph(33_333), wide_fan_in, every_forward_edge],
                         ids=["100k nodes", "60,000-way fan-in", "1M edges"])
def test_large_models_are_drawn(browser, tmp_path, make):
    graph = make()
    page = open_page(browser, tmp_path, ModelView(graph))
    assert page.console_errors == [] and page.requests == [page.url]
    assert 0 < page.evaluate("document.querySelectorAll('.node, .group').length") <= 200
    page.close()


# ---------------------------------------------------------------- the files


@pytest.mark.parametrize("name", VIEWS)
def test_svg_is_well_formed_xml_with_the_markers(name):
    graphs, view = build(name)
    root = ET.fromstring(view.svg())
    nodes = [g for g in root.iter(f"{SVG}g") if "node" in g.get("class", "").split()]
    assert {g.get("data-node"): (g.get("class"), g.get("data-severity")) for g in nodes} == expected_marks(graphs)
    assert len(nodes) == len(expected_marks(graphs))
    edges = [path.get("class") for path in root.iter(f"{SVG}path") if path.get("class", "").startswith("edge")]
    assert Counter(c for c in edges if c != "edge") == edge_marks(graphs)


@pytest.mark.skipif(shutil.which("dot") is None,
                    reason="Graphviz is not installed, and tools/ensure_test_programs.sh could not install it")
@pytest.mark.parametrize("name", VIEWS)
def test_dot_is_read_by_graphviz_with_the_markers(name):
    graphs, view = build(name)
    result = subprocess.run(["dot", "-Tsvg"], input=view.dot(), capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stderr == ""
    root = ET.fromstring(result.stdout)
    classes = [g.get("class", "") for g in root.iter(f"{SVG}g")]
    assert Counter(c for c in classes if c.startswith("node")) == Counter(c for c, _ in expected_marks(graphs).values())
    assert Counter(c for c in classes if c.startswith("edge ")) == edge_marks(graphs)


def _cycle_graph():
    nodes = {name: ir.Affine() for name in "abc"}
    nodes.update({"in": ir.Input(), "lonely": ir.Skip(), "out": ir.Output()})
    return ir.Graph(nodes=nodes, edges=[("in", "a"), ("a", "b"), ("b", "c"), ("c", "a"), ("b", "b"), ("c", "out")])


def _fan_graph():
    nodes = {"in": ir.Input(), **{f"branch{i}": ir.Conv2d() for i in range(30)}, "join": ir.Concat(),
             "early_out": ir.Output(), "out": ir.Output()}
    edges = [("in", "early_out")] + [e for i in range(30) for e in (("in", f"branch{i}"), (f"branch{i}", "join"))]
    return ir.Graph(nodes=nodes, edges=edges + [("join", "out")])


def _skip_chain(count=400):
    """A chain with an edge from the input to every node: each of those edges skips layers."""
    nodes = {"in": ir.Input(), **{f"c{i}": ir.Skip() for i in range(count)}}
    edges = [("in", "c0"), *((f"c{i}", f"c{i + 1}") for i in range(count - 1)), *(("in", f"c{i}") for i in range(1, count))]
    return ir.Graph(nodes=nodes, edges=edges)


@pytest.mark.parametrize("make, upward", [(examples.detector, 0), (_cycle_graph, 1), (_fan_graph, 0), (_skip_chain, 0)])
def test_layout_puts_inputs_first_and_outputs_last_without_overlaps(make, upward):
    graph = make()
    index = {name: i for i, name in enumerate(graph.nodes)}
    widths = [70 + 13 * (i % 5) for i in range(len(index))]
    edges = list(dict.fromkeys((index[s], index[d]) for s, d in graph.edges))
    kinds = [type(node) for node in graph.nodes.values()]
    layout = layered_layout(widths, edges, outputs=[i for i, kind in enumerate(kinds) if kind is ir.Output])
    x, y = layout.x, layout.y
    assert {y[i] for i, kind in enumerate(kinds) if kind is ir.Input} == {min(y)}
    assert {y[i] for i, kind in enumerate(kinds) if kind is ir.Output} <= {max(y)}
    assert sum(y[d] <= y[s] for s, d in edges if s != d) == upward
    assert sorted(i for route in layout.routes for i in route.edges) == list(range(len(edges)))
    for route in layout.routes:
        # Every line of a route has at most four points, however many layers it passes.
        assert all(len(line) <= 4 for line in route.lines)
        if not route.bus:
            (s, d), line = edges[route.edges[0]], route.lines[0]
            assert line[0][0] == x[s] or s == d and line[0][0] == x[s] + widths[s] / 2
            assert line[-1] == (x[d], y[d]) or s == d
    rows = {}
    for i in range(len(x)):
        rows.setdefault(y[i], []).append((x[i] - widths[i] / 2, x[i] + widths[i] / 2))
    for row in rows.values():
        row.sort()
        assert all(right + NODE_GAP - 0.01 <= left for (_, right), (left, _) in zip(row, row[1:]))
    assert all(0 <= left and right <= layout.width for row in rows.values() for left, right in row)


def test_a_model_past_the_limits_is_one_error_line(models, monkeypatch):
    monkeypatch.setattr(scene_module, "MAX_EDGES", 10)
    with pytest.raises(DrawingLimitError, match=r"^too large to draw: 16 edges, and a report or drawing holds at "
                                                r"most 10 edges$"):
        ModelView(examples.detector())
    script = ("import sys; import ondrel.sdk.report.scene as s; s.MAX_NODES = 10; from ondrel.sdk.cli import main; "
              "sys.exit(main(sys.argv[1:]))")
    result = subprocess.run([sys.executable, "-c", script, "report", "detector.o1c"], cwd=models, env=child_env(),
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == ("ondrel-sdk: error: detector.o1c: too large to draw: 16 nodes, and a report or drawing "
                             "holds at most 10 nodes\n")


# Names that differ only by a control character and its Control Pictures sign, backslashes where DOT
# escapes would bite, quotes and angle brackets.
ID_NAMES = ["a\x01", "a\u2401", "a\u2401 (2)", "back\\slash", "tail\\", 'q\\"q', "<x>\\", "nl\\\nx", 'say "hi"']


def _id_graph():
    nodes = {"in": ir.Input(), **{name: ir.Skip() for name in ID_NAMES}, "out": ir.Output()}
    return ir.Graph(nodes=nodes, edges=[("in", name) for name in ID_NAMES] + [(name, "out") for name in ID_NAMES])


def test_svg_and_dot_ids_are_exact_and_never_merge():
    view = ModelView(_id_graph())
    root = ET.fromstring(view.svg())
    drawn = [g.get("data-node") for g in root.iter(f"{SVG}g") if g.get("class") == "node"]
    assert len(drawn) == len(set(drawn)) == len(ID_NAMES) + 2
    assert set(drawn) >= {name for name in ID_NAMES if name != "a\x01"}  # all but the control character, exact
    if shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed, and tools/ensure_test_programs.sh could not install it")
    result = subprocess.run(["dot", "-Tjson"], input=view.dot(), capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stderr == ""
    graph = json.loads(result.stdout)
    names = [node["name"] for node in graph["objects"] if "nodes" not in node]  # less the rank subgraphs
    assert len(names) == len(set(names)) == len(ID_NAMES) + 2
    # Exact but for the control character and a backslash that would end an ID holding angle brackets.
    assert set(names) >= {name for name in ID_NAMES if name not in ("a\x01", "<x>\\")}
    assert all(edge["tail"] != edge["head"] for edge in graph["edges"])  # no false self-loop


def _hostile(kind, count=400):
    """Graphs whose shape or names a drawing could trip on."""
    if kind == "empty":
        return ir.Graph(nodes={}, edges=[])
    if kind == "deep names":  # a prefix per dot, 60 deep
        names = [".".join(["deep"] * 60 + [f"n{i}"]) for i in range(count)]
        edges = list(zip(names, names[1:]))
    elif kind == "ring of groups":  # groups feeding each other round a cycle, with self-loops
        names = [f"g{i % 7}.n{i}" for i in range(count)]
        edges = list(zip(names, names[1:])) + [(names[-1], names[0])] + [(name, name) for name in names[::9]]
    else:  # "unconnected": nothing joins the nodes
        names, edges = [f"n{i}" for i in range(count)], []
    return ir.Graph(nodes={name: ir.Skip() for name in names}, edges=edges)


@pytest.mark.parametrize("kind", ["empty", "deep names", "ring of groups", "unconnected"])
def test_hostile_shapes_are_drawn(kind):
    graph = _hostile(kind)
    view = ModelView(graph)
    root = ET.fromstring(view.svg())
    drawn = [g for g in root.iter(f"{SVG}g") if g.get("class") in ("node", "group")]
    assert 0 < len(drawn) <= 160 or not graph.nodes
    assert "report-data" in view.html()
    ids = subprocess.run(["dot", "-Tjson"], input=view.dot(), capture_output=True, text=True, timeout=60) \
        if shutil.which("dot") else None
    assert ids is None or ids.returncode == 0


# ---------------------------------------------------------------- the command line


@pytest.fixture
def models(tmp_path):
    examples.write_examples(tmp_path)
    (tmp_path / "notes.txt").write_text("not a model\n")
    return tmp_path


@pytest.mark.parametrize("argv, written, content", [
    (["report", "detector.o1c"], "detector.html", 'data-severity="error"'),
    (["report", "classifier.o1c", "classifier_trained.o1c"], "classifier-vs-classifier_trained.html",
     'class="node modified" data-node="conv1"'),
    (["report", "classifier.o1c", "detector.o1c", "-o", "sub/diff.html", "--atol", "1"], "sub/diff.html",
     'class="node added" data-node="stem"'),
    (["draw", "detector.o1c", "-o", "drawing.svg"], "drawing.svg", 'data-node="neck_residual"'),
    (["report", "detector.o1c", "-o", "drawing.svg"], "drawing.svg", '<svg xmlns="http://www.w3.org/2000/svg"'),
    (["draw", "classifier.o1c", "detector.o1c", "-o", "drawing.dot"], "drawing.dot", '"stem" [label='),
    (["draw", "detector.o1c", "-o", "drawing.txt", "--format", "dot"], "drawing.txt", "digraph"),
    (["demo", "."], "classifier_diff.html", 'class="node modified" data-node="fc2"'),
])
def test_report_and_draw_write_the_file_and_say_where(models, argv, written, content):
    (models / "sub").mkdir()
    result = cli(*argv, cwd=models)
    assert result.returncode == 0 and result.stderr == ""
    assert f"Wrote {written} ({(models / written).as_uri()})" in result.stdout.splitlines()
    text = (models / written).read_text(encoding="utf-8")
    assert content in text
    assert written.endswith(".html") == text.startswith("<!DOCTYPE html>")


def test_draw_to_standard_output(models):
    result = cli("draw", "detector.o1c", "-o", "-", "--format", "svg", cwd=models)
    assert result.returncode == 0 and result.stdout == ModelView(str(models / "detector.o1c")).svg()


@pytest.mark.parametrize("argv, status, shown", [
    (["report", "--help"], 0, "exit status: 0 written"),
    (["draw", "--help"], 0, "exit status: 0 written"),
    (["draw", "detector.o1c"], 2, "the following arguments are required: -o/--output"),
    (["report", "a", "b", "c"], 2, "unrecognized arguments: c"),
])
def test_help_and_usage(models, argv, status, shown):
    result = cli(*argv, cwd=models)
    assert result.returncode == status and shown in result.stdout + result.stderr
    assert "Traceback" not in result.stderr
