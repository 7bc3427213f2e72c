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
                      (common, batch), check_usage=_check_usage)
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files, or folders searched for them")
    sub.add_argument("--target", metavar="NAME|FILE",
                     help="also map each model onto this target and check its quantization (TARGET_ and QUANT_ "
                          "codes, as 'check' reports them): a shipped profile (" + ", ".join(shipped_names()) + "), "
                          "a profile file, or a pyproject.toml with [tool.ondrel-sdk.target]")
    add_lint_options(sub)


def shipped_names():
    from ...targets.profiles import shipped_profiles

    return shipped_profiles()


def add_lint_options(sub):
    """The options lint and check share: strictness, code selection, configuration and output formats."""
    sub.add_argument("--strict", action=argparse.BooleanOptionalAction, default=None,
                     help="treat warnings as errors (default: the configuration's 'strict', else off)")
    sub.add_argument("--select", type=lint_codes, metavar="CODES",
                     help="report only these codes (comma-separated; a prefix such as LIF_ stands for every "
                          f"code it starts, ALL for every code); known codes: {', '.join(RULES)}; "
                          f"'{PROG} rule CODE' explains one")
    sub.add_argument("--ignore", type=lint_codes, metavar="CODES",
                     help="do not report these codes (as --select; the longer of two matching codes wins)")
    sub.add_argument("--exit-zero", action="store_true",
                     help="exit 0 even when errors are found (unusable models still give 2)")
    config = sub.add_mutually_exclusive_group()
    config.add_argument("--config", metavar="PATH",
                        help="read the [tool.ondrel-sdk.lint] table of PATH (a TOML file) instead of the nearest "
                             "pyproject.toml upward from the working folder")
    config.add_argument("--isolated", action="store_true", help="read no configuration file")
    sub.add_argument("--statistics", action="store_true",
                     help="instead of the findings, how many of each code all files have (format text or json)")
    add_format_options(sub, ("text", "concise", "json", "sarif", "github", "junit"),
                       "text (default): per file, errors then warnings then infos, with suggestions; concise: one "
                       "grep-able line per finding, 'PATH: NODE: CODE message' ('PATH: CODE message' for the "
                       "whole graph), in the same order; json: a list with the lint result of each file, in order; "
                       "sarif: a SARIF 2.1.0 log for code-scanning services; github: workflow annotations; "
                       "junit: JUnit XML with one test case per model")


def _check_usage(args, error):
    if args.statistics and args.format not in ("text", "json"):
        error(f"--statistics writes text or json, not {args.format}")


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


def target_profile(args, required):
    """The profile of --target, else the [tool.ondrel-sdk.target] table of the configuration file; None when
    neither names one and ``required`` is false. FileError for a profile that cannot be used."""
    from ...targets.profiles import ProfileError, load_profile, pyproject_profile

    try:
        if args.target:
            return load_profile(args.target)
        found = None if args.isolated or args.config else find_config(os.getcwd())
        path = args.config or (found and os.path.relpath(found))
        profile = pyproject_profile(path) if path is not None else None
    except ProfileError as e:
        raise FileError(e.path, str(e)[len(f"{e.path}: "):]) from None
    if profile is None and required:
        raise FileError(path or "pyproject.toml", "no target: give --target NAME|FILE, or set one in "
                                                  "[tool.ondrel-sdk.target]")
    return profile


def lint_file(path, strict, selection, profile=None, with_lint=True):
    """The lint result of one model as ``to_dict()``: the linter's and the shape checks' findings
    (``with_lint``), and with a ``profile`` the target and quantization findings and the utilisation (without
    one, when the linter's findings are left out, the quantization findings against the declared widths)."""
    from ...lint import LintResult, lint_graph

    graph = read_model(path)
    result = lint_graph(graph, strict) if with_lint else LintResult()
    # The SDK's own checks run as the linter's do: not on a broken structure, which the linter has reported.
    broken = with_lint and any(issue.code == "STRUCTURE" for issue in result.issues)
    issues, utilisation = [], None
    if with_lint and not broken and any(selection.allows(code) for code in SHAPE_CODES):
        from ...shapes import check_shapes

        issues += check_shapes(graph)
    if (profile is not None or not with_lint) and not broken:
        from ...targets import check_declared, check_target

        if profile is not None:
            report = check_target(graph, profile)
            issues += report.issues
            utilisation = report.utilisation
        else:
            issues += check_declared(graph)
    for issue in issues:
        severity = "error" if strict and issue.severity.value == "warning" else issue.severity.value
        getattr(result, f"add_{severity}")(issue.code, issue.message, node=issue.node, suggestion=issue.suggestion)
    found = selection.apply(result).to_dict()
    if utilisation is not None:
        found["utilisation"] = utilisation.to_dict()
    return found


