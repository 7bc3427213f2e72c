"""The ondrel-sdk command line, run as a user runs it: a separate process per command."""

import json
import os
import pty
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import ondrel
from ondrel import ir
from ondrel.sdk import examples
from ondrel.sdk.analyze import analyze_graph, summarize
from ondrel.sdk.compare import compare_graphs
from ondrel.sdk.fingerprint import fingerprint_graph, get_stamp, stamp_graph
from ondrel.sdk.lint import Severity, lint_graph

# The child processes must import the same ondrel as this test run, from any working folder.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(ondrel.__file__)))
DIGEST_LINE = re.compile(r"[0-9a-f]{64}  (.+)")


def child_env(**changes):
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    env.update(changes)
    return env


def cli(*args, cwd, env=None):
    return subprocess.run([sys.executable, "-m", "ondrel.sdk", *args], cwd=cwd, env=env or child_env(),
                          capture_output=True, text=True, timeout=120)


def cli_on_terminal(*args, cwd, env, stream):
    """Run with ``stream`` ("stdout" or "stderr") on a pseudo-terminal; return (status, terminal text, other)."""
    master, slave = pty.openpty()
    other = {"stdout": "stderr", "stderr": "stdout"}[stream]
    proc = subprocess.Popen([sys.executable, "-m", "ondrel.sdk", *args], cwd=cwd, env=env,
                            **{stream: slave, other: subprocess.PIPE})
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the child closed its end
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    rest = getattr(proc, other).read()
    return proc.wait(), b"".join(chunks).decode(), rest.decode()


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    folder = tmp_path_factory.mktemp("models")
    examples.write_examples(folder)
    warned = examples.classifier()
    warned.nodes["fc1"].output_type = None  # one MISSING_OUTPUT_SHAPE warning, nothing else
    ir.write(folder / "warned.o1c", warned)
    (folder / "notes.txt").write_text("not a model\n")
    (folder / "truncated.o1c").write_bytes((folder / "classifier.o1c").read_bytes()[:100])
    (folder / "bad.json").write_text('{"bits": 8,')
    (folder / "array.json").write_text("[1, 2]")
    (folder / "calibration.json").write_text('{"method": "minmax", "samples": 512, "range": [-1.5, 2.0]}')
    (folder / "folder").mkdir()
    with_array = examples.classifier()
    with_array.metadata["calibration"] = np.arange(3)  # storable, but not JSON
    ir.write(folder / "array_metadata.o1c", with_array)
    return folder


# ---------------------------------------------------------------- the bundled models


def test_examples_are_what_the_demo_says():
    classifier, trained, detector = examples.classifier(), examples.classifier_trained(), examples.detector()
    assert [type(n).__name__ for n in classifier.nodes.values()] == [
        "Input", "Conv2d", "LIF", "MaxPool2d", "Flatten", "Affine", "SpikingAffine", "LIF", "Output"]
    assert {"SGhostEncoderLite", "GhostBasicBlock1", "GhostBasicBlock2", "Skip", "Upsample", "Concat", "SDDetect",
            "DFLDecode", "Dist2BBox"} <= {type(n).__name__ for n in detector.nodes.values()}
    assert lint_graph(classifier).issues == [] and lint_graph(trained).issues == []

    detector.validate()  # the findings come from the checks, not from a broken structure
    found = {issue.severity for issue in lint_graph(detector).issues}
    assert found == {Severity.ERROR, Severity.WARNING, Severity.INFO}

    diff = compare_graphs(classifier, trained)
    # the stride change and the shapes, neurons and inputs that follow from it
    assert diff.structural_match and diff.nodes_modified == ["conv1", "fc1", "fc2", "flatten", "lif1", "pool1"]
    assert [c for d in diff.node_diffs for c in d.changes if c.startswith("stride")] == ["stride: (1, 1) → (2, 2)"]
    assert 0 < diff.max_weight_diff < 0.1


