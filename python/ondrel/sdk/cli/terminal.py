"""What the command line writes: safe text, colours, the progress line, error lines.

Everything a model or a file name contributes to human-readable output goes
through ``display``, so that a node name cannot move the cursor, clear the
screen or start a line of its own.
"""

import os
import re
import sys

PROG = "ondrel-sdk"

# Reading a model this large takes long enough that a terminal user wants to see what is going on.
LARGE_MODEL_BYTES = 50 * 1024 * 1024

# Controls (C0, DEL, C1), line and paragraph separators, bidirectional overrides
# and isolates (they reorder what the terminal shows), lone surrogates.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\ud800-\udfff]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match):
    char = match.group()
    if char in _NAMED:
        return _NAMED[char]
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:  # an undecodable byte of a file name (surrogateescape)
        return f"\\x{code - 0xDC00:02x}"
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def display(text):
    """``text`` with every character that could act on a terminal written as a visible escape."""
    text = text if isinstance(text, str) else str(text)
    return _UNSAFE.sub(_escape, text)


def _escaped_name(path):
    """``path`` as bytes the way sha256sum writes a name, and whether its line must start with a backslash."""
    name = os.fsencode(path)
    if any(c in name for c in b"\\\n\r"):
        return name.replace(b"\\", b"\\\\").replace(b"\n", b"\\n").replace(b"\r", b"\\r"), True
    return name, False


def digest_line(digest, path):
    """``DIGEST  PATH`` as bytes, the way sha256sum writes it: a name holding a backslash or
    a line break is escaped and the line starts with a backslash; other bytes are kept."""
    name, escaped = _escaped_name(path)
    return (b"\\" if escaped else b"") + digest.encode() + b"  " + name


def verdict_line(path, verdict):
    """``PATH: VERDICT`` as bytes, the name escaped as in ``digest_line`` (sha256sum -c's lines)."""
    name, escaped = _escaped_name(path)
    return (b"\\" if escaped else b"") + name + b": " + verdict.encode()


class OutputError(Exception):
    """Standard output cannot take what the command writes (closed, full disk, ...)."""


def emit(text="", flush=False, end="\n"):
    """Write one line of output to standard output."""
    stream = sys.stdout
    if stream is None:
        raise OutputError("standard output is closed")
    try:
        stream.write(text + end)
        if flush:
            stream.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise OutputError(e.strerror or str(e)) from None
    except ValueError:  # I/O operation on a closed file
        raise OutputError("standard output is closed") from None


def emit_bytes(data, flush=False):
    """Write one line of raw bytes (a file name that is not valid text stays as it is)."""
    stream = sys.stdout
    if stream is None or not hasattr(stream, "buffer"):
        emit(data.decode(errors="backslashreplace"), flush)
        return
    try:
        stream.flush()
        stream.buffer.write(data + b"\n")
        if flush:
            stream.buffer.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise OutputError(e.strerror or str(e)) from None
    except ValueError:
        raise OutputError("standard output is closed") from None


def finish_output():
    """Flush standard output; a failure is an OutputError, a closed pipe a BrokenPipeError."""
    stream = sys.stdout
    if stream is None:
        return
    try:
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise OutputError(e.strerror or str(e)) from None
    except ValueError:
        pass  # closed by the command itself


def discard_output():
    """Point standard output at /dev/null, so the interpreter's last flush cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):
        pass


def protect_streams():
    """Text that the terminal's encoding cannot hold is written escaped, never refused."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            try:
                reconfigure(errors="backslashreplace")
            except (OSError, ValueError):
                pass


def is_terminal(stream):
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty and isatty())
    except ValueError:  # closed stream
        return False


class Style:
    """ANSI colours for one stream: only on a terminal, never with NO_COLOR set (whatever its value)."""

    CODES = {"error": "31;1", "warning": "33;1", "info": "36", "ok": "32;1", "bold": "1", "dim": "2"}

    def __init__(self, stream, no_color=False):
        self.enabled = not no_color and "NO_COLOR" not in os.environ and is_terminal(stream)

    def __call__(self, text, kind):
        return f"\x1b[{self.CODES[kind]}m{text}\x1b[0m" if self.enabled else text


def write_stderr(text):
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(text)
        stream.flush()
    except (OSError, ValueError):
        pass  # nowhere left to report to


def print_error(message, no_color=False):
    """``ondrel-sdk: error: MESSAGE`` as one line on standard error."""
    label = Style(sys.stderr, no_color)("error:", "error")
    write_stderr(f"{PROG}: {label} {display(message)}\n")


def print_note(message):
    write_stderr(f"{PROG}: note: {display(message)}\n")


def print_warning(message):
    """``ondrel-sdk: WARNING: MESSAGE``, as sha256sum words its closing counts."""
    write_stderr(f"{PROG}: WARNING: {display(message)}\n")


class Progress:
    """A single self-overwriting status line on stderr.

    Shown only when stderr is a terminal and there is more than one file or a
    large one; cleared before any result is printed.
    """

    def __init__(self, label, paths):
        self.label = label
        self.total = len(paths)
        self.width = 0
        self.enabled = is_terminal(sys.stderr) and (
            self.total > 1 or any(file_size(p) > LARGE_MODEL_BYTES for p in paths)
        )

    def show(self, index, path):
        global _active
        if not self.enabled:
            return
        if self.total == 1:
            self._draw(f"{self.label}: {display(path)} ({file_size(path) / 2**20:.0f} MB)")
            _active = self
        else:
            self._draw(f"{self.label} [{index + 1}/{self.total}] {display(path)}")

    def bytes_done(self, path, total):
        """A callback that redraws the line with the bytes processed so far (it is given increments)."""
        done = 0

        def advance(count):
            nonlocal done
            done += count
            share = min(done / total, 1.0) if total else 1.0
            self._draw(f"{self.label}: {display(path)} {done / 2**20:,.0f} of {total / 2**20:,.0f} MB "
                       f"({share:.0%})")

        return advance

    def _draw(self, text):
        text = text[: _stderr_columns() - 1]  # a wrapped line could not be overwritten
        write_stderr("\r" + text + " " * max(0, self.width - len(text)))
        self.width = len(text)

    def clear(self):
        global _active
        _active = None
        if self.width:
            write_stderr("\r" + " " * self.width + "\r")
            self.width = 0


# The line of the one large file being handled in this process, if it shows one.
_active = None


def byte_progress(path, total):
    """For a service's progress entry point: a callback advancing the progress line of ``path`` by the bytes
    processed, or None when no line is shown (off a terminal, several files, a small model, a worker process)."""
    return _active.bytes_done(path, total) if _active is not None else None


def file_size(path):
    try:
        return os.path.getsize(path)
    except (OSError, ValueError):
        return 0


def _stderr_columns():
    try:
        return os.get_terminal_size(sys.stderr.fileno()).columns or 80
    except (AttributeError, OSError, ValueError):
        return 80
