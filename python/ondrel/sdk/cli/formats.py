"""Machine-readable output: one JSON encoder for every ``--format json``, and SARIF logs."""

import math
import os
import sys

from .terminal import PROG

NON_FINITE = {math.inf: "inf", -math.inf: "-inf"}  # NaN is handled apart: it equals nothing

JSON_FORMAT_HELP = 'json: NaN and infinite numbers are written as the strings "nan", "inf" and "-inf"'


def _plain_float(value):
    if math.isnan(value):
        return "nan"
    return NON_FINITE.get(value, value)


# Decimal text takes time quadratic in the length; beyond this many bits an integer is written in hex.
DECIMAL_BITS_LIMIT = 140_000


def _plain_int(value):
    """An int as a JSON number, or as a string of its digits when the host refuses to print it."""
    try:
        repr(value)
        return value
    except ValueError:  # beyond the interpreter's int-to-text limit
        if value.bit_length() > DECIMAL_BITS_LIMIT:
            return hex(value)
        previous = sys.get_int_max_str_digits()
        sys.set_int_max_str_digits(0)
        try:
            return str(value)
        finally:
            sys.set_int_max_str_digits(previous)


def _plain_scalar(value):
    """A numpy scalar of any kind as a JSON value."""
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
            if item.dtype.kind in "biuf":
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


# ---------------------------------------------------------------- SARIF

SARIF_SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
SARIF_LEVELS = {"error": "error", "warning": "warning", "info": "note"}
SARIF_SOURCE_ROOT = "%SRCROOT%"

# Short rule texts for the SARIF rule table, one per lint code.
RULE_DESCRIPTIONS = {
    "STRUCTURE": "Graph structure is broken (dangling edge, self-loop, missing Input or Output)",
    "UNREACHABLE": "Node is not reachable from any Input",
    "DEAD_END": "Node does not reach any Output",
    "MULTI_OUTPUT": "Graph has several Output nodes",
    "LIF_LOW_TAU": "LIF time constant below 1.0",
    "LIF_HIGH_TAU": "LIF time constant above 100",
    "LIF_NONPOSITIVE_THRESHOLD": "LIF threshold is zero or negative",
    "LIF_HIGH_THRESHOLD": "LIF threshold above 10",
    "GHOST_UNUSUAL_STRIDE": "Ghost backbone block stride is neither 1 nor 2",
    "DETECT_UNUSUAL_STRIDE": "Detection head stride is not 4, 8 or 16",
    "LOW_WEIGHT_BITS": "Affine weights quantised below 4 bits",
    "HIGH_WEIGHT_BITS": "Affine weights wider than 16 bits",
    "SKIP_PASSTHROUGH_INPUTS": "Passthrough skip node without exactly one input",
    "SKIP_MERGE_INPUTS": "Merging skip node with fewer than two inputs",
    "GENERIC_NAME": "Node has a generic name",
    "PYTHON_KEYWORD": "Node name is a reserved word",
    "LARGE_MODEL": "Model has more than 10M parameters",
    "SMALL_MODEL": "Model has fewer than 100 parameters",
    "MISSING_OUTPUT_SHAPE": "Computational node has no output shape",
}


def _sarif_uri(path):
    from pathlib import PurePath
    from urllib.parse import quote

    try:
        relative = os.path.relpath(path) if os.path.isabs(path) else os.path.normpath(path)
    except ValueError:  # another drive: no relative form exists
        return PurePath(os.path.abspath(path)).as_uri()
    return quote(os.fsencode(PurePath(relative).as_posix()))


def lint_sarif(outcomes, failures):
    """A SARIF 2.1.0 log of the lint results of ``outcomes`` (pairs of path and ``to_dict()``)."""
    from pathlib import Path

    import ondrel

    rules, rule_index, results = [], {}, []
    for path, result in outcomes:
        location = {"physicalLocation": {"artifactLocation": {"uri": _sarif_uri(path),
                                                              "uriBaseId": SARIF_SOURCE_ROOT}}}
        for issue in result["issues"]:
            code, level = issue["code"], SARIF_LEVELS[issue["severity"]]
            if code not in rule_index:
                rule_index[code] = len(rules)
                rules.append({
                    "id": code,
                    "shortDescription": {"text": RULE_DESCRIPTIONS.get(code, code.replace("_", " ").capitalize())},
                    "defaultConfiguration": {"level": level},
                })
            text = issue["message"] + (f". Suggestion: {issue['suggestion']}" if issue["suggestion"] else "")
            entry = {"ruleId": code, "ruleIndex": rule_index[code], "level": level, "message": {"text": text},
                     "locations": [dict(location)]}
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