def test_examples_are_deterministic():
    for build in examples.BUILDERS.values():
        assert fingerprint_graph(build()) == fingerprint_graph(build())
    assert fingerprint_graph(examples.classifier()) != fingerprint_graph(examples.classifier_trained())


# ---------------------------------------------------------------- help and arguments


@pytest.mark.parametrize("command", ["summary", "lint", "diff", "fingerprint", "stamp", "verify", "demo"])
def test_every_command_has_help_with_exit_statuses(command, tmp_path):
    result = cli(command, "--help", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: ondrel-sdk {command}") and "exit status:" in result.stdout


def test_help_does_not_load_the_services(tmp_path):
    code = ("import contextlib, io, sys\nfrom ondrel.sdk.cli import main\n"
            "with contextlib.redirect_stdout(io.StringIO()):\n"
            "    try: main(['lint', '--help'])\n    except SystemExit: pass\n"
            "print(sorted(m for m in ('numpy', 'ondrel.ir', 'ondrel.sdk.lint') if m in sys.modules))")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=child_env(),
                            capture_output=True, text=True)
    assert result.stdout.strip() == "[]"


@pytest.mark.parametrize("argv", [[], ["lint"], ["diff", "a.o1c"], ["stamp", "a.o1c"], ["lint", "--jobs", "0", "a"],
                                  ["diff", "--atol", "-1", "a", "b"], ["diff", "--rtol", "nan", "a", "b"]])
def test_usage_errors_exit_2(argv, tmp_path):
    result = cli(*argv, cwd=tmp_path)
    assert result.returncode == 2 and "usage: ondrel-sdk" in result.stderr and "Traceback" not in result.stderr


# ---------------------------------------------------------------- unusable inputs


@pytest.mark.parametrize("argv, culprit", [
    (["summary", "missing.o1c"], "missing.o1c"),
    (["fingerprint", "notes.txt"], "notes.txt"),
    (["verify", "truncated.o1c"], "truncated.o1c"),
    (["diff", "classifier.o1c", "folder"], "folder"),
    (["stamp", "missing.o1c", "-o", "out.o1c"], "missing.o1c"),
    (["stamp", "classifier.o1c", "-o", "out.o1c", "--calibration-config", "bad.json"], "bad.json"),
    (["stamp", "classifier.o1c", "-o", "out.o1c", "--quantization-config", "array.json"], "array.json"),
    (["stamp", "classifier.o1c", "-o", "out.o1c", "--quantization-config", "missing.json"], "missing.json"),
    (["stamp", "classifier.o1c", "-o", "nowhere/out.o1c"], "nowhere/out.o1c"),
    (["fingerprint", "--with-metadata", "array_metadata.o1c"], "array_metadata.o1c"),
    (["report", "missing.o1c"], "missing.o1c"),
    (["report", "detector.o1c", "notes.txt", "-o", "x.html"], "notes.txt"),
    (["report", "detector.o1c", "-o", "nowhere/x.html"], "nowhere/x.html"),
    (["draw", "detector.o1c", "-o", "x.png"], "x.png"),
    (["draw", "detector.o1c", "-o", "-"], "-"),
])
def test_unusable_input_is_one_line_naming_the_file(models, argv, culprit):
    before = sorted(os.listdir(models))
    result = cli(*argv, cwd=models)
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"ondrel-sdk: error: {culprit}: ")
    assert sorted(os.listdir(models)) == before  # no output, no temporary file left behind


# ---------------------------------------------------------------- summary


def test_summary_text_and_json(models):
    graph = ir.read(models / "classifier.o1c")
    text = cli("summary", "classifier.o1c", cwd=models)
    verbose = cli("summary", "--verbose", "classifier.o1c", cwd=models)
    assert (text.returncode, text.stdout) == (0, summarize(graph) + "\n")
    assert verbose.stdout == summarize(graph, verbose=True) + "\n"

    data = json.loads(cli("summary", "classifier.o1c", "--format", "json", cwd=models).stdout)
    stats = analyze_graph(graph)
    assert (data["total_params"], data["depth"], data["is_dag"]) == (stats.total_params, stats.depth, True)
    assert data["input_shapes"] == [[1, 1, 16, 16]]  # tuples of numpy integers
    assert data["layers"][1]["config"]["kernel"] == [3, 3]


