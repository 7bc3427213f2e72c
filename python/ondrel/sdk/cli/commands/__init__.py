"""One module per subcommand: ``register`` adds its arguments, ``run`` does the work and
returns the exit status."""

from . import cost, demo, diff, fingerprint, keygen, lint, report, sign, stamp, summary, verify

# In the order ``--help`` lists them.
COMMANDS = (summary, lint, cost, diff, fingerprint, stamp, verify, keygen, sign, report, demo)
