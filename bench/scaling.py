"""Each service on graphs of 10k, 100k and 1M nodes: time per node should stay
flat as the graph grows (linear scaling).

    python bench/scaling.py [--sizes 10000 100000 1000000]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from common import best_of, mixed_graph  # noqa: E402

from ondrel.sdk import (  # noqa: E402
    analyze_graph,
    compare_graphs,
    fingerprint_graph,
    fingerprint_graph_dual,
    lint_graph,
    summarize,
)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    services = {
        "analyze_graph": lambda g, other: analyze_graph(g),
        "summarize": lambda g, other: summarize(g, verbose=True),
        "lint_graph": lambda g, other: lint_graph(g),
        "compare_graphs": lambda g, other: compare_graphs(g, other),
        "fingerprint_graph": lambda g, other: fingerprint_graph(g),
        "fingerprint_dual": lambda g, other: fingerprint_graph_dual(g),
    }
    print(f"{'service':>18}" + "".join(f"{n:>14,}" for n in args.sizes) + "   (us/node)")
    rows = {name: [] for name in services}
    for size in args.sizes:
        graph, other = mixed_graph(size, seed=0), mixed_graph(size, seed=1)
        runs = args.runs if size < 1_000_000 else 2  # the first run also pays for fresh memory
        for name, service in services.items():
            rows[name].append(best_of(runs, service, graph, other) * 1e6 / len(graph.nodes))
        del graph, other
    for name, figures in rows.items():
        print(f"{name:>18}" + "".join(f"{f:>14.2f}" for f in figures))


if __name__ == "__main__":
    main()
