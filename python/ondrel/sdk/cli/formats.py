"""Machine-readable output: one JSON encoder for every ``--format json``; SARIF logs, GitHub workflow
annotations and JUnit XML for lint results."""

import contextlib
import math
import os
import re
import sys
import threading

from .terminal import PROG, display

NON_FINITE = {math.inf: "inf", -math.inf: "-inf"}  # NaN is handled apart: it equals nothing

JSON_FORMAT_HELP = 'json: NaN and infinite numbers are written as the strings "nan", "inf" and "-inf"'


def _plain_float(value):
    if math.isnan(value):
        return "nan"
    return NON_FINITE.get(value, value)


# Decimal text takes time quadratic in the length; beyond this many bits an integer is written in hex.
DECIMAL_BITS_LIMIT = 140_000


# log10(2): an int of n bits has at most n * this + 1 decimal digits.
_DIGITS_PER_BIT = 0.30103
_limit_lock = threading.Lock()


def int_text_allowed(bits):
    """Whether the host writes an int of ``bits`` bits as text under its int-to-text digit limit."""
    limit = getattr(sys, "get_int_max_str_digits", lambda: 0)()
    return not limit or bits * _DIGITS_PER_BIT + 1 < limit


@contextlib.contextmanager
def unlimited_int_text():
    """The host's int-to-text digit limit lifted while the block runs (one such block at a time)."""
    if not hasattr(sys, "set_int_max_str_digits"):  # a host without the limit
        yield
        return
    with _limit_lock:
        previous = sys.get_int_max_str_digits()
        sys.set_int_max_str_digits(0)
        try:
            yield
        finally:
            sys.set_int_max_str_digits(previous)


def longest_int_bits(value, depth=0):
    """The bit length of the longest int in ``value`` and the dicts, lists and tuples inside it (0 if none)."""
    if isinstance(value, int) and not isinstance(value, bool):
        return value.bit_length()
    if depth > 64 or not isinstance(value, (dict, list, tuple)):  # the IR layer nests no deeper
        return 0
    items = [*value, *value.values()] if isinstance(value, dict) else value
    return max((longest_int_bits(item, depth + 1) for item in items), default=0)


def _plain_int(value):
    """An int as a JSON number, or as a string of its digits when the host refuses to print it."""
    if int_text_allowed(value.bit_length()):
        return value
    try:
        repr(value)
        return value
    except ValueError:  # beyond the interpreter's int-to-text limit
        if value.bit_length() > DECIMAL_BITS_LIMIT:
            return hex(value)
        with unlimited_int_text():
            return str(value)


def _plain_scalar(value):
    """A numpy scalar of any kind as a JSON value (ml_dtypes' bfloat16, float8 and int4 as numbers)."""
    from ondrel.ir._dtypes import is_integer, low_precision_name

    if low_precision_name(value.dtype):
        return _plain_int(int(value)) if is_integer(value.dtype) else _plain_float(float(value))
    kind = value.dtype.kind
    if kind == "b":
        return bool(value)
    if kind in "iu":
        return _plain_int(int(value))
    if kind == "f":
        return _plain_float(float(value))
    if kind == "c":
        return {"real": _plain_float(float(value.real)), "imag": _plain_float(float(value.imag))}
    if kind in "mM":  # datetimes and durations read best as numpy prints them
        return str(value)
    if kind in "SV":
        return bytes(value).hex()
    return str(value)


def plain(value):
    """``value`` as JSON types: records, enums, tuples, numpy scalars and arrays, and numbers of
    any size or kind turned into what every JSON parser reads.

    Non-finite floats become the strings "nan", "inf" and "-inf"; complex numbers
    {"real": ..., "imag": ...}; datetimes their ISO text; integers too long for
    the host to print as text, their decimal digits as a string.
    """
    import dataclasses
    import datetime
    import enum

    import numpy as np

    def convert(item):
        if item is None or isinstance(item, (str, bool)):
            return item
        if isinstance(item, int):
            return _plain_int(int(item))
        if isinstance(item, float):
            return _plain_float(float(item))
        if isinstance(item, np.generic):
            return _plain_scalar(item)
        if isinstance(item, enum.Enum):
            return convert(item.value)
        if isinstance(item, dict):
            return {key if isinstance(key, str) else str(convert(key)): convert(v) for key, v in item.items()}
        if isinstance(item, (list, tuple, set, frozenset)):
            return [convert(v) for v in item]
        if dataclasses.is_dataclass(item) and not isinstance(item, type):
            return {field.name: convert(getattr(item, field.name)) for field in dataclasses.fields(item)}
        if isinstance(item, np.ndarray):
            if item.dtype.kind in "biuf" and item.dtype.isbuiltin != 2:  # not a type of another package
                return convert(item.tolist())
            return [convert(v) for v in item] if item.ndim else convert(item[()])
        if isinstance(item, complex):
            return {"real": _plain_float(item.real), "imag": _plain_float(item.imag)}
        if isinstance(item, (datetime.date, datetime.time, datetime.timedelta)):
            return str(item) if isinstance(item, datetime.timedelta) else item.isoformat()
        if isinstance(item, (bytes, bytearray, memoryview)):
            return bytes(item).hex()
        return str(item)

    return convert(value)


