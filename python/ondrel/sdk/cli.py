"""The ``ondrel-sdk`` command line: the four services from a terminal or from CI.

    ondrel-sdk demo                          # every service on the bundled example models
    ondrel-sdk summary model.o1c --verbose
    ondrel-sdk lint models/*.o1c --format sarif > lint.sarif
    ondrel-sdk diff before.o1c after.o1c
    ondrel-sdk fingerprint models/*.o1c
    ondrel-sdk stamp model.o1c -o release.o1c --git-commit "$(git rev-parse HEAD)"
    ondrel-sdk verify release.o1c
    ondrel-sdk report model.o1c -o model.html        # or: report before.o1c after.o1c -o diff.html
    ondrel-sdk draw model.o1c -o model.svg           # or model.dot

Exit statuses: 0 success, 1 findings (lint errors, graphs differ, failed
verification), 2 unusable input or arguments (one ``ondrel-sdk: error:`` line on
stderr naming the file).

Only the standard library is imported here; the services (and numpy) are
imported by the commands that use them, so ``--help`` stays fast.
"""

import argparse
import errno
import math
import os
import shlex
import sys
import tempfile

PROG = "ondrel-sdk"

EXIT_OK = 0
EXIT_FINDINGS = 1
EXIT_ERROR = 2

# Reading a model this large takes long enough that a terminal user wants to see what is going on.
LARGE_MODEL_BYTES = 50 * 1024 * 1024

SARIF_SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
SARIF_LEVELS = {"error": "error", "warning": "warning", "info": "note"}
SARIF_SOURCE_ROOT = "%SRCROOT%"

# Short rule texts for the SARIF rule table, one per lint code.
RULE_DESCRIPTIONS = {
    "STRUCTURE": "Graph structure is broken (dangling edge, self-loop, missing Input or Output)",
    "UNREACHABLE": "Node is not reachable from any Input",
    "DEAD_END": "Node does not reach any Output",
    "MULTI_OUTPUT": "Graph has several Output nodes",
    "LIF_LOW_TAU": "LIF time constant below 1.0",
    "LIF_HIGH_TAU": "LIF time constant above 100",
    "LIF_NONPOSITIVE_THRESHOLD": "LIF threshold is zero or negative",
    "LIF_HIGH_THRESHOLD": "LIF threshold above 10",
    "GHOST_UNUSUAL_STRIDE": "Ghost backbone block stride is neither 1 nor 2",
    "DETECT_UNUSUAL_STRIDE": "Detection head stride is not 4, 8 or 16",
    "LOW_WEIGHT_BITS": "Affine weights quantised below 4 bits",
    "HIGH_WEIGHT_BITS": "Affine weights wider than 16 bits",
    "SKIP_PASSTHROUGH_INPUTS": "Passthrough skip node without exactly one input",
    "SKIP_MERGE_INPUTS": "Merging skip node with fewer than two inputs",
    "GENERIC_NAME": "Node has a generic name",
    "PYTHON_KEYWORD": "Node name is a reserved word",
    "LARGE_MODEL": "Model has more than 10M parameters",
    "SMALL_MODEL": "Model has fewer than 100 parameters",
    "MISSING_OUTPUT_SHAPE": "Computational node has no output shape",
}

NON_FINITE_JSON = {math.inf: "inf", -math.inf: "-inf"}  # NaN is handled apart: it equals nothing

JSON_FORMAT_HELP = 'json: NaN and infinite numbers are written as the strings "nan", "inf" and "-inf"'


class InputError(Exception):
    """A model or config file that cannot be used: one line on stderr, exit status 2."""

    def __init__(self, path, reason):
        super().__init__(path, reason)  # both in args, so the error survives pickling from a worker
        self.path = path
        self.reason = reason

    def __str__(self):
        return f"{self.path}: {self.reason}"


# ---------------------------------------------------------------- terminal output


def _is_terminal(stream):
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty and isatty())
    except ValueError:  # closed stream
        return False


class Style:
    """ANSI colours for one stream: only on a terminal, never with NO_COLOR set (whatever its value)."""

    CODES = {"error": "31;1", "warning": "33;1", "info": "36", "ok": "32;1", "bold": "1", "dim": "2"}

    def __init__(self, stream, no_color=False):
        self.enabled = not no_color and "NO_COLOR" not in os.environ and _is_terminal(stream)

    def __call__(self, text, kind):
        return f"\x1b[{self.CODES[kind]}m{text}\x1b[0m" if self.enabled else text


