"""One module per subcommand: ``register`` adds its arguments, ``run`` does the work and
returns the exit status."""

from . import (check, cost, demo, diff, fingerprint, infer_shapes, keygen, lint, report, rule, sign, stamp, summary,
               verify)

# In the order ``--help`` lists them.
COMMANDS = (summary, lint, check, cost, infer_shapes, rule, diff, fingerprint, stamp, verify, keygen, sign, report, demo)
