#!/usr/bin/env python3
"""Long run of the hostile-argument fuzzer (tests/test_fuzz.py).

    PYTHONPATH=<build dir> python3 tools/fuzz_long.py [--examples N] [--jobs J] [function ...]

Runs the fuzz test of every function (or of the ones named) with the
hypothesis profile "long", N examples per function (100000 by default), J
functions at a time (2 by default), and prints, per function, the time taken,
the number of examples by outcome, and how many examples exercised each kind
of callback (a mutating __float__, a failing str(), a resumed PanicException,
...).  Exits non-zero if any function found a failure; hypothesis prints the
falsifying example and keeps it in its example database.
"""
import argparse
import os
import sys
import time
import traceback
from concurrent.futures import ProcessPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")


def fuzz(fname):
    sys.path.insert(0, TESTS)
    import test_fuzz  # noqa: PLC0415 - the profile is chosen by the environment at import

    start = time.perf_counter()
    failure = None
    try:
        test_fuzz.test_hostile_call_matches_the_model(fname=fname)
    except BaseException:  # noqa: BLE001 - report whatever hypothesis found
        failure = traceback.format_exc()
    outcomes = {k[1]: v for k, v in test_fuzz.OUTCOMES.items() if k[0] == fname}
    features = {k[1]: v for k, v in test_fuzz.FEATURES.items() if k[0] == fname}
    return fname, time.perf_counter() - start, outcomes, features, failure


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--examples", type=int, default=100000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("functions", nargs="*")
    args = parser.parse_args()
    os.environ["TARNIVOX_FUZZ_PROFILE"] = "long"
    os.environ["TARNIVOX_FUZZ_EXAMPLES"] = str(args.examples)
    sys.path.insert(0, TESTS)
    import test_fuzz  # noqa: PLC0415

    names = args.functions or test_fuzz.FUNCTION_NAMES
    failed = False
    start = time.perf_counter()
    with ProcessPoolExecutor(max_workers=args.jobs) as pool:
        for fname, seconds, outcomes, features, failure in pool.map(fuzz, names):
            total = sum(outcomes.values())
            print(f"{fname}: {total} examples checked in {seconds:.0f} s "
                  f"({1e3 * seconds / max(total, 1):.1f} ms each)")
            print("  outcomes: " + ", ".join(f"{k} {v}" for k, v in sorted(
                outcomes.items(), key=lambda kv: -kv[1])))
            print("  callbacks: " + ", ".join(f"{k} {v}" for k, v in sorted(
                features.items(), key=lambda kv: -kv[1])))
            if failure:
                failed = True
                print("  FAILURE:\n" + failure)
            sys.stdout.flush()
    print(f"total {time.perf_counter() - start:.0f} s; {'FAILED' if failed else 'no failure'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
