"""batch.py: solve many planning problems at once, on a process pool or a Dask cluster.

People who build datasets of paths run thousands of planning problems. Each problem is
independent, so the work spreads over processes (or machines) with no coordination; the
only rule is that a `Tree` cannot be pickled, so every worker hands back plain lists
(`tree.nodes`, `tree.adjacency_list` and the path to the goal) instead of the tree.

The batch is made from a seeded `random.Random`, so the same --seed gives the same
problems. The trees themselves differ from run to run: the planner's generator is
seeded by the operating system and cannot be seeded from Python.

    python examples/batch.py                         # single process vs a process pool
    python examples/batch.py --problems 2000 --workers 8
    python examples/batch.py --dask                  # on a LocalCluster started here
    python examples/batch.py --scheduler tcp://10.0.0.5:8786   # on a running cluster

Every run also solves the batch in a plain loop first, so the figures printed are
problems per second for the loop and for the parallel engine on the same batch.
Start-up of the pool or the cluster is not timed.

On a real cluster every worker needs tarn installed (and Dask: pip install
'tarn[cluster]'); this file's functions travel to the workers with the tasks, so
nothing else has to be copied there. The planner holds the interpreter lock while it
runs, so threads within one worker process take turns: start one single-threaded
worker per core, e.g. `dask worker ADDRESS --nworkers 8 --nthreads 1`.
"""

import argparse
import concurrent.futures
import contextlib
import itertools
import math
import multiprocessing
import os
import pickle
import random
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
# (milliseconds on Dask) is paid only a few times.
TASKS_PER_WORKER = 4


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

    The result holds the path from start to goal as points ([] when the goal was not
    reached) and the number of nodes grown; with `keep_tree`, also the tree's `nodes` and
    `adjacency_list`. Trees are hundreds of nodes where paths are tens, and shipping them
    back costs more than planning them, so they stay behind unless asked for.
    """
    tree = tarn.rrt.rapidly_exploring_random_tree(**problem)
    adjacency_list = tree.adjacency_list
    # Indexing the tree copies out only the nodes on the path, not all of them.
    path = path_to_goal(tree, adjacency_list, problem["goal"])
    result = {"path": [tree[index] for index in path], "node_count": len(tree)}
    if keep_tree:
        result.update(nodes=tree.nodes, adjacency_list=adjacency_list)
    return result


def solve_chunk(problems, keep_tree=False):
    """Plan several problems in one task, so per-task overhead is paid once per chunk."""
    return [solve(problem, keep_tree) for problem in problems]


def chunks(items, size):
    """`items` cut into consecutive lists of at most `size`."""
    return [items[i : i + size] for i in range(0, len(items), size)]


def chunk_size_for(count, workers):
    """Problems per task for `count` problems on `workers` single-threaded workers."""
    return max(1, math.ceil(count / (workers * TASKS_PER_WORKER)))


def solve_serially(batch, keep_tree=False):
    """The baseline: every problem in this process, one after another."""
    return [solve(problem, keep_tree) for problem in batch]


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


def solve_with_pool(pool, batch, chunk_size, keep_tree=False):
    """The batch on a process pool; results come back in batch order."""
    solved = pool.map(solve_chunk, chunks(batch, chunk_size), itertools.repeat(keep_tree))
    return [result for chunk in solved for result in chunk]


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


def solve_with_dask(client, batch, chunk_size, keep_tree=False):
    """The batch on a Dask cluster, in chunks; results come back in batch order."""
    share_code(client)
    packed = [pickle.dumps(chunk) for chunk in chunks(batch, chunk_size)]
    futures = client.map(solve_packed_chunk, packed, keep_tree=keep_tree, pure=False)
    return [result for chunk in client.gather(futures) for result in pickle.loads(chunk)]


def timed(function, *args):
    """(result, seconds) of one call."""
    began = time.perf_counter()
    result = function(*args)
    return result, time.perf_counter() - began


def report(label, batch, results, seconds):
    """One line: how fast, and how many problems reached their goal."""
    reached = sum(1 for result in results if result["path"])
    print(
        f"{label:<24} {len(batch) / seconds:10.1f} problems/s"
        f"   ({len(batch)} problems in {seconds:.2f} s, {reached} reached the goal)"
    )


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add = parser.add_argument
    add("--problems", type=int, default=1000, help="batch size (default 1000)")
    add("--seed", type=int, default=0, help="seed of the batch (default 0)")
    add("--workers", type=int, help="pool or local-cluster processes (default: one per core)")
    add("--chunk-size", type=int, help="problems per task (default: a few tasks per worker)")
    add("--keep-trees", action="store_true", help="bring every tree back, not just its path")
    add("--dask", action="store_true", help="use Dask instead of a process pool")
    add("--scheduler", metavar="ADDRESS", help="Dask scheduler (implies --dask; default: local)")
    arguments = parser.parse_args(argv)
    arguments.dask = arguments.dask or arguments.scheduler is not None
    return arguments


def main(argv=None):
    arguments = parse_arguments(argv)
    batch = make_batch(arguments.problems, arguments.seed)
    keep_trees = arguments.keep_trees
    report("single process", batch, *timed(solve_serially, batch, keep_trees))
    if arguments.dask:
        with dask_client(arguments.scheduler, arguments.workers) as client:
            workers = len(client.nthreads())
            chunk_size = arguments.chunk_size or chunk_size_for(len(batch), workers)
            results, seconds = timed(solve_with_dask, client, batch, chunk_size, keep_trees)
            report(f"dask ({workers} workers)", batch, results, seconds)
    else:
        workers = arguments.workers or os.cpu_count()
        chunk_size = arguments.chunk_size or chunk_size_for(len(batch), workers)
        with process_pool(workers) as pool:
            results, seconds = timed(solve_with_pool, pool, batch, chunk_size, keep_trees)
            report(f"process pool ({workers} workers)", batch, results, seconds)


if __name__ == "__main__":
    main()
