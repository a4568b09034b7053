"""batch.py: solve many planning problems at once, on a process pool or a Dask cluster.

People who build datasets of paths run thousands of planning problems. Each problem is
independent, so the work spreads over processes (or machines) with no coordination; the
only rule is that a `Tree` cannot be pickled, so every worker hands back plain lists
(the path to the goal, and with --keep-trees `tree.nodes` and `tree.adjacency_list`).

A problem that fails does not sink the batch: the worker catches the failure, faults
included (`PanicException` derives from `BaseException` and cannot be pickled), and hands
it back as data, the problem's index with the exception's type name and message. Only an
interrupt or an exit (Ctrl-C, SystemExit) ends the batch.

The batch is made from a seeded `random.Random`, so the same --seed gives the same
problems. The trees themselves differ from run to run: the planner's generator is
seeded by the operating system and cannot be seeded from Python.

    python examples/batch.py                         # on a process pool, one worker per core
    python examples/batch.py --problems 20000 --output results.jsonl
    python examples/batch.py --compare               # also a plain loop, for throughput
    python examples/batch.py --dask                  # on a LocalCluster started here
    python examples/batch.py --scheduler tcp://10.0.0.5:8786   # on a running cluster

--output writes one JSON object per line and per problem, in batch order: its "index",
whether the goal was "reached", the "path" (points from start to goal, [] when not
reached) and the "node_count"; for a failed problem, its "index" and the "error" (type
and message). Long batches show a progress bar when tqdm is installed (pip install
'pytarn[batch]'). Start-up of the pool or the cluster is not timed.

On a real cluster every worker needs tarn installed (and Dask: pip install
'pytarn[cluster]'); this file's functions travel to the workers with the tasks, so
nothing else has to be copied there. The planner holds the interpreter lock while it
runs, so threads within one worker process take turns: start one single-threaded
worker per core, e.g. `dask worker ADDRESS --nworkers 8 --nthreads 1`.
"""

import argparse
import concurrent.futures
import contextlib
import itertools
import json
import math
import multiprocessing
import os
import pickle
import random
import sys
import time

import tarn

# Problem shape: a square field with point obstacles of clearance 1.0. Samples are not
# steered, so the goal tolerance sets how many samples a search needs on average.
FIELD_SIZE = 100.0
OBSTACLE_COUNT_RANGE = (5, 40)
OBSTACLE_FREE_RADIUS = 3.0
GOAL_TOLERANCE = 2.0
MAX_ITERATIONS = 4000
# A few tasks per worker keep every worker busy to the end, while the per-task overhead
# (milliseconds on Dask) is paid only a few times. Chunks stay small enough that the
# progress bar moves and no single task carries much data.
TASKS_PER_WORKER = 4
MAX_CHUNK_SIZE = 1000
# Batches of at least this many problems show a progress bar (on a terminal).
LONG_BATCH = 2000


def random_point(rng, keep_clear_of=(), radius=0.0):
    """A point of the field at least `radius` from every point of `keep_clear_of`."""
    while True:
        point = [rng.uniform(0.0, FIELD_SIZE), rng.uniform(0.0, FIELD_SIZE)]
        if all(math.dist(point, other) >= radius for other in keep_clear_of):
            return point


def random_problem(rng):
    """One planning problem: the keyword arguments of rapidly_exploring_random_tree."""
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


def make_batch(count, seed=0):
    """`count` problems, the same ones for the same seed."""
    rng = random.Random(seed)
    return [random_problem(rng) for _ in range(count)]


def path_to_goal(nodes, adjacency_list, goal):
    """Node indices from the start to the goal, or [] when the goal was not reached.

    `nodes` is a tree's node list or the Tree itself, which indexes the same way. A
    reached goal is the last node and the only child of the node before it. A search
    that gave up ends on a sample, which equals the goal only if the tolerance was not
    positive and a draw hit the goal exactly; that case is ignored.
    """
    last = len(nodes) - 1
    if last < 2 or nodes[last] != goal or adjacency_list[last - 1] != [last]:
        return []
    parent_of = {
        child: parent for parent, children in enumerate(adjacency_list) for child in children
    }
    path = [last]
    while path[-1] != 0:
        path.append(parent_of[path[-1]])
    return path[::-1]


