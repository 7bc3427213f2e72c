"""The generated reference pages match the code they come from."""

import importlib.util
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
module_spec = importlib.util.spec_from_file_location("docs_reference", ROOT / "tools" / "docs_reference.py")
docs_reference = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(docs_reference)


@pytest.mark.parametrize("name, text", docs_reference.pages().items())
def test_generated_page_is_current(name, text):
    assert (ROOT / "docs" / name).read_text(encoding="utf-8") == text, \
        f"docs/{name} is stale: run PYTHONPATH=build/dev/stage python tools/docs_reference.py"
