"""Assertions for test suites, and the statistics of two arrays that their messages report.

    from ondrel.sdk.testing import array_statistics, assert_graphs_close, assert_lint_clean

``assert_graphs_close`` judges arrays exactly as ``compare_graphs`` does and, when
it fails, says for each differing array how many elements are off, by how much at
most and where; ``assert_lint_clean`` fails with the lint findings listed. Both
raise ``AssertionError`` and nothing else of their own.
"""

import dataclasses
import os
import re
from collections.abc import Iterable
from typing import TYPE_CHECKING, Optional, Union

import numpy as np

if TYPE_CHECKING:
    from ondrel import ir

# An IR graph or the path of an .o1c file.
GraphOrPath = Union["ir.Graph", str, bytes, "os.PathLike[str]"]

__all__ = ["MISSING", "ArrayStatistics", "NodeChange", "array_statistics", "assert_fingerprint",
           "assert_graphs_close", "assert_lint_clean", "describe_differences", "metadata_changes", "node_changes"]

DEFAULT_ATOL = 1e-6
DEFAULT_RTOL = 1e-5


@dataclasses.dataclass(frozen=True)
class ArrayStatistics:
    """How two arrays differ, element by element, under ``|a - b| <= atol + rtol * |b|``.

    Indexes are tuples into the arrays' shape (row-major); each is the first element
    where its maximum occurs. Differences are computed in numpy's type for ``a - b``
    (exactly for two integer arrays); NaN counts as the greatest difference. The
    relative difference ``|a - b| / |b|`` is taken over the elements where ``b`` is
    nonzero only: where ``b`` is zero it is undefined, and ``max_rel_diff`` is None
    when ``b`` has no nonzero element. With different shapes nothing is compared:
    ``size`` is 0 and the figures are None.
    """

    shape_a: tuple
    shape_b: tuple
    atol: float
    rtol: float
    size: int = 0  # elements compared
    mismatched: int = 0  # elements failing the tolerance test
    max_abs_diff: Optional[float] = None
    max_abs_index: Optional[tuple] = None
    max_rel_diff: Optional[float] = None
    max_rel_index: Optional[tuple] = None
    nan_a: int = 0
    nan_b: int = 0
    inf_a: int = 0
    inf_b: int = 0

    @property
    def same_shape(self):
        return self.shape_a == self.shape_b

    @property
    def mismatched_share(self):
        """The share of the elements that fail the tolerance test, from 0.0 to 1.0."""
        return self.mismatched / self.size if self.size else 0.0

    @property
    def match(self):
        """What ``compare_arrays`` answers: equal shapes and every element within tolerance."""
        return self.same_shape and self.mismatched == 0

    def describe(self):
        """The statistics as lines of text, as failure messages and ``ondrel-sdk diff`` show them."""
        if not self.same_shape:
            return [f"Shapes differ: {self.shape_a} in A, {self.shape_b} in B"]
        lines = [f"Mismatched elements: {self.mismatched:,} / {self.size:,} ({_share(self.mismatched_share)})"]
        if self.max_abs_diff is not None:
            lines.append(f"Greatest absolute difference: {self.max_abs_diff:.6g} at index {self.max_abs_index} "
                         f"(up to {self.atol:g} allowed)")
        if self.max_rel_diff is not None:
            lines.append(f"Greatest relative difference: {self.max_rel_diff:.6g} at index {self.max_rel_index} "
                         f"(up to {self.rtol:g} allowed)")
        for what, in_a, in_b in (("NaN", self.nan_a, self.nan_b), ("Infinite", self.inf_a, self.inf_b)):
            if in_a or in_b:
                lines.append(f"{what} elements: {in_a:,} in A, {in_b:,} in B")
        return lines


def _share(share):
    if 0 < share < 0.001:
        return "<0.1%"
    if 0.999 < share < 1:
        return ">99.9%"
    return f"{share:.1%}"


