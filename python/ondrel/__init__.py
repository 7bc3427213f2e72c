"""ONDREL SDK tooling: analysis, linting, comparison and fingerprints of ONDREL IR graphs.

Subpackages are imported on demand (``ondrel.ir``, ``ondrel.sdk``) so that
``import ondrel`` stays cheap and never loads the compiled services.
"""

__version__ = "0.1.0"
