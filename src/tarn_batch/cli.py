"""The tarn-batch command: its arguments, its progress bar and its summary."""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import math
import os
import signal
import sys
import time
from dataclasses import dataclass, field
from types import FrameType
from typing import Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence, Tuple

from tarn_batch._imports import load
from tarn_batch.chunks import FAILURES_SHOWN, Job, Outcome, warm_up

PROG = "tarn-batch"
# Batches of at least this many problems show a progress bar (on a terminal).
LONG_BATCH = 2000
# Chunks: a few dozen a batch keep every worker busy to the end while per-chunk costs (a
# file, a task) are paid rarely; whole trees are tens of times the data of paths, so their
# chunks are smaller. The size follows from the command alone, so that the same command
# cuts the same chunks and can resume.
CHUNKS_PER_BATCH = 32
MAX_CHUNK_SIZE = 1000
MAX_CHUNK_SIZE_WITH_TREES = 250


def extra_hint(extra: str) -> str:
    return f"install it with pip install 'pytarn[{extra}]' (from a checkout: pip install '.[{extra}]')"


class Stopped(KeyboardInterrupt):
    """SIGINT or SIGTERM, raised where the client is; `status` is the exit status it asks for."""

    def __init__(self, signal_number: int) -> None:
        super().__init__(signal.Signals(signal_number).name)
        self.status = 128 + signal_number


class WriteFailed(Exception):
    """A chunk's file could not be written; the batch stops with the chunks done so far."""


# The stop signals received so far (see raise_stopped).
signals_received: List[int] = []


def raise_stopped(signal_number: int, _frame: Optional[FrameType]) -> None:
    signals_received.append(signal_number)
    raise Stopped(signal_number)


def stop_if_signalled() -> None:
    """Raise Stopped again for a signal received before, if any.

    A handler's exception is raised wherever the main thread is, which may be a __del__
    method or a callback whose exceptions are only reported: the batch would run on as if
    no signal had come. A check after every chunk and at the end stops it all the same.
    """
    if signals_received:
        raise Stopped(signals_received[0])


@contextlib.contextmanager
def stop_signals() -> Iterator[None]:
    numbers = (signal.SIGINT, signal.SIGTERM)
    previous = {number: signal.signal(number, raise_stopped) for number in numbers}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def at_least(lowest: int) -> Callable[[str], int]:
    """An argparse type: an integer no smaller than `lowest`."""

    def checked(text: str) -> int:
        value = int(text)
        if value < lowest:
            raise argparse.ArgumentTypeError(f"must be at least {lowest}, not {value}")
        return value

    checked.__name__ = "int"  # how argparse names the type when `text` is not a number
    return checked


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Solve many planning problems and write them as a dataset: one Parquet"
        " (or JSON Lines) file per chunk, written by the workers, resumable.")
    add = parser.add_argument
    add("--output", "-o", metavar="FOLDER", required=True,
        help="the dataset's folder: a local path or an fsspec URL (s3://bucket/prefix)")
    add("--problems", type=at_least(0), default=1000, help="random problems to solve (default 1000)")
    add("--seed", type=int, default=0, help="seed of the random problems (default 0)")
    add("--input", metavar="FILE", help="solve the problems of FILE (.parquet or .jsonl) instead")
    add("--keep-trees", action="store_true", help="also write every tree's nodes and parents")
    add("--format", choices=("parquet", "jsonl"), default="parquet", help="file format (default parquet)")
    add("--chunk-size", type=at_least(1), help="problems per file (default: from the problem count)")
    add("--workers", type=at_least(1), help="pool or local-cluster processes (default: one per core)")
    add("--serial", action="store_true", help="solve in this process, without workers")
    add("--dask", action="store_true", help="use Dask instead of a process pool")
    add("--scheduler", metavar="ADDRESS", help="Dask scheduler (implies --dask; default: a local cluster)")
    add("--progress", action=argparse.BooleanOptionalAction,
        default=None, help=f"progress bar (default: on a terminal, for {LONG_BATCH} problems or more)")
    arguments = parser.parse_args(argv)
    arguments.dask = arguments.dask or arguments.scheduler is not None
    for module in ("pyarrow", "fsspec"):
        if importlib.util.find_spec(module) is None:
            parser.exit(2, f"{PROG}: needs {module}; {extra_hint('batch')}\n")
    if arguments.dask and importlib.util.find_spec("distributed") is None:
        parser.exit(2, f"{PROG}: --dask needs Dask; {extra_hint('cluster')}\n")
    if arguments.dask and arguments.serial:
        parser.error("--serial and --dask exclude each other")
    return arguments


def largest_chunk(keep_trees: bool) -> int:
    return MAX_CHUNK_SIZE_WITH_TREES if keep_trees else MAX_CHUNK_SIZE


def default_chunk_size(problems: int, keep_trees: bool) -> int:
    return max(1, min(largest_chunk(keep_trees), math.ceil(problems / CHUNKS_PER_BATCH)))


def tarn_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("pytarn")
    except PackageNotFoundError:
        return "unknown"


