#!/usr/bin/env bash
# floor_build.sh PYTHON WHEEL_DIR [PIP ARGS...]: builds the wheel with exactly the
# build floors of tools/minimum-requirements.txt (no build isolation) into WHEEL_DIR.
set -euo pipefail
python=$1 wheels=$2
shift 2
env=build/floors/build-env
rm -rf "$env" "$wheels"
mkdir -p build/floors
grep -E '#[[:space:]]*build' tools/minimum-requirements.txt | sed 's/#.*//' > build/floors/build.txt
"$python" -m venv "$env"
"$env/bin/python" -m pip install --quiet --upgrade pip
"$env/bin/python" -m pip install --quiet -r build/floors/build.txt ninja
# The environment's cmake first, so that the floor's is the one used.
PATH="$PWD/$env/bin:$PATH" "$env/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps \
    --wheel-dir "$wheels" "$@" .
