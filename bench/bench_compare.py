"""Speed and memory of ondrel.sdk.compare.

    PYTHONPATH=build/<dir>/stage python bench/bench_compare.py

1. compare_arrays on two 64 MB float32 arrays against the same answer
   computed with numpy (np.allclose + np.abs(a - b).max()), best of 3, and
   the extra memory each needs (tracemalloc peak; RSS high-water mark).
2. compare_graphs on two 100,000-node graphs, microseconds per node.
"""

import argparse
import time
import tracemalloc

import numpy as np

from ondrel import ir
from ondrel.sdk.compare import compare_arrays, compare_graphs


def best_of(runs, fn):
    best, result = float("inf"), None
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def rss_peak_growth(fn):
    """Growth of the resident-set high-water mark while fn runs (Linux), in bytes."""
    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1]) * 1024
        return None
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current RSS
    except OSError:
        return None
    before = status("VmRSS:")
    fn()
    return status("VmHWM:") - before


def traced_peak(fn):
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    fn()
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    return peak


def bench_arrays(elements):
    rng = np.random.default_rng(0)
    a = rng.standard_normal(elements, dtype=np.float32)
    b = a + (rng.standard_normal(elements, dtype=np.float32) * np.float32(1e-6))

    def with_numpy():
        return bool(np.allclose(a, b, atol=1e-6, rtol=1e-5)), float(np.abs(a - b).max())

    def compiled():
        return compare_arrays(a, b)

    numpy_time, numpy_result = best_of(3, with_numpy)
    compiled_time, compiled_result = best_of(3, compiled)
    assert numpy_result == compiled_result, (numpy_result, compiled_result)
    print(f"compare_arrays, 2 x {a.nbytes / 2**20:.0f} MB float32 ({elements:,} elements), best of 3")
    print(f"  numpy allclose + abs(a - b).max(): {numpy_time * 1e3:8.1f} ms")
    print(f"  compare_arrays:                    {compiled_time * 1e3:8.1f} ms   ({numpy_time / compiled_time:.1f}x faster)")
    print(f"  result {compiled_result} (identical to numpy's)")
    for label, fn in (("numpy", with_numpy), ("compare_arrays", compiled)):
        traced, rss = traced_peak(fn), rss_peak_growth(fn)
        rss_text = "n/a" if rss is None else f"{rss / 2**10:,.0f} KB"
        print(f"  extra memory, {label:15s} tracemalloc peak {traced / 2**10:10,.1f} KB, RSS peak growth {rss_text}")


def graph(count, seed, shift=0.0):
    rng = np.random.default_rng(seed)
    shape = {"input": np.array([1, 16])}
    out = {"output": np.array([1, 16])}
    nodes = {"in": ir.Input(input_type=shape, output_type=shape)}
    names = ["in"]
    for i in range(count - 2):
        name = f"layer{i:06d}"
        kind = i % 4
        if kind == 0:
            node = ir.Affine(weight=rng.standard_normal((16, 16)).astype(np.float32) + shift,
                             bias=np.zeros(16, np.float32), input_type=shape, output_type=out)
        elif kind == 1:
            node = ir.LIF(tau=np.full(16, 20.0, np.float32), r=np.ones(16, np.float32),
                          v_leak=np.zeros(16, np.float32), v_threshold=np.ones(16, np.float32),
                          input_type=shape, output_type=out)
        elif kind == 2:
            node = ir.Conv2d(weight=rng.standard_normal((4, 4, 3, 3)).astype(np.float32),
                             bias=np.zeros(4, np.float32), input_type=shape, output_type=out)
        else:
            node = ir.MaxPool2d(kernel_size=(2, 2), stride=(2, 2), input_type=shape, output_type=out)
        nodes[name] = node
        names.append(name)
    nodes["out"] = ir.Output(input_type=shape, output_type=out)
    names.append("out")
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def bench_graphs(count):
    a, same, shifted = graph(count, 1), graph(count, 1), graph(count, 1, shift=1e-3)
    print(f"compare_graphs, two {count:,}-node graphs (Affine, LIF, Conv2d, MaxPool2d; ports on every node)")
    for label, b in (("equal copies", same), ("every Affine weight shifted", shifted)):
        seconds, diff = best_of(3, lambda: compare_graphs(a, b))
        print(f"  {label:28s} {seconds * 1e3:8.1f} ms  = {seconds / count * 1e6:5.2f} us/node"
              f"   (identical={diff.identical}, modified={len(diff.nodes_modified):,})")


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
