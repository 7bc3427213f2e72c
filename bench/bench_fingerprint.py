"""Fingerprint speed.

1. A graph holding 512 MB of float32 weights (64 Affine nodes of 8 MB): hashlib.sha256
   fed each array directly (the physical limit on one core) against fingerprint_graph
   and fingerprint_graph_dual, best of 3, with the peak memory each call adds.
2. A 100,000-node graph with small arrays: microseconds per node.

    python bench/bench_fingerprint.py [--megabytes 512] [--nodes 100000]
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))

from common import MB, best_of, extra_memory, hashlib_over, mixed_graph, per_node, weight_graph  # noqa: E402

from ondrel.sdk.fingerprint import fingerprint_graph, fingerprint_graph_dual  # noqa: E402

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=int, default=512)
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()

    graph = weight_graph(options.megabytes)
    arrays = [node.weight for node in graph.nodes.values()]
    total = sum(array.nbytes for array in arrays)
    baseline = best_of(options.runs, hashlib_over, arrays)
    print(f"{total / MB:.0f} MB of float32 weights in {len(arrays)} nodes")
    print(f"  hashlib.sha256          {baseline:7.3f} s  {total / MB / baseline:7.1f} MB/s")
    for name, function in [("fingerprint_graph", fingerprint_graph), ("fingerprint_graph_dual", fingerprint_graph_dual)]:
        seconds = best_of(options.runs, function, graph)
        traced, rss = extra_memory(function, graph)
        rss_text = "n/a" if rss is None else f"{rss / MB:.2f} MB"
        print(f"  {name:<23} {seconds:7.3f} s  {total / MB / seconds:7.1f} MB/s  "
              f"ratio {baseline / seconds:.3f}  extra memory: traced {traced / MB:.3f} MB, peak RSS +{rss_text}")
    del graph, arrays

    graph = mixed_graph(options.nodes)
    print(f"{len(graph.nodes)} nodes with small arrays, {len(graph.edges)} edges")
    for name, function in [("fingerprint_graph", fingerprint_graph), ("fingerprint_graph_dual", fingerprint_graph_dual)]:
        print(per_node(name, best_of(options.runs, function, graph), len(graph.nodes), width=24))


if __name__ == "__main__":
    main()
