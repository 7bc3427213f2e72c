"""analyze_graph and summarize on a 100,000-node graph: microseconds per node.

    python bench/bench_analyze.py [--nodes N]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from common import best_of, mixed_graph, per_node  # noqa: E402

from ondrel.sdk.analyze import analyze_graph, summarize  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    graph = mixed_graph(args.nodes)
    n = len(graph.nodes)
    rx_build = best_of(args.runs, graph._get_rx_graph)
    for label, fn, extra in (("analyze_graph", analyze_graph, ()), ("summarize", summarize, (True,))):
        seconds = best_of(args.runs, fn, graph, *extra)
        print(per_node(label, seconds, n, width=14))
    print(per_node("(rx graph)", rx_build, n, width=14), " the IR layer's _get_rx_graph, included above")


if __name__ == "__main__":
    main()
