"""``ondrel-sdk summary``: the statistics of a model."""

from ..arguments import EXIT_ERROR, EXIT_OK, add_command
from ..files import FileError, read_model, run_per_file
from ..formats import JSON_FORMAT_HELP, dumps_json, plain
from ..terminal import PROG, display, emit, print_error


def register(commands, common, batch):
    sub = add_command(commands, run, "summary",
                      "print the statistics of a model", "0 success, 2 unusable model", (common,))
    sub.add_argument("model", metavar="MODEL", help=".o1c file")
    sub.add_argument("-v", "--verbose", action="store_true", help="add the per-layer breakdown (text format)")
    sub.add_argument("--format", choices=("text", "json"), default="text",
                     help=f"text report (default), or the full statistics record as JSON; {JSON_FORMAT_HELP}")


def display_graph(graph):
    """``graph`` itself, or, when some node names would act on a terminal, a copy whose
    names are shown escaped (each still distinct)."""
    from ondrel import ir

    if all(display(name) == name for name in graph.nodes):
        return graph
    shown, taken = {}, set()
    for name in graph.nodes:
        label, n = display(name), 1
        while label in taken:
            n += 1
            label = f"{display(name)}#{n}"
        taken.add(label)
        shown[name] = label
    return ir.Graph(nodes={shown[name]: node for name, node in graph.nodes.items()},
                    edges=[(shown.get(a, a), shown.get(b, b)) for a, b in graph.edges], metadata=graph.metadata)


def summarize_file(path, output_format, verbose):
    graph = read_model(path)
    if output_format == "json":
        from ...analyze import analyze_graph

        return plain(analyze_graph(graph))
    from ...analyze import summarize

    return summarize(display_graph(graph), verbose=verbose)


def run(args):
    ((path, result),) = run_per_file(summarize_file, [args.model], (args.format, args.verbose), 1, f"{PROG} summary")
    if isinstance(result, FileError):
        print_error(result, args.no_color)
        return EXIT_ERROR
    emit(dumps_json(result) if args.format == "json" else result)
    return EXIT_OK
