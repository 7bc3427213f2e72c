"""``ondrel-sdk stamp``: a copy of a model with a provenance stamp in its metadata."""

import os

from ..arguments import EXIT_ERROR, EXIT_OK, add_command
from ..files import (FileError, attempt, claimed_output, file_changed_text, file_destination, read_json_object,
                     read_models, write_model_file)
from ..terminal import PROG, display, emit, print_error

CONFIGS = ("calibration_config", "quantization_config")


def register(commands, common, batch):
    sub = add_command(commands, run, "stamp", "write a copy of a model with a provenance stamp in its metadata",
                      "0 written, 2 unusable input or OUT exists (nothing is written then)", (common,))
    sub.add_argument("model", metavar="MODEL", help=".o1c file to stamp")
    sub.add_argument("-o", "--output", required=True, metavar="OUT", help="where to write the stamped model")
    sub.add_argument("--force", action="store_true",
                     help="overwrite OUT if it exists (OUT may be MODEL itself: the stamped file replaces it whole)")
    sub.add_argument("--notes", metavar="T", help="human-readable notes")
    sub.add_argument("--git-commit", metavar="T", help="git commit of the training code")
    sub.add_argument("--training-run-id", metavar="T", help="training run identifier")
    sub.add_argument("--calibration-config", metavar="FILE.json", help="JSON object file to record")
    sub.add_argument("--quantization-config", metavar="FILE.json", help="JSON object file to record")
    sub.add_argument("--sign", metavar="PRIVATE.pem",
                     help="also sign the stamped model with this PEM private key and store the signature in its "
                          "metadata ('verify OUT --key PUBLIC.pem' checks it); an encrypted key's password comes "
                          "from ONDREL_SDK_KEY_PASSWORD or a prompt on a terminal")


def _read_back(path, public_key):
    """The fingerprints of the written file ``path``, and whether the signature in it holds for its tensors
    (True when it was not signed, ``public_key`` None)."""
    from ondrel import ir

    from ...fingerprint import fingerprint_graph_dual

    fingerprints = fingerprint_graph_dual(ir.read(path))
    if public_key is None:
        return fingerprints, True
    from ...signing import verify_signature

    return fingerprints, verify_signature(path, [public_key]).verified


def write_checked(model, out, target, stamped, overwrite, public_key=None):
    """Write the ``stamped`` copy of ``model`` to ``out`` (``target``: its Destination), or fail leaving nothing.

    The file is written beside the target and read back: only when its
    fingerprints are the ones in its stamp, and the signature it carries (by
    the key of ``public_key``) holds for it, is it renamed into place (without
    ``overwrite``, never over a file, not even one that appeared meanwhile).
    Arrays are copied from the input's map, so a model rewritten or truncated
    in place while it is stamped is an error for the input, never a stamp or a
    signature that the written file does not match.
    """
    from ...fingerprint import get_stamp

    stamp = get_stamp(stamped)

    def matches_its_stamp(temporary):
        written = attempt(_read_back, temporary, public_key)
        if isinstance(written, FileError):
            raise FileError(out, f"the written file could not be read back ({written.reason})")
        fingerprints, signature_holds = written
        if fingerprints != (stamp["fingerprint_structure"], stamp["fingerprint_full"]) or not signature_holds:
            raise FileError(model, file_changed_text)

    write_model_file(model, out, target, stamped, overwrite, matches_its_stamp)


def _stamp(path, graph, args, configs):
    from ...fingerprint import stamp_graph

    return stamp_graph(graph, notes=args.notes, git_commit=args.git_commit,
                       training_run_id=args.training_run_id, **configs)


def _sign(path, stamped, key, name):
    """The stamped graph with its signature in its metadata."""
    from ...fingerprint import get_stamp
    from ...signing import embed_signature, sign_graph

    stamp = get_stamp(stamped)
    signed = sign_graph(stamped, key, name, fingerprints=(stamp["fingerprint_structure"], stamp["fingerprint_full"]))
    return embed_signature(stamped, signed)


def run(args):
    out = args.output
    target = file_destination(out, args.force, "a model")
    key = None
    with claimed_output(out, target):  # the model itself may be the output: stamping in place is safe
        configs = {name: read_json_object(path) if path is not None else None
                   for name, path in zip(CONFIGS, (args.calibration_config, args.quantization_config))}
        if args.sign:
            from .sign import load_private_key

            key = load_private_key(args.sign)
    (graph,), failures = read_models([args.model], f"{PROG} stamp")
    if failures:
        print_error(failures[0], args.no_color)
        return EXIT_ERROR
    stamped = attempt(_stamp, args.model, graph, args, configs)
    if key is not None and not isinstance(stamped, FileError):
        stamped = attempt(_sign, args.model, stamped, key, os.path.basename(out))
    if isinstance(stamped, FileError):
        print_error(stamped, args.no_color)
        return EXIT_ERROR
    write_checked(args.model, out, target, stamped, overwrite=args.force,
                  public_key=None if key is None else key.public_key())
    from ...fingerprint import get_stamp

    stamp = get_stamp(stamped)
    emit(f"Stamped {display(args.model)} -> {display(out)}")
    for field in ("timestamp", "fingerprint_structure", "fingerprint_full", "notes", "git_commit", "training_run_id"):
        if field in stamp:
            emit(f"  {field}: {display(stamp[field])}")
    for field in CONFIGS:
        if field in stamp:
            emit(f"  {field}: {len(stamp[field])} entries")
    if key is not None:
        from ...signing import key_description, key_id

        emit(f"  signature: {key_description(key)}, key id {key_id(key.public_key())[:16]}...")
    return EXIT_OK