class Progress:
    """A single self-overwriting status line on stderr.

    Shown only when stderr is a terminal and there is more than one file or a
    large one; cleared before any result is printed.
    """

    def __init__(self, label, paths):
        self.label = label
        self.total = len(paths)
        self.width = 0
        self.enabled = _is_terminal(sys.stderr) and (
            self.total > 1 or any(_file_size(p) > LARGE_MODEL_BYTES for p in paths)
        )

    def show(self, index, path):
        if not self.enabled:
            return
        text = f"{self.label} [{index + 1}/{self.total}] {path}"
        if self.total == 1:
            text = f"{self.label}: reading {path} ({_file_size(path) / 2**20:.0f} MB)"
        text = text[: _stderr_columns() - 1]  # a wrapped line could not be overwritten
        sys.stderr.write("\r" + text + " " * max(0, self.width - len(text)))
        sys.stderr.flush()
        self.width = len(text)

    def clear(self):
        if self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()
            self.width = 0


def _file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _stderr_columns():
    try:
        return os.get_terminal_size(sys.stderr.fileno()).columns or 80
    except (OSError, ValueError):
        return 80


def print_error(message, no_color=False):
    label = Style(sys.stderr, no_color)("error:", "error")
    print(f"{PROG}: {label} {message}", file=sys.stderr)


# ---------------------------------------------------------------- inputs


def _strip_path(message, path):
    prefix = f"{path}: "
    return message[len(prefix):] if message.startswith(prefix) else message


def read_model(path):
    """The graph stored in ``path``; InputError when it is missing or not a readable .o1c file."""
    from ondrel import ir

    try:
        return ir.read(path)
    except OSError as e:
        raise InputError(path, e.strerror or str(e)) from None
    except ValueError as e:  # the reader's messages start with the path already
        raise InputError(path, _strip_path(str(e), path)) from None


def read_json_object(path):
    """The JSON object stored in ``path``; InputError for anything else."""
    import json

    try:
        with open(path, encoding="utf-8") as fh:
            value = json.load(fh)
    except OSError as e:
        raise InputError(path, e.strerror or str(e)) from None
    except UnicodeDecodeError:
        raise InputError(path, "not valid JSON (not UTF-8 text)") from None
    except json.JSONDecodeError as e:
        raise InputError(path, f"not valid JSON ({e})") from None
    except RecursionError:
        raise InputError(path, "not valid JSON (nested too deeply)") from None
    if type(value) is not dict:
        raise InputError(path, f"must hold a JSON object, not {_json_type_name(value)}")
    return value


def _json_type_name(value):
    names = {list: "an array", str: "a string", int: "a number", float: "a number", bool: "a boolean"}
    return names.get(type(value), "null")


# ---------------------------------------------------------------- JSON output


def plain_json_value(value):
    """``value`` with dataclasses, tuples, numpy scalars and arrays, and enums turned into JSON types.

    Non-finite floats become the strings "nan", "inf" and "-inf", so the text is
    valid JSON for every parser.
    """
    import dataclasses
    import enum

    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        value = dataclasses.asdict(value)
    if value is None or isinstance(value, (str, bool)):
        return value
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        return NON_FINITE_JSON.get(value, float(value))
    if isinstance(value, dict):
        return {key if isinstance(key, str) else str(plain_json_value(key)): plain_json_value(item)
                for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain_json_value(item) for item in value]
    if isinstance(value, enum.Enum):
        return plain_json_value(value.value)
    tolist = getattr(value, "tolist", None)  # numpy arrays and scalars
    if tolist is not None:
        return plain_json_value(tolist())
    raise TypeError(f"cannot write a {type(value).__name__} as JSON")


def dumps_json(value):
    import json

    return json.dumps(plain_json_value(value), indent=2, ensure_ascii=False, allow_nan=False)


# ---------------------------------------------------------------- per-file tasks
#
# Module-level functions so that --jobs can run them in worker processes. Each
# returns plain data (picklable, rendered the same way whichever process made it).


def lint_file(path, strict):
    from .lint import lint_graph

    return lint_graph(read_model(path), strict).to_dict()


