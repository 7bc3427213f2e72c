"""Reading arrays whose memory a mapped file backs, so that a file truncated meanwhile is an error."""

from typing import Any

__all__ = ["copy"]

def copy(source: Any, destination: Any) -> int:
    """Copy the bytes of source, in row-major order, to the start of destination; OSError (EFAULT) when the
    source's mapped file was truncated meanwhile."""
