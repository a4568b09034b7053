#!/usr/bin/env bash
# windows_native.sh: the plain C++ layers (core, planning) and the native tests cross-built for
# 64-bit Windows with mingw-w64 g++ and run under wine, so code that only Windows compiles (its
# seed source, its paths) is built and run on every change. Installs mingw-w64 and wine from
# Debian's packages when they are missing.
# Usage: scripts/windows_native.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/windows
bash scripts/install_packages.sh g++-mingw-w64-x86-64-posix wine64

# wine keeps its Windows installation in a prefix of its own, made on first use; stderr carries
# only its complaints about the missing display.
export WINEPREFIX=$PWD/$build/wine-prefix WINEDEBUG=-all

echo "== Windows build ($(x86_64-w64-mingw32-g++-posix --version | head -n 1))"
cmake -S . -B "$build" -G Ninja --toolchain cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARN_WERROR=ON -DTARN_NATIVE_TESTS=ON -DTARN_PYTHON_MODULE=OFF >/dev/null
cmake --build "$build"

echo "== native tests (Windows, under wine)"
ctest --test-dir "$build" --output-on-failure
