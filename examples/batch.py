"""batch.py: solve many planning problems at once, on a process pool or a Dask cluster.

People who build datasets of paths run thousands of planning problems. Each problem is
independent, so the work spreads over processes (or machines) with no coordination; the
only rule is that a `Tree` cannot be pickled, so every worker hands back plain lists
(the path to the goal, and with --keep-trees `tree.nodes` and `tree.adjacency_list`).

A problem that fails does not sink the batch: the worker catches the failure, faults
included (`PanicException` derives from `BaseException` and cannot be pickled), and hands
it back as data, the problem's index with the exception's type name and message. Only an
interrupt or an exit (Ctrl-C, SystemExit) ends the batch.

Ctrl-C (SIGINT) or SIGTERM stops the batch within moments, on the pool as on a local
cluster: the workers, which leave signals to this process, drop their chunks at the next
problem and exit; the problems done so far are counted and written to --output (complete
lines, in batch order, with gaps where chunks were dropped); the exit status is 130
(143 for SIGTERM). Workers whose parent is killed outright exit by themselves.

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
'pytarn[batch]'). Start-up of the pool or the cluster is not timed, by the summary or by
the bar, and both give the same rate: problems over seconds since the timing began.
"Solved" counts the problems whose tree came back, "reached" those of them whose tree
reaches the goal, and "failed" those that came back as an error.

On a real cluster every worker needs tarn installed (and Dask: pip install
'pytarn[cluster]'); this file's functions travel to the workers with the tasks, so
nothing else has to be copied there. The planner holds the interpreter lock while it
runs, so threads within one worker process take turns: start one single-threaded
worker per core, e.g. `dask worker ADDRESS --nworkers 8 --nthreads 1`.
"""

import argparse
import concurrent.futures
import contextlib
import functools
import importlib.util
import json
import math
import multiprocessing
import os
import pickle
import random
import signal
import sys
import threading
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
# progress bar moves and no single task carries much data. Whole trees are tens of
# times the data of paths: their chunks are smaller, so that a stopped batch waits for
# little to finish shipping.
TASKS_PER_WORKER = 4
MAX_CHUNK_SIZE = 1000
MAX_CHUNK_SIZE_WITH_TREES = 100
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


# In a pool worker, the event by which the parent stops the batch (see serve_parent).
pool_stop = None


def pool_stopping():
    return pool_stop is not None and pool_stop.is_set()


def solve_chunk(indexed_problems, keep_tree=False, stopping=pool_stopping):
    """Plan several (index, problem) pairs in one task, so per-task overhead is paid once.

    Once `stopping()` is true the chunk ends at the next problem, with nothing: the batch
    keeps only the chunks that came back before it stopped, and shipping what this one
    did would only make it wait.
    """
    results = []
    for index, problem in indexed_problems:
        if stopping():
            return []
        results.append(solve_or_report(index, problem, keep_tree))
    return results


def chunks(items, size):
    """`items` cut into consecutive lists of at most `size`."""
    return [items[i : i + size] for i in range(0, len(items), size)]


def chunk_size_for(count, workers, keep_trees=False):
    """Problems per task for `count` problems on `workers` single-threaded workers."""
    largest = MAX_CHUNK_SIZE_WITH_TREES if keep_trees else MAX_CHUNK_SIZE
    return max(1, min(largest, math.ceil(count / (workers * TASKS_PER_WORKER))))


def collect(finished, position, solved, progress=None):
    """Keep one chunk's results in `finished` (position of the chunk -> its results)."""
    finished[position] = solved
    if progress:
        progress(len(solved))
    stop_if_signalled()


def in_batch_order(finished):
    """The results of every chunk in `finished`, in batch order: what a stopped batch did."""
    return [result for position in sorted(finished) for result in finished[position]]


def solve_serially(batch, keep_tree=False, progress=None, finished=None):
    """The baseline: every problem in this process, one after another."""
    finished = {} if finished is None else finished
    for index, problem in enumerate(batch):
        collect(finished, index, [solve_or_report(index, problem, keep_tree)], progress)
    return in_batch_order(finished)


def worker_ready(_):
    """A task that only proves a worker process is up."""
    return os.getpid()


class Stopped(KeyboardInterrupt):
    """SIGINT or SIGTERM, raised where the batch is; `status` is the exit status it asks for."""

    def __init__(self, signal_number):
        super().__init__(signal.Signals(signal_number).name)
        self.status = 128 + signal_number


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


# The stop signals received so far (see raise_stopped).
signals_received = []


def raise_stopped(signal_number, _frame):
    signals_received.append(signal_number)
    raise Stopped(signal_number)


def stop_if_signalled():
    """Raise Stopped again for a signal received before, if any.

    A handler's exception is raised wherever the main thread is, which may be a __del__
    method or a callback whose exceptions are only reported: the batch would run on as if
    no signal had come. A check after every chunk and at the end stops it all the same.
    """
    if signals_received:
        raise Stopped(signals_received[0])


