"""tarn-batch: many planning problems solved into a dataset, on a process pool or a Dask cluster.

Run it as `tarn-batch --output FOLDER` or `python -m tarn_batch --output FOLDER`; `--help`
lists the options. Problem `i` of `--problems N --seed S` is made from `(S, i)` alone by the
worker that solves it, or read from `--input` (Parquet or JSON Lines). Every worker writes the
rows of its chunks itself, one Parquet (or JSON Lines) file per chunk, so the client holds only
the bookkeeping of the chunks; rerunning the same command solves only the chunks missing.
"""

from tarn_batch.chunks import Job, Outcome, solve, solve_chunk
from tarn_batch.cli import main
from tarn_batch.dataset import schema
from tarn_batch.problems import random_problem

__all__ = ["Job", "Outcome", "main", "random_problem", "schema", "solve", "solve_chunk"]
