"""The command line's failure policy on odd but readable models: every call ends in a result or in one
error line per failed file with status 2, never a traceback; status 1 only ever means findings."""

import json
import os
import re
import stat
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from conftest import chain, craft_o1c, ports
from test_cli import child_env

from ondrel import ir
from ondrel.sdk import fingerprint_graph

LONG = 10**5000  # beyond the host's int-to-text limit


def lif(dtype, tau=20.0, threshold=1.0):
    return ir.LIF(tau=np.full(4, tau).astype(dtype), v_threshold=np.full(4, threshold).astype(dtype), **ports((4,), (4,)))


# Exporter mistakes and odd values that ir.write stores: (file name, graph).
WRITTEN = [
    ("float128", chain(("in", ir.Input()), ("fc", ir.Affine(weight=np.ones((2, 3), np.longdouble))), ("out", ir.Output()))),
    ("complex", chain(("in", ir.Input()), ("lif", lif(np.complex64)), ("out", ir.Output()))),
    ("float16_nan", chain(("in", ir.Input()), ("lif", lif(np.float16, tau=np.nan, threshold=np.inf)), ("out", ir.Output()))),
    ("surrogates", chain(("in\ud800", ir.Input()), ("skip\udcff", ir.Skip(skip_type="residual\ud801")),
                         ("out", ir.Output()))),
    ("escapes", chain(("in", ir.Input()), ("\x1b[2J\x1b[31mfc\n  error   FORGED_FINDING: x\r",
                                           ir.Affine(weight=np.ones((2, 2), np.float32))), ("out", ir.Output()))),
    ("long_ints", chain(("in", ir.Input()), ("fc", ir.SpikingAffine(weight=np.ones((2, 2), np.float32),
                                                                     weight_bits=LONG)), ("out", ir.Output()))),
    ("odd_metadata", chain(("in", ir.Input()), ("out", ir.Output()),
                           metadata={"when": np.datetime64("2026-01-02T03:04"), "z": np.complex128(1 - 2j),
                                     "big": LONG, "generic": np.datetime64("NaT"), "half": np.float16(0.5)})),
    ("empty", ir.Graph()),
]

# Crafted files carrying what ir.write would never store: (file name, nodes, tensors, raw table).
CRAFTED = [
    ("tau_float", [["in", "Input", {}], ["lif", "LIF", {"tau": 20.0}], ["out", "Output", {}]], {}, {}),
    ("stride_array", [["in", "Input", {}], ["conv", "Conv2d", {"stride": {"array": "t0"}}], ["out", "Output", {}]],
     {"t0": np.array([1, 1])}, {}),
    ("weight_bits_none", [["in", "Input", {}], ["fc", "SpikingAffine", {"weight_bits": None}],
                          ["out", "Output", {}]], {}, {}),
    ("port_tuple", [["in", "Input", {"input_type": {"dict": [["input", {"tuple": [1, 28]}]]}}],
                    ["out", "Output", {"output_type": {"dict": [["output", {"tuple": [1, 28]}]]}}]], {}, {}),
    ("datetime_weight", [["in", "Input", {}], ["fc", "Affine", {"weight": {"array": "t0"}}], ["out", "Output", {}]],
     {"t0": np.zeros(16, np.uint8)}, {"t0": ["<M8[s]", [2]]}),
    ("bool_bytes", [["in", "Input", {}], ["lif", "LIF", {"tau": {"array": "t0"}}], ["out", "Output", {}]],
     {"t0": np.array([0, 2, 1], np.uint8).view(np.bool_)}, {}),
    ("mode_number", [["in", "Input", {}], ["up", "Upsample", {"mode": 5}], ["out", "Output", {}]], {}, {}),
    ("skip_type_list", [["in", "Input", {}], ["s", "Skip", {"skip_type": {"list": ["residual"]}}],
                        ["out", "Output", {}]], {}, {}),
]