def render_utilisation_text(utilisation):
    from ...targets import render_utilisation
    from ...targets.check import CoreUse, Utilisation

    cores = [CoreUse(**core) for core in utilisation["per_core"]]
    return render_utilisation(Utilisation(**{**utilisation, "per_core": cores}))


SEVERITY_ORDER = {"error": 0, "warning": 1, "info": 2}


def by_severity(issues):
    """``issues`` (dicts, as ``to_dict`` writes them) errors first, then warnings, then infos; in check order
    within each severity."""
    return sorted(issues, key=lambda issue: SEVERITY_ORDER.get(issue["severity"], 3))


def render_lint_text(path, result, style):
    heading = f"{display(path)}: {lint_counts(result)}" if result["issues"] else f"{display(path)}: no issues"
    lines = [style(heading, "bold")]
    for issue in by_severity(result["issues"]):
        severity = issue["severity"]
        where = f" [{display(issue['node'])}]" if issue["node"] is not None else ""
        lines.append(f"  {style(f'{severity:<7}', severity)} {display(issue['code'])}{where}: "
                     f"{display(issue['message'])}")
        if issue["suggestion"]:
            lines.append(style(f"          suggestion: {display(issue['suggestion'])}", "dim"))
    return "\n".join(lines)


def render_concise(path, result):
    """One line per finding, ``PATH: NODE: CODE message`` (no NODE for the whole graph)."""
    return [f"{display(path)}: {'' if issue['node'] is None else display(issue['node']) + ': '}"
            f"{display(issue['code'])} {display(issue['message'])}" for issue in by_severity(result["issues"])]


class Statistics:
    """How many findings of each code the files have, with the severity they were reported at."""

    def __init__(self):
        self.counts = {}  # (code, severity) -> count, in the order first seen

    def add(self, result):
        for issue in result["issues"]:
            key = (issue["code"], issue["severity"])
            self.counts[key] = self.counts.get(key, 0) + 1

    def rows(self):
        """(count, code, severity, summary), the most frequent first (then errors first, then by code)."""
        ordered = sorted(self.counts.items(), key=lambda item: (-item[1], SEVERITY_ORDER.get(item[0][1], 3),
                                                                 item[0][0]))
        return [(count, code, severity, RULES[code].description if code in RULES else "")
                for (code, severity), count in ordered]

    def text(self):
        rows = self.rows()
        if not rows:
            return "no findings"
        width = len(f"{rows[0][0]:,}")
        code_width = max(len(code) for _, code, _, _ in rows)
        return "\n".join(f"{count:>{width},}  {code:<{code_width}}  {severity:<7}  {summary}"
                         for count, code, severity, summary in rows)

    def record(self):
        return [{"code": code, "severity": severity, "count": count, "summary": summary}
                for count, code, severity, summary in self.rows()]


def run(args, with_lint=True):
    selection, strict = lint_settings(args)
    # lint maps onto a target only when asked to; check also onto the configuration's target.
    profile = target_profile(args, required=False) if args.target or not with_lint else None
    style = Style(sys.stdout, args.no_color)
    outcomes, failures, entries = [], [], []
    totals = {"errors": 0, "warnings": 0, "infos": 0}
    spaced = False  # a blank line sets off every file that has issues
    statistics = Statistics()
    label = f"{PROG} {'lint' if with_lint else 'check'}"
    for path, result in run_per_file(lint_file, expand_models(args.models), (strict, selection, profile, with_lint),
                                     args.jobs, label, dask=cluster(args)):
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
        if args.statistics:
            statistics.add(result)
        elif args.format == "concise":
            if result["issues"]:
                emit("\n".join(render_concise(path, result)), flush=True)
        elif args.format == "text":
            has_issues = bool(result["issues"])
            if len(outcomes) > 1 and (has_issues or spaced):
                emit()
            spaced = has_issues
            emit(render_lint_text(path, result, style), flush=True)
            if "utilisation" in result and not with_lint:
                emit(render_utilisation_text(result["utilisation"]), flush=True)
        elif args.format == "github" and result["issues"]:
            emit("\n".join(lint_github(path, result)), flush=True)
    if args.statistics:
        emit(dumps_json(statistics.record()) if args.format == "json" else statistics.text())
    elif args.format == "json":
        emit(dumps_json(entries))
    elif args.format == "sarif":
        emit(dumps_json(lint_sarif(outcomes, failures)))
    elif args.format == "junit":
        emit(lint_junit(entries))
    elif args.format == "text" and len(entries) > 1:
        verb = "linted" if with_lint else "checked"
        emit(f"\n{len(outcomes)} file{'' if len(outcomes) == 1 else 's'} {verb}: {lint_counts(totals)}")
    if failures:
        return EXIT_ERROR
    return EXIT_FINDINGS if totals["errors"] and not args.exit_zero else EXIT_OK
