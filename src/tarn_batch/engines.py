"""Where the chunks run: in this process, on a pool of worker processes, or on a Dask cluster.

Each engine takes the jobs one by one from an iterator and hands every outcome to a callback
as it comes, keeping only a few jobs in flight, so the client holds the bookkeeping of a few
chunks whatever the size of the batch. Workers write the chunks' files themselves.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import multiprocessing.connection
import os
import signal
import threading
import time
from collections import deque
from typing import Any, Callable, Deque, Dict, Iterator, List, Optional

from tarn_batch._imports import load

from tarn_batch.chunks import Job, Outcome, solve_chunk, warm_up

# Jobs in flight per worker: one running and one waiting, so no worker idles between chunks.
IN_FLIGHT_PER_WORKER = 2
# A chunk whose worker dies this many times is given up (the rest of the batch goes on).
ATTEMPTS = 3
# How long a stopped pool waits for its workers to finish the file they may be writing.
STOP_GRACE_SECONDS = 1.5

OnOutcome = Callable[[Outcome], None]


def serial(jobs: Iterator[Job], on_outcome: OnOutcome) -> None:
    """Every chunk in this process, one after another: the baseline (warmed up beforehand)."""
    for job in jobs:
        on_outcome(solve_chunk(job))


# In a pool worker, the event by which the client stops the batch.
_pool_stop: Optional[Any] = None


def _pool_stopping() -> bool:
    return _pool_stop is not None and _pool_stop.is_set()


def _exit_with_parent() -> None:
    # The parent's process object, in its child, waits on a pipe that closes when the parent dies.
    parent = multiprocessing.parent_process()
    if parent is not None:
        parent.join()
    os._exit(1)


def _pool_worker(connection: multiprocessing.connection.Connection, stop: Any, output: str) -> None:
    """A pool worker: solve the jobs the client sends until it closes the connection.

    Ctrl-C reaches every process of the terminal's process group; only the client decides
    when the batch ends, so workers ignore SIGINT and SIGTERM, and the client sets `stop`,
    which ends their chunks at the next problem. A worker whose client is gone without
    ending it (killed by SIGKILL, say) exits.
    """
    global _pool_stop
    _pool_stop = stop
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, signal.SIG_IGN)
    threading.Thread(target=_exit_with_parent, daemon=True).start()
    connection.send(warm_up(output))
    while True:
        try:
            job = connection.recv()
        except (EOFError, OSError):
            return
        outcome = solve_chunk(job, _pool_stopping)
        try:
            connection.send(outcome)
        except (BrokenPipeError, OSError):
            return


class _Worker:
    def __init__(self, context: Any, stop: Any, output: str) -> None:
        self.connection, child_end = context.Pipe()
        self.process = context.Process(target=_pool_worker, args=(child_end, stop, output), daemon=True)
        self.process.start()
        child_end.close()
        self.jobs: Deque[Job] = deque()  # sent, in the order they come back
        self.ready = False


class Pool:
    """Worker processes, each fed its jobs over its own pipe.

    A worker that dies (killed outright, say) costs only the chunk it was solving: that chunk
    is sent again, to a new worker started in its place. Workers are spawned rather than
    forked: forking a process that runs threads is unsafe, and spawn behaves the same on
    Linux and macOS.
    """

    def __init__(self, workers: int, output: str) -> None:
        self.context = multiprocessing.get_context("spawn")
        self.stop = self.context.Event()
        self.output = output
        self.workers: List[_Worker] = []
        for _ in range(workers):
            self.workers.append(_Worker(self.context, self.stop, output))
        # Starting the interpreters is not part of the timed work.
        for worker in self.workers:
            self._wait_ready(worker)

    def _wait_ready(self, worker: _Worker) -> None:
        while not worker.ready:
            ready = multiprocessing.connection.wait([worker.connection, worker.process.sentinel])
            if worker.connection in ready:
                try:
                    worker.connection.recv()
                    worker.ready = True
                    return
                except (EOFError, OSError):
                    pass
            raise RuntimeError("a worker process exited as it started")

    def run(self, jobs: Iterator[Job], on_outcome: OnOutcome) -> List[int]:
        """Solve every job; returns the numbers of the chunks given up on.

        Every worker has IN_FLIGHT_PER_WORKER jobs sent ahead, so that it starts its next
        chunk without waiting for this process to answer; they come back in order.
        """
        retry: Deque[Job] = deque()
        attempts: Dict[int, int] = {}
        lost: List[int] = []
        exhausted = False

        def next_job() -> Optional[Job]:
            nonlocal exhausted
            if retry:
                return retry.popleft()
            if exhausted:
                return None
            job = next(jobs, None)
            exhausted = job is None
            return job

        while True:
            for worker in self.workers:
                while len(worker.jobs) < IN_FLIGHT_PER_WORKER:
                    job = next_job()
                    if job is None:
                        break
                    worker.jobs.append(job)
                    worker.connection.send(job)
            busy = [worker for worker in self.workers if worker.jobs]
            if not busy:
                return lost
            waited: List[Any] = [worker.connection for worker in busy] + [worker.process.sentinel for worker in busy]
            ready = set(multiprocessing.connection.wait(waited))
            for position, worker in enumerate(self.workers):
                if not worker.jobs or not (worker.connection in ready or worker.process.sentinel in ready):
                    continue
                outcome: Optional[Outcome] = None
                try:
                    if worker.connection.poll():
                        outcome = worker.connection.recv()
                except (EOFError, OSError):
                    outcome = None
                if outcome is not None:
                    worker.jobs.popleft()
                    on_outcome(outcome)
                    continue
                # The worker died with its chunk: start another in its place, and send the
                # chunk again, with those sent ahead of it.
                worker.process.join()
                worker.connection.close()
                job = worker.jobs.popleft()
                attempts[job.number] = attempts.get(job.number, 0) + 1
                if attempts[job.number] < ATTEMPTS:
                    retry.append(job)
                else:
                    lost.append(job.number)
                retry.extend(worker.jobs)
                replacement = _Worker(self.context, self.stop, self.output)
                self._wait_ready(replacement)
                self.workers[position] = replacement

    def close(self, stopping: bool) -> None:
        """End the workers: at once when stopping (their chunks end at the next problem)."""
        if stopping:
            self.stop.set()
        for worker in self.workers:
            worker.connection.close()
        deadline = time.monotonic() + (STOP_GRACE_SECONDS if stopping else 60.0)
        for worker in self.workers:
            worker.process.join(max(0.0, deadline - time.monotonic()))
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()


@contextlib.contextmanager
def process_pool(workers: int, output: str) -> Iterator[Pool]:
    """A started pool, whose workers are ended within a problem if the block raises."""
    with ignoring_stop_signals():
        pool = Pool(workers, output)
    try:
        yield pool
    except BaseException:
        with ignoring_stop_signals():
            pool.close(stopping=True)
        raise
    with ignoring_stop_signals():
        pool.close(stopping=False)


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


@contextlib.contextmanager
def ignoring_stop_signals() -> Iterator[None]:
    """SIGINT and SIGTERM ignored inside the block (so clean-up is not cut short)."""
    previous = {number: signal.signal(number, signal.SIG_IGN) for number in STOP_SIGNALS}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


# Run by every worker of a local cluster as it starts (Dask's "preload" takes script text).
# Its workers leave signals to this process, as the pool's do and for the same reason; a
# task cancelled as the cluster closes is not worth a warning, since the tool says what
# was done and how to resume.
LOCAL_WORKER_PRELOAD = """
import logging, signal
for number in (signal.SIGINT, signal.SIGTERM):
    signal.signal(number, signal.SIG_IGN)
