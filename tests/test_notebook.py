"""How notebooks show graphs and results: compact, escaped HTML tables."""

import html.parser

import pytest

from ondrel import ir
from ondrel.sdk import analyze_graph, compare_graphs, examples, lint_graph


class Cells(html.parser.HTMLParser):
    def __init__(self, markup):
        super().__init__()
        self.cells, self.tags = [], []
        self.feed(markup)

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)

    def handle_data(self, data):
        self.cells.append(data)


def hostile():
    graph = examples.detector()  # one finding of each severity, an error on stem_lif
    name = "stem_lif"
    graph.nodes["<script>alert(1)</script>"] = graph.nodes.pop(name)
    graph.edges = [tuple("<script>alert(1)</script>" if end == name else end for end in edge)
                   for edge in graph.edges]
    return graph


@pytest.mark.parametrize("make, caption", [
    (lambda g: g, "Graph: "),
    (analyze_graph, "GraphStats"),
    (lint_graph, "LintResult: "),
    (lambda g: compare_graphs(examples.detector(), g), "GraphDiff: structure differs"),
])
def test_reprs_are_escaped_tables(make, caption):
    graph = hostile()
    markup = make(graph)._repr_html_()
    parsed = Cells(markup)
    assert "script" not in parsed.tags and "table" in parsed.tags
    assert any(cell.startswith(caption) for cell in parsed.cells), parsed.cells[:3]
    assert any("<script>alert(1)</script>" in cell for cell in parsed.cells)


def test_long_tables_say_how_many_rows_are_left_out():
    graph = ir.Graph(nodes={f"n{i}": ir.Input() for i in range(120)})
    assert "… 70 more" in graph._repr_html_()
