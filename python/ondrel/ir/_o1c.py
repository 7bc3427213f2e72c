"""``.o1c`` graph files.

An ``.o1c`` file is a safetensors container: an 8-byte little-endian header
length, a JSON header with one entry per tensor (dtype, shape, data offsets)
and a ``__metadata__`` map of strings, then the tensor data. Each numpy array
of the graph (node attributes, shape dicts, metadata) is one tensor ``t0``,
``t1``, ...; the graph itself is a JSON document in ``__metadata__`` under
``ondrel.graph``, next to a format marker and version. Arrays the container
cannot hold as-is (complex, big-endian, float128, datetimes) are stored as
uint8 bytes with their dtype and shape recorded in the document.

The low-precision types of ml_dtypes are tensors under the container's own
names, BF16 (bfloat16), F8_E4M3 (float8_e4m3fn) and F8_E5M2 (float8_e5m2);
int4 and uint4, which it has no name for, are stored as uint8 bytes, one
element per byte as ml_dtypes holds them in memory (the value in the low four
bits), with the dtype recorded in the document as I4 or U4. One element per
byte lets a mapped read view them in place, and keeps every file readable by
other readers of the container format. Their bytes are written and read as
they are, high bits included, so fingerprints survive a round trip.

The writer starts the tensor data at a multiple of 64 bytes and stores the
tensors widest alignment first, so each one can be viewed in place from a
memory map of the file; that is how the reader hands them out.

Values in the document use a tagged encoding so nothing is ambiguous: JSON
null/bool/str/int/float stand for themselves; everything else is a
single-key object: {"tuple": [...]}, {"list": [...]}, {"dict": [[k, v], ...]},
{"array": "t3"}, {"float": "nan"}, {"int": "0x..."} (beyond 64 bits),
{"scalar": ["<f4", "<hex bytes>"]} (or ["BF16", ...] for the low-precision types).
"""

import collections
import contextlib
import gc
import json
import math
import mmap as _mmap
import os
import re
import stat
from typing import Union

import numpy as np

from .. import _files
from ._dtypes import LOW_PRECISION, is_numpy_number, low_precision_dtype, low_precision_name
from ._graph import Graph, edge_problem
from ._nodes import NODE_TYPES, attribute_problem, field_defaults, short_repr

# What read and write take as a file name.
Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

FORMAT_KEY = "ondrel.format"
FORMAT_NAME = "o1c"
VERSION_KEY = "ondrel.format_version"
FORMAT_VERSION = "1"
GRAPH_KEY = "ondrel.graph"

