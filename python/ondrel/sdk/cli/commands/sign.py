"""``ondrel-sdk sign``: detached signatures of models, made with a private key kept offline.

Also the key handling that ``keygen``, ``verify`` and ``stamp --sign`` share.
"""

import os
import sys

from ..arguments import EXIT_ERROR, EXIT_OK, add_command, worst
from ..files import FileError, attempt, describe, redirected_output, refuse_output, strip_path
from ..terminal import PROG, display, emit, print_error, print_note

SIGNATURE_SUFFIX = ".sig"


def register(commands, common, batch):
    sub = add_command(commands, run, "sign", "sign models with a private key (a detached model_signing bundle each)",
                      "0 every model signed, 2 unusable model, key or output (that model is not signed)",
                      (common,), check_usage)
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files to sign")
    add_private_key_option(sub, required=True)
    sub.add_argument("--signature", metavar="OUT",
                     help=f"where to write the signature (default: MODEL{SIGNATURE_SUFFIX}; '-': standard output); "
                          "only with one MODEL")
    sub.add_argument("--reuse", metavar="OLD.sig",
                     help="an earlier signature of the same file by this key: when it recorded the file with the "
                          "same size, modification time and header, its digests are used instead of hashing")


def add_private_key_option(sub, required):
    sub.add_argument("--key", metavar="PRIVATE.pem", required=required, dest="private_key",
                     help="PEM private key (PKCS#8, Ed25519 or ECDSA P-256); an encrypted key's password is read "
                          "from the environment variable ONDREL_SDK_KEY_PASSWORD, or asked for on a terminal")


def check_usage(args, error):
    if args.signature is not None and len(args.models) > 1:
        error("--signature names one signature file: give one MODEL (or none, for MODEL.sig each)")


def signing_module():
    """``ondrel.sdk.signing`` with its extra loaded, or FileError naming the extra."""
    from ... import signing
    from ...signing import _keys

    try:
        _keys.crypto()
    except signing.MissingExtraError as e:
        raise FileError(PROG, str(e)) from None
    return signing


def password_for(path):
    """The password of an encrypted key: the environment variable, else a prompt on a terminal;
    None when neither is there (loading then says how to give one)."""
    signing = signing_module()
    try:
        encrypted = signing.is_encrypted(path)
    except signing.KeyFileError as e:
        raise FileError(path, strip_path(str(e), path)) from None
    if not encrypted:
        return None
    password = os.environ.get(signing.PASSWORD_VARIABLE)
    if password is not None:
        return password.encode()
    if sys.stdin is not None and sys.stdin.isatty():
        import getpass

        try:
            return getpass.getpass(f"Password for {display(path)}: ").encode()
        except EOFError:
            return None
    return None


def load_private_key(path):
    signing = signing_module()
    refuse_output(path)
    password = password_for(path)
    try:
        return signing.load_private_key(path, password)
    except signing.KeyFileError as e:
        raise FileError(path, strip_path(str(e), path)) from None


def load_trusted_keys(paths):
    signing = signing_module()
    try:
        for path in signing.public_key_files(paths):
            refuse_output(path)
        return signing.load_public_keys(paths)
    except signing.KeyFileError as e:
        path, _, reason = str(e).partition(": ")
        raise FileError(path, reason) from None


def model_errors(path, error):
    """A FileError for what went wrong with a model while it was signed or verified."""
    from ...signing import KeyFileError, SignatureFileError, UndescribableError

    if isinstance(error, (SignatureFileError,)):
        return FileError(path, f"unusable signature: {error}")
    if isinstance(error, (UndescribableError, KeyFileError)):
        return FileError(path, str(error))
    if isinstance(error, OSError):
        return FileError(path, strip_path(error.strerror or str(error), path))
    return FileError(path, strip_path(str(error), path) if isinstance(error, ValueError) else describe(error))


def _sign(path, key, reuse):
    signing = signing_module()
    try:
        return signing.sign_file(path, key, reuse=reuse)
    except (OSError, ValueError) as e:
        raise model_errors(path, e) from None


def _sign_to(path, output, key, reuse, inputs):
    """Sign ``path`` and write the signature to ``output``; an output that is one of ``inputs``
    (the models, the key) is refused before anything is read."""
    with redirected_output(output):
        for input_path in inputs:
            refuse_output(input_path)
        signed = _sign(path, key, reuse)
        emit(signed.bundle, end="")
    return signed


def run(args):
    signing = signing_module()
    key = load_private_key(args.private_key)
    reuse = read_signature(args.reuse) if args.reuse else None  # read whole: the new signature may replace it
    statuses = []
    for path in args.models:
        output = args.signature or path + SIGNATURE_SUFFIX
        signed = attempt(_sign_to, path, output, key, reuse, (*args.models, args.private_key))
        if isinstance(signed, FileError):
            print_error(signed, args.no_color)
            statuses.append(EXIT_ERROR)
            continue
        if output != "-":
            how = ", digests reused" if signed.reused else ""
            emit(f"{display(path)}: signed -> {display(output)} ({signing.key_description(key)}, "
                 f"key id {signed.key_id[:16]}...{how})")
        elif args.reuse and not signed.reused:
            print_note(f"{path}: {args.reuse} did not record this file as it is now; every digest was computed")
        statuses.append(EXIT_OK)
    return worst(statuses)


def read_signature(path):
    """The text of a signature file (``-``: standard input)."""
    from ..files import read_text_file

    return read_text_file(path)
