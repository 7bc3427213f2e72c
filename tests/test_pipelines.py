"""The command line in pipelines: digest checks, lint selection and configuration, CI formats,
folders, pre-commit hooks and batches on a Dask cluster. Run as a user runs it, one process per command."""

import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest
from test_cli import child_env, cli
from test_lint import CATALOGUE

from ondrel import ir
from ondrel.sdk import examples
from ondrel.sdk.fingerprint import fingerprint_graph, stamp_graph
from ondrel.sdk.lint import lint_graph
from ondrel.sdk.lint_selection import RULES, SHAPE_CODES, TARGET_CODES

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DETECTOR_CODES = ["MULTI_OUTPUT", "LIF_NONPOSITIVE_THRESHOLD", "SKIP_MERGE_INPUTS"]


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    """A model store: models in nested folders, a stamped one, a list of their digests, an empty folder."""
    root = tmp_path_factory.mktemp("store")
    (root / "zoo" / "deep").mkdir(parents=True)
    (root / "empty").mkdir()
    ir.write(root / "classifier.o1c", examples.classifier())
    ir.write(root / "zoo" / "detector.o1c", examples.detector())
    ir.write(root / "zoo" / "deep" / "stamped.o1c", stamp_graph(examples.classifier()))
    warned = examples.classifier()
    warned.nodes["fc1"].output_type = None  # one MISSING_OUTPUT_SHAPE warning
    ir.write(root / "warned.o1c", warned)
    (root / "zoo" / "notes.txt").write_text("not a model\n")
    lines = [f"{fingerprint_graph(ir.read(root / name))}  {name}" for name in ("classifier.o1c", "zoo/detector.o1c")]
    (root / "SUMS").write_text("\n".join(lines) + "\n")
    return root


def lines(text):
    return text.splitlines()


def env_with_command(tmp_path, env):
    """``env`` with an ``ondrel-sdk`` command on PATH that runs the package under test."""
    folder = tmp_path / "bin"
    folder.mkdir()
    (folder / "ondrel-sdk").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m ondrel.sdk "$@"\n')
    (folder / "ondrel-sdk").chmod(0o755)
    return {**env, "PATH": f"{folder}{os.pathsep}{env['PATH']}"}


# ---------------------------------------------------------------- fingerprint --check

GOOD = "{classifier}  classifier.o1c"
WRONG = "0" * 64 + "  zoo/detector.o1c"
MISSING = "0" * 64 + "  missing.o1c"


@pytest.mark.parametrize("listed, options, status, out, err", [
    ([GOOD, WRONG], [], 1, ["classifier.o1c: OK", "zoo/detector.o1c: FAILED"],
     ["ondrel-sdk: WARNING: 1 computed checksum did NOT match"]),
    ([GOOD, WRONG, WRONG], ["--quiet"], 1, ["zoo/detector.o1c: FAILED"] * 2,
     ["ondrel-sdk: WARNING: 2 computed checksums did NOT match"]),
    ([GOOD, WRONG], ["--status"], 1, [], []),
    ([MISSING, GOOD], [], 2, ["missing.o1c: FAILED open or read", "classifier.o1c: OK"],
     ["ondrel-sdk: error: missing.o1c: No such file or directory",
      "ondrel-sdk: WARNING: 1 listed file could not be read"]),
    ([MISSING], ["--status"], 2, [], ["ondrel-sdk: error: missing.o1c: No such file or directory"]),
    # comments, blank lines, CRLF, upper case, the binary marker, leading blanks and a tab are read as sha256sum reads them
    (["# made by hand", "", "{upper}  classifier.o1c\r",
      "{classifier} *classifier.o1c", "  {classifier}\tclassifier.o1c"], [], 0, ["classifier.o1c: OK"] * 3, []),
    ([GOOD, "garbage", "{classifier}"], [], 0, ["classifier.o1c: OK"],
     ["ondrel-sdk: WARNING: 2 lines are improperly formatted"]),
    ([GOOD, "garbage"], ["--strict", "--warn"], 2, ["classifier.o1c: OK"],
     ["ondrel-sdk: WARNING: SUMS: 2: improperly formatted fingerprint line",
      "ondrel-sdk: WARNING: 1 line is improperly formatted"]),
    (["garbage", "\\" + "0" * 64 + "  class\\ifier.o1c"], [], 2, [],
     ["ondrel-sdk: error: SUMS: no properly formatted fingerprint lines found"]),
    (["{structure}  classifier.o1c"], ["--structure"], 0, ["classifier.o1c: OK"], []),
    (["{structure}  classifier.o1c"], [], 1, ["classifier.o1c: FAILED"],
     ["ondrel-sdk: WARNING: 1 computed checksum did NOT match"]),
])
def test_check_is_sha256sum_c(store, tmp_path, listed, options, status, out, err):
    graph = ir.read(store / "classifier.o1c")
    digest = fingerprint_graph(graph)
    digests = {"classifier": digest, "upper": digest.upper(), "structure": fingerprint_graph(graph, False)}
    sums = tmp_path / "SUMS"
    sums.write_text("\n".join(line.format(**digests) for line in listed))
    result = cli("fingerprint", "-c", str(sums), *options, cwd=store)  # the names are relative to the working folder
    assert (result.returncode, lines(result.stdout)) == (status, out)
    assert lines(result.stderr) == [e.replace("SUMS", str(sums)) for e in err]


