#!/usr/bin/env bash
# dev.sh: reinstalls tarn into the development environment after a change, compiling only what
# changed, then runs pytest with the arguments given, if any.
# Usage: scripts/dev.sh [pytest arguments]   e.g. scripts/dev.sh tests/test_tree.py -k len
#        Needs the environment scripts/test.sh makes (VENV=path for another, default .venv).
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${VENV:-.venv}
if [[ ! -x "$venv/bin/python" ]]; then
    echo "dev.sh: no environment $venv; scripts/test.sh makes it" >&2
    exit 2
fi
# shellcheck disable=SC1091
. "$venv/bin/activate"
# pip's default build runs in a fresh environment with fresh copies of the build tools, so the
# build tree's recorded tool paths change and everything compiles again. Building without
# isolation uses this environment's tools, which must therefore be here, and reuses its own build
# tree (build/dev/<wheel tag>, which the isolated builds of pip and scripts/test.sh leave alone),
# where ninja compiles only the sources that changed.
python -c "import scikit_build_core" 2>/dev/null || python -m pip install --quiet scikit-build-core
cmake --version >/dev/null 2>&1 || python -m pip install --quiet cmake
ninja --version >/dev/null 2>&1 || python -m pip install --quiet ninja
hash -r
# Warnings are errors, as in scripts/test.sh.
python -m pip install --quiet --no-deps --no-build-isolation . -Cbuild-dir='build/dev/{wheel_tag}' \
    -Ccmake.define.TARN_WERROR=ON
if (($# > 0)); then
    python -m pytest -p no:cacheprovider "$@"
fi
