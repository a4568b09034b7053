# test_batch.py: the batch example (examples/batch.py) on a process pool and on a Dask cluster.
import importlib
import importlib.util
import json
import math
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

# Runs in a fresh interpreter started in EXAMPLES, so the cluster's threads end with it.
ON_LOCAL_CLUSTER = """
import json, sys
import batch
problems = json.load(sys.stdin)
with batch.dask_client(workers=2) as client:
    workers = len(client.nthreads())
    results = batch.solve_with_dask(client, problems, chunk_size=3, keep_tree=True)
    nothing = batch.solve_with_dask(client, [], chunk_size=3)
json.dump({"workers": workers, "results": results, "nothing": nothing}, sys.stdout)
"""


@pytest.fixture(scope="module")
def batch():
    # Spawned pool workers inherit this path, so they can import the example too.
    with pytest.MonkeyPatch.context() as patch:
        patch.syspath_prepend(str(EXAMPLES))
        yield importlib.import_module("batch")


@pytest.fixture(scope="module")
def problems(batch):
    reached_at_once = {
        "start": [0.0, 0.0], "goal": [0.5, 0.5], "boundaries": [1.0, 1.0],
        "obstacles": [], "step_size": 1.0, "max_iterations": 5,
    }
    never_reached = {
        "start": [1.0, 1.0], "goal": [9.0, 9.0], "boundaries": [10.0, 10.0],
        "obstacles": [[5.0, 5.0], [2.0, 8.0, 99.0]], "step_size": 0.0, "max_iterations": 60,
    }
    return [reached_at_once, never_reached, BAD_PROBLEM, *batch.make_batch(10, seed=7)]


# Its empty sampling range faults: PanicException, which derives from BaseException.
BAD_PROBLEM = {
    "start": [0.0, 0.0], "goal": [1.0, 1.0], "boundaries": [0.0, 0.0],
    "obstacles": [], "step_size": 1.0, "max_iterations": 5,
}
BAD_RESULT = {"index": 2, "error": {"type": "PanicException", "message": "cannot sample empty range"}}


def check_result(problem, result):
    """The planner's guarantees, read back from the plain lists a worker returned."""
    nodes, children = result["nodes"], result["adjacency_list"]
    assert len(nodes) == len(children) == result["node_count"]
    assert nodes[0] == problem["start"]
    # Every node but the root is attached exactly once, to a node created before it.
    assert sorted(child for kids in children for child in kids) == list(range(1, len(nodes)))
    assert all(child > parent for parent, kids in enumerate(children) for child in kids)

    reached = result["reached"]
    assert reached == bool(result["path"])
    samples = nodes[1:-1] if reached else nodes[1:]
    width, height = problem["boundaries"][:2]
    for x, y in samples:
        assert 0.0 <= x < width and 0.0 <= y < height
        assert all(math.dist((x, y), obstacle[:2]) >= 1.0 for obstacle in problem["obstacles"])
    if not reached:
        assert len(samples) == problem["max_iterations"]
        assert all(math.dist(sample, problem["goal"]) >= problem["step_size"] for sample in samples)
        return
    assert 1 <= len(samples) <= problem["max_iterations"]
    assert nodes[-1] == problem["goal"] and children[-2] == [len(nodes) - 1]
    assert math.dist(nodes[-2], problem["goal"]) < problem["step_size"]
    path = [nodes.index(point) for point in result["path"]]
    assert path[0] == 0 and path[-1] == len(nodes) - 1
    assert all(child in children[parent] for parent, child in zip(path, path[1:]))


def check_batch(problems, results):
    """The bad problem is reported, every other one solved, all in batch order."""
    assert [result["index"] for result in results] == list(range(len(problems)))
    assert results[2] == BAD_RESULT
    for problem, result in zip(problems, results):
        if result is not results[2]:
            check_result(problem, result)
    assert results[0]["node_count"] == 3 and results[1]["node_count"] == 61


@pytest.mark.parametrize(
    ("nodes", "adjacency_list", "expected"),
    [
        ([[0, 0], [5, 5], [9, 9]], [[1], [2], []], [0, 1, 2]),
        ([[0, 0], [5, 5], [7, 7], [9, 9]], [[1, 2], [], [3], []], [0, 2, 3]),
        # A search that gave up can also end on an only child.
        ([[0, 0], [5, 5], [6, 6]], [[1], [2], []], []),
        ([[0, 0], [9, 9]], [[1], []], []),
    ],
)
def test_path_to_goal(batch, nodes, adjacency_list, expected):
    assert batch.path_to_goal(nodes, adjacency_list, [9, 9]) == expected


def test_process_pool_results_keep_the_tree_invariants(batch, problems):
    with batch.process_pool(2) as pool:
        results = batch.solve_with_pool(pool, problems, chunk_size=3, keep_tree=True)
    check_batch(problems, results)


def psutil_sees_this_process():
    import psutil  # installed with Dask's distributed scheduler

    try:
        psutil.Process()
    except psutil.Error:
        return False
    return True


