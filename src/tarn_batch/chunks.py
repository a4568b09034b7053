"""One chunk of a batch: its problems solved, and its rows written as one file of the dataset.

This is what runs in a worker. A chunk is described by a small `Job`, from which the worker
makes (or reads) its problems; it hands back only an `Outcome`, a few counts. The rows
themselves never leave the worker except as the chunk's file, written under a temporary name
that dataset readers skip and renamed when complete, so the dataset only ever holds whole files.
"""

from __future__ import annotations

import gc
import json
import os
import uuid
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from tarn_batch._imports import load

import tarn

from tarn_batch.problems import Problem, ProblemOrError, UnreadableRow, random_problem, read_jsonl, read_parquet

# How many of a chunk's failures come back for the summary to show.
FAILURES_SHOWN = 5


@dataclass(frozen=True)
class Job:
    """Chunk `number`: the problems `first` to `stop - 1` and where its file goes."""

    number: int
    first: int
    stop: int
    output: str  # the dataset's folder, a local path or an fsspec URL
    file_format: str  # "parquet" or "jsonl"
    keep_trees: bool
    seed: Optional[int] = None  # problems made from (seed, index)...
    input: Optional[str] = None  # ...or read from this file
    input_format: Optional[str] = None
    input_offset: int = 0  # where a JSON Lines input's chunk begins, in bytes


@dataclass
class Outcome:
    """What a worker hands back for one chunk: counts, never rows."""

    number: int
    problems: int = 0
    reached: int = 0
    failed: int = 0
    bytes_written: int = 0
    failures: List[Tuple[int, str, str]] = field(default_factory=list)
    stopped: bool = False  # the batch stopped before the chunk was done: nothing was written
    write_error: Optional[str] = None  # the chunk was solved but its file could not be written


def part_name(number: int, file_format: str) -> str:
    """The file of chunk `number`: part-000123.parquet."""
    return f"part-{number:06d}.{file_format}"


def problems_of(job: Job) -> Iterator[ProblemOrError]:
    if job.input is None:
        seed = job.seed or 0
        return (random_problem(seed, index) for index in range(job.first, job.stop))
    if job.input_format == "parquet":
        return read_parquet(job.input, job.first, job.stop - job.first)
    return read_jsonl(job.input, job.input_offset, job.stop - job.first)


class Columns:
    """A chunk's rows, column by column, as the schema of the dataset lays them out."""

    def __init__(self, keep_trees: bool) -> None:
        self.keep_trees = keep_trees
        names = ["index", "start", "goal", "boundaries", "obstacles", "step_size", "max_iterations",
                 "reached", "node_count", "path", "error_type", "error_message"]
        if keep_trees:
            names += ["nodes", "parents"]
        self.data: Dict[str, List[Any]] = {name: [] for name in names}

    def add(self, index: int, problem: Optional[Problem], solved: Optional[Dict[str, Any]],
            error: Optional[BaseException]) -> None:
        data = self.data
        data["index"].append(index)
        for key in ("start", "goal", "boundaries", "obstacles", "step_size", "max_iterations"):
            data[key].append(None if problem is None else problem[key])
        for key in ("reached", "node_count", "path", *(("nodes", "parents") if self.keep_trees else ())):
            data[key].append(None if solved is None else solved[key])
        data["error_type"].append(None if error is None else type(error).__name__)
        data["error_message"].append(None if error is None else str(error))


def solve(problem: Problem, keep_tree: bool) -> Dict[str, Any]:
    """Plan one problem: whether the goal was reached, the path's points, the node count and,
    with `keep_tree`, the nodes and every node's parent (-1 for the root).

    A reached goal is the last node and the only child of the node before it. A search that
    gave up ends on a sample, which equals the goal only if the tolerance was not positive and
    a draw hit the goal exactly; that case is ignored.
    """
    tree = tarn.rrt.rapidly_exploring_random_tree(**problem)
    children = tree.adjacency_list
    count = len(children)
    parents = [-1] * count
    for parent, kids in enumerate(children):
        for kid in kids:
            parents[kid] = parent
    last = count - 1
    reached = last >= 2 and children[last - 1] == [last] and tree[last] == problem["goal"]
    path: List[List[float]] = []
    if reached:
        node = last
        while node > 0:
            path.append(tree[node])
            node = parents[node]
        path.append(tree[0])
        path.reverse()
    result: Dict[str, Any] = {"reached": reached, "node_count": count, "path": path}
    if keep_tree:
        result["nodes"] = tree.nodes
        result["parents"] = parents
    return result


