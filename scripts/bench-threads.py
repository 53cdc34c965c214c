#!/usr/bin/env python3
"""Wall time of a stream-copy operation from 1 thread and from 2 threads.

The library runs without the interpreter lock, so on two cores two threads
should finish the same number of calls in about half the time.
Usage: bench-threads.py [--calls N] [--operation convert|trim|mute] [--threads T]
The library is $KORVEL_LIBRARY (default: build/libkorvel.so of this checkout).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
os.environ.setdefault("KORVEL_LIBRARY", str(ROOT / "build" / "libkorvel.so"))
import korvel  # noqa: E402

OPERATIONS = {
    "convert": lambda data: korvel.convert(data, "mpegts"),
    "trim": lambda data: korvel.trim(data, start=2.0, end=8.0),
    "mute": korvel.mute,
}


def make_input(folder: str) -> bytes:
    path = os.path.join(folder, "bench.mp4")
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-y",
         "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=10",
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=10",
         "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-pix_fmt", "yuv420p",
         "-c:a", "aac", "-b:a", "96k", "-shortest", path], check=True, env=env)
    return Path(path).read_bytes()


def cpu_seconds() -> float:
    t = os.times()
    return t.user + t.system


def wall_time(call, data: bytes, calls: int, threads: int):
    """(wall seconds, process CPU seconds) of `calls` calls spread over threads."""
    per_thread = calls // threads

    def work():
        for _ in range(per_thread):
            call(data)

    with ThreadPoolExecutor(max_workers=threads) as pool:
        start, cpu = time.perf_counter(), cpu_seconds()
        for future in [pool.submit(work) for _ in range(threads)]:
            future.result()
        return time.perf_counter() - start, cpu_seconds() - cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=60)
    parser.add_argument("--operation", choices=sorted(OPERATIONS), default="convert")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        data = make_input(folder)
    call = OPERATIONS[args.operation]
    call(data)  # warm-up: codec tables, first-touch pages
    one, one_cpu = min(wall_time(call, data, args.calls, 1) for _ in range(args.repeat))
    many, many_cpu = min(wall_time(call, data, args.calls, args.threads) for _ in range(args.repeat))
    print(f"library: {korvel._native.PATH}")
    print(f"input: {len(data)} bytes; {args.calls} calls of {args.operation}, best of {args.repeat}")
    # CPU time above the wall time means the calls really ran side by side;
    # a speed-up below that means other processes held the cores.
    print(f"1 thread:  {one:.3f} s wall, {one_cpu:.2f} s CPU  "
          f"({one / args.calls * 1000:.2f} ms a call)")
    print(f"{args.threads} threads: {many:.3f} s wall, {many_cpu:.2f} s CPU "
          f"({many_cpu / many:.2f} cores busy)")
    print(f"speed-up: {one / many:.2f}x on {os.cpu_count()} cores "
          f"(load average {os.getloadavg()[0]:.1f})")


if __name__ == "__main__":
    main()
