# batch.py: the batch tool tarn-batch timed beside the batch example it replaced, in one run.
"""Throughput, bytes per tree and client memory of tarn-batch and of the earlier batch example.

The earlier example (examples/batch.py at the commit given by --baseline, read from git into
a temporary folder, never kept) and tarn-batch solve the same problems: the example's own,
made by its seeded generator, which tarn-batch reads from a Parquet file. Each is run as a
command, on one process, on a pool of 2 workers and on a LocalCluster of 2 workers, with paths
only and with whole trees (--keep-trees); each figure is the median of --repeats runs, as the
tools report it (problems over the seconds since the pool or cluster was up). The example
leaves its JSON Lines file until the end, untimed; tarn-batch's workers write as they go.

Then bytes per tree on disk (the example's JSON Lines against tarn-batch's Parquet), and the
client's peak resident memory (its own, not its workers') with paths on the pool, for both
tools at --problems and, with --rss-problems, for tarn-batch at larger counts.

    python benchmarks/batch.py                         # a few minutes on 2 cores
    python benchmarks/batch.py --rss-problems 100000,1000000
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ENGINES = {"single process": [], "pool, 2 workers": ["--workers", "2"],
           "LocalCluster, 2 workers": ["--dask", "--workers", "2"]}
RATE = re.compile(r"^(.+?)\s+(\d+(?:\.\d+)?) problems/s", re.M)
# Runs a tool's main in this interpreter and reports the process's own peak RSS in KiB: the
# high-water mark of its address space where Linux tells it (ru_maxrss would also count this
# benchmark's own memory, inherited at the fork before exec), ru_maxrss elsewhere.
MEASURED = """
import re, resource, runpy, sys
sys.argv = sys.argv[1:]
status = 0
try:
    if sys.argv[0] == "-m":
        sys.argv = sys.argv[1:]
        runpy.run_module(sys.argv[0], run_name="__main__")
    else:
        runpy.run_path(sys.argv[0], run_name="__main__")
except SystemExit as exit:
    status = exit.code or 0
try:
    with open("/proc/self/status") as status_file:
        peak = int(re.search(r"VmHWM:\\s+(\\d+) kB", status_file.read())[1])
