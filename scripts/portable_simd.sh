#!/usr/bin/env bash
# portable_simd.sh: builds the native tests with simd.hpp's plain lane-by-lane form, the one MSVC
# compiles, and runs them: the oracle tests and the fingerprint show that it computes exactly what
# the compiler's vector types do.
# Usage: scripts/portable_simd.sh [compiler]   (default g++)
# Needs the compiler, CMake and ninja.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

compiler=${1:-g++}
build=build/portable-$(basename "$compiler")

echo "== native tests with the portable SIMD form ($("$compiler" --version | head -n 1))"
native_tests "$build" -DCMAKE_CXX_COMPILER="$compiler" -DTARN_PORTABLE_SIMD=ON
# The fingerprint says which form it ran.
form=$("$build"/test_fingerprint | grep '^simd form:')
if [[ $form != "simd form: portable loops" ]]; then
    echo "portable_simd: the build did not use the portable form ($form)" >&2
    exit 1
fi
echo "$form"
