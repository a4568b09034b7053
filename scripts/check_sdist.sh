#!/usr/bin/env bash
# check_sdist.sh: builds the sdist and checks what it holds, builds a wheel from it, checks both
# as the package index and the wheel tools would (metadata, platform policy, exported symbols),
# installs the wheel into a fresh virtual environment, then runs the README's two set-up commands
# in the unpacked sdist: the demonstration, and the test command with every test.
# Usage: scripts/check_sdist.sh   (PYTHON=interpreter, default python3;
#                                  EXTRAS=extras to install, default test,cluster)
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
extras=${EXTRAS:-test,cluster}
work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-sdist.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Runs a command quietly, showing its output only when it fails.
quietly() {
    if ! "$@" >"$work/log" 2>&1; then
        cat "$work/log"
        return 1
    fi
}

echo "== building the sdist"
"$python" -m venv "$work/tools"
quietly "$work/tools/bin/python" -m pip install --upgrade pip build twine auditwheel trove-classifiers
quietly "$work/tools/bin/python" -m build --sdist --outdir "$work/dist" .
sdist=$(echo "$work"/dist/*.tar.gz)
echo "$(basename "$sdist")"

echo "== checking its file list"
tar -tzf "$sdist" | grep -v '/$' | sed 's|^[^/]*/||' | sort >"$work/files"
problems=0
complain() {
    echo "sdist: $*"
    problems=$((problems + 1))
}
for required in PKG-INFO pyproject.toml CMakeLists.txt LICENSE README.md CHANGELOG.md \
    src/lib.cpp src/tarn.pyi tests/conftest.py examples/batch.py examples/plan.py docs/plan.png \
    scripts/test.sh scripts/lib.sh; do
    grep -qxF "$required" "$work/files" || complain "missing $required"
done
# Everything tracked under the build inputs must be there, so a new source file cannot be left out.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    while read -r tracked; do
        grep -qxF "$tracked" "$work/files" || complain "missing tracked file $tracked"
    done < <(git ls-files -- src tests CMakeLists.txt)
fi
allowed='^(PKG-INFO|pyproject\.toml|CMakeLists\.txt|LICENSE|README\.md|CHANGELOG\.md|examples/(batch|plan)\.py|docs/plan\.png|scripts/(test|lib)\.sh|src/.+|tests/.+)$'
build_output='(^|/)(build|dist|\.git|\.venv|__pycache__|[^/]*\.egg-info)/|\.(so|o|a|pyc|pyo|whl|tar\.gz)$'
while read -r extra; do complain "unexpected file $extra"; done < <(grep -vE "$allowed" "$work/files" || true)
while read -r output; do complain "build output $output"; done < <(grep -E "$build_output" "$work/files" || true)
if ((problems > 0)); then exit 1; fi
echo "$(wc -l <"$work/files") files, all expected"

echo "== building a wheel from it"
# Warnings are errors here too, so the sdist build is as clean as the development one.
quietly "$work/tools/bin/python" -m pip wheel --no-deps --wheel-dir "$work/wheel" "$sdist" \
    -Ccmake.define.TARN_WERROR=ON
wheel=$(echo "$work"/wheel/*.whl)
echo "$(basename "$wheel")"

echo "== checking the metadata of both"
"$work/tools/bin/twine" check --strict "$sdist" "$wheel"
# The index refuses an upload with a classifier it does not know; twine does not look at them.
"$work/tools/bin/python" - "$wheel" <<'PY'
import sys, zipfile
from email.parser import BytesParser
from trove_classifiers import classifiers

with zipfile.ZipFile(sys.argv[1]) as wheel:
    name = next(n for n in wheel.namelist() if n.endswith(".dist-info/METADATA"))
    given = BytesParser().parsebytes(wheel.read(name)).get_all("Classifier", [])
unknown = [c for c in given if c not in classifiers]
if unknown:
    sys.exit(f"sdist: unknown classifiers {unknown}")
print(f"{len(given)} classifiers, all known")
PY

if [[ $(uname -s) == Linux ]]; then
    echo "== checking the wheel's platform policy"
    # Verbose, so the list of libraries to graft is printed even when the build machine's C
    # library constrains the tag.
    quietly "$work/tools/bin/auditwheel" -v show "$wheel"
    grep -vE '^(DEBUG|INFO):' "$work/log" | tee "$work/policy"
    # Only libraries every manylinux system provides may be needed, so a repair has nothing
    # to graft in. auditwheel wraps its lines: compare with the words in one line.
    policy=$(tr -s ' \n' ' ' <"$work/policy")
    if [[ $policy != *'consistent with the following platform tag: "manylinux_'* ||
        $policy != *'The wheel requires no external shared libraries!'* ]]; then
        echo "sdist: the wheel fits no manylinux policy without grafting libraries" >&2
        exit 1
    fi
fi
bash scripts/check_exports.sh "$wheel"
# The types: beside the module for pyright, as a stub-only package for mypy; and the batch tool's
# package beside the module, typed too.
"$work/tools/bin/python" - "$wheel" <<'PY'
import sys, zipfile

names = set(zipfile.ZipFile(sys.argv[1]).namelist())
missing = sorted({"tarn.pyi", "tarn-stubs/__init__.pyi", "tarn_batch/__init__.py", "tarn_batch/py.typed"} - names)
if missing:
    sys.exit(f"sdist: the wheel lacks {missing}")
print("type information: tarn.pyi, tarn-stubs/__init__.pyi; the batch tool: tarn_batch/")
PY

echo "== installing the wheel into a fresh environment (extras: $extras)"
"$python" -m venv "$work/venv"
quietly "$work/venv/bin/python" -m pip install --upgrade pip
quietly "$work/venv/bin/python" -m pip install "$wheel[$extras]"
"$work/venv/bin/python" -c 'import importlib.metadata, tarn; print(tarn.__file__, importlib.metadata.version("pytarn"))'

echo "== the README's set-up commands, in the unpacked sdist"
mkdir "$work/unpacked"
tar -xzf "$sdist" -C "$work/unpacked"
cd "$work"/unpacked/*/
# Every line of the shell blocks in the README's set-up section, as a user would copy them.
awk '/^## /{section = /^## Set-up/} section && /^```/{block = !block; next} section && block' \
    README.md >"$work/setup-commands"
if [[ $(wc -l <"$work/setup-commands") -ne 2 ]]; then
    echo "sdist: expected two set-up commands in the README, found:" >&2
    cat "$work/setup-commands" >&2
    exit 1
fi
while read -r command; do
    echo "\$ $command"
    bash -c "$command" </dev/null
done <"$work/setup-commands"
test -s plan.png || { echo "sdist: the demonstration drew no plan.png" >&2; exit 1; }
