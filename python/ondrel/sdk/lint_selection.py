"""Which lint findings count: the catalogue of lint codes, selecting among them,
and the ``[tool.ondrel-sdk.lint]`` table of a ``pyproject.toml``.

The linter always runs every check; a selection filters the findings of a
``LintResult`` afterwards::

    from ondrel.sdk import lint_graph
    from ondrel.sdk.lint_selection import LintSelection

    selection = LintSelection(select=["LIF_", "MULTI_OUTPUT"], ignore=["LIF_HIGH_THRESHOLD"],
                              per_node_ignores={"head.*": ["MULTI_OUTPUT"]})
    result = selection.apply(lint_graph(graph))   # a new LintResult with the selected findings

A selector is a code or a prefix of codes (``LIF_`` stands for every code it
starts); one that starts no known code is refused with a ``ValueError``. Where
``select`` and ``ignore`` both match a code, the longer selector wins, and
``ignore`` wins a tie. ``per_node_ignores`` maps glob patterns on node names
(``fnmatch`` syntax, case-sensitive) to selectors that are dropped for the
matching nodes; findings about the whole graph have no node and match no pattern.

Only the standard library is imported here (the TOML reader when a
configuration is parsed), so the command line can check its options without
loading the services.
"""

import dataclasses
import fnmatch
import os
import sys
from typing import Optional

from .lint_rules import CATALOGUE

__all__ = ["RULES", "LintConfig", "LintConfigError", "LintRule", "LintSelection", "find_config", "load_config",
           "parse_config", "rule"]


@dataclasses.dataclass(frozen=True)
class LintRule:
    """One lint code: its severity before strict promotion, what it means, and how to fix it.

    ``message`` and ``suggestion`` are the texts the linter emits, ``{name}`` standing
    for a value of the finding; ``doc`` says what the code checks, why it matters and
    how to fix it (see ``ondrel.sdk.lint_rules``)."""

    code: str
    severity: str  # "error", "warning" or "info", as LintResult.to_dict writes it
    description: str
    help: str
    message: str = ""
    suggestion: str = ""
    doc: str = ""


RULES = {
    entry["code"]: LintRule(entry["code"], entry["severity"], entry["summary"], entry.get("help", entry["suggestion"]),
                            entry["message"], entry["suggestion"], entry["doc"])
    for entry in CATALOGUE
}


def rule(code):
    """The catalogue entry of ``code``; a code the catalogue does not know gets a plain warning entry."""
    found = RULES.get(code)
    if found is None:
        return LintRule(code, "warning", code.replace("_", " ").capitalize(), "")
    return found


def check_selectors(selectors):
    """``selectors`` as a tuple of strings, each starting at least one known code; ValueError otherwise."""
    if isinstance(selectors, str):
        raise ValueError(f"expected a list of codes, got the string {selectors!r}")
    checked = tuple(selectors)
    for selector in checked:
        if not isinstance(selector, str):
            raise ValueError(f"a lint code must be a string, got {type(selector).__name__}")
        if not selector or not any(code.startswith(selector) for code in RULES):
            raise ValueError(f"unknown lint code {selector!r}")
    return checked


def _specificity(code, selectors):
    """Length of the longest selector that ``code`` starts with, or -1 when none does."""
    return max((len(s) for s in selectors if code.startswith(s)), default=-1)


class LintSelection:
    """Which findings of a ``LintResult`` are kept.

    ``select``: selectors of the codes to keep (None: every code, or those of
    ``base``); ``ignore``: selectors of codes to drop; ``per_node_ignores``:
    {glob pattern on node names: selectors dropped for those nodes}. ``base``
    is a selection this one refines, as command-line options refine a
    configuration file: its choice stands for every code that ``select`` and
    ``ignore`` here do not mention, and its per-node ignores still apply.
    """

    def __init__(self, select=None, ignore=(), per_node_ignores=None, base=None):
        layer = (None if select is None else check_selectors(select), check_selectors(ignore))
        patterns = []
        for pattern, selectors in (per_node_ignores or {}).items():
            if not isinstance(pattern, str):
                raise ValueError(f"a node pattern must be a string, got {type(pattern).__name__}")
            try:
                patterns.append((pattern, check_selectors(selectors)))
            except ValueError as e:
                raise ValueError(f"{e} (per-node ignores of {pattern!r})") from None
        self._layers = (base._layers if base else ()) + (layer,)
        self._per_node = (base._per_node if base else ()) + tuple(patterns)

    def allows(self, code, node=None):
        """Whether a finding with ``code`` about ``node`` (None for the whole graph) is kept."""
        kept = True
        for select, ignore in self._layers:
            selected = -1 if select is None else _specificity(code, select)
            ignored = _specificity(code, ignore)
            if ignored >= 0 and ignored >= selected:
                kept = False
            elif selected >= 0:
                kept = True
            elif select is not None:
                kept = False
        if kept and node is not None:
            return not any(_specificity(code, selectors) >= 0 and fnmatch.fnmatchcase(node, pattern)
                           for pattern, selectors in self._per_node)
        return kept

    def apply(self, result):
        """A new ``LintResult`` holding the kept issues of ``result``, in order, with their severities."""
        kept = type(result)()
        add = {"error": kept.add_error, "warning": kept.add_warning, "info": kept.add_info}
        for issue in result.issues:
            if self.allows(issue.code, issue.node):
                add[issue.severity.value](issue.code, issue.message, node=issue.node, suggestion=issue.suggestion)
        return kept

    def __repr__(self):
        return f"LintSelection(layers={self._layers!r}, per_node_ignores={self._per_node!r})"


