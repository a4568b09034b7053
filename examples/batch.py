"""batch.py: the batch tool from a checkout; the same as `tarn-batch` and `python -m tarn_batch`.

    python examples/batch.py --output dataset --problems 20000       # on a process pool
    python examples/batch.py --output dataset --problems 20000 --dask

The tool is the package tarn_batch, installed with tarn (pip install 'pytarn[batch]'; from
a checkout: pip install '.[batch]'); --help lists its options.
"""

from tarn_batch.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
