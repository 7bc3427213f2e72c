#!/usr/bin/env bash
# build_wheel.sh PYTHON AUDITWHEEL DIST: builds the wheel of the interpreter PYTHON
# and repairs it with auditwheel into DIST, replacing that version's older wheel.
# The tag is the lowest the extension modules' glibc symbols allow (see README).
set -euo pipefail
python=$1 auditwheel=$2 dist=$3
tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
raw=build/wheels/raw-$tag
rm -rf "$raw"
"$python" -m pip wheel --quiet --no-deps --wheel-dir "$raw" .
mkdir -p "$dist"
rm -f "$dist"/ondrel-*-"$tag"-*.whl
"$auditwheel" repair --wheel-dir "$dist" "$raw"/ondrel-*.whl
"$auditwheel" show "$dist"/ondrel-*-"$tag"-*.whl | sed -n '1,/^$/p' | tr -s '\n' ' ' | fold -s -w 100
echo