def solve_chunk(job: Job, stopping: Callable[[], bool] = lambda: False) -> Outcome:
    """Solve a chunk and write its file; a failed problem is a row, not an exception.

    Faults (PanicException) derive from BaseException, so `except Exception` would let them
    through; an interrupt or an exit is the user's, and ends the chunk. Once `stopping()` is
    true the chunk ends at its next problem with nothing written.

    The cyclic collector stays off while the chunk is solved: the rows are lists of lists
    that hold no cycles, and walking them again and again would cost more than planning.
    """
    outcome = Outcome(job.number)
    columns = Columns(job.keep_trees)
    collecting = gc.isenabled()
    gc.disable()
    try:
        for index, problem in zip(range(job.first, job.stop), problems_of(job)):
            if stopping():
                outcome.stopped = True
                return outcome
            outcome.problems += 1
            if isinstance(problem, UnreadableRow):
                columns.add(index, None, None, problem)
                failed(outcome, index, problem)
                continue
            try:
                solved = solve(problem, job.keep_trees)
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as error:  # noqa: BLE001 - every failure of one problem is data
                columns.add(index, problem, None, error)
                failed(outcome, index, error)
                continue
            columns.add(index, problem, solved, None)
            outcome.reached += solved["reached"]
        if stopping():
            outcome.stopped = True
            return outcome
        try:
            outcome.bytes_written = write_part(job, columns)
        except OSError as error:
            outcome.write_error = f"cannot write {part_name(job.number, job.file_format)}: {error}"
        return outcome
    finally:
        if collecting:
            gc.enable()


def failed(outcome: Outcome, index: int, error: BaseException) -> None:
    outcome.failed += 1
    if len(outcome.failures) < FAILURES_SHOWN:
        outcome.failures.append((index, type(error).__name__, str(error)))


def write_part(job: Job, columns: Columns) -> int:
    """Write the chunk's file under a temporary name, then rename it; returns its size."""
    from tarn_batch.dataset import filesystem, schema

    fs, folder = filesystem(job.output)
    final = f"{folder}/{part_name(job.number, job.file_format)}"
    # A leading dot keeps readers off it; the random part keeps two writers of one chunk apart.
    temporary = f"{folder}/.{part_name(job.number, job.file_format)}.{uuid.uuid4().hex}.tmp"
    try:
        with fs.open(temporary, "wb") as stream:
            if job.file_format == "parquet":
                pa = load("pyarrow")
                pq = load("pyarrow.parquet")

                table = pa.Table.from_pydict(columns.data, schema=schema(job.keep_trees))
                # Dictionaries and statistics suit few distinct values, which only the
                # error columns and the index have; on points they cost time and room.
                pq.write_table(table, stream, compression="zstd", use_dictionary=["error_type", "error_message"],
                               write_statistics=["index"])
            else:
                write_json_lines(stream, columns)
        size = int(fs.size(temporary))
        fs.mv(temporary, final)
    except BaseException:
        try:
            fs.rm(temporary)
        except OSError:
            pass
        raise
    return size


def write_json_lines(stream: Any, columns: Columns) -> None:
    names = list(columns.data)
    dumps = json.JSONEncoder(allow_nan=True, separators=(",", ":")).encode
    lines = (dumps(dict(zip(names, values))) + "\n" for values in zip(*columns.data.values()))
    stream.write("".join(lines).encode())


def warm_up(output: str) -> int:
    """Load what solving and writing a chunk needs, so that the timed work starts warm.

    The first table pyarrow builds in a process, and the first file it writes, cost a
    good part of a second; the first chunk would pay for that. Returns the process's id.
    """
    import io

    pa = load("pyarrow")
    pq = load("pyarrow.parquet")

    from tarn_batch.dataset import filesystem, schema

    filesystem(output)
    columns = Columns(keep_trees=True)
    problem = random_problem(0, 0)
    columns.add(0, problem, solve({**problem, "max_iterations": 10}, keep_tree=True), None)
    columns.add(1, None, None, ValueError("warm-up"))
    pq.write_table(pa.Table.from_pydict(columns.data, schema=schema(True)), io.BytesIO(), compression="zstd")
    return os.getpid()
