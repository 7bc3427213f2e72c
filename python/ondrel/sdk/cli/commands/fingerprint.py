"""``ondrel-sdk fingerprint``: SHA-256 fingerprints, one ``DIGEST  PATH`` line per model."""

from ..arguments import EXIT_ERROR, EXIT_OK, add_command
from ..files import FileError, read_model, run_per_file
from ..formats import dumps_json
from ..terminal import PROG, digest_line, emit, emit_bytes, print_error


def register(commands, common, batch):
    sub = add_command(commands, run, "fingerprint", "print SHA-256 fingerprints of models",
                      "0 success, 2 unusable model", (common, batch))
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files")
    sub.add_argument("--structure", action="store_true",
                     help="fingerprint the structure only (names, layer settings, shapes, edges), not the values")
    sub.add_argument("--with-metadata", action="store_true", help="include the graph's metadata")
    sub.add_argument("--format", choices=("text", "json"), default="text",
                     help="text: one 'DIGEST  PATH' line per file, as sha256sum writes them (default); "
                          "json: the digest of each file, in argument order")


def fingerprint_file(path, include_weights, include_metadata):
    from ...fingerprint import fingerprint_graph

    graph = read_model(path)
    try:
        return fingerprint_graph(graph, include_weights=include_weights, include_metadata=include_metadata)
    except TypeError as e:
        if not include_metadata:
            raise
        # .o1c metadata may hold arrays, which the metadata hash (JSON) cannot take.
        raise FileError(path, f"metadata cannot be fingerprinted ({e})") from None


def run(args):
    entries, status = [], EXIT_OK
    task_args = (not args.structure, args.with_metadata)
    for path, result in run_per_file(fingerprint_file, args.models, task_args, args.jobs, f"{PROG} fingerprint"):
        if isinstance(result, FileError):
            print_error(result, args.no_color)
            entries.append({"path": path, "error": result.reason})
            status = EXIT_ERROR
        elif args.format == "json":
            entries.append({"path": path, "fingerprint": result})
        else:
            emit_bytes(digest_line(result, path), flush=True)
    if args.format == "json":
        emit(dumps_json({"kind": "structure" if args.structure else "full",
                         "metadata_included": args.with_metadata, "fingerprints": entries}))
    return status
