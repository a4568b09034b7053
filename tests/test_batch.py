# test_batch.py: the batch example (examples/batch.py) on a process pool and on a Dask cluster.
import importlib
import importlib.util
import json
import math
import subprocess
import sys
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
json.dump({"workers": workers, "results": results}, sys.stdout)
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
    assert outcome["workers"] == 2
    check_batch(problems, outcome["results"])


def test_command_line_reports_and_writes_every_problem(batch, capsys, tmp_path, monkeypatch):
    monkeypatch.setattr(batch, "make_batch", lambda count, seed: [BAD_PROBLEM] * count)
    output = tmp_path / "results.jsonl"
    batch.main(["--problems", "4", "--workers", "2", "--compare", "--output", str(output)])
    lines = capsys.readouterr().out.splitlines()
    assert [line.split()[0] for line in lines] == ["single", "process", *["problem"] * 4, "results"]
    assert all("4 problems in" in line and "0 solved, 0 reached the goal, 4 failed" in line for line in lines[:2])
    assert lines[2] == "  problem 0: PanicException: cannot sample empty range"
    records = [json.loads(line) for line in output.read_text().splitlines()]
    assert records == [{**BAD_RESULT, "index": index} for index in range(4)]
