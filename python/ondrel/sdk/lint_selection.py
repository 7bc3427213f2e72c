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
starts), or ``ALL`` for every code; one that starts no known code is refused
with a ``ValueError`` that names the closest known code. Where
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
import functools
import os
import re
import sys
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Optional, Union

if TYPE_CHECKING:
    from .lint import LintResult

# Where a configuration file is read from.
PathText = Union[str, "os.PathLike[str]"]

from .lint_rules import SHAPE_CATALOGUE, catalogue, target_catalogue

# The selector that stands for every code (the least specific: any code or prefix beside it wins).
ALL = "ALL"

__all__ = ["ALL", "RULES", "LintConfig", "LintConfigError", "LintRule", "LintSelection", "find_config", "load_config",
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


RULES: dict[str, LintRule] = {
    entry["code"]: LintRule(entry["code"], entry["severity"], entry["summary"], entry.get("help", entry["suggestion"]),
                            entry["message"], entry["suggestion"], entry["doc"])
    for entry in catalogue()
}
# The codes of the shape checks (ondrel.sdk.shapes), which the command line adds to the linter's.
SHAPE_CODES = tuple(entry["code"] for entry in SHAPE_CATALOGUE)
# The codes of the target and quantization checks (ondrel.sdk.targets), which lint --target and check add.
TARGET_CODES = tuple(entry["code"] for entry in target_catalogue())


def rule(code: str) -> LintRule:
    """The catalogue entry of ``code``; a code the catalogue does not know gets a plain warning entry."""
    found = RULES.get(code)
    if found is None:
        return LintRule(code, "warning", code.replace("_", " ").capitalize(), "")
    return found


def check_selectors(selectors: Iterable[str]) -> tuple[str, ...]:
    """``selectors`` as a tuple of strings, each starting at least one known code; ValueError otherwise."""
    if isinstance(selectors, str):
        raise ValueError(f"expected a list of codes, got the string {selectors!r}")
    checked = tuple(selectors)
    for selector in checked:
        if not isinstance(selector, str):
            raise ValueError(f"a lint code must be a string, got {type(selector).__name__}")
        if selector != ALL and (not selector or not any(code.startswith(selector) for code in RULES)):
            raise ValueError(f"unknown lint code {selector!r}{_did_you_mean(selector, RULES)}")
    return checked


def closest(word: str, known: Iterable[str]) -> Optional[str]:
    """The word of ``known`` closest to ``word`` (for a "did you mean"), or None when none is close."""
    import difflib

    close = difflib.get_close_matches(word, list(known), n=1)
    return close[0] if close else None


def _did_you_mean(word: str, known: Iterable[str]) -> str:
    close = closest(word, known)
    return f" (did you mean {close!r}?)" if close else ""


def _specificity(code, selectors):
    """Length of the longest selector that ``code`` starts with (0 for ALL), or -1 when none does."""
    return max((0 if s == ALL else len(s) for s in selectors if s == ALL or code.startswith(s)), default=-1)


_GLOB = re.compile(r"[*?[]")
# What a glob pattern matches other than literal text: *, ?, and a class as fnmatch reads one
# ("[", an optional "!", an optional "]", then up to the next "]"; an unclosed "[" is a literal).
_WILDCARD = re.compile(r"\*|\?|\[!?\]?[^\]]*\]")
_KNOWN_NAMES = 100_000  # answers kept per compiled set of patterns


class NodePatterns:
    """Glob patterns on node names (``fnmatch`` syntax, case-sensitive) compiled into one test of a name.

    Plain names, ``prefix*`` and ``*suffix`` are set lookups of the name and
    of its prefixes and suffixes of the lengths those patterns have. Every
    other pattern is filed under the longest run of literal text it holds
    (a name it matches must contain that text) and tried only on names that
    contain it; patterns of wildcards alone share one regular expression. A
    test costs about the length of the name times the few lengths involved,
    not the number of patterns.
    """

    def __init__(self, patterns):
        self.names, self.prefixes, self.suffixes = set(), set(), set()
        self.by_text, wildcards = {}, []
        for pattern in patterns:
            if not _GLOB.search(pattern):
                self.names.add(pattern)
            elif pattern.endswith("*") and not _GLOB.search(pattern[:-1]):
                self.prefixes.add(pattern[:-1])
            elif pattern.startswith("*") and not _GLOB.search(pattern[1:]):
                self.suffixes.add(pattern[1:])
            else:
                text = max(_WILDCARD.split(pattern), key=len)
                if text:
                    self.by_text.setdefault(text, []).append(re.compile(fnmatch.translate(pattern)).match)
                else:
                    wildcards.append(fnmatch.translate(pattern))
        self.prefix_lengths = sorted({len(prefix) for prefix in self.prefixes})
        self.suffix_lengths = sorted({len(suffix) for suffix in self.suffixes})
        self.text_lengths = sorted({len(text) for text in self.by_text})
        self.wildcards = re.compile("|".join(wildcards)).match if wildcards else None
        self.known = {}  # name -> answer: a node has several findings, and a model's names recur in the next

    def __call__(self, name):
        known = self.known.get(name)
        if known is None:
            if len(self.known) >= _KNOWN_NAMES:
                self.known.clear()
            known = self.known[name] = self.test(name)
        return known

    def test(self, name):
        if name in self.names:
            return True
        size = len(name)
        for length in self.prefix_lengths:
            if length > size:
                break
            if name[:length] in self.prefixes:
                return True
        for length in self.suffix_lengths:
            if length > size:
                break
            if name[size - length:] in self.suffixes:
                return True
        by_text = self.by_text
        for length in self.text_lengths:
            if length > size:
                break
            for start in range(size - length + 1):
                candidates = by_text.get(name[start:start + length])
                if candidates and any(match(name) for match in candidates):
                    return True
        return self.wildcards is not None and self.wildcards(name) is not None


@functools.lru_cache(maxsize=64)
def _node_patterns(patterns):
    """One compiled test per set of patterns and process (worker processes build it once, not once per file)."""
    return NodePatterns(patterns) if patterns else None


class LintSelection:
    """Which findings of a ``LintResult`` are kept.

    ``select``: selectors of the codes to keep (None: every code, or those of
    ``base``); ``ignore``: selectors of codes to drop; ``per_node_ignores``:
    {glob pattern on node names: selectors dropped for those nodes}. ``base``
    is a selection this one refines, as command-line options refine a
    configuration file: its choice stands for every code that ``select`` and
    ``ignore`` here do not mention, and its per-node ignores still apply.

    What a selection decides is worked out once per code: whether the code is
    kept, and one compiled test of node names from every per-node pattern that
    drops it (``NodePatterns``), so thousands of patterns cost about as much
    per finding as one.
    """

    def __init__(self, select: Optional[Iterable[str]] = None, ignore: Iterable[str] = (),
                 per_node_ignores: Optional[Mapping[str, Iterable[str]]] = None,
                 base: "Optional[LintSelection]" = None) -> None:
        layer = (None if select is None else check_selectors(select), check_selectors(ignore))
        patterns = []
        for pattern, selectors in (per_node_ignores or {}).items():
            if not isinstance(pattern, str):
                raise ValueError(f"a node pattern must be a string, got {type(pattern).__name__}")
            try:
                patterns.append((pattern, check_selectors(selectors)))
            except ValueError as e:
                raise ValueError(f"{e} (per-node ignores of {pattern!r})") from None
        self._layers: tuple[tuple[Optional[tuple[str, ...]], tuple[str, ...]], ...] = \
            (base._layers if base else ()) + (layer,)
        self._per_node: tuple[tuple[str, tuple[str, ...]], ...] = (base._per_node if base else ()) + tuple(patterns)
        self._decided: dict[str, tuple[bool, Optional[NodePatterns]]] = {}  # code -> (kept, what drops it by node)

    def __getstate__(self):  # what is decided is decided again where the selection is unpickled
        return {"_layers": self._layers, "_per_node": self._per_node}

    def __setstate__(self, state):
        self.__dict__.update(state, _decided={})

    def _decide(self, code):
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
        dropping = tuple(pattern for pattern, selectors in self._per_node if _specificity(code, selectors) >= 0)
        decided = self._decided[code] = (kept, _node_patterns(dropping))
        return decided

    def allows(self, code: str, node: Optional[str] = None) -> bool:
        """Whether a finding with ``code`` about ``node`` (None for the whole graph) is kept."""
        kept, dropping = self._decided.get(code) or self._decide(code)
        return kept and (node is None or dropping is None or not dropping(node))

    def apply(self, result: "LintResult") -> "LintResult":
        """A new ``LintResult`` holding the kept issues of ``result``, in order, with their severities."""
        kept = type(result)()
        add = {"error": kept.add_error, "warning": kept.add_warning, "info": kept.add_info}
        for issue in result.issues:
            if self.allows(issue.code, issue.node):
                add[issue.severity.value](issue.code, issue.message, node=issue.node, suggestion=issue.suggestion)
        return kept

    def __repr__(self) -> str:
        return f"LintSelection(layers={self._layers!r}, per_node_ignores={self._per_node!r})"


# ---------------------------------------------------------------- configuration files

TABLE = ("tool", "ondrel-sdk", "lint")
TABLE_NAME = "[tool.ondrel-sdk.lint]"
SDK_TABLE_NAME = "[tool.ondrel-sdk]"
CONFIG_FILE = "pyproject.toml"
# The keys each table of the configuration knows; any other key is a mistake worth an error.
KNOWN_KEYS = {SDK_TABLE_NAME: ("lint", "target"), TABLE_NAME: ("select", "ignore", "strict", "per-node-ignores")}


class LintConfigError(ValueError):
    """A configuration file that cannot be used: ``path`` and what is wrong with it."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(path, reason)
        self.path = path
        self.reason = reason

    def __str__(self) -> str:
        return f"{self.path}: {self.reason}"


@dataclasses.dataclass(frozen=True)
class LintConfig:
    """The lint settings of one configuration file (``path``); a setting it does not make is None or empty."""

    path: str
    select: Optional[tuple[str, ...]] = None
    ignore: tuple[str, ...] = ()
    strict: Optional[bool] = None
    per_node_ignores: dict[str, tuple[str, ...]] = dataclasses.field(default_factory=dict)

    def selection(self) -> LintSelection:
        return LintSelection(self.select, self.ignore, self.per_node_ignores)


def find_config(start: PathText = ".") -> Optional[str]:
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


def parse_config(text: str, path: str, required: bool = True) -> LintConfig:
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
    tool = document.get("tool")
    sdk = tool.get(TABLE[1]) if isinstance(tool, dict) else None
    if sdk is not None:
        if not isinstance(sdk, dict):
            raise LintConfigError(path, f"{SDK_TABLE_NAME} must be a table, e.g. {TABLE_NAME} with its settings")
        for key in sdk:
            if key not in KNOWN_KEYS[SDK_TABLE_NAME]:
                raise _unknown_key(path, SDK_TABLE_NAME, key)
    table = sdk.get(TABLE[2]) if sdk is not None else None
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
            raise _unknown_key(path, TABLE_NAME, key)
    return LintConfig(path, **settings)


def _unknown_key(path, table_name, key):
    known = KNOWN_KEYS[table_name]
    close = closest(key, known)
    hint = f"did you mean {close!r}? " if close else ""
    return LintConfigError(path, f"unknown key {key!r} in {table_name} ({hint}known: {', '.join(known)})")


def _config_selectors(path, where, value):
    if not isinstance(value, list):
        raise LintConfigError(path, f"{where} must be a list of lint codes")
    try:
        return check_selectors(value)
    except ValueError as e:
        raise LintConfigError(path, f"{e} in {where}") from None


def load_config(path: str, required: bool = True) -> LintConfig:
    """``parse_config`` of the file at ``path`` (read as UTF-8)."""
    try:
        with open(path, encoding="utf-8") as handle:
            text = handle.read()
    except OSError as e:
        raise LintConfigError(path, e.strerror or str(e)) from None
    except UnicodeDecodeError:
        raise LintConfigError(path, "not UTF-8 text") from None
    return parse_config(text, path, required)
