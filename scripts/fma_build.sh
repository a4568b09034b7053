#!/usr/bin/env bash
# fma_build.sh: builds the native layers and their tests for x86-64-v3, a target with fused
# multiply-add instructions, checks that the compiler emitted none of them and runs the tests,
# so the arithmetic of such a build is shown to be the default build's rather than assumed.
# Usage: scripts/fma_build.sh [compiler]   (default g++)
# Needs the compiler, CMake, ninja and objdump; the tests run only on a machine with x86-64-v3.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

compiler=${1:-g++}
build=build/fma-$(basename "$compiler")
# Every feature x86-64-v3 adds to x86-64 (/proc/cpuinfo calls LZCNT "abm").
v3_features="avx avx2 bmi1 bmi2 f16c fma abm movbe xsave"

if [[ $(uname -m) != x86_64 ]]; then
    echo "fma_build: skipped on $(uname -m): only x86-64 needs a target of its own for FMA"
    exit 0
fi

machine_runs_v3() {
    local feature
    for feature in $v3_features; do
        grep -qw "$feature" /proc/cpuinfo 2>/dev/null || return 1
    done
}

echo "== native tests for x86-64-v3 ($("$compiler" --version | head -n 1))"
options=(-DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_CXX_FLAGS=-march=x86-64-v3)
# Built first, run only once the instructions are checked.
native_tests --build-only "$build" "${options[@]}"

# vfmadd132sd, vfnmsub231pd, vfmaddsub213ps and the rest of the family.
fused=$(objdump -d --no-show-raw-insn "$build"/test_* |
    grep -cE '\svf(n?m(add|sub)|maddsub|msubadd)[0-9]{3}[sp][sd]\s' || true)
if ((fused > 0)); then
    echo "fma_build: $fused fused multiply-add instructions in the x86-64-v3 build" >&2
    exit 1
fi
echo "no fused multiply-add instruction in the x86-64-v3 build"

if machine_runs_v3; then
    native_tests "$build" "${options[@]}"
else
    echo "fma_build: this machine lacks x86-64-v3 (one of: $v3_features): tests built, not run"
fi
