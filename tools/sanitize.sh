#!/usr/bin/env bash
# Builds tarnivox with AddressSanitizer and UndefinedBehaviorSanitizer into its
# own build directory and runs the whole test suite against that build.
#
#   tools/sanitize.sh [BUILD_DIR [pytest arguments...]]
#
# BUILD_DIR defaults to /tmp/tarnivox-sanitize-build; the pytest arguments to
# "tests" (the whole suite).  For example, a longer fuzzing run under the
# sanitizers:
#   TARNIVOX_FUZZ_PROFILE=long TARNIVOX_FUZZ_EXAMPLES=5000 \
#       tools/sanitize.sh /tmp/asan tests/test_fuzz.py -q  The interpreter itself
# is not instrumented, so the ASan runtime (and the C++ runtime, see below) is
# preloaded; leak detection is off
# because CPython does not free everything at exit.  PYTHONMALLOC=malloc sends
# every Python object through malloc, so that ASan also sees a use after free
# or an overflow of a Python object that the module's reference counting gets
# wrong.  A sanitizer report aborts the run (UBSan halts on the first error;
# the module is built with -fno-sanitize-recover).  Tests that need a capped
# address space, or that look at the resident set size, skip themselves under
# ASan.  The sanitizers' reports go to standard error; pytest shows them with
# the failing test, or, after an abort, as the last output of the run.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-/tmp/tarnivox-sanitize-build}
[ $# -gt 0 ] && shift
PYTHON=$(command -v python3)

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PYTHON" \
      -DTARNIVOX_SANITIZE=ON -DCMAKE_CXX_FLAGS="-g" >/dev/null
cmake --build "$BUILD"

# The C++ runtime is preloaded right after ASan: python3 does not link it, and
# ASan's __cxa_throw interceptor must find the real __cxa_throw when it starts,
# or the first C++ exception thrown by the module aborts the process.
ASAN_LIB=$(g++ -print-file-name=libasan.so)
CXX_LIB=$(g++ -print-file-name=libstdc++.so)
for lib in "$ASAN_LIB" "$CXX_LIB"; do
    if [ ! -e "$lib" ]; then
        echo "$lib not found (from g++ -print-file-name)" >&2
        exit 2
    fi
done

cd "$ROOT"
env LD_PRELOAD="$ASAN_LIB $CXX_LIB" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:print_stacktrace=1:strict_init_order=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    PYTHONMALLOC=malloc \
    PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}" \
    "$PYTHON" -m pytest -p no:cacheprovider "${@:-tests}"
