"""Reports of 1,000- and 10,000-node graphs: layout and render time, and how long the page takes to open.

For each size: the scene (analyze_graph and lint_graph), the layout alone,
the SVG drawing (layout included), the whole HTML page, the page's size, and,
when Chromium is installed, the time from navigation until the page has run
its script and painted (best of a few opens, each in a new tab).

    python bench/bench_report.py [--nodes 1000 10000] [--runs R] [--no-browser]
"""

import argparse
import os
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

from common import best_of  # noqa: E402
from headless_chromium import Chromium, find_chromium  # noqa: E402

from ondrel import ir  # noqa: E402
from ondrel.sdk.report import ModelView  # noqa: E402
from ondrel.sdk.report.layout import layered_layout  # noqa: E402
from ondrel.sdk.report.page import render_html  # noqa: E402
from ondrel.sdk.report.scene import model_scene  # noqa: E402
from ondrel.sdk.report.svg import node_width, render_svg  # noqa: E402


def branching_graph(node_count, seed=0):
    """A network-shaped graph of about ``node_count`` nodes: chains, residual blocks, branches joined by
    Concat, and a few long skips from earlier stages, with shaped ports and small arrays."""
    rng = np.random.default_rng(seed)
    f32 = np.float32
    shape = {"input_type": {"input": np.array([1, 8, 16, 16])}, "output_type": {"output": np.array([1, 8, 16, 16])}}
    nodes, edges = {"input": ir.Input(**shape)}, []
    saved, current = [], "input"

    def add(name, node, *sources):
        nodes[name] = node
        edges.extend((source, name) for source in sources)
        return name

    def conv(name, source):
        weight = rng.standard_normal((8, 8, 3, 3)).astype(f32)
        return add(name, ir.Conv2d(weight=weight, bias=np.zeros(8, f32), padding=(1, 1), **shape), source)

    def lif(name, source):
        return add(name, ir.LIF(tau=np.full(8, 20.0, f32), v_threshold=np.ones(8, f32), **shape), source)

    block = 0
    while len(nodes) < node_count - 1:
        block += 1
        prefix = f"stage{block // 50}.block{block}"
        kind = rng.random()
        if kind < 0.35:  # conv, LIF, pool chain
            current = lif(f"{prefix}.lif", conv(f"{prefix}.conv", current))
            current = add(f"{prefix}.pool", ir.AvgPool2d(stride=(1, 1), **shape), current)
        elif kind < 0.7:  # residual block
            start = current
            branch = lif(f"{prefix}.lif1", conv(f"{prefix}.conv1", start))
            branch = lif(f"{prefix}.lif2", conv(f"{prefix}.conv2", branch))
            current = add(f"{prefix}.residual", ir.Skip(skip_type="residual", **shape), branch, start)
        elif kind < 0.93:  # parallel branches joined by a Concat
            start, ends = current, []
            for b in range(int(rng.integers(2, 5))):
                end = start
                for step in range(int(rng.integers(1, 3))):
                    end = conv(f"{prefix}.branch{b}.conv{step}", end)
                ends.append(end)
            current = add(f"{prefix}.concat", ir.Concat(num_inputs=len(ends), **shape), *ends)
        elif saved and rng.random() < 0.5:  # a long skip from an earlier stage
            current = add(f"{prefix}.merge", ir.Concat(num_inputs=2, **shape), current, saved.pop())
        else:
            saved.append(current)
    add("output", ir.Output(**shape), current)
    return ir.Graph(nodes=nodes, edges=edges)


def open_time(browser, path, runs):
    """Best time in seconds from navigation until the page's script has run and two frames were painted."""
    best = float("inf")
    for _ in range(runs):
        page = browser.open(path)
        assert not page.console_errors, page.console_errors
        best = min(best, page.ready_ms / 1000)
        page.close()
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-browser", action="store_true", help="skip the browser timing")
    args = parser.parse_args()
    browser = None if args.no_browser or not find_chromium() else Chromium()
    try:
        with tempfile.TemporaryDirectory() as folder:
            for count in args.nodes:
                graph = branching_graph(count)
                scene = model_scene(graph)
                widths = [node_width(node) for node in scene.nodes]
                pairs = [(edge.source, edge.target) for edge in scene.edges]
                print(f"{len(graph.nodes):,} nodes, {len(graph.edges):,} edges")
                print(f"  scene (analyze + lint): {best_of(args.runs, model_scene, graph):7.3f} s")
                print(f"  layout:                 {best_of(args.runs, layered_layout, widths, pairs):7.3f} s")
                print(f"  SVG (layout included):  {best_of(args.runs, render_svg, scene):7.3f} s")
                print(f"  HTML page (the same):   {best_of(args.runs, render_html, scene):7.3f} s")
                path = os.path.join(folder, f"report-{count}.html")
                ModelView(graph).save(path)
                print(f"  page size:              {os.path.getsize(path) / 2**20:7.2f} MB")
                if browser:
                    print(f"  page open in Chromium:  {open_time(browser, path, args.runs):7.3f} s")
    finally:
        if browser:
            browser.close()


if __name__ == "__main__":
    main()
