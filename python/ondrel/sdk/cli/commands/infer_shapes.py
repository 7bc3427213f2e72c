"""``ondrel-sdk infer-shapes``: a copy of a model with every inferable port shape filled in."""

from ..arguments import EXIT_ERROR, EXIT_OK, add_command
from ..files import FileError, attempt, claimed_output, file_destination, read_models, write_model_file
from ..terminal import PROG, display, emit, print_error


def register(commands, common, batch):
    sub = add_command(commands, run, "infer-shapes",
                      "write a copy of a model with every inferable port shape filled in",
                      "0 written, 2 unusable input or OUT exists (nothing is written then)", (common,))
    sub.add_argument("model", metavar="MODEL", help=".o1c file whose shapes are inferred")
    sub.add_argument("-o", "--output", required=True, metavar="OUT", help="where to write the model (never MODEL)")
    sub.add_argument("--overwrite", action="store_true",
                     help="also replace declared shapes that differ from the inferred ones (default: keep them)")
    sub.add_argument("--force", action="store_true", help="overwrite OUT if it exists")


def _fill(path, graph, overwrite):
    from ...shapes import check_shapes, fill_shapes

    return fill_shapes(graph, overwrite), check_shapes(graph)


def run(args):
    out = args.output
    target = file_destination(out, args.force, "a model")
    with claimed_output(out, target):  # MODEL as OUT is refused: the input is never replaced
        (graph,), failures = read_models([args.model], f"{PROG} infer-shapes")
    if failures:
        print_error(failures[0], args.no_color)
        return EXIT_ERROR
    filled = attempt(_fill, args.model, graph, args.overwrite)
    if isinstance(filled, FileError):
        print_error(filled, args.no_color)
        return EXIT_ERROR
    written, remaining = filled
    write_model_file(args.model, out, target, graph, overwrite=args.force)
    emit(f"Inferred shapes {display(args.model)} -> {display(out)}: {written} port shape"
         f"{'' if written == 1 else 's'} written")
    for issue in remaining:
        emit(f"  {issue.severity.value:<7} {issue.code} [{display(issue.node)}]: {display(issue.message)}")
    return EXIT_OK
