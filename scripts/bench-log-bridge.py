#!/usr/bin/env python3
"""What the Python log bridge costs: a re-encode and a remux, timed in one
process with the package's FFmpeg log callback installed and with FFmpeg's
own callback at level quiet (the cheapest silent setting), alternating the
two so that both see the same machine. Prints the medians of wall-clock and
of process CPU time (less disturbed by other work on a shared machine) and
their ratios.

Usage: KORVEL_LIBRARY=build/libkorvel.so PYTHONPATH=python \\
       nice -n 19 /usr/bin/python3 scripts/bench-log-bridge.py [--rounds N]
"""

from __future__ import annotations

import argparse
import ctypes
import statistics
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List

import korvel
from korvel import _log


def make_inputs(folder: Path) -> Dict[str, bytes]:
    def ffmpeg(*args: str) -> None:
        subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y", *args],
                       check=True)
    clip = folder / "clip.mp4"      # re-encode input: 4 s of 640x360
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=4",
           "-f", "lavfi", "-i", "sine=frequency=440:duration=4",
           "-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac", "-shortest", str(clip))
    long = folder / "long.mp4"      # remux input: 60 s of 1280x720
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30:duration=60",
           "-f", "lavfi", "-i", "sine=frequency=440:duration=60",
           "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "2500k", "-c:a", "aac",
           "-shortest", str(long))
    return {"clip": clip.read_bytes(), "long": long.read_bytes()}


def use_bridge(on: bool) -> None:
    if on:
        _log.install()
    else:
        _log._set_level(_log.QUIET)
        _log._set_callback(ctypes.cast(_log._default_callback, ctypes.c_void_p))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        media = make_inputs(Path(tmp))
    cases: Dict[str, Callable[[], bytes]] = {
        "reencode 4 s 640x360 (veryfast)":
            lambda: korvel.reencode(media["clip"], preset="veryfast"),
        "remux 60 s 720p to matroska": lambda: korvel.convert(media["long"], "matroska"),
    }
    print(f"{'operation':34} {'wall ms: bridge':>16} {'without':>8} {'ratio':>6}"
          f" {'CPU ms: bridge':>15} {'without':>8} {'ratio':>6}")
    for name, call in cases.items():
        times: Dict[bool, List[float]] = {True: [], False: []}
        cpu: Dict[bool, List[float]] = {True: [], False: []}
        call()  # warm up
        for round_number in range(args.rounds):
            for mode in ((True, False) if round_number % 2 == 0 else (False, True)):
                use_bridge(mode)
                start, start_cpu = time.perf_counter(), time.process_time()
                call()
                times[mode].append(time.perf_counter() - start)
                cpu[mode].append(time.process_time() - start_cpu)
        use_bridge(True)
        wall = [statistics.median(times[m]) * 1000 for m in (True, False)]
        used = [statistics.median(cpu[m]) * 1000 for m in (True, False)]
        print(f"{name:34} {wall[0]:16.1f} {wall[1]:8.1f} {wall[0] / wall[1]:6.3f}"
              f" {used[0]:15.1f} {used[1]:8.1f} {used[0] / used[1]:6.3f}")


if __name__ == "__main__":
    main()
