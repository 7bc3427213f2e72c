"""SHA-256 digests of tensors and files, computed in parallel threads.

Mapped bytes are copied under a guard, slice by slice, into memory of the
hashing call's own, and hashed from there; the copies run without the
interpreter lock and hashlib releases it while it hashes a slice, so threads
hashing mapped memory run on every core. A tensor's digest
is the SHA-256 of the SHA-256 digests of its consecutive pieces of
``PIECE_BYTES`` (relative to the tensor's first byte, so the digest depends on
the bytes alone, not where they lie in a file): the pieces of one large
tensor are hashed in parallel like those of many small ones.
"""

from __future__ import annotations

import hashlib
import mmap
import os
import stat
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Callable, Iterable, Sequence

import numpy as np

from .. import _mapped

PIECE_BYTES = 64 << 20
# Small tensors are hashed together in one task, up to this many bytes, to keep the task count low.
_BATCH_BYTES = 8 << 20


def usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def hash_mapped(hasher: Any, buffer: memoryview, start: int, stop: int) -> None:
    """Feed bytes ``start:stop`` of ``buffer`` (memory that may be mapped from a file) to ``hasher``.

    Every read of mapped model bytes made for signing and verifying goes
    through here or ``MappedFile.read``: slices are copied under the guard of
    ``ondrel.sdk._mapped`` (a file truncated meanwhile is an OSError, errno
    EFAULT, "file changed while it was being read", not SIGBUS), without the
    interpreter lock, so threads still hash in parallel.
    """
    _mapped.hash_into(buffer[start:stop], hasher)


def array_bytes(array: np.ndarray) -> memoryview:
    """The bytes of ``array.tobytes()`` as a flat view: the array's own memory when it is contiguous
    (mapped arrays of a read model are), else a copy made under the guard."""
    if not array.flags.c_contiguous:
        copied = bytearray(array.nbytes)
        try:
            _mapped.copy(array, copied)
        except TypeError:  # no buffer to read from (datetimes): numpy copies
            return memoryview(array.tobytes())
        return memoryview(copied)
    flat = array.reshape(-1)
    return memoryview(flat.view(np.uint8).data) if flat.size else memoryview(b"")


def _piece_digests(items: Sequence[tuple[memoryview, int, int]]) -> list[bytes]:
    digests = []
    for view, start, stop in items:
        hasher = hashlib.sha256()
        hash_mapped(hasher, view, start, stop)
        digests.append(hasher.digest())
    return digests


def _tasks(views: Sequence[memoryview]) -> tuple[list[list[tuple[int, int, int]]], list[int]]:
    """Tasks of (view index, start, stop) pieces, and the number of pieces of each view."""
    tasks: list[list[tuple[int, int, int]]] = []
    batch: list[tuple[int, int, int]] = []
    batch_bytes = 0
    counts = []
    for index, view in enumerate(views):
        size = len(view)
        pieces = [(index, start, min(size, start + PIECE_BYTES)) for start in range(0, size, PIECE_BYTES)]
        counts.append(len(pieces))
        if size >= _BATCH_BYTES:
            tasks += [[piece] for piece in pieces]
            continue
        batch += pieces
        batch_bytes += size
        if batch_bytes >= _BATCH_BYTES:
            tasks.append(batch)
            batch, batch_bytes = [], 0
    if batch:
        tasks.append(batch)
    return tasks, counts


def tensor_digests(views: Sequence[memoryview], streams: Iterable[Callable[[], Any]] = (),
                   workers: int | None = None) -> tuple[list[str], list[Any]]:
    """(hex digest of each view, result of each of ``streams``), all computed in one thread pool.

    ``streams`` are serial jobs (one SHA-256 stream each, such as a whole-file
    digest) that start first; the tensor pieces share the threads with them.
    """
    workers = workers or usable_cpus()
    tasks, counts = _tasks(views)
    streams = list(streams)
    with ThreadPoolExecutor(max_workers=max(1, workers + len(streams) - 1) if streams else workers) as pool:
        stream_futures = [pool.submit(job) for job in streams]
        futures: list[Future[list[bytes]]] = [
            pool.submit(_piece_digests, [(views[i], start, stop) for i, start, stop in task]) for task in tasks]
        pieces = [digest for future in futures for digest in future.result()]
        results = [future.result() for future in stream_futures]
    digests, position = [], 0
    for count in counts:
        digests.append(hashlib.sha256(b"".join(pieces[position:position + count])).hexdigest())
        position += count
    return digests, results


class MappedFile:
    """A read-only map of a regular file (an empty file maps as no bytes)."""

    def __init__(self, path: str) -> None:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode):
                raise ValueError(f"{path}: not a regular file")
            self.identity = file_identity(info)
            self.size = info.st_size
            self._map = mmap.mmap(fd, self.size, access=mmap.ACCESS_READ) if self.size else None
        finally:
            os.close(fd)
        self.view = memoryview(self._map) if self._map is not None else memoryview(b"")

    def sha256(self, start: int = 0, stop: int | None = None) -> str:
        hasher = hashlib.sha256()
        hash_mapped(hasher, self.view, start, self.size if stop is None else stop)
        return hasher.hexdigest()

    def read(self, start: int, stop: int) -> bytes:
        """A copy of bytes ``start:stop`` (fewer past the end), made under the guard."""
        part = self.view[start:min(stop, self.size)]
        copied = bytearray(len(part))
        _mapped.copy(part, copied)
        return bytes(copied)

    def close(self) -> None:
        self.view.release()
        if self._map is not None:
            self._map.close()

    def __enter__(self) -> MappedFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def file_identity(info: os.stat_result) -> tuple[int, int, int, int]:
    """What changes when a file is replaced or rewritten: device, inode, size, modification time."""
    return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns


def range_digests(view: memoryview, ranges: Sequence[tuple[int, int]], workers: int | None = None) -> list[str]:
    """The plain SHA-256 hex digest of each ``start:stop`` range of ``view``, in parallel."""
    with ThreadPoolExecutor(max_workers=workers or usable_cpus()) as pool:
        return [digest.hex() for digest in pool.map(lambda r: _piece_digests([(view, r[0], r[1])])[0], ranges)]
