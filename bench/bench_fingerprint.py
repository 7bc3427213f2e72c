"""Fingerprint speed.

1. A graph holding 512 MB of float32 weights (64 Affine nodes of 8 MB): hashlib.sha256
   fed each array directly (the physical limit on one core) against fingerprint_graph
   and fingerprint_graph_dual, best of 3, with the peak memory each call adds.
2. A 100,000-node graph with small arrays: microseconds per node.

    PYTHONPATH=build/<dir>/stage python bench/bench_fingerprint.py [--megabytes 512] [--nodes 100000]
"""

import argparse
import hashlib
import time
import tracemalloc

import numpy as np

from ondrel import ir
from ondrel.sdk.fingerprint import fingerprint_graph, fingerprint_graph_dual

MB = 2**20


def best_of(runs, function, *args):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        function(*args)
        best = min(best, time.perf_counter() - start)
    return best


def peak_rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def reset_peak_rss():
    """Start a new peak-RSS window (Linux 4.0+); False where that is not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def extra_memory(function, *args):
    """(peak Python allocations, growth of the peak RSS) during one call, in bytes."""
    can_reset = reset_peak_rss()
    rss_before = peak_rss_bytes()
    tracemalloc.start()
    function(*args)
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return traced_peak, (peak_rss_bytes() - rss_before) if can_reset else None


def weight_graph(megabytes, node_megabytes=8):
    rows = node_megabytes * MB // (4 * 1024)
    nodes = {f"fc{i:03d}": ir.Affine(weight=np.full((rows, 1024), i, np.float32))
             for i in range(megabytes // node_megabytes)}
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def small_graph(count):
    nodes = {"in": ir.Input(input_type={"input": np.array([1, 8])}, output_type={"output": np.array([1, 8])})}
    for i in range(count - 2):
        if i % 2:
            nodes[f"lif{i:06d}"] = ir.LIF(tau=np.full(8, 20, np.float32), r=np.ones(8, np.float32),
                                          v_leak=np.zeros(8, np.float32), v_threshold=np.ones(8, np.float32))
        else:
            nodes[f"fc{i:06d}"] = ir.Affine(weight=np.ones((8, 8), np.float32), bias=np.zeros(8, np.float32))
    nodes["out"] = ir.Output(input_type={"input": np.array([1, 8])}, output_type={"output": np.array([1, 8])})
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def hashlib_over(arrays):
    hasher = hashlib.sha256()
    for array in arrays:
        hasher.update(array)
    return hasher.hexdigest()


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

    graph = small_graph(options.nodes)
    print(f"{options.nodes} nodes with small arrays, {len(graph.edges)} edges")
    for name, function in [("fingerprint_graph", fingerprint_graph), ("fingerprint_graph_dual", fingerprint_graph_dual)]:
        seconds = best_of(options.runs, function, graph)
        print(f"  {name:<23} {seconds:7.3f} s  {seconds / options.nodes * 1e6:6.2f} us/node")


if __name__ == "__main__":
    main()
