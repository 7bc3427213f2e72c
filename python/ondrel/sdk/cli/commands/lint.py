"""``ondrel-sdk lint``: structural problems and suspicious parameters, per file."""

import argparse
import os
import sys

from ...lint_selection import RULES, SHAPE_CODES, LintConfigError, LintSelection, check_selectors, find_config, parse_config
from ..arguments import EXIT_ERROR, EXIT_FINDINGS, EXIT_OK, add_command, add_format_options
from ..files import FileError, expand_models, read_model, read_text_file, run_per_file
from ..formats import dumps_json, github_annotation, lint_counts, lint_github, lint_junit, lint_sarif
from ..terminal import PROG, Style, display, emit, print_error
from ..workers import cluster


def lint_codes(text):
    """A comma-separated list of lint codes or prefixes, as a tuple."""
    codes = tuple(code.strip() for code in text.split(",") if code.strip())
    if not codes:
        raise argparse.ArgumentTypeError("no lint codes given")
    try:
        return check_selectors(codes)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def register(commands, common, batch):
    sub = add_command(commands, run, "lint", "check models for structural problems and suspicious parameters",
                      "0 no errors (or --exit-zero), 1 some file has an error, 2 unusable model or configuration",
                      (common, batch))
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files, or folders searched for them")
    sub.add_argument("--strict", action=argparse.BooleanOptionalAction, default=None,
                     help="treat warnings as errors (default: the configuration's 'strict', else off)")
    sub.add_argument("--select", type=lint_codes, metavar="CODES",
                     help="report only these codes (comma-separated; a prefix such as LIF_ stands for every "
                          f"code it starts); known codes: {', '.join(RULES)}")
    sub.add_argument("--ignore", type=lint_codes, metavar="CODES",
                     help="do not report these codes (as --select; the longer of two matching codes wins)")
    sub.add_argument("--exit-zero", action="store_true",
                     help="exit 0 even when errors are found (unusable models still give 2)")
    config = sub.add_mutually_exclusive_group()
    config.add_argument("--config", metavar="PATH",
                        help="read the [tool.ondrel-sdk.lint] table of PATH (a TOML file) instead of the nearest "
                             "pyproject.toml upward from the working folder")
    config.add_argument("--isolated", action="store_true", help="read no configuration file")
    add_format_options(sub, ("text", "json", "sarif", "github", "junit"),
                       "text (default); json: a list with the lint result of each file, in order; "
                       "sarif: a SARIF 2.1.0 log for code-scanning services; github: workflow annotations; "
                       "junit: JUnit XML with one test case per model")


def lint_settings(args):
    """(selection, strict) from the configuration file and the options, which take precedence."""
    config = None
    found = None if args.isolated or args.config else find_config(os.getcwd())
    path = args.config or (found and os.path.relpath(found))
    if path is not None:
        try:
            config = parse_config(read_text_file(path), path, required=args.config is not None)
        except LintConfigError as e:
            raise FileError(e.path, e.reason) from None
    selection = LintSelection(args.select, args.ignore or (), base=config.selection() if config else None)
    strict = args.strict if args.strict is not None else bool(config and config.strict)
    return selection, strict


def lint_file(path, strict, selection):
    from ...lint import lint_graph

    graph = read_model(path)
    result = lint_graph(graph, strict)
    # Shapes are checked as the linter's own checks are: not on a broken structure.
    if any(selection.allows(code) for code in SHAPE_CODES) and not any(i.code == "STRUCTURE" for i in result.issues):
        from ...shapes import check_shapes

        for issue in check_shapes(graph):
            severity = "error" if strict and issue.severity.value == "warning" else issue.severity.value
            getattr(result, f"add_{severity}")(issue.code, issue.message, node=issue.node, suggestion=issue.suggestion)
    return selection.apply(result).to_dict()


def render_lint_text(path, result, style):
    heading = f"{display(path)}: {lint_counts(result)}" if result["issues"] else f"{display(path)}: no issues"
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
    selection, strict = lint_settings(args)
    style = Style(sys.stdout, args.no_color)
    outcomes, failures, entries = [], [], []
    totals = {"errors": 0, "warnings": 0, "infos": 0}
    spaced = False  # a blank line sets off every file that has issues
    for path, result in run_per_file(lint_file, expand_models(args.models), (strict, selection), args.jobs,
                                     f"{PROG} lint", dask=cluster(args)):
        if isinstance(result, FileError):
            print_error(result, args.no_color)
            failures.append(result)
            entries.append({"path": path, "error": result.reason})
            if args.format == "github":
                emit(github_annotation("error", path, PROG, str(result)), flush=True)
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
        elif args.format == "github" and result["issues"]:
            emit("\n".join(lint_github(path, result)), flush=True)
    if args.format == "json":
        emit(dumps_json(entries))
    elif args.format == "sarif":
        emit(dumps_json(lint_sarif(outcomes, failures)))
    elif args.format == "junit":
        emit(lint_junit(entries))
    elif args.format == "text" and len(entries) > 1:
        emit(f"\n{len(outcomes)} file{'' if len(outcomes) == 1 else 's'} linted: {lint_counts(totals)}")
    if failures:
        return EXIT_ERROR
    return EXIT_FINDINGS if totals["errors"] and not args.exit_zero else EXIT_OK
