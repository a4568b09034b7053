#!/usr/bin/env bash
# sanitize.sh: runs the native tests and the whole pytest suite against builds with
# AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
# Usage: scripts/sanitize.sh [pytest arguments]   (default: the whole tests/ folder)
# Needs g++ with its sanitizer runtimes, CMake, ninja, python3 with its headers and venv, and the
# package index; makes an environment of its own (build/sanitize-venv), not .venv.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

venv=build/sanitize-venv
reports=$PWD/build/sanitize-reports
# The runtimes preloaded below must be the ones the code was compiled against, so both builds
# use this compiler rather than whatever CMake would pick.
compiler=g++
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all"
# -O1 keeps the run fast while frames stay readable in reports.
compile_flags="$sanitizers -fno-omit-frame-pointer -O1 -g"
runtime="$("$compiler" -print-file-name=libasan.so) $("$compiler" -print-file-name=libubsan.so)"

rm -rf "$reports"
mkdir -p "$reports"
# AddressSanitizer and LeakSanitizer reports go to files, not to standard error, so that tests
# comparing a subprocess's standard error are not disturbed; the check at the end fails the run
# on any file written. Undefined behaviour is reported on standard error and ends the process at
# once, which fails the test or the whole run by its exit status.
export ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The interpreter's own allocations need no suppressing: what it keeps until exit stays
# reachable from its globals. The file lists the few exceptions.
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-python.supp:print_suppressions=0"

fail_on_reports() {
    local found=0 report
    for report in "$reports"/*; do
        [ -e "$report" ] || continue
        found=1
        echo "---- $report"
        cat "$report"
    done
    if [ "$found" = 1 ]; then
        echo "sanitize.sh: the sanitizers reported the problems above" >&2
        exit 1
    fi
}

echo "== native tests under the sanitizers"
native_tests build/sanitize-native -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_COMPILER=$compiler" \
    "-DCMAKE_CXX_FLAGS=$compile_flags" "-DCMAKE_EXE_LINKER_FLAGS=$sanitizers"
fail_on_reports

echo "== extension under the sanitizers"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet ".[test]" -Cbuild-dir=build/sanitize-extension \
    -Ccmake.build-type=Debug -Ccmake.define.TARN_WERROR=ON \
    "-Ccmake.define.CMAKE_CXX_COMPILER=$compiler" "-Ccmake.define.CMAKE_CXX_FLAGS=$compile_flags" \
    "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=$sanitizers" \
    "-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=$sanitizers"
# Importing NumPy alone leaves objects that LeakSanitizer reports at exit, and NumPy is not
# instrumented anyway: here the buffer tests read array.array and memoryview objects only, and
# the arrays' own run comes last.
"$venv/bin/python" -m pip uninstall --quiet --yes numpy

echo "== Python tests under the sanitizers"
# The interpreter itself is not instrumented, so the runtime has to be loaded before it starts;
# PYTHONMALLOC=malloc sends every object through the instrumented allocator. Tests that cannot
# run here (address-space limits clash with the sanitizers' shadow memory) skip themselves when
# TARN_SANITIZED is set.
status=0
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc TARN_SANITIZED=1 \
    "$venv/bin/python" -m pytest -p no:cacheprovider "${@:-tests}" || status=$?
fail_on_reports
[ "$status" = 0 ] || exit "$status"

# NumPy is the one exporter that lets a buffer being read be resized (resize(refcheck=False)
# frees the memory under every view): the tests that read arrays, or those asked for, run again
# with NumPy, for memory errors only, since what NumPy keeps at exit is not tarn's to free.
echo "== Python tests of NumPy arrays under the address sanitizer"
array_tests=("$@")
[ $# -gt 0 ] || array_tests=(tests/test_conversions.py tests/test_interrupts.py)
"$venv/bin/python" -m pip install --quiet numpy
LD_PRELOAD="$runtime" PYTHONMALLOC=malloc TARN_SANITIZED=1 \
    ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=1/detect_leaks=0}" \
    "$venv/bin/python" -m pytest -p no:cacheprovider "${array_tests[@]}" || status=$?
fail_on_reports
exit "$status"
