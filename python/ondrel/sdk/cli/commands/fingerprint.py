"""``ondrel-sdk fingerprint``: SHA-256 fingerprints of models, listed or checked against a list."""

import contextlib
import os
import re

from ..arguments import EXIT_ERROR, EXIT_FINDINGS, EXIT_OK, add_command, add_format_options, worst
from ..files import FileError, expand_models, read_file_bytes, read_model, run_per_file
from ..formats import DECIMAL_BITS_LIMIT, dumps_json, int_text_allowed, longest_int_bits, unlimited_int_text
from ..terminal import (PROG, byte_progress, digest_line, emit, emit_bytes, file_size, print_error, print_warning,
                        verdict_line)
from ..workers import cluster

CHECK_ONLY = ("quiet", "status", "strict", "warn")


def register(commands, common, batch):
    sub = add_command(commands, run, "fingerprint", "print or check SHA-256 fingerprints of models",
                      "0 success (with --check: every listed model matches), 1 some listed model does not "
                      "match, 2 unusable model or malformed list", (common, batch), check_usage)
    sub.add_argument("models", nargs="*", metavar="MODEL", help=".o1c files, or folders searched for them")
    sub.add_argument("--structure", action="store_true",
                     help="fingerprint the structure only (names, layer settings, shapes, edges), not the values")
    sub.add_argument("--with-metadata", action="store_true", help="include the graph's metadata")
    add_format_options(sub, ("text", "json"),
                       "text: one 'DIGEST  PATH' line per file, as sha256sum writes them, or with --check one "
                       "'PATH: OK' or 'PATH: FAILED' line per listed model (default); json: the digest (with "
                       "--check, the verdict) of each file, in order")
    check = sub.add_argument_group("checking a list, as sha256sum -c does")
    check.add_argument("-c", "--check", metavar="FILE",
                       help="read 'DIGEST  PATH' lines (this command's own output) from FILE ('-': standard "
                            "input) and check each listed model; --structure and --with-metadata choose the "
                            "kind of fingerprint the list holds")
    check.add_argument("--quiet", action="store_true", help="print no line for a model that matches")
    check.add_argument("--status", action="store_true", help="print nothing (errors aside); the exit status tells")
    check.add_argument("--strict", action="store_true", help="status 2 for a list with improperly formatted lines")
    check.add_argument("-w", "--warn", action="store_true", help="warn about each improperly formatted line")


def check_usage(args, error):
    if args.check is None:
        if not args.models:
            error("the following arguments are required: MODEL (or --check FILE)")
        given = [f"--{name}" for name in CHECK_ONLY if getattr(args, name)]
        if given:
            error(f"{', '.join(given)} {'goes' if len(given) == 1 else 'go'} only with --check")
    elif args.models:
        error("--check reads the models from its list; give no MODEL as well")


def fingerprint_with_progress(path, graph, include_weights, include_metadata=False):
    """fingerprint_graph, driving the progress line by the bytes hashed when there is one."""
    from ...fingerprint import _fingerprint_graph_progress, fingerprint_graph

    progress = byte_progress(path, file_size(path))
    if progress is None:
        return fingerprint_graph(graph, include_weights=include_weights, include_metadata=include_metadata)
    return _fingerprint_graph_progress(graph, include_weights, include_metadata, progress)


def _metadata_text_limit(path, graph, include_metadata):
    """What hashing the metadata as JSON needs: its integers are written as their decimal digits, as JSON
    writes any integer, whatever the host's int-to-text limit (so digests do not depend on it); an integer
    too long to write in decimal in reasonable time is refused."""
    bits = longest_int_bits(graph.metadata) if include_metadata else 0
    if bits > DECIMAL_BITS_LIMIT:
        raise FileError(path, f"metadata holds an integer of {bits:,} bits, too long to fingerprint")
    return contextlib.nullcontext() if int_text_allowed(bits) else unlimited_int_text()


def fingerprint_file(path, include_weights, include_metadata):
    graph = read_model(path)
    try:
        with _metadata_text_limit(path, graph, include_metadata):
            return fingerprint_with_progress(path, graph, include_weights, include_metadata)
    except TypeError as e:
        if not include_metadata:
            raise
        # .o1c metadata may hold arrays, which the metadata hash (JSON) cannot take.
        raise FileError(path, f"metadata cannot be fingerprinted ({e})") from None


def _header(args):
    return {"kind": "structure" if args.structure else "full", "metadata_included": args.with_metadata}


