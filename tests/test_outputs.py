"""Where ``-o`` writes: devices, FIFOs and links (all made in a temporary folder, never the machine's own
/dev), a link to this process's standard output, outputs that are inputs, folders, and temporary files
that never outlive the command, whatever ends it."""

import os
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest
from test_cli import child_env, cli

from ondrel import ir
from ondrel.sdk import examples


@pytest.fixture
def place(tmp_path):
    """A model, a character device like /dev/null, a FIFO, links to a file, to nothing, to the device and to
    standard output (as /dev/stdout is), and a folder."""
    ir.write(tmp_path / "m.o1c", examples.classifier())
    os.mknod(tmp_path / "null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "real.txt").write_text("old\n")
    os.symlink("real.txt", tmp_path / "link")
    os.symlink("new.txt", tmp_path / "dangling")
    os.symlink("null", tmp_path / "devlink")
    os.symlink("/proc/self/fd/1", tmp_path / "stdout")
    (tmp_path / "dir").mkdir()
    return tmp_path


def kinds(folder):
    """Every entry of ``folder`` and what it is, so a test sees that nothing was replaced or left behind."""
    def kind(path):
        mode = os.lstat(path).st_mode
        return "link" if stat.S_ISLNK(mode) else "char" if stat.S_ISCHR(mode) else "fifo" if stat.S_ISFIFO(mode) \
            else "dir" if stat.S_ISDIR(mode) else "file"
    return {name: kind(folder / name) for name in os.listdir(folder)}


SUMMARY_START = "ONDREL IR Graph Summary\n"

# (argv after the model, exit status, stderr after "ondrel-sdk: error: ", {file: text it then holds})
TEXT_OUTPUTS = [
    (["-o", "null"], 0, "", {}),
    (["-o", "devlink"], 0, "", {}),
    (["-o", "link"], 0, "", {"real.txt": SUMMARY_START}),
    (["-o", "dangling"], 0, "", {"new.txt": SUMMARY_START}),
    (["-o", "dir"], 2, "dir: is a directory", {}),
    (["-o", "dir/"], 2, "dir/: is a directory", {}),
    (["-o", "nodir/"], 2, "nodir/: names a directory (it ends with '/')", {}),
    (["-o", "m.o1c"], 2, "m.o1c: is also an input; the output would replace it", {}),
]


@pytest.mark.parametrize("argv, status, error, holds", TEXT_OUTPUTS, ids=[case[0][1] for case in TEXT_OUTPUTS])
def test_text_outputs_write_through_or_replace_a_file(place, argv, status, error, holds):
    before = kinds(place)
    result = cli("summary", "m.o1c", *argv, cwd=place)
    assert (result.returncode, result.stderr) == (status, f"ondrel-sdk: error: {error}\n" if error else "")
    after = kinds(place)
    assert after == {**before, **{name: "file" for name in holds}}  # nothing replaced, no temporary file left
    for name, start in {"real.txt": "old\n", **holds}.items():
        assert (place / name).read_text().startswith(start)
    assert ir.read(place / "m.o1c").nodes  # the input is still a model


def test_fifos_and_links_to_standard_output_take_the_text(place):
    received = []
    reader = threading.Thread(target=lambda: received.append((place / "fifo").read_text()))
    reader.start()
    through_fifo = cli("summary", "m.o1c", "-o", "fifo", cwd=place)
    reader.join(30)
    assert through_fifo.returncode == 0 and received[0].startswith(SUMMARY_START)
    piped = cli("summary", "m.o1c", "-o", "stdout", cwd=place)  # standard output is a pipe here
    assert piped.returncode == 0 and piped.stdout.startswith(SUMMARY_START) and piped.stderr == ""
    drawn = cli("draw", "m.o1c", "-o", "stdout", "--format", "dot", cwd=place)
    assert drawn.returncode == 0 and drawn.stdout.startswith("digraph") and "Wrote" not in drawn.stdout
    for folder in ("dir", "dir/"):
        refused = cli("draw", "m.o1c", "-o", folder, cwd=place)
        assert (refused.returncode, refused.stderr) == (2, f"ondrel-sdk: error: {folder}: is a directory\n")
    assert kinds(place)["stdout"] == "link" and kinds(place)["fifo"] == "fifo"


@pytest.mark.parametrize("out, what", [("null", "a character device"), ("devlink", "a character device"),
                                       ("fifo", "a FIFO"), ("stdout", "a FIFO")])
def test_model_outputs_refuse_what_is_not_a_file(place, out, what):
    before = kinds(place)
    result = cli("stamp", "m.o1c", "-o", out, "--force", cwd=place)
    assert (result.returncode, result.stdout, result.stderr) == (
        2, "", f"ondrel-sdk: error: {out}: not a regular file ({what}); a model is written to a file\n")
    assert kinds(place) == before


def test_a_model_output_follows_a_link_and_may_replace_its_input(place):
    os.symlink("copy.o1c", place / "release.o1c")
    assert cli("stamp", "m.o1c", "-o", "release.o1c", cwd=place).returncode == 0
    assert kinds(place)["release.o1c"] == "link" and kinds(place)["copy.o1c"] == "file"
    assert cli("verify", "release.o1c", cwd=place).returncode == 0
    in_place = cli("stamp", "m.o1c", "-o", "m.o1c", "--force", "--notes", "in place", cwd=place)
    assert in_place.returncode == 0 and cli("verify", "m.o1c", cwd=place).returncode == 0


@pytest.mark.parametrize("argv, culprit", [
    (["fingerprint", ".", "-o", "m.o1c"], "m.o1c: is the input ./alias.o1c"),  # the first file found
    (["fingerprint", "m.o1c", "-o", "hard.o1c"], "hard.o1c: is the input m.o1c"),
    (["lint", "m.o1c", "-o", "alias.o1c"], "alias.o1c: is the input m.o1c"),
    (["diff", "m.o1c", "other.o1c", "-o", "other.o1c"], "other.o1c: is also an input"),
    (["fingerprint", "--check", "SUMS", "-o", "SUMS"], "SUMS: is also an input"),
    (["lint", "m.o1c", "--config", "lint.toml", "-o", "lint.toml"], "lint.toml: is also an input"),
    (["draw", "m.o1c", "-o", "alias.o1c", "--format", "dot"], "alias.o1c: is the input m.o1c"),
    (["stamp", "m.o1c", "-o", "cal.json", "--force", "--calibration-config", "cal.json"], "cal.json: is also an input"),
])
def test_an_output_that_is_an_input_is_refused_before_anything_is_written(place, argv, culprit):
    os.link(place / "m.o1c", place / "hard.o1c")
    os.symlink("m.o1c", place / "alias.o1c")
    ir.write(place / "other.o1c", examples.detector())
    (place / "SUMS").write_text("0" * 64 + "  m.o1c\n")
    (place / "lint.toml").write_text("[tool.ondrel-sdk.lint]\n")
    (place / "cal.json").write_text("{}")
    entries = kinds(place)
    before = {name: (place / name).read_bytes() for name, kind in entries.items() if kind == "file"}
    result = cli(*argv, cwd=place)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"ondrel-sdk: error: {culprit}; the output would replace it\n"
    assert kinds(place) == entries and {name: (place / name).read_bytes() for name in before} == before


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_a_signal_leaves_no_temporary_file(place, number):
    """The list is read from a pipe kept open, so the command waits with its temporary output in place."""
    sums = subprocess.run([sys.executable, "-m", "ondrel.sdk", "fingerprint", "m.o1c"], cwd=place, env=child_env(),
                          capture_output=True, check=True).stdout
    proc = subprocess.Popen([sys.executable, "-m", "ondrel.sdk", "fingerprint", "-c", "-", "-o", "report.txt"],
                            cwd=place, env=child_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdin.write(sums)
    proc.stdin.flush()
    deadline = time.monotonic() + 60
    while not any(name.startswith(".report.txt.") for name in os.listdir(place)):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.02)
    proc.send_signal(number)
    _, err = proc.communicate(timeout=60)
    assert (proc.returncode, err) == (128 + number, b"")
    assert not [name for name in os.listdir(place) if name.endswith(".tmp") or name == "report.txt"]
