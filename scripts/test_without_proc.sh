#!/usr/bin/env bash
# test_without_proc.sh: runs the pytest suite with /proc hidden (an empty tmpfs mounted over it
# in a private mount namespace), as on platforms that have none: tests that need it must skip,
# not fail. Needs the privilege to make a mount namespace; skips, successfully, without it.
# Usage: scripts/test_without_proc.sh [pytest arguments]   (PYTHON=interpreter with the module
#        and pytest, default .venv/bin/python)
# Needs the .venv that scripts/test.sh makes (or PYTHON), and unshare from util-linux.
set -euo pipefail
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"

python=$(test_python)
if ! unshare --mount --propagation private true 2>/dev/null; then
    echo "test_without_proc: skipped, no permission to make a mount namespace (unshare --mount)"
    exit 0
fi
echo "== Python tests with /proc hidden"
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount --propagation private sh -c '
    mount -t tmpfs -o size=64k,mode=0555 none /proc
    ! test -e /proc/self/status || { echo "test_without_proc: /proc still visible" >&2; exit 1; }
    exec "$@"' sh "$python" -m pytest -p no:cacheprovider "${@:-tests}"
