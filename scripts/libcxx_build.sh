#!/usr/bin/env bash
# libcxx_build.sh: everything built with clang 16 and libc++, the C++ library of macOS and of
# LLVM toolchains, whose containers, hashing and random distributions are not GCC's; then the
# native tests and the pytest suite run against that build (scripts/clang_build.sh libc++).
# Usage: scripts/libcxx_build.sh   (PYTHON=interpreter with pytest, default .venv/bin/python)
# Needs the .venv that scripts/test.sh makes (or PYTHON), CMake and ninja; installs clang 16 and
# libc++ from Debian's packages when they are missing, which needs root and apt-get.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

install_packages clang-16 libc++-16-dev libc++abi-16-dev
CLANGXX=clang++-16 bash scripts/clang_build.sh libc++
