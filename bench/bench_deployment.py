"""Deployment figures of a large graph: ``deployment_stats`` on about N nodes (default 100,000): branches of
convolutions, LIF layers, pooling and affine layers from one input to one output, every port shape declared with
its batch dimension and consistent with the layers (no shape findings).

    PYTHONPATH=build/dev/stage python bench/bench_deployment.py [--nodes N] [--repeat R]
"""

import argparse
import time

import numpy as np

from ondrel import ir
from ondrel.sdk.deployment import deployment_stats
from ondrel.sdk.examples import shape


def block(i, rng):
    f32, c = np.float32, 8
    image, pooled = shape(1, c, 16, 16), shape(1, c, 8, 8)
    return [
        (f"conv{i}", ir.Conv2d(weight=rng.standard_normal((c, c, 3, 3)).astype(f32), padding=(1, 1),
                               input_type={"input": image}, output_type={"output": image})),
        (f"lif{i}a", ir.LIF(tau=np.full((c, 1, 1), 20.0, f32), input_type={"input": image}, output_type={"output": image})),
        (f"pool{i}", ir.MaxPool2d(input_type={"input": image}, output_type={"output": pooled})),
        (f"flat{i}", ir.Flatten(input_type={"input": pooled}, output_type={"output": shape(1, 512)})),
        (f"fc{i}", ir.SpikingAffine(weight=rng.standard_normal((16, 512)).astype(f32),
                                    input_type={"input": shape(1, 512)}, output_type={"output": shape(1, 16)})),
        (f"lif{i}b", ir.LIF(tau=np.full(16, 10.0, f32), input_type={"input": shape(1, 16)},
                            output_type={"output": shape(1, 16)})),
    ]


def chain(node_count, seed=0):
    rng = np.random.default_rng(seed)
    nodes = {"input": ir.Input(output_type={"output": shape(1, 8, 16, 16)})}
    edges, i = [], 0
    while len(nodes) < node_count - 1:
        branch = block(i, rng)
        nodes.update(branch)
        names = ["input"] + [name for name, _ in branch] + ["output"]
        edges += zip(names, names[1:])
        i += 1
    nodes["output"] = ir.Output()
    return ir.Graph(nodes=nodes, edges=edges)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    graph = chain(args.nodes)
    best, best_cpu = float("inf"), float("inf")
    for _ in range(args.repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        stats = deployment_stats(graph, rates=0.1, timesteps=4)
        best, best_cpu = min(best, time.perf_counter() - start), min(best_cpu, time.process_time() - start_cpu)
    totals = stats.totals
    # CPU time as well: on a shared machine the wall time includes waiting for a core.
    print(f"{len(graph.nodes):,} nodes: deployment_stats {best:.3f} s, {best_cpu:.3f} s CPU (best of {args.repeat}); "
          f"{totals.neurons:,} neurons, {totals.synapses:,} synapses, {totals.synops:,.0f} synops per timestep")


if __name__ == "__main__":
    main()
