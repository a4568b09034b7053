#!/usr/bin/env bash
# install_packages.sh: installs the Debian packages named (name:arch for another architecture's)
# when any of them is missing, so the platform checks can run on a fresh Debian 12 machine.
# Installed ones named with them are upgraded in the same step: a library installed for two
# architectures must be the same version in both. Needs root and apt-get when something is missing.
# Usage: scripts/install_packages.sh package...
set -euo pipefail

missing=()
for package in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [[ $status == installed ]] || missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0

if ! command -v apt-get >/dev/null || ((EUID != 0)); then
    echo "install_packages: missing ${missing[*]}; installing them needs root and apt-get" >&2
    exit 1
fi
echo "== installing $*"
# Other jobs on the machine may hold the package database for a while.
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -qq "$@"; }
apt_get update >/dev/null
apt_get install -y --no-install-recommends "$@" >/dev/null
