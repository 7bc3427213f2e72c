"""Reading the files a command is given, and handling each file on its own.

Whatever goes wrong with one file (it cannot be read, a service refuses the
model, the result cannot be written) becomes a ``FileError`` for that file: one
``ondrel-sdk: error: PATH: REASON`` line and exit status 2, while the other
files are still handled.
"""

import os
import stat

from .terminal import Progress, print_note


class FileError(Exception):
    """A file that could not be handled: one line on stderr, exit status 2."""

    def __init__(self, path, reason):
        super().__init__(path, reason)  # both in args, so the error survives pickling from a worker
        self.path = path
        self.reason = reason

    def __str__(self):
        return f"{self.path}: {self.reason}"


def describe(error):
    """One line saying what went wrong, for an exception of any kind."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _strip_path(message, path):
    prefix = f"{path}: "
    return message[len(prefix):] if message.startswith(prefix) else message


def read_model(path):
    """The graph stored in ``path``; FileError when it is missing or not a readable .o1c file."""
    from ondrel import ir

    try:
        return ir.read(path)
    except OSError as e:
        raise FileError(path, e.strerror or str(e)) from None
    except ValueError as e:  # the reader's messages start with the path already
        raise FileError(path, _strip_path(str(e), path)) from None


def read_text_file(path):
    """The UTF-8 text of a regular file; a FIFO or a device is refused instead of waited on."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise FileError(path, "not a regular file")
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        with open(fd, "rb") as handle:
            if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):  # replaced since the check
                raise FileError(path, "not a regular file")
            data = handle.read()
    except OSError as e:
        raise FileError(path, e.strerror or str(e)) from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise FileError(path, "not UTF-8 text") from None


def read_json_object(path):
    """The JSON object stored in ``path``; FileError for anything else."""
    import json

    try:
        value = json.loads(read_text_file(path))
    except FileError as e:
        if e.reason == "not UTF-8 text":
            raise FileError(path, "not valid JSON (not UTF-8 text)") from None
        raise
    except json.JSONDecodeError as e:
        raise FileError(path, f"not valid JSON ({e})") from None
    except RecursionError:
        raise FileError(path, "not valid JSON (nested too deeply)") from None
    if type(value) is not dict:
        raise FileError(path, f"must hold a JSON object, not {_json_type_name(value)}")
    return value


def _json_type_name(value):
    names = {list: "an array", str: "a string", int: "a number", float: "a number", bool: "a boolean"}
    return names.get(type(value), "null")


def attempt(task, path, *args):
    """``task(path, *args)``, or the FileError that says why it failed."""
    try:
        return task(path, *args)
    except FileError as e:
        return e
    except Exception as e:  # a service refusing the model, or anything else: one line for this file
        return FileError(path, describe(e))


def usable_cpus():
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def worker_count(jobs, files):
    """How many worker processes ``--jobs`` gives for ``files`` files: never more than the usable CPUs."""
    cpus = usable_cpus()
    if jobs > cpus:
        print_note(f"--jobs {jobs} is more than the {cpus} usable CPU{'s' if cpus > 1 else ''}; using {cpus}")
        jobs = cpus
    return min(jobs, files)


def run_per_file(task, paths, args, jobs, label):
    """Yield ``(path, result)`` in input order; ``result`` is a FileError for a file that failed.

    With ``jobs`` > 1 the files are handled by that many worker processes.
    """
    progress = Progress(label, paths)
    workers = worker_count(jobs, len(paths)) if jobs > 1 else 1
    try:
        if workers > 1:
            from concurrent.futures import ProcessPoolExecutor

            pool = ProcessPoolExecutor(max_workers=workers)
            try:
                futures = [pool.submit(attempt, task, path, *args) for path in paths]
                for index, (path, future) in enumerate(zip(paths, futures)):
                    progress.show(index, path)
                    try:
                        result = future.result()
                    except Exception as e:  # the worker itself died
                        result = FileError(path, f"worker process failed ({describe(e)})")
                    progress.clear()
                    yield path, result
            finally:
                pool.shutdown(wait=True, cancel_futures=True)
        else:
            for index, path in enumerate(paths):
                progress.show(index, path)
                result = attempt(task, path, *args)
                progress.clear()
                yield path, result
    finally:
        progress.clear()


def read_models(paths, label):
    """The graphs of ``paths`` read in this process (None for each that failed) and the FileErrors."""
    graphs, failures = [], []
    for _, result in run_per_file(read_model, paths, (), 1, label):
        if isinstance(result, FileError):
            failures.append(result)
            graphs.append(None)
        else:
            graphs.append(result)
    return graphs, failures
