"""Instructions one call of a service executes on a mixed graph, counted by
callgrind, whose figures the load of a shared machine does not move. Only the
call itself is counted: it runs inside eval(), the one function callgrind is
told to collect in (imports run through exec(), not eval(); the graphs are built,
and a small warm-up call made, before).

    valgrind --tool=callgrind --toggle-collect=builtin_eval --callgrind-out-file=/dev/null \\
        python bench/instructions.py compare_graphs [--nodes 10000]

The count is the "Collected" line callgrind prints at exit. With --floor, the
same call of the floor (bench/floor) is counted instead.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from common import NODE_CLASSES, SERVICES, mixed_graph, reclassed  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("service", choices=list(SERVICES))
    parser.add_argument("--nodes", type=int, default=10_000)
    parser.add_argument("--floor", action="store_true", help="count the floor's call instead of the service's")
    parser.add_argument("--node-classes", default="ir", choices=NODE_CLASSES,
                        help="count the services' general route on nodes of other classes (see common.reclassed)")
    args = parser.parse_args()
    if args.floor:
        from per_node import floors

        service = floors()[0][args.service]
    else:
        service = SERVICES[args.service]
    service(reclassed(mixed_graph(50, seed=0), args.node_classes), reclassed(mixed_graph(50, seed=1), args.node_classes))
    graph = reclassed(mixed_graph(args.nodes, seed=0), args.node_classes)
    other = reclassed(mixed_graph(args.nodes, seed=1), args.node_classes)
    eval("service(graph, other)", {"service": service, "graph": graph, "other": other})
    print(f"{args.service}: {len(graph.nodes)} nodes")


if __name__ == "__main__":
    main()
