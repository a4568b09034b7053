"""Where the problems of a batch come from: made from (seed, index), or read from a file.

Every problem is made, or read, by the process that solves it. A seeded problem depends on
the seed and its index alone, so the same seed gives the same problems on any number of
workers and in any order, and no batch is ever made or held whole.
"""

from __future__ import annotations

import json
import math
import operator
import random
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from tarn_batch._imports import load

# The planner's six arguments, in its order.
PROBLEM_KEYS = ("start", "goal", "boundaries", "obstacles", "step_size", "max_iterations")

# Problem shape: a square field with point obstacles of clearance 1.0. Samples are not
# steered, so the goal tolerance sets how many samples a search needs on average.
FIELD_SIZE = 100.0
OBSTACLE_COUNT_RANGE = (5, 40)
OBSTACLE_FREE_RADIUS = 3.0
GOAL_TOLERANCE = 2.0
MAX_ITERATIONS = 4000

Point = List[float]
Problem = Dict[str, Any]


def random_point(rng: random.Random, keep_clear_of: Sequence[Point] = (), radius: float = 0.0) -> Point:
    """A point of the field at least `radius` from every point of `keep_clear_of`."""
    while True:
        point = [rng.uniform(0.0, FIELD_SIZE), rng.uniform(0.0, FIELD_SIZE)]
        if all(math.dist(point, other) >= radius for other in keep_clear_of):
            return point


def random_problem(seed: int, index: int) -> Problem:
    """Problem `index` of the batch of `seed`: the keyword arguments of the planner.

    Its generator is seeded from the pair alone (a text seed is hashed the same way in every
    process), so any process makes the same problem.
    """
    rng = random.Random(f"tarn-batch {seed} {index}")
    start = random_point(rng)
    goal = random_point(rng)
    obstacles = [
        random_point(rng, keep_clear_of=(start, goal), radius=OBSTACLE_FREE_RADIUS)
        for _ in range(rng.randint(*OBSTACLE_COUNT_RANGE))
    ]
    return {
        "start": start,
        "goal": goal,
        "boundaries": [FIELD_SIZE, FIELD_SIZE],
        "obstacles": obstacles,
        "step_size": GOAL_TOLERANCE,
        "max_iterations": MAX_ITERATIONS,
    }


class UnreadableRow(ValueError):
    """A row of the input that is not a problem; it is reported like a failed plan."""


def _points(value: Any, name: str) -> List[Point]:
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
        raise UnreadableRow(f"{name} is not a list of points")
    return [_point(item, name) for item in value]


def _point(value: Any, name: str) -> Point:
    if isinstance(value, (str, bytes, dict)) or value is None:
        raise UnreadableRow(f"{name} is not a list of numbers")
    try:
        return [float(number) for number in value]
    except (TypeError, ValueError) as error:
        raise UnreadableRow(f"{name} is not a list of numbers") from error


def as_problem(row: Any) -> Problem:
    """A row of the input (a mapping) as the planner's keyword arguments, in the dataset's types.

    Raises UnreadableRow when a key is missing or a value does not have the dataset's type:
    points are lists of numbers, `step_size` a number and `max_iterations` an integer.
    """
    if not isinstance(row, dict):
        raise UnreadableRow("the row is not an object with the planner's arguments")
    missing = [key for key in PROBLEM_KEYS if key not in row or row[key] is None]
    if missing:
        raise UnreadableRow("missing " + ", ".join(missing))
    step_size = row["step_size"]
    if isinstance(step_size, bool) or not isinstance(step_size, (int, float)):
        raise UnreadableRow("step_size is not a number")
    max_iterations = row["max_iterations"]
    if isinstance(max_iterations, bool):
        raise UnreadableRow("max_iterations is not an integer")
    try:
        iterations = operator.index(max_iterations)
    except TypeError as error:
        raise UnreadableRow("max_iterations is not an integer") from error
    return {
        "start": _point(row["start"], "start"),
        "goal": _point(row["goal"], "goal"),
        "boundaries": _point(row["boundaries"], "boundaries"),
        "obstacles": _points(row["obstacles"], "obstacles"),
        "step_size": float(step_size),
        "max_iterations": iterations,
    }


