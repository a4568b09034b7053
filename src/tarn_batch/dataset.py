"""The dataset on disk: its folder, its schema, its manifest and the check that it is whole.

A dataset is a folder (a local path or any fsspec URL) of one file per chunk, part-000123.parquet
or .jsonl, and `_manifest.json`, which records the command's parameters, tarn's version and the
schema. Dataset readers skip names that begin with `_` or `.`, so the folder reads as one
dataset; the temporary names of files being written begin with `.`.
"""

from __future__ import annotations

import json
import re
import uuid
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

from tarn_batch._imports import load
from tarn_batch.chunks import part_name

MANIFEST = "_manifest.json"
PART = re.compile(r"part-(\d+)\.(parquet|jsonl)\Z")
TEMPORARY = re.compile(r"\.part-\d+\.(parquet|jsonl)\.[0-9a-f]+\.tmp\Z")


class Refused(Exception):
    """An output the tool will not write to, said in one line; the exit status is 2."""


def filesystem(url: str) -> Tuple[Any, str]:
    """(fsspec file system, path in it) of a folder given as a local path or a URL."""
    url_to_fs = load("fsspec.core").url_to_fs

    fs, path = url_to_fs(url)
    return fs, str(path).rstrip("/") or "/"


def schema(keep_trees: bool) -> Any:
    """The columns of every row (a pyarrow.Schema); a column that does not apply to a row is null there."""
    pa = load("pyarrow")

    point = pa.list_(pa.float64())
    points = pa.list_(point)
    fields = [
        pa.field("index", pa.int64(), nullable=False),
        pa.field("start", point),
        pa.field("goal", point),
        pa.field("boundaries", point),
        pa.field("obstacles", points),
        pa.field("step_size", pa.float64()),
        pa.field("max_iterations", pa.int64()),
        pa.field("reached", pa.bool_()),
        pa.field("node_count", pa.int64()),
        pa.field("path", points),
        pa.field("error_type", pa.string()),
        pa.field("error_message", pa.string()),
    ]
    if keep_trees:
        fields += [pa.field("nodes", points), pa.field("parents", pa.list_(pa.int64()))]
    return pa.schema(fields)


def schema_description(keep_trees: bool) -> List[Dict[str, Any]]:
    return [{"name": field.name, "type": str(field.type), "nullable": field.nullable}
            for field in schema(keep_trees)]


@dataclass
class Folder:
    """The dataset's folder, ready for writing: which chunks are done already."""

    fs: Any
    path: str
    done: bytearray  # 1 for every chunk whose file is there
    resumed: bool


def prepare(url: str, manifest: Dict[str, Any], chunks: int) -> Folder:
    """Check that `url` can take this dataset, before any planning, and say what is done.

    A new or empty folder gets the manifest. A folder with the manifest of the same
    parameters is resumed: only the chunks whose files are missing are solved. Anything
    else is refused with a Refused naming the reason: a file where the folder should be, a
    folder that cannot be written, one holding something else, or a dataset of other
    parameters. Nothing there is overwritten, and files left half-written by a killed run
    (their names begin with a dot) are removed.
    """
    try:
        fs, path = filesystem(url)
    except (ImportError, ValueError) as error:
        raise Refused(f"cannot use {url} as the output: {error}") from error
    try:
        if fs.exists(path) and not fs.isdir(path):
            raise Refused(f"cannot write the dataset to {url}: it is a file, not a folder")
        fs.makedirs(path, exist_ok=True)
        names = [entry.rsplit("/", 1)[-1] for entry in fs.ls(path, detail=False)]
        manifest_path = f"{path}/{MANIFEST}"
        resumed = MANIFEST in names
        if resumed:
            with fs.open(manifest_path, "rb") as stream:
                existing = json.loads(stream.read())
            differences = mismatches(existing, manifest)
            if differences:
                raise Refused(
                    f"{url} holds a dataset made with other parameters ({'; '.join(differences)}):"
                    " give another --output, or the same parameters to resume it")
            probe = f"{path}/.probe-{uuid.uuid4().hex}.tmp"
            with fs.open(probe, "wb") as stream:
                stream.write(b"")
            fs.rm(probe)
        else:
            others = [name for name in names if not name.startswith(".")]
            if others:
                raise Refused(f"{url} is not empty and holds no dataset of tarn-batch: give a new or empty folder")
            write_atomically(fs, manifest_path, (json.dumps(manifest, indent=2) + "\n").encode())
        done = bytearray(chunks)
        suffix = manifest["parameters"]["format"]
        for name in names:
            part = PART.match(name)
            if part and part[2] == suffix and int(part[1]) < chunks:
                done[int(part[1])] = 1
            elif TEMPORARY.match(name):
                fs.rm(f"{path}/{name}")
    except Refused:
        raise
    except (OSError, ValueError) as error:
        raise Refused(f"cannot write the dataset to {url}: {one_line(error)}") from error
    return Folder(fs, path, done, resumed)