# Bounds nesting of hyper-parameter values; also catches self-containing lists.
_MAX_DEPTH = 64
# The header size limit of the container format.
_MAX_HEADER = 100_000_000
_MAX_DIMS = 64  # numpy's limit
# Tensor data starts at a multiple of this, enough for any dtype's alignment.
_DATA_ALIGNMENT = 64
# Non-contiguous arrays are written through copies of about this size.
_CHUNK_BYTES = 1 << 20
_WRITE_BUFFER = 1 << 20
# Container dtype names and the numpy dtypes they stand for.
_CONTAINER_DTYPES = {
    name: np.dtype(code)
    for name, code in [("BOOL", "|b1"), ("U8", "|u1"), ("I8", "|i1"), ("U16", "<u2"), ("I16", "<i2"),
                       ("F16", "<f2"), ("U32", "<u4"), ("I32", "<i4"), ("F32", "<f4"), ("U64", "<u8"),
                       ("I64", "<i8"), ("F64", "<f8")]
}
# dtype.str -> container name, for the dtypes the container holds natively.
_NATIVE = {dtype.str: name for name, dtype in _CONTAINER_DTYPES.items()}
# Low-precision types held as tensors of the container's own names (the others as raw bytes).
_LOW_PRECISION_TENSORS = frozenset({"BF16", "F8_E4M3", "F8_E5M2"})
_DTYPE_RE = re.compile(r"[<>|][biufcmM]\d+(\[\w+\])?\Z")
_HEX_INT_RE = re.compile(r"-?0x[0-9a-f]+\Z")
_HEX_BYTES_RE = re.compile(r"([0-9a-f]{2})*\Z")
_PLAIN_INT_LIMIT = 2**63
_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}
_FILE_KINDS = [(stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
               (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")]


class _FormatError(Exception):
    """A problem in a file being read; read() prefixes the path."""


def _storable_dtype(dtype):
    """Plain numeric/bool/datetime dtypes and the low-precision ones: no objects, strings or records."""
    if low_precision_name(dtype):
        return True
    return (is_numpy_number(dtype) or dtype.type in (np.datetime64, np.timedelta64)) and dtype.fields is None \
        and dtype.subdtype is None


def _parse_dtype(text):
    """A dtype of the raw table or of a scalar: a numpy dtype.str, or a low-precision name."""
    if type(text) is str and text in LOW_PRECISION:
        return _low_precision_dtype(text)
    if type(text) is not str or not _DTYPE_RE.match(text):
        raise _FormatError(f"bad dtype {short_repr(text)}")
    try:
        dtype = np.dtype(text)
    except (TypeError, ValueError, OverflowError):
        raise _FormatError(f"unknown dtype {text!r}") from None
    if dtype.str != text or not _storable_dtype(dtype):
        raise _FormatError(f"unsupported dtype {text!r}")
    return dtype


@contextlib.contextmanager
def _collector_paused():
    """Reading and writing build a few objects per node and tensor, none in a
    cycle; collections meanwhile would walk the whole graph again and again."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            if not gc.get_freeze_count():  # (a caller's frozen objects must stay frozen)
                # What was made meanwhile, mostly long-lived (a graph, a report's scene), joins the oldest
                # generation: left in the youngest, the next collection would walk all of it.
                gc.freeze()
                gc.unfreeze()
            gc.enable()


def _low_precision_dtype(name):
    try:
        return low_precision_dtype(name)
    except ValueError as e:
        raise _FormatError(str(e)) from None


def _bad_bytes(arr):
    """What is wrong with the bytes of a bool array, or None (reads its bytes, guarded: they may be mapped).
    int4 and uint4 take any byte: ml_dtypes reads the low four bits (and leaves the high ones set at times)."""
    if arr.dtype.kind != "b" or arr.size == 0:
        return None
    buffer = bytearray(min(arr.nbytes, _CHUNK_BYTES))
    if any(np.frombuffer(chunk, np.uint8).max() > 1 for chunk in _private_chunks(arr, buffer)):
        return "bytes other than 0 and 1"
    return None


# ---------------------------------------------------------------- writing


class _Encoder:
    def __init__(self):
        self.tensors = []  # (array, container dtype name, container shape), tensor i named f"t{i}"
        self.raw = {}

    def array(self, arr):
        if not _storable_dtype(arr.dtype):
            raise ValueError(f"arrays of dtype {arr.dtype} cannot be stored (only numeric, bool and datetime)")
        problem = _bad_bytes(arr)
        if problem:
            raise ValueError(f"{arr.dtype} array holds {problem}")
        name = f"t{len(self.tensors)}"
        low_precision = low_precision_name(arr.dtype)
        native = low_precision if low_precision in _LOW_PRECISION_TENSORS else _NATIVE.get(arr.dtype.str)
        if native:
            self.tensors.append((arr, native, list(arr.shape)))
        else:
            self.raw[name] = [low_precision or arr.dtype.str, list(arr.shape)]
            self.tensors.append((arr, "U8", [arr.nbytes]))
        return {"array": name}

    def value(self, v, depth=0):
        if depth > _MAX_DEPTH:
            raise ValueError(f"value nested deeper than {_MAX_DEPTH} levels (or contains itself)")
        t = type(v)
        if v is None or t is bool or t is str:
            return v
        if t is int:
            return v if -_PLAIN_INT_LIMIT < v < _PLAIN_INT_LIMIT else {"int": hex(v)}
        if t is float:
            return v if math.isfinite(v) else {"float": repr(v)}
        if t is np.ndarray:
            return self.array(v)
        if isinstance(v, np.generic) and t is v.dtype.type and _storable_dtype(v.dtype):
            problem = _bad_bytes(np.asarray(v))
            if problem:
                raise ValueError(f"{v.dtype} scalar holds {problem}")
            return {"scalar": [low_precision_name(v.dtype) or v.dtype.str, np.asarray(v).tobytes().hex()]}
        if t is tuple or t is list:
            return {t.__name__: [self.value(x, depth + 1) for x in v]}
        if t is dict:
            return {"dict": [[self.value(k, depth + 1), self.value(x, depth + 1)] for k, x in v.items()]}
        raise ValueError(f"cannot store a value of type {t.__module__}.{t.__qualname__}")


def _encode(graph):
    """The arrays to store and the header metadata describing the graph."""
    if not isinstance(graph, Graph):
        raise TypeError(f"expected an ir.Graph, got {type(graph).__name__}")
    enc = _Encoder()
    nodes = []
    for name, node in graph.nodes.items():
        if type(name) is not str:
            raise ValueError(f"node name {short_repr(name)} is not a string")
        cls = type(node)
        if NODE_TYPES.get(cls.__name__) is not cls:
            raise ValueError(
                f"node {name!r} is a {cls.__module__}.{cls.__qualname__}, not one of the ir node "
                "classes; it would not read back as the same type"
            )
        defaults = field_defaults(cls)
        state = vars(node)
        attrs = {}
        for field, value in state.items():
            if field not in defaults:
                raise ValueError(f"node {name!r} has attribute {field!r}, which is not a {cls.__name__} field")
            # The very default object reads back as itself; skipping it keeps headers small.
            if value is defaults[field]:
                continue
            problem = attribute_problem(cls, field, value)
            try:
                if problem:
                    raise ValueError(problem)
                attrs[field] = enc.value(value)
            except ValueError as e:
                raise ValueError(f"node {name!r}, attribute {field!r}: {e}") from None
        if len(state) != len(defaults):
            missing = next(f for f in defaults if f not in state)
            raise ValueError(f"node {name!r} is missing attribute {missing!r}")
        nodes.append([name, cls.__name__, attrs])

    edges = []
    for edge in graph.edges:
        problem = edge_problem(graph.nodes, edge)
        if problem:
            raise ValueError(problem)
        edges.append([edge[0], edge[1]])

    if type(graph.metadata) is not dict:
        raise ValueError(f"graph metadata must be a dict, got {type(graph.metadata).__name__}")
    try:
        metadata = enc.value(graph.metadata)
    except ValueError as e:
        raise ValueError(f"metadata: {e}") from None

    doc = {"nodes": nodes, "edges": edges, "metadata": metadata, "raw": enc.raw}
    text = json.dumps(doc, allow_nan=False, separators=(",", ":"))
    return enc.tensors, {FORMAT_KEY: FORMAT_NAME, VERSION_KEY: FORMAT_VERSION, GRAPH_KEY: text}


def _layout(tensors, metadata):
    """The file's first bytes (header length and header) and the arrays in data order.

    Widest alignment first: every size is a multiple of its dtype's alignment,
    a power of two, so each tensor starts aligned for a view in place.
    """
    order = sorted(range(len(tensors)), key=lambda i: -tensors[i][0].dtype.alignment)
    header = {"__metadata__": metadata}
    offset = 0
    for i in order:
        arr, dtype_name, shape = tensors[i]
        header[f"t{i}"] = {"dtype": dtype_name, "shape": shape, "data_offsets": [offset, offset + arr.nbytes]}
        offset += arr.nbytes
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-(8 + len(text)) % _DATA_ALIGNMENT)  # JSON whitespace
    if len(text) > _MAX_HEADER:
        raise ValueError("graph description is too large for an .o1c header")
    return len(text).to_bytes(8, "little") + text, [tensors[i][0] for i in order]


def _pieces(arr):
    """Views of ``arr`` that together hold its elements in row-major order, each of about
    _CHUNK_BYTES or less (one row or element can be more): nothing is copied yet."""
    if arr.dtype.kind in "mM":  # datetimes export no buffer; their bytes are those of integers
        arr = arr.view(f"u{arr.dtype.itemsize}")
    if arr.flags.c_contiguous:
        flat = arr.reshape(-1).view(np.uint8)
        for start in range(0, len(flat), _CHUNK_BYTES):
            yield flat[start : start + _CHUNK_BYTES]
    elif arr.ndim == 0 or arr.nbytes <= _CHUNK_BYTES:
        yield arr
    elif arr.nbytes // len(arr) > _CHUNK_BYTES:
        for row in arr:
            yield from _pieces(row)
    else:
        step = _CHUNK_BYTES // (arr.nbytes // len(arr))
        for start in range(0, len(arr), step):
            yield arr[start : start + step]


def _private_chunks(arr, buffer):
    """The bytes of ``arr`` in row-major order, as successive memoryviews of ``buffer`` (a bytearray of at
    least _CHUNK_BYTES, reused: each view holds until the next is made).

    The arrays of a mapped file are read through the SDK's guarded copy: if
    another program truncates the file meanwhile, that is an OSError (errno
    EFAULT, "file changed while it was being read"), not a crash (SIGBUS), and
    what is written is only what was copied.
    """
    from ondrel.sdk._mapped import copy

    view = memoryview(buffer)
    for piece in _pieces(arr):
        if piece.nbytes <= len(buffer):
            yield view[: copy(piece, view)]
        else:  # a piece larger than the buffer
            own = bytearray(piece.nbytes)
            copy(piece, own)
            yield memoryview(own)


def write(path: Path, graph: Graph, *, overwrite: bool = True) -> None:
    """Write ``graph`` to ``path`` as an ``.o1c`` file.

    The file is written next to its destination and moved into place, so a
    reader never sees a partial file (and arrays mapped from an earlier
    version of ``path`` stay intact). A symbolic link is followed: the file
    it names is replaced. A path that is not a regular file (a FIFO, a
    device, ``/dev/stdout``) is refused with ValueError, never replaced.
    Arrays are copied from their own memory, 1 MiB at a time; an array
    mapped from a file that another program truncates meanwhile raises
    OSError (errno EFAULT, "file changed while it was being read") and
    nothing is written. With ``overwrite=False`` an existing ``path`` is
    never replaced, not even one that appears while the file is written:
    FileExistsError. Raises ValueError, starting with the path and naming the
    node and attribute, for anything that would not read back identically or
    that a node class does not accept (see ``FIELD_KINDS``).
    """
    path = os.fsdecode(os.fspath(path))
    target = _files.destination(path)
    if target.through:
        raise ValueError(f"{path}: not a regular file ({target.through})")
    try:
        with _collector_paused():
            head, arrays = _layout(*_encode(graph))
    except ValueError as e:
        raise ValueError(f"{path}: {e}") from None
    if not overwrite and os.path.lexists(target.path):
        raise _files.exists_error(path)
    fd, tmp = _files.new_temporary(target.path)
    try:
        with open(fd, "wb", buffering=_WRITE_BUFFER) as fh:
            fh.write(head)
            buffer = bytearray(_CHUNK_BYTES)
            for arr in arrays:
                for chunk in _private_chunks(arr, buffer):
                    fh.write(chunk)
            fh.flush()
            os.fsync(fh.fileno())
        _files.publish(tmp, target.path, overwrite)
    except BaseException:
        _files.discard(tmp)
        raise


# ---------------------------------------------------------------- reading


_Tensor = collections.namedtuple("_Tensor", "dtype shape start stop")


def _reject_constant(name):
    raise _FormatError(f"JSON text contains {name}, which this format never writes")


def _json(text, what):
    try:
        return json.loads(text, parse_constant=_reject_constant)
    except (ValueError, RecursionError) as e:
        raise _FormatError(f"{what} is not valid JSON ({e})") from None


def _pread_into(fd, buffer, offset):
    view = memoryview(buffer)
    while view:
        count = os.preadv(fd, [view], offset)
        if count == 0:
            raise _FormatError("file ended early (changed while being read?)")
        view, offset = view[count:], offset + count


def _pread(fd, size, offset):
    data = bytearray(size)
    _pread_into(fd, data, offset)
    return data


def _tensor_entry(name, entry):
    if type(entry) is not dict or entry.keys() != {"dtype", "shape", "data_offsets"}:
        raise _FormatError(f"malformed header entry {short_repr(name)}")
    dtype_name, shape, offsets = entry["dtype"], entry["shape"], entry["data_offsets"]
    dtype = None
    if type(dtype_name) is str:
        dtype = _low_precision_dtype(dtype_name) if dtype_name in _LOW_PRECISION_TENSORS else \
            _CONTAINER_DTYPES.get(dtype_name)
    if dtype is None:
        raise _FormatError(f"tensor {name!r} has unsupported dtype {short_repr(dtype_name)}")
    if type(shape) is not list or len(shape) > _MAX_DIMS or any(type(d) is not int or d < 0 for d in shape):
        raise _FormatError(f"bad shape {short_repr(shape)} for tensor {name!r}")
    if type(offsets) is not list or len(offsets) != 2 or any(type(o) is not int for o in offsets) \
            or not 0 <= offsets[0] <= offsets[1]:
        raise _FormatError(f"bad data offsets {short_repr(offsets)} for tensor {name!r}")
    start, stop = offsets
    needed = math.prod(shape) * dtype.itemsize
    if needed != stop - start:
        raise _FormatError(
            f"tensor {name!r}: {dtype_name} {tuple(shape)} needs {needed} bytes but its data offsets span {stop - start}"
        )
    return _Tensor(dtype, tuple(shape), start, stop)


def _read_container(fd, size):
    """The header metadata, the tensor table and where tensor data starts,
    checked against the file size without reading any tensor bytes."""
    if size < 8:
        raise _FormatError(f"not an .o1c file (only {size} bytes)")
    prefix = _pread(fd, min(size, 9), 0)
    header_len = int.from_bytes(prefix[:8], "little")
    # The header is a JSON object: a file whose first header byte is not "{" is some other file, whatever
    # length its first eight bytes happen to spell.
    if prefix[8:9] != b"{":
        raise _FormatError("not an .o1c file (no container header)")
    if header_len > size - 8:
        raise _FormatError(f"truncated or not an .o1c file (header claims {header_len} bytes, file has {size})")
    if header_len > _MAX_HEADER:
        raise _FormatError(f"header of {header_len} bytes exceeds the {_MAX_HEADER}-byte limit")
    try:
        text = _pread(fd, header_len, 8).decode("utf-8")
    except UnicodeDecodeError:
        raise _FormatError("header is not UTF-8 text") from None
    header = _json(text, "header")
    if type(header) is not dict:
        raise _FormatError("header is not a JSON object")
    metadata = header.pop("__metadata__", {})
    if type(metadata) is not dict or not all(type(v) is str for v in metadata.values()):
        raise _FormatError("header __metadata__ is not a map of strings")
    tensors = {name: _tensor_entry(name, entry) for name, entry in header.items()}
    end = 0
    for name, tensor in sorted(tensors.items(), key=lambda item: (item[1].start, item[1].stop)):
        if tensor.start != end:
            raise _FormatError(f"tensor {name!r} starts at data byte {tensor.start}, expected {end}")
        end = tensor.stop
    held = size - 8 - header_len
    if end != held:
        raise _FormatError(f"truncated or corrupt .o1c file (tensor data takes {end} bytes, the file holds {held})")
    return metadata, tensors, 8 + header_len


class _MappedData:
    """Tensors as views of a copy-on-write map of the file."""

    def __init__(self, fd, size, start):
        self.map = _mmap.mmap(fd, size, access=_mmap.ACCESS_COPY)
        self.start = start

    def array(self, offset, dtype, shape):
        count = math.prod(shape)
        if count == 0:
            return np.empty(shape, dtype)
        arr = np.frombuffer(self.map, dtype, count, self.start + offset).reshape(shape)
        return arr if arr.flags.aligned else arr.copy()  # only files from other writers are unaligned


class _LoadedData:
    """Tensors read into arrays of their own."""

    def __init__(self, fd, start):
        self.fd = fd
        self.start = start

    def array(self, offset, dtype, shape):
        arr = np.empty(shape, dtype)
        _pread_into(self.fd, arr.reshape(-1).view(np.uint8), self.start + offset)
        return arr


class _Decoder:
    def __init__(self, tensors, data, raw):
        self.tensors = tensors
        self.data = data
        self.raw = raw
        self.used = set()

    def array(self, name):
        if type(name) is not str or name not in self.tensors:
            raise _FormatError(f"array reference {short_repr(name)} names no tensor in the file")
        if name in self.used:
            raise _FormatError(f"tensor {name!r} is referenced twice")
        self.used.add(name)
        tensor = self.tensors[name]
        dtype, shape = tensor.dtype, tensor.shape
        layout = self.raw.get(name)
        if layout is not None:
            dtype, shape = layout
            if tensor.dtype != np.uint8 or len(tensor.shape) != 1:
                raise _FormatError(f"tensor {name!r} should hold raw bytes")
            held = tensor.stop - tensor.start
            needed = math.prod(shape) * dtype.itemsize
            if needed != held:
                raise _FormatError(
                    f"tensor {name!r} holds {held} bytes but {low_precision_name(dtype) or dtype.str} {tuple(shape)} "
                    f"needs {needed}"
                )
        arr = self.data.array(tensor.start, dtype, shape)
        problem = _bad_bytes(arr)
        if problem:
            raise _FormatError(f"tensor {name!r} holds {arr.dtype} {problem}")
        return arr

    def value(self, v, depth=0):
        if depth > _MAX_DEPTH:
            raise _FormatError(f"value nested deeper than {_MAX_DEPTH} levels")
        t = type(v)
        if v is None or t is bool or t is str or t is int or t is float:
            return v
        if t is not dict or len(v) != 1:
            raise _FormatError(f"malformed value {short_repr(v)}")
        ((tag, body),) = v.items()
        if tag in ("tuple", "list"):
            if type(body) is not list:
                raise _FormatError(f"malformed {tag} {short_repr(body)}")
            items = [self.value(x, depth + 1) for x in body]
            return tuple(items) if tag == "tuple" else items
        if tag == "dict":
            if type(body) is not list:
                raise _FormatError(f"malformed dict {short_repr(body)}")
            out = {}
            for item in body:
                if type(item) is not list or len(item) != 2:
                    raise _FormatError(f"malformed dict item {short_repr(item)}")
                key = self.value(item[0], depth + 1)
                try:
                    seen = key in out
                except TypeError:
                    raise _FormatError(f"dict key {short_repr(key)} is not hashable") from None
                if seen:
                    raise _FormatError(f"duplicate dict key {short_repr(key)}")
                out[key] = self.value(item[1], depth + 1)
            return out
        if tag == "array":
            return self.array(body)
        if tag == "float":
            if type(body) is str and body in _NON_FINITE:
                return _NON_FINITE[body]
        elif tag == "int":
            if type(body) is str and _HEX_INT_RE.match(body):
                return int(body, 16)
        elif tag == "scalar":
            if type(body) is list and len(body) == 2 and type(body[1]) is str and _HEX_BYTES_RE.match(body[1]):
                dtype = _parse_dtype(body[0])
                data = bytes.fromhex(body[1])
                if len(data) == dtype.itemsize:
                    scalar = np.frombuffer(data, dtype)
                    if not _bad_bytes(scalar):
                        return scalar[0]
        else:
            raise _FormatError(f"unknown value tag {short_repr(tag)}")
        raise _FormatError(f"malformed {tag} {short_repr(body)}")


def _raw_table(raw):
    if type(raw) is not dict:
        raise _FormatError("malformed raw tensor table")
    table = {}
    for name, layout in raw.items():
        if type(layout) is not list or len(layout) != 2 or type(layout[1]) is not list:
            raise _FormatError(f"malformed raw tensor entry {name!r}")
        try:
            if type(layout[0]) is str and layout[0] in _LOW_PRECISION_TENSORS:
                raise _FormatError(f"{layout[0]} is a tensor dtype, not a raw one")
            dtype = _parse_dtype(layout[0])
        except _FormatError as e:
            raise _FormatError(f"raw tensor {name!r}: {e}") from None
        shape = layout[1]
        if len(shape) > _MAX_DIMS or any(type(d) is not int or d < 0 for d in shape):
            raise _FormatError(f"bad shape {short_repr(shape)} for tensor {name!r}")
        table[name] = (dtype, tuple(shape))
    return table


def _load(meta, tensors, data):
    if meta.get(FORMAT_KEY) != FORMAT_NAME:
        raise _FormatError("not an .o1c file (no ondrel format marker in the header)")
    version = meta.get(VERSION_KEY)
    if version != FORMAT_VERSION:
        raise _FormatError(f"unsupported .o1c format version {version!r} (this reader handles {FORMAT_VERSION})")
    text = meta.get(GRAPH_KEY)
    if text is None:
        raise _FormatError("graph description missing from the header")
    doc = _json(text, "graph description")
    if type(doc) is not dict or sorted(doc) != ["edges", "metadata", "nodes", "raw"]:
        raise _FormatError("graph description lacks the nodes/edges/metadata/raw sections")

    dec = _Decoder(tensors, data, _raw_table(doc["raw"]))
    if type(doc["nodes"]) is not list:
        raise _FormatError("nodes section is not a list")
    nodes = {}
    for entry in doc["nodes"]:
        if (
            type(entry) is not list
            or len(entry) != 3
            or type(entry[0]) is not str
            or type(entry[1]) is not str
            or type(entry[2]) is not dict
        ):
            raise _FormatError(f"malformed node entry {short_repr(entry)}")
        name, cls_name, attrs = entry
        if name in nodes:
            raise _FormatError(f"duplicate node name {name!r}")
        cls = NODE_TYPES.get(cls_name)
        if cls is None:
            raise _FormatError(f"node {name!r} has unknown class {short_repr(cls_name)}")
        fields = field_defaults(cls)
        values = {}
        for key, raw_value in attrs.items():
            if key not in fields:
                raise _FormatError(f"node {name!r}: {cls_name} has no attribute {short_repr(key)}")
            try:
                value = dec.value(raw_value)
                problem = attribute_problem(cls, key, value)
                if problem:
                    raise _FormatError(problem)
            except _FormatError as e:
                raise _FormatError(f"node {name!r}, attribute {key!r}: {e}") from None
            values[key] = value
        nodes[name] = cls(**values)

    if type(doc["edges"]) is not list:
        raise _FormatError("edges section is not a list")
    edges = []
    for edge in doc["edges"]:
        if type(edge) is not list or len(edge) != 2 or type(edge[0]) is not str or type(edge[1]) is not str:
            raise _FormatError(f"edge {short_repr(edge)} is not a pair of node names")
        problem = edge_problem(nodes, edge)
        if problem:
            raise _FormatError(problem)
        edges.append((edge[0], edge[1]))

    try:
        metadata = dec.value(doc["metadata"])
    except _FormatError as e:
        raise _FormatError(f"metadata: {e}") from None
    if type(metadata) is not dict:
        raise _FormatError("metadata is not a dict")
    return Graph(nodes, edges, metadata)


def _not_a_regular_file(path, mode):
    kind = next((text for is_kind, text in _FILE_KINDS if is_kind(mode)), "a special file")
    return ValueError(f"{path}: not a regular file ({kind})")


def _open_regular_file(path):
    """A read-only descriptor and the size of ``path``, a regular file.

    Checked before opening, so a FIFO or a device is never opened, and again
    after (non-blocking) opening, in case the path was replaced meanwhile.
    """
    mode = os.stat(path).st_mode  # FileNotFoundError names the path
    if not stat.S_ISREG(mode):
        raise _not_a_regular_file(path, mode)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        os.close(fd)
        raise _not_a_regular_file(path, info.st_mode)
    return fd, info.st_size


def read(path: Path, mmap: bool = True) -> Graph:
    """Read an ``.o1c`` file written by :func:`write`.

    ``path`` may be str, bytes or os.PathLike. A missing file raises
    FileNotFoundError; anything that is not a well-formed ``.o1c`` file
    (including a path that is not a regular file) raises ValueError starting
    with the path. Nothing in the file is executed.

    With ``mmap=True`` the arrays are views of a copy-on-write memory map of
    the file: reading takes time proportional to the header, a page of a
    tensor is read only when something looks at its values, and writing to an
    array changes the process's copy, never the file. The map lives as long
    as any of the arrays. :func:`write` and ``ondrel-sdk stamp`` replace files
    by renaming, which leaves such maps intact; a program that truncates or
    rewrites the file in place while it is mapped can make reading an array
    fault (SIGBUS). The SDK's own reads of the arrays (the services,
    :func:`write`) turn that fault into OSError (errno EFAULT, "file changed
    while it was being read"); numpy's operations on them do not.
    ``mmap=False`` reads every array into memory of its own, for callers who
    will delete or rewrite the file while the graph lives, or who compute on
    the arrays themselves when that could happen.
    """
    path = os.fsdecode(os.fspath(path))
    fd, size = _open_regular_file(path)
    try:
        with _collector_paused():
            meta, tensors, start = _read_container(fd, size)
            data = None
            if mmap:
                try:
                    data = _MappedData(fd, size, start)
                except OSError:  # a file system that cannot map files
                    pass
            return _load(meta, tensors, data or _LoadedData(fd, start))
    except _FormatError as e:
        raise ValueError(f"{path}: {e}") from None
    except (ValueError, TypeError, OverflowError, RecursionError) as e:
        raise ValueError(f"{path}: corrupt .o1c file ({type(e).__name__}: {e})") from None
    finally:
        os.close(fd)
