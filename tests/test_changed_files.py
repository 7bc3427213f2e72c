"""Models that another program truncates or rewrites while they are mapped: every read of their tensor bytes in
the SDK's own code ends in an error for that file ("file changed while it was being read"), never in a
crash (SIGBUS) or in a stamp that the written file does not match."""

import errno
import hashlib
import os
import subprocess
import sys
import time

import numpy as np
import pytest
from conftest import chain
from test_cli import child_env

from ondrel import ir
from ondrel.sdk import (analyze_graph, compare_arrays, compare_graphs, fingerprint_graph, fingerprint_graph_dual,
                        lint_graph)
from ondrel.sdk._mapped import hash_into
from ondrel.sdk.compare import _array_statistics
from ondrel.sdk.fingerprint import _hash_graph, _hash_node_weights, stamp_graph

CHANGED = "file changed while it was being read"


def model(rows=256, lif=64):
    return chain(("in", ir.Input()), ("fc", ir.Affine(weight=np.ones((rows, 1024), np.float32))),
                 ("lif", ir.LIF(tau=np.full(lif, 20.0), v_threshold=np.ones(lif))), ("out", ir.Output()))


class Digest:
    """A hasher that is not hashlib's: it takes each piece as bytes."""

    def __init__(self):
        self.inner = hashlib.sha256()

    def update(self, data):
        self.inner.update(data)


