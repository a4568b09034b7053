"""python -m tarn_batch: the same as the tarn-batch command."""

from tarn_batch.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