def fingerprint_file(path, include_weights, include_metadata):
    from .fingerprint import fingerprint_graph

    graph = read_model(path)
    try:
        return fingerprint_graph(graph, include_weights=include_weights, include_metadata=include_metadata)
    except TypeError as e:
        if not include_metadata:
            raise
        # .o1c metadata may hold arrays, which the metadata hash (JSON) cannot take.
        raise InputError(path, f"metadata cannot be fingerprinted ({e})") from None


def verify_file(path):
    """(passed, detail) for the provenance stamp of ``path``."""
    from .fingerprint import get_stamp, verify_fingerprint

    graph = read_model(path)
    try:
        stamp = get_stamp(graph)
    except TypeError as e:
        return False, f"malformed provenance stamp ({e})"
    if stamp is None:
        return False, "no provenance stamp"
    expected = stamp.get("fingerprint_full")
    if type(expected) is not str:
        return False, "provenance stamp has no fingerprint_full"
    if verify_fingerprint(graph, expected):
        when = stamp.get("timestamp")
        return True, f"stamped {when}" if isinstance(when, str) else ""
    structure = stamp.get("fingerprint_structure")
    if type(structure) is not str:
        return False, "fingerprint mismatch"
    if verify_fingerprint(graph, structure, include_weights=False):
        return False, "fingerprint mismatch: parameter values changed since stamping"
    return False, "fingerprint mismatch: structure changed since stamping"


def _attempt(task, path, *args):
    try:
        return task(path, *args)
    except InputError as e:
        return e


def run_per_file(task, paths, args, jobs, label):
    """Yield ``(path, result)`` in input order; ``result`` is an InputError for unusable files.

    With ``jobs`` > 1 the files are handled by that many worker processes.
    """
    progress = Progress(label, paths)
    try:
        if jobs > 1 and len(paths) > 1:
            from concurrent.futures import ProcessPoolExecutor

            pool = ProcessPoolExecutor(max_workers=min(jobs, len(paths)))
            try:
                futures = [pool.submit(_attempt, task, path, *args) for path in paths]
                for index, (path, future) in enumerate(zip(paths, futures)):
                    progress.show(index, path)
                    result = future.result()
                    progress.clear()
                    yield path, result
            finally:
                pool.shutdown(wait=True, cancel_futures=True)
        else:
            for index, path in enumerate(paths):
                progress.show(index, path)
                result = _attempt(task, path, *args)
                progress.clear()
                yield path, result
    finally:
        progress.clear()


def read_models(paths, label):
    """The graphs of ``paths`` read in this process, with a progress line for large or several files."""
    graphs = []
    for _, result in run_per_file(read_model, paths, (), 1, label):
        if isinstance(result, InputError):
            raise result
        graphs.append(result)
    return graphs


# ---------------------------------------------------------------- commands


def cmd_summary(args):
    (graph,) = read_models([args.model], f"{PROG} summary")
    if args.format == "json":
        from .analyze import analyze_graph

        print(dumps_json(analyze_graph(graph)))
    else:
        from .analyze import summarize

        print(summarize(graph, verbose=args.verbose))
    return EXIT_OK


def _count(n, word):
    return f"{n} {word}{'' if n == 1 else 's'}"


def _lint_counts(result):
    return ", ".join(_count(result[key], word) for key, word in (("errors", "error"), ("warnings", "warning"),
                                                                 ("infos", "info")))


def render_lint_text(path, result, style):
    heading = f"{path}: {_lint_counts(result)}" if result["issues"] else f"{path}: no issues"
    lines = [style(heading, "bold")]
    for issue in result["issues"]:
        severity = issue["severity"]
        where = f" [{issue['node']}]" if issue["node"] is not None else ""
        lines.append(f"  {style(f'{severity:<7}', severity)} {issue['code']}{where}: {issue['message']}")
        if issue["suggestion"]:
            lines.append(style(f"          suggestion: {issue['suggestion']}", "dim"))
    return "\n".join(lines)


def _sarif_uri(path):
    from pathlib import PurePath
    from urllib.parse import quote

    try:
        relative = os.path.relpath(path) if os.path.isabs(path) else os.path.normpath(path)
    except ValueError:  # another drive: no relative form exists
        return PurePath(os.path.abspath(path)).as_uri()
    return quote(PurePath(relative).as_posix())


