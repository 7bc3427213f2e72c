"""``ondrel-sdk diff``: what changed between two models."""

import sys

from ..arguments import EXIT_ERROR, EXIT_FINDINGS, EXIT_OK, add_command, add_format_options, add_tolerance_options
from ..files import FileError, attempt, changed_files, file_changed_text, read_models, stat_or_none
from ..formats import JSON_FORMAT_HELP, dumps_json, plain
from ..terminal import LARGE_MODEL_BYTES, PROG, Progress, Style, display, emit, file_size, print_error


def register(commands, common, batch):
    sub = add_command(commands, run, "diff", "compare two models",
                      "0 models equal (structure only with --structure-only), 1 they differ, 2 unusable model",
                      (common,))
    sub.add_argument("a", metavar="A", help="reference .o1c file")
    sub.add_argument("b", metavar="B", help=".o1c file compared with A")
    add_tolerance_options(sub)
    sub.add_argument("--structure-only", action="store_true",
                     help="compare nodes and edges only: parameter and hyper-parameter changes do not count")
    sub.add_argument("--metadata", action="store_true",
                     help="also compare the graphs' metadata: changed keys are listed (JSON: 'metadata_changes') "
                          "and count as a difference")
    sub.add_argument("-q", "--quiet", action="store_true",
                     help="print nothing (errors aside): the exit status tells, like cmp -s")
    add_format_options(sub, ("text", "json"),
                       f"text summary (default), or the full diff record as JSON; {JSON_FORMAT_HELP}")


def summary_text(diff):
    """The diff's summary, with names and changed values shown safely."""
    import dataclasses

    def shown(texts):
        return [display(text) for text in texts]

    # The summary names added and removed nodes, and modified ones with their changes.
    modified = [node for node in diff.node_diffs if node.status == "modified"]
    texts = [*diff.nodes_added, *diff.nodes_removed, *(text for node in modified for text in (node.name, *node.changes))]
    if all(display(text) == text for text in texts):
        return diff.summary
    node_diffs = [dataclasses.replace(node, name=display(node.name), changes=shown(node.changes))
                  for node in diff.node_diffs]
    safe = dataclasses.replace(diff, nodes_added=shown(diff.nodes_added), nodes_removed=shown(diff.nodes_removed),
                               node_diffs=node_diffs)
    from ...compare import _generate_summary

    return _generate_summary(safe)


def render_structure_diff(diff, style):
    if diff.structural_match:
        return style("✓ Graph structures match", "ok")
    lines = [style("✗ Graph structures differ", "error")]
    lines += [f"  + node {display(name)}" for name in diff.nodes_added]
    lines += [f"  - node {display(name)}" for name in diff.nodes_removed]
    lines += [f"  + edge {display(src)} -> {display(dst)}" for src, dst in diff.edges_added]
    lines += [f"  - edge {display(src)} -> {display(dst)}" for src, dst in diff.edges_removed]
    return "\n".join(lines)


def _compare(label, graph_a, graph_b, atol, rtol, paths):
    """compare_graphs, driving a progress line by the bytes compared when the models are large."""
    from ...compare import _compare_graphs_progress, compare_graphs

    total = sum(file_size(path) for path in paths)
    line = Progress(f"{PROG} diff", list(paths))
    if not (line.enabled and total > LARGE_MODEL_BYTES):
        return compare_graphs(graph_a, graph_b, atol, rtol)
    try:
        return _compare_graphs_progress(graph_a, graph_b, atol, rtol, line.bytes_done(label, total))
    finally:
        line.clear()


def _changes(label, diff, graph_a, graph_b, atol, rtol):
    from ...testing import node_changes

    return node_changes(diff, graph_a, graph_b, atol, rtol)


def diff_record(diff, changes):
    """The diff as JSON types, each node's changes as objects (node, field, kind, old, new, text,
    and an array's statistics) rather than texts."""
    record = plain(diff)
    by_node = {}
    for change in changes:
        entry = plain(change)
        if change.statistics is not None:
            entry["statistics"].update(mismatched_share=change.statistics.mismatched_share,
                                       same_shape=change.statistics.same_shape)
        by_node.setdefault(change.node, []).append(entry)
    for node_diff in record["node_diffs"]:
        node_diff["changes"] = by_node.get(node_diff["name"], [])
    return record


def details_text(diff, changes):
    """The summary, then every difference by name with the statistics of each differing array."""
    from ...testing import describe_differences

    text = summary_text(diff)
    if diff.identical:
        return text
    return text + "\n\nDetails:\n" + "\n".join(f"  {line}" for line in describe_differences(diff, changes, display))


def metadata_text(changes):
    """Lines naming each changed metadata key with its old and new value."""
    from ondrel.ir._nodes import short_repr

    from ...testing import MISSING

    lines = []
    for key, old, new in changes:
        sign = "+" if old is MISSING else "-" if new is MISSING else "~"
        values = short_repr(new) if old is MISSING else short_repr(old) if new is MISSING else \
            f"{short_repr(old)} -> {short_repr(new)}"
        lines.append(f"  {sign} {display(str(key))}: {display(values)}")
    return lines


def metadata_record(changes):
    from ...testing import MISSING

    return [{"key": key, **({} if old is MISSING else {"old": plain(old)}), **({} if new is MISSING else
                                                                               {"new": plain(new)})}
            for key, old, new in changes]


def _failed(failure, paths, before, no_color):
    """Report a failure of the comparison; one that a file shrinking under it caused names that file."""
    if failure.reason == file_changed_text:
        changed = changed_files(paths, before)
        failure = FileError(", ".join(changed or paths), file_changed_text)
    print_error(failure, no_color)
    return EXIT_ERROR


def run(args):
    paths = (args.a, args.b)
    before = [stat_or_none(path) for path in paths]
    graphs, failures = read_models(list(paths), f"{PROG} diff")
    for failure in failures:
        print_error(failure, args.no_color)
    if failures:
        return EXIT_ERROR
    diff = attempt(_compare, f"{args.a}, {args.b}", *graphs, args.atol, args.rtol, paths)
    if isinstance(diff, FileError):
        return _failed(diff, paths, before, args.no_color)
    equal = diff.structural_match if args.structure_only else diff.identical
    meta = []
    if args.metadata:
        from ...testing import metadata_changes

        meta = metadata_changes(*graphs)
        equal = equal and not meta
    if args.quiet:
        return EXIT_OK if equal else EXIT_FINDINGS
    meta_lines = ["", "Metadata:", *metadata_text(meta)] if meta else []
    if args.metadata and not meta and args.format != "json":
        meta_lines = ["", "Metadata: the same"]
    if args.structure_only and args.format != "json":
        emit("\n".join([render_structure_diff(diff, Style(sys.stdout, args.no_color)), *meta_lines]))
        return EXIT_OK if equal else EXIT_FINDINGS
    changes = attempt(_changes, f"{args.a}, {args.b}", diff, *graphs, args.atol, args.rtol)
    if isinstance(changes, FileError):
        return _failed(changes, paths, before, args.no_color)
    if args.format == "json":
        record = diff_record(diff, changes)
        if args.metadata:
            record["metadata_changes"] = metadata_record(meta)
        emit(dumps_json(record))
    else:
        emit("\n".join([details_text(diff, changes), *meta_lines]))
    return EXIT_OK if equal else EXIT_FINDINGS
