"""What runs on a worker for one input: read the file there, apply the
function, write the result under a temporary name and rename it into place,
and describe what happened in one record. Nothing here raises for a bad
input: the record says why it failed."""

from __future__ import annotations

import os
import time
import uuid
from typing import Any, Callable, Dict, List, Optional, Sequence

# Temporary outputs end with this; a batch removes the ones a killed worker
# left behind when it starts and when it ends.
PART = ".korvel-part"


def part_name(target: str) -> str:
    folder, name = os.path.split(target)
    return os.path.join(folder, f".{name}.{uuid.uuid4().hex[:12]}{PART}")


def write_atomically(target: str, data: Any) -> int:
    """Writes data next to target and renames it over target, so that the
    target is either absent, the previous file, or the complete new one."""
    view = memoryview(data)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    temporary = part_name(target)
    try:
        with open(temporary, "wb") as file:
            file.write(view)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return view.nbytes


def process(source: str, target: Optional[str], function: Callable[[bytes], Any]) -> Dict[str, Any]:
    """Runs `function` on the bytes of `source`. With a target the result
    (bytes) is written there; without one it is a report (JSON-ready data)
    returned in the record's ``report``."""
    started = time.perf_counter()
    record: Dict[str, Any] = {"input": source, "output": target, "status": "failed",
                              "reason": None, "bytes_in": 0, "bytes_out": 0, "seconds": 0.0}
    try:
        with open(source, "rb") as file:
            data = file.read()
        record["bytes_in"] = len(data)
        result = function(data)
        if target is None:
            record["report"] = result
        elif isinstance(result, (bytes, bytearray, memoryview)):
            record["bytes_out"] = write_atomically(target, result)
        else:
            raise TypeError(f"the function returned {type(result).__name__}, not bytes")
        record["status"] = "done"
    except Exception as error:  # one bad input must not stop the batch
        record["reason"] = f"{type(error).__name__}: {error}"
    record["seconds"] = round(time.perf_counter() - started, 6)
    return record


def process_many(sources: Sequence[str], targets: Sequence[Optional[str]],
                 function: Callable[[bytes], Any]) -> List[Dict[str, Any]]:
    """`process` for several inputs in one task, one record each."""
    return [process(source, target, function) for source, target in zip(sources, targets)]
