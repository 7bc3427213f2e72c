"""What calling a public function costs on top of its work: ns per call of a
few cheap calls, positional and by keyword, beside a builtin and a
pure-Python function of the same shape.

    python bench/call_overhead.py [--number 200000] [--repeat 7]

Or, for counts the load of a shared machine does not move, the instructions of
one case's calls (the "Collected" line divided by --number):

    valgrind --tool=callgrind --toggle-collect=builtin_eval --callgrind-out-file=/dev/null \\
        python bench/call_overhead.py --instructions "format_number(5)"
"""

import argparse
import timeit

from ondrel.sdk.analyze import format_number
from ondrel.sdk.compare import compare_arrays
from ondrel.sdk.lint import LintResult


def python_function(n):
    return n


CASES = [
    "abs(5)",
    "python_function(5)",
    "format_number(5)",
    "format_number(n=5)",
    "compare_arrays(None, None)",
    "compare_arrays(None, None, rtol=0.1)",
    "result.add_info('C', 'm', node='n')",
]


def names():
    return {"format_number": format_number, "compare_arrays": compare_arrays, "python_function": python_function,
            "result": LintResult()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--instructions", metavar="CASE", choices=CASES)
    args = parser.parse_args()
    if args.instructions:
        scope = names()
        eval(compile(args.instructions, "warm-up", "eval"), scope)
        eval(f"[{args.instructions} for _ in range({args.number})]", scope)
        return
    for case in CASES:
        best = min(timeit.repeat(case, globals=names(), number=args.number, repeat=args.repeat))
        print(f"{case:>40}  {best / args.number * 1e9:7.1f} ns")


if __name__ == "__main__":
    main()