@pytest.fixture(scope="module")
def odd_models(tmp_path_factory):
    folder = tmp_path_factory.mktemp("odd")
    for name, graph in WRITTEN:
        ir.write(folder / f"{name}.o1c", graph)
    for name, nodes, tensors, raw in CRAFTED:
        names = [node[0] for node in nodes]
        craft_o1c(folder / f"{name}.o1c", nodes, zip(names, names[1:]), tensors, raw)
    return folder


def run(*args, cwd, env=None, **options):
    return subprocess.run([sys.executable, "-m", "ondrel.sdk", *args], cwd=cwd, env=env or child_env(),
                          capture_output=True, timeout=120, **options)


def check_policy(result, files):
    """No traceback; each failed file is one error line naming it; 2 exactly when something failed."""
    err = result.stderr.decode(errors="replace")
    assert "Traceback" not in err and result.returncode in (0, 1, 2), err
    lines = err.splitlines()
    assert all(line.startswith("ondrel-sdk: error: ") for line in lines), err
    assert all(any(line.startswith(f"ondrel-sdk: error: {f}") for f in files) for line in lines), err
    assert (result.returncode == 2) == bool(lines), err
    out = result.stdout.decode(errors="replace")
    assert "\x1b" not in out and "\r" not in out
    assert not any(line.lstrip().startswith(("error   FORGED", "FORGED")) for line in out.splitlines())
    return out


ALL = [f"{name}.o1c" for name, _ in WRITTEN] + [f"{name}.o1c" for name, *_ in CRAFTED]

BATCH_COMMANDS = [["lint"], ["lint", "--strict", "--format", "json"], ["lint", "--format", "sarif"],
                  ["fingerprint"], ["fingerprint", "--structure", "--format", "json"],
                  ["fingerprint", "--with-metadata"], ["verify", "-j", "2"]]


@pytest.mark.parametrize("command", BATCH_COMMANDS, ids=" ".join)
def test_batch_commands_follow_the_failure_policy(odd_models, command):
    result = run(*command, *ALL, cwd=odd_models)
    out = check_policy(result, ALL)
    if "json" in command or "sarif" in command:
        json.loads(out, parse_constant=lambda name: pytest.fail(f"invalid JSON constant {name}"))


@pytest.mark.parametrize("name", ALL)
def test_single_model_commands_follow_the_failure_policy(odd_models, name, tmp_path):
    for command in (["summary"], ["summary", "-v"], ["summary", "--format", "json"], ["diff", name],
                    ["diff", "--format", "json", name], ["stamp", "-o", str(tmp_path / name)]):
        result = run(command[0], name, *command[1:], cwd=odd_models)
        out = check_policy(result, [name])
        if "json" in command and result.returncode != 2:
            json.loads(out, parse_constant=lambda constant: pytest.fail(f"invalid JSON constant {constant}"))


def test_well_formed_odd_models_still_work(odd_models):
    """What the IR layer accepts, the services handle: these give results, not error lines."""
    for name in ("float128", "complex", "float16_nan", "surrogates", "escapes"):
        for command in (["summary", "-v"], ["lint"], ["diff", f"{name}.o1c"]):
            result = run(command[0], f"{name}.o1c", *command[1:], cwd=odd_models)
            assert result.returncode in (0, 1) and result.stderr == b"", (name, command, result.stderr)


def test_names_are_escaped_and_json_keeps_them(odd_models):
    lint = run("lint", "escapes.o1c", "surrogates.o1c", cwd=odd_models).stdout.decode()
    assert "[\\x1b[2J\\x1b[31mfc\\n  error   FORGED_FINDING: x\\r]" in lint and "[skip\\xff]" in lint
    summary = run("summary", "-v", "escapes.o1c", cwd=odd_models).stdout.decode()
    assert "  \\x1b[2J\\x1b[31mfc\\n  error   FORGED_FINDING: x\\r: Affine - 4 params, 16 B" in summary
    data = json.loads(run("summary", "--format", "json", "surrogates.o1c", cwd=odd_models).stdout)
    assert [layer["name"] for layer in data["layers"]] == ["in\ud800", "skip\udcff", "out"]