def test_json_stays_valid_with_non_finite_numbers(tmp_path):
    lif = ir.LIF(tau=np.zeros(0, np.float32), v_threshold=np.array([np.inf], np.float32))
    graph = ir.Graph(nodes={"in": ir.Input(), "lif": lif, "out": ir.Output()}, edges=[("in", "lif"), ("lif", "out")])
    ir.write(tmp_path / "odd.o1c", graph)
    result = cli("summary", "odd.o1c", "--format", "json", cwd=tmp_path)
    data = json.loads(result.stdout, parse_constant=lambda name: pytest.fail(f"invalid JSON constant {name}"))
    assert data["layers"][1]["config"] == {"tau_mean": "nan", "threshold": "inf"}


# ---------------------------------------------------------------- lint


@pytest.mark.parametrize("files, strict, status", [
    (["classifier.o1c", "classifier_trained.o1c"], False, 0),
    (["warned.o1c"], False, 0),
    (["warned.o1c"], True, 1),
    (["classifier.o1c", "detector.o1c"], False, 1),
])
def test_lint_exit_status(models, files, strict, status):
    result = cli("lint", *files, *(["--strict"] if strict else []), cwd=models)
    assert result.returncode == status and result.stderr == ""


def test_lint_text_groups_issues_per_file(models):
    out = cli("lint", "classifier.o1c", "classifier_trained.o1c", "detector.o1c", cwd=models).stdout
    head, detector = out.split("\n\n", 1)
    assert head == "classifier.o1c: no issues\nclassifier_trained.o1c: no issues"
    assert detector.startswith("detector.o1c: 1 error, 1 warning, 1 info\n")
    for issue in lint_graph(ir.read(models / "detector.o1c")).issues:
        node = f" [{issue.node}]" if issue.node else ""
        assert f"{issue.severity.value:<7} {issue.code}{node}: {issue.message}\n" in detector
        assert f"suggestion: {issue.suggestion}\n" in detector
    assert out.rstrip().endswith("3 files linted: 1 error, 1 warning, 1 info")


def test_lint_json_is_the_result_of_each_file(models):
    result = cli("lint", "detector.o1c", "warned.o1c", "missing.o1c", "detector.o1c", "--strict", "--format", "json",
                 cwd=models)
    data = json.loads(result.stdout)
    assert [entry["path"] for entry in data] == ["detector.o1c", "warned.o1c", "missing.o1c", "detector.o1c"]
    expected = lint_graph(ir.read(models / "detector.o1c"), strict=True).to_dict()
    assert data[0] == data[3] == {"path": "detector.o1c", **expected}
    assert data[1]["issues"][0]["severity"] == "error"  # promoted by --strict
    assert set(data[2]) == {"path", "error"} and result.returncode == 2


def check_sarif_shape(log):
    """Required members and types of a SARIF 2.1.0 log, as far as this tool writes them."""
    levels = {"none", "note", "warning", "error"}
    assert log["version"] == "2.1.0" and isinstance(log["$schema"], str) and isinstance(log["runs"], list)
    for run in log["runs"]:
        driver = run["tool"]["driver"]
        assert isinstance(driver["name"], str) and isinstance(driver.get("version", ""), str)
        rules = driver.get("rules", [])
        assert len({rule["id"] for rule in rules}) == len(rules)
        for rule in rules:
            assert isinstance(rule["id"], str) and isinstance(rule["shortDescription"]["text"], str)
            assert rule["defaultConfiguration"]["level"] in levels
        for base in run.get("originalUriBaseIds", {}).values():
            assert base["uri"].startswith("file:///") and base["uri"].endswith("/")
        for invocation in run.get("invocations", []):
            assert isinstance(invocation["executionSuccessful"], bool)
        for result in run["results"]:
            assert isinstance(result["message"]["text"], str) and result["level"] in levels
            assert rules[result["ruleIndex"]]["id"] == result["ruleId"]
            for location in result["locations"]:
                uri = location["physicalLocation"]["artifactLocation"]["uri"]
                assert isinstance(uri, str) and not re.search(r"^/|^[a-z]+:|[\s\\]", uri)
                for logical in location.get("logicalLocations", []):
                    assert isinstance(logical["name"], str) and isinstance(logical["kind"], str)


