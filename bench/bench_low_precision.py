"""Speed of the services on bfloat16, float8 and int4 arrays (ml_dtypes).

    python bench/bench_low_precision.py [--megabytes 64] [--fingerprint-megabytes 256] [--runs 5]

1. compare_arrays on two arrays of --megabytes each: bfloat16 against numpy with ml_dtypes
   evaluating the same expressions (np.allclose and np.abs(a - b).max()) and against
   compare_arrays on float32 arrays of the same size (timed in turns); float8_e4m3fn, float8_e5m2 and int4
   against numpy. Three cases each: equal arrays, arrays within the tolerance, and
   arrays that differ (the verdict is known early; the largest difference is still needed).
2. fingerprint_graph over --fingerprint-megabytes of bfloat16 weights against the same
   bytes as float32 weights, and against hashlib.sha256 fed the arrays directly.
"""

import argparse
import os
import sys

import ml_dtypes
import numpy as np

sys.path.insert(0, os.path.dirname(__file__))

from common import MB, best_of, hashlib_over, weight_graph  # noqa: E402

from ondrel.sdk.compare import compare_arrays  # noqa: E402
from ondrel.sdk.fingerprint import fingerprint_graph  # noqa: E402

def with_numpy(a, b, atol=1e-6, rtol=1e-5):
    return bool(np.allclose(a, b, atol=atol, rtol=rtol)), float(np.abs(a - b).max())


def cases(dtype, megabytes, rng):
    """(label, a, b, atol, rtol): equal, within the tolerance, differing."""
    count = megabytes * MB // np.dtype(dtype).itemsize
    values = rng.standard_normal(count, dtype=np.float32) * np.float32(3)
    with np.errstate(invalid="ignore", over="ignore"):
        a = values.astype(dtype)
        within = (values * np.float32(1.001)).astype(dtype)
        differ = (values + np.float32(0.5)).astype(dtype)
    return [("equal", a, a.copy(), 1e-6, 1e-5), ("within 1%", a, within, 1e-2, 1e-2),
            ("differ", a, differ, 1e-6, 1e-5)]


def interleaved(runs, first, second):
    """Best times of two calls (function, args) taken in turns, so that both see the same machine."""
    best = [float("inf"), float("inf")]
    for _ in range(runs):
        for k, (function, args) in enumerate((first, second)):
            best[k] = min(best[k], best_of(1, function, *args))
    return best


def bench_compare(megabytes, runs):
    rng = np.random.default_rng(0)
    print(f"compare_arrays on two arrays of {megabytes} MB each, best of {runs} (bfloat16 in turns with float32); "
          "numpy: np.allclose and np.abs(a - b).max() with ml_dtypes, once")
    float32 = cases(np.float32, megabytes, rng)
    for dtype in (ml_dtypes.bfloat16, ml_dtypes.float8_e4m3fn, ml_dtypes.float8_e5m2, ml_dtypes.int4):
        for (label, a, b, atol, rtol), (_, a32, b32, _, _) in zip(cases(dtype, megabytes, rng), float32):
            with np.errstate(invalid="ignore", over="ignore"):
                expected = with_numpy(a, b, atol, rtol) if dtype is not ml_dtypes.int4 else None
                numpy_time = best_of(1, with_numpy, a, b, atol, rtol)
            got = compare_arrays(a, b, atol, rtol)
            assert expected is None or (expected[0] == got[0] and np.isclose(expected[1], got[1], equal_nan=True))
            per_byte = ""
            if dtype is ml_dtypes.bfloat16:
                seconds, seconds32 = interleaved(runs, (compare_arrays, (a, b, atol, rtol)),
                                                 (compare_arrays, (a32, b32, atol, rtol)))
                per_byte = f"; float32 {seconds32 * 1e3:.1f} ms, ratio {seconds / seconds32:.2f}"
            else:
                seconds = best_of(runs, compare_arrays, a, b, atol, rtol)
            print(f"  {np.dtype(dtype).name:14s} {label:10s} compare_arrays {seconds * 1e3:7.1f} ms, "
                  f"numpy {numpy_time * 1e3:7.1f} ms ({numpy_time / seconds:5.1f}x faster{per_byte})")


def bench_fingerprint(megabytes, runs):
    print(f"fingerprint_graph over {megabytes} MB of weights in 8 MB arrays, best of {runs}")
    for dtype in (np.float32, ml_dtypes.bfloat16):
        graph = weight_graph(megabytes, dtype)
        arrays = [node.weight for node in graph.nodes.values()]
        baseline = best_of(runs, hashlib_over, arrays)
        seconds = best_of(runs, fingerprint_graph, graph)
        print(f"  {np.dtype(dtype).name:9s} fingerprint_graph {seconds:6.3f} s, {megabytes / seconds:7.1f} MB/s "
              f"(hashlib.sha256 over the arrays: {megabytes / baseline:7.1f} MB/s, ratio {baseline / seconds:.3f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=int, default=64)
    parser.add_argument("--fingerprint-megabytes", type=int, default=256)
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    bench_compare(options.megabytes, options.runs)
    print()
    bench_fingerprint(options.fingerprint_megabytes, options.runs)


if __name__ == "__main__":
    main()
