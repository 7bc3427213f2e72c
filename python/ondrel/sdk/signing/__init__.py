"""Signed models: offline keys, an unambiguous manifest, the model-signing format.

A detached signature (``sign_file``) is a Sigstore bundle holding a DSSE
envelope around an in-toto Statement v1 in the form model_signing reads for its
key mode: predicate type ``https://model_signing/signature/v1.0``, the model
file as its one resource with its SHA-256. The predicate also carries the SDK's
manifest (node by node, tensor by tensor, with the stamp and both fingerprints)
under ``"ondrel"``, which model_signing's verifier ignores. An embedded
signature (``sign_graph``, stored by ``embed_signature``) signs the manifest
alone, so it can live inside the model file it describes.

    from ondrel.sdk import signing

    key = signing.generate_key("p256")
    signed = signing.sign_file("model.o1c", key)
    result = signing.verify_signature("model.o1c", [key.public_key()], signature=signed.bundle)
    assert result.verified, result.reason

Needs the ``signing`` extra (the ``cryptography`` package): without it these
functions raise ``MissingExtraError``. See docs/signing.md for the formats.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os
from typing import Any, Optional, Sequence

from ._digests import MappedFile, array_bytes, file_identity, range_digests, tensor_digests
from ._envelope import (BUNDLE_MEDIA_TYPE, PAYLOAD_TYPE, STATEMENT_TYPE, SignatureFileError, make_bundle, pae,
                        parse_bundle, signing_key, statement_of)
from ._keys import (KEY_TYPES, PASSWORD_VARIABLE, KeyFileError, KeyType, MissingExtraError, PrivateKey, PublicKey,
                    generate_key, is_encrypted, key_description, key_id, load_private_key, load_public_key,
                    load_public_keys, private_pem, public_key_files, public_pem)
from ._manifest import (MANIFEST_VERSION, SIGNATURE_KEY, TENSOR_DIGEST, Change, UndescribableError, _mapping, compare,
                        describe, manifest_digest, tensor_records)

__all__ = [
    "BUNDLE_MEDIA_TYPE", "KEY_TYPES", "MANIFEST_PREDICATE", "MODEL_SIGNING_PREDICATE", "PASSWORD_VARIABLE",
    "PAYLOAD_TYPE", "SIGNATURE_KEY", "STATEMENT_TYPE", "Change", "KeyFileError", "KeyType", "MissingExtraError",
    "SignatureFileError", "SignedModel", "UndescribableError", "VerificationResult", "embed_signature",
    "generate_key", "is_encrypted", "key_id", "load_private_key", "load_public_key", "load_public_keys", "pae",
    "private_pem", "public_key_files", "public_pem", "sign_file", "sign_graph", "verify_signature",
]

MODEL_SIGNING_PREDICATE = "https://model_signing/signature/v1.0"
MANIFEST_PREDICATE = "https://ondrel-sdk/model-manifest/v1"
# The predicate key under which a detached signature carries the SDK's manifest.
PREDICATE_KEY = "ondrel"
# model_signing names the one resource of a model that is a single file ".".
SINGLE_FILE_RESOURCE = "."


@dataclasses.dataclass
class SignedModel:
    """A signature made by ``sign_file`` or ``sign_graph``."""

    bundle: str  # the signature file's JSON text
    key_id: str
    manifest_digest: str
    file_sha256: Optional[str] = None  # detached signatures: the model file's SHA-256
    reused: bool = False  # digests taken from an earlier signature instead of hashing


@dataclasses.dataclass
class VerificationResult:
    """What ``verify_signature`` found. ``verified`` is True only for a signature of a trusted key
    over exactly this model; otherwise ``reason`` says why in one line and ``changes`` lists what
    differs from the signed model (nodes and tensors added, removed or changed, stamp fields)."""

    verified: bool
    reason: str = ""
    key_id: Optional[str] = None
    key_type: Optional[str] = None
    checked: str = ""  # "manifest", "file" or "manifest and file"
    changes: list[Change] = dataclasses.field(default_factory=list)


class FileChangedError(OSError):
    """The model file was replaced or rewritten while it was being read."""


def _read_model(path: str, mapped: MappedFile) -> Any:
    """The graph of ``path``, read from the same file that ``mapped`` maps."""
    from ondrel import ir

    graph = ir.read(path)
    _check_unchanged(path, mapped)
    return graph


def _check_unchanged(path: str, mapped: MappedFile) -> None:
    try:
        same = file_identity(os.stat(path)) == mapped.identity
    except OSError:
        same = False
    if not same:
        raise FileChangedError(f"{path}: file changed while it was being read")


def _container(mapped: MappedFile) -> tuple[int, int]:
    """(bytes before the tensor data, number of tensors) of an .o1c file the IR layer has read."""
    header_bytes = int.from_bytes(mapped.read(0, 8), "little")
    header = json.loads(mapped.read(8, 8 + header_bytes))
    return 8 + header_bytes, len(header) - ("__metadata__" in header)


def _fingerprints(graph: Any) -> dict[str, str]:
    from ..fingerprint import fingerprint_graph_dual

    structure, full = fingerprint_graph_dual(graph)
    return {"structure": structure, "full": full}


def _fill(records: list[dict[str, Any]], digests: Sequence[str]) -> None:
    for record, digest in zip(records, digests):
        record["sha256"] = digest


def _statement(name: str, digest: str, predicate_type: str, predicate: dict[str, Any]) -> dict[str, Any]:
    return {"_type": STATEMENT_TYPE, "subject": [{"name": name, "digest": {"sha256": digest}}],
            "predicateType": predicate_type, "predicate": predicate}


def _root_digest(resources: list[dict[str, Any]]) -> str:
    """model_signing's subject digest: the SHA-256 of the resource digests' bytes, in order."""
    return hashlib.sha256(b"".join(bytes.fromhex(resource["digest"]) for resource in resources)).hexdigest()


def sign_graph(graph: Any, private_key: PrivateKey, name: str = "model",
               fingerprints: Optional[tuple[str, str]] = None) -> SignedModel:
    """Sign the manifest of ``graph`` (an ``ir.Graph``): a bundle whose statement's subject is the
    manifest (named ``name``, with the manifest's digest), for storing inside the model with
    ``embed_signature``. Tensor digests are computed in parallel threads; ``fingerprints``
    (structure, full) spares computing them again when the caller has just done so."""
    manifest, arrays, records = describe(graph)
    views = [array_bytes(array) for array in arrays]
    if fingerprints is None:
        digests, (manifest["fingerprints"],) = tensor_digests(views, [lambda: _fingerprints(graph)])
    else:
        digests, _ = tensor_digests(views)
        manifest["fingerprints"] = {"structure": fingerprints[0], "full": fingerprints[1]}
    _fill(records, digests)
    digest = manifest_digest(manifest)
    statement = _statement(name, digest, MANIFEST_PREDICATE, {"manifest": manifest})
    return SignedModel(make_bundle(statement, private_key), key_id(private_key.public_key()), digest)


def embed_signature(graph: Any, signed: SignedModel) -> Any:
    """A new graph like ``graph`` with the signature's bundle in its metadata (under "signature").
    Fingerprints and the manifest leave that entry out, so the signature still holds."""
    from ondrel import ir

    return ir.Graph(nodes=graph.nodes, edges=graph.edges, metadata={**graph.metadata, SIGNATURE_KEY: signed.bundle})


def _reusable(path: str, mapped: MappedFile, header_sha256: str, old_bundle: str,
              trusted: Sequence[PublicKey]) -> Optional[dict[str, Any]]:
    """The predicate of ``old_bundle`` when its digests can stand for this file's: it is a detached
    signature by one of ``trusted`` whose manifest recorded this very file (same size, modification
    time and header bytes); None otherwise."""
    envelope = parse_bundle(old_bundle)
    key, _ = signing_key(envelope, list(trusted))
    statement, _ = statement_of(envelope) if key is not None else (None, "")
    predicate = statement.get("predicate") if statement else None
    carried = predicate.get(PREDICATE_KEY) if isinstance(predicate, dict) else None
    manifest = carried.get("manifest") if isinstance(carried, dict) else None
    if not isinstance(manifest, dict) or manifest.get("tensor_digest") != TENSOR_DIGEST:
        return None
    recorded = manifest.get("file") or {}
    if (recorded.get("size"), recorded.get("mtime_ns"), recorded.get("header_sha256")) != \
            (mapped.size, mapped.identity[3], header_sha256):
        return None
    return predicate


def sign_file(path: str, private_key: PrivateKey, *, reuse: Optional[str] = None,
              reuse_keys: Sequence[PublicKey] = ()) -> SignedModel:
    """Sign the single-file model ``path``: a detached bundle that model_signing's ``verify key``
    accepts (ECDSA keys) and that carries the SDK's manifest.

    The file's SHA-256, each tensor's digest and both fingerprints are computed
    in parallel threads from the mapped file. ``reuse`` is the JSON text of an
    earlier signature of this file: when it verifies with the signing key (or
    one of ``reuse_keys``) and recorded the file with the same size,
    modification time and header, its digests are taken instead of hashing.
    """
    with MappedFile(path) as mapped:
        graph = _read_model(path, mapped)
        manifest, arrays, records = describe(graph)
        data_start, tensor_count = _container(mapped)
        header_sha256 = mapped.sha256(0, data_start)
        old = None
        if reuse is not None:
            old = _reusable(path, mapped, header_sha256, reuse, [private_key.public_key(), *reuse_keys])
        if old is not None:
            old_manifest = old[PREDICATE_KEY]["manifest"]
            digests = [record.get("sha256", "") for record in tensor_records(
                {key: old_manifest.get(key) for key in ("nodes", "stamp", "metadata")})]
            file_sha256 = old["resources"][0]["digest"]
            fingerprints = old_manifest.get("fingerprints")
            if len(digests) != len(records):
                old = None
        if old is None:
            digests, (file_sha256, fingerprints) = tensor_digests(
                [array_bytes(array) for array in arrays], [mapped.sha256, lambda: _fingerprints(graph)])
        _check_unchanged(path, mapped)
    _fill(records, digests)
    manifest["fingerprints"] = fingerprints
    manifest["file"] = {"size": mapped.size, "header_sha256": header_sha256, "tensors": tensor_count,
                        "mtime_ns": mapped.identity[3]}
    digest = manifest_digest(manifest)
    resources = [{"name": SINGLE_FILE_RESOURCE, "algorithm": "sha256", "digest": file_sha256}]
    predicate = {
        "serialization": {"method": "files", "hash_type": "sha256", "allow_symlinks": False},
        "resources": resources,
        PREDICATE_KEY: {"manifest_digest": digest, "manifest": manifest},
    }
    statement = _statement(os.path.basename(path), _root_digest(resources), MODEL_SIGNING_PREDICATE, predicate)
    return SignedModel(make_bundle(statement, private_key), key_id(private_key.public_key()), digest, file_sha256,
                       reused=old is not None)


# ---------------------------------------------------------------- verification


def _not_verified(reason: str, **found: Any) -> VerificationResult:
    return VerificationResult(False, reason, **found)


def _manifest_changes(signed: Any, graph: Any) -> tuple[Optional[list[Change]], str, dict[str, Any]]:
    """(changes, "", actual manifest), or (None, why the signed manifest cannot be used, {})."""
    if not isinstance(signed, dict) or signed.get("version") != MANIFEST_VERSION:
        return None, "signed manifest is of an unknown version", {}
    if signed.get("tensor_digest") != TENSOR_DIGEST:
        return None, "signed manifest uses another tensor digest", {}
    actual, arrays, records = describe(graph)
    digests, _ = tensor_digests([array_bytes(array) for array in arrays])
    _fill(records, digests)
    try:
        return compare(signed, actual), "", actual
    except (TypeError, ValueError, AttributeError, KeyError):  # signed, but not in the form this SDK writes
        return None, "signed manifest is malformed", {}


def _summary(changes: list[Change]) -> str:
    shown = "; ".join(map(str, changes[:5]))
    more = f"; and {len(changes) - 5} more" if len(changes) > 5 else ""
    return f"model differs from the signed one: {shown}{more}"


def _resource_check(path: str, mapped: MappedFile, predicate: dict[str, Any]) -> tuple[Optional[bool], str]:
    """Check the model file against model_signing's resources: (matches, why not), or (None, why the
    resources cannot be checked here)."""
    serialization = predicate.get("serialization")
    resources = predicate.get("resources")
    if not isinstance(serialization, dict) or not isinstance(resources, list) or not all(
            isinstance(r, dict) and isinstance(r.get("name"), str) and isinstance(r.get("digest"), str)
            for r in resources):
        return None, "statement has no usable serialization and resources"
    if serialization.get("hash_type") != "sha256":
        return None, f"hash type {serialization.get('hash_type')!r} is not supported (only sha256)"
    method = serialization.get("method")
    names = {SINGLE_FILE_RESOURCE, os.path.basename(path)}
    if method == "files":
        if len(resources) != 1 or resources[0]["name"] not in names:
            listed = ", ".join(repr(r["name"]) for r in resources[:3])
            return False, f"signature lists other files than this model ({listed})"
        if mapped.sha256() != resources[0]["digest"]:
            return False, "file's SHA-256 differs from the signed one"
        return True, ""
    if method == "shards":
        ranges = []
        for resource in resources:
            name, _, span = resource["name"].rpartition(":")
            file_name, _, start = name.rpartition(":")
            if file_name not in names or not start.isdigit() or not span.isdigit():
                return False, f"signature lists other files than this model ({resource['name']!r})"
            ranges.append((int(start), int(span)))
        expected = sorted(ranges)
        if [stop for _, stop in expected[:-1]] != [start for start, _ in expected[1:]] or \
                (expected[0][0] if expected else 0) != 0 or (expected[-1][1] if expected else 0) != mapped.size:
            return False, "file's size differs from the signed one"
        digests = range_digests(mapped.view, ranges)
        changed = [f"{start}:{stop}" for (start, stop), resource, digest in zip(ranges, resources, digests)
                   if resource["digest"] != digest]
        return (False, f"bytes {', '.join(changed[:3])} differ from the signed ones") if changed else (True, "")
    return None, f"serialization method {method!r} is not supported"


def _file_level(path: str, mapped: MappedFile, predicate: dict[str, Any], found: dict[str, Any],
                unreadable: str = "") -> VerificationResult:
    """The verdict of model_signing's resources alone (``unreadable``: why the model itself could not be read)."""
    matched, why = _resource_check(path, mapped, predicate)
    _check_unchanged(path, mapped)
    if matched is None:
        raise SignatureFileError(why)
    if matched:
        return VerificationResult(True, **found, checked="file")
    if unreadable:
        why = f"{why}; it is not a readable model any more ({unreadable})"
    return _not_verified(why, **found, checked="file", changes=[Change("file", "changed", detail=why)])


