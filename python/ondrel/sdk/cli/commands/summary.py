"""``ondrel-sdk summary``: the statistics of models."""

from ..arguments import add_command, add_format_options
from ..batch import report_per_model
from ..files import read_model
from ..formats import JSON_FORMAT_HELP, plain, table_text
from ..terminal import display


TABLE_FORMATS = ("markdown", "csv")
COLUMNS = ("Layer", "Class", "Dtype", "Output shape", "Params", "Memory", "FLOPs")
CSV_COLUMNS = ("layer", "class", "dtype", "output_shape", "params", "bytes", "flops")


def register(commands, common, batch):
    sub = add_command(commands, run, "summary",
                      "print the statistics of models", "0 success, 2 unusable model", (common, batch), check_usage)
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files, or folders searched for them")
    sub.add_argument("-v", "--verbose", action="store_true", help="add the per-layer breakdown (text format)")
    sub.add_argument("--table", action="store_true",
                     help="a table of every layer (name, class, dtypes of its tensors, output shape, parameters, "
                          "memory at the dtypes' bit widths, FLOPs) with a totals footer, instead of the report")
    add_format_options(sub, ("text", "json") + TABLE_FORMATS,
                       "text report (default), or the full statistics record as JSON, with \"tensors\": each "
                       "parameter tensor's dtype, shape and size at its bit width; for several models (or a folder) "
                       "one report per model under a '==> PATH <==' heading, or a JSON list of the records, each "
                       f'with "path", in order; {JSON_FORMAT_HELP}; markdown and csv: the table of --table, for '
                       "reports and spreadsheets (csv: plain numbers, bytes for memory)")


def check_usage(args, error):
    if args.table and args.format == "json":
        error("--table goes with the text, markdown and csv formats, not json")
    if args.verbose and (args.table or args.format in TABLE_FORMATS):
        error("--verbose adds to the text report; the table already lists every layer")


def layer_table(stats, graph):
    """(rows, totals) of the per-layer table: every layer, in node order, with plain values; memory is
    the size of the layer's tensors at their dtypes' bit widths."""
    from ...tensor_sizes import dtype_names, node_tensors, total_bytes

    rows = []
    for layer, (name, node) in zip(stats.layers, graph.nodes.items()):
        tensors = node_tensors(name, node)
        rows.append((layer.name, layer.node_type, dtype_names(tensors) or "-", shape_text(layer.output_shape),
                     int(layer.params), total_bytes(tensors), int(layer.flops)))
    return rows, (int(stats.total_params), sum(row[5] for row in rows), int(stats.total_flops))


def shape_text(shape):
    return "(" + ", ".join(str(int(d)) for d in shape) + ("," if len(shape) == 1 else "") + ")" if shape else "-"


def render_table(path, table, output_format, batch):
    from ...analyze import format_bytes

    rows, (params, size, flops) = table
    if output_format == "csv":
        return table_text(CSV_COLUMNS, list(rows) + [("total", "", "", "", params, size, flops)], "csv",
                          (path,) if batch else None)

    def cells(name, kind, dtypes, shape, count, nbytes, ops):
        return [display(name), display(kind), dtypes, shape, f"{count:,}", format_bytes(nbytes), f"{ops:,}"]

    footer = ["Total", "", "", "", f"{params:,}", format_bytes(size), f"{flops:,}"]
    return table_text(COLUMNS, [cells(*row) for row in rows], output_format, display(path) if batch else None,
                      footer=footer, numeric=(False, False, False, False, True, True, True))


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
    if output_format in ("json", "table") + TABLE_FORMATS:
        from ...analyze import analyze_graph

        stats = analyze_graph(graph)
        if output_format != "json":
            return layer_table(stats, graph)
        from ...tensor_sizes import graph_tensors

        return {**plain(stats), "tensors": [plain(tensor._asdict()) for tensor in graph_tensors(graph)]}
    from ...analyze import summarize

    return summarize(display_graph(graph), verbose=verbose)


def run(args):
    wanted = "table" if args.table and args.format == "text" else args.format

    def show(path, result, single):
        if wanted == "text":
            return result if single else f"==> {display(path)} <==\n{result}"
        shown = render_table(path, result, "text" if wanted == "table" else wanted, not single)
        return (f"==> {display(path)} <==\n" if wanted == "table" and not single else "") + shown

    return report_per_model(args, summarize_file, (wanted, args.verbose), show)
