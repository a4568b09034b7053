#!/usr/bin/env bash
# libcxx_build.sh: everything built with clang 16 and libc++, the C++ library of macOS and of
# LLVM toolchains, whose containers, hashing and random distributions are not GCC's; then the
# native tests and the pytest suite run against that build (scripts/clang_build.sh libc++).
# Installs clang 16 and libc++ from Debian's packages when they are missing.
# Usage: scripts/libcxx_build.sh   (PYTHON=interpreter with pytest, default .venv/bin/python)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_packages.sh clang-16 libc++-16-dev libc++abi-16-dev
CLANGXX=clang++-16 bash scripts/clang_build.sh libc++
