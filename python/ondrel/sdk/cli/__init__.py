"""The ``ondrel-sdk`` command line: the four services from a terminal or from CI.

    ondrel-sdk demo                          # every service on the bundled example models
    ondrel-sdk summary model.o1c --verbose
    ondrel-sdk lint models/*.o1c --format sarif > lint.sarif
    ondrel-sdk lint models/ --select LIF_ --format github      # a folder: every .o1c file below it
    ondrel-sdk diff before.o1c after.o1c
    ondrel-sdk fingerprint models/*.o1c > SUMS
    ondrel-sdk fingerprint --check SUMS
    ondrel-sdk stamp model.o1c -o release.o1c --git-commit "$(git rev-parse HEAD)"
    ondrel-sdk verify release.o1c
    ondrel-sdk keygen release.pem --type p256        # release.pem (mode 0600) and release.pub
    ondrel-sdk sign model.o1c --key release.pem      # model.o1c.sig (a model_signing bundle)
    ondrel-sdk verify model.o1c --signature model.o1c.sig --key release.pub
    ondrel-sdk report model.o1c -o model.html        # or: report before.o1c after.o1c -o diff.html
    ondrel-sdk draw model.o1c -o model.svg           # or model.dot

Exit statuses: 0 success, 1 findings (lint errors, graphs differ, failed
verification), 2 unusable input or arguments (one ``ondrel-sdk: error:`` line on
stderr naming the file).

Layout: ``app`` holds the parser and the failure policy, ``commands`` one
module per subcommand, ``files`` reading and per-file handling, ``terminal``
what reaches a terminal, ``formats`` JSON, SARIF, GitHub annotations and JUnit XML. Only the standard library
is imported here; the services (and numpy) are imported by the commands that
use them, so ``--help`` stays fast.
"""

from .app import main

__all__ = ["main"]
