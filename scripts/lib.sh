# shellcheck shell=bash
# lib.sh: what the scripts in this folder share. A script that uses it starts with
#     set -euo pipefail
#     # shellcheck source=scripts/lib.sh
#     . "$(dirname "$0")/lib.sh"
# which moves to the project's root and defines:
#   native_tests [--build-only] DIR [CMAKE_OPTION...]   configures, builds, runs the native tests;
#   install_packages PACKAGE...                          installs the missing ones (Debian's);
#   test_python                                          prints the interpreter the tests run with.
# Sourced, not run: it has no shebang and no exit status of its own.

cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1

# The calling script's name, for its messages.
script_name=$(basename "$0" .sh)

# native_tests [--build-only] DIR [CMAKE_OPTION...]: configures the build tree DIR with Ninja,
# builds the native layers and their tests there, then runs the tests with CTest (unless
# --build-only). Warnings are errors; the build type is RelWithDebInfo and the module is not
# built, unless the options say otherwise (a later -D wins): the compiler, a toolchain file, the
# flags, the module with its interpreter, the time limit of each test under emulation.
native_tests() {
    local run=yes
    if [[ $1 == --build-only ]]; then
        run=no
        shift
    fi
    local build=$1
    shift
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_WERROR=ON \
        -DTARN_NATIVE_TESTS=ON -DTARN_PYTHON_MODULE=OFF "$@" >/dev/null
    cmake --build "$build"
    [[ $run == no ]] || ctest --test-dir "$build" --output-on-failure
}

# install_packages PACKAGE...: installs the Debian packages named (name:arch for another
# architecture's) when any of them is missing, so the platform builds run on a fresh Debian 12
# machine. Installed ones named with them are upgraded in the same step: a library installed for
# two architectures must be the same version in both. Stops the script, with a message, when
# something is missing and this is not root with apt-get.
install_packages() {
    local package status missing=()
    for package in "$@"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
        [[ $status == installed ]] || missing+=("$package")
    done
    ((${#missing[@]} > 0)) || return 0
    if ! command -v apt-get >/dev/null || ((EUID != 0)); then
        echo "$script_name: missing ${missing[*]}; installing them needs root and apt-get" >&2
        exit 1
    fi
    echo "== installing $*"
    # Other jobs on the machine may hold the package database for a while.
    local apt_get=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -qq)
    "${apt_get[@]}" update >/dev/null
    "${apt_get[@]}" install -y --no-install-recommends "$@" >/dev/null
}

# test_python: prints the interpreter that has the test requirements (pytest, hypothesis, NumPy)
# and pip, as an absolute path: $PYTHON, or else the environment .venv that scripts/test.sh makes.
# Stops the script, with a message saying how to make one, when it is missing. Use as
# python=$(test_python).
test_python() {
    local python
    if ! python=$(command -v "${PYTHON:-.venv/bin/python}"); then
        echo "$script_name: no interpreter ${PYTHON:-.venv/bin/python}: run scripts/test.sh first" \
            "(it makes .venv), or set PYTHON to one with tarn's test requirements" >&2
        exit 1
    fi
    # Not resolved further: a virtual environment's interpreter is a link to the one it was made
    # from, and only the link finds the environment's packages.
    [[ $python == /* ]] || python=$PWD/$python
    echo "$python"
}