def test_undecodable_file_names(odd_models, tmp_path):
    odd = os.fsencode(tmp_path) + b"/m\xff\x1b.o1c"
    with open(odd, "wb") as handle:
        handle.write((odd_models / "float128.o1c").read_bytes())
    digest = run("fingerprint", odd, cwd=tmp_path)
    assert digest.returncode == 0 and digest.stdout.endswith(b"  " + odd + b"\n")  # raw, as sha256sum writes it
    lint = run("lint", odd, cwd=tmp_path)
    assert lint.returncode == 0 and b"m\\xff\\x1b.o1c: 0 errors, 1 warning, 1 info\n" in lint.stdout


@pytest.mark.parametrize("make", ["fifo", "directory", "device"])
def test_paths_that_are_not_regular_files_do_not_hang(odd_models, tmp_path, make):
    target = {"fifo": tmp_path / "pipe", "directory": tmp_path, "device": "/dev/zero"}[make]
    if make == "fifo":
        os.mkfifo(target)
    result = run("stamp", "float128.o1c", "-o", str(tmp_path / "out.o1c"), "--calibration-config", str(target),
                 cwd=odd_models)
    assert result.returncode == 2 and result.stderr.decode().startswith(f"ondrel-sdk: error: {target}: ")
    if make != "directory":
        check_policy(run("summary", str(target), cwd=odd_models), [str(target)])


@pytest.mark.parametrize("args, redirect, message", [
    ("summary float128.o1c", "> /dev/full", "ondrel-sdk: error: cannot write the output: No space left on device\n"),
    ("summary float128.o1c", ">&-", "ondrel-sdk: error: cannot write the output: standard output is closed\n"),
    ("--help", "> /dev/full", "ondrel-sdk: error: cannot write the output: No space left on device\n"),
])
def test_output_that_cannot_be_written_is_status_2(odd_models, args, redirect, message):
    result = subprocess.run(["bash", "-c", f"{sys.executable} -m ondrel.sdk {args} {redirect}"], cwd=odd_models,
                            env=child_env(), capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (2, message)


@pytest.mark.parametrize("args", ["lint --help", "--version", "fingerprint float128.o1c complex.o1c"])
def test_a_reader_that_went_away_is_141_silently(odd_models, args):
    # The writer starts once the reader has exited, so its first write meets a closed pipe.
    script = f"{{ sleep 0.3; {sys.executable} -m ondrel.sdk {args}; echo $? >&2; }} | true"
    result = subprocess.run(["bash", "-c", script], cwd=odd_models, env=child_env(), capture_output=True, text=True,
                            timeout=60)
    assert result.stderr == "141\n"


def test_internal_errors_are_one_line_and_show_a_traceback_on_request(odd_models):
    code = ("import sys\nfrom ondrel.sdk.cli.commands import lint\n"
            "def broken(*args): raise RuntimeError('broken renderer')\n"
            "lint.render_lint_text = broken\nfrom ondrel.sdk.cli import main\n"
            "sys.exit(main(['lint', 'float128.o1c']))")
    plain = subprocess.run([sys.executable, "-c", code], cwd=odd_models, env=child_env(), capture_output=True,
                           text=True, timeout=60)
    assert plain.returncode == 2 and plain.stderr == (
        "ondrel-sdk: error: internal error: RuntimeError: broken renderer "
        "(set ONDREL_SDK_DEBUG=1 to see the traceback)\n")
    debug = subprocess.run([sys.executable, "-c", code], cwd=odd_models, env=child_env(ONDREL_SDK_DEBUG="1"),
                           capture_output=True, text=True, timeout=60)
    assert debug.returncode == 2 and "Traceback" in debug.stderr and debug.stderr.endswith(
        "ondrel-sdk: error: internal error: RuntimeError: broken renderer\n")


@pytest.mark.parametrize("value, status, text", [
    (LONG, 0, None),
    (-(10**40000), 0, None),
    ({"nested": [2 ** 200_000]}, 2, "metadata holds an integer of 200,001 bits, too long to fingerprint"),
], ids=["long", "negative", "too long"])
def test_integers_beyond_the_text_limit_in_fingerprinted_metadata(tmp_path, value, status, text):
    """Digested as JSON writes any integer, its decimal digits, whatever the host's limit; no advice to call
    interpreter functions."""
    ir.write(tmp_path / "m.o1c", chain(("in", ir.Input()), ("out", ir.Output()), metadata={"value": value}))
    result = run("fingerprint", "--with-metadata", "m.o1c", cwd=tmp_path)
    assert result.returncode == status and b"set_int_max_str_digits" not in result.stderr
    if text is None:
        code = ("import sys; sys.set_int_max_str_digits(0)\nfrom ondrel import ir\nfrom ondrel.sdk import "
                "fingerprint_graph\nprint(fingerprint_graph(ir.read('m.o1c'), include_metadata=True))")
        unlimited = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=child_env(), capture_output=True)
        assert result.stdout == unlimited.stdout.strip() + b"  m.o1c\n" and result.stderr == b""
    else:
        assert result.stderr.decode() == f"ondrel-sdk: error: m.o1c: {text}\n"