def solve(problem, keep_tree=False):
    """Plan one problem; return plain lists, since a Tree cannot cross a process boundary.

    The result holds whether the goal was reached, the path from start to goal as points
    ([] when not reached) and the number of nodes grown; with `keep_tree`, also the tree's
    `nodes` and `adjacency_list`. Trees are hundreds of nodes where paths are tens, and
    shipping them back costs more than planning them, so they stay behind unless asked for.
    """
    tree = tarn.rrt.rapidly_exploring_random_tree(**problem)
    adjacency_list = tree.adjacency_list
    # Indexing the tree copies out only the nodes on the path, not all of them.
    path = path_to_goal(tree, adjacency_list, problem["goal"])
    result = {"reached": bool(path), "path": [tree[index] for index in path], "node_count": len(tree)}
    if keep_tree:
        result.update(nodes=tree.nodes, adjacency_list=adjacency_list)
    return result


def solve_or_report(index, problem, keep_tree=False):
    """solve() with the problem's index; a failure comes back as data instead of an exception.

    Faults (PanicException) derive from BaseException, so `except Exception` would let them
    through, and they cannot be pickled back to the caller. An interrupt or an exit is the
    user's, and ends the batch.
    """
    try:
        return {"index": index, **solve(problem, keep_tree)}
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - every failure of one problem is data
        return {"index": index, "error": {"type": type(error).__name__, "message": str(error)}}


def solve_chunk(indexed_problems, keep_tree=False):
    """Plan several (index, problem) pairs in one task, so per-task overhead is paid once."""
    return [solve_or_report(index, problem, keep_tree) for index, problem in indexed_problems]


def chunks(items, size):
    """`items` cut into consecutive lists of at most `size`."""
    return [items[i : i + size] for i in range(0, len(items), size)]


def chunk_size_for(count, workers):
    """Problems per task for `count` problems on `workers` single-threaded workers."""
    return max(1, min(MAX_CHUNK_SIZE, math.ceil(count / (workers * TASKS_PER_WORKER))))


def solve_serially(batch, keep_tree=False, progress=None):
    """The baseline: every problem in this process, one after another."""
    results = []
    for index, problem in enumerate(batch):
        results.append(solve_or_report(index, problem, keep_tree))
        if progress:
            progress(1)
    return results


def worker_ready(_):
    """A task that only proves a worker process is up."""
    return os.getpid()


@contextlib.contextmanager
def process_pool(workers):
    """A started pool of `workers` processes.

    Workers are spawned rather than forked: forking a process that runs threads (a
    Dask client, say) is unsafe, and spawn behaves the same on Linux and macOS.
    """
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        # Starting the interpreters is not part of the timed work.
        list(pool.map(worker_ready, range(workers)))
        yield pool


def solve_with_pool(pool, batch, chunk_size, keep_tree=False, progress=None):
    """The batch on a process pool; results come back in batch order."""
    tasks = chunks(list(enumerate(batch)), chunk_size)
    results = []
    for solved in pool.map(solve_chunk, tasks, itertools.repeat(keep_tree)):
        results.extend(solved)
        if progress:
            progress(len(solved))
    return results


@contextlib.contextmanager
def dask_client(scheduler=None, workers=None):
    """A Dask client for the scheduler at `scheduler`, or for a LocalCluster started here.

    The local cluster has one single-threaded worker process per core (or `workers`), the
    shape that suits code holding the interpreter lock throughout.
    """
    from dask.distributed import Client, LocalCluster

    if scheduler:
        with Client(scheduler) as client:
            yield client
        return
    cluster_options = {"processes": True, "threads_per_worker": 1, "dashboard_address": None}
    with LocalCluster(n_workers=workers or os.cpu_count(), **cluster_options) as cluster:
        with Client(cluster) as client:
            yield client


def share_code(client):
    """Make sure the scheduler and the workers can load this file's functions.

    Run as a script, the functions live in __main__ and travel by value with the tasks.
    Imported as a module (as the tests do), they travel by name, so the module itself is
    sent to every node first.
    """
    if __name__ != "__main__":
        client.upload_file(__file__)


def solve_packed_chunk(packed_problems, keep_tree=False):
    """solve_chunk with the problems and the results each packed into one bytes object.

    Dask serialises lists and dicts element by element, which for thousands of small
    lists costs as much as planning them; a single bytes object each way skips that walk.
    """
    return pickle.dumps(solve_chunk(pickle.loads(packed_problems), keep_tree))


def solve_with_dask(client, batch, chunk_size, keep_tree=False, progress=None):
    """The batch on a Dask cluster, in chunks; results come back in batch order.

    The chunks are scattered to the workers first, so the tasks refer to them by key
    rather than carrying the whole batch in one large task graph.
    """
    from dask.distributed import as_completed

    share_code(client)
    packed = [pickle.dumps(chunk) for chunk in chunks(list(enumerate(batch)), chunk_size)]
    futures = client.map(solve_packed_chunk, client.scatter(packed), keep_tree=keep_tree, pure=False)
    position = {future.key: number for number, future in enumerate(futures)}
    solved = [None] * len(futures)
    for future in as_completed(futures):
        solved[position[future.key]] = pickle.loads(future.result())
        if progress:
            progress(len(solved[position[future.key]]))
    return [result for chunk in solved for result in chunk]