class _NoCancelled(logging.Filter):
    def filter(self, record):
        return "CancelledError" not in record.getMessage()
for name in ("distributed.worker", "distributed.worker.state_machine", "distributed.core"):
    logging.getLogger(name).addFilter(_NoCancelled())
"""


@contextlib.contextmanager
def dask_client(scheduler: Optional[str], workers: Optional[int]) -> Iterator[Any]:
    """A Dask client for the scheduler at `scheduler`, or for a LocalCluster started here.

    The local cluster has one single-threaded worker process per core (or `workers`), the
    shape that suits code holding the interpreter lock throughout. Dask's workers exit by
    themselves if this process is gone, and a task whose worker died is run again elsewhere.
    """
    distributed = load("distributed")
    Client, LocalCluster = distributed.Client, distributed.LocalCluster

    if scheduler:
        with Client(scheduler) as client:
            yield client
        return
    with ignoring_stop_signals():
        cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1, processes=True, threads_per_worker=1,
                               dashboard_address=":0", preload=[LOCAL_WORKER_PRELOAD])
        client = Client(cluster)
    try:
        yield client
    finally:
        # Closing takes a moment, which a second Ctrl-C must not cut short.
        with ignoring_stop_signals():
            client.close()
            cluster.close()


def solve_chunk_on_dask(job: Job) -> Outcome:
    """solve_chunk on a Dask worker, ending at the next problem once the worker is closing."""
    get_worker = load("distributed").get_worker
    Status = load("distributed.core").Status

    worker = get_worker()

    def closing() -> bool:
        return worker.status in (Status.closing, Status.closed, Status.closing_gracefully)

    return solve_chunk(job, closing)


def dask_run(client: Any, workers: int, jobs: Iterator[Job], on_outcome: OnOutcome) -> List[int]:
    """Solve every job on the cluster; returns the numbers of the chunks given up on.

    Dask runs a task again when its worker dies, a few times; a task that still fails is
    given up on.
    """
    as_completed = load("distributed").as_completed

    window = max(1, workers) * IN_FLIGHT_PER_WORKER
    lost: List[int] = []
    numbers: Dict[str, int] = {}
    token = os.urandom(4).hex()

    def submit(job: Job) -> Any:
        future = client.submit(solve_chunk_on_dask, job, key=f"tarn-batch-{token}-{job.number}", pure=False)
        numbers[future.key] = job.number
        return future

    # Only the futures in flight are held: a finished one kept would make Dask solve its
    # chunk again, rewriting its file, should the worker holding the result die.
    running = as_completed([submit(job) for _, job in zip(range(window), jobs)])
    try:
        for future in running:
            try:
                outcome = future.result()
            except Exception:  # noqa: BLE001 - a task given up on (KilledWorker) costs its chunk
                lost.append(numbers[future.key])
            else:
                on_outcome(outcome)
            del numbers[future.key]
            future.release()
            del future
            job = next(jobs, None)
            if job is not None:
                running.add(submit(job))
    except BaseException:
        with ignoring_stop_signals():
            client.cancel(list(running.futures))
        raise
    return lost
