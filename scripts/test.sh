#!/usr/bin/env bash
# test.sh: installs everything the tests need into a virtual environment and runs all tests.
# Usage: scripts/test.sh            (VENV=path to choose the environment, default .venv)
# Needs CPython 3.9 or later with its headers and venv, a C++20 compiler and the package index;
# CMake and ninja come from the index when they are missing.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

venv=${VENV:-.venv}
python3 -m venv "$venv"
# shellcheck disable=SC1091
. "$venv/bin/activate"
python -m pip install --quiet --upgrade pip
# A machine with only CPython, its headers and a C++20 compiler has no CMake or ninja for the
# native tests; the package index has both, and the environment's bin is first on PATH now.
build_tools=()
cmake --version >/dev/null 2>&1 || build_tools+=(cmake)
ninja --version >/dev/null 2>&1 || build_tools+=(ninja)
if ((${#build_tools[@]} > 0)); then
    python -m pip install --quiet "${build_tools[@]}"
    hash -r # forget where a broken cmake or ninja (a shim without a version behind it) was found
fi
# Warnings are errors here, so every tested build is a clean one. The batch and cluster extras let
# the batch tool's tests run on a process pool and a local Dask cluster; the typing extra brings
# the type checkers that tests/test_types.py runs over the installed stubs.
python -m pip install --quiet ".[test,batch,cluster,typing]" -Ccmake.define.TARN_WERROR=ON

echo "== native tests"
native_tests build/native

echo "== Python tests"
python -m pytest tests -p no:cacheprovider
