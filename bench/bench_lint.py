"""lint_graph on a 100,000-node graph: microseconds per node, and how much of
it is the embedded analyze_graph call.

Prints lint_graph, analyze_graph alone, the graph's own validate() and each
check alone (best of a few runs each), then the same graph with its output
shapes dropped, so that every node reports an issue.

    python bench/bench_lint.py [--nodes N] [--runs R]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from common import best_of, mixed_graph, per_node  # noqa: E402

from ondrel import ir  # noqa: E402
from ondrel.sdk import lint  # noqa: E402
from ondrel.sdk.analyze import analyze_graph  # noqa: E402

CHECKS = ("_check_reachability", "_check_multiple_outputs", "_check_node_parameters", "_check_skip_nodes",
          "_check_naming", "_check_model_size", "_check_shapes")


def report(label, seconds, n, total=None):
    share = f"  {seconds / total:5.1%} of lint_graph" if total else ""
    print(per_node(label, seconds, n, width=26) + share)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    graph = mixed_graph(args.nodes)
    n = len(graph.nodes)
    issues = len(lint.lint_graph(graph).issues)
    print(f"{n} nodes, {len(graph.edges)} edges, {issues} issues")

    total = best_of(args.runs, lint.lint_graph, graph)
    report("lint_graph", total, n)
    report("analyze_graph (embedded)", best_of(args.runs, analyze_graph, graph), n, total)
    report("graph.validate()", best_of(args.runs, graph.validate), n, total)
    for name in CHECKS:
        check = getattr(lint, name)
        report(name, best_of(args.runs, lambda: check(graph, lint.LintResult())), n, total)

    # Every node but the inputs and outputs reports MISSING_OUTPUT_SHAPE.
    unshaped = ir.Graph(nodes={name: node if isinstance(node, (ir.Input, ir.Output))
                               else type(node)(**{**vars(node), "output_type": None})
                               for name, node in graph.nodes.items()},
                        edges=graph.edges)
    result = lint.lint_graph(unshaped)
    print(f"\nwithout output shapes: {len(result.issues)} issues")
    report("lint_graph", best_of(args.runs, lint.lint_graph, unshaped), n)
    report("to_dict", best_of(args.runs, result.to_dict), n)


if __name__ == "__main__":
    main()