def test_lint_sarif(models):
    result = cli("lint", "detector.o1c", "warned.o1c", str(models / "classifier.o1c"), "--format", "sarif",
                 cwd=models)
    assert result.returncode == 1
    log = json.loads(result.stdout)
    check_sarif_shape(log)
    run = log["runs"][0]
    assert run["tool"]["driver"]["version"] == ondrel.__version__
    issues = [(path, issue) for path in ("detector.o1c", "warned.o1c")
              for issue in lint_graph(ir.read(models / path)).to_dict()["issues"]]
    assert len(run["results"]) == len(issues)
    for (path, issue), found in zip(issues, run["results"]):
        assert found["ruleId"] == issue["code"]
        assert found["level"] == {"error": "error", "warning": "warning", "info": "note"}[issue["severity"]]
        assert issue["message"] in found["message"]["text"] and issue["suggestion"] in found["message"]["text"]
        location = found["locations"][0]
        assert location["physicalLocation"]["artifactLocation"]["uri"] == path
        assert location.get("logicalLocations") == ([{"name": issue["node"], "kind": "object"}]
                                                    if issue["node"] else None)


# ---------------------------------------------------------------- diff


@pytest.fixture(scope="module")
def slightly_off(models):
    graph = examples.classifier()
    graph.nodes["fc1"].weight[0, 0] += 1e-3
    ir.write(models / "slightly_off.o1c", graph)
    return "slightly_off.o1c"


@pytest.mark.parametrize("b, options, status", [
    ("classifier.o1c", [], 0),
    ("classifier_trained.o1c", [], 1),
    ("classifier_trained.o1c", ["--structure-only"], 0),
    ("detector.o1c", ["--structure-only"], 1),
    ("slightly_off", [], 1),
    ("slightly_off", ["--atol", "0.01"], 0),
    ("slightly_off", ["--atol", "0", "--rtol", "0.5"], 0),
])
def test_diff_exit_status(models, slightly_off, b, options, status):
    result = cli("diff", "classifier.o1c", slightly_off if b == "slightly_off" else b, *options, cwd=models)
    assert result.returncode == status, result.stdout


def test_diff_outputs(models):
    text = cli("diff", "classifier.o1c", "classifier_trained.o1c", cwd=models).stdout
    diff = compare_graphs(str(models / "classifier.o1c"), str(models / "classifier_trained.o1c"))
    summary, details = text.split("\n\nDetails:\n")
    assert summary == diff.summary
    assert details.startswith("  Node conv1:\n    output_type: 1×8×16×16 -> 1×8×8×8\n    stride: (1, 1) → (2, 2)\n    weight:\n"
                               "      Mismatched elements: 72 / 72 (100.0%)\n      Greatest absolute difference: ")
    data = json.loads(cli("diff", "classifier.o1c", "classifier_trained.o1c", "--format", "json", cwd=models).stdout)
    stride, weight = data["node_diffs"][0]["changes"][1:3]
    assert (stride["node"], stride["field"], stride["old"], stride["new"]) == ("conv1", "stride", [1, 1], [2, 2])
    assert weight["kind"] == "array" and weight["statistics"]["mismatched"] == 72
    assert weight["statistics"]["max_abs_index"] is not None and weight["old"] == weight["new"] == [8, 1, 3, 3]
    data = json.loads(cli("diff", "classifier.o1c", "detector.o1c", "--format", "json", cwd=models).stdout)
    assert data["structural_match"] is False and ["image", "stem"] in data["edges_added"]
    assert {d["name"] for d in data["node_diffs"]} == {"image"}
    text = cli("diff", "classifier.o1c", "detector.o1c", cwd=models).stdout
    assert "\n  Structural differences:\n" in text and "\n    + edge 'image' -> 'stem'\n" not in text
    assert "\n    + edge image -> stem\n" in text and "\n    - node conv1\n" in text
    structure = cli("diff", "classifier.o1c", "detector.o1c", "--structure-only", cwd=models).stdout
    assert "  + edge image -> stem\n" in structure and "  - node conv1\n" in structure


