"""Behaviour at the limits of memory, each in a fresh interpreter whose address
space is capped with RLIMIT_AS a little above what it already uses.

* A sequence that reports an absurd length (2**62) is converted by iteration
  alone: the length only sizes the first reservation, so nothing absurd is
  reserved and the call succeeds within a small address-space margin.
* When a vector cannot be allocated (a zero-stride NumPy view of millions of
  elements, an endless range, an endless __getitem__ sequence), or a result
  list or float cannot be created, the call raises MemoryError; the
  interpreter goes on, the memory is given back, and the next call gives its
  usual bits.

The sanitizer build reserves terabytes of shadow memory and aborts instead of
throwing std::bad_alloc, so the address-space tests are skipped under it.
"""

import json
import os
import platform
import subprocess
import sys
import textwrap

import pytest

import tarnivox
from _support import under_asan

# The measurements read /proc/self/status and glibc's mallinfo2, and the caps
# are RLIMIT_AS: Linux with glibc only.
pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") or platform.libc_ver()[0] != "glibc",
    reason="needs Linux with glibc (/proc/self/status, mallinfo2, RLIMIT_AS)")

needs_rlimit = pytest.mark.skipif(
    under_asan(), reason="AddressSanitizer needs an unlimited address space")

PRELUDE = textwrap.dedent("""
    import ctypes, gc, json, resource, struct, sys
    import numpy as np
    import tarnivox

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split())]

    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2

    def in_use():
        # Bytes that malloc has handed out and not had back (heap and mmap),
        # and the interpreter's own count of allocated blocks: unlike the
        # resident set, neither counts what the allocators keep for reuse.
        m = _mallinfo2()
        return m.uordblks + m.hblkhd, sys.getallocatedblocks()

    def vm(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024

    def cap(margin):
        # VmSize now plus a margin: any allocation beyond the margin fails.
        limit = vm("VmSize") + margin
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    def sentinel():
        return struct.pack("<3d", *tarnivox.witt_mao_magnification([0.0, 0.5, 3.0], 1.0, 0.1))

    def outcome(call):
        try:
            r = call()
        except BaseException as e:
            return type(e).__name__
        return ["value", len(r)] if isinstance(r, list) else ["value"]

    EXPECTED = sentinel()
    report = {}
""")