def lint_sarif(outcomes, failures):
    """A SARIF 2.1.0 log of the lint results of ``outcomes`` (pairs of path and ``to_dict()``)."""
    from pathlib import Path

    import ondrel

    rules, rule_index, results = [], {}, []
    for path, result in outcomes:
        location = {"physicalLocation": {"artifactLocation": {"uri": _sarif_uri(path),
                                                              "uriBaseId": SARIF_SOURCE_ROOT}}}
        for issue in result["issues"]:
            code, level = issue["code"], SARIF_LEVELS[issue["severity"]]
            if code not in rule_index:
                rule_index[code] = len(rules)
                rules.append({
                    "id": code,
                    "shortDescription": {"text": RULE_DESCRIPTIONS.get(code, code.replace("_", " ").capitalize())},
                    "defaultConfiguration": {"level": level},
                })
            text = issue["message"] + (f". Suggestion: {issue['suggestion']}" if issue["suggestion"] else "")
            entry = {"ruleId": code, "ruleIndex": rule_index[code], "level": level, "message": {"text": text},
                     "locations": [dict(location)]}
            if issue["node"] is not None:
                entry["locations"][0]["logicalLocations"] = [{"name": issue["node"], "kind": "object"}]
            results.append(entry)
    invocation = {"executionSuccessful": not failures}
    if failures:
        invocation["toolExecutionNotifications"] = [
            {"level": "error", "message": {"text": str(error)}} for error in failures]
    return {
        "$schema": SARIF_SCHEMA,
        "version": "2.1.0",
        "runs": [{
            "tool": {"driver": {"name": PROG, "version": ondrel.__version__, "rules": rules}},
            "originalUriBaseIds": {SARIF_SOURCE_ROOT: {"uri": Path.cwd().as_uri().rstrip("/") + "/"}},
            "invocations": [invocation],
            "results": results,
        }],
    }


def cmd_lint(args):
    style = Style(sys.stdout, args.no_color)
    outcomes, failures = [], []
    totals = {"errors": 0, "warnings": 0, "infos": 0}
    spaced = False  # a blank line sets off every file that has issues
    for path, result in run_per_file(lint_file, args.models, (args.strict,), args.jobs, f"{PROG} lint"):
        if isinstance(result, InputError):
            print_error(result, args.no_color)
            failures.append(result)
            continue
        outcomes.append((path, result))
        for key in totals:
            totals[key] += result[key]
        if args.format == "text":
            has_issues = bool(result["issues"])
            if len(outcomes) > 1 and (has_issues or spaced):
                print()
            spaced = has_issues
            print(render_lint_text(path, result, style), flush=True)
    if args.format == "json":
        print(dumps_json({path: result for path, result in outcomes}))
    elif args.format == "sarif":
        print(dumps_json(lint_sarif(outcomes, failures)))
    elif len(args.models) > 1:
        print(f"\n{_count(len(outcomes), 'file')} linted: {_lint_counts(totals)}")
    if failures:
        return EXIT_ERROR
    return EXIT_FINDINGS if totals["errors"] else EXIT_OK


def render_structure_diff(diff, style):
    if diff.structural_match:
        return style("✓ Graph structures match", "ok")
    lines = [style("✗ Graph structures differ", "error")]
    lines += [f"  + node {name}" for name in diff.nodes_added]
    lines += [f"  - node {name}" for name in diff.nodes_removed]
    lines += [f"  + edge {src} -> {dst}" for src, dst in diff.edges_added]
    lines += [f"  - edge {src} -> {dst}" for src, dst in diff.edges_removed]
    return "\n".join(lines)


def cmd_diff(args):
    graph_a, graph_b = read_models([args.a, args.b], f"{PROG} diff")
    from .compare import compare_graphs

    diff = compare_graphs(graph_a, graph_b, args.atol, args.rtol)
    equal = diff.structural_match if args.structure_only else diff.identical
    if args.format == "json":
        print(dumps_json(diff))
    elif args.structure_only:
        print(render_structure_diff(diff, Style(sys.stdout, args.no_color)))
    else:
        print(diff.summary)
    return EXIT_OK if equal else EXIT_FINDINGS


def sha256sum_line(digest, path):
    """``digest  path`` as sha256sum writes it, escaping backslashes and line breaks in the path."""
    if any(c in path for c in "\\\n\r"):
        escaped = path.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")
        return f"\\{digest}  {escaped}"
    return f"{digest}  {path}"


