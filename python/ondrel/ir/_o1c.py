"""``.o1c`` graph files.

An ``.o1c`` file is a safetensors container. Each numpy array of the graph
(node attributes, shape dicts, metadata) is one tensor ``t0``, ``t1``, ...;
the graph itself is a JSON document in the header's ``__metadata__`` under
``ondrel.graph``, next to a format marker and version. Arrays safetensors
cannot hold as-is (complex, big-endian, float128, datetimes) are stored as
uint8 bytes with their dtype and shape recorded in the document.

Values in the document use a tagged encoding so nothing is ambiguous: JSON
null/bool/str/int/float stand for themselves; everything else is a
single-key object: {"tuple": [...]}, {"list": [...]}, {"dict": [[k, v], ...]},
{"array": "t3"}, {"float": "nan"}, {"int": "0x..."} (beyond 64 bits),
{"scalar": ["<f4", "<hex bytes>"]}.
"""

import errno
import json
import math
import os
import re
import secrets
import stat

import numpy as np
from safetensors import SafetensorError, safe_open
from safetensors.numpy import save_file

from ._graph import Graph, edge_problem
from ._nodes import NODE_TYPES, field_defaults

FORMAT_KEY = "ondrel.format"
FORMAT_NAME = "o1c"
VERSION_KEY = "ondrel.format_version"
FORMAT_VERSION = "1"
GRAPH_KEY = "ondrel.graph"

# Bounds nesting of hyper-parameter values; also catches self-containing lists.
_MAX_DEPTH = 64
# safetensors refuses to load headers larger than this.
_MAX_HEADER = 100_000_000
# dtype.str values safetensors stores natively and reads back identically.
_NATIVE = frozenset(
    ["|b1", "|i1", "|u1", "<i2", "<u2", "<i4", "<u4", "<i8", "<u8", "<f2", "<f4", "<f8"]
)
_DTYPE_RE = re.compile(r"[<>|][biufcmM]\d+(\[\w+\])?\Z")
_HEX_INT_RE = re.compile(r"-?0x[0-9a-f]+\Z")
_HEX_BYTES_RE = re.compile(r"([0-9a-f]{2})*\Z")
_PLAIN_INT_LIMIT = 2**63
_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


class _FormatError(Exception):
    """A problem in a file being read; read() prefixes the path."""


def _short(value, limit=80):
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _storable_dtype(dtype):
    """Plain numeric/bool/datetime dtypes only: no objects, strings or records."""
    return dtype.kind in "biufcmM" and dtype.fields is None and dtype.subdtype is None


def _parse_dtype(text):
    if type(text) is not str or not _DTYPE_RE.match(text):
        raise _FormatError(f"bad dtype {_short(text)}")
    try:
        dtype = np.dtype(text)
    except (TypeError, ValueError, OverflowError):
        raise _FormatError(f"unknown dtype {text!r}") from None
    if dtype.str != text or not _storable_dtype(dtype):
        raise _FormatError(f"unsupported dtype {text!r}")
    return dtype


# ---------------------------------------------------------------- writing


class _Encoder:
    def __init__(self):
        self.tensors = {}
        self.raw = {}

    def array(self, arr):
        if not _storable_dtype(arr.dtype):
            raise ValueError(f"arrays of dtype {arr.dtype} cannot be stored (only numeric, bool and datetime)")
        name = f"t{len(self.tensors)}"
        arr = np.ascontiguousarray(arr) if arr.ndim else arr
        if arr.dtype.str in _NATIVE:
            self.tensors[name] = arr
        else:
            self.raw[name] = [arr.dtype.str, list(arr.shape)]
            self.tensors[name] = arr.reshape(-1).view(np.uint8)
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
            return {"scalar": [v.dtype.str, v.tobytes().hex()]}
        if t is tuple or t is list:
            return {t.__name__: [self.value(x, depth + 1) for x in v]}
        if t is dict:
            return {"dict": [[self.value(k, depth + 1), self.value(x, depth + 1)] for k, x in v.items()]}
        raise ValueError(f"cannot store a value of type {t.__module__}.{t.__qualname__}")


