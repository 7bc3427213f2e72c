"""``ondrel-sdk check``: will each model fit a target device, at its bit widths."""

from ..arguments import add_command
from . import lint


def register(commands, common, batch):
    sub = add_command(commands, run, "check",
                      "map models onto a target device and check their quantization",
                      "0 every model fits (or --exit-zero), 1 some model does not fit (an error finding), "
                      "2 unusable model, profile or configuration", (common, batch))
    sub.add_argument("models", nargs="+", metavar="MODEL", help=".o1c files, or folders searched for them")
    sub.add_argument("--target", metavar="NAME|FILE",
                     help="a shipped profile (" + ", ".join(lint.shipped_names()) + "), a profile file, or a "
                          "pyproject.toml with [tool.ondrel-sdk.target] (default: the configuration's "
                          "[tool.ondrel-sdk.target]; without any, only the declared weight widths are checked)")
    lint.add_lint_options(sub)


def run(args):
    return lint.run(args, with_lint=False)
