"""The floors pyproject.toml declares are the versions CI installs exactly (tools/minimum-requirements.txt)."""

import re
from pathlib import Path

from packaging.requirements import Requirement
from packaging.version import Version

from ondrel.sdk.lint_selection import _toml_reader

ROOT = Path(__file__).resolve().parent.parent


def pins(role):
    found = {}
    for line in (ROOT / "tools" / "minimum-requirements.txt").read_text().splitlines():
        requirement, _, comment = line.partition("#")
        if requirement.strip() and comment.strip().startswith(role):
            name, version = requirement.strip().split("==")
            found[name] = Version(version)
    return found


def floors(requirements):
    found = {}
    for text in requirements:
        requirement = Requirement(text)
        (lowest,) = [clause.version for clause in requirement.specifier if clause.operator == ">="]
        found[requirement.name] = Version(lowest)
    return found


def test_declared_floors_are_the_tested_ones():
    project = _toml_reader().loads((ROOT / "pyproject.toml").read_text())
    build, runtime = pins("build"), pins("runtime")
    cmake_minimum = re.search(r"cmake_minimum_required\(VERSION (\d+\.\d+)", (ROOT / "CMakeLists.txt").read_text())
    npy_target = re.search(r"NPY_TARGET_VERSION=NPY_(\d+)_(\d+)_API_VERSION", (ROOT / "CMakeLists.txt").read_text())

    assert floors(project["build-system"]["requires"]) == {k: v for k, v in build.items() if k != "cmake"}
    assert floors(project["project"]["dependencies"]) == runtime
    extras = pins("extra")
    for name, version in extras.items():  # each pinned extra's floor, as the extras declare it
        declared = [floors([req])[name] for reqs in project["project"]["optional-dependencies"].values()
                    for req in reqs if Requirement(req).name == name]
        assert declared and set(declared) == {version}, name
    assert build["cmake"].release[:2] == Version(cmake_minimum[1]).release[:2]
    # numpy refuses to import modules built for a newer C API than its own
    assert runtime["numpy"].release[:2] == tuple(map(int, npy_target.groups()))
