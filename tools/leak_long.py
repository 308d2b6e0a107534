#!/usr/bin/env python3
"""Long leak run: the cases of tests/test_leaks.py, 1e6 calls per function.

    PYTHONPATH=<build dir> python3 tools/leak_long.py [--calls N] [function ...]

For each function, after a warm-up of 10000 calls, prints the resident set
(from /proc/self/statm) at ten checkpoints, its growth over the run, the change
in the interpreter's count of allocated memory blocks, the reference counts
that changed (there should be none) and the exceptions raised, by type.
Exits non-zero if the resident set grew by 1 MiB or more, or any reference
count changed.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))
import test_leaks  # noqa: E402
import tarnivox  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10**6)
    parser.add_argument("functions", nargs="*")
    args = parser.parse_args()
    bad = False
    for fname in args.functions or tarnivox.__all__:
        start = time.perf_counter()
        sizes, (b0, b1), (before, after, labels), raised = test_leaks.measure(
            fname, args.calls, warm_up=10000, checkpoints=10)
        seconds = time.perf_counter() - start
        changed = [(label, b, a) for label, b, a in zip(labels, before, after) if b != a]
        growth = sizes[-1] - sizes[0]
        print(f"{fname}: {args.calls} calls in {seconds:.0f} s; RSS {sizes[0] / 2**20:.2f} MiB -> "
              f"{sizes[-1] / 2**20:.2f} MiB (growth {growth} bytes, max over checkpoints "
              f"{max(sizes) - sizes[0]} bytes); allocated blocks {b1 - b0:+d}; "
              f"reference counts changed: {changed or 'none'}")
        print("  RSS at checkpoints (KiB): " + " ".join(str(s // 1024) for s in sizes))
        print("  raised: " + ", ".join(f"{k} {v}" for k, v in sorted(raised.items())))
        sys.stdout.flush()
        bad |= growth >= 2**20 or bool(changed)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
