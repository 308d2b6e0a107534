#!/usr/bin/env bash
# Builds tarnivox with several compilers from the same source, runs the test
# suite against each build, fingerprints each build's outputs with
# tools/hash_outputs.py and checks that all fingerprints agree bit for bit.
#
#   tools/compiler_matrix.sh [--hash-only] [--baseline FILE] [--out DIR] [CONFIG...]
#
# CONFIGs (default: gcc11 gcc12 clang14 clang19-libcxx):
#   gcc11, gcc12      g++-11, g++-12 with libstdc++
#   gcc12-scalar      g++-12 with the lanes of src/numeric/lanes.hpp one double
#                     each (-DTARNIVOX_SCALAR_LANES): its fingerprint must equal
#                     that of the vector lanes
#   clang14           clang++-14 with libstdc++
#   clang19-libcxx    clang++-19 with libc++ (-stdlib=libc++ when compiling and
#                     linking), linked by lld (-fuse-ld=lld)
#   default           $CXX, or c++
# --hash-only      build and fingerprint, without the test suite
# --baseline FILE  also compare every build with hashes stored by
#                  `tools/hash_outputs.py --json FILE`
# --out DIR        where the builds, logs and hashes go (default /tmp/tarnivox-matrix):
#                  DIR/build-CONFIG, DIR/CONFIG.{cmake,build,tests,hash}.log, DIR/CONFIG.json
#
# The Python that runs cmake, pytest and the fingerprint is $PYTHON (default:
# python3 from PATH); it needs cmake, ninja and the test dependencies.  Builds
# use two jobs and the test suites run one after another.  Exits non-zero if a
# compiler is missing, a build fails or prints a warning, the libc++ build does
# not link libc++, a module's dynamic symbol table defines anything besides its
# PyInit_<name>, a test suite fails, or two fingerprints differ.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PYTHON=${PYTHON:-$(command -v python3)}
OUT=/tmp/tarnivox-matrix
RUN_TESTS=1
BASELINE=""
while [ $# -gt 0 ]; do
    case $1 in
        --hash-only) RUN_TESTS=0 ;;
        --baseline) BASELINE=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift ;;
        --out) OUT=$2; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        --*) echo "unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
    shift
done
CONFIGS=("$@")
[ ${#CONFIGS[@]} -gt 0 ] || CONFIGS=(gcc11 gcc12 clang14 clang19-libcxx)
mkdir -p "$OUT"

compiler_of() {
    case $1 in
        gcc11) echo g++-11 ;;
        gcc12|gcc12-scalar) echo g++-12 ;;
        clang14) echo clang++-14 ;;
        clang19-libcxx) echo clang++-19 ;;
        default) echo "${CXX:-c++}" ;;
        *) echo "unknown configuration $1" >&2; exit 2 ;;
    esac
}
stdlib_flags_of() {
    case $1 in
        clang19-libcxx) echo "-stdlib=libc++" ;;
        *) echo "" ;;
    esac
}
# Compile-only flags (not given to the linker).
compile_flags_of() {
    case $1 in
        gcc12-scalar) echo "-DTARNIVOX_SCALAR_LANES" ;;
        *) echo "" ;;
    esac
}
linker_flags_of() {
    case $1 in
        clang19-libcxx) echo "-fuse-ld=lld" ;;
        *) echo "" ;;
    esac
}

