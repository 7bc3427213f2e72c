"""``ondrel-sdk report`` and ``ondrel-sdk draw``: pictures of a model, or of what changed between two."""

import argparse
import contextlib
import os

from ..arguments import EXIT_ERROR, EXIT_OK, add_command, add_tolerance_options
from ..files import FileError, claimed_output, describe, output_destination, read_models
from ..terminal import PROG, display, emit, print_error

PICTURE_STATUS = "0 written, 2 unusable model or output, or a model too large to draw"


def register(commands, common, batch):
    pictures = argparse.ArgumentParser(add_help=False)
    pictures.add_argument("model", metavar="MODEL", help=".o1c file (the reference A when B is given)")
    pictures.add_argument("other", nargs="?", metavar="B", help="second .o1c file: show what changed from MODEL")
    add_tolerance_options(pictures, "with B: ")

    sub = add_command(commands, run_report, "report",
                      "write a self-contained HTML report of a model, or of two models' diff", PICTURE_STATUS,
                      (common, pictures))
    sub.add_argument("-o", "--output", metavar="FILE.html",
                     help="where to write (default: MODEL.html, or MODEL-vs-B.html, in the current folder; "
                          "- for standard output); FILE.svg or FILE.dot writes the drawing alone, as draw does")
    sub.add_argument("--target", metavar="NAME|FILE",
                     help="also show how MODEL maps onto this hardware target: each node's core, the target "
                          "findings and the use of each core and resource (a shipped profile or a profile file)")

    sub = add_command(commands, run_draw, "draw",
                      "write the drawing of a model, or of two models' diff, as SVG or Graphviz DOT", PICTURE_STATUS,
                      (common, pictures))
    sub.add_argument("-o", "--output", required=True, metavar="FILE",
                     help="where to write: FILE.svg or FILE.dot (- for standard output, with --format)")
    sub.add_argument("--format", choices=("svg", "dot"), help="the format, whatever the suffix of FILE")


def render(args, kind):
    """Write the HTML report or a drawing (``kind`` "html", "svg" or "dot") of one model or of two models' diff."""
    from pathlib import Path

    from ... import report

    paths = [args.model] + ([args.other] if args.other else [])
    target = getattr(args, "target", None)
    if target and args.other:
        raise FileError(args.other, "--target shows how one model maps onto a target: give MODEL alone")
    providers = [target_report(target)] if target else []
    output = args.output or report.default_output(paths)
    target = None if output == "-" else output_destination(output)
    with claimed_output(output, target) if target else contextlib.nullcontext():  # never over a model it reads
        graphs, failures = read_models(paths, f"{PROG} {args.command}")
    for failure in failures:
        print_error(failure, args.no_color)
    if failures:
        return EXIT_ERROR
    try:
        view = (report.DiffView(*graphs, args.atol, args.rtol, sources=paths) if args.other
                else report.ModelView(graphs[0], source=args.model, providers=providers))
    except report.DrawingLimitError as e:
        raise FileError(args.other if args.other and str(e) and len(graphs[1].nodes) >= len(graphs[0].nodes)
                        else args.model, str(e)) from None
    text = getattr(view, kind)()
    if target is None:
        emit(text, end="")
        return EXIT_OK
    try:
        report.write_text(output, text)
    except OSError as e:
        raise FileError(output, describe(e)) from None
    if not target.through:  # a FIFO or /dev/stdout gets the text alone
        emit(f"Wrote {display(output)} ({Path(target.path).as_uri()})")
    return EXIT_OK


def target_report(name):
    """The report provider of the target ``name`` (a shipped profile or a profile file); FileError if unusable."""
    from ...targets.profiles import ProfileError, load_profile
    from ...targets.report import target_provider

    try:
        return target_provider(load_profile(name))
    except ProfileError as e:
        raise FileError(e.path, str(e)[len(f"{e.path}: "):]) from None


def run_report(args):
    from ...report import FORMATS

    suffix = os.path.splitext(args.output or "")[1].lower()
    return render(args, FORMATS.get(suffix, "html") if args.output not in (None, "-") else "html")


def run_draw(args):
    from ...report import output_format

    if args.format is None and args.output == "-":
        raise FileError(args.output, "standard output has no suffix: name the format with --format")
    if args.output != "-":
        output_destination(args.output)  # a folder is refused before its name is read as a suffix
    try:
        kind = args.format or output_format(args.output, ("svg", "dot"))
    except ValueError as e:
        raise FileError(args.output, str(e)) from None
    return render(args, kind)