# ---------------------------------------------------------------- fingerprint


def test_fingerprint_lines(models):
    names = ["classifier.o1c", "detector.o1c"]
    full = cli("fingerprint", *names, cwd=models).stdout.splitlines()
    structure = cli("fingerprint", "--structure", *names, cwd=models).stdout.splitlines()
    with_metadata = cli("fingerprint", "--with-metadata", *names, cwd=models).stdout.splitlines()
    for name, line_full, line_structure, line_metadata in zip(names, full, structure, with_metadata):
        graph = ir.read(models / name)
        assert line_full == f"{fingerprint_graph(graph)}  {name}"
        assert line_structure == f"{fingerprint_graph(graph, include_weights=False)}  {name}"
        assert line_metadata == f"{fingerprint_graph(graph, include_metadata=True)}  {name}" != line_full
    data = json.loads(cli("fingerprint", "--structure", "--format", "json", *names, names[0], cwd=models).stdout)
    assert data == {"kind": "structure", "metadata_included": False,
                    "fingerprints": [{"path": name, "fingerprint": line.split()[0]}
                                     for name, line in zip(names + names[:1], structure + structure[:1])]}


def test_fingerprint_escapes_paths_like_sha256sum(models, tmp_path):
    shutil.copy(models / "detector.o1c", tmp_path / "odd\\name.o1c")
    line = cli("fingerprint", "odd\\name.o1c", cwd=tmp_path).stdout
    assert re.fullmatch(r"\\[0-9a-f]{64}  odd\\\\name\.o1c\n", line)


def test_jobs_give_the_same_output_in_order(models):
    files = ["detector.o1c", "classifier.o1c", "missing.o1c", "warned.o1c", "classifier_trained.o1c"]
    for command in (["lint"], ["fingerprint"], ["lint", "--format", "sarif"]):
        serial = cli(*command, *files, cwd=models)
        parallel = cli(*command, "--jobs", "2", *files, cwd=models)
        assert (parallel.returncode, parallel.stdout, parallel.stderr) == (
            serial.returncode, serial.stdout, serial.stderr)
        assert serial.returncode == 2 and serial.stderr.count("\n") == 1
    lines = cli("fingerprint", "-j", "3", *files, cwd=models).stdout.splitlines()
    assert [DIGEST_LINE.fullmatch(line).group(1) for line in lines] == [f for f in files if f != "missing.o1c"]


# ---------------------------------------------------------------- stamp and verify


