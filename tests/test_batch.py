# test_batch.py: the batch tool (tarn-batch, the package tarn_batch) on a process pool and on a
# Dask LocalCluster: the dataset it writes, killed workers and clients, stops and refusals.
import importlib.util
import json
import math
import os
import re
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("pyarrow", reason="the batch extra (pyarrow) is not installed")
pytest.importorskip("fsspec", reason="the batch extra (fsspec) is not installed")
tarn_batch = pytest.importorskip("tarn_batch", reason="the installed tarn has no batch tool beside it")
import pyarrow.dataset  # noqa: E402

TIMEOUT = 240
ENGINES = [pytest.param(["--workers", "2"], id="pool"), pytest.param(["--dask", "--workers", "2"], id="dask")]

# Reached by the first sample; never reached (no tolerance); faults (an empty sampling range);
# and two lines that are not problems, all reported as rows.
REACHED_AT_ONCE = {"start": [0.0, 0.0], "goal": [0.5, 0.5], "boundaries": [1.0, 1.0],
                   "obstacles": [], "step_size": 1.0, "max_iterations": 5}
NEVER_REACHED = {"start": [1.0, 1.0], "goal": [9.0, 9.0], "boundaries": [10.0, 10.0],
                 "obstacles": [[5.0, 5.0], [2.0, 8.0, 99.0]], "step_size": 0.0, "max_iterations": 60}
BAD_PROBLEM = {"start": [0.0, 0.0], "goal": [1.0, 1.0], "boundaries": [0.0, 0.0],
               "obstacles": [], "step_size": 1.0, "max_iterations": 5}


def needs_engine(engine, processes=False):
    """Skip where the engine, or the process listing a test needs, is missing."""
    if processes or "--dask" in engine:
        psutil = pytest.importorskip("psutil", reason="psutil (which Dask brings) is not installed")
        try:
            psutil.Process().children()
        except psutil.Error:
            pytest.skip("psutil cannot read this process's details here (no /proc?)")
    if "--dask" in engine and importlib.util.find_spec("distributed") is None:
        pytest.skip("the cluster extra (dask[distributed]) is not installed")


def tool(*arguments):
    return [sys.executable, "-m", "tarn_batch", *arguments]


def run_tool(*arguments):
    completed = subprocess.run(tool(*arguments), capture_output=True, text=True, timeout=TIMEOUT, check=False)
    return completed.returncode, completed.stdout, completed.stderr


def read_indices(folder):
    return sorted(pyarrow.dataset.dataset(str(folder), format="parquet").to_table(columns=["index"])
                  .column("index").to_pylist())


def check_row(row):
    """The planner's guarantees, read back from one row of the dataset."""
    nodes, parents = row["nodes"], row["parents"]
    assert row["node_count"] == len(nodes) == len(parents)
    assert nodes[0] == row["start"] and parents[0] == -1
    # A tree rooted at node 0: every other node's parent came before it.
    assert all(0 <= parent < child for child, parent in enumerate(parents) if child)
    width, height = row["boundaries"][:2]
    samples = nodes[1:-1] if row["reached"] else nodes[1:]
    for x, y in samples:
        assert 0.0 <= x < width and 0.0 <= y < height
        assert all(math.dist((x, y), obstacle[:2]) >= 1.0 for obstacle in row["obstacles"])
    if not row["reached"]:
        assert row["path"] == [] and len(samples) == row["max_iterations"]
        return
    # The path runs from start to goal through the parents.
    assert nodes[-1] == row["goal"] and math.dist(nodes[-2], row["goal"]) < row["step_size"]
    chain = [len(nodes) - 1]
    while chain[-1]:
        chain.append(parents[chain[-1]])
    assert row["path"] == [nodes[node] for node in reversed(chain)]


