"""How far the ring family's results moved between two builds of tarnivox.

    python3 tools/compare_ring_builds.py --before <build dir> --after <build dir> [...]

Evaluates integrated_heyrovsky_magnification (the built-in law) and
integrated_flux_map_heyrovsky_magnification (the uniform two-point table and
the README's 501-point table of the law) on a fixed grid: 805 separations
(400 with the lens on the star or at its rim, l < 1.1; 200 in [1.1, 3); 100
in [3, 10); 100 log-uniform in [10, 1e8]; and 0, 0.5, 1, 1.05, 3) for each of
rho = 1e-4, 1e-3, 1e-2, 0.1, 1, 10.  Prints, per build, the first 16 hex
digits of a SHA-256 over every value's bit pattern, and, for each build after
the first, the largest relative change from the first per profile and zone
of l.  Any number of builds may follow --after.
"""
import argparse
import glob
import hashlib
import importlib.util
import os

import numpy as np

ZONES = [("l < 1.1", 0.0, 1.1), ("1.1 <= l < 3", 1.1, 3.0), ("l >= 3", 3.0, np.inf)]
RHOS = [1e-4, 1e-3, 1e-2, 0.1, 1.0, 10.0]


def load(build):
    path = glob.glob(os.path.join(build, "tarnivox.*"))[0]
    found = importlib.util.spec_from_file_location("tarnivox", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def grid():
    rng = np.random.default_rng(2026)
    ls = np.concatenate([rng.uniform(0.0, 1.1, 400), rng.uniform(1.1, 3.0, 200), rng.uniform(3.0, 10.0, 100),
                         10.0 ** rng.uniform(1.0, 8.0, 100), [0.0, 0.5, 1.0, 1.05, 3.0]])
    return sorted(set(ls.tolist()))


def table501():
    s = np.linspace(0.0, 1.0, 501)
    r = np.sin(0.5 * np.pi * (1.0 - (1.0 - s) ** 2))
    r[0], r[-1] = 0.0, 1.0
    return r.tolist(), (1.0 - 0.6 * (1.0 - np.sqrt(np.clip(1.0 - r * r, 0.0, None)))).tolist()


def values(tv, ls):
    bl, bf = table501()
    return {
        "law": np.concatenate([tv.integrated_heyrovsky_magnification(ls, 1.0, rho) for rho in RHOS]),
        "uniform table": np.concatenate([tv.integrated_flux_map_heyrovsky_magnification(ls, 1.0, rho, [0.0, 1.0], [1.0, 1.0])
                                         for rho in RHOS]),
        "501-point table": np.concatenate([tv.integrated_flux_map_heyrovsky_magnification(ls, 1.0, rho, bl, bf)
                                           for rho in RHOS]),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--before", required=True, help="build directory of the first tarnivox")
    parser.add_argument("--after", required=True, nargs="+", help="build directories to compare with it")
    args = parser.parse_args()
    ls = grid()
    at = np.array(ls * len(RHOS))
    builds = [args.before] + args.after
    results = [values(load(b), ls) for b in builds]
    for build, res in zip(builds, results):
        digest = hashlib.sha256(np.concatenate(list(res.values())).tobytes()).hexdigest()[:16]
        print(f"{build}: hash {digest}")
    for build, res in zip(builds[1:], results[1:]):
        print(f"largest relative change, {build} against {builds[0]}:")
        for name, v in res.items():
            v0 = results[0][name]
            parts = []
            for zone, lo, hi in ZONES:
                inside = (at >= lo) & (at < hi)
                parts.append(f"{zone}: {np.max(np.abs(v[inside] - v0[inside]) / np.abs(v0[inside])):.1e}")
            print(f"  {name:16s} " + "; ".join(parts))
    print(f"{len(ls) * len(RHOS)} separations per profile")


if __name__ == "__main__":
    main()