def timed(function, *args, **options):
    """(result, seconds) of one call."""
    began = time.perf_counter()
    result = function(*args, **options)
    return result, time.perf_counter() - began


@contextlib.contextmanager
def progress_bar(total, shown):
    """A function that advances a progress bar by a number of problems, or None.

    The bar needs tqdm (pip install 'pytarn[batch]'); without it the batch runs silently.
    """
    if not shown:
        yield None
        return
    try:
        from tqdm import tqdm
    except ImportError:
        yield None
        return
    with tqdm(total=total, unit="problem", file=sys.stderr) as bar:
        yield bar.update


def report(label, batch, results, seconds):
    """One line: how fast, how many problems reached their goal, how many failed."""
    reached = sum(1 for result in results if result.get("reached"))
    failed = sum(1 for result in results if "error" in result)
    print(
        f"{label:<24} {len(batch) / seconds:10.1f} problems/s"
        f"   ({len(batch)} problems in {seconds:.2f} s: {len(batch) - failed} solved,"
        f" {reached} reached the goal, {failed} failed)"
    )


def report_failures(results, shown=5):
    """The first few failures, by index, type and message."""
    failures = [result for result in results if "error" in result]
    for result in failures[:shown]:
        error = result["error"]
        print(f"  problem {result['index']}: {error['type']}: {error['message']}")
    if len(failures) > shown:
        print(f"  ... and {len(failures) - shown} more (all of them with --output)")


def write_results(path, results):
    """JSON Lines: one object per problem, in batch order."""
    with open(path, "w", encoding="utf-8") as output:
        for result in results:
            output.write(json.dumps(result) + "\n")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add = parser.add_argument
    add("--problems", type=int, default=1000, help="batch size (default 1000)")
    add("--seed", type=int, default=0, help="seed of the batch (default 0)")
    add("--workers", type=int, help="pool or local-cluster processes (default: one per core)")
    add("--chunk-size", type=int, help="problems per task (default: a few tasks per worker)")
    add("--keep-trees", action="store_true", help="bring every tree back, not just its path")
    add("--output", metavar="PATH", help="write one JSON line per problem to PATH")
    add("--compare", action="store_true", help="also solve the batch in a plain loop, timed")
    add("--progress", action=argparse.BooleanOptionalAction, default=None,
        help=f"progress bar (default: on a terminal, for {LONG_BATCH} problems or more)")
    add("--dask", action="store_true", help="use Dask instead of a process pool")
    add("--scheduler", metavar="ADDRESS", help="Dask scheduler (implies --dask; default: local)")
    arguments = parser.parse_args(argv)
    arguments.dask = arguments.dask or arguments.scheduler is not None
    if arguments.progress is None:
        arguments.progress = sys.stderr.isatty() and arguments.problems >= LONG_BATCH
    return arguments


def solve_in_parallel(arguments, batch, progress):
    """(label, results, seconds) of the batch on the pool or the cluster."""
    keep_trees = arguments.keep_trees
    if arguments.dask:
        with dask_client(arguments.scheduler, arguments.workers) as client:
            workers = len(client.nthreads())
            chunk_size = arguments.chunk_size or chunk_size_for(len(batch), workers)
            results, seconds = timed(solve_with_dask, client, batch, chunk_size, keep_trees, progress)
            return f"dask ({workers} workers)", results, seconds
    workers = arguments.workers or os.cpu_count()
    chunk_size = arguments.chunk_size or chunk_size_for(len(batch), workers)
    with process_pool(workers) as pool:
        results, seconds = timed(solve_with_pool, pool, batch, chunk_size, keep_trees, progress)
        return f"process pool ({workers} workers)", results, seconds


def main(argv=None):
    arguments = parse_arguments(argv)
    batch = make_batch(arguments.problems, arguments.seed)
    if arguments.compare:
        with progress_bar(len(batch), arguments.progress) as progress:
            serial = timed(solve_serially, batch, arguments.keep_trees, progress)
        report("single process", batch, *serial)
    with progress_bar(len(batch), arguments.progress) as progress:
        label, results, seconds = solve_in_parallel(arguments, batch, progress)
    report(label, batch, results, seconds)
    report_failures(results)
    if arguments.output:
        write_results(arguments.output, results)
        print(f"results written to {arguments.output}")


if __name__ == "__main__":
    main()
