"""Every node class of the IR layer is accounted for by every service's per-class table."""

import numpy as np
import pytest

from ondrel import ir
from ondrel.sdk import _deployment, _shapes, analyze, compare, fingerprint, lint

TABLES = [(module, table) for module in (analyze, lint, compare, fingerprint, _shapes, _deployment) for table in module._NODE_RULES]


def test_every_service_has_its_tables():
    services = {"analyze", "lint", "compare", "fingerprint", "_shapes", "_deployment"}
    assert {module.__name__.rsplit(".", 1)[1] for module, _ in TABLES} == services


@pytest.mark.parametrize("module, table", TABLES, ids=[f"{m.__name__}.{t}" for m, t in TABLES])
def test_table_names_every_ir_class_once(module, table):
    entry = module._NODE_RULES[table]
    named = list(entry["rules"]) + list(entry["without_rule"])
    assert sorted(named) == sorted(ir.NODE_TYPES), "a node class of the IR layer has no row and is not listed as without one"


def _affine():
    return ir.Affine(weight=np.ones((2, 2), np.float32))


# A row of two classes tests isinstance against both at once: an IR module that
# lacks the second class fails the row even for a node of the first.
@pytest.mark.parametrize(
    "missing, call",
    [
        ("AvgPool2d", lambda: fingerprint.fingerprint_graph(ir.Graph(nodes={"p": ir.MaxPool2d()}), include_weights=False)),
        ("Output", lambda: fingerprint.fingerprint_graph(ir.Graph(nodes={"i": ir.Input()}))),
        ("SpikingAffine", lambda: fingerprint.fingerprint_graph_dual(ir.Graph(nodes={"a": _affine()}))),
        ("SpikingAffine", lambda: analyze.analyze_node("a", _affine())),
        ("SpikingAffine", lambda: analyze.analyze_graph(ir.Graph(nodes={"a": _affine()}))),
        ("SpikingAffine", lambda: compare.compare_nodes("a", _affine(), _affine())),
        ("Output", lambda: lint._check_shapes(ir.Graph(nodes={"i": ir.Input()}), lint.LintResult())),
    ],
)
def test_two_class_rows_look_both_classes_up(missing, call, monkeypatch):
    monkeypatch.delattr(ir, missing)
    with pytest.raises(AttributeError, match=missing):
        call()


def test_field_table_is_the_ir_layers():
    """The class -> field table the snapshot reads through names every field of
    every IR class, in declaration order, with the kind FIELD_KINDS gives it."""
    import dataclasses

    from ondrel.ir import _nodes

    kind_names = {_nodes.Array: "Array", _nodes.Ports: "Ports", int: "Int", _nodes.Ints: "Ints",
                  _nodes.Optional[_nodes.Ints]: "OptionalInts", _nodes.Reals: "Reals", str: "Str", bool: "Bool",
                  _nodes.Optional[bool]: "OptionalBool"}
    assert {_nodes._KIND_OF_ANNOTATION[annotation] for annotation in kind_names} == set(
        _nodes._KIND_OF_ANNOTATION.values())
    expected = {name: tuple((field.name, kind_names[field.type]) for field in dataclasses.fields(cls))
                for name, cls in ir.NODE_TYPES.items()}
    for module in (analyze, lint, compare, fingerprint):
        assert module._IR_FIELDS == expected