def test_check_reads_back_every_name_it_lists(store, tmp_path):
    names = ["plain.o1c", "new\nline.o1c", "back\\slash.o1c", "carriage\rreturn.o1c", "odd\udcffbyte.o1c"]
    for name in names:
        shutil.copy(store / "classifier.o1c", tmp_path / name)
    listing = subprocess.run([sys.executable, "-m", "ondrel.sdk", "fingerprint", *names], cwd=tmp_path,
                             env=child_env(), capture_output=True)
    assert listing.returncode == 0
    checked = subprocess.run([sys.executable, "-m", "ondrel.sdk", "fingerprint", "-c", "-"], cwd=tmp_path,
                             env=child_env(), input=listing.stdout, capture_output=True)
    assert checked.returncode == 0 and checked.stderr == b""
    assert checked.stdout.splitlines() == [b"plain.o1c: OK", b"\\new\\nline.o1c: OK", b"\\back\\\\slash.o1c: OK",
                                           b"\\carriage\\rreturn.o1c: OK", b"odd\xffbyte.o1c: OK"]


def test_check_refuses_a_fifo_instead_of_waiting(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    result = cli("fingerprint", "-c", "pipe", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (2, "ondrel-sdk: error: pipe: not a regular file\n")


@pytest.mark.parametrize("argv", [["fingerprint"], ["fingerprint", "--quiet", "a.o1c"],
                                  ["fingerprint", "-c", "SUMS", "a.o1c"], ["lint", "--config", "x", "--isolated", "a"],
                                  ["lint", "-j", "2", "--dask", "tcp://127.0.0.1:1", "a"], ["lint", "--select", ",", "a"]])
def test_options_that_do_not_go_together_are_usage_errors(argv, tmp_path):
    result = cli(*argv, cwd=tmp_path)
    assert result.returncode == 2 and "usage: ondrel-sdk" in result.stderr and "Traceback" not in result.stderr


# ---------------------------------------------------------------- lint selection and configuration

CONFIG = "[tool.ondrel-sdk.lint]\n"


def lint_codes(result):
    return [issue["code"] for entry in json.loads(result.stdout) for issue in entry.get("issues", [])]


@pytest.mark.parametrize("options, config, codes, status", [
    (["--select", "LIF_"], None, ["LIF_NONPOSITIVE_THRESHOLD"], 1),
    (["--ignore", "LIF_"], None, ["MULTI_OUTPUT", "SKIP_MERGE_INPUTS"], 0),
    (["--ignore", "LIF_", "--strict"], None, ["MULTI_OUTPUT", "SKIP_MERGE_INPUTS"], 1),
    (["--select", "LIF_, SKIP_", "--ignore", "SKIP_MERGE_INPUTS"], None, ["LIF_NONPOSITIVE_THRESHOLD"], 1),
    (["--select", "LIF_NONPOSITIVE_THRESHOLD", "--ignore", "LIF_"], None, ["LIF_NONPOSITIVE_THRESHOLD"], 1),
    (["--exit-zero"], None, DETECTOR_CODES, 0),
    ([], 'ignore = ["LIF_"]', ["MULTI_OUTPUT", "SKIP_MERGE_INPUTS"], 0),
    (["--isolated"], 'ignore = ["LIF_"]', DETECTOR_CODES, 1),
    ([], 'ignore = ["LIF_"]\nstrict = true', ["MULTI_OUTPUT", "SKIP_MERGE_INPUTS"], 1),
    (["--no-strict"], 'ignore = ["LIF_"]\nstrict = true', ["MULTI_OUTPUT", "SKIP_MERGE_INPUTS"], 0),
    (["--select", "LIF_"], 'ignore = ["LIF_"]', ["LIF_NONPOSITIVE_THRESHOLD"], 1),
    (["--ignore", "MULTI_OUTPUT"], 'select = ["MULTI", "SKIP_"]', ["SKIP_MERGE_INPUTS"], 0),
    ([], '[tool.ondrel-sdk.lint.per-node-ignores]\n"stem_*" = ["LIF_"]\n"*" = ["MULTI_OUTPUT"]',
     ["MULTI_OUTPUT", "SKIP_MERGE_INPUTS"], 0),
])
def test_selection_filters_findings_and_status(store, tmp_path, options, config, codes, status):
    work = tmp_path / "project" / "sub"
    work.mkdir(parents=True)
    if config is not None:  # found upward from the working folder
        (tmp_path / "project" / "pyproject.toml").write_text(CONFIG + config)
    result = cli("lint", str(store / "zoo" / "detector.o1c"), "--format", "json", *options, cwd=work)
    assert (lint_codes(result), result.returncode, result.stderr) == (codes, status, "")


@pytest.mark.parametrize("config, options, message", [
    ('ignore = ["NOT_A_CODE"]', [],
     "pyproject.toml: unknown lint code 'NOT_A_CODE' in [tool.ondrel-sdk.lint] ignore"),
    ('[tool.ondrel-sdk.lint.per-node-ignores]\n"x" = ["BOGUS"]', [],
     "pyproject.toml: unknown lint code 'BOGUS' in [tool.ondrel-sdk.lint] per-node-ignores 'x'"),
    ("selct = []", [], "pyproject.toml: unknown key 'selct' in [tool.ondrel-sdk.lint]"),
    ('strict = "yes"', [], "pyproject.toml: [tool.ondrel-sdk.lint] strict must be true or false"),
    ('select = "LIF_"', [], "pyproject.toml: [tool.ondrel-sdk.lint] select must be a list of lint codes"),
    ("select = [", [], "pyproject.toml: not valid TOML ("),
    (None, ["--config", "missing.toml"], "missing.toml: No such file or directory"),
    (None, ["--config", "other.toml"], "other.toml: has no [tool.ondrel-sdk.lint] table"),
    (None, ["--select", "LIF_,NOPE"], "argument --select: unknown lint code 'NOPE'"),
])
def test_bad_configuration_is_one_error_naming_it(store, tmp_path, config, options, message):
    if config is not None:
        (tmp_path / "pyproject.toml").write_text(CONFIG + config)
    (tmp_path / "other.toml").write_text("[tool.black]\n")
    result = cli("lint", str(store / "classifier.o1c"), *options, cwd=tmp_path)
    assert result.returncode == 2 and result.stdout == "" and message in result.stderr
    assert "Traceback" not in result.stderr and (options[:1] == ["--select"] or result.stderr.count("\n") == 1)


@pytest.mark.parametrize("document, message", [
    ("[tool.ondrel-sdk]\nlnit = {select = ['LIF_']}\n",
     "unknown key 'lnit' in [tool.ondrel-sdk] (did you mean 'lint'? known: lint, target)"),
    ("[tool.ondrel-sdk]\nreport = {}\n", "unknown key 'report' in [tool.ondrel-sdk] (known: lint, target)"),
    ("[tool]\nondrel-sdk = [1]\n", "[tool.ondrel-sdk] must be a table, e.g. [tool.ondrel-sdk.lint] with its settings"),
    ("[tool.ondrel-sdk]\nlint = 'strict'\n", "[tool.ondrel-sdk.lint] must be a table"),
    (CONFIG + "selct = []\n", "unknown key 'selct' in [tool.ondrel-sdk.lint] (did you mean 'select'? known: select, "
                              "ignore, strict, per-node-ignores)"),
])
def test_a_misspelt_or_mistyped_table_is_an_error_naming_the_key(store, tmp_path, document, message):
    (tmp_path / "pyproject.toml").write_text(document)
    result = cli("lint", str(store / "classifier.o1c"), cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"ondrel-sdk: error: pyproject.toml: {message}\n")


def test_many_node_patterns_select_as_fnmatch_does():
    """Every shape of pattern, side by side in one selection, against fnmatch on every name."""
    import fnmatch
    import itertools

    from ondrel.sdk.lint import LintResult
    from ondrel.sdk.lint_selection import LintSelection

    patterns = ["head.*", "*_x", "a?c", "[ab]*", "exact", "x*y*z", "", "pre[", "*mid*", "[!a]b", "[]]x",
                "q[a-c]?d*e", "l[!]]z", "*", "?"]
    names = ["head.1", "head", "foo_x", "abc", "bzz", "exact", "xyz", "xaybz", "", "pre[", "a", "ab", "a\nb", "cb",
             "]x", "qbzdxe", "amidb", "l]z", "lqz", "zz"]
    for count in (1, 2, 3):
        for chosen in itertools.combinations(patterns, count):
            selection = LintSelection(per_node_ignores={pattern: ["DEAD_END"] for pattern in chosen})
            result = LintResult()
            for name in names:
                result.add_warning("DEAD_END", "m", node=name)
                result.add_warning("UNREACHABLE", "m", node=name)
            kept = [(issue.code, issue.node) for issue in selection.apply(result).issues]
            assert kept == [(code, name) for name in names for code in ("DEAD_END", "UNREACHABLE")
                            if code == "UNREACHABLE" or not any(fnmatch.fnmatchcase(name, p) for p in chosen)]


def test_catalogue_agrees_with_the_linter():
    broken = ir.Graph(nodes={"in": ir.Input()}, edges=[("in", "nowhere")])
    found = {issue.code: issue for build, *_ in CATALOGUE for issue in lint_graph(build()).issues}
    found["STRUCTURE"] = lint_graph(broken).issues[0]
    # the shape and target checks write theirs from the catalogue
    assert set(found) == set(RULES) - set(TARGET_CODES) - set(SHAPE_CODES)
    for code, issue in found.items():
        assert RULES[code].severity == issue.severity.value
        assert RULES[code].help == issue.suggestion or code == "SKIP_MERGE_INPUTS"  # its suggestion names the type
        for text, template in ((issue.message, RULES[code].message), (issue.suggestion, RULES[code].suggestion)):
            assert re.fullmatch(re.sub(r"\\\{\w+\\\}", ".+", re.escape(template)), text), (code, text)


# ---------------------------------------------------------------- formats for CI


def test_github_annotations_escape_what_the_syntax_needs(store, tmp_path):
    graph = examples.classifier()
    graph.nodes["fc1"].output_type = None
    graph.nodes["odd,100%:\nname"] = graph.nodes.pop("fc1")
    graph.edges = [tuple("odd,100%:\nname" if end == "fc1" else end for end in edge) for edge in graph.edges]
    ir.write(tmp_path / "a,b:c.o1c", graph)
    result = cli("lint", "a,b:c.o1c", "missing.o1c", "--format", "github", cwd=tmp_path)
    assert result.returncode == 2
    assert lines(result.stdout) == [
        "::warning file=a%2Cb%3Ac.o1c,title=MISSING_OUTPUT_SHAPE::a,b:c.o1c [odd,100%25:\\nname]: "
        "Node 'odd,100%25:\\nname' has no output shape. Suggestion: Output shapes should be inferred during export",
        "::error file=missing.o1c,title=ondrel-sdk::missing.o1c: No such file or directory"]


def test_junit_has_one_case_per_model(store, tmp_path):
    graph = examples.classifier()
    graph.nodes["fc1"].output_type = None
    graph.nodes["\x1b[2J\uffff"] = graph.nodes.pop("fc1")  # neither a terminal nor XML may see these raw
    graph.edges = [tuple("\x1b[2J\uffff" if end == "fc1" else end for end in edge) for edge in graph.edges]
    ir.write(tmp_path / "odd.o1c", graph)
    files = [str(store / "zoo" / "detector.o1c"), str(store / "classifier.o1c"), "missing.o1c", "odd.o1c"]
    result = cli("lint", *files, "--format", "junit", cwd=tmp_path)
    suite = ET.fromstring(result.stdout).find("testsuite")
    assert result.returncode == 2 and suite.attrib["tests"] == "4"
    assert (suite.attrib["failures"], suite.attrib["errors"]) == ("1", "1")
    detector, classifier, missing, odd = suite.findall("testcase")
    assert [case.attrib["name"] for case in (detector, classifier, missing)] == files[:3]
    failure = detector.find("failure")
    assert failure.attrib["message"] == "1 error, 1 warning, 1 info" and "LIF_NONPOSITIVE_THRESHOLD [stem_lif]" in failure.text
    assert list(classifier) == [] and missing.find("error").attrib["message"] == "No such file or directory"
    assert "[\\x1b[2J\\uffff]" in odd.find("system-out").text  # warnings alone pass


def test_sarif_rules_and_stable_fingerprints(store, tmp_path):
    shutil.copy(store / "zoo" / "detector.o1c", tmp_path / "detector.o1c")
    shutil.copy(store / "warned.o1c", tmp_path / "warned.o1c")
    runs = [json.loads(cli("lint", *files, "--strict", "--format", "sarif", cwd=tmp_path).stdout)["runs"][0]
            for files in (["detector.o1c", "warned.o1c"], ["warned.o1c", "detector.o1c"])]
    for run in runs:
        for rule in run["tool"]["driver"]["rules"]:
            entry = RULES[rule["id"]]
            level = {"error": "error", "warning": "warning", "info": "note"}[entry.severity]
            assert rule["defaultConfiguration"]["level"] == level and rule["help"]["text"] == entry.help
        assert {result["level"] for result in run["results"]} == {"error", "note"}  # promoted by --strict
    first, second = ({(r["ruleId"], r["message"]["text"]): r["partialFingerprints"] for r in run["results"]}
                     for run in runs)
    assert first == second and len({json.dumps(p) for p in first.values()}) == len(first) == 4


@pytest.mark.parametrize("argv", [
    *(["lint", "zoo", "warned.o1c", "--format", lint_format] for lint_format in ("text", "sarif", "github", "junit")),
    ["fingerprint", ".", "--format", "json"],
    ["summary", "classifier.o1c", "--format", "json"],
    ["verify", "zoo"],
    ["diff", "classifier.o1c", "zoo/detector.o1c"],
])
def test_output_file_holds_what_stdout_would(store, tmp_path, argv):
    shown = cli(*argv, cwd=store)
    written = cli(*argv, "-o", str(tmp_path / "out"), cwd=store)
    assert (written.returncode, written.stdout, written.stderr) == (shown.returncode, "", shown.stderr)
    assert (tmp_path / "out").read_text() == shown.stdout
    assert os.listdir(tmp_path) == ["out"]  # no temporary file left


@pytest.mark.parametrize("target, message", [
    ("nowhere/out.txt", "nowhere/out.txt: cannot write there: No such file or directory"),
    (".", ".: is a directory"),
    ("/dev/full", "/dev/full: No space left on device"),
])
def test_output_file_that_cannot_be_written_is_one_error(store, target, message):
    result = cli("lint", "classifier.o1c", "-o", target, cwd=store)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"ondrel-sdk: error: {message}\n")


def test_output_file_is_untouched_when_the_command_fails(store, tmp_path):
    (tmp_path / "pyproject.toml").write_text(CONFIG + "strict = 1")
    (tmp_path / "report.txt").write_text("last night's report\n")
    result = cli("lint", str(store / "classifier.o1c"), "-o", "report.txt", cwd=tmp_path)
    assert result.returncode == 2 and (tmp_path / "report.txt").read_text() == "last night's report\n"
    assert sorted(os.listdir(tmp_path)) == ["pyproject.toml", "report.txt"]


# ---------------------------------------------------------------- folders and several models


def test_folders_are_searched_recursively_in_order(store):
    result = cli("fingerprint", "zoo", "classifier.o1c", "empty", "zoo/deep", cwd=store)
    assert result.returncode == 2 and result.stderr == "ondrel-sdk: error: empty: no .o1c files in this folder\n"
    assert [line.split("  ")[1] for line in lines(result.stdout)] == [
        "zoo/deep/stamped.o1c", "zoo/detector.o1c", "classifier.o1c", "zoo/deep/stamped.o1c"]


def test_summary_of_several_models(store):
    text = cli("summary", "classifier.o1c", "missing.o1c", "zoo", cwd=store)
    assert text.returncode == 2 and text.stderr == "ondrel-sdk: error: missing.o1c: No such file or directory\n"
    assert re.findall(r"^==> (.*) <==$", text.stdout, re.M) == [
        "classifier.o1c", "zoo/deep/stamped.o1c", "zoo/detector.o1c"]
    assert "\n\n==> zoo/deep/stamped.o1c <==\nONDREL IR Graph Summary\n" in text.stdout
    data = json.loads(cli("summary", "classifier.o1c", "missing.o1c", "--format", "json", cwd=store).stdout)
    assert [entry["path"] for entry in data] == ["classifier.o1c", "missing.o1c"]
    assert data[0]["total_params"] == 25_058 and data[1] == {"path": "missing.o1c",
                                                             "error": "No such file or directory"}


def test_verify_json(store):
    result = cli("verify", "zoo", "--format", "json", cwd=store)
    data = json.loads(result.stdout)
    assert result.returncode == 1 and [(e["path"], e["ok"]) for e in data] == [
        ("zoo/deep/stamped.o1c", True), ("zoo/detector.o1c", False)]
    assert data[1]["detail"] == "no provenance stamp" and data[0]["detail"].startswith("stamped ")


@pytest.mark.parametrize("b, status, err", [("classifier.o1c", 0, ""), ("warned.o1c", 1, ""),
                                            ("missing.o1c", 2, "ondrel-sdk: error: missing.o1c: No such file or "
                                                               "directory\n")])
def test_diff_quiet_is_status_only(store, b, status, err):
    for output_format in ("text", "json"):
        result = cli("diff", "-q", "classifier.o1c", b, "--format", output_format, cwd=store)
        assert (result.returncode, result.stdout, result.stderr) == (status, "", err)


# ---------------------------------------------------------------- pre-commit


def test_pre_commit_hooks_guard_the_models_of_a_commit(store, tmp_path):
    pytest.importorskip("pre_commit")
    import yaml

    manifest = os.path.join(ROOT, ".pre-commit-hooks.yaml")
    env = child_env(PRE_COMMIT_HOME=str(tmp_path / "cache"), GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.com",
                    GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.com")
    pre_commit = [sys.executable, "-m", "pre_commit"]
    assert subprocess.run([*pre_commit, "validate-manifest", manifest], env=env).returncode == 0

    # The hooks as published, but run from this checkout instead of an environment built from scratch.
    env = env_with_command(tmp_path, env)
    with open(manifest) as handle:
        hooks = [{**{key: hook[key] for key in ("id", "name", "entry", "files") if key in hook},
                  **({"args": hook["args"]} if "args" in hook else {}), "language": "system"}
                 for hook in yaml.safe_load(handle)]
    repo = tmp_path / "repo"
    repo.mkdir()
    (repo / ".pre-commit-config.yaml").write_text(json.dumps({"repos": [{"repo": "local", "hooks": hooks}]}))
    git = ["git", "-C", str(repo)]

    def commit(*files):
        for name in files:
            shutil.copy(store / name, repo / os.path.basename(name))
        subprocess.run([*git, "add", "-A"], env=env, check=True)
        done = subprocess.run([*git, "commit", "-qm", "models"], env=env, capture_output=True, text=True)
        return done.returncode, done.stdout + done.stderr  # git shows what hooks print on stderr

    subprocess.run([*git, "init", "-q"], env=env, check=True)
    assert subprocess.run([*pre_commit, "install"], cwd=repo, env=env, capture_output=True).returncode == 0
    status, shown = commit("zoo/deep/stamped.o1c", "zoo/notes.txt")
    assert status == 0, shown
    status, shown = commit("zoo/detector.o1c")
    assert status != 0 and "detector.o1c: FAILED (no provenance stamp)" in shown
    assert "error   LIF_NONPOSITIVE_THRESHOLD [stem_lif]" in shown
    assert "stamped.o1c" not in shown  # only the files of this commit


# ---------------------------------------------------------------- Dask


@pytest.fixture(scope="module")
def dask_scheduler():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, protocol="tcp",
                                  dashboard_address=None) as cluster:
        yield cluster.scheduler_address


@pytest.mark.parametrize("argv", [["lint", ".", "missing.o1c", "--format", "sarif"], ["fingerprint", "zoo", "empty"],
                                  ["fingerprint", "-c", "SUMS"], ["verify", "zoo", "classifier.o1c"]])
def test_dask_gives_what_jobs_give(store, dask_scheduler, argv):
    on_cluster = cli(*argv, "--dask", dask_scheduler, cwd=store)
    local = cli(*argv, "--jobs", "2", cwd=store)
    assert (on_cluster.returncode, on_cluster.stdout, on_cluster.stderr) == (
        local.returncode, local.stdout, local.stderr)


def test_dask_failures_are_one_line(store, tmp_path):
    unreachable = cli("verify", "zoo", "--dask", "tcp://127.0.0.1:9", "--dask-timeout", "0.5", cwd=store)
    assert unreachable.returncode == 2 and re.fullmatch(
        r"ondrel-sdk: error: tcp://127.0.0.1:9: cannot connect to the Dask scheduler \(.+\)\n", unreachable.stderr)
    (tmp_path / "distributed").mkdir()  # a Python where the extra is not installed
    (tmp_path / "distributed" / "__init__.py").write_text("raise ImportError('not installed')\n")
    env = child_env()
    env["PYTHONPATH"] = f"{tmp_path}{os.pathsep}{env['PYTHONPATH']}"
    missing = cli("lint", "zoo", "--dask", "tcp://127.0.0.1:9", cwd=store, env=env)
    assert (missing.returncode, missing.stderr) == (
        2, "ondrel-sdk: error: tcp://127.0.0.1:9: --dask needs the 'distributed' package "
           "(pip install 'ondrel[dask]')\n")


# ---------------------------------------------------------------- the README's pipeline examples


def test_readme_pipeline_examples_run(tmp_path):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as handle:
        block = re.search(r"### In pipelines\n.*?```sh\n(.*?)```", handle.read(), re.S).group(1)
    env = env_with_command(tmp_path, child_env())
    for line in block.splitlines():
        done = subprocess.run(["bash", "-c", line], cwd=tmp_path, env=env, capture_output=True, text=True)
        assert done.returncode in (0, 1) and done.stderr == "", (line, done.stderr)