def dumps_json(value):
    import json

    return json.dumps(plain(value), indent=2, ensure_ascii=False, allow_nan=False)


# ---------------------------------------------------------------- tables


def table_text(columns, rows, output_format, heading=None, footer=None, numeric=()):
    """A table as "text" (aligned columns, a rule, the footer under a double rule), "markdown" (a heading line
    when given) or "csv" (plain values; ``heading`` a tuple of leading cells for every row, e.g. the model's path,
    with "model" before the column names). Text and markdown take cells as text, already shown as wanted."""
    if output_format == "csv":
        import csv
        import io

        text = io.StringIO()
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow((("model",) if heading else ()) + tuple(columns))
        for row in rows:
            writer.writerow((tuple(heading) if heading else ()) + tuple(row))
        return text.getvalue().rstrip("\n")
    numeric = tuple(numeric) + (False,) * (len(columns) - len(numeric))
    body = [list(row) for row in rows] + ([list(footer)] if footer else [])
    if output_format == "markdown":
        def line(values):
            return "| " + " | ".join(value.replace("|", "\\|") for value in values) + " |"

        rule = "|" + "|".join("---:" if right else "---" for right in numeric) + "|"
        return "\n".join(([f"### {heading}", ""] if heading else []) + [line(columns), rule] +
                         [line(row) for row in body])
    widths = [max(len(row[i]) for row in [list(columns)] + body) for i in range(len(columns))]

    def aligned(values):
        return "  ".join(value.rjust(width) if right else value.ljust(width)
                         for value, width, right in zip(values, widths, numeric)).rstrip()

    rule_width = sum(widths) + 2 * (len(widths) - 1)
    lines = [aligned(columns), "-" * rule_width] + [aligned(row) for row in rows]
    return "\n".join(lines + (["=" * rule_width, aligned(footer)] if footer else []))


# ---------------------------------------------------------------- lint findings


def _count(n, word):
    return f"{n} {word}{'' if n == 1 else 's'}"


def lint_counts(result):
    """'1 error, 2 warnings, 0 infos' for a lint result (``to_dict()``) or totals with the same keys."""
    return ", ".join(_count(result[key], word) for key, word in (("errors", "error"), ("warnings", "warning"),
                                                                 ("infos", "info")))


def finding_text(issue):
    """The message of a finding (an issue of ``to_dict()``) followed by its suggestion."""
    return issue["message"] + (f". Suggestion: {issue['suggestion']}" if issue["suggestion"] else "")


# ---------------------------------------------------------------- SARIF

SARIF_SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
SARIF_LEVELS = {"error": "error", "warning": "warning", "info": "note"}
SARIF_SOURCE_ROOT = "%SRCROOT%"
FINGERPRINT_KEY = "ondrelFinding/v1"


def _sarif_uri(path):
    from pathlib import PurePath
    from urllib.parse import quote

    try:
        relative = os.path.relpath(path) if os.path.isabs(path) else os.path.normpath(path)
    except ValueError:  # another drive: no relative form exists
        return PurePath(os.path.abspath(path)).as_uri()
    return quote(os.fsencode(PurePath(relative).as_posix()))


def _sarif_rule(code):
    from ..lint_selection import rule

    entry = rule(code)
    return {
        "id": code,
        "shortDescription": {"text": entry.description},
        "help": {"text": entry.help or entry.description},
        "defaultConfiguration": {"level": SARIF_LEVELS[entry.severity]},
    }


def _finding_fingerprint(code, node, uri):
    """Stable across runs: what the finding is and where, not its position in the log."""
    import hashlib
    import json

    return hashlib.sha256(json.dumps([code, node, uri]).encode()).hexdigest()


