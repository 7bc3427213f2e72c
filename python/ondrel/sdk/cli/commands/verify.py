"""``ondrel-sdk verify``: models against the fingerprints in their provenance stamps, or, with
``--key``, against signatures by trusted keys."""

import sys

from ..arguments import EXIT_ERROR, EXIT_FINDINGS, EXIT_OK, add_command, add_format_options
from ..files import FileError, expand_models, read_model, run_per_file
from ..formats import dumps_json
from ..terminal import PROG, Style, display, emit, print_error
from ..workers import cluster


def register(commands, common, batch):
    sub = add_command(commands, run, "verify", "check models against their provenance stamps, or signatures",
                      "0 every model matches its stamp (with --key: is verified), 1 some model has no stamp or "
                      "does not match (with --key: is not signed by a trusted key, or differs from the signed "
                      "model), 2 unusable model, signature or key file", (common, batch), check_usage)
    sub.add_argument("models", nargs="+", metavar="MODEL", help="stamped .o1c files, or folders searched for them")
    add_format_options(sub, ("text", "json"),
                       "text: one 'PATH: OK' or 'PATH: FAILED (why)' line per file (default); json: a list "
                       'with {"path", "ok", "detail"} (or {"path", "error"}) for each file, in order')
    signed = sub.add_argument_group("signatures (instead of the stamp's fingerprints)")
    signed.add_argument("--key", action="append", metavar="PUBLIC.pem", dest="trusted_keys",
                        help="a trusted PEM public key, or a folder of them (*.pem, *.pub); repeatable. Checks the "
                             "signature embedded by 'stamp --sign', or the one given by --signature")
    signed.add_argument("--signature", metavar="SIG",
                        help="a detached signature (a Sigstore bundle, from 'sign' or model_signing) of the one MODEL")


def check_usage(args, error):
    if args.signature is not None and not args.trusted_keys:
        error("--signature needs --key: the public keys that are trusted to have signed")
    if args.signature is not None and len(args.models) > 1:
        error("--signature is the signature of one model: give one MODEL")


def verify_file(path):
    """(passed, detail) for the provenance stamp of ``path``."""
    from ...fingerprint import get_stamp, verify_fingerprint

    from .fingerprint import fingerprint_with_progress

    graph = read_model(path)
    try:
        stamp = get_stamp(graph)
    except TypeError as e:
        return False, f"malformed provenance stamp ({e})"
    if stamp is None:
        return False, "no provenance stamp"
    expected = stamp.get("fingerprint_full")
    if type(expected) is not str:
        return False, "provenance stamp has no fingerprint_full"
    if fingerprint_with_progress(path, graph, include_weights=True) == expected:
        when = stamp.get("timestamp")
        return True, f"stamped {when}" if isinstance(when, str) else ""
    structure = stamp.get("fingerprint_structure")
    if type(structure) is not str:
        return False, "fingerprint mismatch"
    if verify_fingerprint(graph, structure, include_weights=False):
        return False, "fingerprint mismatch: parameter values changed since stamping"
    return False, "fingerprint mismatch: structure changed since stamping"


def verify_signed_file(path, key_paths, signature):
    """(verified, detail, {"key_id", "checked", "changes"}) for the signature of ``path`` (embedded when
    ``signature``, a bundle's text, is None)."""
    from .sign import load_trusted_keys, model_errors, signing_module

    signing = signing_module()
    keys = load_trusted_keys(key_paths)  # loaded here, in the worker, since key objects do not pickle
    try:
        result = signing.verify_signature(path, keys, signature=signature)
    except (OSError, ValueError) as e:
        raise model_errors(path, e) from None
    found = {"key_id": result.key_id, "checked": result.checked, "changes": [
        {"kind": c.kind, "change": c.change, "node": c.node, "item": c.item, "detail": c.detail}
        for c in result.changes]}
    if result.verified:
        return True, f"signed by {result.key_type} key {result.key_id[:16]}..., {result.checked} checked", found
    return False, result.reason, found


def run(args):
    style = Style(sys.stdout, args.no_color)
    status, entries = EXIT_OK, []
    task, task_args, models = verify_file, (), expand_models(args.models)
    if args.trusted_keys:
        from .sign import load_trusted_keys, read_signature

        load_trusted_keys(args.trusted_keys)  # a bad key file stops the command before any model is read
        if args.signature and len(models) > 1:
            raise FileError(args.signature, f"is the signature of one model, and {args.models[0]} holds "
                                            f"{len(models)}")
        signature = read_signature(args.signature) if args.signature else None
        task, task_args = verify_signed_file, (args.trusted_keys, signature)
    for path, result in run_per_file(task, models, task_args, args.jobs, f"{PROG} verify",
                                     dask=cluster(args)):
        if isinstance(result, FileError):
            print_error(result, args.no_color)
            entries.append({"path": path, "error": result.reason})
            status = EXIT_ERROR
            continue
        passed, detail, *found = result  # signatures add what was found: key id, what was checked, changes
        entries.append({"path": path, "ok": passed, "detail": detail, **(found[0] if found else {})})
        if args.format == "text":
            verdict = style("OK", "ok") if passed else style("FAILED", "error")
            emit(f"{display(path)}: {verdict}" + (f" ({display(detail)})" if detail else ""), flush=True)
        if not passed and status == EXIT_OK:
            status = EXIT_FINDINGS
    if args.format == "json":
        emit(dumps_json(entries))
    return status