@pytest.mark.parametrize("engine", ENGINES)
def test_engine_writes_a_dataset_that_reads_back_with_its_schema(tmp_path, engine):
    needs_engine(engine)
    seeded = [tarn_batch.random_problem(7, index) for index in range(8)]
    lines = [json.dumps(problem) for problem in [REACHED_AT_ONCE, NEVER_REACHED, BAD_PROBLEM, *seeded]]
    lines[4:4] = ["not json", json.dumps({"start": [0, 0]})]
    (tmp_path / "problems.jsonl").write_text("\n".join(lines) + "\n")
    output = tmp_path / "dataset"
    status, stdout, stderr = run_tool("--input", str(tmp_path / "problems.jsonl"), "--output", str(output),
                                      "--chunk-size", "3", "--keep-trees", *engine)
    assert status == 0, stderr
    assert "13 problems in" in stdout and "3 failed (an error came back)" in stdout
    assert stdout.splitlines()[-1] == "checked: every index from 0 to 12 appears exactly once"
    assert sorted(path.name for path in output.iterdir()) == [
        "_manifest.json", *(f"part-{number:06d}.parquet" for number in range(5))]

    table = pyarrow.dataset.dataset(str(output), format="parquet").to_table()
    assert table.schema == tarn_batch.schema(keep_trees=True)
    rows = sorted(table.to_pylist(), key=lambda row: row["index"])
    assert [row["index"] for row in rows] == list(range(13))
    failures = {row["index"]: (row["error_type"], row["error_message"]) for row in rows if row["error_type"]}
    assert failures == {2: ("PanicException", "cannot sample empty range"),
                        4: ("UnreadableRow", "not a line of JSON: Expecting value: line 1 column 1 (char 0)"),
                        5: ("UnreadableRow", "missing goal, boundaries, obstacles, step_size, max_iterations")}
    for row in rows:
        if row["index"] in failures:
            # Every column is there, null where it does not apply: the problem of an unreadable row.
            problem = set(tarn_batch.random_problem(0, 0)) if row["index"] == 2 else set()
            assert {key for key, value in row.items() if value is not None} == {
                "index", "error_type", "error_message", *problem}
            continue
        assert row["error_message"] is None
        check_row(row)
    assert rows[0]["node_count"] == 3 and rows[0]["reached"] and rows[1]["node_count"] == 61
    assert [{key: rows[index][key] for key in seeded[0]} for index in (3, 6)] == seeded[:2]


def descendants(pid):
    import psutil

    try:
        return psutil.Process(pid).children(recursive=True)
    except psutil.NoSuchProcess:
        return []


def wait_for_files(folder, count, process, deadline):
    while len(list(folder.glob("part-*.parquet"))) < count:
        assert process.poll() is None, "the batch ended before it could be killed"
        assert time.monotonic() < deadline
        time.sleep(0.02)