def lint_sarif(outcomes, failures):
    """A SARIF 2.1.0 log of the lint results of ``outcomes`` (pairs of path and ``to_dict()``)."""
    from pathlib import Path

    import ondrel

    rules, rule_index, results = [], {}, []
    for path, result in outcomes:
        uri = _sarif_uri(path)
        location = {"physicalLocation": {"artifactLocation": {"uri": uri, "uriBaseId": SARIF_SOURCE_ROOT}}}
        for issue in result["issues"]:
            code = issue["code"]
            if code not in rule_index:
                rule_index[code] = len(rules)
                rules.append(_sarif_rule(code))
            entry = {"ruleId": code, "ruleIndex": rule_index[code], "level": SARIF_LEVELS[issue["severity"]],
                     "message": {"text": finding_text(issue)}, "locations": [dict(location)],
                     "partialFingerprints": {FINGERPRINT_KEY: _finding_fingerprint(code, issue["node"], uri)}}
            if issue["node"] is not None:
                entry["locations"][0]["logicalLocations"] = [{"name": issue["node"], "kind": "object"}]
            results.append(entry)
    invocation = {"executionSuccessful": not failures}
    if failures:
        invocation["toolExecutionNotifications"] = [
            {"level": "error", "message": {"text": str(error)}} for error in failures]
    return {
        "$schema": SARIF_SCHEMA,
        "version": "2.1.0",
        "runs": [{
            "tool": {"driver": {"name": PROG, "version": ondrel.__version__, "rules": rules}},
            "originalUriBaseIds": {SARIF_SOURCE_ROOT: {"uri": Path.cwd().as_uri().rstrip("/") + "/"}},
            "invocations": [invocation],
            "results": results,
        }],
    }


# ---------------------------------------------------------------- GitHub workflow annotations

GITHUB_LEVELS = {"error": "error", "warning": "warning", "info": "notice"}


def _github_data(text):
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _github_property(text):
    return _github_data(text).replace(":", "%3A").replace(",", "%2C")


def github_annotation(level, path, title, message):
    """One workflow command line; names are shown through ``display`` and escaped as the syntax requires."""
    return (f"::{level} file={_github_property(display(path))},title={_github_property(display(title))}"
            f"::{_github_data(display(message))}")


def lint_github(path, result):
    """The annotation lines of one file's lint result (``to_dict()``)."""
    lines = []
    for issue in result["issues"]:
        where = f" [{issue['node']}]" if issue["node"] is not None else ""
        lines.append(github_annotation(GITHUB_LEVELS[issue["severity"]], path, issue["code"],
                                       f"{path}{where}: {finding_text(issue)}"))
    return lines


# ---------------------------------------------------------------- JUnit XML

_XML_ILLEGAL = re.compile("[\ufffe\uffff]")  # what display() leaves that XML 1.0 cannot hold


def _xml_text(text):
    return _XML_ILLEGAL.sub(lambda m: f"\\u{ord(m.group()):04x}", display(text))


def lint_junit(entries):
    """JUnit XML with one test case per model: a failure for a model with errors, carrying its findings,
    an error for one that could not be linted. ``entries``: ``{"path", **to_dict()}`` or ``{"path", "error"}``."""
    import xml.etree.ElementTree as ET

    suite_name = f"{PROG} lint"
    failed = sum(1 for entry in entries if entry.get("errors"))
    broken = sum(1 for entry in entries if "error" in entry)
    counts = {"tests": str(len(entries)), "failures": str(failed), "errors": str(broken)}
    root = ET.Element("testsuites", name=suite_name, **counts)
    suite = ET.SubElement(root, "testsuite", name=suite_name, skipped="0", **counts)
    for entry in entries:
        path = _xml_text(entry["path"])
        case = ET.SubElement(suite, "testcase", classname=suite_name, name=path, file=path)
        if "error" in entry:
            ET.SubElement(case, "error", message=_xml_text(entry["error"]), type="unusable model").text = \
                _xml_text(f"{entry['path']}: {entry['error']}")
            continue
        if not entry["issues"]:
            continue
        findings = "\n".join(_xml_text(f"{issue['severity']}: {issue['code']}"
                                        + (f" [{issue['node']}]" if issue["node"] is not None else "")
                                        + f": {finding_text(issue)}") for issue in entry["issues"])
        if entry["errors"]:
            ET.SubElement(case, "failure", message=lint_counts(entry), type="lint").text = findings
        else:  # warnings and infos alone pass, as they do for the exit status
            ET.SubElement(case, "system-out").text = findings
    ET.indent(root)
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode")
