"""Signing and verifying a ~3 GB model: time, throughput against hashlib.sha256, peak anonymous memory.

Writes model A of bench_large_models.py (three 1 GiB float32 Affine weights with
LIF layers between) and an Ed25519 key pair to DIR, warms the page cache, then
runs each command as a child process, in --runs rounds of every command in
turn (best time, highest peak RssAnon, polled from /proc every 2 ms), next to
one hashlib.sha256 stream over the same file. The files are deleted afterwards.

    python bench/bench_signing.py [DIR] [--runs 3]
"""

import os
import subprocess
import sys
import time

from bench_large_models import HASHLIB, MB, best_of, clean_up, model_a, options_and_folder

from ondrel import ir


def main():
    options, folder = options_and_folder(__doc__.splitlines()[0], "ondrel-signing-")
    a, signature, again, stamped = (os.path.join(folder, name) for name in
                                    ("model_a.o1c", "model_a.sig", "model_a.again.sig", "model_a_signed.o1c"))
    private, public = os.path.join(folder, "bench-key.pem"), os.path.join(folder, "bench-key.pub")
    sdk = [sys.executable, "-m", "ondrel.sdk"]
    try:
        start = time.perf_counter()
        ir.write(a, model_a())
        subprocess.run(sdk + ["keygen", private, "--force"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(sdk + ["stamp", a, "-o", stamped, "--sign", private, "--force"], check=True,
                       stdout=subprocess.DEVNULL)
        size = os.path.getsize(a)
        print(f"model written in {time.perf_counter() - start:.0f} s: {size / 2**30:.2f} GiB, in {folder}")
        for path in (a, stamped):  # warm the page cache
            subprocess.run([sys.executable, "-c", HASHLIB, path], check=True, stdout=subprocess.DEVNULL)

        # (label, argv, speed target against hashlib or None)
        commands = [
            ("hashlib.sha256 A (python -c)", None, None),
            ("sign A", ["sign", a, "--key", private, "--signature", signature], 1.6),
            ("verify A --signature", ["verify", a, "--signature", signature, "--key", public], 1.6),
            ("sign A --reuse (unchanged file)", ["sign", a, "--key", private, "--reuse", signature,
                                                 "--signature", again], None),
            ("verify A-signed (embedded)", ["verify", stamped, "--key", public], 1.6),
        ]
        # Rounds of every command in turn, so that a busy spell of a shared machine slows all of them alike.
        best = {label: (float("inf"), 0) for label, _, _ in commands}
        for _ in range(options.runs):
            for label, argv, _ in commands:
                seconds, peak = best_of(1, sdk + argv if argv else [sys.executable, "-c", HASHLIB, a])
                best[label] = (min(best[label][0], seconds), max(best[label][1], peak))
        baseline = best[commands[0][0]][0]
        rows = [(commands[0][0], baseline, best[commands[0][0]][1], "")]
        for label, argv, target in commands[1:]:
            seconds, peak = best[label]
            ratio = baseline / seconds
            verdict = [f"{ratio:.2f}x hashlib"]
            if target:
                verdict.append(f"(>= {target}x)" + ("  ok" if ratio >= target else "  MISSED"))
            verdict.append("< 400 MB  " + ("ok" if peak < 400 * MB else "MISSED"))
            rows.append((f"ondrel-sdk {label}", seconds, peak, " ".join(verdict)))

        print(f"{'what':<42}{'time':>9}{'MB/s':>9}{'peak RssAnon':>15}   against the baseline")
        for label, seconds, peak, verdict in rows:
            print(f"{label:<42}{seconds:>8.2f}s{size / MB / seconds:>9.0f}{peak / MB:>12.0f} MB   {verdict}")
    finally:
        clean_up((a, signature, again, stamped, private, public), folder if not options.dir else None)


if __name__ == "__main__":
    main()
