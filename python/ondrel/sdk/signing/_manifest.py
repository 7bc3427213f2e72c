"""The SDK's manifest of a model: an unambiguous description of everything it holds.

Per node (in name order): its name, class, and every field by name, values in
a typed JSON form (a tuple stays a tuple, 1 and 1.0 and "1" stay apart), each
array as a tensor record {"dtype", "shape", "sha256"}; the edges; the
provenance stamp and the rest of the metadata in the same form; both
fingerprints. ``manifest_digest`` hashes a length-prefixed encoding of it, so
no two different manifests share a digest the way two models can share a
fingerprint.
"""

from __future__ import annotations

import dataclasses
import hashlib
import math
import struct
from typing import Any, Iterator, Optional

import numpy as np

from ._digests import PIECE_BYTES

MANIFEST_VERSION = 1
# The metadata key of an embedded signature (a bundle's JSON text); it is not part of the manifest.
SIGNATURE_KEY = "signature"
STAMP_KEY = "provenance"
TENSOR_DIGEST = {"algorithm": "sha256", "piece_bytes": PIECE_BYTES,
                 "form": "sha256 of the sha256 digests of consecutive pieces of piece_bytes"}
_MAX_DEPTH = 64


class UndescribableError(ValueError):
    """A value in a graph that the manifest cannot describe."""


class _Describer:
    """Builds the typed form of values; arrays become tensor records whose digests are filled in later."""

    def __init__(self) -> None:
        self.arrays: list[np.ndarray] = []
        self.records: list[dict[str, Any]] = []

    def value(self, v: Any, depth: int = 0) -> Any:
        if depth > _MAX_DEPTH:
            raise UndescribableError(f"value nested deeper than {_MAX_DEPTH} levels")
        t = type(v)
        if v is None or t is bool or t is str or t is int:
            return v
        if t is float:
            return v if math.isfinite(v) else {"float": repr(v)}
        if isinstance(v, np.ndarray):
            record = {"dtype": v.dtype.str, "shape": list(v.shape), "sha256": ""}
            self.arrays.append(v)
            self.records.append(record)
            return {"tensor": record}
        if isinstance(v, np.generic):
            return {"scalar": [v.dtype.str, v.tobytes().hex()]}
        if t is tuple or t is list:
            return {t.__name__: [self.value(x, depth + 1) for x in v]}
        if t is dict:
            return {"dict": [[self.value(k, depth + 1), self.value(x, depth + 1)] for k, x in v.items()]}
        raise UndescribableError(f"cannot describe a value of type {t.__module__}.{t.__qualname__}")


def _node_fields(node: Any) -> list[tuple[str, Any]]:
    if dataclasses.is_dataclass(node):
        return [(field.name, getattr(node, field.name)) for field in dataclasses.fields(node)]
    return list(vars(node).items())


def _split_metadata(metadata: Any) -> tuple[Any, dict[Any, Any]]:
    """(the stamp or None, the other metadata); an embedded signature's text is left out."""
    metadata = metadata or {}
    stamp = metadata.get(STAMP_KEY)
    others = {key: value for key, value in metadata.items()
              if key != STAMP_KEY and not (key == SIGNATURE_KEY and type(value) is str)}
    return stamp, others


def describe(graph: Any) -> tuple[dict[str, Any], list[np.ndarray], list[dict[str, Any]]]:
    """(the manifest with empty tensor digests, its arrays, their tensor records in the same order)."""
    describer = _Describer()
    nodes = []
    for name in sorted(graph.nodes):
        node = graph.nodes[name]
        try:
            fields = {field: describer.value(value) for field, value in _node_fields(node)}
        except UndescribableError as e:
            raise UndescribableError(f"node {name!r}: {e}") from None
        nodes.append({"name": name, "class": type(node).__name__, "fields": fields})
    stamp, others = _split_metadata(graph.metadata)
    manifest = {
        "version": MANIFEST_VERSION,
        "tensor_digest": TENSOR_DIGEST,
        "nodes": nodes,
        "edges": sorted([str(source), str(target)] for source, target in graph.edges),
        "stamp": describer.value(stamp),
        "metadata": describer.value(others),
    }
    return manifest, describer.arrays, describer.records


