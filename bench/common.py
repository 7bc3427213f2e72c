"""What the benchmarks share: synthetic graphs of mixed node classes with small
arrays and of large weights, best-of timing, extra-memory measurement and the
per-node report line."""

import hashlib
import time
import tracemalloc

import numpy as np

from ondrel import ir
from ondrel.sdk import analyze_graph, compare_graphs, fingerprint_graph, lint_graph
from ondrel.sdk.examples import shape

# Each service called as the per-node benchmarks call it: on a graph and, for
# the comparison, a second one of the same structure.
SERVICES = {
    "analyze_graph": lambda g, other: analyze_graph(g),
    "lint_graph": lambda g, other: lint_graph(g),
    "compare_graphs": lambda g, other: compare_graphs(g, other),
    "fingerprint_graph": lambda g, other: fingerprint_graph(g),
}


def _block(i, rng):
    """One repeating unit of a spiking network: conv, LIF, pool, affine, LIF, skip."""
    f32 = np.float32
    c = 8
    return [
        (f"conv{i}", ir.Conv2d(weight=rng.standard_normal((c, c, 3, 3)).astype(f32), bias=np.zeros(c, f32),
                               input_type={"input": shape(c, 16, 16)}, output_type={"output": shape(c, 16, 16)})),
        (f"lif{i}a", ir.LIF(tau=np.full(c, 20.0, f32), r=np.ones(c, f32), v_leak=np.zeros(c, f32),
                            v_threshold=np.ones(c, f32), input_type={"input": shape(c, 16, 16)},
                            output_type={"output": shape(c, 16, 16)})),
        (f"pool{i}", ir.MaxPool2d(input_type={"input": shape(c, 16, 16)}, output_type={"output": shape(c, 8, 8)})),
        (f"fc{i}", ir.SpikingAffine(weight=rng.standard_normal((16, 16)).astype(f32), bias=np.zeros(16, f32),
                                    input_type={"input": shape(16)}, output_type={"output": shape(16)})),
        (f"lif{i}b", ir.LIF(tau=np.full(16, 10.0, f32), r=np.ones(16, f32), v_leak=np.zeros(16, f32),
                            v_threshold=np.ones(16, f32), input_type={"input": shape(16)},
                            output_type={"output": shape(16)})),
        (f"skip{i}", ir.Skip(skip_type="passthrough", input_type={"input": shape(16)},
                             output_type={"output": shape(16)})),
    ]


def mixed_graph(node_count, seed=0):
    """A chain Input -> blocks ... -> Output of about ``node_count`` nodes."""
    rng = np.random.default_rng(seed)
    nodes = {"input": ir.Input(input_type={"input": shape(1, 8, 16, 16)}, output_type={"output": shape(1, 8, 16, 16)})}
    i = 0
    while len(nodes) < node_count - 1:
        nodes.update(_block(i, rng))
        i += 1
    nodes["output"] = ir.Output(input_type={"input": shape(16)}, output_type={"output": shape(16)})
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


# Node classes other than the IR layer's own, for the services' general route:
# trivial subclasses of the IR classes (same names, so every service answers as
# for the IR classes), or duck-typed classes of the same names and attributes.
NODE_CLASSES = ("ir", "subclass", "duck")


_CLASSES = {}  # (IR class, node_classes) -> its stand-in, made once as a user's module would


def reclassed(graph, node_classes):
    """``graph`` with every node an instance of a class of ``node_classes`` (see
    NODE_CLASSES), holding the same attribute values; ``graph`` itself for "ir"."""
    if node_classes == "ir":
        return graph

    def new_class(cls):
        if (cls, node_classes) not in _CLASSES:
            bases = (cls,) if node_classes == "subclass" else ()
            _CLASSES[cls, node_classes] = type(cls.__name__, bases, {})
        return _CLASSES[cls, node_classes]

    nodes = {}
    for name, node in graph.nodes.items():
        copy = object.__new__(new_class(type(node)))
        copy.__dict__.update(vars(node))
        nodes[name] = copy
    return ir.Graph(nodes=nodes, edges=list(graph.edges), metadata=dict(graph.metadata))


MB = 2**20


def weight_graph(megabytes, dtype=np.float32, node_megabytes=8):
    """A chain of Affine nodes holding ``megabytes`` of weights of ``dtype`` in arrays of ``node_megabytes``."""
    rows = node_megabytes * MB // (np.dtype(dtype).itemsize * 1024)
    nodes = {f"fc{i:03d}": ir.Affine(weight=np.full((rows, 1024), i, np.float32).astype(dtype))
             for i in range(megabytes // node_megabytes)}
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def hashlib_over(arrays):
    """hashlib.sha256 fed each array's memory directly (bfloat16 and the like export no buffer)."""
    hasher = hashlib.sha256()
    for array in arrays:
        hasher.update(array.view(np.uint8))
    return hasher.hexdigest()


def best_of(runs, fn, *args, **kwargs):
    """Shortest wall time of ``runs`` calls, in seconds. The result is freed
    after the clock stops: a caller keeps what a call returns, so freeing it
    is not part of the call."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        result = fn(*args, **kwargs)
        best = min(best, time.perf_counter() - start)
        del result
    return best


def per_node(label, seconds, nodes, width=18):
    """The report line of one timing: microseconds per node and the total."""
    return f"{label:>{width}}: {seconds * 1e6 / nodes:6.2f} us/node  ({seconds * 1e3:7.1f} ms for {nodes} nodes)"


def _peak_rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return None


def extra_memory(fn, *args):
    """(peak Python allocations, growth of the peak resident set or None where
    it cannot be measured) during one call, in bytes."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # starts a new peak-RSS window (Linux)
        rss_before = _peak_rss()
    except OSError:
        rss_before = None
    tracemalloc.start()
    fn(*args)
    traced_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    rss_after = _peak_rss() if rss_before is not None else None
    return traced_peak, None if rss_after is None else rss_after - rss_before
