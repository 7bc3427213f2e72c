"""``ondrel-sdk keygen``: a new key pair for signing models."""

import os

from ..arguments import EXIT_OK, add_command
from ..files import FileError, file_destination, write_file
from ..terminal import display, emit
from .sign import signing_module

PRIVATE_MODE = 0o600


def register(commands, common, batch):
    sub = add_command(commands, run, "keygen",
                      "write a new key pair: a private key (mode 0600) and its public key, as PEM",
                      "0 written, 2 a key file exists (without --force) or cannot be written", (common,))
    sub.add_argument("private", metavar="PRIVATE.pem", help="where to write the private key")
    sub.add_argument("--public", metavar="PUBLIC.pem",
                     help="where to write the public key (default: PRIVATE with its suffix replaced by .pub)")
    sub.add_argument("--type", choices=("ed25519", "p256"), default="ed25519",
                     help="Ed25519 (default) or ECDSA on NIST P-256 (what model_signing's 'verify key' takes)")
    sub.add_argument("--encrypt", action="store_true",
                     help="encrypt the private key with the password in ONDREL_SDK_KEY_PASSWORD "
                          "(asked for twice on a terminal when that is not set)")
    sub.add_argument("--force", action="store_true", help="replace existing key files")


def public_path(private):
    root, _ = os.path.splitext(private)
    return root + ".pub"


def new_password():
    import sys

    signing = signing_module()
    password = os.environ.get(signing.PASSWORD_VARIABLE)
    if password is None and sys.stdin is not None and sys.stdin.isatty():
        import getpass

        password = getpass.getpass("Password for the new key: ")
        if getpass.getpass("The same password again: ") != password:
            raise FileError("keygen", "the two passwords differ; no key was written")
    if not password:
        raise FileError("keygen", f"--encrypt needs a password: set {signing.PASSWORD_VARIABLE} "
                                  "or run on a terminal")
    return password.encode()


def run(args):
    signing = signing_module()
    public = args.public or public_path(args.private)
    for path in (args.private, public):
        if path == "-":
            raise FileError(path, "key files cannot go to standard output")
    # Key files are regular files (never written through to a device or FIFO); links are followed.
    private_target, public_target = (file_destination(path, args.force, "a key") for path in (args.private, public))
    if private_target.path == public_target.path:
        raise FileError(public, "the public key cannot go where the private key goes")
    password = new_password() if args.encrypt else None
    key = signing.generate_key(args.type)
    write_file(args.private, private_target, signing.private_pem(key, password), args.force, mode=PRIVATE_MODE)
    write_file(public, public_target, signing.public_pem(key.public_key()), args.force)
    emit(f"Wrote {display(args.private)} (private, {signing.key_description(key)}"
         f"{', encrypted' if password else ''}) and {display(public)} (public)")
    emit(f"  key id: {signing.key_id(key.public_key())}")
    return EXIT_OK