declare -A VERSION WARNINGS TESTS TEST_TIME TOTAL
status=0
first_json=""
for c in "${CONFIGS[@]}"; do
    cxx=$(compiler_of "$c")
    flags=$(stdlib_flags_of "$c")
    ldflags="$flags $(linker_flags_of "$c")"
    cxxflags=$(echo $flags $(compile_flags_of "$c"))
    build="$OUT/build-$c"
    TESTS[$c]="-"; TEST_TIME[$c]="-"; TOTAL[$c]="-"; WARNINGS[$c]="-"
    if ! command -v "$cxx" >/dev/null; then
        VERSION[$c]="$cxx: not installed"
        echo "== $c: $cxx not installed" >&2
        status=1
        continue
    fi
    VERSION[$c]=$("$cxx" --version | head -n 1)
    echo "== $c: ${VERSION[$c]}"

    rm -rf "$build"
    if ! cmake -S "$ROOT" -B "$build" -G Ninja -DPython_EXECUTABLE="$PYTHON" \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
            -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
            -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
            >"$OUT/$c.cmake.log" 2>&1 ||
       ! cmake --build "$build" -j2 >"$OUT/$c.build.log" 2>&1; then
        echo "   build FAILED: see $OUT/$c.cmake.log, $OUT/$c.build.log" >&2
        tail -n 20 "$OUT/$c.build.log" >&2 || true
        status=1
        continue
    fi
    WARNINGS[$c]=$(grep -ci 'warning' "$OUT/$c.build.log" || true)
    if [ "${WARNINGS[$c]}" != 0 ]; then
        echo "   build warnings:" >&2
        grep -i -A3 'warning' "$OUT/$c.build.log" >&2
        status=1
    fi
    # libc++ linked dynamically (libc++.so) or statically (its std::__1 symbols).
    for so in "$build"/tarnivox.*.so "$build"/_tarnivox_testing.*.so; do
        # (grep reads to the end: with pipefail, grep -q would fail nm by SIGPIPE)
        if [ -n "$flags" ] && ! ldd "$so" | grep 'libc++\.so' >/dev/null &&
           ! nm -C "$so" | grep 'std::__1::' >/dev/null; then
            echo "   $so does not link libc++:" >&2
            ldd "$so" >&2
            status=1
        fi
        # lld leaves its name in .comment.
        case $ldflags in *-fuse-ld=lld*)
            if ! readelf -p .comment "$so" | grep 'LLD' >/dev/null; then
                echo "   $so was not linked by lld" >&2
                status=1
            fi ;;
        esac
        # Each module exports its initialisation function alone.
        name=$(basename "$so"); name=${name%%.*}
        exported=$(nm -D --defined-only "$so" | awk '{ print $NF }')
        if [ "$exported" != "PyInit_$name" ]; then
            echo "   $so exports more than PyInit_$name:" >&2
            nm -D --defined-only "$so" | head -n 20 >&2
            status=1
        fi
    done

    if [ $RUN_TESTS = 1 ]; then
        start=$(date +%s)
        if (cd "$ROOT" && PYTHONPATH="$build" "$PYTHON" -m pytest tests -q -p no:cacheprovider) \
                >"$OUT/$c.tests.log" 2>&1; then
            :
        else
            status=1
        fi
        TEST_TIME[$c]="$(( $(date +%s) - start )) s"
        TESTS[$c]=$( (grep -E '(passed|failed|error|skipped|no tests ran).* in [0-9.]+s' "$OUT/$c.tests.log" || echo "no summary") |
                    tail -n 1 | sed 's/^=* //; s/ =*$//')
        echo "   tests: ${TESTS[$c]}"
    fi

    if ! PYTHONPATH="$build" "$PYTHON" "$ROOT/tools/hash_outputs.py" --json "$OUT/$c.json" \
            >"$OUT/$c.hash.log" 2>&1; then
        echo "   fingerprint FAILED: see $OUT/$c.hash.log" >&2
        status=1
        continue
    fi
    TOTAL[$c]=$("$PYTHON" -c 'import json, sys; print(json.load(open(sys.argv[1]))["total"])' "$OUT/$c.json")
    echo "   outputs: ${TOTAL[$c]}"
    [ -n "$first_json" ] || first_json="$OUT/$c.json"
done

# Compare every fingerprint with the first one (and with the baseline).
compare() {
    "$PYTHON" - "$@" <<'EOF'
import json, sys
a, b = (json.load(open(p)) for p in sys.argv[1:3])
bad = [n for n in sorted(set(a["entries"]) | set(b["entries"]))
       if a["entries"].get(n) != b["entries"].get(n)]
for key in ("grid_version", "nan_bits"):
    if a.get(key) != b.get(key):
        bad.insert(0, f"{key} {a.get(key)} / {b.get(key)}")
for n in bad:
    print(f"   differs from {sys.argv[2]}: {n}")
sys.exit(1 if bad else 0)
EOF
}
declare -A AGREE
for c in "${CONFIGS[@]}"; do
    AGREE[$c]="-"
    [ -f "$OUT/$c.json" ] && [ "${TOTAL[$c]}" != "-" ] || continue
    verdict=yes
    compare "$OUT/$c.json" "$first_json" || verdict=NO
    if [ -n "$BASELINE" ]; then
        if compare "$OUT/$c.json" "$BASELINE"; then verdict="$verdict, baseline yes"
        else verdict="$verdict, baseline NO"; fi
    fi
    case $verdict in *NO*) status=1 ;; esac
    AGREE[$c]=$verdict
done

echo
printf '%-15s %-45s %-8s %-40s %-7s %-17s %s\n' config compiler warnings tests time outputs agree
for c in "${CONFIGS[@]}"; do
    printf '%-15s %-45s %-8s %-40s %-7s %-17s %s\n' "$c" "${VERSION[$c]}" "${WARNINGS[$c]}" \
        "${TESTS[$c]}" "${TEST_TIME[$c]}" "${TOTAL[$c]:0:16}" "${AGREE[$c]}"
done
[ -z "$BASELINE" ] || echo "baseline: $BASELINE ($("$PYTHON" -c 'import json, sys; print(json.load(open(sys.argv[1]))["total"][:16])' "$BASELINE"))"
exit $status
