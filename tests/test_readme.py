"""The README's code blocks run as shown, in order, in one empty folder: Python blocks in this process, shell
blocks line by line with ``ondrel-sdk`` and ``python`` on the path. A Python block that starts with a file name
comment (``# test_models.py``) is that file, written for the blocks after it; a block that starts with "# in a
clone of this repository:" needs the source tree and is left out, and so is the pipeline block that
test_pipelines.py runs."""

import os
import pathlib
import re
import subprocess
import sys

from test_cli import child_env

from ondrel.sdk.lint_selection import parse_config

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text(encoding="utf-8")
BLOCKS = re.findall(r"```python\n(.*?)```", TEXT, re.S)
ALL_BLOCKS = re.findall(r"```(python|sh|toml)\n(.*?)```", TEXT, re.S)
NEEDS_THE_SOURCE_TREE = "# in a clone of this repository:"
RUN_ELSEWHERE = "ondrel-sdk demo models > /dev/null"  # the pipeline block, run by test_pipelines.py
FILE_COMMENT = re.compile(r"# (test_\w+\.py)\n")


def shell_env(folder):
    """The environment of the shell lines: the package under test as ``ondrel-sdk``, and ``python`` as this one."""
    bin_folder = folder / ".bin"
    bin_folder.mkdir()
    for name, command in (("ondrel-sdk", f'"{sys.executable}" -m ondrel.sdk'), ("python", f'"{sys.executable}"')):
        (bin_folder / name).write_text(f'#!/bin/sh\nexec {command} "$@"\n')
        (bin_folder / name).chmod(0o755)
    env = child_env()
    from importlib.metadata import entry_points

    if not any(point.value == "ondrel.sdk.pytest_plugin" for point in entry_points().select(group="pytest11")):
        env["PYTEST_PLUGINS"] = "ondrel.sdk.pytest_plugin"  # a source tree: pytest would not find the plugin
    return {**env, "PATH": f"{bin_folder}{os.pathsep}{env['PATH']}"}


def test_readme_blocks_run_in_order_in_an_empty_folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    env = shell_env(tmp_path)
    ran = 0
    for language, code in ALL_BLOCKS:
        if code.startswith(NEEDS_THE_SOURCE_TREE) or code.startswith(RUN_ELSEWHERE):
            continue
        ran += 1
        if language == "toml":
            parse_config(code, "README.md")
        elif language == "python" and FILE_COMMENT.match(code):
            (tmp_path / FILE_COMMENT.match(code).group(1)).write_text(code)
        elif language == "python":
            exec(compile(code, str(README), "exec"), {"__name__": "readme_example"})
        else:
            for line in code.splitlines():
                done = subprocess.run(["bash", "-c", line], env=env, capture_output=True, text=True, timeout=300)
                findings_allowed = line.startswith("ondrel-sdk")  # status 1: lint errors, models that differ
                assert done.returncode in ((0, 1) if findings_allowed else (0,)) and done.stderr == "", \
                    (line, done.stdout[-2000:], done.stderr)
    assert ran >= 15 and (tmp_path / "golden" / "test_models.json").is_file()
