"""``ondrel-sdk stamp``: a copy of a model with a provenance stamp in its metadata."""

import os

from ..arguments import EXIT_ERROR, EXIT_OK, add_command
from ..files import FileError, attempt, read_json_object, read_models, strip_path
from ..terminal import PROG, display, emit, print_error

CONFIGS = ("calibration_config", "quantization_config")


def register(commands, common, batch):
    sub = add_command(commands, run, "stamp", "write a copy of a model with a provenance stamp in its metadata",
                      "0 written, 2 unusable input or OUT exists (nothing is written then)", (common,))
    sub.add_argument("model", metavar="MODEL", help=".o1c file to stamp")
    sub.add_argument("-o", "--output", required=True, metavar="OUT", help="where to write the stamped model")
    sub.add_argument("--force", action="store_true", help="overwrite OUT if it exists")
    sub.add_argument("--notes", metavar="T", help="human-readable notes")
    sub.add_argument("--git-commit", metavar="T", help="git commit of the training code")
    sub.add_argument("--training-run-id", metavar="T", help="training run identifier")
    sub.add_argument("--calibration-config", metavar="FILE.json", help="JSON object file to record")
    sub.add_argument("--quantization-config", metavar="FILE.json", help="JSON object file to record")
    sub.add_argument("--sign", metavar="PRIVATE.pem",
                     help="also sign the stamped model with this PEM private key and store the signature in its "
                          "metadata ('verify OUT --key PUBLIC.pem' checks it); an encrypted key's password comes "
                          "from ONDREL_SDK_KEY_PASSWORD or a prompt on a terminal")


def write_model(path, graph, overwrite):
    """Write ``graph`` to ``path``: OUT is either the complete new model or untouched, and without
    ``overwrite`` never replaced, not even by a file that appeared meanwhile (the IR layer's atomic write)."""
    from ondrel import ir

    try:
        ir.write(path, graph, overwrite=overwrite)
    except FileExistsError:
        raise FileError(path, "already exists (use --force to overwrite)") from None
    except OSError as e:
        raise FileError(path, e.strerror or str(e)) from None
    except ValueError as e:  # something in the graph or its stamp that an .o1c file cannot hold
        raise FileError(path, strip_path(str(e), path)) from None


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
    if os.path.isdir(out):
        raise FileError(out, "is a directory")
    if not args.force and os.path.lexists(out):
        raise FileError(out, "already exists (use --force to overwrite)")
    configs = {name: read_json_object(path) if path is not None else None
               for name, path in zip(CONFIGS, (args.calibration_config, args.quantization_config))}
    key = None
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
    write_model(out, stamped, overwrite=args.force)
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
