"""``python -m ondrel.sdk``: the ``ondrel-sdk`` command line."""

import sys

from .cli import main

if __name__ == "__main__":  # not when a worker process re-imports this module
    sys.exit(main())