def array_statistics(a: np.ndarray, b: np.ndarray, atol: float = DEFAULT_ATOL,
                     rtol: float = DEFAULT_RTOL) -> ArrayStatistics:
    """The ``ArrayStatistics`` of arrays ``a`` and ``b`` (``b`` is the reference of the relative terms).

    Plain numpy arrays of booleans, integers and floats (bfloat16, float8_e4m3fn,
    float8_e5m2, int4 and uint4 of ml_dtypes included) are read natively in one
    pass, with numpy's promotion and arithmetic; other arrays (complex numbers,
    non-native byte order, array-likes) are computed with numpy, to the same result.
    """
    from .compare import _array_statistics

    atol, rtol = float(atol), float(rtol)
    shape_a, shape_b = tuple(np.shape(a)), tuple(np.shape(b))
    if shape_a != shape_b:
        return ArrayStatistics(shape_a, shape_b, atol, rtol)
    found = _array_statistics(a, b, atol, rtol)
    if found is None:
        found = _numpy_statistics(np.asarray(a), np.asarray(b), atol, rtol)
    size, mismatched, max_abs, abs_at, max_rel, rel_at, nan_a, nan_b, inf_a, inf_b = found

    def index(at):
        return None if at is None else tuple(int(i) for i in np.unravel_index(at, shape_a))

    return ArrayStatistics(shape_a, shape_b, atol, rtol, size, mismatched, max_abs, index(abs_at), max_rel,
                           index(rel_at), nan_a, nan_b, inf_a, inf_b)


def _numpy_statistics(a, b, atol, rtol):
    """What ``_array_statistics`` computes natively, spelled with numpy (flat row-major indexes)."""
    from ondrel.ir._dtypes import is_float, is_integer

    integers = is_integer(a.dtype) and is_integer(b.dtype)
    # Integers subtract exactly, as Python integers (numpy's a - b wraps around).
    a, b = a.ravel(), b.ravel()  # row-major; and 0-d results would come back as scalars
    magnitude = np.abs(np.subtract(a, b, dtype=object) if integers else a - b)
    divisor = np.abs(b if b.dtype.kind == "c" else b.astype(np.float64 if integers else magnitude.dtype))
    mismatched = int(a.size - np.count_nonzero(np.isclose(a, b, atol=atol, rtol=rtol)))

    def special(array, test):
        return int(np.count_nonzero(test(array))) if is_float(array.dtype) or array.dtype.kind == "c" else 0

    counts = (special(a, np.isnan), special(b, np.isnan), special(a, np.isinf), special(b, np.isinf))
    if a.size == 0:
        return (0, mismatched, None, None, None, None, *counts)
    abs_at = int(np.argmax(magnitude))  # the first NaN, or the first greatest
    nonzero = np.flatnonzero(divisor != 0)
    rel, rel_at = None, None
    if nonzero.size:
        numerator = magnitude[nonzero].astype(np.float64) if integers else magnitude[nonzero]
        relative = numerator / divisor[nonzero]
        k = int(np.argmax(relative))
        rel, rel_at = float(relative[k]), int(nonzero[k])
    return (int(a.size), mismatched, float(magnitude[abs_at]), abs_at, rel, rel_at, *counts)


@dataclasses.dataclass(frozen=True)
class NodeChange:
    """One difference of a node held by both graphs under one name.

    ``kind`` is "class" (``old``/``new`` are class names), "port" (``field`` is
    ``input_type`` or ``output_type``; the port shapes), "hyper-parameter" (the two
    values) or "array" (the two shapes, None for a missing array, and the
    ``statistics`` when both exist). ``text`` is the change as ``NodeDiff.changes`` words it.
    """

    node: str
    field: str
    kind: str
    old: object
    new: object
    text: str
    statistics: Optional[ArrayStatistics] = None


