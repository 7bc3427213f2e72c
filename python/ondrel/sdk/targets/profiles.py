"""Target profiles: what a device can hold, read from TOML (format 1, described in docs/targets.md).

Only the standard library (and the TOML reader) is imported here, so the command line checks a
profile before it loads numpy or the services.

A limit is written either as a plain value or as ``{ value = ..., source = "KEY" }``, where KEY
names an entry of the profile's ``[sources]`` table. Per-core limits take one value for every core
or a list with one value per core. A limit the profile leaves out is not checked.
"""

import dataclasses
import difflib
import os
import sys
from typing import Dict, Optional, Tuple

FORMAT = 1
PROFILE_FOLDER = os.path.join(os.path.dirname(__file__), "profiles")
PROFILE_SUFFIX = ".toml"
PYPROJECT_TABLE = ("tool", "ondrel-sdk", "target")

SIGNEDNESS = ("twos-complement", "sign-magnitude", "unsigned")
NUMBER_KINDS = ("integer", "fixed")
GRANULARITY = ("tensor", "channel")
MEMORY_FORMULAS = ("exact", "power-of-two")
DECAY_ENCODINGS = ("shift", "fraction")


class ProfileError(ValueError):
    """A profile that cannot be used: the file, the key and what is wrong with it."""

    def __init__(self, path, key, reason):
        super().__init__(path, key, reason)
        self.path, self.key, self.reason = path, key, reason

    def __str__(self):
        where = f"key '{self.key}': " if self.key else ""
        return f"{self.path}: {where}{self.reason}"


@dataclasses.dataclass(frozen=True)
class Limit:
    """One figure of a device and where it comes from (the text of the cited source, or None)."""

    value: object
    source: Optional[str] = None

    def at(self, core):
        """The value for core number ``core`` (per-core lists; a single value holds for every core)."""
        return self.value[core] if isinstance(self.value, tuple) else self.value

    def largest(self):
        return max(self.value) if isinstance(self.value, tuple) else self.value


@dataclasses.dataclass(frozen=True)
class NumberFormat:
    """How the device stores one kind of number: ``bits`` wide, integer or fixed point, and its sign.

    ``shift``: a threshold stored as an integer mantissa shifted left by this many bits.
    ``per``: weights share one scale per tensor or per output channel."""

    bits: Optional[Limit] = None
    kind: Limit = Limit("integer")
    signed: Limit = Limit("twos-complement")
    shift: Limit = Limit(0)
    per: Limit = Limit("tensor")

    def integer_range(self):
        """(lowest, highest) integer the format holds, or None without a width."""
        return None if self.bits is None else integer_range(self.bits.value, self.signed.value)


def integer_range(bits, signed):
    """(lowest, highest) integer of a ``bits``-wide number stored ``signed`` (one of SIGNEDNESS)."""
    if signed == "unsigned":
        return 0, 2 ** bits - 1
    if signed == "sign-magnitude":
        return -(2 ** (bits - 1) - 1), 2 ** (bits - 1) - 1
    return -(2 ** (bits - 1)), 2 ** (bits - 1) - 1


@dataclasses.dataclass(frozen=True)
class Decay:
    """How a membrane time constant is stored: ``shift`` (the decay per step is 2^-s, so tau = 2^s, s at most
    2^bits - 1 when ``bits`` is given) or ``fraction`` (the decay per step 1/tau as a ``bits``-bit fraction)."""

    encoding: Limit
    bits: Optional[Limit] = None


@dataclasses.dataclass(frozen=True)
class TargetProfile:
    name: str
    version: str
    description: str
    path: str  # where it was read from ("<shipped>/NAME.toml" for shipped profiles)
    sources: Dict[str, str]
    device: Dict[str, Limit]  # cores, inputs, outputs
    core: Dict[str, Limit]  # neurons, synapses, synapse_bits, input_axons, kernel_entries, neuron_entries
    neuron: Dict[str, Limit]  # fan_in, fan_out
    share: Limit  # several layers on one core
    split: Limit  # a layer across consecutive cores
    kernel_memory: str  # "exact" or "power-of-two"
    neuron_memory: str
    weights: Optional[NumberFormat]
    threshold: Optional[NumberFormat]
    state: Optional[NumberFormat]
    decay: Optional[Decay]
    nodes: Optional[Limit]  # the node classes the device runs (a tuple), or None for any

    @property
    def cores(self):
        found = self.device.get("cores")
        return None if found is None else found.value

    def source(self, limit):
        return limit.source or f"profile {self.name} {self.version}"

    def limits(self):
        """(key, Limit) of every limit the profile sets, in the order of the format."""
        found = [(f"device.{key}", limit) for key, limit in self.device.items()]
        found += [(f"core.{key}", limit) for key, limit in self.core.items()]
        found += [(f"neuron.{key}", limit) for key, limit in self.neuron.items()]
        for table in ("weights", "threshold", "state"):
            number = getattr(self, table)
            if number is not None and number.bits is not None:
                found.append((f"{table}.bits", number.bits))
        if self.decay is not None:
            found.append(("decay.encoding", self.decay.encoding))
            if self.decay.bits is not None:
                found.append(("decay.bits", self.decay.bits))
        if self.nodes is not None:
            found.append(("nodes.supported", self.nodes))
        return found


# ---------------------------------------------------------------- reading


def _toml():
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # the backport
        import tomli as tomllib
    return tomllib


def _parse_text(text, path):
    try:
        toml = _toml()
    except ModuleNotFoundError:
        raise ProfileError(path, None, "reading TOML on Python 3.10 needs the 'tomli' package") from None
    try:
        return toml.loads(text)
    except toml.TOMLDecodeError as e:
        raise ProfileError(path, None, f"not valid TOML ({e})") from None
    except RecursionError:
        raise ProfileError(path, None, "not valid TOML (nested too deeply)") from None


def _read_text(path):
    try:
        with open(path, encoding="utf-8") as handle:
            return handle.read()
    except OSError as e:
        raise ProfileError(path, None, e.strerror or str(e)) from None
    except UnicodeDecodeError:
        raise ProfileError(path, None, "not UTF-8 text") from None


def shipped_profiles():
    """The names of the shipped profiles, sorted."""
    return sorted(name[: -len(PROFILE_SUFFIX)] for name in os.listdir(PROFILE_FOLDER) if name.endswith(PROFILE_SUFFIX))


def load_profile(name_or_path):
    """The profile of a shipped name ("loihi"), a profile file, or a ``pyproject.toml`` with a
    ``[tool.ondrel-sdk.target]`` table; ``ProfileError`` naming the file and the bad key otherwise."""
    if isinstance(name_or_path, TargetProfile):
        return name_or_path
    text = os.fspath(name_or_path)
    if text in shipped_profiles():
        path = os.path.join(PROFILE_FOLDER, text + PROFILE_SUFFIX)
        return parse_profile(_read_text(path), f"<shipped>/{text}{PROFILE_SUFFIX}")
    if os.sep not in text and "/" not in text and not text.endswith(".toml") and not os.path.exists(text):
        raise ProfileError(text, None, f"no shipped profile of that name and no such file (shipped: "
                                       f"{', '.join(shipped_profiles())})")
    document = _parse_text(_read_text(text), text)
    if os.path.basename(text) == "pyproject.toml" or "tool" in document:
        profile = pyproject_profile(text)
        if profile is None:
            raise ProfileError(text, None, "has no [tool.ondrel-sdk.target] table")
        return profile
    return build_profile(document, text)


def parse_profile(text, path):
    """The profile in the TOML ``text`` read from ``path``."""
    return build_profile(_parse_text(text, path), path)


def pyproject_profile(path):
    """The target of the pyproject file at ``path``, or None without one: ``[tool.ondrel-sdk.target]`` is a
    profile's tables, or ``target = "NAME|FILE"`` in ``[tool.ondrel-sdk]`` names one (a file relative to the
    pyproject's folder)."""
    document = _parse_text(_read_text(path), path)
    table = document
    for key in PYPROJECT_TABLE:
        table = table.get(key) if isinstance(table, dict) else None
    if table is None:
        return None
    if isinstance(table, str):
        named = table if table in shipped_profiles() else os.path.join(os.path.dirname(path), table)
        return load_profile(named)
    if not isinstance(table, dict):
        raise ProfileError(path, "tool.ondrel-sdk.target", "must be a table (a profile) or a string (a profile's "
                                                           "name or file)")
    return build_profile(table, path, "tool.ondrel-sdk.target.")


# The keys of each table, and what each value must be.
_POSITIVE = "a whole number of at least 1"
_TABLES = {
    "device": {"cores": "count", "inputs": "count", "outputs": "count"},
    "core": {"neurons": "per-core", "synapses": "per-core", "synapse_bits": "per-core", "input_axons": "per-core",
             "kernel_entries": "per-core", "neuron_entries": "per-core", "share": "bool", "split": "bool"},
    "neuron": {"fan_in": "count", "fan_out": "count"},
    "memory": {"kernel": MEMORY_FORMULAS, "neurons": MEMORY_FORMULAS},
    "weights": {"bits": "bits", "kind": NUMBER_KINDS, "signed": SIGNEDNESS, "per": GRANULARITY},
    "threshold": {"bits": "bits", "kind": NUMBER_KINDS, "signed": SIGNEDNESS, "shift": "shift"},
    "state": {"bits": "bits", "kind": NUMBER_KINDS, "signed": SIGNEDNESS},
    "decay": {"encoding": DECAY_ENCODINGS, "bits": "bits"},
    "nodes": {"supported": "classes"},
}
_TOP = ("format", "name", "version", "description", "sources")


def _unknown(path, where, key, known):
    close = difflib.get_close_matches(key, known, n=1)
    hint = f"did you mean {close[0]!r}? " if close else ""
    return ProfileError(path, where + key, f"unknown key ({hint}known: {', '.join(known)})")


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


class _Reader:
    def __init__(self, path, prefix):
        self.path, self.prefix = path, prefix
        self.sources = {}

    def error(self, key, reason):
        return ProfileError(self.path, self.prefix + key, reason)

    def limit(self, key, raw, kind):
        source = None
        if isinstance(raw, dict):
            extra = sorted(set(raw) - {"value", "source"})
            if extra:
                raise self.error(key, f"a limit is {{ value = ..., source = \"KEY\" }}, not {extra[0]!r}")
            if "value" not in raw:
                raise self.error(key, "has no value")
            source_key = raw.get("source")
            if source_key is not None:
                if not isinstance(source_key, str) or source_key not in self.sources:
                    raise self.error(key, f"source {source_key!r} is not a key of [sources]")
                source = self.sources[source_key]
            raw = raw["value"]
        return Limit(self.value(key, raw, kind), source)

    def value(self, key, raw, kind):
        if isinstance(kind, tuple):
            if raw not in kind:
                raise self.error(key, f"must be one of {', '.join(repr(k) for k in kind)}, got {raw!r}")
            return raw
        if kind == "bool":
            if not isinstance(raw, bool):
                raise self.error(key, "must be true or false")
            return raw
        if kind == "classes":
            from ondrel.ir._nodes import NODE_TYPES

            if not isinstance(raw, list) or not all(isinstance(item, str) for item in raw):
                raise self.error(key, "must be a list of node class names")
            for item in raw:
                if item not in NODE_TYPES:
                    raise self.error(key, f"unknown node class {item!r}")
            return tuple(raw)
        if kind == "per-core":
            if isinstance(raw, list):
                if not raw or not all(_is_int(item) and item >= 1 for item in raw):
                    raise self.error(key, f"must be {_POSITIVE}, or a list of them (one per core)")
                return tuple(raw)
            kind = "count"
        if kind == "shift":
            if not _is_int(raw) or not 0 <= raw <= 64:
                raise self.error(key, "must be a whole number from 0 to 64")
            return raw
        if kind == "bits":
            if not _is_int(raw) or not 1 <= raw <= 64:
                raise self.error(key, "must be a whole number of bits from 1 to 64")
            return raw
        if not _is_int(raw) or raw < 1:
            raise self.error(key, f"must be {_POSITIVE}, got {raw!r}")
        return raw


def build_profile(document, path, prefix=""):
    """The profile held by the parsed TOML ``document`` (``prefix`` starts every key in messages)."""
    reader = _Reader(path, prefix)
    for key in document:
        if key not in _TOP and key not in _TABLES:
            raise _unknown(path, prefix, key, _TOP + tuple(_TABLES))
    form = document.get("format")
    if form != FORMAT:
        raise reader.error("format", f"must be {FORMAT} (the profile format this version reads), got {form!r}")
    texts = {}
    for key in ("name", "version", "description"):
        value = document.get(key, "" if key == "description" else None)
        if not isinstance(value, str) or (key != "description" and not value):
            raise reader.error(key, "must be a non-empty string" if key != "description" else "must be a string")
        texts[key] = value
    sources = document.get("sources", {})
    if not isinstance(sources, dict) or not all(isinstance(v, str) and v for v in sources.values()):
        raise reader.error("sources", "must be a table of names to non-empty strings (document, version, page)")
    reader.sources = dict(sources)
    tables = {}
    for table, keys in _TABLES.items():
        raw = document.get(table, {})
        if not isinstance(raw, dict):
            raise reader.error(table, "must be a table")
        for key in raw:
            if key not in keys:
                raise _unknown(path, f"{prefix}{table}.", key, tuple(keys))
        tables[table] = {key: reader.limit(f"{table}.{key}", value, keys[key]) for key, value in raw.items()}
    core = tables["core"]
    cores = tables["device"].get("cores")
    for key, limit in core.items():
        if isinstance(limit.value, tuple) and (cores is None or len(limit.value) != cores.value):
            raise reader.error(f"core.{key}", "a list needs device.cores with one value per core")
    memory = tables["memory"]

    def number(table):
        raw = tables[table]
        if not raw:
            return None
        return NumberFormat(**raw)

    decay = None
    if tables["decay"]:
        if "encoding" not in tables["decay"]:
            raise reader.error("decay.encoding", "is required in [decay] (\"shift\" or \"fraction\")")
        decay = Decay(**tables["decay"])
        if decay.encoding.value == "fraction" and decay.bits is None:
            raise reader.error("decay.bits", "a fraction needs its width in bits")
    threshold = number("threshold")
    if threshold is not None and threshold.bits is None:
        raise reader.error("threshold.bits", "is required in [threshold]")
    return TargetProfile(
        name=texts["name"], version=texts["version"], description=texts["description"], path=path,
        sources=reader.sources, device=tables["device"],
        core={key: limit for key, limit in core.items() if key not in ("share", "split")},
        neuron=tables["neuron"], share=core.get("share", Limit(True)), split=core.get("split", Limit(False)),
        kernel_memory=memory["kernel"].value if "kernel" in memory else "exact",
        neuron_memory=memory["neurons"].value if "neurons" in memory else "exact",
        weights=number("weights"), threshold=threshold, state=number("state"), decay=decay,
        nodes=tables["nodes"].get("supported"),
    )


def profile_summary(profile):
    """Plain data describing ``profile`` (for JSON output)."""
    return {"name": profile.name, "version": profile.version, "path": profile.path,
            "limits": {key: {"value": list(limit.value) if isinstance(limit.value, tuple) else limit.value,
                             "source": limit.source} for key, limit in profile.limits()}}