@pytest.mark.parametrize("engine", ENGINES)
def test_killed_worker_and_killed_client_leave_a_dataset_that_completes(tmp_path, engine):
    needs_engine(engine, processes=True)
    import psutil

    output = tmp_path / "dataset"
    command = tool("--problems", "1500", "--seed", "5", "--chunk-size", "50", "--output", str(output), *engine)
    deadline = time.monotonic() + TIMEOUT
    with open(tmp_path / "stderr", "wb") as stderr:
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=stderr, start_new_session=True)
    try:
        # A worker (a process started by spawn that started none) is killed once a chunk is done...
        wait_for_files(output, 1, process, deadline)
        workers = [child for child in descendants(process.pid)
                   if "--multiprocessing-fork" in child.cmdline() and not child.children()]
        assert len(workers) == 2, [child.cmdline() for child in descendants(process.pid)]
        workers[0].kill()
        # ...then the client, outright, once a few more are.
        wait_for_files(output, 4, process, deadline)
        children = descendants(process.pid)
        os.kill(process.pid, signal.SIGKILL)
        process.wait(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    # Its workers end by themselves; the folder holds only whole files, each its chunk's.
    assert psutil.wait_procs(children, timeout=30)[1] == []
    files = sorted(output.glob("part-*.parquet"))
    assert 4 <= len(files) < 30
    for part in files:
        number = int(part.name[5:11])
        assert read_indices(part) == list(range(number * 50, number * 50 + 50))

    status, stdout, stderr = run_tool(*command[3:])
    assert status == 0, stderr
    assert stdout.startswith(f"resuming {output}: {len(files)} of 30 chunks are there already\n")
    assert stdout.splitlines()[-1] == "checked: every index from 0 to 1499 appears exactly once"
    assert read_indices(output) == list(range(1500))
    # The problems are the seed's, whichever process made them.
    row = pyarrow.dataset.dataset(str(output)).to_table(filter=pyarrow.dataset.field("index") == 1234).to_pylist()
    assert {key: row[0][key] for key in ("start", "goal", "obstacles")} == {
        key: tarn_batch.random_problem(5, 1234)[key] for key in ("start", "goal", "obstacles")}


STOPPED_BATCH = 200000


@pytest.mark.parametrize(
    ("engine", "signal_number"),
    [(ENGINES[0].values[0], signal.SIGINT), (ENGINES[1].values[0], signal.SIGTERM)],
    ids=["pool-SIGINT", "dask-SIGTERM"],
)
def test_a_stopped_batch_ends_at_once_keeping_its_finished_chunks(tmp_path, engine, signal_number):
    """The tool's process group is signalled, as a terminal's Ctrl-C does, once a chunk is done."""
    needs_engine(engine, processes=True)
    import psutil

    output = tmp_path / "dataset"
    command = tool("--problems", str(STOPPED_BATCH), "--chunk-size", "200", "--progress", "--output", str(output),
                   *engine)
    deadline = time.monotonic() + TIMEOUT
    # Files rather than pipes: a process left behind holding a pipe would block its reader.
    with open(tmp_path / "stdout", "wb") as stdout, open(tmp_path / "stderr", "wb") as stderr:
        process = subprocess.Popen(command, stdout=stdout, stderr=stderr, start_new_session=True)
    try:
        # The bar, redrawn in place, shows "done/total [".
        while not re.search(rb"[1-9]\d*/\d+ \[", (tmp_path / "stderr").read_bytes()):
            assert process.poll() is None and time.monotonic() < deadline, (tmp_path / "stderr").read_text()
            time.sleep(0.05)
        children = descendants(process.pid)
        os.killpg(process.pid, signal_number)
        signalled = time.monotonic()
        process.wait(timeout=60)
        seconds = time.monotonic() - signalled
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    out = (tmp_path / "stdout").read_text()
    assert process.returncode == 128 + signal_number, out
    assert seconds < 10
    done = re.fullmatch(
        rf"stopped by {signal_number.name}: (\d+) of {STOPPED_BATCH} problems done in this run; (\d+) of 1000"
        rf" chunks are in {re.escape(str(output))}: run the same command again to resume", out.splitlines()[-1])
    assert done and 0 < int(done[1]) < STOPPED_BATCH, out
    # Whole chunks only, each once, as many as the tool says (it counts those finished as it stopped).
    indices = read_indices(output)
    chunks = sorted({index // 200 for index in indices})
    assert len(chunks) == int(done[2])
    assert indices == [index for chunk in chunks for index in range(chunk * 200, chunk * 200 + 200)]
    # Nothing but the bar on the error stream (on Dask, no warning about cancelled tasks).
    assert set(re.sub(r"[^\r\n]*problem/s\]", "", (tmp_path / "stderr").read_text()).split()) <= {""}
    assert children and psutil.wait_procs(children, timeout=10)[1] == []


def refusal(capsys, *arguments):
    with pytest.raises(SystemExit) as exit_info:
        tarn_batch.main(list(arguments))
    return exit_info.value.code, capsys.readouterr()


@pytest.mark.parametrize(
    ("make", "output", "message"),
    [
        (lambda path: path.write_text("mine"), "out",
         "cannot write the dataset to {output}: it is a file, not a folder"),
        (lambda path: path.write_text("mine"), "out/dataset",
         "cannot write the dataset to {output}: [Errno 20] Not a directory: '{output}'"),
        (lambda path: (path.mkdir(), (path / "notes.txt").write_text("mine")), "out",
         "{output} is not empty and holds no dataset of tarn-batch: give a new or empty folder"),
        (lambda path: tarn_batch.main(["--output", str(path), "--problems", "50", "--serial"]), "out",
         "{output} holds a dataset made with other parameters (seed 0, not 1):"
         " give another --output, or the same parameters to resume it"),
    ],
    ids=["file", "file-above", "foreign-folder", "other-seed"],
)
def test_an_output_it_cannot_use_is_refused_before_planning(tmp_path, capsys, make, output, message):
    make(tmp_path / "out")
    before = sorted((path.name, path.stat().st_mtime_ns) for path in tmp_path.rglob("*"))
    capsys.readouterr()
    output = tmp_path / output
    status, captured = refusal(capsys, "--output", str(output), "--problems", "50", "--seed", "1", "--serial")
    assert status == 2 and captured.out == ""
    assert captured.err == f"tarn-batch: {message.format(output=output)}\n"
    assert sorted((path.name, path.stat().st_mtime_ns) for path in tmp_path.rglob("*")) == before


@pytest.mark.parametrize(
    ("arguments", "missing", "message"),
    [
        (["--chunk-size", "0"], None, "tarn-batch: error: argument --chunk-size: must be at least 1, not 0"),
        (["--problems", "x"], None, "tarn-batch: error: argument --problems: invalid int value: 'x'"),
        ([], "pyarrow", "tarn-batch: needs pyarrow; install it with pip install 'pytarn[batch]'"
                        " (from a checkout: pip install '.[batch]')"),
        (["--dask"], "distributed", "tarn-batch: --dask needs Dask; install it with pip install"
                                    " 'pytarn[cluster]' (from a checkout: pip install '.[cluster]')"),
    ],
)
def test_command_line_refuses_what_it_cannot_run(tmp_path, capsys, monkeypatch, arguments, missing, message):
    find_spec = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name: None if name == missing else find_spec(name))
    status, captured = refusal(capsys, "--output", str(tmp_path / "out"), *arguments)
    assert status == 2 and captured.err.splitlines()[-1] == message
    assert not (tmp_path / "out").exists()
