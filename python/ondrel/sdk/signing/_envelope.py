"""DSSE envelopes in Sigstore bundles: what a signature file holds.

A signature file is a Sigstore bundle (JSON, media type
``application/vnd.dev.sigstore.bundle.v0.3+json``) with the signer's key id as
``verificationMaterial.publicKey.hint`` and, as ``dsseEnvelope``, a DSSE
envelope: the base64 payload (an in-toto Statement v1, JSON), its payload type
``application/vnd.in-toto+json`` and the base64 signatures. What is signed is
the payload's pre-authentication encoding (PAE), so the payload type is signed
too. This is the layout model_signing writes and reads for its key mode.
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import json
from typing import Any, Optional

from ._keys import PrivateKey, PublicKey, crypto, key_id, signature_hash

BUNDLE_MEDIA_TYPE = "application/vnd.dev.sigstore.bundle.v0.3+json"
PAYLOAD_TYPE = "application/vnd.in-toto+json"
STATEMENT_TYPE = "https://in-toto.io/Statement/v1"

# A signature file larger than this is not one (a manifest per tensor stays far below it).
MAX_SIGNATURE_BYTES = 256 << 20


class SignatureFileError(ValueError):
    """A signature that cannot be read as a Sigstore bundle holding a DSSE envelope."""


def pae(payload_type: str, payload: bytes) -> bytes:
    """DSSE's pre-authentication encoding: "DSSEv1" SP len(type) SP type SP len(body) SP body,
    the lengths as ASCII decimal byte counts."""
    kind = payload_type.encode("utf-8")
    return b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(payload), payload)


def make_bundle(statement: dict[str, Any], private_key: PrivateKey) -> str:
    """The JSON text of a bundle whose envelope signs ``statement``."""
    payload = json.dumps(statement, separators=(",", ":"), ensure_ascii=True, allow_nan=False).encode()
    message = pae(PAYLOAD_TYPE, payload)
    algorithm = signature_hash(private_key)
    # Ed25519 keys take the message alone, ECDSA keys the message and the hash.
    signature = private_key.sign(message, *([] if algorithm is None else [algorithm]))  # type: ignore[arg-type]
    keyid = key_id(private_key.public_key())
    bundle = {
        "mediaType": BUNDLE_MEDIA_TYPE,
        "verificationMaterial": {"publicKey": {"hint": keyid}, "tlogEntries": []},
        "dsseEnvelope": {
            "payload": base64.b64encode(payload).decode(),
            "payloadType": PAYLOAD_TYPE,
            "signatures": [{"sig": base64.b64encode(signature).decode(), "keyid": keyid}],
        },
    }
    return json.dumps(bundle, indent=2) + "\n"


@dataclasses.dataclass
class Envelope:
    """The parts of a bundle that verification reads; nothing here is trusted yet."""

    payload_type: str
    payload: str  # base64, as in the file
    signatures: list[str]  # base64, as in the file
    hint: Optional[str]  # the key id the bundle names, if any


def _field(mapping: Any, key: str, kind: type, where: str) -> Any:
    value = mapping.get(key) if isinstance(mapping, dict) else None
    if not isinstance(value, kind):
        raise SignatureFileError(f"not a signature bundle ({where}{key} missing or not a {kind.__name__})")
    return value


def parse_bundle(text: str | bytes) -> Envelope:
    """The envelope of a bundle's JSON text; SignatureFileError when it is not one."""
    if len(text) > MAX_SIGNATURE_BYTES:
        raise SignatureFileError(f"not a signature bundle (larger than {MAX_SIGNATURE_BYTES >> 20} MiB)")
    try:
        bundle = json.loads(text)
    except (ValueError, RecursionError) as e:
        raise SignatureFileError(f"not a signature bundle (not valid JSON: {e})") from None
    if not isinstance(bundle, dict):
        raise SignatureFileError("not a signature bundle (not a JSON object)")
    media_type = bundle.get("mediaType")
    if media_type != BUNDLE_MEDIA_TYPE:
        raise SignatureFileError(f"not a supported signature bundle (media type {media_type!r}, "
                                 f"expected {BUNDLE_MEDIA_TYPE!r})")
    envelope = _field(bundle, "dsseEnvelope", dict, "")
    signatures = _field(envelope, "signatures", list, "dsseEnvelope.")
    sigs = [_field(item, "sig", str, "dsseEnvelope.signatures[].") for item in signatures]
    material = bundle.get("verificationMaterial")
    public_key = material.get("publicKey") if isinstance(material, dict) else None
    hint = public_key.get("hint") if isinstance(public_key, dict) else None
    return Envelope(_field(envelope, "payloadType", str, "dsseEnvelope."),
                    _field(envelope, "payload", str, "dsseEnvelope."), sigs,
                    hint if isinstance(hint, str) and hint else None)


def _b64(text: str) -> Optional[bytes]:
    """Standard or URL-safe base64, as DSSE verifiers must accept; None for anything else."""
    for alphabet in (b"+/", b"-_"):
        try:
            return base64.b64decode(text, altchars=alphabet, validate=True)
        except (binascii.Error, ValueError):
            continue
    return None


def signing_key(envelope: Envelope, trusted: list[PublicKey]) -> tuple[Optional[PublicKey], str]:
    """The trusted key one of the envelope's signatures verifies with, or (None, why not).

    The bundle's key hint chooses the key when it names a trusted one; a hint
    naming no trusted key means an untrusted signer. Without a hint every
    trusted key is tried. The payload type is part of what is signed, so a
    swapped type fails here like a changed payload.
    """
    exceptions, _, _, _, _ = crypto()
    ids = [key_id(key) for key in trusted]
    if envelope.hint is not None:
        candidates = [key for key, kid in zip(trusted, ids) if kid == envelope.hint]
        if not candidates:
            return None, f"signed by an untrusted key (key id {envelope.hint[:16]}...)"
    else:
        candidates = trusted
    payload = _b64(envelope.payload)
    if payload is None:
        return None, "signature does not verify (payload is not base64)"
    message = pae(envelope.payload_type, payload)
    for sig_text in envelope.signatures:
        signature = _b64(sig_text)
        if signature is None:
            continue
        for key in candidates:
            algorithm = signature_hash(key)
            try:
                if algorithm is None:
                    key.verify(signature, message)  # type: ignore[call-arg]
                else:
                    key.verify(signature, message, algorithm)  # type: ignore[call-arg]
            except (exceptions.InvalidSignature, ValueError, TypeError):
                continue
            return key, ""
    return None, "signature does not verify with the trusted key" + ("s" if len(candidates) > 1 else "")


def statement_of(envelope: Envelope) -> tuple[Optional[dict[str, Any]], str]:
    """The in-toto statement of a verified envelope, or (None, why it is not one)."""
    if envelope.payload_type != PAYLOAD_TYPE:
        return None, f"payload type {envelope.payload_type!r} is not {PAYLOAD_TYPE!r}"
    try:
        statement = json.loads(_b64(envelope.payload) or b"")
    except (ValueError, RecursionError):
        return None, "signed payload is not JSON"
    if not isinstance(statement, dict) or statement.get("_type") != STATEMENT_TYPE:
        return None, f"signed payload is not an in-toto statement ({STATEMENT_TYPE})"
    return statement, ""