# NodeDiff.changes words an array change "name: shape mismatch" or "name: max_diff=...",
# a hyper-parameter change "name: old → new", a class change "type: A → B".
_ARRAY_CHANGE = re.compile(r"(\w+): (?:shape mismatch|max_diff=\S*)\Z")
_PORT_CHANGE = re.compile(r"(input_type|output_type) differs\Z")
_VALUE_CHANGE = re.compile(r"(\w+): .* → ", re.S)


def node_changes(diff, graph_a, graph_b, atol=DEFAULT_ATOL, rtol=DEFAULT_RTOL):
    """The changes of ``diff``, the ``GraphDiff`` of ``graph_a`` and ``graph_b`` under ``atol`` and
    ``rtol``, as ``NodeChange`` records, node by node in the diff's order."""
    changes = []
    for node_diff in diff.node_diffs:
        node_a, node_b = graph_a.nodes[node_diff.name], graph_b.nodes[node_diff.name]
        for text in node_diff.changes:
            changes.append(_node_change(node_diff.name, node_a, node_b, text, atol, rtol))
    return changes


def _node_change(name, node_a, node_b, text, atol, rtol):
    if match := _ARRAY_CHANGE.match(text):
        field = match.group(1)
        value_a, value_b = getattr(node_a, field), getattr(node_b, field)
        statistics = None if value_a is None or value_b is None else array_statistics(value_a, value_b, atol, rtol)
        return NodeChange(name, field, "array", _shape_of(value_a), _shape_of(value_b), text, statistics)
    if match := _PORT_CHANGE.match(text):
        field = match.group(1)
        return NodeChange(name, field, "port", getattr(node_a, field), getattr(node_b, field), text)
    match = _VALUE_CHANGE.match(text)
    if match and match.group(1) == "type" and type(node_a).__name__ != type(node_b).__name__:
        return NodeChange(name, "type", "class", type(node_a).__name__, type(node_b).__name__, text)
    field = match.group(1) if match else text
    return NodeChange(name, field, "hyper-parameter", getattr(node_a, field, None), getattr(node_b, field, None),
                      text)


def _shape_of(value):
    return None if value is None else tuple(np.shape(value))



def _ports(ports):
    from .._tables import port_text

    return port_text(ports) or "none"


def metadata_changes(graph_a, graph_b):
    """How the metadata of ``graph_b`` differs from that of ``graph_a``: (key, old, new) per key whose value
    differs, in the order of ``graph_a``'s keys then ``graph_b``'s new ones; a missing value is ``MISSING``."""
    meta_a, meta_b = graph_a.metadata, graph_b.metadata
    keys = [*meta_a, *(key for key in meta_b if key not in meta_a)]
    return [(key, meta_a.get(key, MISSING), meta_b.get(key, MISSING)) for key in keys
            if not _same_value(meta_a.get(key, MISSING), meta_b.get(key, MISSING))]


MISSING = type("Missing", (), {"__repr__": lambda self: "(missing)"})()


