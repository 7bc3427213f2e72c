"""``ondrel-sdk verify``: models against the fingerprints in their provenance stamps."""

import sys

from ..arguments import EXIT_ERROR, EXIT_FINDINGS, EXIT_OK, add_command, add_format_options
from ..files import FileError, expand_models, read_model, run_per_file
from ..formats import dumps_json
from ..terminal import PROG, Style, display, emit, print_error
from ..workers import cluster


def register(commands, common, batch):
    sub = add_command(commands, run, "verify", "check models against their provenance stamps",
                      "0 every model matches its stamp, 1 some model has no stamp or does not match, "
                      "2 unusable model", (common, batch))
    sub.add_argument("models", nargs="+", metavar="MODEL", help="stamped .o1c files, or folders searched for them")
    add_format_options(sub, ("text", "json"),
                       "text: one 'PATH: OK' or 'PATH: FAILED (why)' line per file (default); json: a list "
                       'with {"path", "ok", "detail"} (or {"path", "error"}) for each file, in order')


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


def run(args):
    style = Style(sys.stdout, args.no_color)
    status, entries = EXIT_OK, []
    for path, result in run_per_file(verify_file, expand_models(args.models), (), args.jobs, f"{PROG} verify",
                                     dask=cluster(args)):
        if isinstance(result, FileError):
            print_error(result, args.no_color)
            entries.append({"path": path, "error": result.reason})
            status = EXIT_ERROR
            continue
        passed, detail = result
        entries.append({"path": path, "ok": passed, "detail": detail})
        if args.format == "text":
            verdict = style("OK", "ok") if passed else style("FAILED", "error")
            emit(f"{display(path)}: {verdict}" + (f" ({display(detail)})" if detail else ""), flush=True)
        if not passed and status == EXIT_OK:
            status = EXIT_FINDINGS
    if args.format == "json":
        emit(dumps_json(entries))
    return status
