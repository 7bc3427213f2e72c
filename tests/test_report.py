"""Reports and drawings as their users see them: pages in headless Chromium, files from the command line,
SVG read as XML and DOT read by Graphviz."""

import io
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
from ondrel.sdk.report import DiffView, MissingExtraError, ModelView
from ondrel.sdk.report.layout import NODE_GAP, NODE_HEIGHT, layered_layout

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from headless_chromium import Chromium, find_chromium  # noqa: E402

SVG = "{http://www.w3.org/2000/svg}"
SEVERITY_RANK = {"info": 1, "warning": 2, "error": 3}
MISSING_EXTRA = ("ondrel-sdk: error: drawing a model needs the 'report' extra (igraph is not installed): "
                 "pip install 'ondrel[report]'\n")

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
        page.click("#layer-table th:nth-child(5)")  # Parameters
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


@pytest.mark.parametrize("make, upward", [(examples.detector, 0), (_cycle_graph, 1), (_fan_graph, 0)])
def test_layout_puts_inputs_first_and_outputs_last_without_overlaps(make, upward):
    graph = make()
    index = {name: i for i, name in enumerate(graph.nodes)}
    widths = [70 + 13 * (i % 5) for i in range(len(index))]
    edges = [(index[s], index[d]) for s, d in graph.edges]
    kinds = [type(node) for node in graph.nodes.values()]
    layout = layered_layout(widths, edges, outputs=[i for i, kind in enumerate(kinds) if kind is ir.Output])
    x, y = layout.x, layout.y
    assert {y[i] for i, kind in enumerate(kinds) if kind is ir.Input} == {min(y)}
    assert {y[i] for i, kind in enumerate(kinds) if kind is ir.Output} == {max(y)}
    assert sum(y[d] <= y[s] for s, d in edges if s != d) == upward
    for (s, d), route in zip(edges, layout.routes):
        assert route[0][0] == x[s] or s == d and route[0][0] == x[s] + widths[s] / 2
        assert route[0][1] in (y[s], y[s] + NODE_HEIGHT) or s == d
    rows = {}
    for i in range(len(x)):
        rows.setdefault(y[i], []).append((x[i] - widths[i] / 2, x[i] + widths[i] / 2))
    for row in rows.values():
        row.sort()
        assert all(right + NODE_GAP - 0.01 <= left for (_, right), (left, _) in zip(row, row[1:]))
    assert all(0 <= left and right <= layout.width for row in rows.values() for left, right in row)


def test_without_igraph_drawing_says_which_extra_to_install(monkeypatch):
    view = ModelView(examples.detector())
    monkeypatch.setitem(sys.modules, "igraph", None)  # makes `import igraph` fail
    with pytest.raises(MissingExtraError, match=r"pip install 'ondrel\[report\]'"):
        view.html()
    assert view.dot().startswith('digraph "spiking-detector"')  # Graphviz users need no layout from us


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
    (["draw", "classifier.o1c", "detector.o1c", "-o", "drawing.dot"], "drawing.dot", '"stem" [label='),
    (["draw", "detector.o1c", "-o", "drawing.txt", "--format", "dot"], "drawing.txt", "digraph"),
    (["demo", "."], "classifier_diff.html", 'class="node modified" data-node="fc2"'),
])
def test_report_and_draw_write_the_file_and_say_where(models, argv, written, content):
    (models / "sub").mkdir()
    result = cli(*argv, cwd=models)
    assert result.returncode == 0 and result.stderr == ""
    assert f"Wrote {written} ({(models / written).as_uri()})" in result.stdout.splitlines()
    assert content in (models / written).read_text(encoding="utf-8")


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


def test_command_line_without_igraph(models):
    blocked = models / "blocked" / "igraph"
    blocked.mkdir(parents=True)
    (blocked / "__init__.py").write_text("raise ImportError('igraph is blocked for this test')\n")
    env = child_env(PYTHONPATH=os.pathsep.join([str(blocked.parent), PACKAGE_ROOT]))
    result = cli("report", "detector.o1c", cwd=models, env=env)
    assert (result.returncode, result.stderr) == (2, MISSING_EXTRA)
    assert cli("draw", "detector.o1c", "-o", "x.dot", cwd=models, env=env).returncode == 0
    demo = cli("demo", "demo", cwd=models, env=env)
    assert demo.returncode == 0 and demo.stdout.count("(skipped: reports need the 'report' extra") == 2