def test_dask_local_cluster_results_keep_the_tree_invariants(problems):
    if importlib.util.find_spec("distributed") is None:
        pytest.skip("the cluster extra (dask[distributed]) is not installed")
    if not psutil_sees_this_process():
        pytest.skip("Dask needs psutil to read this process's details, which it cannot here (no /proc?)")
    completed = subprocess.run(
        [sys.executable, "-c", ON_LOCAL_CLUSTER], input=json.dumps(problems), cwd=EXAMPLES,
        capture_output=True, text=True, timeout=300, check=False,
    )
    assert completed.returncode == 0, completed.stderr
    outcome = json.loads(completed.stdout)
    assert outcome["workers"] == 2 and outcome["nothing"] == []
    check_batch(problems, outcome["results"])


def test_command_line_reports_and_writes_every_problem(batch, capsys, tmp_path, monkeypatch):
    monkeypatch.setattr(batch, "make_batch", lambda count, seed: [BAD_PROBLEM] * count)
    monkeypatch.setattr(importlib.util, "find_spec", lambda name: None)  # no tqdm
    output = tmp_path / "results.jsonl"
    batch.main(["--problems", "4", "--workers", "2", "--compare", "--progress", "--output", str(output)])
    captured = capsys.readouterr()
    assert captured.err == "batch.py: no progress bar without tqdm: pip install 'pytarn[batch]'\n"
    lines = captured.out.splitlines()
    assert [line.split()[0] for line in lines] == ["single", "process", *["problem"] * 4, "results"]
    counts = "0 solved (a tree came back), 0 of them reaching the goal, 4 failed (an error came back)"
    assert all("4 problems in" in line and counts in line for line in lines[:2])
    assert lines[2] == "  problem 0: PanicException: cannot sample empty range"
    records = [json.loads(line) for line in output.read_text().splitlines()]
    assert records == [{**BAD_RESULT, "index": index} for index in range(4)]


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--chunk-size", "0"], "batch.py: error: argument --chunk-size: must be at least 1, not 0"),
        (["--workers", "-1"], "batch.py: error: argument --workers: must be at least 1, not -1"),
        (["--problems", "-1"], "batch.py: error: argument --problems: must be at least 0, not -1"),
        (["--problems", "x"], "batch.py: error: argument --problems: invalid int value: 'x'"),
        (["--dask"], "batch.py: --dask needs Dask; install it with: pip install 'pytarn[cluster]'"),
    ],
)
def test_command_line_refuses_what_it_cannot_run(batch, capsys, monkeypatch, arguments, message):
    monkeypatch.setattr(importlib.util, "find_spec", lambda name: None)  # no Dask
    with pytest.raises(SystemExit) as exit_info:
        batch.main(arguments)
    assert exit_info.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == message


STOPPED_BATCH = 20000


def stop_batch_midway(engine, signal_number, folder):
    """Run the batch tool and signal its process group once its first chunk is done.

    Returns its exit status, its standard output, the seconds from the signal to its exit
    and the processes it had started by then. Every wait is bounded: a hang fails the test.
    """
    import psutil  # installed with Dask's distributed scheduler

    command = [sys.executable, "batch.py", "--problems", str(STOPPED_BATCH), "--workers", "2",
               "--progress", "--output", str(folder / "results.jsonl"), *engine]
    # Files rather than pipes: a process left behind holding a pipe would block its reader.
    with open(folder / "stdout", "wb") as stdout, open(folder / "stderr", "wb") as stderr:
        process = subprocess.Popen(command, cwd=EXAMPLES, stdout=stdout, stderr=stderr, start_new_session=True)
    try:
        deadline = time.monotonic() + 240
        # The bar, redrawn in place, shows "done/total [".
        while not re.search(rb"[1-9]\d*/\d+ \[", (folder / "stderr").read_bytes()):
            assert process.poll() is None and time.monotonic() < deadline, (folder / "stderr").read_text()
            time.sleep(0.05)
        children = psutil.Process(process.pid).children(recursive=True)
        os.killpg(process.pid, signal_number)
        signalled = time.monotonic()
        process.wait(timeout=60)
        seconds = time.monotonic() - signalled
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    return process.returncode, (folder / "stdout").read_text(), seconds, children


@pytest.mark.parametrize(
    ("engine", "signal_number"),
    [([], signal.SIGINT), (["--dask"], signal.SIGTERM)],
    ids=["pool-SIGINT", "dask-SIGTERM"],
)
def test_a_stopped_batch_ends_at_once_with_what_it_finished(tmp_path, engine, signal_number):
    if importlib.util.find_spec("distributed") is None:
        pytest.skip("the cluster extra (dask[distributed], with psutil) is not installed")
    if not psutil_sees_this_process():
        pytest.skip("psutil cannot read this process's details here (no /proc?)")
    import psutil

    status, stdout, seconds, children = stop_batch_midway(engine, signal_number, tmp_path)
    assert status == 128 + signal_number, stdout
    assert seconds < 10
    done = re.fullmatch(rf"stopped by {signal_number.name}: (\d+) of {STOPPED_BATCH} problems done",
                        stdout.splitlines()[-2])
    assert done and 0 < int(done[1]) < STOPPED_BATCH, stdout
    records = [json.loads(line) for line in (tmp_path / "results.jsonl").read_text().splitlines()]
    indices = [record["index"] for record in records]
    assert len(records) == int(done[1]) and indices == sorted(set(indices))
    assert all("reached" in record or "error" in record for record in records)
    assert children and psutil.wait_procs(children, timeout=10)[1] == []
