#!/usr/bin/env bash
# aarch64.sh: the native tests cross-built for Linux on 64-bit Arm and run under qemu-user; then
# the module built against Debian's arm64 CPython 3.11 and the pytest suite run by that
# interpreter, emulated through binfmt_misc so the interpreters the tests start are emulated too.
# Installs the cross compiler, qemu and the arm64 libraries from Debian's packages when missing.
# Usage: scripts/aarch64.sh [pytest arguments]
#        (PYTHON=interpreter with pip, default .venv/bin/python)
# Needs the .venv that scripts/test.sh makes (or PYTHON), CMake, ninja and the package index, and
# root with apt-get when the toolchain, qemu or the arm64 libraries are missing.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

build=build/aarch64
python=$(test_python)
target_python=$build/python/usr/bin/python3.11
target_site=$build/site-packages

install_arm64_packages() {
    dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
    # The arm64 libraries of Python 3.11 share files with the machine's own, so both must be the
    # same version: the machine's installed packages of it are named too, to be upgraded with them.
    local machine_python
    machine_python=$(dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' \
        'python3.11*' 'libpython3.11*' | awk -v arch=":$(dpkg --print-architecture)" \
        '$1 == "installed" && $2 ~ arch "$" { print $2 }')
    # shellcheck disable=SC2086 # one package a word
    install_packages g++-aarch64-linux-gnu qemu-user-static binfmt-support \
        libc6:arm64 libstdc++6:arm64 libpython3.11-dev:arm64 libpython3.11-stdlib:arm64 $machine_python
}

# Installing python3.11-minimal:arm64 would replace the machine's own interpreter (the same file,
# for one architecture at a time), so the arm64 one is unpacked into the build tree instead.
# Debian's CPython looks for its standard library in /usr, where the arm64 packages put theirs.
unpack_target_python() {
    [[ -x $target_python ]] && return
    local version
    version=$(dpkg-query -W -f='${Version}' libpython3.11-minimal:arm64)
    mkdir -p "$build/python"
    (cd "$build" && apt-get download -qq -o APT::Sandbox::User=root "python3.11-minimal:arm64=$version")
    dpkg-deb -x "$build"/python3.11-minimal_*_arm64.deb "$build/python"
}

# pytest and hypothesis are pure Python; NumPy's arm64 wheel is its own.
install_test_packages() {
    [[ -d $target_site/pytest ]] && return
    "$python" -m pip install --quiet --target "$target_site" --python-version 3.11 \
        --implementation cp --platform manylinux2014_aarch64 --only-binary=:all: \
        pytest hypothesis numpy
}

# Executing an arm64 program directly needs qemu registered with the kernel's binfmt_misc.
binfmt_runs_arm64() {
    [[ -e /proc/sys/fs/binfmt_misc/status ]] ||
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
    [[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]] ||
        update-binfmts --enable qemu-aarch64 2>/dev/null || true
    "$target_python" -c '' 2>/dev/null
}

install_arm64_packages
unpack_target_python

echo "== native tests for aarch64, under qemu-user ($(aarch64-linux-gnu-g++ --version | head -n 1))"
# Emulated, the spatial-index test alone takes about 100 s, several times that on a busy machine.
native_tests "$build" --toolchain cmake/aarch64-linux-gnu.cmake -DTARN_NATIVE_TEST_TIMEOUT=1800 \
    -DTARN_PYTHON_MODULE=ON -DPython_EXECUTABLE="$PWD/$target_python"

if ! binfmt_runs_arm64; then
    echo "aarch64: Python tests skipped: no binfmt_misc registration runs arm64 programs here" \
        "(mount binfmt_misc and run update-binfmts --enable qemu-aarch64 as root)"
    exit 0
fi
install_test_packages
version=$("$target_python" -c 'import platform; print(platform.python_version())')
echo "== Python tests (aarch64 module, arm64 CPython $version under qemu-user)"
module_dir=$(cd "$build" && pwd)
PYTHONPATH="$module_dir:$(cd "$target_site" && pwd)" "$target_python" -m pytest -p no:cacheprovider "${@:-tests}"
