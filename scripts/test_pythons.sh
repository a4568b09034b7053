#!/usr/bin/env bash
# test_pythons.sh: builds tarn and runs the pytest suite on every supported CPython found beside
# the default one, each in a fresh virtual environment; says so for each one that is missing.
# Usage: scripts/test_pythons.sh [VERSION ...]   (default: 3.9 3.10 3.12 3.13; interpreters are
#        looked for under the pyenv directory, PYENV_ROOT or ~/.pyenv, then on PATH)
set -euo pipefail
cd "$(dirname "$0")/.."

(($# > 0)) || set -- 3.9 3.10 3.12 3.13
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-pythons.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The newest installed patch release of CPython `version`, or nothing.
find_python() {
    local version=$1 candidate
    candidate=$(find "$pyenv_root/versions" -maxdepth 3 -path "*/versions/$version.*/bin/python$version" \
        2>/dev/null | sort -V | tail -n 1)
    [[ -n $candidate ]] || candidate=$(command -v "python$version" || true)
    echo "$candidate"
}

missing=()
for version in "$@"; do
    python=$(find_python "$version")
    if [[ -z $python ]]; then
        echo "== CPython $version: not found, not tested"
        missing+=("$version")
        continue
    fi
    echo "== CPython $version: $("$python" -VV | head -n 1) ($python)"
    venv=$work/venv-$version
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet ".[test]" -Ccmake.define.TARN_WERROR=ON
    "$venv/bin/python" -m pytest tests -p no:cacheprovider -q
done
if ((${#missing[@]} > 0)); then
    echo "test_pythons: CPython ${missing[*]} not found; every other version passed"
fi
