"""Running the tasks on Dask distributed: getting a client, keeping a bounded
window of tasks in flight, retrying tasks lost with a worker, and progress."""

from __future__ import annotations

import itertools
import logging
import os
import sys
import time
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, cast

from ._inputs import Item
from ._worker import process_many

# Tasks in flight per worker thread: enough that a thread never waits for the
# client to hand it the next input, few enough that memory does not grow with
# the number of inputs.
WINDOW_PER_THREAD = 8
MINIMUM_WINDOW = 16
# Quick inputs travel several to a task: the scheduler, the worker and the
# client spend a few milliseconds on every task, as much as a call on a short
# clip takes. A task grows to about TASK_SECONDS of work, judged from the
# inputs finished so far, and never past FILES_PER_TASK inputs or
# BYTES_PER_TASK together; slow inputs go one to a task, so that progress,
# the manifest and the balance between threads stay fine-grained.
TASK_SECONDS = 0.2
FILES_PER_TASK = 8
BYTES_PER_TASK = 4 << 20


class TaskSizer:
    """How many inputs the next task takes: one until some have finished,
    then enough for about TASK_SECONDS at their average pace."""

    def __init__(self) -> None:
        self.seconds = 0.0
        self.count = 0

    def finished(self, record: Dict[str, Any]) -> None:
        if record["status"] == "done":
            self.seconds += record["seconds"]
            self.count += 1

    def files(self) -> int:
        if self.count == 0:
            return 1
        pace = self.seconds / self.count
        return max(1, min(FILES_PER_TASK, int(TASK_SECONDS / max(pace, 1e-6))))


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # the worker reports what is wrong with it


def _tasks(items: Iterator[Item], sizer: TaskSizer) -> Iterator[List[Item]]:
    """Consecutive inputs grouped into tasks of the sizer's count, up to
    BYTES_PER_TASK together."""
    group: List[Item] = []
    size = 0
    for item in items:
        item_size = _size(item.source)
        if group and (len(group) >= sizer.files() or size + item_size > BYTES_PER_TASK):
            yield group
            group, size = [], 0
        group.append(item)
        size += item_size
    if group:
        yield group


@contextmanager
def connect(client: Any = None, scheduler: Optional[str] = None, workers: Optional[int] = None,
            threads: Optional[int] = None, processes: bool = False) -> Iterator[Any]:
    """A Dask client: the caller's, one connected to `scheduler`, or one on a
    LocalCluster started here and closed on the way out."""
    if client is not None:
        yield client
        return
    import dask
    from distributed import Client, LocalCluster
    if scheduler:
        with Client(scheduler) as remote:  # type: ignore[no-untyped-call]
            yield remote
        return
    # The library releases the interpreter lock, so one worker with a thread
    # per core runs calls in parallel without moving data between processes.
    # No dashboard here, so the workers' statistical profiler (a stack sample
    # every 10 ms, for the dashboard) would only take CPU from the calls.
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        cluster = LocalCluster(n_workers=workers or 1,  # type: ignore[no-untyped-call]
                               threads_per_worker=threads or os.cpu_count() or 1,
                               processes=processes, dashboard_address=None,
                               # The scheduler serves health routes over HTTP
                               # even without a dashboard: any free port, not 8787.
                               scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                               silence_logs=logging.ERROR)
    try:
        with Client(cluster) as local:  # type: ignore[no-untyped-call]
            yield local
    finally:
        cluster.close()  # type: ignore[no-untyped-call]


def _lost(error: BaseException) -> bool:
    """Errors that mean the task never finished (its worker died or its
    connection did), as opposed to the task's own outcome."""
    from distributed import KilledWorker
    from distributed.comm.core import CommClosedError
    return isinstance(error, (KilledWorker, CommClosedError, OSError))


