#!/usr/bin/env bash
# check_exports.sh: fails unless the extension module exports exactly its four entry points,
# PyInit_tarn, PyInit_moremath, PyInit_vectors and PyInit_rrt, and no other dynamic symbol.
# Usage: scripts/check_exports.sh [MODULE.so | WHEEL.whl ...]
#        (default: the module installed in .venv)
set -euo pipefail
cd "$(dirname "$0")/.."

expected="PyInit_moremath PyInit_rrt PyInit_tarn PyInit_vectors"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-exports.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The defined dynamic symbols of a shared object, one a line, sorted.
exported_symbols() {
    if [[ $(uname -s) == Darwin ]]; then
        # Mach-O prefixes C names with an underscore.
        nm -gU "$1" | awk '{print $NF}' | sed 's/^_//'
    else
        nm -D --defined-only "$1" | awk '{print $NF}'
    fi | sort
}

# The extension module itself, unpacked first when given a wheel.
module_of() {
    case $1 in
    *.whl)
        local unpacked
        unpacked=$work/$(basename "$1" .whl)
        python3 -m zipfile -e "$1" "$unpacked"
        find "$unpacked" -name 'tarn*.so' | head -n 1
        ;;
    *) echo "$1" ;;
    esac
}

if (($# == 0)); then
    set -- "$(.venv/bin/python -c 'import tarn; print(tarn.__file__)')"
fi
status=0
for target in "$@"; do
    module=$(module_of "$target")
    [[ -n $module ]] || { echo "check_exports: no tarn module in $target" >&2; exit 1; }
    exported=$(exported_symbols "$module" | paste -sd ' ' -)
    if [[ $exported == "$expected" ]]; then
        echo "$(basename "$target"): exports $exported"
    else
        echo "check_exports: $(basename "$target") exports [$exported], expected [$expected]" >&2
        status=1
    fi
done
exit "$status"
