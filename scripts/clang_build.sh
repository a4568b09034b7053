#!/usr/bin/env bash
# clang_build.sh: builds the native core, its tests and the module with clang++ (warnings are
# errors), then runs the native tests and the pytest suite against that module, and the native
# tests built for an FMA target (scripts/fma_build.sh). With libc++, the same with LLVM's C++
# library instead of GCC's (the FMA build is the default library's only).
# Usage: scripts/clang_build.sh [libc++]  (CLANGXX=compiler to use instead of the one found;
#                                          PYTHON=interpreter with pytest, default .venv/bin/python)
# Skips, successfully, when no usable clang++ is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

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

compiler=${CLANGXX:-$(find_clang)}
if [[ -z $compiler ]]; then
    echo "clang_build: skipped, no clang++ 15 or later found (apt-get install clang-16)"
    exit 0
fi
python=${PYTHON:-.venv/bin/python}
[[ -x $python ]] || python=python3
build=build/clang${library:+-$library}

echo "== clang build with $("$compiler" --version | head -n 1)${library:+, $library}"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$stdlib_flags" \
    -DTARN_WERROR=ON -DTARN_NATIVE_TESTS=ON -DTARN_PYTHON_MODULE=ON \
    -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"

echo "== native tests (clang${library:+, $library})"
ctest --test-dir "$build" --output-on-failure

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

[[ -n $library ]] || bash scripts/fma_build.sh "$compiler"