except OSError:
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print("client peak RSS KiB", peak)
sys.exit(status)
"""


def run(command, **options):
    completed = subprocess.run(command, capture_output=True, text=True, **options)
    if completed.returncode != 0:
        sys.exit(f"{' '.join(map(str, command))} failed:\n{completed.stdout}{completed.stderr}")
    return completed.stdout


def old_rates(old, engine, problems, keep_trees, output=None):
    """{engine label: problems/s} of the earlier example; on one process and the pool together."""
    command = [sys.executable, old, "--problems", str(problems), "--seed", "0", "--no-progress"]
    command += ["--keep-trees"] * keep_trees + (["--output", str(output)] if output else [])
    if engine == "single process":
        command += ["--compare", "--workers", "2"]
    else:
        command += ENGINES[engine]
    return {label: float(rate) for label, rate in RATE.findall(run(command))}


def new_rate(engine, problems_file, keep_trees, folder):
    shutil.rmtree(folder, ignore_errors=True)
    command = [sys.executable, "-m", "tarn_batch", "--input", str(problems_file), "--output", str(folder),
               "--no-progress", *(["--keep-trees"] * keep_trees), *(ENGINES[engine] or ["--serial"])]
    return float(RATE.search(run(command))[2])


def peak_rss(command):
    output = run([sys.executable, "-c", MEASURED, *command])
    return int(re.search(r"client peak RSS KiB (\d+)", output)[1]) / 1024


def folder_bytes(folder):
    return sum(path.stat().st_size for path in Path(folder).glob("part-*"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--problems", type=int, default=4000, help="problems of the runs with paths only")
    parser.add_argument("--tree-problems", type=int, default=2000, help="problems of the runs with trees")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--baseline", default="b99e428", help="the commit of the earlier example")
    parser.add_argument("--rss-problems", default="", help="counts (comma-separated) for tarn-batch's RSS")
    arguments = parser.parse_args()
    import pyarrow as pa
    import pyarrow.parquet as pq

    work = Path(tempfile.mkdtemp(prefix="tarn-batch-bench-"))
    try:
        old = work / "batch_example.py"
        old.write_text(run(["git", "-C", str(ROOT), "show", f"{arguments.baseline}:examples/batch.py"]))
        sys.path.insert(0, str(work))
        import batch_example

        files = {}
        for count in {arguments.problems, arguments.tree_problems}:
            files[count] = work / f"problems-{count}.parquet"
            pq.write_table(pa.Table.from_pylist(batch_example.make_batch(count, seed=0)), files[count])

        print(f"load average before: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores", file=sys.stderr)
        table = {}
        for keep_trees, count in ((False, arguments.problems), (True, arguments.tree_problems)):
            for engine in ENGINES:
                olds, news = [], []
                for repeat in range(arguments.repeats):
                    if engine != "pool, 2 workers":  # the pool's figure comes with the single process's
                        rates = old_rates(str(old), engine, count, keep_trees)
                        if engine == "single process":
                            table.setdefault((keep_trees, "pool, 2 workers"), ([], []))[0].append(
                                next(rate for label, rate in rates.items() if label.startswith("process pool")))
                        olds.append(next(iter(rates.values())))
                    news.append(new_rate(engine, files[count], keep_trees, work / "dataset"))
                    print(f"  {engine}, {'trees' if keep_trees else 'paths'}: {repeat + 1}", file=sys.stderr)
                slot = table.setdefault((keep_trees, engine), ([], []))
                slot[0].extend(olds)
                slot[1].extend(news)

        print(f"\nproblems/s, medians of {arguments.repeats} runs ({arguments.problems} problems with paths only,"
              f" {arguments.tree_problems} with trees; load average {os.getloadavg()[0]:.1f} on"
              f" {os.cpu_count()} cores at the end)\n")
        print("| engine | paths: earlier example | paths: tarn-batch | trees: earlier example | trees: tarn-batch"
              " | trees: tarn-batch / example |")
        print("|---|---:|---:|---:|---:|---:|")
        medians = {key: (statistics.median(olds), statistics.median(news)) for key, (olds, news) in table.items()}
        for engine in ENGINES:
            (old_paths, new_paths), (old_trees, new_trees) = medians[(False, engine)], medians[(True, engine)]
            print(f"| {engine} | {old_paths:.0f} | {new_paths:.0f} | {old_trees:.0f} | {new_trees:.0f}"
                  f" | {new_trees / old_trees:.1f}x |")

        count = arguments.tree_problems
        json_file = work / "trees.jsonl"
        old_rates(str(old), "single process", count, True, output=json_file)
        json_bytes = json_file.stat().st_size / count
        new_rate("pool, 2 workers", files[count], True, work / "dataset")
        parquet_bytes = folder_bytes(work / "dataset") / count
        print(f"\nbytes per tree on disk ({count} trees): JSON Lines {json_bytes:,.0f}, Parquet {parquet_bytes:,.0f}"
              f" ({parquet_bytes / json_bytes:.2f} of JSON)")

        count = arguments.problems
        old_rss = peak_rss([str(old), "--problems", str(count), "--workers", "2", "--no-progress",
                            "--output", str(work / "paths.jsonl")])
        shutil.rmtree(work / "dataset", ignore_errors=True)
        new_rss = peak_rss(["-m", "tarn_batch", "--problems", str(count), "--workers", "2", "--no-progress",
                            "--output", str(work / "dataset")])
        print(f"\nclient peak RSS, paths on the pool, {count} problems: earlier example {old_rss:.0f} MiB,"
              f" tarn-batch {new_rss:.0f} MiB")
        for large in filter(None, arguments.rss_problems.split(",")):
            shutil.rmtree(work / "dataset", ignore_errors=True)
            rss = peak_rss(["-m", "tarn_batch", "--problems", str(int(float(large))), "--workers", "2",
                            "--no-progress", "--output", str(work / "dataset")])
            print(f"client peak RSS, tarn-batch, paths on the pool, {int(float(large))} problems: {rss:.0f} MiB")

        paths = medians[(False, "pool, 2 workers")][1] / medians[(False, "single process")][1]
        trees = min(medians[(True, engine)][1] / medians[(True, engine)][0] for engine in ENGINES)
        print("\ntargets:")
        print(f"  pool of 2 / one process, paths, tarn-batch: {paths:.2f}x (target 1.7x)")
        print(f"  trees, tarn-batch / earlier example, lowest over the engines: {trees:.1f}x (target 5x)")
        print(f"  Parquet / JSON bytes per tree: {parquet_bytes / json_bytes:.2f} (target 0.5 at most)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
