"""Writing a file whole or not at all, without destroying what a path should keep.

A new file is written to a temporary file beside its destination and renamed
onto it once complete, so the destination holds the old file or the new one,
never half of one. Every temporary file is registered until it is renamed or
removed; ``remove_temporaries`` removes those an interrupted program left (the
command line calls it on its way out, a SIGTERM included).

``destination`` says what writing to a path means:

- a symbolic link is followed to the file it names, as ``open`` follows it, and
  that file is the one replaced (or created);
- an existing FIFO, device or socket, or an open file of a process
  (``/dev/stdout``, ``/dev/fd/N``, ``/proc/self/fd/N``), is never replaced: text
  is written through to it as a shell's ``>`` would, a model refuses it;
- a directory, or a name ending in ``/``, is refused with IsADirectoryError.
"""

import errno
import os
import re
import secrets
import stat
from typing import NamedTuple, Optional

# Follows at most this many links, as the kernel does (ELOOP beyond).
_MAX_LINKS = 40
_OPEN_FILE = re.compile(r"/proc/(\d+)/fd/(\d+)\Z")
# os.link errors that mean the file system has no hard links.
_NO_HARD_LINKS = frozenset([errno.EPERM, errno.EXDEV, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK, errno.ENOSYS])
_KINDS = [(stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket")]

# Temporary files of this process not yet renamed into place: path -> owning process id.
_temporaries: dict[str, int] = {}


class Destination(NamedTuple):
    """Where writing to a path goes: ``path`` is the file to replace (links followed), or, when
    ``through`` names what it is ("a FIFO", ...), the file to write through to."""

    path: str
    through: Optional[str] = None


def _kind(mode):
    return next((text for is_kind, text in _KINDS if is_kind(mode)), "an open file of a process")


def destination(path):
    """The ``Destination`` of writing to ``path``; IsADirectoryError for a folder, OSError (ELOOP) for a loop."""
    given = os.fsdecode(os.fspath(path))
    if given.endswith(os.sep):
        text = "is a directory" if os.path.isdir(given) else "names a directory (it ends with '/')"
        raise IsADirectoryError(errno.EISDIR, text, given)
    current = os.path.abspath(given)
    for _ in range(_MAX_LINKS):
        folder = os.path.realpath(os.path.dirname(current))  # links among the folders
        current = os.path.join(folder, os.path.basename(current))
        if current.startswith("/proc/"):  # /dev/stdout and the like: an open file, never a name to replace
            try:
                return Destination(current, _kind(os.stat(current).st_mode))
            except OSError:
                return Destination(current, "an open file of a process")
        try:
            mode = os.lstat(current).st_mode
        except FileNotFoundError:
            return Destination(current)
        if stat.S_ISLNK(mode):
            current = os.path.join(folder, os.readlink(current))
            continue
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, "is a directory", given)
        return Destination(current) if stat.S_ISREG(mode) else Destination(current, _kind(mode))
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), given)


def open_through(target):
    """A descriptor writing to the ``Destination`` ``target`` (a FIFO, a device, an open file) as a shell's
    ``>`` would; one of this process's own descriptors (``/dev/stdout``) is duplicated, not reopened."""
    own = _OPEN_FILE.match(target.path)
    if own and int(own.group(1)) == os.getpid():
        return os.dup(int(own.group(2)))
    return os.open(target.path, os.O_WRONLY | os.O_TRUNC | os.O_NOCTTY | os.O_CLOEXEC)


def open_for_writing(target):
    """(descriptor, temporary) for writing to the ``Destination`` ``target``: a new temporary file beside the
    file to replace (rename it with ``publish`` when done, or ``discard`` it), or, for a destination written
    through, a descriptor of its own and None."""
    if target.through:
        return open_through(target), None
    return new_temporary(target.path)


def new_temporary(target, mode=None):
    """A new, empty temporary file beside the file ``target`` (a path): (descriptor, path).

    It gets ``mode`` when given, from the moment it exists (a private key's
    0600 is never looser, not even briefly); otherwise the mode ``target`` has,
    or the one a new file gets under the umask.
    """
    folder, base = os.path.split(target)
    for _ in range(100):
        path = os.path.join(folder, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666 if mode is None else mode)
        except FileExistsError:
            continue
        _temporaries[path] = os.getpid()
        try:
            os.fchmod(fd, stat.S_IMODE(os.stat(target).st_mode) if mode is None else mode)
        except FileNotFoundError:
            pass
        except BaseException:
            os.close(fd)
            discard(path)
            raise
        return fd, path
    raise FileExistsError(errno.EEXIST, "could not create a temporary file", folder)


def discard(temporary):
    """Remove a temporary file (if it is still there)."""
    _temporaries.pop(temporary, None)
    try:
        os.unlink(temporary)
    except OSError:
        pass


def exists_error(path):
    return FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), path)


def publish(temporary, target, overwrite=True):
    """Rename the complete ``temporary`` onto ``target``; without ``overwrite``, FileExistsError when
    ``target`` exists, even when it appeared meanwhile (the temporary file is then left to the caller)."""
    if overwrite:
        os.replace(temporary, target)
    else:
        try:
            os.link(temporary, target)  # fails if target exists, atomically
        except FileExistsError:
            raise exists_error(target) from None
        except OSError as e:
            if e.errno not in _NO_HARD_LINKS:
                raise
            # A file system without hard links: check, then rename.
            if os.path.lexists(target):
                raise exists_error(target) from None
            os.replace(temporary, target)
        else:
            os.unlink(temporary)
    _temporaries.pop(temporary, None)


def remove_temporaries():
    """Remove every temporary file this process created and has not renamed into place."""
    for path, pid in list(_temporaries.items()):
        if pid == os.getpid():
            discard(path)
