"""Speed and memory of ondrel.sdk.compare.

    python bench/bench_compare.py [--elements N] [--nodes N]

1. compare_arrays on two 64 MB float32 arrays against the same answer computed
   with numpy (np.allclose + np.abs(a - b).max()), best of 3, and the extra
   memory each needs.
2. compare_graphs on two 100,000-node graphs, microseconds per node.
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))

from common import best_of, extra_memory, mixed_graph, per_node  # noqa: E402

from ondrel import ir  # noqa: E402
from ondrel.sdk.compare import compare_arrays, compare_graphs  # noqa: E402


def bench_arrays(elements):
    rng = np.random.default_rng(0)
    a = rng.standard_normal(elements, dtype=np.float32)
    b = a + (rng.standard_normal(elements, dtype=np.float32) * np.float32(1e-6))

    def with_numpy():
        return bool(np.allclose(a, b, atol=1e-6, rtol=1e-5)), float(np.abs(a - b).max())

    assert with_numpy() == compare_arrays(a, b)
    numpy_time, compiled_time = best_of(3, with_numpy), best_of(3, compare_arrays, a, b)
    print(f"compare_arrays, 2 x {a.nbytes / 2**20:.0f} MB float32 ({elements:,} elements), best of 3")
    print(f"  numpy allclose + abs(a - b).max(): {numpy_time * 1e3:8.1f} ms")
    print(f"  compare_arrays:                    {compiled_time * 1e3:8.1f} ms   ({numpy_time / compiled_time:.1f}x faster)")
    print(f"  result {compare_arrays(a, b)} (identical to numpy's)")
    for label, fn, args in (("numpy", with_numpy, ()), ("compare_arrays", compare_arrays, (a, b))):
        traced, rss = extra_memory(fn, *args)
        rss_text = "n/a" if rss is None else f"{rss / 2**10:,.0f} KB"
        print(f"  extra memory, {label:15s} tracemalloc peak {traced / 2**10:10,.1f} KB, RSS peak growth {rss_text}")


def shifted_weights(graph, shift):
    """A copy of the graph whose SpikingAffine weights are all moved by `shift`."""
    nodes = {name: ir.SpikingAffine(**{**vars(node), "weight": node.weight + np.float32(shift)})
             if isinstance(node, ir.SpikingAffine) else node for name, node in graph.nodes.items()}
    return ir.Graph(nodes=nodes, edges=list(graph.edges))


def bench_graphs(count):
    a, same = mixed_graph(count), mixed_graph(count)
    shifted = shifted_weights(same, 1e-3)
    print(f"compare_graphs, two {len(a.nodes):,}-node graphs")
    for label, b in (("equal copies", same), ("SpikingAffine weights shifted", shifted)):
        diff = compare_graphs(a, b)
        print(per_node(label, best_of(3, compare_graphs, a, b), len(a.nodes), width=30),
              f"  identical={diff.identical}, modified={len(diff.nodes_modified):,}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--elements", type=int, default=16 * 2**20)
    parser.add_argument("--nodes", type=int, default=100_000)
    args = parser.parse_args()
    bench_arrays(args.elements)
    print()
    bench_graphs(args.nodes)


if __name__ == "__main__":
    main()
