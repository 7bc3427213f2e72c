"""``ondrel-sdk demo``: the bundled example models, with every service run on them."""

import os
import shlex
import sys
import tempfile

from ..arguments import EXIT_ERROR, EXIT_OK, add_command
from ..files import FileError
from ..terminal import PROG, Style, display, emit

STEPS = (
    ("Summary of the classifier",
     ["summary", "classifier.o1c"],
     "The parameter, memory and FLOP counts, the layer types and the shapes at both ends."),
    ("Lint of all three models",
     ["lint", "classifier.o1c", "classifier_trained.o1c", "detector.o1c"],
     "The detector carries one error, one warning and one info on purpose; any error gives exit status 1."),
    ("What training changed",
     ["diff", "classifier.o1c", "classifier_trained.o1c"],
     "Nudged weights and a changed stride; like diff(1), exit status 1 means the models differ."),
    ("Provenance stamp",
     ["stamp", "classifier.o1c", "-o", "classifier_stamped.o1c", "--notes", "ondrel-sdk demo", "--force"],
     "The stamp (SDK versions, time, both fingerprints, notes) goes into the graph's metadata."),
    ("Verification of the stamp",
     ["verify", "classifier_stamped.o1c"],
     "Recomputes the fingerprint and compares it with the stamped one; a mismatch gives exit status 1."),
    ("Fingerprints",
     ["fingerprint", "classifier.o1c", "classifier_trained.o1c", "detector.o1c", "classifier_stamped.o1c"],
     "Metadata is not included, so the stamped copy has the same fingerprint as the classifier."),
    ("Report of the detector",
     ["report", "detector.o1c", "-o", "detector.html"],
     "One HTML file that opens offline: the drawing with its findings marked, each layer's record, charts."),
    ("Diff report of the classifier and its trained copy",
     ["report", "classifier.o1c", "classifier_trained.o1c", "-o", "classifier_diff.html"],
     "The modified nodes are marked in the drawing; select one to see what changed."),
)


def register(commands, common, batch):
    sub = add_command(commands, run, "demo", "write the bundled example models and run every service on them",
                      "0 success, 2 the models could not be written", (common,))
    sub.add_argument("dir", nargs="?", metavar="DIR",
                     help="folder for the example models (created if missing; default: a new temporary folder)")


def run(args):
    from ... import examples
    from ..app import main

    style = Style(sys.stdout, args.no_color)
    folder = os.path.abspath(args.dir) if args.dir else tempfile.mkdtemp(prefix="ondrel-demo-")
    try:
        examples.write_examples(folder)
    except OSError as e:
        raise FileError(args.dir or folder, e.strerror or str(e)) from None
    emit(style(f"Example models written to {display(folder)}", "bold"))
    emit(f"(cd there to run the commands below yourself; {PROG} COMMAND --help tells more)")
    passthrough = ["--no-color"] if args.no_color else []
    worst = EXIT_OK
    here = os.getcwd()
    os.chdir(folder)
    try:
        for title, argv, note in STEPS:
            emit("\n" + style(f"== {title}", "bold"))
            emit(style(f"$ {PROG} {shlex.join(argv)}", "dim"), flush=True)
            status = main(argv[:1] + passthrough + argv[1:])
            emit(style(f"[exit status {status}] {note}", "dim"), flush=True)
            if status == EXIT_ERROR:
                worst = EXIT_ERROR
    finally:
        os.chdir(here)
    return worst
