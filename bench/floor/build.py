"""Builds the benchmark floor (bench/floor/floor.cpp) into build/floor/, for
the interpreter that runs this script; rebuilt only when the source is newer.
The floor is a benchmark baseline, not part of the SDK or its wheel.

    python bench/floor/build.py
"""

import importlib
import os
import subprocess
import sys
import sysconfig

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "floor.cpp")
OUT_DIR = os.path.join(os.path.dirname(os.path.dirname(HERE)), "build", "floor")
TARGET = os.path.join(OUT_DIR, "_floor" + sysconfig.get_config_var("EXT_SUFFIX"))


def build():
    """Path of the built extension, compiling it when missing or stale."""
    if os.path.exists(TARGET) and os.path.getmtime(TARGET) >= os.path.getmtime(SOURCE):
        return TARGET
    os.makedirs(OUT_DIR, exist_ok=True)
    command = [
        os.environ.get("CXX", "g++"), "-std=c++20", "-O2", "-shared", "-fPIC", "-fvisibility=hidden",
        "-I", sysconfig.get_paths()["include"], "-I", np.get_include(), SOURCE, "-o", TARGET,
    ]
    subprocess.run(command, check=True)
    return TARGET


def load():
    """The floor module, built first if needed."""
    folder = os.path.dirname(build())
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module("_floor")


if __name__ == "__main__":
    print(build())
    sys.exit(0)
