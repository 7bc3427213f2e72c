"""Each service's per-node cost at 10k, 100k and 1M nodes: the call itself
(best of N), the deferred young-generation collection that the objects it
created trigger after it returns, and the memory its result holds per node.

    python bench/per_node.py [--sizes 10000 100000 1000000] [--runs 5]
"""

import argparse
import gc
import os
import sys
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(__file__))

from common import SERVICES, best_of, mixed_graph  # noqa: E402


def deferred_collection(service, graph, other):
    """Seconds of the collection that the first allocations after the call
    set off: tracked objects the call left in the young generation count
    towards its threshold."""
    gc.collect()
    result = service(graph, other)
    start = time.perf_counter()
    gc.collect(0)
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def held_memory(service, graph, other):
    """Bytes the result keeps allocated once the call has returned."""
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    result = service(graph, other)
    held = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    del result
    return held


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--services", nargs="+", default=list(SERVICES), choices=list(SERVICES))
    args = parser.parse_args()

    print(f"{'service':>18} {'nodes':>10} {'us/node':>9} {'gc us/node':>11} {'result B/node':>14}")
    for size in args.sizes:
        graph, other = mixed_graph(size, seed=0), mixed_graph(size, seed=1)
        n = len(graph.nodes)
        runs = args.runs if size < 1_000_000 else max(2, args.runs // 2)
        for name in args.services:
            service = SERVICES[name]
            seconds = best_of(runs, service, graph, other)
            collection = min(deferred_collection(service, graph, other) for _ in range(2))
            held = held_memory(service, graph, other)
            print(f"{name:>18} {n:>10,} {seconds * 1e6 / n:>9.2f} {collection * 1e6 / n:>11.3f} {held / n:>14.0f}")
        del graph, other


if __name__ == "__main__":
    main()
