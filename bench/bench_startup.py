"""Where the time of a short command goes: each command run as a child process, best of N wall times, and
the imports that `python -X importtime` charges it with, grouped by top-level package.

    PYTHONPATH=build/dev/stage python bench/bench_startup.py [--runs 5]

Commands that read no model (--version, --help, rule) import neither numpy nor the services; a model command
pays for the interpreter, numpy, rustworkx and the services before it reads anything.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

COMMANDS = [["--version"], ["--help"], ["rule", "LIF_HIGH_TAU"], ["summary", "{model}"], ["lint", "{model}"],
            ["fingerprint", "{model}"]]
SERVICES = {f"ondrel.sdk.{service}" for service in ("analyze", "lint", "compare", "fingerprint", "_mapped")}
IMPORT_LINE = re.compile(r"import time:\s+(\d+) \|\s+(\d+) \|( *)(\S+)")


def run(argv, runs):
    best = min(_timed([sys.executable, "-m", "ondrel.sdk", *argv]) for _ in range(runs))
    traced = subprocess.run([sys.executable, "-X", "importtime", "-m", "ondrel.sdk", *argv], capture_output=True,
                            text=True)
    by_package = {}
    for self_us, _, _, name in IMPORT_LINE.findall(traced.stderr):
        package = name if name in SERVICES else name.split(".")[0]  # the services apart from the Python package
        by_package[package] = by_package.get(package, 0) + int(self_us)
    return best, sorted(by_package.items(), key=lambda item: -item[1])


def _timed(command):
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    baseline = min(_timed([sys.executable, "-c", "pass"]) for _ in range(args.runs))
    print(f"python -c pass: {baseline * 1000:.0f} ms")
    with tempfile.TemporaryDirectory() as folder:
        model = os.path.join(folder, "classifier.o1c")
        subprocess.run([sys.executable, "-c", f"from ondrel import ir; from ondrel.sdk import examples; "
                                              f"ir.write({model!r}, examples.classifier())"], check=True)
        for argv in COMMANDS:
            argv = [arg.format(model=model) for arg in argv]
            best, imports = run(argv, args.runs)
            shown = ", ".join(f"{name} {us / 1000:.0f} ms" for name, us in imports[:5] if us >= 1000)
            label = " ".join("MODEL" if arg == model else arg for arg in argv)
            print(f"ondrel-sdk {label:<22} {best * 1000:5.0f} ms   imports: {shown}")


if __name__ == "__main__":
    main()
