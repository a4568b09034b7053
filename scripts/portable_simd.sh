#!/usr/bin/env bash
# portable_simd.sh: builds the native tests with simd.hpp's plain lane-by-lane form, the one MSVC
# compiles, and runs them: the oracle tests and the fingerprint show that it computes exactly what
# the compiler's vector types do.
# Usage: scripts/portable_simd.sh [compiler]   (default g++)
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=${1:-g++}
build=build/portable-$(basename "$compiler")

echo "== native tests with the portable SIMD form ($("$compiler" --version | head -n 1))"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARN_WERROR=ON -DTARN_NATIVE_TESTS=ON -DTARN_PYTHON_MODULE=OFF -DTARN_PORTABLE_SIMD=ON \
    >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure
# The fingerprint says which form it ran.
form=$("$build"/test_fingerprint | grep '^simd form:')
if [[ $form != "simd form: portable loops" ]]; then
    echo "portable_simd: the build did not use the portable form ($form)" >&2
    exit 1
fi
echo "$form"
