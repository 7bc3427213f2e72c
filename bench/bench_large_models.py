"""The command line on two ~3 GB models: time, throughput and peak anonymous memory.

Writes model A (three 1 GiB float32 Affine weights with LIF layers between) and
model B (the same with one row of each weight nudged) to DIR, warms the page
cache, then runs each ondrel-sdk command as a child process (best time of
--runs, highest peak RssAnon, polled from /proc every 2 ms) and hashlib.sha256
over model A the same way, for the fingerprint and verify comparison. The
models are deleted afterwards.

    python bench/bench_large_models.py [DIR] [--runs 3]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

from ondrel import ir

MB = 2**20
FEATURES = 16384  # 16384 x 16384 float32 = 1 GiB per weight
LAYERS = 3

HASHLIB = """
import hashlib, sys
hasher, buffer = hashlib.sha256(), bytearray(1 << 20)
with open(sys.argv[1], "rb", buffering=0) as fh:
    view = memoryview(buffer)
    while count := fh.readinto(view):
        hasher.update(view[:count])
print(hasher.hexdigest())
"""


def ports(width):
    shape = np.array([1, width], np.int64)
    return {"input_type": {"input": shape}, "output_type": {"output": shape}}


def model_a():
    """Input, then (Affine, LIF) three times, then Output. Each weight repeats one random
    row, so building it takes no memory; ir.write copies it out in bounded chunks."""
    rng = np.random.default_rng(0)
    nodes = {"in": ir.Input(**ports(FEATURES))}
    for i in range(LAYERS):
        row = rng.standard_normal(FEATURES, dtype=np.float32) * np.float32(0.01)
        nodes[f"fc{i}"] = ir.Affine(weight=np.broadcast_to(row, (FEATURES, FEATURES)),
                                    bias=np.zeros(FEATURES, np.float32), **ports(FEATURES))
        nodes[f"lif{i}"] = ir.LIF(tau=np.full(FEATURES, 20.0, np.float32), r=np.ones(FEATURES, np.float32),
                                  v_leak=np.zeros(FEATURES, np.float32),
                                  v_threshold=np.ones(FEATURES, np.float32), **ports(FEATURES))
    nodes["out"] = ir.Output(**ports(FEATURES))
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def write_models(a, b):
    ir.write(a, model_a())
    graph = ir.read(a)  # mapped: nudging a row copies only that row's pages
    for i in range(LAYERS):
        graph.nodes[f"fc{i}"].weight[0] += np.float32(1e-3)
    ir.write(b, graph)


def rss_anon(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) * 1024
    except (FileNotFoundError, ProcessLookupError):
        pass
    return 0


def measure(argv, expected_status):
    """(wall seconds, peak RssAnon in bytes) of one run of argv."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=errors)
        peak = 0
        while child.poll() is None:
            peak = max(peak, rss_anon(child.pid))
            time.sleep(0.002)
        seconds = time.perf_counter() - start
        if child.returncode != expected_status:
            errors.seek(0)
            sys.exit(f"{' '.join(argv)} exited with {child.returncode}: {errors.read().decode(errors='replace')}")
    return seconds, peak


def best_of(runs, argv, expected_status=0):
    results = [measure(argv, expected_status) for _ in range(runs)]
    return min(seconds for seconds, _ in results), max(peak for _, peak in results)


def clean_up(paths, made_folder):
    """Delete the benchmark's files, and the folder it made (None: the caller's folder stays)."""
    for path in paths:
        if os.path.exists(path):
            os.unlink(path)
    if made_folder:
        shutil.rmtree(made_folder, ignore_errors=True)


def options_and_folder(description, prefix):
    """The options DIR and --runs of a large-model benchmark, and the folder to write in (made if missing)."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("dir", nargs="?", help="where to write the files (default: a new temporary folder)")
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()
    folder = options.dir or tempfile.mkdtemp(prefix=prefix)
    os.makedirs(folder, exist_ok=True)
    return options, folder


def main():
    options, folder = options_and_folder(__doc__.splitlines()[0], "ondrel-large-")
    paths = a, b, stamped = [os.path.join(folder, f"model_{name}.o1c") for name in ("a", "b", "a_stamped")]
    sdk = [sys.executable, "-m", "ondrel.sdk"]
    try:
        start = time.perf_counter()
        write_models(a, b)
        subprocess.run(sdk + ["stamp", a, "-o", stamped, "--force"], check=True, stdout=subprocess.DEVNULL)
        size = os.path.getsize(a)
        print(f"models written in {time.perf_counter() - start:.0f} s: 2 x {size / 2**30:.2f} GiB, in {folder}")
        for path in paths:  # warm the page cache
            subprocess.run([sys.executable, "-c", HASHLIB, path], check=True, stdout=subprocess.DEVNULL)

        baseline, baseline_peak = best_of(options.runs, [sys.executable, "-c", HASHLIB, a])
        rows = [("hashlib.sha256 A (python -c)", baseline, size, baseline_peak, "")]
        # (label, argv, bytes processed or None, expected status, memory limit in MB, time limit or speed ratio)
        commands = [
            ("summary A", ["summary", a], None, 0, 300, ("time", 1.0)),
            ("lint A", ["lint", a], None, 0, 300, ("time", 1.0)),
            ("fingerprint A", ["fingerprint", a], size, 0, 400, ("speed", 0.9)),
            ("verify A-stamped", ["verify", stamped], size, 0, 400, ("speed", 0.9)),
            ("diff A B", ["diff", a, b], 2 * size, 1, 600, None),
            ("stamp A -o A-stamped", ["stamp", a, "-o", stamped, "--force"], size, 0, 600, None),
        ]
        for label, argv, processed, status, memory_limit, other_limit in commands:
            seconds, peak = best_of(options.runs, sdk + argv, status)
            verdicts = [peak < memory_limit * MB]
            limits = [f"< {memory_limit} MB"]
            if other_limit and other_limit[0] == "time":
                verdicts.append(seconds < other_limit[1])
                limits.append(f"< {other_limit[1]:.0f} s")
            elif other_limit:
                ratio = baseline / seconds
                verdicts.append(ratio >= other_limit[1])
                limits.append(f"{ratio:.2f}x hashlib (>= {other_limit[1]}x)")
            rows.append((f"ondrel-sdk {label}", seconds, processed, peak,
                         ", ".join(limits) + ("  ok" if all(verdicts) else "  MISSED")))

        print(f"{'what':<34}{'time':>9}{'MB/s':>9}{'peak RssAnon':>15}   limits")
        for label, seconds, processed, peak, limits in rows:
            speed = f"{processed / MB / seconds:.0f}" if processed else "-"
            print(f"{label:<34}{seconds:>8.2f}s{speed:>9}{peak / MB:>12.0f} MB   {limits}")
    finally:
        clean_up(paths, folder if not options.dir else None)


if __name__ == "__main__":
    main()
