"""Compiles every translation unit for macOS and Windows with zig's C++ compiler.

    pip install ziglang
    python tools/check_cross_compile.py                      # every target
    python tools/check_cross_compile.py --target x86_64-windows-gnu
    python tools/check_cross_compile.py --python-include /path/to/include/python3.13

zig's clang carries the C and C++ headers of other platforms (libc++ with
the macOS SDK's C library, MinGW-w64 for Windows), so a Linux machine can
check that the sources compile, warning-free under the flags CMake gives GCC
and Clang, against another platform's standard library.  Each unit is compiled
to an object in a temporary folder; any diagnostic counts as a failure.

* macOS (aarch64 from 11.0, x86_64 from 10.13: the deployment targets of the
  wheels): every unit.  The units that include Python.h need the target's
  pyconfig.h.  None is at hand, so one is derived from this interpreter's:
  on a 64-bit Unix the C API's public headers read only type sizes, byte
  order and whether a few POSIX headers exist, which macOS shares with Linux;
  what differs is written over (the feature-test macros that macOS's
  configure leaves undefined, long double's size, the x87/x64 assembly
  switches on arm64, the Linux-only headers).
* Windows (x86_64-windows-gnu): the units that do not include Python.h.
  CPython's Windows pyconfig.h is written for MSVC, so the Python-facing
  units are left to the MSVC build of the wheels.

Exit status 0 when every unit compiles without a diagnostic.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SRC = ROOT / "src"

# The GCC/Clang options of CMakeLists.txt, with -Wpedantic.
FLAGS = ["-std=c++17", "-O2", "-ffp-contract=off", "-fno-math-errno",
         "-Wall", "-Wextra", "-Wpedantic"]

# target triple -> (whether the Python-facing units are compiled, arch)
TARGETS = {
    "aarch64-macos.11.0": (True, "arm64"),
    "x86_64-macos.10.13": (True, "x86_64"),
    "x86_64-windows-gnu": (False, "x86_64"),
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def includes_python(path, seen=None):
    """Whether the file includes Python.h, directly or through the project's headers."""
    seen = set() if seen is None else seen
    if path in seen:
        return False
    seen.add(path)
    for kind, name in INCLUDE.findall(path.read_text()):
        if name == "Python.h":
            return True
        if kind == '"':
            for base in (path.parent, SRC):
                if (base / name).is_file():
                    if includes_python((base / name).resolve(), seen):
                        return True
                    break
    return False


def host_pyconfig(include_dir):
    text = (include_dir / "pyconfig.h").read_text()
    # Debian's multiarch pyconfig.h only includes the real one.
    m = re.search(r"#\s*include\s*<([^>]*-linux-gnu[^>]*/pyconfig\.h)>", text)
    if m:
        text = Path("/usr/include", m.group(1)).read_text()
    return text


def macos_pyconfig(text, arch):
    drop = ["_POSIX_C_SOURCE", "_XOPEN_SOURCE", "_XOPEN_SOURCE_EXTENDED", "SIZEOF_LONG_DOUBLE"]
    drop += sorted(set(re.findall(r"#\s*define\s+(HAVE_(?:LINUX_\w+|SYS_EPOLL_H|EPOLL\w*))\b", text)))
    if arch == "arm64":
        drop += ["HAVE_GCC_ASM_FOR_X87", "HAVE_GCC_ASM_FOR_X64"]
    lines = ["", f"/* Written over for macOS {arch}. */"]
    lines += [f"#undef {name}" for name in drop]
    lines += ["#define _DARWIN_C_SOURCE 1", "#define WITH_DYLD 1", "#define HAVE_KQUEUE 1",
              f"#define SIZEOF_LONG_DOUBLE {8 if arch == 'arm64' else 16}"]
    guard = text.rindex("#endif")  # the include guard's end
    return text[:guard] + "\n".join(lines) + "\n\n" + text[guard:]


def zig_cxx():
    try:
        import ziglang  # noqa: F401
    except ImportError:
        sys.exit("zig is not installed: pip install ziglang")
    return [sys.executable, "-m", "ziglang", "c++"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--target", action="append", choices=list(TARGETS),
                        help="a target (repeatable); default: all")
    parser.add_argument("--python-include", type=Path, action="append",
                        help="a CPython include folder holding Python.h and pyconfig.h "
                             "(repeatable); default: this interpreter's")
    args = parser.parse_args()
    targets = args.target or list(TARGETS)
    includes = args.python_include or [Path(sysconfig.get_paths()["include"])]

    units = sorted(SRC.rglob("*.cpp"))
    python_units = {u for u in units if includes_python(u)}
    cxx = zig_cxx()
    failures = 0
    with tempfile.TemporaryDirectory(prefix="tarnivox-cross-") as tmp:
        tmp = Path(tmp)
        env = dict(os.environ)
        env.setdefault("ZIG_GLOBAL_CACHE_DIR", str(tmp / "zig-cache"))
        env.setdefault("ZIG_LOCAL_CACHE_DIR", str(tmp / "zig-cache"))
        for target in targets:
            with_python, arch = TARGETS[target]
            plans = [(None, [u for u in units if u not in python_units])]
            if with_python:
                for inc in includes:
                    # a copy of the headers, since Python.h finds "pyconfig.h" beside itself
                    copy = tmp / target / inc.name
                    shutil.copytree(inc, copy)
                    (copy / "pyconfig.h").write_text(macos_pyconfig(host_pyconfig(inc), arch))
                    plans.append((copy, sorted(python_units)))
            for inc, todo in plans:
                label = f"{target}, {inc.name} headers" if inc else target
                clean = 0
                for unit in todo:
                    cmd = [*cxx, "-target", target, *FLAGS, "-I", str(SRC)]
                    if inc:
                        cmd += ["-I", str(inc)]
                    cmd += ["-c", str(unit), "-o", str(tmp / "unit.o")]
                    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
                    output = (proc.stdout + proc.stderr).strip()
                    if proc.returncode or output:
                        failures += 1
                        print(f"{label}: {unit.relative_to(ROOT)}: "
                              f"{'failed' if proc.returncode else 'warnings'}\n{output}\n")
                    else:
                        clean += 1
                print(f"{label}: {clean} of {len(todo)} units clean")
            if not with_python:
                print(f"{target}: not compiled (they include Python.h): "
                      + ", ".join(str(u.relative_to(ROOT)) for u in sorted(python_units)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