def tensor_records(value: Any) -> Iterator[dict[str, Any]]:
    """The tensor records of a manifest (or any part of one), in the order ``describe`` makes them."""
    if isinstance(value, dict):
        if set(value) == {"tensor"} and isinstance(value["tensor"], dict):
            yield value["tensor"]
            return
        for item in value.values():
            yield from tensor_records(item)
    elif isinstance(value, list):
        for item in value:
            yield from tensor_records(item)


# ---------------------------------------------------------------- the length-prefixed digest


def _encode(value: Any, out: bytearray) -> None:
    """One piece per value: a type byte, an 8-byte big-endian length (of the bytes, or the item
    count of a list or object), then the bytes or the items; object keys in sorted order."""
    if value is None:
        out += b"n" + struct.pack(">Q", 0)
    elif value is True or value is False:
        out += b"b" + struct.pack(">Q", 1) + (b"\1" if value else b"\0")
    elif isinstance(value, int):
        text = str(value).encode()
        out += b"i" + struct.pack(">Q", len(text)) + text
    elif isinstance(value, float):
        text = repr(value).encode()
        out += b"f" + struct.pack(">Q", len(text)) + text
    elif isinstance(value, str):
        text = value.encode("utf-8", "surrogatepass")
        out += b"s" + struct.pack(">Q", len(text)) + text
    elif isinstance(value, list):
        out += b"l" + struct.pack(">Q", len(value))
        for item in value:
            _encode(item, out)
    elif isinstance(value, dict):
        out += b"o" + struct.pack(">Q", len(value))
        for key in sorted(value):
            _encode(key, out)
            _encode(value[key], out)
    else:
        raise TypeError(f"not a manifest value: {type(value).__name__}")


def manifest_digest(manifest: dict[str, Any]) -> str:
    """The hex SHA-256 of the manifest's length-prefixed encoding."""
    out = bytearray()
    _encode(manifest, out)
    return hashlib.sha256(out).hexdigest()


# ---------------------------------------------------------------- differences


@dataclasses.dataclass
class Change:
    """One difference between the signed model and the model at hand.

    ``kind`` is "node", "tensor", "hyper-parameter", "edge", "stamp", "metadata" or
    "file"; ``change`` "added", "removed" or "changed"; ``node`` the node it is in
    (None for edges, stamp, metadata and file); ``item`` the field, stamp or
    metadata key, or edge.
    """

    kind: str
    change: str
    node: Optional[str] = None
    item: Optional[str] = None
    detail: str = ""

    def __str__(self) -> str:
        if self.kind == "node":
            text = f"node {self.node!r} {self.change}"
        else:
            what = self.kind if self.item is None else f"{self.kind} {self.item!r}"
            text = (f"node {self.node!r}: " if self.node is not None else "") + f"{what} {self.change}"
        return text + (f" ({self.detail})" if self.detail else "")


def show(value: Any, limit: int = 60) -> str:
    """Short text of a typed value, as Python would print it."""
    text = _show(value)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _show(value: Any) -> str:
    if isinstance(value, dict) and len(value) == 1:
        ((tag, body),) = value.items()
        if tag == "tensor" and isinstance(body, dict):
            try:
                dtype = np.dtype(body.get("dtype")).name
            except TypeError:
                dtype = str(body.get("dtype"))
            return f"{dtype} {tuple(body.get('shape') or ())}"
        if tag == "tuple" and isinstance(body, list):
            return "(" + ", ".join(map(_show, body)) + ("," if len(body) == 1 else "") + ")"
        if tag == "list" and isinstance(body, list):
            return "[" + ", ".join(map(_show, body)) + "]"
        if tag == "dict" and isinstance(body, list):
            pairs = [pair for pair in body if isinstance(pair, list) and len(pair) == 2]
            return "{" + ", ".join(f"{_show(k)}: {_show(v)}" for k, v in pairs) + "}"
        if tag == "float":
            return str(body)
        if tag == "scalar" and isinstance(body, list) and len(body) == 2:
            try:
                return repr(np.frombuffer(bytes.fromhex(body[1]), np.dtype(body[0]))[0].item())
            except (TypeError, ValueError, IndexError):
                return str(body)
    return repr(value)


