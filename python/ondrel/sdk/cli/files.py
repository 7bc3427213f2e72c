"""Reading the files a command is given, and handling each file on its own.

Whatever goes wrong with one file (it cannot be read, a service refuses the
model, the result cannot be written) becomes a ``FileError`` for that file: one
``ondrel-sdk: error: PATH: REASON`` line and exit status 2, while the other
files are still handled.
"""

import contextlib
import os
import stat
import sys
import tempfile

from .terminal import OutputError, Progress, print_note


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


def strip_path(message, path):
    """``message`` without the ``PATH: `` the IR layer starts its errors with."""
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
        raise FileError(path, strip_path(str(e), path)) from None


def read_file_bytes(path):
    """The bytes of a regular file (``-``: standard input); a FIFO or a device is refused instead of waited on."""
    if path == "-":
        stream = getattr(sys.stdin, "buffer", None)
        if stream is None:
            raise FileError(path, "standard input is closed")
        try:
            return stream.read()
        except (OSError, ValueError) as e:
            raise FileError(path, describe(e)) from None
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise FileError(path, "not a regular file")
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        with open(fd, "rb") as handle:
            if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):  # replaced since the check
                raise FileError(path, "not a regular file")
            return handle.read()
    except OSError as e:
        raise FileError(path, e.strerror or str(e)) from None


def read_text_file(path):
    """The UTF-8 text of a regular file (see ``read_file_bytes``)."""
    try:
        return read_file_bytes(path).decode("utf-8")
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


MODEL_SUFFIX = ".o1c"


def expand_models(paths):
    """``paths`` with each folder replaced by the .o1c files below it, sorted.

    A folder without any, or one that cannot be searched, stands as a FileError
    in its place, so that it is reported in argument order like a bad file.
    Links to folders are not followed.
    """
    expanded = []
    for path in paths:
        if not os.path.isdir(path):
            expanded.append(path)
            continue
        found, unreadable = [], []
        for folder, _, names in os.walk(path, onerror=unreadable.append):
            found += [os.path.join(folder, name) for name in names if name.endswith(MODEL_SUFFIX)]
        expanded += sorted(found)
        expanded += [FileError(e.filename, f"cannot search this folder: {describe(e)}") for e in unreadable]
        if not found and not unreadable:
            expanded.append(FileError(path, f"no {MODEL_SUFFIX} files in this folder"))
    return expanded


def _serial_results(task, paths, args):
    for path in paths:
        yield attempt(task, path, *args)


def _pool_results(task, paths, args, workers):
    from concurrent.futures import ProcessPoolExecutor

    pool = ProcessPoolExecutor(max_workers=workers)
    try:
        futures = [pool.submit(attempt, task, path, *args) for path in paths]
        for path, future in zip(paths, futures):
            try:
                yield future.result()
            except Exception as e:  # the worker itself died
                yield FileError(path, f"worker process failed ({describe(e)})")
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


DASK_EXTRA = "pip install 'ondrel[dask]'"


def _dask_results(task, paths, args, address):
    """The results computed on the Dask cluster whose scheduler is at ``address``.

    The workers get absolute paths (they run in other folders, usually on
    other hosts that see the same file system); what they report is named by
    the path as given here.
    """
    try:
        from distributed import Client
    except ImportError:
        raise FileError(address, f"--dask needs the 'distributed' package ({DASK_EXTRA})") from None
    try:
        client = Client(address, set_as_default=False)
    except Exception as e:
        raise FileError(address, f"cannot connect to the Dask scheduler ({describe(e)})") from None
    try:
        absolute = [os.path.abspath(path) for path in paths]
        futures = [client.submit(attempt, task, path, *args, pure=False) for path in absolute]
        for path, full, future in zip(paths, absolute, futures):
            try:
                result = future.result()
            except Exception as e:  # the worker died, or the scheduler went away
                result = FileError(path, f"Dask worker failed ({describe(e)})")
            if isinstance(result, FileError) and result.path == full:
                result = FileError(path, strip_path(result.reason, full))
            yield result
    finally:
        client.close()


def run_per_file(task, paths, args, jobs, label, dask=None):
    """Yield ``(path, result)`` in input order; ``result`` is a FileError for a file that failed.

    With ``jobs`` > 1 the files are handled by that many worker processes, with
    ``dask`` (a scheduler address) on that Dask cluster. A FileError among
    ``paths`` (see ``expand_models``) is passed through as that entry's result.
    """
    shown = [item.path if isinstance(item, FileError) else item for item in paths]
    pending = [item for item in paths if not isinstance(item, FileError)]
    progress = Progress(label, shown)
    workers = worker_count(jobs, len(pending)) if jobs > 1 and dask is None else 1
    if dask is not None:
        results = _dask_results(task, pending, args, dask)
    elif workers > 1:
        results = _pool_results(task, pending, args, workers)
    else:
        results = _serial_results(task, pending, args)
    try:
        for index, (path, item) in enumerate(zip(shown, paths)):
            if isinstance(item, FileError):
                yield path, item
                continue
            progress.show(index, path)
            result = next(results)
            progress.clear()
            yield path, result
    finally:
        results.close()
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


@contextlib.contextmanager
def redirected_output(path, mode=None):
    """Standard output into the file ``path`` (None or ``-``: left alone), replaced only when the block ends well.

    The output is written to a temporary file beside ``path`` and renamed onto
    it, so ``path`` holds either the whole output or what it held before. An
    existing ``path`` that is not a regular file (``/dev/null``, a terminal) is
    written to directly, as a shell redirection would. ``mode`` sets the new
    file's permissions (the temporary file is created readable by its owner only).
    """
    if path is None or path == "-":
        yield
        return
    target = os.path.realpath(path)
    if os.path.isdir(target):
        raise FileError(path, "is a directory")
    try:
        replace = not os.path.exists(target) or stat.S_ISREG(os.stat(target).st_mode)
        if replace:
            fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                                             dir=os.path.dirname(target))
        else:
            fd, temporary = os.open(target, os.O_WRONLY | os.O_TRUNC), None
        stream = open(fd, "w", encoding="utf-8", errors="backslashreplace")
    except OSError as e:
        raise FileError(path, f"cannot write there: {describe(e)}") from None
    saved, sys.stdout = sys.stdout, stream
    try:
        try:
            yield
        finally:
            sys.stdout = saved
        stream.close()
        if temporary is not None:
            os.chmod(temporary, _new_file_mode(target) if mode is None else mode)
            os.replace(temporary, target)
            temporary = None
    except OutputError as e:
        raise FileError(path, str(e)) from None
    except OSError as e:
        raise FileError(path, describe(e)) from None
    finally:
        if not stream.closed:
            try:
                stream.close()
            except OSError:
                pass
        if temporary is not None:
            os.unlink(temporary)


def _new_file_mode(target):
    """The mode ``target`` has, or the one a new file gets under the umask."""
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask
