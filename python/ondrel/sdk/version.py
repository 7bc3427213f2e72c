"""Versions of the ONDREL packages visible to this interpreter.

``get_versions()`` is what bug reports and the command line print: it tells
which parts of the tool chain are installed without importing any of the
compiled services.
"""

import importlib
from importlib import metadata, util

# Companion packages that are distributed separately.
_OPTIONAL = ("ondrel.bridge", "ondrel.viz")


def _present(name):
    try:
        return util.find_spec(name) is not None
    except (ImportError, ValueError):
        return False


def _ondrel_version():
    try:
        return metadata.version("ondrel")
    except metadata.PackageNotFoundError:  # running from a source tree
        import ondrel

        return ondrel.__version__


def _companion_version(name, fallback):
    try:
        return metadata.version(name.replace(".", "-"))
    except metadata.PackageNotFoundError:
        pass
    try:
        module = importlib.import_module(name)
    except ImportError:
        return None
    return getattr(module, "__version__", fallback)


def get_versions() -> dict:
    """Map "ondrel", "ondrel.ir", "ondrel.bridge", "ondrel.viz" to their
    version strings, None for those not installed."""
    own = _ondrel_version()
    versions = {"ondrel": own, "ondrel.ir": own if _present("ondrel.ir") else None}
    for name in _OPTIONAL:
        versions[name] = _companion_version(name, own) if _present(name) else None
    return versions
