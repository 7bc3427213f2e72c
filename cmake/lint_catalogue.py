"""Writes the compiled linter's catalogue header from the lint catalogue.

    python cmake/lint_catalogue.py python/ondrel/sdk/lint_rules.py OUT.hpp

The catalogue (python/ondrel/sdk/lint_rules.py) is plain data: it is read
with runpy, without importing the package. The header is rewritten only when
its text changes, so an unchanged catalogue rebuilds nothing.
"""

import os
import runpy
import sys

SEVERITIES = {"error": "Severity::Error", "warning": "Severity::Warning", "info": "Severity::Info"}


def literal(text):
    """``text`` as a C++ string literal of its UTF-8 bytes."""
    out = []
    for byte in text.encode("utf-8"):
        char = chr(byte)
        if char in '"\\':
            out.append("\\" + char)
        elif 32 <= byte < 127:
            out.append(char)
        else:
            out.append(f"\\{byte:03o}")
    return '"' + "".join(out) + '"'


def header(catalogue):
    codes = [entry["code"] for entry in catalogue]
    if len(set(codes)) != len(codes):
        sys.exit("lint catalogue: a code is listed twice")
    lines = [
        "// Generated from python/ondrel/sdk/lint_rules.py by cmake/lint_catalogue.py: edit the catalogue, not this.",
        "#pragma once",
        "",
        "namespace ondrel::lint {",
        "",
        "enum class Code : unsigned char {",
        *(f"    {code}," for code in codes),
        "};",
        "",
        "inline constexpr CatalogueEntry catalogue[] = {",
    ]
    for entry in catalogue:
        fields = [literal(entry["code"]), SEVERITIES[entry["severity"]], literal(entry["message"]),
                  literal(entry["suggestion"])]
        lines.append("    {" + ", ".join(fields) + "},")
    lines += ["};", "", "}  // namespace ondrel::lint", ""]
    return "\n".join(lines)


def main():
    source, target = sys.argv[1:]
    text = header(runpy.run_path(source)["CATALOGUE"])
    try:
        with open(target, encoding="utf-8") as existing:
            if existing.read() == text:
                return
    except FileNotFoundError:
        pass
    os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
    with open(target, "w", encoding="utf-8") as out:
        out.write(text)


if __name__ == "__main__":
    main()