def test_jobs_are_capped_at_the_usable_cpus(odd_models):
    cpus = len(os.sched_getaffinity(0))
    result = run("fingerprint", "-j", str(cpus + 5), "float128.o1c", "complex.o1c", cwd=odd_models)
    assert result.returncode == 0 and result.stderr.decode() == (
        f"ondrel-sdk: note: --jobs {cpus + 5} is more than the {cpus} usable CPU{'s' if cpus > 1 else ''}; "
        f"using {cpus}\n")


def test_reshaping_an_array_while_it_is_hashed_does_not_crash():
    """Hashing releases the interpreter lock between chunks; another thread may reshape the array meanwhile."""
    n = 1 << 20
    weight = np.arange(2 * n, dtype=np.float32)[::2].reshape(2, -1)  # non-contiguous: hashed through a copy
    graph = chain(("in", ir.Input()), ("fc", ir.Affine(weight=weight)), ("out", ir.Output()))
    expected = {fingerprint_graph(graph)}
    weight.shape = (4, n // 4)
    expected.add(fingerprint_graph(graph))
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        flipper = threading.Timer(0.001, setattr, (weight, "shape", (2, n // 2) if weight.shape[0] == 4 else (4, n // 4)))
        flipper.start()
        assert fingerprint_graph(graph) in expected
        flipper.join()


@pytest.mark.parametrize("value, expected", [
    (np.longdouble(1.5), 1.5), (np.float16(np.inf), "inf"), (np.float32("nan"), "nan"), (np.uint64(2**64 - 1), 2**64 - 1),
    (np.bool_(True), True), (np.complex64(1 - 2j), {"real": 1.0, "imag": -2.0}), (3 + 4j, {"real": 3.0, "imag": 4.0}),
    (np.datetime64("2026-01-02T03:04"), "2026-01-02T03:04"), (np.datetime64("NaT"), "NaT"),
    (np.timedelta64(5, "s"), "5 seconds"), (np.array(["2026-01-01"], "datetime64[D]"), ["2026-01-01"]),
    (np.array([[1, 2]], np.int8), [[1, 2]]), (np.clongdouble(1j), {"real": 0.0, "imag": 1.0}),
    (10**5000, "1" + "0" * 5000), ((1, (2.5, None)), [1, [2.5, None]]), ({(1, 2): np.int64(3)}, {"[1, 2]": 3}),
], ids=lambda value: type(value).__name__)
def test_json_encoder_takes_every_value_a_model_can_hold(value, expected):
    from ondrel.sdk.cli.formats import dumps_json

    assert json.loads(dumps_json({"v": value}))["v"] == expected
