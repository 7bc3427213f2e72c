"""Every node class of the IR layer is accounted for by every service's per-class table."""

import pytest

from ondrel import ir
from ondrel.sdk import analyze, compare, fingerprint, lint

TABLES = [(module, table) for module in (analyze, lint, compare, fingerprint) for table in module._NODE_RULES]


def test_every_service_has_its_tables():
    assert {module.__name__.rsplit(".", 1)[1] for module, _ in TABLES} == {"analyze", "lint", "compare", "fingerprint"}


@pytest.mark.parametrize("module, table", TABLES, ids=[f"{m.__name__}.{t}" for m, t in TABLES])
def test_table_names_every_ir_class_once(module, table):
    entry = module._NODE_RULES[table]
    named = list(entry["rules"]) + list(entry["without_rule"])
    assert sorted(named) == sorted(ir.NODE_TYPES), "a node class of the IR layer has no row and is not listed as without one"
