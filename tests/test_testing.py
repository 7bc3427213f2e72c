"""The assertion helpers for test suites: they pass on what matches and say precisely what does not."""

import pytest

from ondrel.sdk import examples
from ondrel.sdk.testing import assert_graphs_close, assert_lint_clean


def test_assert_graphs_close_names_structure_and_statistics():
    a, b = examples.classifier(), examples.classifier()
    assert_graphs_close(a, b)
    b.nodes["fc1"].weight[0, 3] += 0.5
    del b.nodes["lif2"]
    b.edges = [edge for edge in b.edges if "lif2" not in edge]
    with pytest.raises(AssertionError) as failure:
        assert_graphs_close(a, b)
    message = str(failure.value)
    for line in ("  - node 'lif2'", "  - edge 'fc2' -> 'lif2'", "Node 'fc1':", "Mismatched elements: 1 / 16,384",
                 "Greatest absolute difference: 0.5 at index (0, 3) (up to 1e-06 allowed)"):
        assert line in message
    assert_graphs_close(a, b, atol=1.0, check_structure=False)  # within tolerance, structure not judged


@pytest.mark.parametrize("options, fails", [({}, True), ({"ignore": ["LIF_", "SKIP_"]}, False),
                                            ({"select": ["MULTI_OUTPUT"]}, False), ({"select": ["SKIP_"]}, True)])
def test_assert_lint_clean_follows_the_selection(options, fails):
    detector = examples.detector()
    if not fails:
        assert_lint_clean(detector, **options)
        return
    with pytest.raises(AssertionError, match=r"lint finding"):
        assert_lint_clean(detector, **options)
