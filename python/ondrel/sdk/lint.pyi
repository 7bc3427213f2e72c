"""Graph linting and validation for ONDREL IR."""

from dataclasses import dataclass
from enum import Enum
from typing import Any

from ondrel import ir

__all__ = ["LintIssue", "LintResult", "Severity", "lint_graph"]

class Severity(Enum):
    """Issue severity levels."""

    ERROR = "error"
    WARNING = "warning"
    INFO = "info"

@dataclass
class LintIssue:
    """A single linting issue."""

    severity: Severity
    code: str
    message: str
    node: str | None = None
    suggestion: str | None = None

class LintResult:
    """Result of linting a graph."""

    def _repr_html_(self) -> str: ...  # a compact table, as notebooks display it
    issues: list[LintIssue]
    _cache_valid: bool
    _errors: list[LintIssue]
    _warnings: list[LintIssue]
    _infos: list[LintIssue]
    def __init__(self) -> None: ...
    def add_error(self, code: str, message: str, node: str | None = None, suggestion: str | None = None) -> None:
        """Add an error."""
    def add_warning(self, code: str, message: str, node: str | None = None, suggestion: str | None = None) -> None:
        """Add a warning."""
    def add_info(self, code: str, message: str, node: str | None = None, suggestion: str | None = None) -> None:
        """Add an info message."""
    @property
    def errors(self) -> list[LintIssue]:
        """Get all errors. Cached -- O(1) after first access."""
    @property
    def warnings(self) -> list[LintIssue]:
        """Get all warnings. Cached -- O(1) after first access."""
    @property
    def infos(self) -> list[LintIssue]:
        """Get all info messages. Cached -- O(1) after first access."""
    @property
    def is_valid(self) -> bool:
        """Check if graph has no errors (warnings are OK)."""
    def to_dict(self) -> dict[str, Any]:
        """Convert to JSON-serializable dict."""
    def _invalidate_cache(self) -> None: ...
    def _rebuild_cache(self) -> None: ...

def lint_graph(graph: ir.Graph, strict: bool = False) -> LintResult:
    """Lint a ONDREL IR graph for common issues."""

def _check_reachability(graph: ir.Graph, result: LintResult) -> None: ...
def _check_multiple_outputs(graph: ir.Graph, result: LintResult) -> None: ...
def _check_node_parameters(graph: ir.Graph, result: LintResult) -> None: ...
def _check_skip_nodes(graph: ir.Graph, result: LintResult) -> None: ...
def _check_naming(graph: ir.Graph, result: LintResult) -> None: ...
def _check_model_size(graph: ir.Graph, result: LintResult) -> None: ...
def _check_shapes(graph: ir.Graph, result: LintResult) -> None: ...
