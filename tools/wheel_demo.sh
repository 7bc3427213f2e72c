#!/usr/bin/env bash
# wheel_demo.sh PYTHON WHEEL: installs WHEEL in a fresh environment in a temporary
# folder, away from the source tree, and runs the demo there as a user would.
set -euo pipefail
python=$1
wheel=$(realpath "$2")
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
"$python" -m venv "$home/venv"
"$home/venv/bin/python" -m pip install --quiet "$wheel[report]"
cd "$home"
module=$(venv/bin/python -c 'import ondrel.sdk.analyze as m; print(m.__file__)')
case "$module" in
    "$home"/venv/*) ;;
    *) echo "wheel_demo.sh: ondrel.sdk.analyze came from $module, not the installed wheel" >&2; exit 1 ;;
esac
venv/bin/ondrel-sdk demo --no-color models
ls models/*.o1c >/dev/null
echo "demo from $(basename "$wheel") passed"
