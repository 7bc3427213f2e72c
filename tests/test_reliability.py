"""Reference leaks and concurrent use: every public function, on its success
paths and its documented failure paths."""

import concurrent.futures
import dataclasses
import gc
import os
import sys

import numpy as np
import pytest
from conftest import mlp

from ondrel import ir
from ondrel.sdk import (
    GraphStats,
    LintResult,
    analyze_graph,
    analyze_node,
    assert_graphs_equal,
    compare_arrays,
    compare_graphs,
    compare_nodes,
    count_array_params,
    fingerprint_graph,
    fingerprint_graph_dual,
    format_bytes,
    format_number,
    get_stamp,
    lint_graph,
    stamp_graph,
    summarize,
    verify_fingerprint,
)
from ondrel.sdk import compare as compare_module
from ondrel.sdk import fingerprint as fingerprint_module
from ondrel.sdk import lint as lint_module
from ondrel.sdk.deployment import deployment_stats
from ondrel.sdk.shapes import check_shapes, infer_shapes

# Under the sanitizers every allocation is checked and leaks are reported at
# exit, so a few calls per case are enough there.
SANITIZED = bool(os.environ.get("ONDREL_SANITIZED"))
CALLS = 300 if SANITIZED else 20_000

GRAPH = mlp(hidden=4, features=6)
OTHER = mlp(hidden=4, features=6, seed=3)
STAMPED = stamp_graph(GRAPH, notes="n", calibration_config={"a": 1})
A = np.arange(64, dtype=np.float32)
B = A + np.float32(1e-3)
BROKEN = mlp()
BROKEN.nodes["lif"].weight_bits = None
del BROKEN.edges[:]
OTHER_SHAPES = mlp(hidden=4, features=6)
OTHER_SHAPES.nodes["fc"].weight = np.ones((4, 5), np.float32)


def broken_stamp_graph():
    graph = mlp()
    graph.metadata = None
    stamp_graph(graph)


def fresh_lint_result():
    result = LintResult()
    result.add_warning("W", "m", node="n")
    result.add_info("I", "i")
    result.errors, result.warnings, result.is_valid
    return result.to_dict()


SUCCESS = {
    "count_array_params": lambda: count_array_params(A),
    "analyze_node": lambda: analyze_node("fc", GRAPH.nodes["fc"]),
    "analyze_graph": lambda: analyze_graph(GRAPH),
    "summarize": lambda: summarize(GRAPH, verbose=True),
    "format_bytes": lambda: format_bytes(123456789),
    "format_number": lambda: format_number(12345678),
    "lint_graph": lambda: lint_graph(GRAPH, strict=True),
    "lint_structure_error": lambda: lint_graph(BROKEN),
    "lint_result": fresh_lint_result,
    "compare_arrays": lambda: compare_arrays(A, B),
    "compare_arrays_int": lambda: compare_arrays(A.astype(np.int8), B.astype(np.int8)),
    "compare_nodes": lambda: compare_nodes("fc", GRAPH.nodes["fc"], OTHER.nodes["fc"]),
    "compare_graphs": lambda: compare_graphs(GRAPH, OTHER),
    "summary_of_diff": lambda: compare_module._generate_summary(compare_graphs(GRAPH, OTHER)),
    "fingerprint_graph": lambda: fingerprint_graph(GRAPH, include_metadata=True),
    "fingerprint_graph_dual": lambda: fingerprint_graph_dual(GRAPH),
    "verify_fingerprint": lambda: verify_fingerprint(GRAPH, "0" * 64),
    "stamp_graph": lambda: get_stamp(stamp_graph(GRAPH, notes="x", quantization_config={"bits": 8})),
    "get_stamp": lambda: get_stamp(STAMPED),
    "infer_shapes": lambda: infer_shapes(GRAPH),
    "check_shapes_of_a_mismatch": lambda: check_shapes(OTHER_SHAPES),
    "deployment_stats": lambda: deployment_stats(GRAPH, rates=0.5),
}

