#!/usr/bin/env bash
# test_floors.sh PYTHON WHEEL [PYTEST ARGS...]: installs WHEEL with exactly the
# runtime and extra floors of tools/minimum-requirements.txt in a fresh environment
# and runs the suite there.
set -euo pipefail
python=$1 wheel=$2
shift 2
env=build/floors/env
rm -rf "$env"
mkdir -p build/floors
grep -E '#[[:space:]]*(runtime|extra)' tools/minimum-requirements.txt | sed 's/#.*//' > build/floors/runtime.txt
"$python" -m venv "$env"
"$env/bin/python" -m pip install --quiet --upgrade pip
"$env/bin/python" -m pip install --quiet -r build/floors/runtime.txt -c build/floors/runtime.txt "$wheel[test,report,signing]"
"$env/bin/python" -m pip list 2>/dev/null | grep -iE '^(numpy|rustworkx|tomli|ml[-_]dtypes|cryptography) ' | tr -s ' \n' '= ' && echo
"$env/bin/python" -m pytest "$@"
