"""per-node-ignores at scale: a selection with many node patterns applied to many findings.

Builds a LintResult of N findings (codes and node names cycling) and a
LintSelection whose per-node ignores hold P patterns of every shape the
configuration allows (exact names, name*, *name, and general globs such as
block?.conv[0-9]), then times what one lint run pays: building the selection
and applying it to the findings (best of R runs, each with a fresh selection,
so the patterns are compiled every time). The result is checked against
fnmatch pattern by pattern on a sample of the findings.

    python bench/bench_lint_selection.py [--findings 20000] [--patterns 1000] [--runs 3]
"""

import argparse
import fnmatch
import time

from ondrel.sdk import lint_selection
from ondrel.sdk.lint import LintResult
from ondrel.sdk.lint_selection import RULES, LintSelection


def patterns(count):
    shapes = ("layer{}.conv", "layer{}.*", "*.head{}", "block{}?.conv[0-9]")
    return {shapes[i % len(shapes)].format(i): [list(RULES)[i % len(RULES)]] for i in range(count)}


def findings(count):
    result = LintResult()
    codes = list(RULES)
    for i in range(count):
        result.add_warning(codes[i % len(codes)], "m", node=f"layer{i % 3000}.{'conv' if i % 2 else 'head' + str(i)}")
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--findings", type=int, default=20_000)
    parser.add_argument("--patterns", type=int, default=1_000)
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()
    table, result = patterns(options.patterns), findings(options.findings)

    times, kept = [], None
    for _ in range(options.runs):
        if hasattr(lint_selection, "_node_patterns"):  # compiled again, as in a new process
            lint_selection._node_patterns.cache_clear()
        started = time.perf_counter()
        kept = LintSelection(per_node_ignores=table).apply(result)
        times.append(time.perf_counter() - started)
    best = min(times)
    print(f"{options.findings:,} findings x {options.patterns:,} patterns: {best:.3f} s "
          f"({best / options.findings * 1e6:.1f} us per finding), {len(kept.issues):,} kept")

    sample = result.issues[:: max(1, len(result.issues) // 500)]
    expected = [issue for issue in sample
                if not any(fnmatch.fnmatchcase(issue.node, pattern) and issue.code.startswith(codes[0])
                           for pattern, codes in table.items())]
    selection = LintSelection(per_node_ignores=table)
    assert [issue for issue in sample if selection.allows(issue.code, issue.node)] == expected, "differs from fnmatch"
    print(f"  checked against fnmatch on {len(sample)} findings")


if __name__ == "__main__":
    main()
