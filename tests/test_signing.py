"""Signed models: keys, the DSSE encoding, tampering, exit statuses and model_signing interoperation."""

import base64
import json
import os
import stat
import subprocess
import sys

import numpy as np
import pytest
from conftest import craft_o1c, mlp
from test_changed_files import CHANGED
from test_changed_files import model as changing_model
from test_cli import cli, child_env

from ondrel import ir
from ondrel.sdk import examples
from ondrel.sdk.fingerprint import stamp_graph

signing = pytest.importorskip("ondrel.sdk.signing")
pytest.importorskip("cryptography")

# Sockets refuse to connect in the child processes of the interoperation tests: they must work offline.
NO_NETWORK = "import socket\ndef _refuse(*a, **k): raise OSError('network use in a test')\n" \
             "socket.socket.connect = _refuse\nsocket.create_connection = _refuse\n"


def test_pae_matches_the_dsse_test_vector():
    """The DSSE protocol's test vector: its PAE byte for byte, and its ECDSA P-256 signature (raw r || s)
    verifying over our PAE with the vector's public key."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

    message = signing.pae("http://example.com/HelloWorld", b"hello world")
    assert message == b"DSSEv1 29 http://example.com/HelloWorld 11 hello world"
    assert signing.pae("t\u00e9", b"") == b"DSSEv1 3 t\xc3\xa9 0 "  # lengths count bytes
    key = ec.EllipticCurvePublicNumbers(
        46950820868899156662930047687818585632848591499744589407958293238635476079160,
        5640078356564379163099075877009565129882514886557779369047442380624545832820, ec.SECP256R1()).public_key()
    raw = base64.b64decode("A3JqsQGtVsJ2O2xqrI5IcnXip5GToJ3F+FnZ+O88SjtR6rDAajabZKciJTfUiHqJPcIAriEGAHTVeCUjW2JIZA==")
    signature = encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    key.verify(signature, message, ec.ECDSA(hashes.SHA256()))  # raises InvalidSignature on any other bytes


@pytest.fixture(scope="module")
def signed(tmp_path_factory):
    """A stamped model, its detached signature and keys (Ed25519 signer, another key)."""
    folder = tmp_path_factory.mktemp("signed")
    graph = stamp_graph(examples.classifier(), git_commit="3f2a9c1")
    ir.write(folder / "model.o1c", graph)
    for name, kind in (("key", "ed25519"), ("other", "p256")):
        assert cli("keygen", f"{name}.pem", "--type", kind, cwd=folder).returncode == 0
    assert cli("sign", "model.o1c", "--key", "key.pem", cwd=folder).returncode == 0
    return folder


def _rewrite(path, change):
    graph = ir.read(path, mmap=False)
    change(graph)
    ir.write(path, graph)


def _flip_last_byte(path):
    with open(path, "r+b") as handle:
        handle.seek(-1, os.SEEK_END)
        last = handle.read(1)
        handle.seek(-1, os.SEEK_END)
        handle.write(bytes([last[0] ^ 1]))


def _overwrite(offset, data):
    def change(path):
        with open(path, "r+b") as handle:
            handle.seek(offset)
            handle.write(data)
    return change


def _truncate(path):
    os.truncate(path, os.path.getsize(path) // 2)


def _tamper_bundle(path, change):
    bundle = json.loads(open(path).read())
    change(bundle["dsseEnvelope"])
    open(path, "w").write(json.dumps(bundle))


def _edit_statement(envelope):
    statement = json.loads(base64.b64decode(envelope["payload"]))
    statement["predicate"]["ondrel"]["manifest"]["nodes"][0]["name"] = "forged"
    envelope["payload"] = base64.b64encode(json.dumps(statement).encode()).decode()


def _flip_signature(envelope):
    sig = bytearray(base64.b64decode(envelope["signatures"][0]["sig"]))
    sig[-1] ^= 1
    envelope["signatures"][0]["sig"] = base64.b64encode(bytes(sig)).decode()


def _rename(graph):
    graph.nodes["hidden"] = graph.nodes.pop("fc1")
    graph.edges[:] = [tuple("hidden" if n == "fc1" else n for n in edge) for edge in graph.edges]


# (what is tampered, change to the model or None, change to the signature or None, verify with key, words expected)
TAMPERINGS = [
    ("a tensor value", lambda p: _rewrite(p, lambda g: g.nodes["fc1"].weight.__setitem__((0, 0), 9.0)), None,
     "key", "node 'fc1': tensor 'weight' changed"),
    ("a byte of the file's last tensor", _flip_last_byte, None, "key", "tensor"),
    ("the header, beyond reading", _overwrite(8, b"z"), None, "key", "SHA-256 differs"),
    ("the file, truncated", _truncate, None, "key", "SHA-256 differs"),
    ("a hyper-parameter", lambda p: _rewrite(p, lambda g: setattr(g.nodes["conv1"], "stride", (2, 1))), None, "key",
     "node 'conv1': hyper-parameter 'stride' changed ((1, 1) -> (2, 1))"),
    ("a tensor removed", lambda p: _rewrite(p, lambda g: setattr(g.nodes["fc1"], "bias", None)), None, "key",
     "node 'fc1': tensor 'bias' changed"),
    ("a name", lambda p: _rewrite(p, _rename), None, "key", "node 'fc1' removed; node 'hidden' added"),
    ("the stamp", lambda p: _rewrite(p, lambda g: g.metadata["provenance"].update(git_commit="0000000")), None,
     "key", "stamp 'git_commit' changed"),
    ("the statement", None, _edit_statement, "key", "signature does not verify"),
    ("the signature", None, _flip_signature, "key", "signature does not verify"),
    ("the payload type", None, lambda e: e.update(payloadType="application/json"), "key", "signature does not verify"),
    ("another key", None, None, "other", "untrusted key"),
]


@pytest.mark.parametrize("what, model_change, bundle_change, key, expected", TAMPERINGS,
                         ids=[case[0] for case in TAMPERINGS])
def test_every_tampering_is_rejected_and_named(signed, tmp_path, what, model_change, bundle_change, key, expected):
    for name in ("model.o1c", "model.o1c.sig", "key.pub", "other.pub"):
        (tmp_path / name).write_bytes((signed / name).read_bytes())
    if model_change:
        model_change(tmp_path / "model.o1c")
    if bundle_change:
        _tamper_bundle(tmp_path / "model.o1c.sig", bundle_change)
    run = cli("verify", "model.o1c", "--signature", "model.o1c.sig", "--key", f"{key}.pub", cwd=tmp_path)
    assert run.returncode == 1, run.stderr
    assert run.stdout.startswith("model.o1c: FAILED (") and expected in run.stdout, run.stdout
    assert len(run.stdout.splitlines()) == 1


def test_a_signature_of_another_model_is_rejected(signed, tmp_path):
    ir.write(tmp_path / "other.o1c", examples.classifier_trained())
    run = cli("verify", "other.o1c", "--signature", str(signed / "model.o1c.sig"), "--key", str(signed / "key.pub"),
              cwd=tmp_path)
    assert run.returncode == 1 and "node 'conv1': tensor 'weight' changed" in run.stdout, run.stdout


def test_bytes_no_node_uses_are_covered_by_the_file_digest(tmp_path):
    craft_o1c(tmp_path / "m.o1c", [["in", "Input", {}], ["out", "Output", {}]], [("in", "out")],
              tensors={"t0": np.arange(4, dtype=np.float32)})  # a tensor nothing refers to
    assert cli("keygen", "k.pem", cwd=tmp_path).returncode == 0
    assert cli("sign", "m.o1c", "--key", "k.pem", cwd=tmp_path).returncode == 0
    verify = ("verify", "m.o1c", "--signature", "m.o1c.sig", "--key", "k.pub")
    assert cli(*verify, cwd=tmp_path).returncode == 0
    _flip_last_byte(tmp_path / "m.o1c")
    run = cli(*verify, cwd=tmp_path)
    assert run.returncode == 1 and "the file differs outside the model's nodes" in run.stdout, run.stdout


def test_embedded_signature_survives_its_own_storage_and_names_a_changed_node(signed, tmp_path):
    run = cli("stamp", str(signed / "model.o1c"), "-o", "release.o1c", "--sign", str(signed / "key.pem"),
              cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    key = str(signed / "key.pub")
    assert cli("verify", "release.o1c", "--key", key, cwd=tmp_path).returncode == 0
    assert cli("verify", "release.o1c", cwd=tmp_path).returncode == 0  # the stamp still checks as before
    _rewrite(tmp_path / "release.o1c", lambda g: g.nodes["lif1"].tau.__setitem__(0, 1.0))
    run = cli("verify", "release.o1c", "--key", key, "--format", "json", cwd=tmp_path)
    (entry,) = json.loads(run.stdout)
    assert run.returncode == 1 and entry["changes"] == [
        {"kind": "tensor", "change": "changed", "node": "lif1", "item": "tau", "detail": "values differ"}]
    assert cli("verify", str(signed / "model.o1c"), "--key", key, cwd=tmp_path).returncode == 1  # none embedded


def test_keygen_writes_an_owner_only_private_key_and_encrypts_with_the_variable(tmp_path):
    env = child_env(ONDREL_SDK_KEY_PASSWORD="correct horse")
    (tmp_path / "old.pem").write_text("readable by all\n")
    os.chmod(tmp_path / "old.pem", 0o644)
    os.symlink("old.pem", tmp_path / "k.pem")  # followed: the file it names is replaced, the link stays
    assert cli("keygen", "k.pem", "--encrypt", "--force", cwd=tmp_path, env=env).returncode == 0
    assert os.path.islink(tmp_path / "k.pem") and stat.S_IMODE(os.stat(tmp_path / "old.pem").st_mode) == 0o600
    assert b"ENCRYPTED PRIVATE KEY" in (tmp_path / "k.pem").read_bytes()
    ir.write(tmp_path / "m.o1c", mlp())
    assert cli("sign", "m.o1c", "--key", "k.pem", cwd=tmp_path, env=env).returncode == 0
    assert cli("verify", "m.o1c", "--signature", "m.o1c.sig", "--key", "k.pub", cwd=tmp_path).returncode == 0
    for env, reason in ((child_env(), "encrypted and no password"),
                        (child_env(ONDREL_SDK_KEY_PASSWORD="wrong"), "wrong password")):
        run = cli("sign", "m.o1c", "--key", "k.pem", cwd=tmp_path, env=env)
        assert run.returncode == 2 and reason in run.stderr and len(run.stderr.splitlines()) == 1


# (argv, stderr after "ondrel-sdk: error: "): key and signature outputs follow the rules of every output.
SIGNING_OUTPUTS = [
    (["sign", "m.o1c", "--key", "k.pem", "--signature", "k.pem"], "k.pem: is also an input; the output would replace it"),
    (["sign", "m.o1c", "--key", "k.pem", "--signature", "hard.o1c"],
     "hard.o1c: is the input m.o1c; the output would replace it"),
    (["sign", "m.o1c", "--key", "k.pem", "--signature", "alias.o1c"],
     "alias.o1c: is the input m.o1c; the output would replace it"),
    (["verify", "m.o1c", "--signature", "m.o1c.sig", "--key", "keys", "-o", "keys/k.pub"],
     "keys/k.pub: is also an input; the output would replace it"),
    (["stamp", "m.o1c", "-o", "k.pem", "--force", "--sign", "k.pem"],
     "k.pem: is also an input; the output would replace it"),
    (["keygen", "fifo"], "fifo: not a regular file (a FIFO); a key is written to a file"),
    (["keygen", "new.pem", "--public", "null", "--force"],
     "null: not a regular file (a character device); a key is written to a file"),
]


@pytest.mark.parametrize("argv, error", SIGNING_OUTPUTS, ids=[" ".join(case[0][:1] + case[0][-2:])
                                                             for case in SIGNING_OUTPUTS])
def test_signing_outputs_never_replace_inputs_devices_or_fifos(tmp_path, argv, error):
    ir.write(tmp_path / "m.o1c", mlp())
    assert cli("keygen", "k.pem", cwd=tmp_path).returncode == 0
    assert cli("sign", "m.o1c", "--key", "k.pem", cwd=tmp_path).returncode == 0
    (tmp_path / "keys").mkdir()
    os.replace(tmp_path / "k.pub", tmp_path / "keys" / "k.pub")
    os.link(tmp_path / "m.o1c", tmp_path / "hard.o1c")
    os.symlink("m.o1c", tmp_path / "alias.o1c")
    os.mkfifo(tmp_path / "fifo")
    os.mknod(tmp_path / "null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
    before = {path: (path.lstat().st_mode, path.read_bytes() if path.is_file() else None)
              for path in tmp_path.rglob("*") if not stat.S_ISFIFO(path.lstat().st_mode)}
    run = cli(*argv, cwd=tmp_path)
    assert (run.returncode, run.stderr) == (2, f"ondrel-sdk: error: {error}\n")
    after = {path: (path.lstat().st_mode, path.read_bytes() if path.is_file() else None)
             for path in tmp_path.rglob("*") if not stat.S_ISFIFO(path.lstat().st_mode)}
    assert after == before and (tmp_path / "fifo").exists()  # nothing replaced, nothing left behind


STATUS_CASES = [
    ("a model signature of a missing file", ["verify", "m.o1c", "--signature", "none.sig", "--key", "k.pub"], 2),
    ("a signature that is not JSON", ["verify", "m.o1c", "--signature", "k.pub", "--key", "k.pub"], 2),
    ("a public key that is not one", ["verify", "m.o1c", "--signature", "m.o1c.sig", "--key", "m.o1c"], 2),
    ("a private key to verify", ["verify", "m.o1c", "--signature", "m.o1c.sig", "--key", "k.pem"], 2),
    ("a public key to sign", ["sign", "m.o1c", "--key", "k.pub", "--signature", "x.sig"], 2),
    ("--signature without --key", ["verify", "m.o1c", "--signature", "m.o1c.sig"], 2),
    ("keygen over an existing key", ["keygen", "k.pem"], 2),
    ("the folder of trusted keys", ["verify", "m.o1c", "--signature", "m.o1c.sig", "--key", "trusted"], 0),
]


@pytest.mark.parametrize("what, args, status", STATUS_CASES, ids=[case[0] for case in STATUS_CASES])
def test_exit_statuses(tmp_path, what, args, status):
    ir.write(tmp_path / "m.o1c", mlp())
    assert cli("keygen", "k.pem", cwd=tmp_path).returncode == 0
    (tmp_path / "trusted").mkdir()
    (tmp_path / "trusted" / "k.pub").write_bytes((tmp_path / "k.pub").read_bytes())
    assert cli("sign", "m.o1c", "--key", "k.pem", cwd=tmp_path).returncode == 0
    run = cli(*args, cwd=tmp_path)
    assert run.returncode == status, run.stderr
    assert "Traceback" not in run.stderr
    if status == 2 and "usage" not in run.stderr:
        assert len(run.stderr.splitlines()) == 1, run.stderr


def test_without_the_extra_a_command_names_it(tmp_path):
    (tmp_path / "sitecustomize.py").write_text("import sys\nsys.modules['cryptography'] = None\n")
    env = child_env()
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path), env["PYTHONPATH"]])
    run = cli("keygen", "k.pem", cwd=tmp_path, env=env)
    assert run.returncode == 2 and "ondrel[signing]" in run.stderr and len(run.stderr.splitlines()) == 1


# Runs the command line with shrinking.o1c cut short once it has been read and checked, just before its tensors
# are hashed (the manifest of a model is described right before).
SHRINK_BEFORE_HASHING = """
import os, sys
from ondrel.sdk import signing
real_describe = signing.describe
def describe(graph):
    if os.path.getsize("shrinking.o1c") > 4096:
        os.truncate("shrinking.o1c", 4096)
    return real_describe(graph)
