"""Reads the sanitizer logs of a test run and fails on any finding that concerns
the SDK's extension modules.

    python tools/sanitizer_report.py LOG_DIR

AddressSanitizer and UndefinedBehaviorSanitizer reports always fail. Leak
reports fail only for allocations made by the SDK's own code: the interpreter
and third-party extensions keep memory until exit on purpose, and those blocks
say nothing about this project.
"""

import pathlib
import re
import sys

OWN_CODE = re.compile(r"ondrel::|/ondrel/sdk/|/src/(sdk|ir_interface)/")
LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of ", re.M)


def findings(text):
    if re.search(r"ERROR: AddressSanitizer|AddressSanitizer: CHECK failed|UndefinedBehaviorSanitizer|runtime error:", text):
        yield text
        return
    if "ERROR: LeakSanitizer" not in text:
        return
    starts = [m.start() for m in LEAK_HEADER.finditer(text)] + [len(text)]
    for begin, end in zip(starts, starts[1:]):
        block = text[begin:end]
        if OWN_CODE.search(block):
            yield block


def main(log_dir):
    logs = sorted(pathlib.Path(log_dir).glob("*"))
    bad = [(log, finding) for log in logs for finding in findings(log.read_text(errors="replace"))]
    for log, finding in bad:
        print(f"--- {log}\n{finding}")
    print(f"sanitizers: {len(logs)} log(s) read, {len(bad)} finding(s) in the SDK's code")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
