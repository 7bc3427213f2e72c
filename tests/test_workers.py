"""Files handled elsewhere: a worker process that dies costs only its own file, and a Dask cluster that
does not answer, or has no workers, ends the command with one line within --dask-timeout."""

import os
import socket
import subprocess
import sys
import threading
import time

import pytest
from test_cli import child_env, cli

from ondrel import ir
from ondrel.sdk import examples

# The command line with a task that kills its worker process on deadly*.o1c every time, and on flaky*.o1c
# the first time only (worker processes inherit the patch).
KILLER = """
import os, signal, sys
from ondrel.sdk.cli.commands import fingerprint
real = fingerprint.fingerprint_file
def fingerprint_file(path, *args):
    name = os.path.basename(path)
    if name.startswith("deadly"):
        how = os.environ["HOW"]
        os._exit(3) if how == "exit" else os.kill(os.getpid(), getattr(signal, how))
    if name.startswith("flaky") and not os.path.exists(name + ".seen"):
        open(name + ".seen", "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return real(path, *args)
fingerprint.fingerprint_file = fingerprint_file
from ondrel.sdk.cli import main
sys.exit(main(sys.argv[1:]))
"""

NAMES = ["a.o1c", "deadly.o1c", "b.o1c", "flaky.o1c", "c.o1c", "d.o1c"]


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    folder = tmp_path_factory.mktemp("batch")
    for name in NAMES:
        ir.write(folder / name, examples.classifier())
    return folder


@pytest.mark.parametrize("how, death", [("SIGBUS", "signal 7"), ("SIGKILL", "signal 9"), ("exit", "exit status 3")])
def test_a_dying_worker_costs_only_its_own_file(batch, how, death):
    for seen in batch.glob("*.seen"):
        seen.unlink()
    env = child_env(HOW=how)
    if "ASAN_OPTIONS" in env:  # the sanitizer would report the signal and exit itself
        env["ASAN_OPTIONS"] += ":handle_sigbus=0"
    result = subprocess.run([sys.executable, "-c", KILLER, "fingerprint", "-j", "2", *NAMES], cwd=batch, env=env,
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (
        2, f"ondrel-sdk: error: deadly.o1c: worker died ({death}) while handling deadly.o1c\n")
    assert [line.split("  ")[1] for line in result.stdout.splitlines()] == [n for n in NAMES if n != "deadly.o1c"]
    assert len({line.split("  ")[0] for line in result.stdout.splitlines()}) == 1  # the same model, one digest


@pytest.fixture
def silent_server():
    """A local socket that accepts connections and never says a word."""
    server = socket.create_server(("127.0.0.1", 0))
    held = []

    def accept():
        while True:
            try:
                held.append(server.accept()[0])
            except OSError:
                return

    threading.Thread(target=accept, daemon=True).start()
    yield f"tcp://127.0.0.1:{server.getsockname()[1]}"
    server.close()
    for connection in held:
        connection.close()


@pytest.fixture(scope="module")
def scheduler_without_workers():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=0, processes=False, protocol="tcp", dashboard_address=None) as cluster:
        yield cluster.scheduler_address


@pytest.mark.parametrize("where, message", [
    ("silent_server", "cannot connect to the Dask scheduler (no answer within 2 s)"),
    ("scheduler_without_workers", "the Dask scheduler has had no workers for 2 s"),
])
def test_the_cluster_path_has_deadlines(batch, request, where, message):
    pytest.importorskip("distributed")
    address = request.getfixturevalue(where)
    started = time.monotonic()
    result = cli("verify", "a.o1c", "b.o1c", "--dask", address, "--dask-timeout", "2", cwd=batch)
    assert (result.returncode, result.stdout, result.stderr) == (2, "", f"ondrel-sdk: error: {address}: {message}\n")
    assert time.monotonic() - started < 30  # the interpreter and the client library take a few seconds to start
    assert not [name for name in os.listdir(batch) if name.endswith(".tmp")]


def test_a_worker_stopped_while_starting_dies_quietly():
    # The main process's SIGTERM handler raises; a worker forked from it and stopped before it set its own
    # handlers used to run that handler: a traceback, and a worker that outlived terminate() (a hang).
    script = """
import multiprocessing, signal
from ondrel.sdk.cli import workers
def raising(number, frame):
    raise RuntimeError("terminated")
signal.signal(signal.SIGTERM, raising)
for _ in range(20):
    worker = workers._Worker(multiprocessing.get_context(), len, ())
    worker.process.terminate()
    worker.process.join()
    assert worker.process.exitcode == -signal.SIGTERM, worker.process.exitcode
"""
    done = subprocess.run([sys.executable, "-c", script], env=child_env(), capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