def _same_value(a, b):
    """Whether two metadata values are equal: arrays by dtype, shape and elements (NaN equal to NaN)."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == b.dtype
                and a.shape == b.shape and bool(np.array_equal(a, b, equal_nan=a.dtype.kind in "fc")))
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(_same_value, a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same_value(a[key], b[key]) for key in a)
    try:
        return bool(a == b) or (a != a and b != b)  # NaN equals NaN here
    except Exception:  # a value whose comparison fails counts as changed
        return False


def describe_differences(diff, changes, name=repr):
    """Lines naming every structural difference of ``diff`` and every change of ``changes``
    (``node_changes``), with the statistics under each array; ``name`` shows a node name."""
    lines = []
    structure = ([f"+ node {name(n)}" for n in diff.nodes_added] + [f"- node {name(n)}" for n in diff.nodes_removed]
                 + [f"+ edge {name(a)} -> {name(b)}" for a, b in diff.edges_added]
                 + [f"- edge {name(a)} -> {name(b)}" for a, b in diff.edges_removed])
    if structure:
        lines += ["Structural differences:"] + [f"  {line}" for line in structure]
    node = object()
    for change in changes:
        if change.node != node:
            node = change.node
            lines.append(f"Node {name(node)}:")
        if change.kind == "array" and change.statistics is not None:
            lines.append(f"  {change.field}:")
            lines += [f"    {line}" for line in change.statistics.describe()]
        elif change.kind == "array":
            missing = "A" if change.old is None else "B"
            lines.append(f"  {change.field}: missing in {missing}")
        elif change.kind == "port":
            lines.append(f"  {change.field}: {_ports(change.old)} -> {_ports(change.new)}")
        else:
            lines.append(f"  {name(change.text)}")
    return lines


def _graph(value):
    from ondrel import ir

    return ir.read(value) if isinstance(value, (str, bytes, os.PathLike)) else value


def assert_graphs_close(graph_a: GraphOrPath, graph_b: GraphOrPath, atol: float = DEFAULT_ATOL,
                        rtol: float = DEFAULT_RTOL, check_structure: bool = True) -> None:
    """Assert that two graphs (IR graphs or ``.o1c`` paths) are equal within tolerance.

    Arrays are judged as ``compare_graphs`` judges them (``|a - b| <= atol + rtol * |b|``,
    ``graph_b`` the reference). The ``AssertionError`` lists the added and removed
    nodes and edges by name, then each changed node with its changes and, under each
    differing array, its statistics. With ``check_structure=False`` only the nodes
    both graphs hold count.
    """
    __tracebackhide__ = True  # pytest shows the caller's line, not this function's
    from .compare import compare_graphs

    a, b = _graph(graph_a), _graph(graph_b)
    diff = compare_graphs(a, b, atol, rtol)
    if diff.numerical_match and (diff.structural_match or not check_structure):
        return
    if not check_structure:
        diff = dataclasses.replace(diff, nodes_added=[], nodes_removed=[], edges_added=[], edges_removed=[])
    lines = describe_differences(diff, node_changes(diff, a, b, atol, rtol))
    raise AssertionError(f"Graphs are not close (atol={float(atol):g}, rtol={float(rtol):g}):\n" + "\n".join(lines))


def assert_lint_clean(graph: GraphOrPath, strict: bool = False, select: Optional[Iterable[str]] = None,
                      ignore: Iterable[str] = ()) -> None:
    """Assert that linting ``graph`` (an IR graph or a ``.o1c`` path) finds no error and no warning.

    ``strict`` turns warnings into errors as ``lint_graph`` does; ``select`` and
    ``ignore`` choose the codes that count, as ``LintSelection`` does (codes or
    prefixes). Infos never fail the assertion. The ``AssertionError`` lists the findings.
    """
    __tracebackhide__ = True
    from .lint import Severity, lint_graph
    from .lint_selection import LintSelection

    result = LintSelection(select=select, ignore=ignore).apply(lint_graph(_graph(graph), strict=strict))
    findings = [issue for issue in result.issues if issue.severity != Severity.INFO]
    if not findings:
        return
    lines = [f"{len(findings)} lint finding{'s' if len(findings) > 1 else ''}:"]
    for issue in findings:
        where = f" [{issue.node!r}]" if issue.node is not None else ""
        lines.append(f"  {issue.severity.value} {issue.code}{where}: {issue.message}")
        if issue.suggestion:
            lines.append(f"    ({issue.suggestion})")
    raise AssertionError("\n".join(lines))


def assert_fingerprint(graph: GraphOrPath, expected: str, include_weights: bool = True) -> None:
    """Assert that the fingerprint of ``graph`` (an IR graph or a ``.o1c`` path) is ``expected``."""
    __tracebackhide__ = True
    from .fingerprint import fingerprint_graph

    actual = fingerprint_graph(_graph(graph), include_weights=include_weights)
    if actual != expected:
        raise AssertionError(f"fingerprint differs\n  expected: {expected}\n  actual:   {actual}")
