#!/usr/bin/env bash
# Prints the interpreter of the first of the Python versions given (e.g. 3.10 3.11)
# that is installed: one on PATH, else pyenv's.
set -u
for version in "$@"; do
    for candidate in "python$version" "$HOME"/.pyenv/versions/"$version".*/bin/python"$version"; do
        if "$candidate" -c "import sys; sys.exit(f'{sys.version_info[0]}.{sys.version_info[1]}' != '$version')" \
            2>/dev/null; then
            command -v "$candidate"
            exit 0
        fi
    done
done
echo "find_python.sh: none of Python $* is installed (pyenv install VERSION, or set PYTHON=...)" >&2
exit 2