def test_stamp_writes_and_refuses_to_overwrite(models, tmp_path):
    shutil.copy(models / "calibration.json", tmp_path)
    shutil.copy(models / "classifier.o1c", tmp_path)
    result = cli("stamp", "classifier.o1c", "-o", "out.o1c", "--notes", "release 1", "--git-commit", "abc123",
                 "--training-run-id", "", "--calibration-config", "calibration.json", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    stamp = get_stamp(ir.read(tmp_path / "out.o1c"))
    assert stamp["notes"] == "release 1" and stamp["git_commit"] == "abc123" and "training_run_id" not in stamp
    assert stamp["calibration_config"] == json.loads((tmp_path / "calibration.json").read_text())
    assert stamp["fingerprint_full"] == fingerprint_graph(ir.read(tmp_path / "classifier.o1c"))
    assert stamp["fingerprint_full"] in result.stdout

    written = (tmp_path / "out.o1c").read_bytes()
    refused = cli("stamp", "classifier.o1c", "-o", "out.o1c", "--notes", "other", cwd=tmp_path)
    assert refused.returncode == 2 and refused.stderr == (
        "ondrel-sdk: error: out.o1c: already exists (use --force to overwrite)\n")
    assert (tmp_path / "out.o1c").read_bytes() == written

    forced = cli("stamp", "classifier.o1c", "-o", "out.o1c", "--notes", "other", "--force", cwd=tmp_path)
    assert forced.returncode == 0 and get_stamp(ir.read(tmp_path / "out.o1c"))["notes"] == "other"
    assert sorted(os.listdir(tmp_path)) == ["calibration.json", "classifier.o1c", "out.o1c"]


@pytest.fixture(scope="module")
def stamped(models):
    """File name -> expected verify line of a stamped model, changed after stamping or not."""
    graph = stamp_graph(examples.classifier())
    ir.write(models / "stamped.o1c", graph)
    graph.nodes["fc2"].bias = graph.nodes["fc2"].bias + 0.5
    ir.write(models / "retrained.o1c", graph)
    graph.nodes["pool1"].stride = (1, 1)
    ir.write(models / "rewired.o1c", graph)
    graph.metadata["provenance"] = ["not", "a", "stamp"]
    ir.write(models / "garbled.o1c", graph)
    return {
        "stamped.o1c": "OK (stamped ",
        "classifier.o1c": "FAILED (no provenance stamp)",
        "retrained.o1c": "FAILED (fingerprint mismatch: parameter values changed since stamping)",
        "rewired.o1c": "FAILED (fingerprint mismatch: structure changed since stamping)",
        "garbled.o1c": "FAILED (malformed provenance stamp (Expected dict, got list))",
    }


@pytest.mark.parametrize("name", ["stamped.o1c", "classifier.o1c", "retrained.o1c", "rewired.o1c", "garbled.o1c"])
def test_verify_each_case(models, stamped, name):
    result = cli("verify", name, cwd=models)
    assert result.stdout.startswith(f"{name}: {stamped[name]}")
    assert result.returncode == (0 if name == "stamped.o1c" else 1)


def test_verify_batch_fails_when_any_fails(models, stamped):
    result = cli("verify", "-j", "2", *stamped, cwd=models)
    assert result.returncode == 1
    assert [line.split(": ", 1)[0] for line in result.stdout.splitlines()] == list(stamped)


# ---------------------------------------------------------------- terminals


def test_colour_only_on_a_terminal_and_never_with_no_color(models):
    args = ("lint", "detector.o1c")
    status, screen, _ = cli_on_terminal(*args, cwd=models, env=child_env(), stream="stdout")
    assert status == 1 and "\x1b[31;1merror" in screen
    for env in (child_env(NO_COLOR=""), child_env(NO_COLOR="1")):
        status, screen, _ = cli_on_terminal(*args, cwd=models, env=env, stream="stdout")
        assert status == 1 and "\x1b[" not in screen and "error   LIF_NONPOSITIVE_THRESHOLD" in screen
    assert "\x1b[" not in cli_on_terminal(*args, "--no-color", cwd=models, env=child_env(), stream="stdout")[1]
    assert "\x1b[" not in cli(*args, cwd=models).stdout


def test_progress_line_only_on_a_terminal_for_batches(models):
    files = ("classifier.o1c", "detector.o1c")
    status, progress, out = cli_on_terminal("fingerprint", *files, cwd=models, env=child_env(), stream="stderr")
    assert status == 0 and "\rondrel-sdk fingerprint [2/2] detector.o1c" in progress
    assert progress.endswith("\r") and progress.strip(" \r") != ""  # overwritten by blanks at the end
    assert out == cli("fingerprint", *files, cwd=models).stdout
    assert cli_on_terminal("fingerprint", files[0], cwd=models, env=child_env(), stream="stderr")[1] == ""
    assert cli("fingerprint", *files, cwd=models).stderr == ""


@pytest.mark.parametrize("command", [["fingerprint", "large.o1c"], ["verify", "large.o1c"],
                                     ["diff", "large.o1c", "large.o1c"]])
def test_progress_of_a_large_model_counts_the_bytes_processed(tmp_path, command):
    weight = np.ones((4096, 4096), np.float32)  # 64 MiB, above the 50 MB that earns a progress line
    graph = stamp_graph(ir.Graph(nodes={"in": ir.Input(), "fc": ir.Affine(weight=weight), "out": ir.Output()},
                                 edges=[("in", "fc"), ("fc", "out")]))
    ir.write(tmp_path / "large.o1c", graph)
    status, progress, _ = cli_on_terminal(*command, cwd=tmp_path, env=child_env(), stream="stderr")
    assert status == 0 and re.search(r"large\.o1c \d+ of \d+ MB \(\d+%\)", progress), progress
    shares = [int(share) for share in re.findall(r"\((\d+)%\)", progress)]
    assert len(shares) >= 2 and shares == sorted(shares) and 95 <= shares[-1] <= 100


# ---------------------------------------------------------------- demo


def test_demo_runs_every_service(tmp_path):
    result = cli("demo", "demo", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    folder = tmp_path / "demo"
    assert sorted(os.listdir(folder)) == [
        "classifier.o1c", "classifier_diff.html", "classifier_stamped.o1c", "classifier_trained.o1c", "detector.html",
        "detector.o1c"]
    out = result.stdout
    sections = [out.index(f"$ ondrel-sdk {command} ") for command in
                ("summary", "lint", "diff", "stamp", "verify", "fingerprint")]
    assert sections == sorted(sections)
    assert "detector.o1c: 1 error, 1 warning, 1 info" in out and "classifier_stamped.o1c: OK" in out
    digests = {match.group(1): line[:64] for line in out.splitlines() if (match := DIGEST_LINE.fullmatch(line))}
    assert digests["classifier_stamped.o1c"] == digests["classifier.o1c"] == fingerprint_graph(examples.classifier())

    again = cli("demo", cwd=tmp_path)  # default: a new temporary folder, named in the output
    made = re.match(r"Example models written to (.+)\n", again.stdout).group(1)
    try:
        assert again.returncode == 0 and os.path.isfile(os.path.join(made, "classifier_stamped.o1c"))
    finally:
        shutil.rmtree(made)


def test_summary_table_in_every_format(models):
    import csv

    stats = analyze_graph(ir.read(models / "detector.o1c"))
    text = cli("summary", "--table", "detector.o1c", cwd=models).stdout.splitlines()
    assert text[0].split() == ["Layer", "Class", "Dtype", "Output", "shape", "Params", "Memory", "FLOPs"]
    assert [line.split()[0] for line in text[2:-2]] == [layer.name for layer in stats.layers]  # every layer
    assert text[-1].split()[0] == "Total" and f"{stats.total_params:,}" in text[-1] and f"{stats.total_flops:,}" in text[-1]
    markdown = cli("summary", "detector.o1c", "--format", "markdown", cwd=models).stdout.splitlines()
    assert len(markdown) == len(stats.layers) + 3 and markdown[1] == "|---|---|---|---|---:|---:|---:|"
    rows = list(csv.DictReader(cli("summary", "detector.o1c", "classifier.o1c", "--format", "csv", cwd=models)
                               .stdout.splitlines()))
    detector = [row for row in rows if row["model"] == "detector.o1c"]
    assert [(r["layer"], int(r["params"]), int(r["bytes"]), int(r["flops"])) for r in detector[:-1]] == [
        (layer.name, layer.params, layer.bytes, layer.flops) for layer in stats.layers]
    assert detector[-1]["layer"] == "total" and int(detector[-1]["params"]) == stats.total_params
    assert cli("summary", "--table", "--format", "json", "detector.o1c", cwd=models).returncode == 2
