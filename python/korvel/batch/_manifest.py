"""The batch's records in its output folder: the manifest (one JSON line per
finished input, the last line of an input wins), the report file of
operations whose result is data rather than a file, and the lock that keeps
two batches from writing into one folder at once."""

from __future__ import annotations

import fcntl
import json
import os
from typing import IO, Any, Dict, Iterable, Optional, Set, Tuple

from ._worker import PART

MANIFEST = "manifest.jsonl"


def _lines(path: str) -> Iterable[Dict[str, Any]]:
    try:
        with open(path, encoding="utf-8") as file:
            for line in file:
                try:
                    record = json.loads(line)
                except ValueError:
                    continue      # a line cut short when a run was killed
                if isinstance(record, dict) and "input" in record:
                    yield record
    except FileNotFoundError:
        return


class Manifest:
    """Open for the length of one batch; holds an exclusive lock on the
    manifest file."""

    def __init__(self, output_dir: str) -> None:
        os.makedirs(output_dir, exist_ok=True)
        self.path = os.path.join(output_dir, MANIFEST)
        # input -> (job, output, bytes out) of its last record, when that is a
        # success; only what resuming needs, so that a long manifest stays small
        # in memory.
        self.previous: Dict[str, Tuple[Any, Any, Any]] = {}
        for record in _lines(self.path):
            if record.get("status") == "done":
                self.previous[record["input"]] = (record.get("job"), record.get("output"),
                                                  record.get("bytes_out"))
            else:
                self.previous.pop(record["input"], None)
        self._file: IO[str] = open(self.path, "a", encoding="utf-8")
        try:
            fcntl.flock(self._file, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            self._file.close()
            raise RuntimeError(f"another batch is writing into {output_dir}") from None
        # A line cut short by a killed run must not glue onto the next record.
        if self._file.tell() > 0:
            with open(self.path, "rb") as check:
                check.seek(-1, os.SEEK_END)
                if check.read(1) != b"\n":
                    self._file.write("\n")

    def complete(self, source: str, target: Optional[str], job: str) -> bool:
        """Whether an earlier run of the same job finished this input and its
        output is still there, whole."""
        previous = self.previous.get(source)
        if previous is None or previous[0] != job:
            return False
        if target is None:
            return True
        try:
            return bool(previous[1] == target and os.path.getsize(target) == previous[2])
        except OSError:
            return False

    def write(self, record: Dict[str, Any]) -> None:
        self._file.write(json.dumps(record, default=str) + "\n")
        self._file.flush()

    def close(self) -> None:
        self._file.close()


class Report:
    """The JSON-lines file of data results: one line per input, the input's
    path beside the data. Lines of inputs that are not kept from an earlier
    run are dropped when the batch starts, so no input appears twice."""

    def __init__(self, path: str, keep: Set[str]) -> None:
        self.path = path
        kept, seen = [], set()
        for record in _lines(path):
            if record["input"] in keep and record["input"] not in seen:
                seen.add(record["input"])
                kept.append(record)
        temporary = path + PART
        with open(temporary, "w", encoding="utf-8") as file:
            for record in kept:
                file.write(json.dumps(record) + "\n")
        os.replace(temporary, path)
        self._file: IO[str] = open(path, "a", encoding="utf-8")

    def write(self, source: str, data: Any) -> None:
        line = {"input": source, **data} if isinstance(data, dict) else {"input": source, "result": data}
        self._file.write(json.dumps(line, default=str) + "\n")
        self._file.flush()

    def close(self) -> None:
        self._file.close()


def remove_parts(output_dir: str) -> int:
    """Deletes temporary outputs left by workers that died while writing."""
    removed = 0
    for root, _, files in os.walk(output_dir):
        for name in files:
            if name.endswith(PART):
                try:
                    os.unlink(os.path.join(root, name))
                    removed += 1
                except OSError:
                    pass
    return removed
