#!/usr/bin/env python3
"""Throughput of korvel.batch against a serial loop of direct calls, and the
engine's cost per file.

1. Throughput: N small clips through extract_audio (mp3) and to_gif, once as
   a plain loop (read, call, write) and once through korvel.batch.run with a
   local cluster of one worker and --threads threads. The ratio is the loop's
   wall time over the batch's. The cluster is started before the clock runs
   (its start, about a second, is printed on its own); a run with the start
   included is printed too.
2. Overhead: N tiny files through korvel.batch.map with a function that
   returns its input, against the same loop: (batch - loop) / N is what the
   engine adds per file (scheduling, the manifest, progress bookkeeping),
   with one worker thread so that no parallelism hides it.

Each figure is the median of --repeat runs. The library is $KORVEL_LIBRARY
(default: build/libkorvel.so of this checkout). Run it under `nice`; other
work on the machine changes the absolute times, not much the ratios.
Usage: bench-batch.py [--files 200] [--threads 2] [--repeat 3]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
os.environ.setdefault("KORVEL_LIBRARY", str(ROOT / "build" / "libkorvel.so"))
import korvel  # noqa: E402
import korvel.batch  # noqa: E402
from korvel.batch import _engine  # noqa: E402

OPERATIONS = {
    "extract_audio": ({"format": "mp3"}, ".mp3"),
    "to_gif": ({"width": 160, "fps": 10}, ".gif"),
}


def make_clips(folder: Path, count: int) -> None:
    """`count` copies of a 2-second 320x240 clip with audio."""
    first = folder / "clip0000.mp4"
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=2",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=2",
                    "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", "-b:a", "96k", "-shortest", str(first)], check=True, env=env)
    for i in range(1, count):
        shutil.copyfile(first, folder / f"clip{i:04}.mp4")


def serial(function, folder: Path, out: Path, suffix: str) -> float:
    out.mkdir()
    start = time.perf_counter()
    for path in sorted(folder.iterdir()):
        (out / (path.stem + suffix)).write_bytes(function(path.read_bytes()))
    return time.perf_counter() - start


def timed(call) -> float:
    start = time.perf_counter()
    summary = call()
    elapsed = time.perf_counter() - start
    if summary.failed or summary.skipped:
        sys.exit(f"bench-batch: unexpected result: {summary}")
    return elapsed


def with_cpu(call):
    """(wall seconds, process CPU seconds) of call()."""
    t = os.times()
    wall = call()
    u = os.times()
    return wall, (u.user + u.system) - (t.user + t.system)


def identity(data: bytes) -> bytes:
    return data


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="korvel-bench-batch-"))
    runs = iter(range(1_000_000))
    fresh = lambda: work / f"out{next(runs)}"  # noqa: E731
    try:
        clips, tiny = work / "clips", work / "tiny"
        clips.mkdir()
        tiny.mkdir()
        make_clips(clips, args.files)
        for i in range(args.files):
            (tiny / f"t{i:04}.bin").write_bytes(os.urandom(1024))

        started = time.perf_counter()
        # The cluster a batch starts when it is given none.
        engine = _engine.connect(threads=args.threads)
        client = engine.__enter__()
        print(f"local cluster start: {time.perf_counter() - started:.2f} s")
        print(f"{args.files} files, {args.threads} threads, median of {args.repeat} runs")

        for name, (arguments, suffix) in OPERATIONS.items():
            function = getattr(korvel, name)
            # Loop and batch take turns, so that a change in the machine's load
            # falls on both.
            loops, batches = [], []
            for _ in range(args.repeat):
                loops.append(serial(lambda d: function(d, **arguments), clips, fresh(), suffix))
                batches.append(timed(lambda: korvel.batch.run(
                    name, clips, fresh(), client=client, progress=False, **arguments)))
            loop, batch = statistics.median(loops), statistics.median(batches)
            print(f"{name:14} serial loop {loop:6.2f} s   batch {batch:6.2f} s   "
                  f"throughput x{loop / batch:.2f}   "
                  f"({args.files / loop:.1f} vs {args.files / batch:.1f} files/s)")

        name, (arguments, _) = "extract_audio", OPERATIONS["extract_audio"]
        cold = timed(lambda: korvel.batch.run(name, clips, fresh(), threads=args.threads,
                                              progress=False, **arguments))
        loop = serial(lambda d: korvel.extract_audio(d, **arguments), clips, fresh(), ".mp3")
        print(f"{name:14} with the cluster start: batch {cold:6.2f} s   "
              f"throughput x{loop / cold:.2f}")
        engine.__exit__(None, None, None)

        with _engine.connect(threads=1) as client:
            loops, batches = [], []
            for _ in range(args.repeat):
                loops.append(with_cpu(lambda: serial(identity, tiny, fresh(), ".bin")))
                batches.append(with_cpu(lambda: timed(lambda: korvel.batch.map(
                    identity, tiny, fresh(), client=client, progress=False))))
        wall = (statistics.median(b[0] for b in batches)
                - statistics.median(x[0] for x in loops)) / args.files * 1000
        cpu = (statistics.median(b[1] for b in batches)
               - statistics.median(x[1] for x in loops)) / args.files * 1000
        print(f"overhead       engine cost per file: {wall:.2f} ms wall, {cpu:.2f} ms CPU "
              f"(1 KiB files, 1 thread)")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