def run_python(body, timeout=300):
    env = dict(os.environ)
    here = os.path.dirname(tarnivox.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                          capture_output=True, text=True, env=env, timeout=timeout)
    assert proc.returncode == 0, (proc.returncode, proc.stdout[-2000:], proc.stderr[-4000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


LYING = """
    class Lying:
        # __len__ says 2**62 elements; __getitem__ holds three.
        def __init__(self, length):
            self.length = length
        def __len__(self):
            return self.length
        def __getitem__(self, i):
            if i >= 3:
                raise IndexError(i)
            return 0.5 * i

    class LyingList(list):
        def __len__(self):
            return 2**62

    cases = {
        "2**62": Lying(2**62),
        "maxsize": Lying(sys.maxsize),
        "2**20 + 1": Lying(2**20 + 1),
        "list subclass": LyingList([0.0, 0.5, 1.0]),
    }
    plain = tarnivox.witt_mao_magnification([0.0, 0.5, 1.0], 1.0, 0.1)
    peak = vm("VmPeak")
    for name, seq in cases.items():
        for f in (tarnivox.witt_mao_magnification, tarnivox.integrated_witt_mao_magnification):
            r = f(seq, 1.0, 0.1)
            report[name + " " + f.__name__] = len(r)
        assert tarnivox.witt_mao_magnification(seq, 1.0, 0.1) == plain
        r = tarnivox.discrete_flux_map_heyrovsky_magnification([0.5], 1.0, 0.1, seq, Lying(2**62))
        report[name + " tables"] = len(r)
    report["peak growth"] = vm("VmPeak") - peak
    report["sentinel"] = sentinel() == EXPECTED
    print(json.dumps(report))
"""


def test_a_lying_length_reserves_nothing_absurd():
    # Without a cap: a reservation of 2**62 doubles would fail or abort.
    report = run_python(LYING)
    assert report.pop("sentinel")
    growth = report.pop("peak growth")
    if not under_asan():  # the sanitizer maps its own allocator's regions as it goes
        assert growth < 64 * 2**20, f"peak address space grew by {growth} bytes"
    assert all(v == 3 or (k.endswith("tables") and v == 1) for k, v in report.items()), report


@needs_rlimit
def test_a_lying_length_within_a_small_address_space():
    report = run_python("cap(48 * 2**20)\n" + textwrap.dedent(LYING))
    assert report.pop("sentinel")
    report.pop("peak growth")
    assert all(v == 3 or (k.endswith("tables") and v == 1) for k, v in report.items()), report


EXHAUSTION = """
    N = 2**22  # 32 MiB as doubles; its result list takes 32 MiB more and 96 MiB of floats
    view = np.lib.stride_tricks.as_strided(np.array([0.5]), shape=(N,), strides=(0,))

    class Endless:
        def __getitem__(self, i):
            return 0.5

    discrete = tarnivox.discrete_flux_map_heyrovsky_magnification
    calls = {
        "view, witt_mao": lambda: tarnivox.witt_mao_magnification(view, 1.0, 0.1),
        "view as l, empty tables": lambda: discrete(view, 1.0, 0.1, [], []),
        "view as bl": lambda: discrete([0.5], 1.0, 0.1, view, view),
        "endless range": lambda: tarnivox.witt_mao_magnification(range(2**62), 1.0, 0.1),
        "endless __getitem__": lambda: tarnivox.integrated_heyrovsky_magnification(
            Endless(), 1.0, 0.1),
        "8 TiB view": lambda: tarnivox.witt_mao_magnification(
            np.lib.stride_tricks.as_strided(np.array([0.5]), shape=(2**40,), strides=(0,)),
            1.0, 0.1),
    }
    margin = int(sys.argv[1]) if len(sys.argv) > 1 else MARGIN
    gc.collect()
    bytes_before, blocks_before = in_use()
    cap(margin)
    for name, call in calls.items():
        report[name] = outcome(call)
        report[name + ": next call"] = sentinel() == EXPECTED
    del call
    gc.collect()
    bytes_after, blocks_after = in_use()
    report["malloc growth"] = bytes_after - bytes_before
    report["block growth"] = blocks_after - blocks_before
    print(json.dumps(report))
"""


@needs_rlimit
@pytest.mark.parametrize("margin_mib", [16, 48, 80, 140, 400])
def test_memory_exhaustion_raises_memory_error(margin_mib):
    report = run_python(f"MARGIN = {margin_mib} * 2**20\n" + textwrap.dedent(EXHAUSTION))
    malloc_growth = report.pop("malloc growth")
    block_growth = report.pop("block growth")
    for name, result in report.items():
        if name.endswith(": next call"):
            assert result is True, f"{name}: the following call did not give its usual bits"
        elif name in ("endless range", "endless __getitem__", "8 TiB view"):
            assert result == "MemoryError", (name, result)
        else:
            # enough memory gives the full result; too little gives MemoryError
            assert result in ("MemoryError", ["value", 2**22], ["value", 1]), (name, result)
    if margin_mib <= 48:
        assert report["view, witt_mao"] == "MemoryError"
    if margin_mib >= 400:
        assert report["view, witt_mao"] == ["value", 2**22]
    # every vector, partial list and float was given back
    assert malloc_growth < 2**20, f"{malloc_growth} more bytes in use from malloc"
    assert block_growth < 1000, f"{block_growth} more Python memory blocks in use"


@needs_rlimit
def test_memory_error_without_a_cap():
    """An 8 TiB request fails at once under the kernel's overcommit rules."""
    report = run_python("""
        v = np.lib.stride_tricks.as_strided(np.array([0.5]), shape=(2**40,), strides=(0,))
        report["8 TiB view"] = outcome(lambda: tarnivox.witt_mao_magnification(v, 1.0, 0.1))
        report["next"] = sentinel() == EXPECTED
        print(json.dumps(report))
    """)
    assert report == {"8 TiB view": "MemoryError", "next": True}