# A problem, or the error that made its row unreadable.
ProblemOrError = Union[Problem, UnreadableRow]


def input_kind(url: str) -> str:
    """"parquet" or "jsonl", from the name of an input file."""
    name = url.rsplit("/", 1)[-1].lower()
    if name.endswith((".parquet", ".pq")):
        return "parquet"
    if name.endswith((".jsonl", ".ndjson", ".json")):
        return "jsonl"
    raise ValueError(f"cannot tell the format of {url}: name it .parquet or .jsonl")


def jsonl_chunk_offsets(url: str, chunk_size: int) -> Tuple[int, List[int]]:
    """(rows, the byte offset of every chunk's first line) of a JSON Lines file, read in blocks.

    Every line is a row, blank ones included (they are reported as unreadable); a last line
    without its newline counts too.
    """
    fsspec = load("fsspec")

    offsets = [0]
    rows = 0
    position = 0
    last = b"\n"
    with fsspec.open(url, "rb") as stream:
        while True:
            block = stream.read(1 << 20)
            if not block:
                break
            start = 0
            while True:
                newline = block.find(b"\n", start)
                if newline < 0:
                    break
                rows += 1
                start = newline + 1
                if rows % chunk_size == 0:
                    offsets.append(position + start)
            position += len(block)
            last = block[-1:]
    if last != b"\n":
        rows += 1
    # The offset after the last full chunk starts no chunk when the rows end there.
    chunks = -(-rows // chunk_size)
    return rows, offsets[:chunks]


def parquet_rows(url: str) -> int:
    """The number of rows of a Parquet file, from its footer."""
    fsspec = load("fsspec")
    pq = load("pyarrow.parquet")

    with fsspec.open(url, "rb") as stream:
        return int(pq.ParquetFile(stream).metadata.num_rows)


def read_jsonl(url: str, offset: int, count: int) -> Iterator[ProblemOrError]:
    """`count` problems from the lines of a JSON Lines file that start at byte `offset`."""
    fsspec = load("fsspec")

    with fsspec.open(url, "rb") as stream:
        stream.seek(offset)
        for _ in range(count):
            line = stream.readline()
            try:
                yield as_problem(json.loads(line))
            except UnreadableRow as error:
                yield error
            except ValueError as error:
                yield UnreadableRow(f"not a line of JSON: {error}")


def read_parquet(url: str, first: int, count: int) -> Iterator[ProblemOrError]:
    """`count` problems from the rows of a Parquet file from row `first`, in batches.

    Only the row groups that hold those rows are read, batch by batch, so a chunk never
    costs more than its own rows and one batch.
    """
    fsspec = load("fsspec")
    pq = load("pyarrow.parquet")

    with fsspec.open(url, "rb") as stream:
        file = pq.ParquetFile(stream)
        groups: List[int] = []
        group_start = 0
        skip: Optional[int] = None
        for group in range(file.metadata.num_row_groups):
            rows = file.metadata.row_group(group).num_rows
            if group_start + rows > first and group_start < first + count:
                if skip is None:
                    skip = first - group_start
                groups.append(group)
            group_start += rows
        names = set(file.schema_arrow.names)
        columns = [key for key in PROBLEM_KEYS if key in names]
        left = count
        to_skip = skip or 0
        batches = file.iter_batches(batch_size=max(1, min(count, 4096)), row_groups=groups, columns=columns,
                                    use_threads=False)
        for batch in batches:
            if to_skip >= batch.num_rows:
                to_skip -= batch.num_rows
                continue
            rows_of_batch = batch.slice(to_skip, left).to_pylist()
            to_skip = 0
            for row in rows_of_batch:
                try:
                    yield as_problem(row)
                except UnreadableRow as error:
                    yield error
            left -= len(rows_of_batch)
            if left <= 0:
                return
