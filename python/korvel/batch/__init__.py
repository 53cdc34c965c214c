"""korvel.batch: one operation over many files, on Dask distributed.

    import korvel.batch
    summary = korvel.batch.run("to_gif", ["uploads/"], "gifs/", width=240)
    print(summary)        # 412 done, 0 skipped, 3 failed in 81.2 s ...

Inputs are files, folders (walked) and glob patterns; each is read by the
worker that processes it, so only paths travel through the scheduler. Every
input gives one output file in ``output_dir``, named after the input with the
extension of what the operation produces (``clip.mp4`` -> ``clip.gif``),
written under a temporary name and renamed when complete. ``info`` writes one
JSON-lines file, ``info.jsonl``, instead.

Every finished input adds a line to ``output_dir/manifest.jsonl``: input,
output, status (``done`` or ``failed``), reason, bytes in and out, seconds.
A failing input never stops the batch. Running the same batch again skips
the inputs that an earlier run finished (``resume=True``, the default);
``overwrite=True`` redoes them; ``resume=False`` redoes nothing silently: an
input whose output already exists fails instead.

Without ``client`` or ``scheduler`` the batch runs on a LocalCluster in this
process: one worker with a thread per core (the library runs without the
interpreter lock); ``processes=True`` puts the workers in processes of their
own. ``scheduler="tcp://host:8786"`` uses a running cluster, whose workers
must all see the inputs and the output folder under the same paths.
"""

from __future__ import annotations

import contextlib
import json
import os
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, Optional, Union

from . import _engine, _inputs, _manifest, _verbs
from ._inputs import PathLike

__all__ = ["run", "map", "Summary", "MANIFEST"]

MANIFEST = _manifest.MANIFEST

Inputs = Union[PathLike, Iterable[PathLike]]
Callback = Callable[[Dict[str, Any]], None]


@dataclass
class Summary:
    done: int = 0
    skipped: int = 0
    failed: int = 0
    seconds: float = 0.0
    bytes_in: int = 0
    bytes_out: int = 0
    manifest: str = ""
    report: Optional[str] = None      # the JSON-lines results, for data results

    @property
    def ok(self) -> bool:
        return self.failed == 0

    def __str__(self) -> str:
        processed = self.done + self.failed
        rate = processed / self.seconds if self.seconds > 0 else 0.0
        mb = self.bytes_in / 1e6 / self.seconds if self.seconds > 0 else 0.0
        return (f"{self.done} done, {self.skipped} skipped, {self.failed} failed "
                f"in {self.seconds:.1f} s ({rate:.1f} files/s, {mb:.1f} MB/s in)")


def run(operation: str, inputs: Inputs, output_dir: PathLike, *, client: Any = None,
        scheduler: Optional[str] = None, workers: Optional[int] = None,
        threads: Optional[int] = None, processes: bool = False, resume: bool = True,
        overwrite: bool = False, retries: int = 3, progress: Optional[bool] = None,
        callback: Optional[Callback] = None, **arguments: Any) -> Summary:
    """Applies one operation of the package (``"to_gif"``, ``"extract_audio"``,
    ...; the command-line verb names work too) with ``arguments`` to every
    input. A media argument (``merge``'s ``second``) is a path, read by each
    worker. Arguments the library refuses raise here, before any input is
    read."""
    verb = _verbs.find(operation)
    call = _verbs.Call(verb, arguments)
    call.check()
    if verb.suffix is None:
        suffix = None
    else:
        rule = verb.suffix
        suffix = lambda ext: rule(ext, arguments)  # noqa: E731
    job = json.dumps({"operation": verb.name, "arguments": call.arguments},
                     sort_keys=True, default=str)
    return _batch(call, inputs, output_dir, suffix, f"{verb.name}.jsonl", job,
                  client=client, scheduler=scheduler, workers=workers, threads=threads,
                  processes=processes, resume=resume, overwrite=overwrite, retries=retries,
                  progress=progress, callback=callback)