class Progress:
    """A tqdm bar on a terminal (files done of total, failures, MB/s, time
    left), nothing otherwise; and the caller's callback for every record."""

    def __init__(self, total: int, initial: int, show: Optional[bool],
                 callback: Optional[Callable[[Dict[str, Any]], None]]) -> None:
        self.callback = callback
        self.failed = 0
        self.bytes_in = 0
        self.started = time.monotonic()
        self.bar = None
        if show is None:
            show = sys.stderr.isatty()
        if show:
            from tqdm import tqdm  # type: ignore[import]
            self.bar = tqdm(total=total, initial=initial, unit="file", file=sys.stderr,
                            dynamic_ncols=True, smoothing=0.1)

    def record(self, record: Dict[str, Any]) -> None:
        if record["status"] == "failed":
            self.failed += 1
        self.bytes_in += record.get("bytes_in", 0)
        if self.bar is not None and record["status"] != "skipped":
            rate = self.bytes_in / 1e6 / max(time.monotonic() - self.started, 1e-9)
            self.bar.set_postfix_str(f"failed={self.failed}, {rate:.1f} MB/s", refresh=False)
            self.bar.update(1)
        if self.callback is not None:
            self.callback(record)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _failure(future: Any) -> BaseException:
    """Why a future that did not finish did not."""
    if future.status == "error":
        return cast(BaseException, future.exception())
    return RuntimeError(f"task {future.status}")


def _failed(item: Item, report: bool, reason: str) -> Dict[str, Any]:
    return {"input": item.source, "output": None if report else item.target,
            "status": "failed", "reason": reason, "bytes_in": 0, "bytes_out": 0,
            "seconds": 0.0}


def submit_all(client: Any, function: Callable[[bytes], Any], items: Iterable[Item],
               report: bool, refuse_existing: bool, retries: int,
               finished: Callable[[Dict[str, Any]], None]) -> None:
    """Runs every item, at most a window of tasks in flight at a time, and
    hands each record to `finished` in the order they complete."""
    from distributed import as_completed

    def wanted() -> Iterator[Item]:
        # Checked here rather than on the worker, so that a task retried after
        # its worker died may replace the outputs its first attempt wrote.
        for item in items:
            if refuse_existing and not report and os.path.exists(item.target):
                finished(_failed(item, report, f"FileExistsError: {item.target} exists "
                                               "(overwrite to replace it)"))
            else:
                yield item

    sizer = TaskSizer()
    pending = _tasks(wanted(), sizer)
    attempts: Dict[str, Tuple[List[Item], int]] = {}
    flow = as_completed(loop=client.loop)  # type: ignore[no-untyped-call]
    window_checked, window = 0.0, MINIMUM_WINDOW

    def window_size() -> int:
        # The cluster may grow or shrink while the batch runs.
        nonlocal window_checked, window
        if time.monotonic() - window_checked > 2.0:
            window_checked = time.monotonic()
            threads = sum(client.nthreads().values())
            window = max(MINIMUM_WINDOW, WINDOW_PER_THREAD * threads)
        return window

    def submit(batch: List[Tuple[List[Item], int]]) -> None:
        # One message for many tasks: cheaper than a submit per task.
        futures = client.map(process_many, [[item.source for item in task] for task, _ in batch],
                             [[None if report else item.target for item in task]
                              for task, _ in batch],
                             function=function, pure=False, retries=retries)
        for future, entry in zip(futures, batch):
            attempts[future.key] = entry
        flow.update(futures)  # type: ignore[no-untyped-call]

    def fill() -> None:
        free = window_size() - len(attempts)
        if free > 0:
            batch = [(task, 0) for task in itertools.islice(pending, free)]
            if batch:
                submit(batch)

    fill()
    # Each step takes every task finished since the last one, and their
    # records in one gather: one round trip for many tasks.
    for done in flow.batches():  # type: ignore[no-untyped-call]
        ok = [f for f in done if f.status == "finished"]
        records = dict(zip((f.key for f in ok), client.gather(ok))) if ok else {}
        again = []
        for future in done:
            task, attempt = attempts.pop(future.key)
            task_records = records.get(future.key)
            if task_records is None:
                error = _failure(future)
                if _lost(error) and attempt < retries:
                    again.append((task, attempt + 1))
                    continue
                task_records = [_failed(item, report, f"{type(error).__name__}: {error}")
                                for item in task]
            for record in task_records:
                sizer.finished(record)
                finished(record)
        del done, ok, records
        if again:
            submit(again)
        # Refill by half windows: each submission has a fixed cost of its own.
        if window_size() - len(attempts) >= window // 2 or len(attempts) < window // 4:
            fill()