def _pairs(value: Any) -> dict[str, Any]:
    """A typed dict's items keyed by their shown key (None when it is not a typed dict)."""
    if isinstance(value, dict) and isinstance(value.get("dict"), list):
        return {_show(pair[0]) if not isinstance(pair[0], str) else pair[0]: pair[1]
                for pair in value["dict"] if isinstance(pair, list) and len(pair) == 2}
    return {}


def _mapping(value: Any) -> dict[str, Any]:
    """``value`` when it is a dict (a signed manifest's parts are checked before use), else {}."""
    return value if isinstance(value, dict) else {}


def _is_tensor(value: Any) -> bool:
    return isinstance(value, dict) and set(value) == {"tensor"}


def _field_change(node: str, field: str, signed: Any, actual: Any) -> Change:
    if _is_tensor(signed) and _is_tensor(actual):
        before, after = signed["tensor"], actual["tensor"]
        if (before.get("dtype"), before.get("shape")) != (after.get("dtype"), after.get("shape")):
            return Change("tensor", "changed", node, field, f"{_show(signed)} -> {_show(actual)}")
        return Change("tensor", "changed", node, field, "values differ")
    kind = "tensor" if _is_tensor(signed) or _is_tensor(actual) else "hyper-parameter"
    return Change(kind, "changed", node, field, f"{show(signed)} -> {show(actual)}")


def _keyed_changes(kind: str, signed: dict[str, Any], actual: dict[str, Any]) -> list[Change]:
    changes = [Change(kind, "removed", None, key) for key in signed if key not in actual]
    changes += [Change(kind, "added", None, key) for key in actual if key not in signed]
    changes += [Change(kind, "changed", None, key) for key in signed if key in actual and signed[key] != actual[key]]
    return changes


def compare(signed: dict[str, Any], actual: dict[str, Any]) -> list[Change]:
    """What differs between a signed manifest and the manifest of the model at hand."""
    changes: list[Change] = []
    before = {node.get("name"): node for node in signed.get("nodes", []) if isinstance(node, dict)}
    after = {node["name"]: node for node in actual["nodes"]}
    changes += [Change("node", "removed", name) for name in before if name not in after]
    changes += [Change("node", "added", name) for name in after if name not in before]
    for name, node in after.items():
        old = before.get(name)
        if old is None:
            continue
        if old.get("class") != node["class"]:
            changes.append(Change("node", "changed", name, None, f"class {old.get('class')} -> {node['class']}"))
            continue
        old_fields = _mapping(old.get("fields"))
        for field in list(old_fields) + [f for f in node["fields"] if f not in old_fields]:
            if old_fields.get(field, _MISSING) != node["fields"].get(field, _MISSING):
                changes.append(_field_change(name, field, old_fields.get(field), node["fields"].get(field)))
    old_edges = {tuple(edge) for edge in signed.get("edges", []) if isinstance(edge, list)}
    new_edges = {tuple(edge) for edge in actual["edges"]}
    changes += [Change("edge", "removed", None, "->".join(edge)) for edge in sorted(old_edges - new_edges)]
    changes += [Change("edge", "added", None, "->".join(edge)) for edge in sorted(new_edges - old_edges)]
    old_stamp, new_stamp = signed.get("stamp"), actual["stamp"]
    if old_stamp != new_stamp:
        if old_stamp is None or new_stamp is None:
            changes.append(Change("stamp", "added" if old_stamp is None else "removed"))
        else:
            changes += _keyed_changes("stamp", _pairs(old_stamp), _pairs(new_stamp)) or [
                Change("stamp", "changed")]
    if signed.get("metadata") != actual["metadata"]:
        changes += _keyed_changes("metadata", _pairs(signed.get("metadata")), _pairs(actual["metadata"])) or [
            Change("metadata", "changed")]
    return changes


_MISSING = object()