def map(function: Callable[[bytes], Any], inputs: Inputs, output_dir: PathLike, *,
        suffix: Optional[str] = None, report: bool = False, client: Any = None,
        scheduler: Optional[str] = None, workers: Optional[int] = None,
        threads: Optional[int] = None, processes: bool = False, resume: bool = True,
        overwrite: bool = False, retries: int = 3, progress: Optional[bool] = None,
        callback: Optional[Callback] = None) -> Summary:
    """Applies ``function`` (bytes -> bytes, run on the workers) to every input,
    for chains such as ``lambda d: korvel.to_gif(korvel.trim(d, end=5))``.
    The output keeps the input's extension unless ``suffix`` (".gif") is
    given. With ``report=True`` the function returns JSON-ready data instead,
    gathered in ``output_dir/<function name>.jsonl``."""
    name = getattr(function, "__qualname__", type(function).__name__)
    job = json.dumps({"function": f"{getattr(function, '__module__', '')}.{name}",
                      "suffix": suffix}, sort_keys=True)
    rule = None if report else (lambda ext: suffix if suffix is not None else ext)
    report_name = "".join(c if c.isalnum() or c in "_-" else "_" for c in name) + ".jsonl"
    return _batch(function, inputs, output_dir, rule, report_name, job,
                  client=client, scheduler=scheduler, workers=workers, threads=threads,
                  processes=processes, resume=resume, overwrite=overwrite, retries=retries,
                  progress=progress, callback=callback)


def _batch(function: Callable[[bytes], Any], inputs: Inputs, output_dir: PathLike,
           suffix: Optional[Callable[[str], str]], report_name: str, job: str, *,
           client: Any, scheduler: Optional[str], workers: Optional[int],
           threads: Optional[int], processes: bool, resume: bool, overwrite: bool,
           retries: int, progress: Optional[bool], callback: Optional[Callback]) -> Summary:
    started = time.monotonic()
    out = os.path.abspath(os.fspath(output_dir))
    found = _inputs.expand(inputs, out)
    report_path = os.path.join(out, report_name) if suffix is None else None
    if report_path is not None:
        items = [_inputs.Item(source, report_path) for source, _, _ in found]
    else:
        assert suffix is not None
        items = _inputs.plan(found, out, suffix, reserved=(MANIFEST, report_name))

    manifest = _manifest.Manifest(out)
    summary = Summary(manifest=manifest.path, report=report_path)
    report = None
    try:
        _manifest.remove_parts(out)
        todo, skipped = [], []
        for item in items:
            target = None if report_path else item.target
            if resume and not overwrite and manifest.complete(item.source, target, job):
                skipped.append(item)
            else:
                todo.append(item)
        if report_path is not None:
            report = _manifest.Report(report_path, {i.source for i in skipped})

        def finished(record: Dict[str, Any]) -> None:
            if report is not None and record["status"] == "done":
                report.write(record["input"], record.pop("report"))
            record.pop("report", None)
            if report_path is not None:
                record["output"] = report_path
            record["job"] = job
            manifest.write(record)
            summary.bytes_in += record["bytes_in"]
            summary.bytes_out += record["bytes_out"]
            if record["status"] == "done":
                summary.done += 1
            else:
                summary.failed += 1
            bar.record(record)

        engine = (_engine.connect(client, scheduler, workers, threads, processes) if todo
                  else contextlib.nullcontext(None))
        with engine as dask:
            # The bar starts once the cluster is up, so that its rates are the
            # batch's, not the cluster start's.
            bar = _engine.Progress(len(items), len(skipped), progress, callback)
            try:
                for item in skipped:
                    summary.skipped += 1
                    bar.record({"input": item.source, "output": item.target,
                                "status": "skipped"})
                if todo:
                    _engine.submit_all(dask, function, todo, report_path is not None,
                                       refuse_existing=not resume and not overwrite,
                                       retries=retries, finished=finished)
            finally:
                bar.close()
        _manifest.remove_parts(out)
    finally:
        if report is not None:
            report.close()
        manifest.close()
    summary.seconds = time.monotonic() - started
    return summary

