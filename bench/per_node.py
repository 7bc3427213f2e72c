"""Each service's per-node cost at 10k, 100k and 1M nodes: the call itself
(best of N), the deferred young-generation collection that the objects it
created trigger after it returns, the memory its result holds per node, and
the same call of the floor (bench/floor: only the irreducible work, built on
first use into build/floor) with the ratio service/floor. The floor's answers
are checked against the service's at every size before anything is timed.

    python bench/per_node.py [--sizes 10000 100000 1000000] [--runs 5] [--node-classes subclass]

With --node-classes subclass or duck, the nodes are instances of trivial
subclasses of the IR classes, or of duck-typed classes of the same names (see
common.reclassed): the services' general route, timed without a floor.
"""

import argparse
import gc
import hashlib
import os
import sys
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(__file__))

from common import NODE_CLASSES, SERVICES, best_of, mixed_graph, reclassed  # noqa: E402
from floor.build import load as load_floor  # noqa: E402

from ondrel import ir  # noqa: E402
from ondrel.sdk import analyze, compare, lint  # noqa: E402


def floors():
    """Each service's floor, called as SERVICES calls the service, and what of
    the two answers must be equal."""
    floor = load_floor()
    classes = {name: getattr(ir, name) for name in ("Input", "Output", "Conv2d", "SpikingAffine", "LIF", "MaxPool2d", "Skip")}
    calls = {
        "analyze_graph": lambda g, other: floor.analyze(g, classes, analyze.LayerStats, analyze.GraphStats),
        "lint_graph": lambda g, other: floor.lint(g, classes, ir.Node, lint.LintResult),
        "compare_graphs": lambda g, other: floor.compare(g, other, classes, compare.NodeDiff, compare.GraphDiff, 1e-6, 1e-5),
        "fingerprint_graph": lambda g, other: floor.fingerprint(g, classes, hashlib.sha256),
    }
    issues = lambda result: [(i.severity, i.code, i.message, i.node, i.suggestion) for i in result.issues]  # noqa: E731
    answers = {"lint_graph": issues}
    return calls, answers


def check_floor(name, floor, answer, graph, other):
    """The floor must answer as the service does, or its timing means nothing."""
    expected, got = answer(SERVICES[name](graph, other)), answer(floor(graph, other))
    if expected != got:
        sys.exit(f"the floor of {name} answers differently on {len(graph.nodes)} nodes")


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
    parser.add_argument("--node-classes", default="ir", choices=NODE_CLASSES)
    args = parser.parse_args()
    with_floor = args.node_classes == "ir"

    floor_calls, answers = floors()
    print(f"{'service':>18} {'nodes':>10} {'us/node':>9} {'gc us/node':>11} {'result B/node':>14}"
          f" {'floor us/node':>14} {'ratio':>6}")
    for size in args.sizes:
        graph = reclassed(mixed_graph(size, seed=0), args.node_classes)
        other = reclassed(mixed_graph(size, seed=1), args.node_classes)
        n = len(graph.nodes)
        runs = args.runs if size < 1_000_000 else max(2, args.runs // 2)
        for name in args.services:
            service, floor = SERVICES[name], floor_calls[name]
            if with_floor:
                check_floor(name, floor, answers.get(name, lambda result: result), graph, other)
            # Service and floor alternate, so a change of load hits both alike.
            seconds = floor_seconds = float("inf")
            for _ in range(runs):
                seconds = min(seconds, best_of(1, service, graph, other))
                if with_floor:
                    floor_seconds = min(floor_seconds, best_of(1, floor, graph, other))
            collection = min(deferred_collection(service, graph, other) for _ in range(2))
            held = held_memory(service, graph, other)
            floor_columns = (f" {floor_seconds * 1e6 / n:>14.2f} {seconds / floor_seconds:>6.2f}" if with_floor
                             else f" {'-':>14} {'-':>6}")
            print(f"{name:>18} {n:>10,} {seconds * 1e6 / n:>9.2f} {collection * 1e6 / n:>11.3f} {held / n:>14.0f}"
                  + floor_columns)
        del graph, other


if __name__ == "__main__":
    main()
