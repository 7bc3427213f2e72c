"""Port shape inference and its checks on a 100,000-node graph: infer_shapes and check_shapes, through the
snapshot (the IR layer's own classes) and through the host (subclasses, duck-typed classes of the same names), on a consistent graph and on the
mixed benchmark graph, whose shapes disagree with its layers (a few findings, then inference stops).

    python bench/bench_shapes.py [--nodes N] [--runs R]
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))

from common import NODE_CLASSES, best_of, mixed_graph, per_node, reclassed  # noqa: E402

from ondrel import ir  # noqa: E402
from ondrel.sdk.examples import ports  # noqa: E402
from ondrel.sdk.shapes import check_shapes, infer_shapes  # noqa: E402


def consistent_graph(node_count, seed=0):
    """Input -> (Conv2d 3x3 padding 1, LIF per channel, Skip) ... -> Output on 1x8x16x16, every shape declared."""
    rng = np.random.default_rng(seed)
    f32, x = np.float32, (1, 8, 16, 16)
    weight = rng.standard_normal((8, 8, 3, 3)).astype(f32)
    per_channel = np.full((8, 1, 1), 20.0, f32)
    nodes = {"input": ir.Input(**ports(x, x))}
    i = 0
    while len(nodes) < node_count - 1:
        nodes[f"conv{i}"] = ir.Conv2d(weight=weight, padding=(1, 1), **ports(x, x))
        nodes[f"lif{i}"] = ir.LIF(tau=per_channel, v_threshold=per_channel, **ports(x, x))
        nodes[f"skip{i}"] = ir.Skip(**ports(x, x))
        i += 1
    nodes["output"] = ir.Output(**ports(x, x))
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    for label, graph in (("consistent", consistent_graph(args.nodes)), ("mixed", mixed_graph(args.nodes))):
        n = len(graph.nodes)
        print(f"{label}: {n} nodes, {len(graph.edges)} edges, {len(check_shapes(graph))} findings")
        for route in NODE_CLASSES:
            g = reclassed(graph, route)
            print(per_node(f"  infer_shapes ({route})", best_of(args.runs, infer_shapes, g), n, width=26))
            print(per_node(f"  check_shapes ({route})", best_of(args.runs, check_shapes, g), n, width=26))


if __name__ == "__main__":
    main()