def _detached(path: str, predicate: dict[str, Any], found: dict[str, Any]) -> VerificationResult:
    with MappedFile(path) as mapped:
        carried = predicate.get(PREDICATE_KEY)
        if not isinstance(carried, dict):  # model_signing's own signature: the file digest alone
            return _file_level(path, mapped, predicate, found)
        signed = carried.get("manifest")
        if not isinstance(signed, dict) or carried.get("manifest_digest") != manifest_digest(signed):
            return _not_verified("signed statement is inconsistent (manifest digest)", **found)
        try:
            graph = _read_model(path, mapped)
        except ValueError as e:  # changed beyond reading: the file's digest says so
            return _file_level(path, mapped, predicate, found, str(e).removeprefix(f"{path}: "))
        changes, why, actual = _manifest_changes(signed, graph)
        if changes is None:
            return _not_verified(why, **found)
        data_start, tensor_count = _container(mapped)
        recorded = _mapping(signed.get("file"))
        file_matches = (recorded.get("size") == mapped.size and recorded.get("tensors") == tensor_count
                        and recorded.get("header_sha256") == mapped.sha256(0, data_start))
        if file_matches and tensor_count != sum(1 for _ in tensor_records(actual)):
            # Tensors the graph does not use: only the whole-file digest covers them.
            file_matches = bool(_resource_check(path, mapped, predicate)[0])
        _check_unchanged(path, mapped)
    if not file_matches and not changes:
        changes = [Change("file", "changed", detail="the file differs outside the model's nodes, stamp and metadata")]
    if changes:
        return _not_verified(_summary(changes), **found, checked="manifest and file", changes=changes)
    return VerificationResult(True, **found, checked="manifest and file")


