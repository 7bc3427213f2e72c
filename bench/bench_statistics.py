"""Speed of ondrel.sdk.testing.array_statistics against compare_arrays.

    python bench/bench_statistics.py [--elements N] [--runs N]

Both on two 64 MB float32 arrays (16,777,216 elements) whose elements differ
slightly, timed alternately, best of --runs; and the numpy spelling of the same
statistics for scale.
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))

from common import best_of  # noqa: E402

from ondrel.sdk.compare import compare_arrays  # noqa: E402
from ondrel.sdk.testing import _numpy_statistics, array_statistics  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elements", type=int, default=16 * 2**20)
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    a = rng.standard_normal(args.elements, dtype=np.float32)
    b = a + (rng.standard_normal(args.elements, dtype=np.float32) * np.float32(1e-5))

    compare_time = statistics_time = float("inf")
    for _ in range(args.runs):  # alternating, so that a busy machine slows both alike
        compare_time = min(compare_time, best_of(1, compare_arrays, a, b))
        statistics_time = min(statistics_time, best_of(1, array_statistics, a, b))
    numpy_time = best_of(1, _numpy_statistics, a, b, 1e-6, 1e-5)
    stats = array_statistics(a, b)
    print(f"2 x {a.nbytes / 2**20:.0f} MB float32 ({args.elements:,} elements), best of {args.runs}")
    print(f"  compare_arrays:    {compare_time * 1e3:8.1f} ms")
    print(f"  array_statistics:  {statistics_time * 1e3:8.1f} ms   ({statistics_time / compare_time:.2f}x compare_arrays)")
    print(f"  the same in numpy: {numpy_time * 1e3:8.1f} ms")
    print(f"  {stats.mismatched:,} mismatched, greatest absolute difference {stats.max_abs_diff:.3g} at "
          f"{stats.max_abs_index}")


if __name__ == "__main__":
    main()