# ---------------------------------------------------------------- configuration files

TABLE = ("tool", "ondrel-sdk", "lint")
TABLE_NAME = "[tool.ondrel-sdk.lint]"
CONFIG_FILE = "pyproject.toml"


class LintConfigError(ValueError):
    """A configuration file that cannot be used: ``path`` and what is wrong with it."""

    def __init__(self, path, reason):
        super().__init__(path, reason)
        self.path = path
        self.reason = reason

    def __str__(self):
        return f"{self.path}: {self.reason}"


@dataclasses.dataclass(frozen=True)
class LintConfig:
    """The lint settings of one configuration file (``path``); a setting it does not make is None or empty."""

    path: str
    select: Optional[tuple] = None
    ignore: tuple = ()
    strict: Optional[bool] = None
    per_node_ignores: dict = dataclasses.field(default_factory=dict)

    def selection(self):
        return LintSelection(self.select, self.ignore, self.per_node_ignores)


def find_config(start="."):
    """The nearest ``pyproject.toml`` in ``start`` or a folder above it, or None."""
    folder = os.path.abspath(start)
    while True:
        candidate = os.path.join(folder, CONFIG_FILE)
        if os.path.isfile(candidate):
            return candidate
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def _toml_reader():
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # the backport
        import tomli as tomllib
    return tomllib


def parse_config(text, path, required=True):
    """The ``[tool.ondrel-sdk.lint]`` settings in the TOML ``text`` of the file ``path``.

    Without the table: an error when ``required``, else an empty ``LintConfig``.
    Raises ``LintConfigError`` for invalid TOML, unknown keys, values of the
    wrong type and unknown lint codes.
    """
    try:
        toml = _toml_reader()
    except ModuleNotFoundError:
        raise LintConfigError(path, "reading TOML on Python 3.10 needs the 'tomli' package") from None
    try:
        document = toml.loads(text)
    except toml.TOMLDecodeError as e:
        raise LintConfigError(path, f"not valid TOML ({e})") from None
    except RecursionError:
        raise LintConfigError(path, "not valid TOML (nested too deeply)") from None
    table = document
    for key in TABLE:
        table = table.get(key) if isinstance(table, dict) else None
    if table is None:
        if required:
            raise LintConfigError(path, f"has no {TABLE_NAME} table")
        return LintConfig(path)
    if not isinstance(table, dict):
        raise LintConfigError(path, f"{TABLE_NAME} must be a table")
    settings = {}
    for key, value in table.items():
        where = f"{TABLE_NAME} {key}"
        if key in ("select", "ignore"):
            settings[key] = _config_selectors(path, where, value)
        elif key == "strict":
            if not isinstance(value, bool):
                raise LintConfigError(path, f"{where} must be true or false")
            settings["strict"] = value
        elif key == "per-node-ignores":
            if not isinstance(value, dict):
                raise LintConfigError(path, f'{where} must be a table of node patterns, e.g. {{"head.*" = '
                                            '["MULTI_OUTPUT"]}')
            settings["per_node_ignores"] = {pattern: _config_selectors(path, f"{where} {pattern!r}", selectors)
                                            for pattern, selectors in value.items()}
        else:
            raise LintConfigError(path, f"unknown key {key!r} in {TABLE_NAME} "
                                        "(known: select, ignore, strict, per-node-ignores)")
    return LintConfig(path, **settings)


def _config_selectors(path, where, value):
    if not isinstance(value, list):
        raise LintConfigError(path, f"{where} must be a list of lint codes")
    try:
        return check_selectors(value)
    except ValueError as e:
        raise LintConfigError(path, f"{e} in {where}") from None


def load_config(path, required=True):
    """``parse_config`` of the file at ``path`` (read as UTF-8)."""
    try:
        with open(path, encoding="utf-8") as handle:
            text = handle.read()
    except OSError as e:
        raise LintConfigError(path, e.strerror or str(e)) from None
    except UnicodeDecodeError:
        raise LintConfigError(path, "not UTF-8 text") from None
    return parse_config(text, path, required)
