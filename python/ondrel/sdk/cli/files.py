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

from ... import _files
from .terminal import OutputError, Progress, print_note


class FileError(Exception):
    """A file that could not be handled: one line on stderr, exit status 2."""

    def __init__(self, path, reason):
        super().__init__(path, reason)  # both in args, so the error survives pickling from a worker
        self.path = path
        self.reason = reason

    def __str__(self):
        return f"{self.path}: {self.reason}"


# What the SDK's guarded reads of mapped files say (OSError, errno EFAULT) when a file shrank under them.
file_changed_text = "file changed while it was being read"


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
            info = os.fstat(handle.fileno())
            if not stat.S_ISREG(info.st_mode):  # replaced since the check
                raise FileError(path, "not a regular file")
            refuse_output(path, info)
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


def run_per_file(task, paths, args, jobs, label, dask=None):
    """Yield ``(path, result)`` in input order; ``result`` is a FileError for a file that failed.

    With ``jobs`` > 1 the files are handled by that many worker processes, with
    ``dask`` (a ``workers.DaskCluster``) on that Dask cluster. A FileError among
    ``paths`` (see ``expand_models``) is passed through as that entry's result.
    An input that is the command's output file is refused before any file is
    handled.
    """
    shown = [item.path if isinstance(item, FileError) else item for item in paths]
    pending = [item for item in paths if not isinstance(item, FileError)]
    for path in pending:
        refuse_output(path)
    progress = Progress(label, shown)
    workers = worker_count(jobs, len(pending)) if jobs > 1 and dask is None else 1
    if dask is not None:
        from .workers import dask_results

        results = dask_results(task, pending, args, dask)
    elif workers > 1:
        from .workers import pool_results

        results = pool_results(task, pending, args, workers)
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


def changed_files(paths, before):
    """The ``paths`` whose file is not what ``os.stat`` found before (``before``: those results, or None)."""
    changed = []
    for path, old in zip(paths, before):
        try:
            new = os.stat(path)
        except OSError:
            new = None
        if (old and (old.st_ino, old.st_size, old.st_mtime_ns)) != (new and (new.st_ino, new.st_size, new.st_mtime_ns)):
            changed.append(path)
    return changed


def stat_or_none(path):
    try:
        return os.stat(path)
    except OSError:
        return None


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


# ---------------------------------------------------------------- the output file

# (device, inode, path as given) of the regular file this command's output will replace, while it runs.
_output = None


def output_destination(path):
    """Where writing the output to ``path`` goes (an ``_files.Destination``); FileError for a folder or a loop."""
    try:
        return _files.destination(path)
    except IsADirectoryError as e:
        raise FileError(path, e.strerror) from None
    except OSError as e:
        raise FileError(path, f"cannot write there: {describe(e)}") from None


exists_text = "already exists (use --force to overwrite)"


def file_destination(path, overwrite, what):
    """The Destination of ``path`` for ``what`` ("a model", "a key"), which only a regular file holds:
    FileError for a FIFO, a device or an open file, and, without ``overwrite``, for a file that exists."""
    target = output_destination(path)
    if target.through:
        raise FileError(path, f"not a regular file ({target.through}); {what} is written to a file")
    if not overwrite and os.path.lexists(target.path):
        raise FileError(path, exists_text)
    return target


def publish_output(path, temporary, target, overwrite):
    """Rename the complete ``temporary`` onto ``target`` (the Destination of ``path``); FileError when that fails
    (without ``overwrite``, when a file is there, even one that appeared meanwhile)."""
    try:
        _files.publish(temporary, target.path, overwrite)
    except FileExistsError:
        raise FileError(path, exists_text) from None
    except OSError as e:
        raise FileError(path, describe(e)) from None


def write_model_file(model, out, target, graph, overwrite, check=None):
    """Write ``graph`` to ``out`` (``target``: its Destination) through a temporary file beside it, or nothing.

    ``check(temporary)`` runs on the written file before it is renamed into place
    (without ``overwrite``, never over a file, not even one that appeared
    meanwhile). Arrays mapped from the input ``model`` that shrank meanwhile are
    an error for ``model``.
    """
    import errno

    from ondrel import ir

    try:
        fd, temporary = _files.new_temporary(target.path)
    except OSError as e:
        raise FileError(out, describe(e)) from None
    os.close(fd)
    try:
        try:
            ir.write(temporary, graph)
        except OSError as e:
            if e.errno == errno.EFAULT:  # reading the input's map failed: it shrank
                raise FileError(model, file_changed_text) from None
            raise FileError(out, describe(e)) from None
        except ValueError as e:  # something in the graph that an .o1c file cannot hold
            raise FileError(out, strip_path(str(e), temporary)) from None
        if check is not None:
            check(temporary)
        publish_output(out, temporary, target, overwrite)
    finally:
        _files.discard(temporary)


def write_file(path, target, data, overwrite, mode=None):
    """Write the bytes ``data`` whole to ``target`` (a ``file_destination`` of ``path``), or nothing.

    ``mode`` gives the file its permissions from the moment it exists (else it
    takes those of the file it replaces, or a new file's under the umask).
    """
    try:
        fd, temporary = _files.new_temporary(target.path, mode)
    except OSError as e:
        raise FileError(path, describe(e)) from None
    try:
        try:
            with open(fd, "wb") as handle:
                handle.write(data)
        except OSError as e:
            raise FileError(path, describe(e)) from None
        publish_output(path, temporary, target, overwrite)
    finally:
        _files.discard(temporary)


@contextlib.contextmanager
def claimed_output(path, target):
    """While the block runs, reading the file ``target`` (a Destination) replaces as an input is refused."""
    global _output
    saved = _output
    try:
        info = os.stat(target.path)
    except OSError:
        info = None
    if info is not None and not target.through and stat.S_ISREG(info.st_mode):
        _output = (info.st_dev, info.st_ino, path)
    try:
        yield
    finally:
        _output = saved


def refuse_output(path, info=None):
    """FileError when the input ``path`` (``info``: its stat, if known) is the file the output will replace."""
    if _output is None:
        return
    if info is None:
        try:
            info = os.stat(path)
        except OSError:
            return  # reading it will say what is wrong
    if (info.st_dev, info.st_ino) == _output[:2]:
        which = "also an input" if path == _output[2] else f"the input {path}"
        raise FileError(_output[2], f"is {which}; the output would replace it")


@contextlib.contextmanager
def redirected_output(path):
    """Standard output into the file ``path`` (None or ``-``: left alone), replaced only when the block ends well.

    A regular file (or the file a symbolic link names) is written to a
    temporary file beside it and renamed onto it, so it holds either the whole
    output or what it held before. A FIFO, a device or an open file such as
    ``/dev/stdout`` is written to directly, as a shell redirection would. A
    folder, or a file that is also one of the command's inputs, is refused
    before anything is written.
    """
    if path is None or path == "-":
        yield
        return
    target = output_destination(path)
    try:
        fd, temporary = _files.open_for_writing(target)
    except OSError as e:
        raise FileError(path, f"cannot write there: {describe(e)}") from None
    stream = open(fd, "w", encoding="utf-8", errors="backslashreplace")
    try:
        saved, sys.stdout = sys.stdout, stream
        try:
            with claimed_output(path, target):
                yield
        finally:
            sys.stdout = saved
        stream.close()
        if temporary is not None:
            _files.publish(temporary, target.path)
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
            _files.discard(temporary)