signing.describe = describe
from ondrel.sdk.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("argv, signed", [
    (["sign", "shrinking.o1c", "a.o1c", "--key", "k.pem"], ["a.o1c.sig"]),
    (["verify", "shrinking.o1c", "--signature", "shrinking.sig", "--key", "k.pub"], []),
    (["verify", "shrinking.o1c", "a.o1c", "--key", "k.pub"], []),  # the embedded signatures
])
def test_a_model_truncated_while_signed_or_verified_is_an_error_line(tmp_path, argv, signed):
    assert cli("keygen", "k.pem", cwd=tmp_path).returncode == 0
    ir.write(tmp_path / "plain.o1c", changing_model(lif=2048))  # every tensor beyond the first page
    for name in ("a.o1c", "shrinking.o1c"):
        assert cli("stamp", "plain.o1c", "-o", name, "--sign", "k.pem", cwd=tmp_path).returncode == 0
    assert cli("sign", "shrinking.o1c", "--key", "k.pem", "--signature", "shrinking.sig", cwd=tmp_path).returncode == 0
    before = set(os.listdir(tmp_path))
    run = subprocess.run([sys.executable, "-c", SHRINK_BEFORE_HASHING, *argv], cwd=tmp_path, env=child_env(),
                         capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stderr) == (2, f"ondrel-sdk: error: shrinking.o1c: {CHANGED}\n")
    assert [line.split(":")[0] for line in run.stdout.splitlines()] == ["a.o1c"] * ("a.o1c" in argv)
    assert "FAILED" not in run.stdout and set(os.listdir(tmp_path)) == before | set(signed)


# stamp --sign on m.o1c rewritten in place after the stamp's fingerprints and back after the signature's digests.
REWRITTEN_AND_BACK = """
import sys
from ondrel.sdk import fingerprint, signing
real_stamp, real_sign, saved = fingerprint.stamp_graph, signing.sign_graph, []
def rewrite(data):
    with open("m.o1c", "r+b") as handle:
        handle.seek(-4096, 2)
        saved.append(handle.read(4096))
        handle.seek(-4096, 2)
        handle.write(data)
def stamp_graph(graph, **kwargs):
    stamped = real_stamp(graph, **kwargs)
    rewrite(b"\\xff" * 4096)
    return stamped
def sign_graph(*args, **kwargs):
    signed = real_sign(*args, **kwargs)
    rewrite(saved[0])
    return signed
fingerprint.stamp_graph, signing.sign_graph = stamp_graph, sign_graph
from ondrel.sdk.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_stamp_sign_writes_no_signature_that_the_written_file_does_not_match(tmp_path):
    assert cli("keygen", "k.pem", cwd=tmp_path).returncode == 0
    ir.write(tmp_path / "m.o1c", changing_model(lif=2048))
    before = set(os.listdir(tmp_path))
    run = subprocess.run([sys.executable, "-c", REWRITTEN_AND_BACK, "stamp", "m.o1c", "-o", "out.o1c", "--sign",
                          "k.pem"], cwd=tmp_path, env=child_env(), capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stderr) == (2, f"ondrel-sdk: error: m.o1c: {CHANGED}\n")
    assert set(os.listdir(tmp_path)) == before


def _model_signing(*args, cwd):
    """model_signing's command line in a child process whose sockets refuse to connect."""
    (cwd / "sitecustomize.py").write_text(NO_NETWORK)
    env = child_env()
    env["PYTHONPATH"] = os.pathsep.join([str(cwd), env["PYTHONPATH"]])
    return subprocess.run([sys.executable, "-m", "model_signing", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120)


@pytest.fixture
def interop(tmp_path):
    probe = subprocess.run([sys.executable, "-c", "import model_signing"], capture_output=True)
    if probe.returncode:
        pytest.skip("model_signing is not installed (the test extra brings it)")
    ir.write(tmp_path / "model.o1c", stamp_graph(mlp()))
    assert cli("keygen", "key.pem", "--type", "p256", cwd=tmp_path).returncode == 0
    return tmp_path


def test_model_signing_verifies_what_sign_made(interop):
    assert cli("sign", "model.o1c", "--key", "key.pem", cwd=interop).returncode == 0
    run = _model_signing("verify", "key", "model.o1c", "--signature", "model.o1c.sig", "--public_key", "key.pub",
                         cwd=interop)
    assert run.returncode == 0 and "Verification succeeded" in run.stdout, run.stderr
    _rewrite(interop / "model.o1c", lambda g: g.nodes["fc"].weight.__setitem__((1, 1), 5.0))
    run = _model_signing("verify", "key", "model.o1c", "--signature", "model.o1c.sig", "--public_key", "key.pub",
                         cwd=interop)
    assert run.returncode == 1


def test_verify_accepts_what_model_signing_signed(interop):
    run = _model_signing("sign", "key", "model.o1c", "--private_key", "key.pem", "--signature", "ms.sig",
                         cwd=interop)
    assert run.returncode == 0, run.stderr
    run = cli("verify", "model.o1c", "--signature", "ms.sig", "--key", "key.pub", cwd=interop)
    assert run.returncode == 0 and "file checked" in run.stdout, run.stdout
    _flip_last_byte(interop / "model.o1c")
    run = cli("verify", "model.o1c", "--signature", "ms.sig", "--key", "key.pub", cwd=interop)
    assert run.returncode == 1 and "SHA-256 differs" in run.stdout


def test_reuse_takes_the_digests_of_an_unchanged_file_only(signed, tmp_path):
    for name in ("model.o1c", "model.o1c.sig", "key.pem", "key.pub"):
        (tmp_path / name).write_bytes((signed / name).read_bytes())
    os.utime(tmp_path / "model.o1c", ns=(os.stat(signed / "model.o1c").st_mtime_ns,) * 2)
    again = cli("sign", "model.o1c", "--key", "key.pem", "--reuse", "model.o1c.sig", "--signature", "new.sig",
                cwd=tmp_path)
    assert again.returncode == 0 and "digests reused" in again.stdout
    _flip_last_byte(tmp_path / "model.o1c")  # the modification time moves on: nothing is reused
    again = cli("sign", "model.o1c", "--key", "key.pem", "--reuse", "new.sig", "--signature", "new.sig",
                cwd=tmp_path)
    assert again.returncode == 0 and "reused" not in again.stdout
    assert cli("verify", "model.o1c", "--signature", "new.sig", "--key", "key.pub", cwd=tmp_path).returncode == 0


def test_the_python_example_of_the_doc_runs(tmp_path, monkeypatch):
    import pathlib
    import re

    doc = pathlib.Path(__file__).resolve().parent.parent / "docs" / "signing.md"
    (block,) = re.findall(r"```python\n(.*?)```", doc.read_text(), re.S)
    ir.write(tmp_path / "model.o1c", examples.classifier())
    assert cli("keygen", "release.pem", cwd=tmp_path).returncode == 0
    (tmp_path / "trusted-keys").mkdir()
    (tmp_path / "trusted-keys" / "release.pub").write_bytes((tmp_path / "release.pub").read_bytes())
    monkeypatch.chdir(tmp_path)
    exec(compile(block, str(doc), "exec"), {"__name__": "doc_example"})
