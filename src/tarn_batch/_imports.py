"""Third-party modules, loaded where they are needed."""

from __future__ import annotations

import importlib
from typing import Any


def load(name: str) -> Any:
    """Module `name`, typed as Any: pyarrow, fsspec, tqdm and Dask carry no complete type
    information, and the tool's own code stays checked strictly without it."""
    return importlib.import_module(name)
