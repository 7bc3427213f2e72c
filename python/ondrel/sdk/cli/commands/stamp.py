"""``ondrel-sdk stamp``: a copy of a model with a provenance stamp in its metadata."""

import errno
import os
import tempfile

from ..arguments import EXIT_ERROR, EXIT_OK, add_command
from ..files import FileError, attempt, read_json_object, read_models
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


def write_model_atomically(path, graph, overwrite):
    """Write ``graph`` to ``path`` through a temporary file in the same folder, renamed into place.

    Without ``overwrite`` an existing ``path`` is never replaced, not even one
    that appeared while the file was being written. On any failure ``path`` is
    left as it was and the temporary file is removed.
    """
    from ondrel import ir

    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=folder)
    except OSError as e:
        raise FileError(path, f"cannot write there: {e.strerror or e}") from None
    os.close(fd)
    try:
        ir.write(temporary, graph)
        if overwrite:
            os.replace(temporary, path)
        else:
            _link_without_replacing(temporary, path)
    except OSError as e:
        raise FileError(path, e.strerror or str(e)) from None
    except ValueError as e:  # something in the graph or its stamp that an .o1c file cannot hold
        raise FileError(path, str(e)) from None
    finally:
        try:
            os.unlink(temporary)
        except FileNotFoundError:  # already renamed into place
            pass


def _link_without_replacing(source, path):
    try:
        os.link(source, path)  # fails if path exists, atomically
    except FileExistsError:
        raise FileError(path, "already exists (use --force to overwrite)") from None
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EXDEV, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK, errno.ENOSYS):
            raise
        # A file system without hard links: check, then rename.
        if os.path.lexists(path):
            raise FileError(path, "already exists (use --force to overwrite)") from None
        os.replace(source, path)


def _stamp(path, graph, args, configs):
    from ...fingerprint import stamp_graph

    return stamp_graph(graph, notes=args.notes, git_commit=args.git_commit,
                       training_run_id=args.training_run_id, **configs)


def run(args):
    out = args.output
    if os.path.isdir(out):
        raise FileError(out, "is a directory")
    if not args.force and os.path.lexists(out):
        raise FileError(out, "already exists (use --force to overwrite)")
    configs = {name: read_json_object(path) if path is not None else None
               for name, path in zip(CONFIGS, (args.calibration_config, args.quantization_config))}
    (graph,), failures = read_models([args.model], f"{PROG} stamp")
    if failures:
        print_error(failures[0], args.no_color)
        return EXIT_ERROR
    stamped = attempt(_stamp, args.model, graph, args, configs)
    if isinstance(stamped, FileError):
        print_error(stamped, args.no_color)
        return EXIT_ERROR
    write_model_atomically(out, stamped, overwrite=args.force)
    from ...fingerprint import get_stamp

    stamp = get_stamp(stamped)
    emit(f"Stamped {display(args.model)} -> {display(out)}")
    for key in ("timestamp", "fingerprint_structure", "fingerprint_full", "notes", "git_commit", "training_run_id"):
        if key in stamp:
            emit(f"  {key}: {display(stamp[key])}")
    for key in CONFIGS:
        if key in stamp:
            emit(f"  {key}: {len(stamp[key])} entries")
    return EXIT_OK