@contextlib.contextmanager
def stop_signals(handler):
    """SIGINT and SIGTERM handled by `handler` (SIG_IGN, say) inside the block, as before after it."""
    previous = {number: signal.signal(number, handler) for number in STOP_SIGNALS}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def serve_parent(stop):
    """Pool worker set-up: only the parent ends the batch, and no worker outlives the parent.

    Ctrl-C reaches every process of the terminal's process group. A worker that took it
    could die in the middle of sending a result and leave the pool's reader waiting for
    the rest forever; so workers ignore SIGINT and SIGTERM, and the parent sets `stop`,
    which ends their chunks at the next problem. A worker whose parent is gone without
    ending it (killed by SIGKILL, say) exits.
    """
    global pool_stop
    pool_stop = stop
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_IGN)
    threading.Thread(target=exit_with_parent, daemon=True).start()


def exit_with_parent():
    # The parent's process object, in its child, waits on a pipe that closes when the parent dies.
    multiprocessing.parent_process().join()
    os._exit(1)


@contextlib.contextmanager
def process_pool(workers):
    """A started pool of `workers` processes, stopped within a problem if the block raises.

    Workers are spawned rather than forked: forking a process that runs threads (a
    Dask client, say) is unsafe, and spawn behaves the same on Linux and macOS.
    """
    context = multiprocessing.get_context("spawn")
    stop = context.Event()
    with concurrent.futures.ProcessPoolExecutor(
        workers, context, initializer=serve_parent, initargs=(stop,)
    ) as pool:
        try:
            # Starting the interpreters is not part of the timed work.
            list(pool.map(worker_ready, range(workers)))
            yield pool
        except BaseException:
            # The chunks running end early; their results, like the chunks not started, are dropped.
            with stop_signals(signal.SIG_IGN):
                stop.set()
                pool.shutdown(cancel_futures=True)
            raise


def solve_with_pool(pool, batch, chunk_size, keep_tree=False, progress=None, finished=None):
    """The batch on a process pool; results come back in batch order."""
    finished = {} if finished is None else finished
    tasks = chunks(list(enumerate(batch)), chunk_size)
    futures = {pool.submit(solve_chunk, task, keep_tree): position for position, task in enumerate(tasks)}
    for future in concurrent.futures.as_completed(futures):
        collect(finished, futures[future], future.result(), progress)
    return in_batch_order(finished)


# Run by every worker of a local cluster as it starts (Dask's "preload" takes script text).
IGNORE_STOP_SIGNALS = """
import signal
for number in (signal.SIGINT, signal.SIGTERM):
    signal.signal(number, signal.SIG_IGN)
"""


@contextlib.contextmanager
def dask_client(scheduler=None, workers=None):
    """A Dask client for the scheduler at `scheduler`, or for a LocalCluster started here.

    The local cluster has one single-threaded worker process per core (or `workers`), the
    shape that suits code holding the interpreter lock throughout. Its workers ignore
    SIGINT and SIGTERM, as the pool's do and for the same reason: only this process ends
    them, by closing the cluster, which ends their chunks at the next problem. Dask's
    workers exit by themselves if this process is gone.
    """
    from dask.distributed import Client, LocalCluster

    if scheduler:
        with Client(scheduler) as client:
            yield client
        return
    cluster_options = {"processes": True, "threads_per_worker": 1, "dashboard_address": None}
    cluster_options["preload"] = [IGNORE_STOP_SIGNALS]
    cluster = LocalCluster(n_workers=workers or os.cpu_count(), **cluster_options)
    try:
        with Client(cluster) as client:
            yield client
    finally:
        # Closing takes a moment, which a second Ctrl-C must not cut short.
        with stop_signals(signal.SIG_IGN):
            cluster.close()


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
    from dask.distributed import get_worker
    from distributed.core import Status

    worker = get_worker()

    def closing():
        return worker.status in (Status.closing, Status.closed)

    return pickle.dumps(solve_chunk(pickle.loads(packed_problems), keep_tree, closing))


def solve_with_dask(client, batch, chunk_size, keep_tree=False, progress=None, finished=None):
    """The batch on a Dask cluster, in chunks; results come back in batch order.

    The chunks are scattered to the workers first, so the tasks refer to them by key
    rather than carrying the whole batch in one large task graph.
    """
    from dask.distributed import as_completed

    finished = {} if finished is None else finished
    if not batch:
        return []
    share_code(client)
    packed = [pickle.dumps(chunk) for chunk in chunks(list(enumerate(batch)), chunk_size)]
    futures = client.map(solve_packed_chunk, client.scatter(packed), keep_tree=keep_tree, pure=False)
    position = {future.key: number for number, future in enumerate(futures)}
    for future in as_completed(futures):
        collect(finished, position[future.key], pickle.loads(future.result()), progress)
    return in_batch_order(finished)


@contextlib.contextmanager
def progress_bar(total, shown):
    """A function that advances a progress bar by a number of problems, or None.

    The bar needs tqdm (pip install 'pytarn[batch]'). Its rate is the average since the
    bar started, as the summary's throughput is, rather than tqdm's recent moving average.
    """
    if not shown:
        yield None
        return
    from tqdm import tqdm

    with tqdm(total=total, unit="problem", file=sys.stderr, smoothing=0) as bar:
        yield bar.update