@dataclass
class Plan:
    """The batch as the command line asks for it."""

    problems: int
    chunk_size: int
    manifest: Dict[str, Any]
    input_offsets: List[int] = field(default_factory=list)

    @property
    def chunks(self) -> int:
        return -(-self.problems // self.chunk_size)


def make_plan(arguments: argparse.Namespace) -> Plan:
    """Count the problems and cut the chunks; an input that cannot be read exits with status 2."""
    from tarn_batch.dataset import schema_description
    from tarn_batch.problems import input_kind, jsonl_chunk_offsets, parquet_rows

    input_url: Optional[str] = None
    input_format: Optional[str] = None
    offsets: List[int] = []
    problems = arguments.problems
    input_bytes: Optional[int] = None
    if arguments.input is not None:
        input_url = arguments.input
        if "://" not in input_url:
            input_url = os.path.abspath(input_url)
        try:
            input_format = input_kind(input_url)
            fsspec = load("fsspec")

            fs, path = fsspec.core.url_to_fs(input_url)
            input_bytes = int(fs.size(path))
            if input_format == "parquet":
                problems = parquet_rows(input_url)
            else:
                # Its lines are counted as its chunks are found, so their size cannot follow from the count.
                chunk_size = arguments.chunk_size or largest_chunk(arguments.keep_trees)
                problems, offsets = jsonl_chunk_offsets(input_url, chunk_size)
        except Exception as error:  # noqa: BLE001 - any reason the input cannot be read is one line
            fail(2, f"cannot read the input {arguments.input}: {error}")
    chunk_size = arguments.chunk_size or (
        largest_chunk(arguments.keep_trees) if input_format == "jsonl"
        else default_chunk_size(problems, arguments.keep_trees))
    parameters = {
        "problems": problems,
        "seed": None if input_url else arguments.seed,
        "input": input_url,
        "input_bytes": input_bytes,
        "input_format": input_format,
        "chunk_size": chunk_size,
        "format": arguments.format,
        "keep_trees": arguments.keep_trees,
    }
    manifest = {
        "tool": PROG,
        "tarn_version": tarn_version(),
        "parameters": parameters,
        "chunks": -(-problems // chunk_size),
        "files": f"part-NNNNNN.{arguments.format}, one per chunk: rows chunk * chunk_size onwards",
        "schema": schema_description(arguments.keep_trees),
    }
    return Plan(problems, chunk_size, manifest, offsets)


def fail(status: int, message: str) -> NoReturn:
    print(f"{PROG}: {message}", file=sys.stderr)
    sys.exit(status)


@dataclass
class Tally:
    """What this run solved so far."""

    problems: int = 0
    reached: int = 0
    failed: int = 0
    chunks: int = 0
    failures: List[Tuple[int, str, str]] = field(default_factory=list)


def jobs_of(arguments: argparse.Namespace, plan: Plan, done: bytearray) -> Iterator[Job]:
    """The jobs of the chunks whose files are not there, made one at a time."""
    parameters = plan.manifest["parameters"]
    for number in range(plan.chunks):
        if done[number]:
            continue
        first = number * plan.chunk_size
        yield Job(number=number, first=first, stop=min(first + plan.chunk_size, plan.problems),
                  output=arguments.output, file_format=arguments.format, keep_trees=arguments.keep_trees,
                  seed=parameters["seed"], input=parameters["input"], input_format=parameters["input_format"],
                  input_offset=plan.input_offsets[number] if plan.input_offsets else 0)


@contextlib.contextmanager
def progress_bar(total: int, initial: int, shown: bool) -> Iterator[Optional[Callable[[int], Any]]]:
    """A function that advances a progress bar by a number of problems, or None.

    Its rate is the average since the bar started, as the summary's is, rather than tqdm's
    recent moving average.
    """
    if not shown:
        yield None
        return
    tqdm = load("tqdm").tqdm

    with tqdm(total=total, initial=initial, unit="problem", file=sys.stderr, smoothing=0) as bar:
        yield bar.update


def human_bytes(count: float) -> str:
    for unit in ("bytes", "KB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1000
    return f"{count:.1f} TB"  # pragma: no cover - the loop returns


def report(label: str, tally: Tally, seconds: float) -> None:
    """One line: how fast, and what became of the problems of this run."""
    rate = tally.problems / seconds if seconds > 0 else 0.0
    solved = tally.problems - tally.failed
    print(f"{label:<24} {rate:10.1f} problems/s   ({tally.problems} problems in {seconds:.2f} s:"
          f" {solved} solved (a tree came back), {tally.reached} of them reaching the goal,"
          f" {tally.failed} failed (an error came back))")
    for index, kind, message in tally.failures:
        print(f"  problem {index}: {kind}: {message}")
    if tally.failed > len(tally.failures):
        print(f"  ... and {tally.failed - len(tally.failures)} more (rows with an error_type in the dataset)")


def run(arguments: argparse.Namespace) -> int:
    from tarn_batch import engines
    from tarn_batch.dataset import Refused, check, chunks_on_disk, prepare

    plan = make_plan(arguments)
    try:
        folder = prepare(arguments.output, plan.manifest, plan.chunks)
    except Refused as refusal:
        fail(2, str(refusal))
    already = sum(folder.done)
    already_problems = sum(min(plan.chunk_size, plan.problems - number * plan.chunk_size)
                           for number in range(plan.chunks) if folder.done[number])
    shown = arguments.progress
    if shown is None:
        shown = sys.stderr.isatty() and plan.problems >= LONG_BATCH
    if shown and importlib.util.find_spec("tqdm") is None:
        if arguments.progress:
            print(f"{PROG}: no progress bar without tqdm; {extra_hint('batch')}", file=sys.stderr)
        shown = False
    if already:
        print(f"resuming {arguments.output}: {already} of {plan.chunks} chunks are there already")
    tally = Tally()
    lost: List[int] = []
    label = "single process"
    seconds = 0.0
    try:
        with contextlib.ExitStack() as stack:
            # No pool or cluster is started when every chunk is there already.
            engine = "serial" if arguments.serial or already == plan.chunks else "dask" if arguments.dask else "pool"
            if engine == "dask":
                client = stack.enter_context(engines.dask_client(arguments.scheduler, arguments.workers))
                workers = len(client.nthreads())
                client.run(warm_up, arguments.output)
                label = f"dask ({workers} workers)"
            elif engine == "pool":
                workers = arguments.workers or os.cpu_count() or 1
                pool = stack.enter_context(engines.process_pool(workers, arguments.output))
                label = f"process pool ({workers} workers)"
            elif already < plan.chunks:
                warm_up(arguments.output)
            else:
                label = "nothing left to solve"
            progress = stack.enter_context(progress_bar(plan.problems, already_problems, shown))

            def on_outcome(outcome: Outcome) -> None:
                if outcome.write_error is not None:
                    raise WriteFailed(outcome.write_error)
                if outcome.stopped:
                    return
                folder.done[outcome.number] = 1
                tally.chunks += 1
                tally.problems += outcome.problems
                tally.reached += outcome.reached
                tally.failed += outcome.failed
                room = FAILURES_SHOWN - len(tally.failures)
                tally.failures += outcome.failures[:max(0, room)]
                if progress:
                    progress(outcome.problems)
                stop_if_signalled()

            jobs = jobs_of(arguments, plan, folder.done)
            began = time.perf_counter()
            try:
                if engine == "dask":
                    lost = engines.dask_run(client, workers, jobs, on_outcome)
                elif engine == "serial":
                    engines.serial(jobs, on_outcome)
                else:
                    lost = pool.run(jobs, on_outcome)
            finally:
                seconds = time.perf_counter() - began
        stop_if_signalled()
    except Stopped as stop:
        with engines.ignoring_stop_signals():
            on_disk = already + tally.chunks
            with contextlib.suppress(OSError):
                on_disk = chunks_on_disk(folder, plan.chunks, arguments.format)
            print(f"stopped by {stop}: {tally.problems} of {plan.problems} problems done in this run;"
                  f" {on_disk} of {plan.chunks} chunks are in {arguments.output}:"
                  f" run the same command again to resume")
        return stop.status
    except WriteFailed as failure:
        print(f"{PROG}: {failure} ({already + tally.chunks} of {plan.chunks} chunks are in"
              f" {arguments.output}; run the same command again to resume)", file=sys.stderr)
        return 1
    report(label, tally, seconds)
    if lost:
        print(f"  chunks given up on, their workers having died {engines.ATTEMPTS} times:"
              f" {', '.join(map(str, lost[:10]))}{' ...' if len(lost) > 10 else ''}")
    result = check(folder, plan.chunk_size, plan.problems, arguments.format)
    kind = "Parquet" if arguments.format == "parquet" else "JSON Lines"
    per_problem = f" ({human_bytes(result.bytes / result.rows)} a problem)" if result.rows else ""
    print(f"dataset: {arguments.output}: {result.files} {kind} files, {human_bytes(result.bytes)}{per_problem},"
          f" {result.rows} rows ({result.reached} reaching the goal, {result.failed} failed)")
    if result.whole:
        if plan.problems:
            print(f"checked: every index from 0 to {plan.problems - 1} appears exactly once")
        else:
            print("checked: the batch is empty")
        return 0
    if result.bad is not None:
        print(f"{PROG}: {result.bad} does not hold exactly its chunk's indices", file=sys.stderr)
    else:
        print(f"{PROG}: {result.missing_chunks} of {plan.chunks} chunks are missing; run the same command"
              f" again to solve them", file=sys.stderr)
    return 1


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Build the dataset; on SIGINT or SIGTERM, keep the finished chunks and exit with 128 + the signal."""
    arguments = parse_arguments(argv)
    try:
        with stop_signals():
            status = run(arguments)
    except Stopped as stop:
        status = stop.status
    except OSError as error:
        with contextlib.suppress(Exception):
            print(f"{PROG}: {error}", file=sys.stderr)
        status = 1
    sys.stdout.flush()
    return status
