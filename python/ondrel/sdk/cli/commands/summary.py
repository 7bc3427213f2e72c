"""``ondrel-sdk summary``: the statistics of models."""

import os

from ..arguments import EXIT_ERROR, EXIT_OK, add_command, add_format_options
from ..files import FileError, expand_models, read_model, run_per_file
from ..formats import JSON_FORMAT_HELP, dumps_json, plain
from ..terminal import PROG, display, emit, print_error


def register(commands, common, batch):
    sub = add_command(commands, run, "summary",
                      "print the statistics of models", "0 success, 2 unusable model", (common, batch))
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files, or folders searched for them")
    sub.add_argument("-v", "--verbose", action="store_true", help="add the per-layer breakdown (text format)")
    add_format_options(sub, ("text", "json"),
                       "text report (default), or the full statistics record as JSON; for several models (or "
                       "a folder) one report per model under a '==> PATH <==' heading, or a JSON list of the "
                       f'records, each with "path", in order; {JSON_FORMAT_HELP}')


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
    # One file named on its own keeps the plain report or record; anything else is a batch.
    single = len(args.models) == 1 and not os.path.isdir(args.models[0])
    status, entries, reports = EXIT_OK, [], 0
    for path, result in run_per_file(summarize_file, expand_models(args.models), (args.format, args.verbose),
                                     args.jobs, f"{PROG} summary", dask=args.dask):
        if isinstance(result, FileError):
            print_error(result, args.no_color)
            entries.append({"path": path, "error": result.reason})
            status = EXIT_ERROR
        elif args.format == "json":
            entries.append(result if single else {"path": path, **result})
        elif single:
            emit(result)
        else:
            emit(("\n" if reports else "") + f"==> {display(path)} <==\n{result}", flush=True)
            reports += 1
    if args.format == "json" and not (single and status == EXIT_ERROR):
        emit(dumps_json(entries[0] if single else entries))
    return status
