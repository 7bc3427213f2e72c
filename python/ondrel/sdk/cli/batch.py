"""Commands that print one report per model: ``summary`` and ``cost``."""

import os

from .arguments import EXIT_ERROR, EXIT_OK
from .files import FileError, expand_models, run_per_file
from .formats import dumps_json
from .terminal import PROG, emit, print_error
from .workers import cluster


def report_per_model(args, task, task_args, show):
    """Run ``task(path, *task_args)`` over the models of ``args`` and print each result: JSON gathered into one
    document at the end (a model named on its own: its record alone, as it is), the other formats as
    ``show(path, result, single)`` writes them, CSV with one header for the whole batch. Returns the exit status."""
    # One file named on its own keeps the plain report or record; anything else is a batch.
    single = len(args.models) == 1 and not os.path.isdir(args.models[0])
    status, entries, reports = EXIT_OK, [], 0
    for path, result in run_per_file(task, expand_models(args.models), task_args, args.jobs,
                                     f"{PROG} {args.command}", dask=cluster(args)):
        if isinstance(result, FileError):
            print_error(result, args.no_color)
            entries.append({"path": path, "error": result.reason})
            status = EXIT_ERROR
        elif args.format == "json":
            entries.append(result if single else {"path": path, **result})
        else:
            shown = show(path, result, single)
            if args.format == "csv" and reports:  # one header for the whole batch
                shown = shown.split("\n", 1)[1] if "\n" in shown else ""
            emit(("\n" if reports and args.format != "csv" else "") + shown, flush=True)
            reports += 1
    if args.format == "json" and not (single and status == EXIT_ERROR):
        emit(dumps_json(entries[0] if single else entries))
    return status