def cmd_fingerprint(args):
    digests, status = {}, EXIT_OK
    task_args = (not args.structure, args.with_metadata)
    for path, result in run_per_file(fingerprint_file, args.models, task_args, args.jobs, f"{PROG} fingerprint"):
        if isinstance(result, InputError):
            print_error(result, args.no_color)
            status = EXIT_ERROR
        elif args.format == "json":
            digests[path] = result
        else:
            print(sha256sum_line(result, path), flush=True)
    if args.format == "json":
        print(dumps_json({"kind": "structure" if args.structure else "full",
                          "metadata_included": args.with_metadata, "fingerprints": digests}))
    return status


def write_model_atomically(path, graph, overwrite):
    """Write ``graph`` to ``path`` through a temporary file in the same folder, renamed into place.

    Without ``overwrite`` an existing ``path`` is never replaced, not even one
    that appeared while the file was being written. On any failure ``path`` is
    left as it was and the temporary file is removed.
    """
    from ondrel import ir

    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=folder)
    except OSError as e:
        raise InputError(path, f"cannot write there: {e.strerror or e}") from None
    os.close(fd)
    try:
        ir.write(temporary, graph)
        if overwrite:
            os.replace(temporary, path)
        else:
            _link_without_replacing(temporary, path)
    except OSError as e:
        raise InputError(path, e.strerror or str(e)) from None
    except ValueError as e:  # something in the graph or its stamp that an .o1c file cannot hold
        raise InputError(path, str(e)) from None
    finally:
        try:
            os.unlink(temporary)
        except FileNotFoundError:  # already renamed into place
            pass


def _link_without_replacing(source, path):
    try:
        os.link(source, path)  # fails if path exists, atomically
    except FileExistsError:
        raise InputError(path, "already exists (use --force to overwrite)") from None
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EXDEV, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK, errno.ENOSYS):
            raise
        # A file system without hard links: check, then rename.
        if os.path.lexists(path):
            raise InputError(path, "already exists (use --force to overwrite)") from None
        os.replace(source, path)


def cmd_stamp(args):
    out = args.output
    if os.path.isdir(out):
        raise InputError(out, "is a directory")
    if not args.force and os.path.lexists(out):
        raise InputError(out, "already exists (use --force to overwrite)")
    configs = {
        name: read_json_object(path) if path is not None else None
        for name, path in (("calibration_config", args.calibration_config),
                           ("quantization_config", args.quantization_config))
    }
    (graph,) = read_models([args.model], f"{PROG} stamp")
    from .fingerprint import get_stamp, stamp_graph

    stamped = stamp_graph(graph, notes=args.notes, git_commit=args.git_commit,
                          training_run_id=args.training_run_id, **configs)
    write_model_atomically(out, stamped, overwrite=args.force)
    stamp = get_stamp(stamped)
    print(f"Stamped {args.model} -> {out}")
    for key in ("timestamp", "fingerprint_structure", "fingerprint_full", "notes", "git_commit", "training_run_id"):
        if key in stamp:
            print(f"  {key}: {stamp[key]}")
    for key in ("calibration_config", "quantization_config"):
        if key in stamp:
            print(f"  {key}: {len(stamp[key])} entries")
    return EXIT_OK


def cmd_verify(args):
    style = Style(sys.stdout, args.no_color)
    status = EXIT_OK
    for path, result in run_per_file(verify_file, args.models, (), args.jobs, f"{PROG} verify"):
        if isinstance(result, InputError):
            print_error(result, args.no_color)
            status = EXIT_ERROR
            continue
        passed, detail = result
        verdict = style("OK", "ok") if passed else style("FAILED", "error")
        print(f"{path}: {verdict}" + (f" ({detail})" if detail else ""), flush=True)
        if not passed and status == EXIT_OK:
            status = EXIT_FINDINGS
    return status


def _render_picture(args, kind):
    """Write the HTML report or a drawing (``kind`` "html", "svg" or "dot") of one model or of two models' diff."""
    from pathlib import Path

    from . import report

    try:
        if kind != "dot":  # Graphviz users lay DOT out themselves
            report.require()
    except report.MissingExtraError as e:
        print_error(e, args.no_color)
        return EXIT_ERROR
    paths = [args.model] + ([args.other] if args.other else [])
    output = args.output or report.default_output(paths)
    graphs = read_models(paths, f"{PROG} {args.command}")
    view = (report.DiffView(*graphs, args.atol, args.rtol, sources=paths) if args.other
            else report.ModelView(graphs[0], source=args.model))
    text = getattr(view, kind)()
    if output == "-":
        sys.stdout.write(text)
        return EXIT_OK
    try:
        report.write_text(output, text)
    except OSError as e:
        raise InputError(output, e.strerror or str(e)) from None
    print(f"Wrote {output} ({Path(output).resolve().as_uri()})")
    return EXIT_OK


