#!/usr/bin/env bash
# windows_native.sh: the plain C++ layers (core, planning) and the native tests cross-built for
# 64-bit Windows with mingw-w64 g++ and run under wine, so code that only Windows compiles (its
# seed source, its paths) is built and run on every change. Installs mingw-w64 and wine from
# Debian's packages when they are missing.
# Usage: scripts/windows_native.sh
# Needs CMake and ninja, and root with apt-get when the toolchain or wine is missing.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

build=build/windows
install_packages g++-mingw-w64-x86-64-posix wine64

# wine keeps its Windows installation in a prefix of its own, made on first use; stderr carries
# only its complaints about the missing display.
export WINEPREFIX=$PWD/$build/wine-prefix WINEDEBUG=-all

echo "== native tests for Windows, under wine ($(x86_64-w64-mingw32-g++-posix --version | head -n 1))"
native_tests "$build" --toolchain cmake/mingw-w64.cmake
