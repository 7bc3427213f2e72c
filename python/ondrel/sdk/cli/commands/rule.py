"""``ondrel-sdk rule``: what a lint code checks, why it matters and how to fix it, from the one catalogue."""

import sys
import textwrap

from ...lint_rules import catalogue, doc_sections, example, strict_effect
from ...lint_selection import closest
from ..arguments import EXIT_ERROR, EXIT_OK, add_command
from ..terminal import PROG, Style, emit, print_error


def register(commands, common, batch):
    sub = add_command(commands, run, "rule", "explain a lint code: what it checks, why, an example and the fix",
                      "0 explained, 2 unknown code", (common,), check_usage=_check_usage)
    sub.add_argument("code", nargs="?", metavar="CODE", help="a lint code, e.g. LIF_HIGH_TAU (any case)")
    sub.add_argument("--all", action="store_true", help="a table of every code: severity, --strict, summary")


def _check_usage(args, error):
    if args.all == (args.code is not None):
        error("give one CODE or --all")


def _paragraph(text):
    if text.split(" ", 1)[0].isalpha():  # not a field name such as weight_bits
        text = text[:1].upper() + text[1:]
    return textwrap.fill(text, width=88, initial_indent="  ", subsequent_indent="  ")


def rule_text(entry, style):
    sections = doc_sections(entry)
    lines = [style(f"{entry['code']} ({entry['severity']})", "bold"), entry["summary"], ""]
    for key, title in (("checks", "What it checks"), ("why", "Why it matters")):
        if key in sections:
            lines += [style(title, "bold"), _paragraph(sections[key]), ""]
    lines += [style("Example", "bold"), f"  {entry['severity']} {entry['code']}: {example(entry)}",
              f"  suggestion: {entry.get('help', entry['suggestion'])}", ""]
    if "fix" in sections:
        lines += [style("How to fix", "bold"), _paragraph(sections["fix"]), ""]
    lines += [style("Severity", "bold"), f"  {entry['severity']}; {strict_effect(entry)}"]
    return "\n".join(lines)


def rules_table(entries):
    rows = [("CODE", "SEVERITY", "--STRICT", "SUMMARY")]
    rows += [(entry["code"], entry["severity"], "error" if entry["severity"] == "warning" else "unchanged",
              entry["summary"]) for entry in entries]
    widths = [max(len(row[column]) for row in rows) for column in range(3)]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[3]
                     for row in rows)


def run(args):
    entries = catalogue()
    if args.all:
        emit(rules_table(entries))
        return EXIT_OK
    by_code = {entry["code"]: entry for entry in entries}
    code = args.code.strip().upper()
    entry = by_code.get(code)
    if entry is None:
        close = closest(code, by_code)
        hint = f"; did you mean {close}?" if close else f"; '{PROG} rule --all' lists every code"
        print_error(f"unknown lint code {args.code!r}{hint}", args.no_color)
        return EXIT_ERROR
    emit(rule_text(entry, Style(sys.stdout, args.no_color)))
    return EXIT_OK