def _encode(graph):
    if not isinstance(graph, Graph):
        raise TypeError(f"expected an ir.Graph, got {type(graph).__name__}")
    enc = _Encoder()
    nodes = []
    for name, node in graph.nodes.items():
        if type(name) is not str:
            raise ValueError(f"node name {name!r} is not a string")
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
            try:
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
    # The text goes into the header escaped, next to one entry per tensor.
    if len(json.dumps(text)) + 128 * len(enc.tensors) > _MAX_HEADER:
        raise ValueError("graph description is too large for an .o1c header")
    header = {FORMAT_KEY: FORMAT_NAME, VERSION_KEY: FORMAT_VERSION, GRAPH_KEY: text}
    return enc.tensors, header


def _new_temp(folder, base):
    """Create an empty temporary file; return its path and umask-derived mode."""
    for _ in range(100):
        path = os.path.join(folder, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
        try:
            return path, stat.S_IMODE(os.fstat(fd).st_mode)
        finally:
            os.close(fd)
    raise FileExistsError(errno.EEXIST, "could not create a temporary file", folder)


def write(path, graph):
    """Write ``graph`` to ``path`` as an ``.o1c`` file.

    The file is written next to its destination and moved into place, so a
    reader never sees a partial file. Raises ValueError (naming the node or
    edge) for anything that would not read back identically.
    """
    path = os.fsdecode(os.fspath(path))
    tensors, header = _encode(graph)
    folder, base = os.path.split(os.path.abspath(path))
    tmp, mode = _new_temp(folder, base)
    try:
        save_file(tensors, tmp, metadata=header)
        # safetensors recreates the file owner-only; give it the mode any new file would get.
        os.chmod(tmp, mode)
        with open(tmp, "rb+") as fh:
            os.fsync(fh.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


# ---------------------------------------------------------------- reading


def _reject_constant(name):
    raise _FormatError(f"graph description contains {name}, which this format never writes")


class _Decoder:
    def __init__(self, handle, raw):
        self.handle = handle
        self.raw = raw
        self.names = set(handle.keys())

    def array(self, name):
        if type(name) is not str or name not in self.names:
            raise _FormatError(f"array reference {_short(name)} names no tensor in the file")
        try:
            tensor = self.handle.get_tensor(name)
        except Exception as e:  # e.g. a dtype numpy cannot represent
            raise _FormatError(f"tensor {name!r} cannot be loaded: {e}") from None
        layout = self.raw.get(name)
        if layout is None:
            if tensor.dtype.str not in _NATIVE:
                raise _FormatError(f"tensor {name!r} has unexpected dtype {tensor.dtype}")
            return tensor
        dtype, shape = layout
        if tensor.dtype != np.uint8 or tensor.ndim != 1:
            raise _FormatError(f"tensor {name!r} should hold raw bytes")
        needed = math.prod(shape) * dtype.itemsize
        if needed != tensor.size:
            raise _FormatError(
                f"tensor {name!r} holds {tensor.size} bytes but {dtype.str} {tuple(shape)} needs {needed}"
            )
        try:
            arr = tensor.view(dtype).reshape(shape)
        except ValueError as e:
            raise _FormatError(f"tensor {name!r}: {e}") from None
        return arr if arr.flags.aligned else arr.copy()

    def value(self, v, depth=0):
        if depth > _MAX_DEPTH:
            raise _FormatError(f"value nested deeper than {_MAX_DEPTH} levels")
        t = type(v)
        if v is None or t is bool or t is str or t is int or t is float:
            return v
        if t is not dict or len(v) != 1:
            raise _FormatError(f"malformed value {_short(v)}")
        ((tag, body),) = v.items()
        if tag in ("tuple", "list"):
            if type(body) is not list:
                raise _FormatError(f"malformed {tag} {_short(body)}")
            items = [self.value(x, depth + 1) for x in body]
            return tuple(items) if tag == "tuple" else items
        if tag == "dict":
            if type(body) is not list:
                raise _FormatError(f"malformed dict {_short(body)}")
            out = {}
            for item in body:
                if type(item) is not list or len(item) != 2:
                    raise _FormatError(f"malformed dict item {_short(item)}")
                key = self.value(item[0], depth + 1)
                try:
                    seen = key in out
                except TypeError:
                    raise _FormatError(f"dict key {_short(key)} is not hashable") from None
                if seen:
                    raise _FormatError(f"duplicate dict key {_short(key)}")
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
                    return np.frombuffer(data, dtype)[0]
        else:
            raise _FormatError(f"unknown value tag {_short(tag)}")
        raise _FormatError(f"malformed {tag} {_short(body)}")


def _raw_table(raw):
    if type(raw) is not dict:
        raise _FormatError("malformed raw tensor table")
    table = {}
    for name, layout in raw.items():
        if type(layout) is not list or len(layout) != 2 or type(layout[1]) is not list:
            raise _FormatError(f"malformed raw tensor entry {name!r}")
        try:
            dtype = _parse_dtype(layout[0])
        except _FormatError as e:
            raise _FormatError(f"raw tensor {name!r}: {e}") from None
        shape = layout[1]
        if len(shape) > 64 or any(type(d) is not int or d < 0 for d in shape):
            raise _FormatError(f"bad shape {_short(shape)} for tensor {name!r}")
        table[name] = (dtype, shape)
    return table


def _load(handle):
    meta = handle.metadata() or {}
    if meta.get(FORMAT_KEY) != FORMAT_NAME:
        raise _FormatError("not an .o1c file (no ondrel format marker in the header)")
    version = meta.get(VERSION_KEY)
    if version != FORMAT_VERSION:
        raise _FormatError(f"unsupported .o1c format version {version!r} (this reader handles {FORMAT_VERSION})")
    text = meta.get(GRAPH_KEY)
    if text is None:
        raise _FormatError("graph description missing from the header")
    try:
        doc = json.loads(text, parse_constant=_reject_constant)
    except (ValueError, RecursionError) as e:
        raise _FormatError(f"graph description is not valid JSON ({e})") from None
    if type(doc) is not dict or sorted(doc) != ["edges", "metadata", "nodes", "raw"]:
        raise _FormatError("graph description lacks the nodes/edges/metadata/raw sections")

    dec = _Decoder(handle, _raw_table(doc["raw"]))
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
            raise _FormatError(f"malformed node entry {_short(entry)}")
        name, cls_name, attrs = entry
        if name in nodes:
            raise _FormatError(f"duplicate node name {name!r}")
        cls = NODE_TYPES.get(cls_name)
        if cls is None:
            raise _FormatError(f"node {name!r} has unknown class {_short(cls_name)}")
        fields = field_defaults(cls)
        values = {}
        for key, raw_value in attrs.items():
            if key not in fields:
                raise _FormatError(f"node {name!r}: {cls_name} has no attribute {_short(key)}")
            try:
                values[key] = dec.value(raw_value)
            except _FormatError as e:
                raise _FormatError(f"node {name!r}, attribute {key!r}: {e}") from None
        nodes[name] = cls(**values)

    if type(doc["edges"]) is not list:
        raise _FormatError("edges section is not a list")
    edges = []
    for edge in doc["edges"]:
        if type(edge) is not list or len(edge) != 2 or type(edge[0]) is not str or type(edge[1]) is not str:
            raise _FormatError(f"edge {_short(edge)} is not a pair of node names")
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


def read(path):
    """Read an ``.o1c`` file written by :func:`write`.

    ``path`` may be str, bytes or os.PathLike. A missing file raises
    FileNotFoundError; anything that is not a well-formed ``.o1c`` file raises
    ValueError starting with the path. Nothing in the file is executed.
    """
    path = os.fsdecode(os.fspath(path))
    # Sanity-check the header length against the file size before safetensors
    # looks at it, so the error says plainly what is wrong.
    with open(path, "rb") as fh:  # FileNotFoundError / IsADirectoryError name the path
        size = os.fstat(fh.fileno()).st_size
        prefix = fh.read(8)
    if len(prefix) < 8:
        raise ValueError(f"{path}: not an .o1c file (only {size} bytes)")
    header_len = int.from_bytes(prefix, "little")
    if header_len > size - 8:
        raise ValueError(f"{path}: truncated or not an .o1c file (header claims {header_len} bytes, file has {size})")
    try:
        with safe_open(path, framework="numpy") as handle:
            return _load(handle)
    except _FormatError as e:
        raise ValueError(f"{path}: {e}") from None
    except SafetensorError as e:
        raise ValueError(f"{path}: not a readable .o1c file ({e})") from None
    except (ValueError, TypeError, OverflowError, RecursionError) as e:
        raise ValueError(f"{path}: corrupt .o1c file ({type(e).__name__}: {e})") from None
