#!/usr/bin/env bash
# check_exports.sh: fails unless the extension module (.so, or .pyd on Windows) exports exactly its
# four entry points, PyInit_tarn, PyInit_moremath, PyInit_vectors and PyInit_rrt, and no other
# dynamic symbol.
# Usage: scripts/check_exports.sh [MODULE.so | WHEEL.whl ...]
#        (default: the module installed in the .venv that scripts/test.sh makes, or in PYTHON's
#        environment; without either, stops with a message)
# Needs python3 (python in Git Bash), and binutils' nm on Linux.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

expected="PyInit_moremath PyInit_rrt PyInit_tarn PyInit_vectors"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-exports.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Git Bash on Windows has the interpreter as python alone.
python=python3
command -v python3 >/dev/null || python=python

# The names a Windows DLL exports, read from its PE export table (no binutils on every runner).
pe_exports() {
    "$python" - "$1" <<'PYTHON'
import struct
import sys

data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
optional = pe + 24
directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
export_rva = struct.unpack_from("<I", data, directories)[0]


def offset(rva):
    for s in range(sections):
        size, address, raw_size, raw = struct.unpack_from("<4I", data, optional + optional_size + 40 * s + 8)
        if address <= rva < address + max(size, raw_size):
            return rva - address + raw
    raise SystemExit(f"RVA {rva:#x} lies in no section")


if export_rva:
    directory = offset(export_rva)
    count, names = struct.unpack_from("<I4xI", data, directory + 24)
    for i in range(count):
        name = offset(struct.unpack_from("<I", data, offset(names) + 4 * i)[0])
        print(data[name : data.index(b"\0", name)].decode())
PYTHON
}

# The defined dynamic symbols of a shared object, one a line, sorted.
exported_symbols() {
    if [[ $1 == *.pyd ]]; then
        pe_exports "$1"
    elif [[ $(uname -s) == Darwin ]]; then
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
        "$python" -m zipfile -e "$1" "$unpacked"
        find "$unpacked" -name 'tarn*.so' -o -name 'tarn*.pyd' | head -n 1
        ;;
    *) echo "$1" ;;
    esac
}

if (($# == 0)); then
    installed=$(test_python)
    set -- "$("$installed" -c 'import tarn; print(tarn.__file__)')"
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