def run(args):
    return list_fingerprints(args) if args.check is None else check_fingerprints(args)


def list_fingerprints(args):
    entries, status = [], EXIT_OK
    task_args = (not args.structure, args.with_metadata)
    for path, result in run_per_file(fingerprint_file, expand_models(args.models), task_args, args.jobs,
                                     f"{PROG} fingerprint", dask=cluster(args)):
        if isinstance(result, FileError):
            print_error(result, args.no_color)
            entries.append({"path": path, "error": result.reason})
            status = EXIT_ERROR
        elif args.format == "json":
            entries.append({"path": path, "fingerprint": result})
        else:
            emit_bytes(digest_line(result, path), flush=True)
    if args.format == "json":
        emit(dumps_json({**_header(args), "fingerprints": entries}))
    return status


# ---------------------------------------------------------------- --check

# DIGEST, a space or a tab, an optional mode character (' ' text, '*' binary), then the name to the end.
_DIGEST_LINE = re.compile(rb"[ \t]*(\\?)([0-9a-fA-F]{64})[ \t][ *]?(.+)", re.S)
_ESCAPES = {b"\\\\": b"\\", b"\\n": b"\n", b"\\r": b"\r"}


def _unescape(name):
    """A name as sha256sum escapes it, or None for a backslash that starts no known escape."""
    pieces = re.split(rb"(\\.?)", name, flags=re.S)
    if any(piece.startswith(b"\\") and piece not in _ESCAPES for piece in pieces):
        return None
    return b"".join(_ESCAPES.get(piece, piece) for piece in pieces)


def parse_digest_list(data):
    """(entries, improper): (line number, lowercase digest, path) for each usable line of a
    'DIGEST  PATH' list, and the numbers of the improperly formatted lines.

    As sha256sum -c reads them: '#' starts a comment line, blank lines and a
    trailing carriage return are ignored, and a line that starts with a
    backslash holds an escaped name.
    """
    entries, improper = [], []
    for number, line in enumerate(data.split(b"\n"), 1):
        if line.startswith(b"#"):
            continue
        line = line[:-1] if line.endswith(b"\r") else line
        if not line:
            continue
        match = _DIGEST_LINE.fullmatch(line)
        name = match and (_unescape(match.group(3)) if match.group(1) else match.group(3))
        if not name:
            improper.append(number)
            continue
        entries.append((number, match.group(2).decode().lower(), os.fsdecode(name)))
    return entries, improper


def _plural(count, one, many):
    return f"{count} {one if count == 1 else many}"


def check_fingerprints(args):
    listing = "standard input" if args.check == "-" else args.check
    entries, improper = parse_digest_list(read_file_bytes(args.check))
    if args.warn and not args.status:
        for number in improper:
            print_warning(f"{listing}: {number}: improperly formatted fingerprint line")
    if not entries:
        raise FileError(listing, "no properly formatted fingerprint lines found")
    statuses = [EXIT_ERROR if args.strict and improper else EXIT_OK]
    unreadable = mismatched = 0
    checked = []
    task_args = (not args.structure, args.with_metadata)
    results = run_per_file(fingerprint_file, [path for _, _, path in entries], task_args, args.jobs,
                           f"{PROG} fingerprint --check", dask=cluster(args))
    for (_, expected, _), (path, result) in zip(entries, results):
        if isinstance(result, FileError):
            print_error(result, args.no_color)
            unreadable += 1
            statuses.append(EXIT_ERROR)
            verdict, entry = "FAILED open or read", {"path": path, "expected": expected, "error": result.reason}
        else:
            matched = result == expected
            if not matched:
                mismatched += 1
                statuses.append(EXIT_FINDINGS)
            verdict = "OK" if matched else "FAILED"
            entry = {"path": path, "expected": expected, "fingerprint": result, "ok": matched}
        if args.status or (args.quiet and verdict == "OK"):
            continue
        if args.format == "json":
            checked.append(entry)
        else:
            emit_bytes(verdict_line(path, verdict), flush=True)
    if args.format == "json" and not args.status:
        emit(dumps_json({**_header(args), "checked": checked}))
    if not args.status:
        if improper:
            print_warning(_plural(len(improper), "line is improperly formatted", "lines are improperly formatted"))
        if unreadable:
            print_warning(_plural(unreadable, "listed file could not be read", "listed files could not be read"))
        if mismatched:
            print_warning(_plural(mismatched, "computed checksum did NOT match", "computed checksums did NOT match"))
    return worst(statuses)
