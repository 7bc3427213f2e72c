"""Reading arrays whose memory a mapped file backs, so that a file truncated meanwhile is an error."""

from typing import Any

__all__ = ["copy", "hash_into"]

def copy(source: Any, destination: Any) -> int:
    """Copy the bytes of source, in row-major order, to the start of destination; OSError (EFAULT) when the
    source's mapped file was truncated meanwhile."""

def hash_into(source: Any, hasher: Any) -> int:
    """Feed the bytes of source (C-contiguous) to hasher.update in slices copied under the guard, without the
    interpreter lock; OSError (EFAULT) when the source's mapped file was truncated meanwhile."""