FAILURE = {
    "analyze_node_bad_name": (lambda: analyze_node(None, GRAPH.nodes["fc"]), TypeError),
    "analyze_graph_not_a_graph": (lambda: analyze_graph(object()), AttributeError),
    "analyze_graph_missing_file": (lambda: analyze_graph("/nonexistent/model.o1c"), OSError),
    "format_number_text": (lambda: format_number("x"), TypeError),
    "lint_unorderable_bits": (lambda: lint_graph(mlp_with_bits(None)), TypeError),
    "lint_result_bad_code": (lambda: LintResult().add_error(1, "m"), TypeError),
    "compare_arrays_no_shape": (lambda: compare_arrays([1], [1]), AttributeError),
    "compare_nodes_bad_name": (lambda: compare_nodes(b"fc", None, None), TypeError),
    "compare_graphs_not_graphs": (lambda: compare_graphs(1, 2), AttributeError),
    "assert_graphs_equal": (lambda: assert_graphs_equal(GRAPH, OTHER), AssertionError),
    "fingerprint_bad_name": (lambda: fingerprint_graph(ir.Graph(nodes={1: ir.Input()})), TypeError),
    "verify_not_text": (lambda: verify_fingerprint(GRAPH, None), TypeError),
    "stamp_bad_notes": (lambda: stamp_graph(GRAPH, notes=5), TypeError),
    "stamp_metadata_none": (broken_stamp_graph, TypeError),
    "get_stamp_list": (lambda: get_stamp(ir.Graph(metadata={"provenance": []})), TypeError),
    "infer_shapes_not_a_graph": (lambda: infer_shapes(object()), AttributeError),
    "deployment_stats_not_a_graph": (lambda: deployment_stats(object()), AttributeError),
}


def mlp_with_bits(bits):
    graph = mlp()
    graph.nodes["fc"] = ir.SpikingAffine(weight=np.ones((2, 2), np.float32), weight_bits=bits,
                                         input_type={}, output_type={})
    return graph


def failing(call, exception):
    def run():
        try:
            call()
        except exception:
            return
        raise AssertionError("expected an exception")
    return run


CASES = dict(SUCCESS, **{name: failing(*case) for name, case in FAILURE.items()})
WATCHED = [GRAPH, GRAPH.nodes["fc"], GRAPH.nodes["fc"].weight, GRAPH.nodes, GRAPH.edges, A, B]
# The interpreter itself moves these by a few references now and then; a
# reference leaked or stolen per call would move them by thousands.
SINGLETONS = [None, True, False]


@pytest.mark.parametrize("call", CASES.values(), ids=CASES.keys())
def test_repeated_calls_leak_nothing(call):
    # Caches, interned names, first-use imports; with the oldest supported
    # dependencies some first-use allocations settle only after hundreds of calls.
    for _ in range(2_000):
        call()
    gc.collect()
    refcounts = [sys.getrefcount(obj) for obj in WATCHED]
    singleton_refcounts = [sys.getrefcount(obj) for obj in SINGLETONS]
    blocks = sys.getallocatedblocks()
    for _ in range(CALLS):
        call()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in WATCHED] == refcounts
    drift = [sys.getrefcount(obj) - before for obj, before in zip(SINGLETONS, singleton_refcounts)]
    assert all(abs(d) < 100 for d in drift), drift
    if not SANITIZED:  # the sanitizers replace Python's block allocator
        # A leak grows by at least one block per call; first-use caches of the
        # interpreter (import machinery, datetime) may still settle a little.
        assert sys.getallocatedblocks() - blocks < CALLS // 50


def run_every_service():
    return (
        analyze_graph(GRAPH),
        summarize(OTHER, verbose=True),
        lint_graph(GRAPH).to_dict(),
        dataclasses.asdict(compare_graphs(GRAPH, OTHER)),
        fingerprint_graph_dual(GRAPH, include_metadata=True),
        verify_fingerprint(STAMPED, get_stamp(STAMPED)["fingerprint_full"]),
        compare_arrays(A, B),
    )


def test_threads_share_graphs_and_agree_with_serial_calls():
    expected = run_every_service()
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(lambda _: run_every_service(), range(40)))
    for result in results:
        assert result[0] == expected[0] and isinstance(result[0], GraphStats)
        assert result[1:] == expected[1:]
    assert gc.isenabled()


def test_modules_keep_no_state_between_calls():
    before = {m.__name__: set(vars(m)) for m in (lint_module, compare_module, fingerprint_module)}
    run_every_service()
    assert before == {m.__name__: set(vars(m)) for m in (lint_module, compare_module, fingerprint_module)}