CALLS = {
    "fingerprint_graph": fingerprint_graph,
    "fingerprint_graph_dual": fingerprint_graph_dual,
    "_hash_graph into hashlib": lambda g: _hash_graph(g, hashlib.sha256()),
    "_hash_node_weights into another hasher": lambda g: _hash_node_weights(g.nodes["fc"], Digest()),
    "compare_graphs": lambda g: compare_graphs(g, g),
    "compare_arrays": lambda g: compare_arrays(g.nodes["fc"].weight, g.nodes["fc"].weight),
    "_array_statistics": lambda g: _array_statistics(g.nodes["fc"].weight, g.nodes["fc"].weight, 1e-6, 1e-5),
    "lint_graph (LIF ranges)": lint_graph,
    "analyze_graph (LIF means)": analyze_graph,
    "ir.write": lambda g: ir.write(g.metadata["copy"], g),
    "_mapped.hash_into (signing)": lambda g: hash_into(g.nodes["fc"].weight, hashlib.sha256()),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_a_truncated_map_is_an_error_not_a_crash(tmp_path, call):
    path = tmp_path / "m.o1c"
    ir.write(path, model(lif=2048))  # every tensor beyond the first page
    graph = ir.read(path)
    graph.metadata["copy"] = str(tmp_path / "copy.o1c")
    os.truncate(path, 4096)
    with pytest.raises(OSError) as failure:
        call(graph)
    assert (failure.value.errno, failure.value.strerror) == (errno.EFAULT, CHANGED)
    assert os.listdir(tmp_path) == ["m.o1c"]


# Runs the command line with ir.read truncating every model named shrinking*.o1c right after mapping it, and
# stamp_graph rewriting bytes of its model in place after hashing it (worker processes inherit both).
RACE = """
import os, sys
from ondrel import ir
from ondrel.sdk import fingerprint
real_read, real_stamp = ir.read, fingerprint.stamp_graph
def read(path, *args, **kwargs):
    graph = real_read(path, *args, **kwargs)
    if os.path.basename(str(path)).startswith("shrinking"):
        os.truncate(path, 4096)
    return graph
def stamp_graph(graph, **kwargs):
    stamped = real_stamp(graph, **kwargs)
    with open("m.o1c", "r+b") as handle:
        handle.seek(-4096, 2)
        handle.write(b"\\xff" * 4096)
    return stamped
ir.read, fingerprint.stamp_graph = read, stamp_graph
from ondrel.sdk.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("argv, shown", [
    (["fingerprint", "a.o1c", "shrinking.o1c", "b.o1c"], ["a.o1c", "b.o1c"]),
    (["fingerprint", "-j", "2", "a.o1c", "shrinking.o1c", "b.o1c"], ["a.o1c", "b.o1c"]),
    (["fingerprint", "--check", "SUMS"], ["a.o1c: OK", "shrinking.o1c: FAILED open or read", "b.o1c: OK"]),
    (["verify", "a.o1c", "shrinking.o1c", "b.o1c", "-o", "out.txt"], ["a.o1c: OK", "b.o1c: OK"]),
    (["lint", "shrinking.o1c", "a.o1c"], ["a.o1c: 0 errors"]),
    (["diff", "a.o1c", "shrinking.o1c"], []),
    (["stamp", "shrinking.o1c", "-o", "out.o1c"], []),
    (["stamp", "m.o1c", "-o", "out.o1c"], []),
])
def test_the_command_line_names_the_file_that_changed(tmp_path, argv, shown):
    for name in ("a.o1c", "b.o1c", "shrinking.o1c", "m.o1c"):
        ir.write(tmp_path / name, stamp_graph(model(lif=2048)))
    (tmp_path / "SUMS").write_text("".join(f"{fingerprint_graph(ir.read(tmp_path / name))}  {name}\n"
                                           for name in ("a.o1c", "shrinking.o1c", "b.o1c")))
    before = set(os.listdir(tmp_path))
    result = subprocess.run([sys.executable, "-c", RACE, *argv], cwd=tmp_path, env=child_env(), capture_output=True,
                            text=True, timeout=120)
    culprit = "m.o1c" if "m.o1c" in argv else "shrinking.o1c"
    assert (result.returncode, result.stderr.splitlines()[:1]) == (2, [f"ondrel-sdk: error: {culprit}: {CHANGED}"])
    output = (tmp_path / "out.txt").read_text() if "out.txt" in argv else result.stdout
    assert [text for text in shown if text in output] == shown and "shrinking.o1c: OK" not in output
    assert set(os.listdir(tmp_path)) == before | ({"out.txt"} if "out.txt" in argv else set())


def test_a_real_truncation_race_never_crashes(tmp_path):
    """For a few seconds, another process cuts a mapped model short and writes it back in place while the
    command line fingerprints, verifies and stamps it: each run ends with a result or an error line."""
    ir.write(tmp_path / "m.o1c", model(rows=16384))  # 64 MB
    flipper = subprocess.Popen([sys.executable, "-c", (
        "import os, sys, time\n"
        "data = open('m.o1c', 'rb').read()\n"
        "end = time.monotonic() + 6\n"
        "while time.monotonic() < end:\n"
        "    os.truncate('m.o1c', 4096); time.sleep(0.01)\n"
        "    with open('m.o1c', 'r+b') as f: f.write(data)\n"
        "    time.sleep(0.03)\n")], cwd=tmp_path)
    end = time.monotonic() + 4
    while time.monotonic() < end:
        for argv in (["fingerprint", "m.o1c"], ["verify", "m.o1c", "-o", "v.txt"], ["stamp", "m.o1c", "-o", "s.o1c",
                                                                                      "--force"]):
            done = subprocess.run([sys.executable, "-m", "ondrel.sdk", *argv], cwd=tmp_path, env=child_env(),
                                  capture_output=True, text=True, timeout=120)
            assert done.returncode in (0, 1, 2) and "Traceback" not in done.stderr, (argv, done)
            assert all(line.startswith("ondrel-sdk: error: m.o1c: ") for line in done.stderr.splitlines()), done
            if argv[0] == "stamp" and done.returncode == 0:  # what it printed is what it wrote
                printed = dict(line.strip().split(": ", 1) for line in done.stdout.splitlines()[1:])
                assert fingerprint_graph(ir.read(tmp_path / "s.o1c", mmap=False)) == printed["fingerprint_full"]
    flipper.wait(30)
    assert not [name for name in os.listdir(tmp_path) if name.endswith(".tmp")]
