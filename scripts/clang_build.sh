#!/usr/bin/env bash
# clang_build.sh: builds the native core, its tests and the module with clang++ (warnings are
# errors), then runs the native tests and the pytest suite against that module. With libc++, the
# same with LLVM's C++ library instead of GCC's (scripts/libcxx_build.sh).
# Usage: scripts/clang_build.sh [libc++]  (CLANGXX=compiler to use instead of the one found;
#                                          PYTHON=interpreter with pytest, default .venv/bin/python)
# Needs the .venv that scripts/test.sh makes (or PYTHON), CMake and ninja, and a clang++ 15 or
# later; without one, installs clang 16 from Debian's packages, which needs root and apt-get.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

library=${1:-}
stdlib_flags=${library:+-stdlib=$library}

# With libstdc++, <source_location> needs clang 15 or later; older ones fail on every file.
has_source_location() {
    # shellcheck disable=SC2086 # no flags, or one
    printf '#include <source_location>\nint main() { return std::source_location::current().line() != 2; }\n' |
        "$1" $stdlib_flags -std=c++20 -x c++ -fsyntax-only - 2>/dev/null
}

find_clang() {
    local candidate
    for candidate in clang++ clang++-{30..15}; do
        if command -v "$candidate" >/dev/null && has_source_location "$candidate"; then
            echo "$candidate"
            return
        fi
    done
}

python=$(test_python)
compiler=${CLANGXX:-$(find_clang)}
if [[ -z $compiler ]]; then
    # Debian 12's default clang is 14, which lacks <source_location>.
    install_packages clang-16
    compiler=clang++-16
fi
build=build/clang${library:+-$library}

echo "== clang build and native tests ($("$compiler" --version | head -n 1)${library:+, $library})"
native_tests "$build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_CXX_FLAGS="$stdlib_flags" \
    -DTARN_PYTHON_MODULE=ON -DPython_EXECUTABLE="$python"

echo "== Python tests (clang-built module${library:+, $library})"
module_dir=$(cd "$build" && pwd)
# The type checkers read the stubs beside the module they find, as they do beside an installed one.
cp src/tarn.pyi "$module_dir/"
PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}" "$python" - "$module_dir" <<'EOF'
import os, sys, tarn
# The installed module must not shadow the one just built.
assert os.path.dirname(tarn.__file__) == sys.argv[1], tarn.__file__
EOF
PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}" "$python" -m pytest tests -p no:cacheprovider