def chunks_on_disk(folder: Folder, chunks: int, file_format: str) -> int:
    """How many chunks have their file in the folder now: workers may finish one as a batch stops."""
    count = 0
    for entry in folder.fs.ls(folder.path, detail=False):
        part = PART.match(entry.rsplit("/", 1)[-1])
        count += bool(part and part[2] == file_format and int(part[1]) < chunks)
    return count


def one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def write_atomically(fs: Any, path: str, data: bytes) -> None:
    folder, name = path.rsplit("/", 1)
    temporary = f"{folder}/.{name}.{uuid.uuid4().hex}.tmp"
    with fs.open(temporary, "wb") as stream:
        stream.write(data)
    fs.mv(temporary, path)


def mismatches(existing: Dict[str, Any], wanted: Dict[str, Any]) -> List[str]:
    """What differs between the parameters of an existing dataset and of this command."""
    if existing.get("tool") != wanted["tool"]:
        return ["it was not made by tarn-batch"]
    old, new = existing.get("parameters", {}), wanted["parameters"]
    differences = [f"{key} {json.dumps(old.get(key))}, not {json.dumps(new[key])}"
                   for key in new if old.get(key) != new[key]]
    if not differences and existing.get("schema") != wanted["schema"]:
        differences.append("another schema")
    return differences


@dataclass
class Check:
    """What the finished dataset holds."""

    files: int = 0
    bytes: int = 0
    rows: int = 0
    reached: int = 0
    failed: int = 0
    missing_chunks: int = 0
    bad: Optional[str] = None  # the first file whose indices are not its chunk's

    @property
    def whole(self) -> bool:
        return self.missing_chunks == 0 and self.bad is None


def check(folder: Folder, chunk_size: int, problems: int, file_format: str) -> Check:
    """Read back every chunk's `index` column (and its counts): is every index there exactly once?

    Each file must hold exactly its own chunk's indices, each once, and every chunk must have
    its file; that is every index of the batch exactly once. One file is read at a time.
    """
    result = Check()
    chunks = -(-problems // chunk_size)
    for number in range(chunks):
        if not folder.done[number]:
            result.missing_chunks += 1
            continue
        name = part_name(number, file_format)
        path = f"{folder.path}/{name}"
        result.files += 1
        result.bytes += int(folder.fs.size(path))
        indices, reached, failed = read_counts(folder.fs, path, file_format)
        first = number * chunk_size
        if indices != list(range(first, min(first + chunk_size, problems))) and result.bad is None:
            result.bad = name
        result.rows += len(indices)
        result.reached += reached
        result.failed += failed
    return result


def read_counts(fs: Any, path: str, file_format: str) -> Tuple[List[int], int, int]:
    """(indices in file order, rows reaching the goal, failed rows) of one chunk's file."""
    with fs.open(path, "rb") as stream:
        if file_format == "parquet":
            pq = load("pyarrow.parquet")

            # Read and counted without pyarrow.dataset and pyarrow.compute, which would double the
            # client's memory for good, and without pyarrow's thread pool, which a process that
            # exits while its threads are up can abort in ("terminate called ...").
            table = pq.ParquetFile(stream).read(columns=["index", "reached", "error_type"], use_threads=False)
            indices = table.column("index").to_pylist()
            reached = table.column("reached").to_pylist().count(True)
            failed = len(indices) - table.column("error_type").null_count
            return indices, int(reached), int(failed)
        indices = []
        reached = failed = 0
        for line in stream:
            row = json.loads(line)
            indices.append(row["index"])
            reached += row["reached"] is True
            failed += row["error_type"] is not None
        return indices, reached, failed
