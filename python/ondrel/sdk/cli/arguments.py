"""Argument types and the options that several commands share."""

import argparse
import math

EXIT_OK = 0
EXIT_FINDINGS = 1
EXIT_ERROR = 2


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a number of seconds > 0, got {text!r}")
    return value


def tolerance(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, got {text!r}")
    return value


def add_tolerance_options(sub, prefix=""):
    """--atol and --rtol, as compare_graphs takes them (``prefix`` begins each help text)."""
    sub.add_argument("--atol", type=tolerance, default=1e-6, metavar="X",
                     help=f"{prefix}absolute tolerance for parameter values (default 1e-6)")
    sub.add_argument("--rtol", type=tolerance, default=1e-5, metavar="X",
                     help=f"{prefix}relative tolerance for parameter values, relative to B (default 1e-5)")


def shared_parents():
    """(options every command takes, options of the commands that handle many files)."""
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--no-color", action="store_true",
                        help="no ANSI colours (the default off a terminal, or when NO_COLOR is set)")
    batch = argparse.ArgumentParser(add_help=False)
    workers = batch.add_mutually_exclusive_group()
    workers.add_argument("-j", "--jobs", type=positive_int, default=1, metavar="N",
                         help="handle the files in N parallel processes (default 1, at most the usable CPUs); "
                              "output keeps the input order")
    workers.add_argument("--dask", metavar="ADDRESS",
                         help="handle the files on the Dask cluster whose scheduler is at ADDRESS (e.g. "
                              "tcp://scheduler:8786; needs the 'dask' extra); the workers must see the files "
                              "at the same absolute paths; output keeps the input order")
    batch.add_argument("--dask-timeout", type=seconds, default=30.0, metavar="SECONDS",
                       help="with --dask: give up (one error line) when connecting takes longer, or when the "
                            "scheduler stops answering or has no workers for that long (default 30)")
    return common, batch


def add_command(commands, handler, name, help, epilog, parents, check_usage=None):
    """A subcommand run by ``handler(args)``, which returns the exit status.

    ``check_usage(args, error)``, when given, runs right after parsing and calls
    ``error(message)`` for options that parse but do not go together.
    """
    sub = commands.add_parser(name, help=help, description=help[0].upper() + help[1:] + ".",
                              epilog=f"exit status: {epilog}", parents=list(parents))
    sub.set_defaults(handler=handler,
                     check_usage=(lambda args: check_usage(args, sub.error)) if check_usage else None)
    return sub


def add_format_options(sub, formats, help):
    """``--format`` (the first of ``formats`` by default) and ``-o/--output-file``."""
    sub.add_argument("--format", choices=formats, default=formats[0], help=help)
    sub.add_argument("-o", "--output-file", metavar="FILE",
                     help="write the output to FILE instead of standard output; FILE is replaced only once "
                          "the command is done, so it never holds half an output ('-': standard output)")


def worst(statuses):
    """The exit status of a batch: an error beats findings, findings beat success."""
    return max(statuses, default=EXIT_OK)