def _embedded_bundle(graph: Any) -> Optional[str]:
    bundle = graph.metadata.get(SIGNATURE_KEY)
    return bundle if isinstance(bundle, str) else None


def verify_signature(path: str, trusted_keys: Sequence[PublicKey],
                     signature: Optional[str] = None) -> VerificationResult:
    """Verify the model file ``path`` against a signature by one of ``trusted_keys``.

    ``signature`` is a bundle's JSON text (a detached signature file's
    content); None checks the signature embedded in the model. Returns a
    VerificationResult (not verified: an untrusted key, a signature that does
    not verify, or a model that differs from the signed one, with what
    differs). Raises SignatureFileError for a signature that cannot be read,
    OSError and ValueError for a model that cannot be read.
    """
    from ondrel import ir

    if not trusted_keys:
        raise ValueError("no trusted public key given")
    graph = None  # read once: the embedded signature and the manifest come from the same map
    if signature is None:
        graph = ir.read(path)
        signature = _embedded_bundle(graph)
        if signature is None:
            return _not_verified("no embedded signature (sign with 'stamp --sign', or give the signature file)")
    envelope = parse_bundle(signature)
    key, why = signing_key(envelope, list(trusted_keys))
    if key is None:
        return _not_verified(why)
    found: dict[str, Any] = {"key_id": key_id(key), "key_type": key_description(key)}
    statement, why = statement_of(envelope)
    if statement is None:
        return _not_verified(why, **found)
    predicate = statement.get("predicate")
    subjects = statement.get("subject")
    if not isinstance(predicate, dict) or not isinstance(subjects, list) or len(subjects) != 1 \
            or not isinstance(subjects[0], dict) or not isinstance(subjects[0].get("digest"), dict):
        return _not_verified("signed statement has no single subject and predicate", **found)
    subject_digest = subjects[0]["digest"].get("sha256")
    predicate_type = statement.get("predicateType")
    if predicate_type == MANIFEST_PREDICATE:
        signed = predicate.get("manifest")
        if not isinstance(signed, dict) or subject_digest != manifest_digest(signed):
            return _not_verified("signed statement is inconsistent (manifest digest)", **found)
        changes, why, _ = _manifest_changes(signed, ir.read(path) if graph is None else graph)
        if changes is None:
            return _not_verified(why, **found)
        if changes:
            return _not_verified(_summary(changes), **found, checked="manifest", changes=changes)
        return VerificationResult(True, **found, checked="manifest")
    if predicate_type != MODEL_SIGNING_PREDICATE:
        return _not_verified(f"unsupported predicate type {predicate_type!r}", **found)
    resources = predicate.get("resources")
    try:
        consistent = isinstance(resources, list) and subject_digest == _root_digest(resources)
    except (KeyError, TypeError, ValueError):
        consistent = False
    if not consistent:
        return _not_verified("signed statement is inconsistent (subject digest)", **found)
    return _detached(path, predicate, found)
