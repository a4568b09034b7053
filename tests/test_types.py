# test_types.py: the installed type information, as mypy, basedpyright and stubtest see it.
import json
import pathlib
import re
import runpy
import subprocess
import sys

import pytest

TYPING = pathlib.Path(__file__).parent / "typing"
CORRECT = TYPING / "correct_uses.py"
WRONG = TYPING / "wrong_uses.py"
CHECK_TIMEOUT = 300


def marked_lines(path):
    """The line numbers that carry a `# flagged:` comment."""
    lines = path.read_text().splitlines()
    return {number for number, line in enumerate(lines, 1) if "# flagged:" in line}


def run_checker(command, cwd):
    # From a directory of its own, so that only the installed module and its stubs are seen.
    completed = subprocess.run(
        command, cwd=cwd, capture_output=True, text=True, timeout=CHECK_TIMEOUT
    )
    return completed.stdout


def require_mypy():
    pytest.importorskip("mypy")
    # mypy counts processors through psutil when it is installed (Dask brings it); psutil fails
    # where it cannot read this process's details.
    try:
        import psutil
    except ImportError:
        return
    try:
        psutil.Process().cpu_affinity()
    except Exception:
        pytest.skip("mypy needs psutil to read this process's details, which it cannot here (no /proc?)")


def mypy_errors(cwd):
    require_mypy()
    output = run_checker(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cwd / "cache"),
         str(CORRECT), str(WRONG)],
        cwd,
    )
    found = re.findall(r"^(.*?):(\d+): error:", output, re.MULTILINE)
    return {(pathlib.Path(name).name, int(line)) for name, line in found}, output


def basedpyright_errors(cwd):
    pytest.importorskip("basedpyright")
    output = run_checker(
        [sys.executable, "-m", "basedpyright", "--pythonpath", sys.executable, "--outputjson",
         str(CORRECT), str(WRONG)],
        cwd,
    )
    diagnostics = json.loads(output)["generalDiagnostics"]
    return {
        (pathlib.Path(d["file"]).name, d["range"]["start"]["line"] + 1)
        for d in diagnostics
        if d["severity"] == "error"
    }, output


@pytest.mark.parametrize("errors_of", [mypy_errors, basedpyright_errors], ids=["mypy", "basedpyright"])
def test_checker_accepts_correct_uses_and_flags_every_wrong_one(errors_of, tmp_path):
    errors, output = errors_of(tmp_path)
    expected = {(WRONG.name, line) for line in marked_lines(WRONG)}
    assert errors == expected, output


def test_correct_uses_run():
    pytest.importorskip("numpy")
    namespace = runpy.run_path(str(CORRECT))
    assert namespace["found"] is True
    assert namespace["sums"] == []


def test_stubs_match_the_module_and_everything_below_it():
    require_mypy()
    completed = subprocess.run(
        [sys.executable, str(TYPING / "stubtest_tarn.py"), "tarn",
         "--allowlist", str(TYPING / "stubtest_allowlist.txt")],
        capture_output=True, text=True, timeout=CHECK_TIMEOUT,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr


def test_batch_tool_is_typed_strictly(tmp_path):
    # The installed package, checked as a user's checker sees it (its py.typed says it is typed).
    require_mypy()
    pytest.importorskip("tarn_batch", reason="the installed tarn has no batch tool beside it")
    output = run_checker(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "-p", "tarn_batch"],
        tmp_path,
    )
    assert output.startswith("Success: no issues found"), output
