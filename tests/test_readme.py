"""The README's Python examples run as written."""

import pathlib
import re

import pytest

from ondrel import ir
from ondrel.sdk import examples

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 5


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    ir.write("model.o1c", examples.classifier())  # the examples' "model.o1c"
    exec(compile(code, str(README), "exec"), {"__name__": "readme_example"})
