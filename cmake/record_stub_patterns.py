"""Writes a stub pattern file that declares a module's dataclass records as
dataclasses (fields, annotations, defaults), which the stub generator would
otherwise render as plain classes.

    python record_stub_patterns.py STAGE_DIR MODULE OUTPUT
"""

import dataclasses
import importlib
import re
import sys


def field_line(field):
    line = f"{field.name}: {field.type}"
    if field.default is not dataclasses.MISSING:
        return f"{line} = {field.default!r}"
    if field.default_factory is not dataclasses.MISSING:
        return f"{line} = field(default_factory={field.default_factory.__name__})"
    return line


def patterns(module_name):
    module = importlib.import_module(module_name)
    for name, value in vars(module).items():
        if isinstance(value, type) and dataclasses.is_dataclass(value) and value.__module__ == module_name:
            yield f"^{re.escape(module_name)}\\.{name}$:"
            yield "    \\from dataclasses import dataclass, field"
            yield "    \\from typing import Optional"
            yield "    @dataclass"
            yield f"    class {name}:"
            yield "        \\doc"
            yield from (f"        {field_line(f)}" for f in dataclasses.fields(value))
            yield ""


if __name__ == "__main__":
    stage, module_name, output = sys.argv[1:]
    sys.path.insert(0, stage)  # keeps the build environment's own path (numpy & co.)
    with open(output, "w", encoding="utf-8") as stream:
        stream.write("# Generated at build time.\n")
        stream.writelines(line + "\n" for line in patterns(module_name))