def cmd_report(args):
    return _render_picture(args, "html")


def cmd_draw(args):
    from .report import output_format

    if args.format is None and args.output == "-":
        raise InputError(args.output, "standard output has no suffix: name the format with --format")
    try:
        kind = args.format or output_format(args.output, ("svg", "dot"))
    except ValueError as e:
        raise InputError(args.output, str(e)) from None
    return _render_picture(args, kind)


DEMO_STEPS = (
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


def cmd_demo(args):
    from . import examples
    from .report import available as report_available

    style = Style(sys.stdout, args.no_color)
    folder = os.path.abspath(args.dir) if args.dir else tempfile.mkdtemp(prefix="ondrel-demo-")
    try:
        examples.write_examples(folder)
    except OSError as e:
        raise InputError(args.dir or folder, e.strerror or str(e)) from None
    print(style(f"Example models written to {folder}", "bold"))
    print(f"(cd there to run the commands below yourself; {PROG} COMMAND --help tells more)")
    passthrough = ["--no-color"] if args.no_color else []
    worst = EXIT_OK
    here = os.getcwd()
    os.chdir(folder)
    try:
        for title, argv, note in DEMO_STEPS:
            print("\n" + style(f"== {title}", "bold"))
            if argv[0] == "report" and not report_available():
                print(style("(skipped: reports need the 'report' extra: pip install 'ondrel[report]')", "dim"))
                continue
            print(style(f"$ {PROG} {shlex.join(argv)}", "dim"), flush=True)
            status = main(argv[:1] + passthrough + argv[1:])
            print(style(f"[exit status {status}] {note}", "dim"), flush=True)
            if status == EXIT_ERROR:
                worst = EXIT_ERROR
    finally:
        os.chdir(here)
    return worst


# ---------------------------------------------------------------- arguments


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _tolerance(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, got {text!r}")
    return value


def build_parser():
    import ondrel

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Analyse, lint, compare, fingerprint and stamp ONDREL IR models (.o1c files).",
        epilog=f"Start with '{PROG} demo'. Exit statuses: 0 success, 1 findings (lint errors, models differ, "
               "verification failed), 2 unusable input or arguments.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {ondrel.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--no-color", action="store_true",
                        help="no ANSI colours (the default off a terminal, or when NO_COLOR is set)")
    batch = argparse.ArgumentParser(add_help=False)
    batch.add_argument("-j", "--jobs", type=_positive_int, default=1, metavar="N",
                       help="handle the files in N parallel processes (default 1); output keeps the input order")

    def command(name, handler, help, epilog, parents=(common,)):
        sub = commands.add_parser(name, help=help, description=help[0].upper() + help[1:] + ".",
                                  epilog=f"exit status: {epilog}", parents=list(parents))
        sub.set_defaults(handler=handler)
        return sub

    sub = command("summary", cmd_summary, "print the statistics of a model",
                  "0 success, 2 unusable model")
    sub.add_argument("model", metavar="MODEL", help=".o1c file")
    sub.add_argument("-v", "--verbose", action="store_true", help="add the per-layer breakdown (text format)")
    sub.add_argument("--format", choices=("text", "json"), default="text",
                     help=f"text report (default), or the full statistics record as JSON; {JSON_FORMAT_HELP}")

    sub = command("lint", cmd_lint, "check models for structural problems and suspicious parameters",
                  "0 no errors, 1 some file has an error, 2 unusable model", (common, batch))
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files")
    sub.add_argument("--strict", action="store_true", help="treat warnings as errors")
    sub.add_argument("--format", choices=("text", "json", "sarif"), default="text",
                     help="text (default); json: the lint result of each file, keyed by path; "
                          "sarif: a SARIF 2.1.0 log for code-scanning services")

    sub = command("diff", cmd_diff, "compare two models",
                  "0 models equal (structure only with --structure-only), 1 they differ, 2 unusable model")
    sub.add_argument("a", metavar="A", help="reference .o1c file")
    sub.add_argument("b", metavar="B", help=".o1c file compared with A")
    sub.add_argument("--atol", type=_tolerance, default=1e-6, metavar="X",
                     help="absolute tolerance for parameter values (default 1e-6)")
    sub.add_argument("--rtol", type=_tolerance, default=1e-5, metavar="X",
                     help="relative tolerance for parameter values, relative to B (default 1e-5)")
    sub.add_argument("--structure-only", action="store_true",
                     help="compare nodes and edges only: parameter and hyper-parameter changes do not count")
    sub.add_argument("--format", choices=("text", "json"), default="text",
                     help=f"text summary (default), or the full diff record as JSON; {JSON_FORMAT_HELP}")

    sub = command("fingerprint", cmd_fingerprint, "print SHA-256 fingerprints of models",
                  "0 success, 2 unusable model", (common, batch))
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files")
    sub.add_argument("--structure", action="store_true",
                     help="fingerprint the structure only (names, layer settings, shapes, edges), not the values")
    sub.add_argument("--with-metadata", action="store_true", help="include the graph's metadata")
    sub.add_argument("--format", choices=("text", "json"), default="text",
                     help="text: one 'DIGEST  PATH' line per file, as sha256sum writes them (default); "
                          "json: the digests keyed by path")

    sub = command("stamp", cmd_stamp, "write a copy of a model with a provenance stamp in its metadata",
                  "0 written, 2 unusable input or OUT exists (nothing is written then)")
    sub.add_argument("model", metavar="MODEL", help=".o1c file to stamp")
    sub.add_argument("-o", "--output", required=True, metavar="OUT", help="where to write the stamped model")
    sub.add_argument("--force", action="store_true", help="overwrite OUT if it exists")
    sub.add_argument("--notes", metavar="T", help="human-readable notes")
    sub.add_argument("--git-commit", metavar="T", help="git commit of the training code")
    sub.add_argument("--training-run-id", metavar="T", help="training run identifier")
    sub.add_argument("--calibration-config", metavar="FILE.json", help="JSON object file to record")
    sub.add_argument("--quantization-config", metavar="FILE.json", help="JSON object file to record")

    sub = command("verify", cmd_verify, "check models against their provenance stamps",
                  "0 every model matches its stamp, 1 some model has no stamp or does not match, "
                  "2 unusable model", (common, batch))
    sub.add_argument("models", nargs="+", metavar="MODEL", help="stamped .o1c files")

    pictures = argparse.ArgumentParser(add_help=False)
    pictures.add_argument("model", metavar="MODEL", help=".o1c file (the reference A when B is given)")
    pictures.add_argument("other", nargs="?", metavar="B", help="second .o1c file: show what changed from MODEL")
    pictures.add_argument("--atol", type=_tolerance, default=1e-6, metavar="X",
                          help="with B: absolute tolerance for parameter values (default 1e-6)")
    pictures.add_argument("--rtol", type=_tolerance, default=1e-5, metavar="X",
                          help="with B: relative tolerance for parameter values, relative to B (default 1e-5)")
    picture_status = "0 written, 2 unusable model or output, or the 'report' extra is not installed"

    sub = command("report", cmd_report, "write a self-contained HTML report of a model, or of two models' diff",
                  picture_status, (common, pictures))
    sub.add_argument("-o", "--output", metavar="FILE.html",
                     help="where to write (default: MODEL.html, or MODEL-vs-B.html, in the current folder; "
                          "- for standard output)")

    sub = command("draw", cmd_draw, "write the drawing of a model, or of two models' diff, as SVG or Graphviz DOT",
                  picture_status, (common, pictures))
    sub.add_argument("-o", "--output", required=True, metavar="FILE",
                     help="where to write: FILE.svg or FILE.dot (- for standard output, with --format)")
    sub.add_argument("--format", choices=("svg", "dot"), help="the format, whatever the suffix of FILE")

    sub = command("demo", cmd_demo, "write the bundled example models and run every service on them",
                  "0 success, 2 the models could not be written")
    sub.add_argument("dir", nargs="?", metavar="DIR",
                     help="folder for the example models (created if missing; default: a new temporary folder)")
    return parser


def main(argv=None):
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except InputError as e:
        print_error(e, args.no_color)
        return EXIT_ERROR
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): silence the flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
