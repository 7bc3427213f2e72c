"""The parser and the one failure policy around every command."""

import argparse
import contextlib
import os
import signal
import sys
import threading
import warnings

from ... import _files
from .arguments import EXIT_ERROR, shared_parents
from .files import FileError, describe, redirected_output
from .terminal import (PROG, OutputError, discard_output, emit, finish_output, print_error, protect_streams,
                       write_stderr)

# Set to anything non-empty for a traceback with internal errors (for bug reports).
DEBUG_VARIABLE = "ONDREL_SDK_DEBUG"

EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, what a shell reports for a reader that went away
# Signals that end the command the way an interrupt does: the work stops, temporary files are removed.
ENDING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


class Terminated(BaseException):
    """A SIGTERM or SIGHUP arrived: unwinds the command like KeyboardInterrupt, so nothing is left half done."""

    def __init__(self, number):
        super().__init__(number)
        self.number = number


def _terminate(number, frame):
    signal.signal(number, signal.SIG_DFL)  # a second one ends the program at once
    raise Terminated(number)


@contextlib.contextmanager
def _ending_signals_unwind():
    """SIGTERM and SIGHUP raise Terminated while the block runs (in the main thread only: elsewhere the
    interpreter cannot install handlers, and the caller keeps its own)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    saved = {number: signal.signal(number, _terminate) for number in ENDING_SIGNALS}
    try:
        yield
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)


class Parser(argparse.ArgumentParser):
    """Usage and help text go through the command line's own writers, so a full disk or a
    closed pipe is handled like any other output."""

    def _print_message(self, message, file=None):
        if not message:
            return
        if file is sys.stderr:
            write_stderr(message)
        else:
            emit(message, end="")


def build_parser():
    import ondrel

    from .commands import COMMANDS

    parser = Parser(
        prog=PROG,
        description="Analyse, lint, compare, fingerprint and stamp ONDREL IR models (.o1c files).",
        epilog=f"Start with '{PROG} demo'. Exit statuses: 0 success, 1 findings (lint errors, models differ, "
               "verification failed), 2 unusable input or arguments.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {ondrel.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    common, batch = shared_parents()
    for command in COMMANDS:
        command.register(commands, common, batch)
    return parser


def parse_arguments(argv):
    args = build_parser().parse_args(argv)
    check_usage = getattr(args, "check_usage", None)
    if check_usage is not None:
        check_usage(args)
    return args


def _exit_status(code):
    """The status of argparse's SystemExit: 0 after --help or --version, 2 for bad arguments."""
    if code is None:
        return 0
    return code if isinstance(code, int) else EXIT_ERROR


def main(argv=None):
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); return the exit status.

    Status 1 only ever means findings (lint errors, models differ, failed
    verification); anything that goes wrong is one error line and status 2.
    """
    protect_streams()
    if not sys.warnoptions:
        # Numeric warnings (an empty mean, a complex value read as real) are not findings.
        warnings.simplefilter("ignore")
    with _ending_signals_unwind():
        try:
            return _run(argv)
        except Terminated as ended:
            return 128 + ended.number
        finally:
            _files.remove_temporaries()  # whatever an interruption left behind


def _run(argv):
    no_color = False
    try:
        try:
            args = parse_arguments(argv)
        except SystemExit as exit:
            status = _exit_status(exit.code)
        else:
            no_color = args.no_color
            with redirected_output(getattr(args, "output_file", None)):
                status = args.handler(args)
        finish_output()
        return status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): silence the flush at exit.
        discard_output()
        return EXIT_BROKEN_PIPE
    except FileError as e:
        print_error(e, no_color)
        return EXIT_ERROR
    except OutputError as e:
        print_error(f"cannot write the output: {e}", no_color)
        discard_output()
        return EXIT_ERROR
    except Exception as e:  # a fault of this program: still one line, and the traceback on request
        if os.environ.get(DEBUG_VARIABLE):
            import traceback

            traceback.print_exc(file=sys.stderr)
        hint = "" if os.environ.get(DEBUG_VARIABLE) else f" (set {DEBUG_VARIABLE}=1 to see the traceback)"
        print_error(f"internal error: {describe(e)}{hint}", no_color)
        return EXIT_ERROR
