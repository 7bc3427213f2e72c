"""Reports of large and hostile models: build time, peak memory, page size and how long the page takes to open.

Models: network-shaped graphs of 1,000, 10,000 and 100,000 nodes (chains,
residual blocks, branches joined by Concat, long skips, dotted names), an input
feeding 60,000 parallel nodes joined by one Concat, 1,417 nodes with every
forward edge (1,003,236 edges), and a chain of 2,000 nodes with an edge from
the input to each (the edges that skip many layers).

For each: the time to build the page (``ModelView(graph).save``: scene,
grouping, layout, SVG and HTML; wall clock and CPU, the latter telling on a
machine others share), the peak memory that took above the graph
itself (each model in a process of its own), the page's size, and, when
Chromium is installed, the time from navigation until the page has run its
script and painted (best of a few opens, each in a new tab).

    python bench/bench_report.py [--models 1k 10k 100k fan-in 1M-edges skips] [--runs R] [--no-browser]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

from headless_chromium import Chromium, find_chromium  # noqa: E402

from ondrel import ir  # noqa: E402
from ondrel.sdk.report import ModelView  # noqa: E402


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


def wide_fan_in(count=60_000):
    """An input feeding ``count`` parallel nodes, all joined by one Concat."""
    nodes = {"in": ir.Input(), **{f"p{i}": ir.Skip() for i in range(count)}, "cat": ir.Concat(num_inputs=count),
             "out": ir.Output()}
    edges = [("in", f"p{i}") for i in range(count)] + [(f"p{i}", "cat") for i in range(count)] + [("cat", "out")]
    return ir.Graph(nodes=nodes, edges=edges)


def every_forward_edge(count=1417):
    """``count`` nodes with an edge from each to every later one: 1,003,236 edges for 1,417 nodes."""
    names = [f"n{i}" for i in range(count)]
    nodes = {names[0]: ir.Input(), **{name: ir.Skip() for name in names[1:-1]}, names[-1]: ir.Output()}
    return ir.Graph(nodes=nodes, edges=[(names[a], names[b]) for a in range(count) for b in range(a + 1, count)])


def skipping_chain(count=2000):
    """A chain of ``count`` nodes with an edge from the input to each."""
    names = [f"c{i}" for i in range(count)]
    nodes = {"in": ir.Input(), **{name: ir.Skip() for name in names}}
    edges = [("in", names[0]), *zip(names, names[1:]), *(("in", name) for name in names[1:])]
    return ir.Graph(nodes=nodes, edges=edges)


MODELS = {
    "1k": lambda: branching_graph(1_000),
    "10k": lambda: branching_graph(10_000),
    "100k": lambda: branching_graph(100_000),
    "fan-in": wide_fan_in,
    "1M-edges": every_forward_edge,
    "skips": skipping_chain,
}


def resident_mb():
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return int(fields["VmRSS"].split()[0]) / 1024


def build_one(name, path):
    """Build the page of one model in this process; print its figures as JSON."""
    graph = MODELS[name]()
    before = resident_mb()
    started, cpu = time.perf_counter(), time.process_time()
    ModelView(graph).save(path)
    seconds, cpu = time.perf_counter() - started, time.process_time() - cpu
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"nodes": len(graph.nodes), "edges": len(graph.edges), "seconds": seconds, "cpu": cpu,
                      "memory_mb": peak - before, "page_mb": os.path.getsize(path) / 2**20}))


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
    parser.add_argument("--models", nargs="+", choices=MODELS, default=list(MODELS))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-browser", action="store_true", help="skip the browser timing")
    parser.add_argument("--one", nargs=2, metavar=("MODEL", "PAGE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        return build_one(*args.one)
    browser = None if args.no_browser or not find_chromium() else Chromium()
    print(f"{'model':10} {'nodes':>9} {'edges':>10} {'build':>8} {'(CPU)':>8} {'memory':>9} {'page':>8} {'open':>7}")
    try:
        with tempfile.TemporaryDirectory() as folder:
            for name in args.models:
                path = os.path.join(folder, f"{name}.html")
                best = None
                for _ in range(args.runs if name in ("1k", "10k") else 1):  # the large ones once: they are long
                    child = subprocess.run([sys.executable, __file__, "--one", name, path], capture_output=True,
                                           text=True, check=True)
                    figures = json.loads(child.stdout)
                    best = figures if best is None or figures["seconds"] < best["seconds"] else best
                opened = f"{open_time(browser, path, args.runs):6.2f}s" if browser else "      -"
                print(f"{name:10} {best['nodes']:9,} {best['edges']:10,} {best['seconds']:7.2f}s {best['cpu']:7.2f}s "
                      f"{best['memory_mb']:6.0f} MB {best['page_mb']:5.1f} MB {opened}", flush=True)
    finally:
        if browser:
            browser.close()


if __name__ == "__main__":
    main()
