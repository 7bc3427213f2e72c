"""`ondrel-sdk check` at scale: a model of about 1M synapses mapped onto every shipped target.

The model is Input(1, 1, 32, 32) -> Conv2d 3x3 (1 -> 64) -> LIF -> Flatten -> Affine (65,536 -> 14)
-> LIF -> Output: 573,184 + 917,504 = about 1.49M synapses, float32 weights (so the weight-grid
check runs its full pass), read from an .o1c file as the command reads it. Times check_target
(best of R runs) per profile, and the command line end to end once.

    python bench/bench_targets.py [--runs 3]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from common import best_of
from ondrel import ir
from ondrel.sdk.examples import ports
from ondrel.sdk.targets import check_target, shipped_profiles
from ondrel.sdk.targets.figures import layer_figures


def model():
    rng = np.random.default_rng(0)
    feature = (1, 64, 32, 32)
    f32 = np.float32

    def lif(shape):
        n = int(np.prod(shape[1:]))
        return ir.LIF(tau=np.full(n, 20.0, f32), r=np.ones(n, f32), v_leak=np.zeros(n, f32),
                      v_threshold=np.ones(n, f32), **ports(shape, shape))

    nodes = {
        "in": ir.Input(**ports((1, 1, 32, 32), (1, 1, 32, 32))),
        "conv": ir.Conv2d(weight=rng.standard_normal((64, 1, 3, 3)).astype(f32), padding=(1, 1),
                          **ports((1, 1, 32, 32), feature)),
        "lif1": lif(feature),
        "flat": ir.Flatten(**ports(feature, (1, 65536))),
        "fc": ir.Affine(weight=rng.standard_normal((14, 65536)).astype(f32), **ports((1, 65536), (1, 14))),
        "lif2": lif((1, 14)),
        "out": ir.Output(**ports((1, 14), (1, 14))),
    }
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.o1c")
        ir.write(path, model())
        graph = ir.read(path)
        synapses = sum(f.synapses or 0 for f in layer_figures(graph).values())
        print(f"model: {synapses:,} synapses")
        for name in shipped_profiles():
            seconds = best_of(args.runs, check_target, graph, name)
            print(f"check_target {name:<13} {seconds:6.3f} s")
        start = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "ondrel.sdk", "check", path, "--target", "loihi", "--isolated"],
                              capture_output=True, text=True)
        print(f"ondrel-sdk check --target loihi (one process, end to end): {time.perf_counter() - start:.3f} s, "
              f"status {done.returncode}")


if __name__ == "__main__":
    main()