def timed(solve, total, shown, finished):
    """(results, seconds) of solve(progress=..., finished=...), with a progress bar over that time."""
    with progress_bar(total, shown) as progress:
        began = time.perf_counter()
        results = solve(progress=progress, finished=finished)
        return results, time.perf_counter() - began


def report(label, batch, results, seconds):
    """One line: how fast, and what became of the problems."""
    reached = sum(1 for result in results if result.get("reached"))
    failed = sum(1 for result in results if "error" in result)
    rate = len(batch) / seconds if seconds > 0 else 0.0
    print(
        f"{label:<24} {rate:10.1f} problems/s   ({len(batch)} problems in {seconds:.2f} s:"
        f" {len(results) - failed} solved (a tree came back), {reached} of them reaching the goal,"
        f" {failed} failed (an error came back))"
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
    print(f"results written to {path}")


def at_least(lowest):
    """An argparse type: an integer no smaller than `lowest`."""

    def checked(text):
        value = int(text)
        if value < lowest:
            raise argparse.ArgumentTypeError(f"must be at least {lowest}, not {value}")
        return value

    checked.__name__ = "int"  # how argparse names the type when `text` is not a number
    return checked


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="batch.py", description=__doc__.splitlines()[0])
    add = parser.add_argument
    add("--problems", type=at_least(0), default=1000, help="batch size (default 1000)")
    add("--seed", type=int, default=0, help="seed of the batch (default 0)")
    add("--workers", type=at_least(1), help="pool or local-cluster processes (default: one per core)")
    add("--chunk-size", type=at_least(1), help="problems per task (default: a few tasks per worker)")
    add("--keep-trees", action="store_true", help="bring every tree back, not just its path")
    add("--output", metavar="PATH", help="write one JSON line per problem to PATH")
    add("--compare", action="store_true", help="also solve the batch in a plain loop, timed")
    add("--progress", action=argparse.BooleanOptionalAction, default=None,
        help=f"progress bar (default: on a terminal, for {LONG_BATCH} problems or more)")
    add("--dask", action="store_true", help="use Dask instead of a process pool")
    add("--scheduler", metavar="ADDRESS", help="Dask scheduler (implies --dask; default: local)")
    arguments = parser.parse_args(argv)
    arguments.dask = arguments.dask or arguments.scheduler is not None
    if arguments.dask and importlib.util.find_spec("distributed") is None:
        parser.exit(2, "batch.py: --dask needs Dask; install it with: pip install 'pytarn[cluster]'\n")
    asked_for_progress = arguments.progress
    if arguments.progress is None:
        arguments.progress = sys.stderr.isatty() and arguments.problems >= LONG_BATCH
    if arguments.progress and importlib.util.find_spec("tqdm") is None:
        if asked_for_progress:
            print("batch.py: no progress bar without tqdm: pip install 'pytarn[batch]'", file=sys.stderr)
        arguments.progress = False
    return arguments


def solve_in_parallel(arguments, batch, finished):
    """(label, results, seconds) of the batch on the pool or the cluster."""
    def timed_on(solve, engine, workers):
        chunk_size = arguments.chunk_size or chunk_size_for(len(batch), workers, arguments.keep_trees)
        solve = functools.partial(solve, engine, batch, chunk_size, arguments.keep_trees)
        return timed(solve, len(batch), arguments.progress, finished)

    if arguments.dask:
        with dask_client(arguments.scheduler, arguments.workers) as client:
            workers = len(client.nthreads())
            return f"dask ({workers} workers)", *timed_on(solve_with_dask, client, workers)
    workers = arguments.workers or os.cpu_count()
    with process_pool(workers) as pool:
        return f"process pool ({workers} workers)", *timed_on(solve_with_pool, pool, workers)


def run(arguments, finished):
    """The whole batch as the command line asks, filling `finished` as results come back."""
    batch = make_batch(arguments.problems, arguments.seed)
    if arguments.compare:
        solve = functools.partial(solve_serially, batch, arguments.keep_trees)
        report("single process", batch, *timed(solve, len(batch), arguments.progress, finished))
        finished.clear()
    label, results, seconds = solve_in_parallel(arguments, batch, finished)
    stop_if_signalled()
    report(label, batch, results, seconds)
    report_failures(results)
    if arguments.output:
        write_results(arguments.output, results)


def main(argv=None):
    """Run the batch; on SIGINT or SIGTERM, keep what was done and exit with 128 + the signal.

    Whenever the signal comes, the workers are ended, the problems done so far are written
    to --output (in batch order, with gaps where chunks were lost), and further signals are
    ignored while that takes place, so the file holds only complete lines.
    """
    arguments = parse_arguments(argv)
    finished = {}
    try:
        with stop_signals(raise_stopped):
            run(arguments, finished)
    except Stopped as stop:
        with stop_signals(signal.SIG_IGN):
            results = in_batch_order(finished)
            print(f"stopped by {stop}: {len(results)} of {arguments.problems} problems done")
            if arguments.output:
                write_results(arguments.output, results)
        sys.exit(stop.status)


if __name__ == "__main__":
    main()
