#!/usr/bin/env bash
# dev.sh: reinstalls tarn into the development environment after a change, compiling only what
# changed, then runs pytest with the arguments given, if any.
# Usage: scripts/dev.sh [pytest arguments]   e.g. scripts/dev.sh tests/test_tree.py -k len
#        (VENV=path to choose the environment, default .venv; made here if scripts/test.sh has not)
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${VENV:-.venv}
[[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
# shellcheck disable=SC1091
. "$venv/bin/activate"
# pip's default build runs in a fresh environment with fresh copies of the build tools, so the
# build tree's recorded tool paths change and everything compiles again. Building without
# isolation uses this environment's tools, which must therefore be here, and reuses the build
# tree (build/<wheel tag>), where ninja compiles only the sources that changed.
python -c "import scikit_build_core" 2>/dev/null || python -m pip install --quiet scikit-build-core
cmake --version >/dev/null 2>&1 || python -m pip install --quiet cmake
ninja --version >/dev/null 2>&1 || python -m pip install --quiet ninja
hash -r
# The same settings as scripts/test.sh (warnings are errors), so the two share one configuration.
python -m pip install --quiet --no-deps --no-build-isolation . -Ccmake.define.TARN_WERROR=ON
if (($# > 0)); then
    python -m pytest -p no:cacheprovider "$@"
fi
