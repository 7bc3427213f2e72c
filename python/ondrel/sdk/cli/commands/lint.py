"""``ondrel-sdk lint``: structural problems and suspicious parameters, per file."""

import sys

from ..arguments import EXIT_ERROR, EXIT_FINDINGS, EXIT_OK, add_command
from ..files import FileError, read_model, run_per_file
from ..formats import dumps_json, lint_sarif
from ..terminal import PROG, Style, display, emit, print_error


def register(commands, common, batch):
    sub = add_command(commands, run, "lint", "check models for structural problems and suspicious parameters",
                      "0 no errors, 1 some file has an error, 2 unusable model", (common, batch))
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files")
    sub.add_argument("--strict", action="store_true", help="treat warnings as errors")
    sub.add_argument("--format", choices=("text", "json", "sarif"), default="text",
                     help="text (default); json: a list with the lint result of each file, in argument order; "
                          "sarif: a SARIF 2.1.0 log for code-scanning services")


def lint_file(path, strict):
    from ...lint import lint_graph

    return lint_graph(read_model(path), strict).to_dict()


def _count(n, word):
    return f"{n} {word}{'' if n == 1 else 's'}"


def _lint_counts(result):
    return ", ".join(_count(result[key], word) for key, word in (("errors", "error"), ("warnings", "warning"),
                                                                 ("infos", "info")))


def render_lint_text(path, result, style):
    heading = f"{display(path)}: {_lint_counts(result)}" if result["issues"] else f"{display(path)}: no issues"
    lines = [style(heading, "bold")]
    for issue in result["issues"]:
        severity = issue["severity"]
        where = f" [{display(issue['node'])}]" if issue["node"] is not None else ""
        lines.append(f"  {style(f'{severity:<7}', severity)} {display(issue['code'])}{where}: "
                     f"{display(issue['message'])}")
        if issue["suggestion"]:
            lines.append(style(f"          suggestion: {display(issue['suggestion'])}", "dim"))
    return "\n".join(lines)


def run(args):
    style = Style(sys.stdout, args.no_color)
    outcomes, failures, entries = [], [], []
    totals = {"errors": 0, "warnings": 0, "infos": 0}
    spaced = False  # a blank line sets off every file that has issues
    for path, result in run_per_file(lint_file, args.models, (args.strict,), args.jobs, f"{PROG} lint"):
        if isinstance(result, FileError):
            print_error(result, args.no_color)
            failures.append(result)
            entries.append({"path": path, "error": result.reason})
            continue
        outcomes.append((path, result))
        entries.append({"path": path, **result})
        for key in totals:
            totals[key] += result[key]
        if args.format == "text":
            has_issues = bool(result["issues"])
            if len(outcomes) > 1 and (has_issues or spaced):
                emit()
            spaced = has_issues
            emit(render_lint_text(path, result, style), flush=True)
    if args.format == "json":
        emit(dumps_json(entries))
    elif args.format == "sarif":
        emit(dumps_json(lint_sarif(outcomes, failures)))
    elif len(args.models) > 1:
        emit(f"\n{_count(len(outcomes), 'file')} linted: {_lint_counts(totals)}")
    if failures:
        return EXIT_ERROR
    return EXIT_FINDINGS if totals["errors"] else EXIT_OK
