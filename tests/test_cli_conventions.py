"""What a newcomer meets first: rule explanations from the catalogue, lint statistics and concise lines,
diff details, and commands that read no model starting without numpy. Run as subprocesses."""

import json
import subprocess
import sys

import numpy as np
import pytest
from test_cli import child_env, cli

from ondrel import ir
from ondrel.sdk import examples
from ondrel.sdk.lint_rules import catalogue, doc_sections


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    root = tmp_path_factory.mktemp("models")
    ir.write(root / "classifier.o1c", examples.classifier())
    ir.write(root / "detector.o1c", examples.detector())
    changed = examples.classifier()
    name = next(iter(changed.nodes))
    changed.nodes[name].input_type = {"input": np.array([1, 3, 32, 32])}
    changed.metadata = {**changed.metadata, "owner": "vision"}
    ir.write(root / "changed.o1c", changed)
    (root / "README.md").write_bytes(b"# A project\n\nSome text that is long enough to look like a header.\n")
    return root


@pytest.mark.parametrize("entry", catalogue(), ids=lambda entry: entry["code"])
def test_every_code_is_explained_from_its_catalogue_entry(entry, tmp_path):
    result = cli("rule", entry["code"].lower(), "--no-color", cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    assert set(doc_sections(entry)) == {"checks", "why", "fix"}
    text = " ".join(result.stdout.split())
    for heading in ("What it checks", "Why it matters", "Example", "How to fix", "Severity"):
        assert heading in text
    for section in doc_sections(entry).values():
        assert section[1:] in text
    assert f"{entry['severity']};" in text and "--strict" in text


def test_rule_table_and_unknown_code(tmp_path):
    table = cli("rule", "--all", cwd=tmp_path)
    assert table.returncode == 0
    assert [line.split()[0] for line in table.stdout.splitlines()[1:]] == [entry["code"] for entry in catalogue()]
    unknown = cli("rule", "LIF_LOWTAU", cwd=tmp_path)
    assert (unknown.returncode, unknown.stdout, unknown.stderr) == (
        2, "", "ondrel-sdk: error: unknown lint code 'LIF_LOWTAU'; did you mean LIF_LOW_TAU?\n")


@pytest.mark.parametrize("argv", [["--version"], ["--help"], ["rule", "--all"], ["lint", "--help"]])
def test_commands_that_read_no_model_load_no_numpy(argv, tmp_path):
    code = ("import sys\nfrom ondrel.sdk.cli import main\ntry:\n    main(sys.argv[1:])\nexcept SystemExit:\n"
            "    pass\nloaded = [m for m in sys.modules if m.split('.')[0] in ('numpy', 'rustworkx') or m in "
            "('ondrel.sdk.lint', 'ondrel.sdk.analyze', 'ondrel.sdk.compare', 'ondrel.sdk.fingerprint')]\n"
            "print('LOADED', loaded)\n")
    result = subprocess.run([sys.executable, "-c", code, *argv], cwd=tmp_path, env=child_env(), capture_output=True,
                            text=True)
    assert result.stdout.rstrip().endswith("LOADED []"), result.stdout[-300:] + result.stderr


def test_statistics_count_each_code_over_all_files(models):
    files = [str(models / name) for name in ("classifier.o1c", "detector.o1c", "detector.o1c")]
    lint = cli("lint", *files, "--format", "json", "--select", "ALL", cwd=models)
    expected = {}
    for entry in json.loads(lint.stdout):
        for issue in entry["issues"]:
            expected[issue["code"]] = expected.get(issue["code"], 0) + 1
    stats = cli("lint", *files, "--statistics", "--format", "json", cwd=models)
    assert {row["code"]: row["count"] for row in json.loads(stats.stdout)} == expected and expected
    text = cli("lint", *files, "--statistics", cwd=models)
    assert text.returncode == lint.returncode
    rows = [(int(line.split()[0]), line.split()[1]) for line in text.stdout.splitlines()]
    assert dict((code, count) for count, code in rows) == expected
    assert [count for count, _ in rows] == sorted(expected.values(), reverse=True)
    refused = cli("lint", *files, "--statistics", "--format", "sarif", cwd=models)
    assert refused.returncode == 2 and "--statistics writes text or json" in refused.stderr


def test_concise_lines_are_greppable_and_errors_come_first(models):
    result = cli("lint", str(models / "detector.o1c"), "--format", "concise", cwd=models)
    issues = json.loads(cli("lint", str(models / "detector.o1c"), "--format", "json", cwd=models).stdout)[0]["issues"]
    order = {"error": 0, "warning": 1, "info": 2}
    issues.sort(key=lambda issue: order[issue["severity"]])
    path = str(models / "detector.o1c")
    assert result.stdout.splitlines() == [
        f"{path}: {issue['node'] + ': ' if issue['node'] is not None else ''}{issue['code']} {issue['message']}"
        for issue in issues]
    text = cli("lint", path, cwd=models).stdout
    severities = [line.split()[0] for line in text.splitlines()[1:] if not line.strip().startswith("suggestion")]
    assert severities == sorted(severities, key=order.__getitem__) and len(set(severities)) > 1


@pytest.mark.parametrize("argv, message", [
    (["--select", "LIF_LOWTAU"], "unknown lint code 'LIF_LOWTAU' (did you mean 'LIF_LOW_TAU'?)"),
    (["--select", "ALL", "--ignore", "LIF_"], None),
])
def test_selectors_all_and_suggestions(models, argv, message):
    result = cli("lint", str(models / "detector.o1c"), "--format", "json", *argv, cwd=models)
    if message:
        assert result.returncode == 2 and message in result.stderr
    else:
        codes = {issue["code"] for issue in json.loads(result.stdout)[0]["issues"]}
        assert codes and not any(code.startswith("LIF_") for code in codes)


def test_diff_shows_port_shapes_and_metadata(models):
    plain = cli("diff", str(models / "classifier.o1c"), str(models / "changed.o1c"), cwd=models)
    assert plain.returncode == 1 and "input_type: 1×3×32×32" not in plain.stdout
    assert " -> 1×3×32×32" in plain.stdout and "owner" not in plain.stdout
    shown = cli("diff", str(models / "classifier.o1c"), str(models / "changed.o1c"), "--metadata", cwd=models)
    assert "Metadata:\n  + owner: 'vision'" in shown.stdout
    record = json.loads(cli("diff", str(models / "classifier.o1c"), str(models / "changed.o1c"), "--metadata",
                            "--format", "json", cwd=models).stdout)
    assert record["metadata_changes"] == [{"key": "owner", "new": "vision"}]
    same = cli("diff", str(models / "classifier.o1c"), str(models / "classifier.o1c"), "--metadata", cwd=models)
    assert same.returncode == 0 and "Metadata: the same" in same.stdout


def test_a_file_that_is_no_container_is_named_so(models):
    result = cli("lint", str(models / "README.md"), cwd=models)
    assert result.returncode == 2
    assert result.stderr == f"ondrel-sdk: error: {models / 'README.md'}: not an .o1c file (no container header)\n"
