"""Port shape inference over ONDREL IR graphs (the public API is ondrel.sdk.shapes)."""

from typing import Any

__all__: list[str] = []

def _infer(
    graph: Any,
) -> tuple[dict[str, tuple[tuple[int, ...] | None, tuple[int, ...] | None]], list[tuple[str, str, dict[str, str]]]]:
    """Infer every port shape of an IR graph object.

    Returns ({name: (input shape or None, output shape or None)}, [(code, node name, {key: text})]),
    shapes as tuples of int, the findings in node order."""
