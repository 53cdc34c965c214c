"""korvel against its peers, measured alternately in one run.

Whole processes: the korvel command-line tool against the ffmpeg CLI doing
the same job. In process: the korvel Python package (bytes, and the
zero-copy memoryview) against PyAV muxing in memory (BytesIO). Runs of the
compared commands alternate, so a change of machine load hits both; each
cell gives the median and the minimum, and the ratio of medians.
Usage: python3 scripts/bench.py BUILD_DIR CACHE_DIR [--runs N] [--quick]
(scripts/bench.sh makes the inputs and calls this).
"""

from __future__ import annotations

import argparse
import io
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Dict, List, Sequence, Tuple

MB = 1e6
MIB = 1 << 20

# name: (seconds, ffmpeg arguments making it). The 240 s input repeats the
# 60 s one by stream copy, which is quick to make and codes the same way.
INPUTS = {
    "5s_360p.mp4": "-f lavfi -i testsrc2=size=640x360:rate=25:duration=5 "
                   "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=5 "
                   "-c:v libx264 -preset veryfast -b:v 1200k -g 50 -pix_fmt yuv420p "
                   "-c:a aac -b:a 128k -shortest",
    "20s_720p.mp4": "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=20 "
                    "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=20 "
                    "-c:v libx264 -preset veryfast -b:v 2700k -g 50 -pix_fmt yuv420p "
                    "-c:a aac -b:a 128k -shortest",
    "60s_720p.mp4": "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=60 "
                    "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=60 "
                    "-c:v libx264 -preset veryfast -b:v 2700k -g 50 -pix_fmt yuv420p "
                    "-c:a aac -b:a 128k -shortest",
    "240s_720p.mp4": "-stream_loop 3 -i {cache}/60s_720p.mp4 -map 0 -c copy",
}


def cli_env() -> Dict[str, str]:
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    return env


def make_inputs(cache: Path) -> None:
    cache.mkdir(parents=True, exist_ok=True)
    for name, args in INPUTS.items():
        target = cache / name
        if target.exists() and target.stat().st_size > 0:
            continue
        print(f"making {target}", file=sys.stderr)
        tmp = cache / f".tmp-{name}"
        subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y",
                        *args.format(cache=cache).split(), str(tmp)],
                       check=True, env=cli_env())
        tmp.rename(target)


def run_process(argv: Sequence[str], env: Dict[str, str]) -> Tuple[float, int]:
    """Wall seconds and peak RSS (bytes) of one whole process. Linux counts
    the starting (this, small) process's resident size into the child's
    ru_maxrss, so the figure is never below that; the whole-process section
    runs first, while this process is small."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"failed ({proc.returncode}): {' '.join(argv)}")
    return elapsed, usage.ru_maxrss * 1024


def alternate(calls: List[Callable[[], Tuple[float, int]]], runs: int
              ) -> List[Tuple[List[float], int]]:
    """Runs every call once per round, `runs` rounds after one warm-up round;
    per call: the times and the largest peak RSS seen."""
    for call in calls:
        call()
    times: List[List[float]] = [[] for _ in calls]
    peaks = [0] * len(calls)
    for _ in range(runs):
        for i, call in enumerate(calls):
            t, rss = call()
            times[i].append(t)
            peaks[i] = max(peaks[i], rss)
    return list(zip(times, peaks))


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.0f}" if seconds >= 0.1 else f"{seconds * 1000:.1f}"


def whole_process(build: Path, cache: Path, out: Path, runs: int, sizes: List[str]) -> None:
    korvel = str(build / "korvel")
    env = dict(os.environ)
    ff = ["ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y"]
    # operation: (korvel arguments, ffmpeg arguments, inputs); IN and OUT
    # are replaced by the paths.
    jobs = [
        ("convert mkv", ["convert", "IN", "OUT.mkv", "--format", "matroska"],
         ["-i", "IN", "-map", "0", "-c", "copy", "-f", "matroska", "OUT.mkv"], sizes),
        ("mute", ["mute", "IN", "OUT.mp4"],
         ["-i", "IN", "-map", "0", "-an", "-c", "copy", "OUT.mp4"], sizes),
        ("strip-metadata", ["strip-metadata", "IN", "OUT.mp4"],
         ["-i", "IN", "-map", "0:v", "-map", "0:a", "-map_metadata", "-1", "-c", "copy",
          "OUT.mp4"], sizes),
        ("trim 1-4 s", ["trim", "IN", "OUT.mp4", "--start", "1", "--end", "4"],
         ["-ss", "1", "-to", "4", "-i", "IN", "-map", "0", "-c", "copy", "OUT.mp4"], sizes),
        ("gif 10 fps 320", ["gif", "IN", "OUT.gif", "--fps", "10", "--width", "320"],
         ["-i", "IN", "-vf", "fps=10,scale=320:-2:flags=bilinear,format=rgb8", "-c:v", "gif",
          "OUT.gif"], ["20s_720p.mp4"]),
        ("extract-audio mp3", ["extract-audio", "IN", "OUT.mp3", "--format", "mp3"],
         ["-i", "IN", "-vn", "-ar", "44100", "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k",
          "OUT.mp3"], ["20s_720p.mp4"]),
        ("reencode crf 23", ["reencode", "IN", "OUT.mp4", "--crf", "23"],
         ["-i", "IN", "-map", "0:v:0", "-map", "0:a:0?", "-c:v", "libx264", "-crf", "23",
          "-preset", "medium", "-pix_fmt", "yuv420p", "-c:a", "copy", "OUT.mp4"],
         ["5s_360p.mp4"]),
        ("rotate 90", ["rotate", "IN", "OUT.mp4", "--degrees", "90"],
         ["-i", "IN", "-map", "0:v:0", "-map", "0:a:0?", "-vf", "transpose=1", "-c:v", "libx264",
          "-crf", "18", "-preset", "medium", "-pix_fmt", "yuv420p", "-c:a", "copy", "OUT.mp4"],
         ["5s_360p.mp4"]),
        ("reverse", ["reverse", "IN", "OUT.mp4"],
         ["-i", "IN", "-map", "0:v:0", "-vf", "reverse", "-c:v", "libx264", "-crf", "18",
          "-preset", "medium", "-pix_fmt", "yuv420p", "OUT.mp4"], ["5s_360p.mp4"]),
    ]
    print("\n## Whole process: korvel CLI against the ffmpeg CLI\n")
    print("| operation | input | MB | korvel median / min ms | ffmpeg median / min ms "
          "| ratio | korvel / ffmpeg peak RSS MiB |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for name, k_args, f_args, inputs in jobs:
        for size in inputs:
            src = cache / size

            def argv(args: List[str], tool: str) -> List[str]:
                return [str(src) if a == "IN" else
                        str(out / f"{tool}{a[3:]}") if a.startswith("OUT") else a for a in args]

            k_argv = [korvel] + argv(k_args, "korvel") + ["-y"]
            f_argv = ff + argv(f_args, "ffmpeg")
            transcode = size == "5s_360p.mp4" and name.split()[0] in ("reencode", "rotate", "reverse")
            n = max(3, runs // 2) if transcode or name.startswith("gif") else runs
            (kt, kr), (ft, fr) = alternate(
                [lambda: run_process(k_argv, env), lambda: run_process(f_argv, cli_env())], n)
            km, fm = statistics.median(kt), statistics.median(ft)
            print(f"| {name} | {size} | {src.stat().st_size / MB:.1f} | {ms(km)} / {ms(min(kt))} "
                  f"| {ms(fm)} / {ms(min(ft))} | {km / fm:.2f} | {kr / MIB:.0f} / {fr / MIB:.0f} |",
                  flush=True)


# In-process peers -------------------------------------------------------

def pyav_copy(data: bytes, fmt: str, keep: Tuple[str, ...], start: float = 0.0,
              end: float = 0.0) -> bytes:
    """Stream copy with PyAV from and to memory: the streams of the kinds in
    `keep`, optionally the packets of [start, end) seconds moved to 0."""
    import av  # Debian's python3-av
    out = io.BytesIO()
    with av.open(io.BytesIO(data)) as src, av.open(out, "w", format=fmt) as dst:
        mapping = {s.index: dst.add_stream(template=s) for s in src.streams if s.type in keep}
        if start > 0:
            src.seek(int(start * 1_000_000), backward=True, any_frame=False)
        for pkt in src.demux():
            ost = mapping.get(pkt.stream.index)
            if ost is None or pkt.dts is None:
                continue
            if start > 0 or end > 0:
                t = float(pkt.pts * pkt.time_base) if pkt.pts is not None else 0.0
                if end > 0 and t >= end:
                    continue
                if start > 0:
                    shift = int(start / pkt.time_base)
                    pkt.pts -= shift
                    pkt.dts -= shift
            pkt.stream = ost
            dst.mux(pkt)
    return out.getvalue()


def in_process_jobs() -> List[Tuple[str, Callable[[bytes], object], Callable[[bytes], object],
                                    Callable[[bytes], object]]]:
    import korvel
    return [
        ("remux to mkv",
         lambda d: korvel.convert(d, "matroska"),
         lambda d: korvel.convert(d, "matroska", copy=False),
         lambda d: pyav_copy(d, "matroska", ("video", "audio"))),
        ("mute (mp4)",
         lambda d: korvel.mute(d),
         lambda d: korvel.mute(d, copy=False),
         lambda d: pyav_copy(d, "mp4", ("video",))),
        ("trim 1-4 s (mp4)",
         lambda d: korvel.trim(d, start=1, end=4),
         lambda d: korvel.trim(d, start=1, end=4, copy=False),
         lambda d: pyav_copy(d, "mp4", ("video", "audio"), 1.0, 4.0)),
    ]


def timed(call: Callable[[bytes], object], data: bytes) -> Callable[[], Tuple[float, int]]:
    def run() -> Tuple[float, int]:
        start = time.perf_counter()
        result = call(data)
        elapsed = time.perf_counter() - start
        if isinstance(result, memoryview):
            result.release()
        del result
        return elapsed, 0
    return run


def in_process(cache: Path, runs: int, sizes: List[str]) -> None:
    print("\n## In process: korvel (Python, ctypes) against PyAV in memory\n")
    print("| operation | input | MB | korvel bytes median / min ms | korvel zero-copy "
          "median / min ms | PyAV median / min ms | bytes / PyAV | zero-copy / PyAV "
          "| zero-copy ms per MB | ms per further MB |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, with_copy, zero_copy, pyav in in_process_jobs():
        first = None
        for size in sizes:
            data = (cache / size).read_bytes()
            results = alternate([timed(with_copy, data), timed(zero_copy, data),
                                 timed(pyav, data)], runs)
            (bt, _), (zt, _), (pt, _) = results
            b, z, p = (statistics.median(x) for x in (bt, zt, pt))
            # The cost of each MB beyond the smallest input, without the
            # fixed cost of a call: flat when the work grows linearly.
            further = "" if first is None else \
                f"{(z - first[0]) * 1000 / ((len(data) - first[1]) / MB):.2f}"
            first = first or (z, len(data))
            print(f"| {name} | {size} | {len(data) / MB:.1f} | {ms(b)} / {ms(min(bt))} "
                  f"| {ms(z)} / {ms(min(zt))} | {ms(p)} / {ms(min(pt))} | {b / p:.2f} "
                  f"| {z / p:.2f} | {z * 1000 / (len(data) / MB):.2f} | {further} |", flush=True)


def status_bytes(field: str) -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status
                    if line.startswith(field + ":"))


def rss_child(tool: str, path: str) -> None:
    """One remux in a fresh process; prints the sizes, the resident size
    before the call (interpreter, libraries, input) and the peak RSS."""
    if tool == "pyav":
        import av  # noqa: F401  (loaded before the baseline, as korvel is)
    else:
        import korvel
    base = status_bytes("VmRSS")  # interpreter and libraries, no input yet
    data = Path(path).read_bytes()
    before = status_bytes("VmRSS")
    if tool == "pyav":
        size = len(pyav_copy(data, "matroska", ("video", "audio")))
    else:
        view = korvel.convert(data, "matroska", copy=False)
        size = len(view)
    # VmHWM belongs to this process image; ru_maxrss would carry over the peak
    # of the process that started this one (Linux keeps it across exec).
    print(json.dumps({"input": len(data), "output": size, "base": base, "before": before,
                      "peak": status_bytes("VmHWM")}))


def peak_rss(build: Path, cache: Path, sizes: List[str]) -> None:
    """The remux's own memory: peak RSS above what the interpreter and the
    loaded libraries hold before the input is read, against the bound."""
    print("\n## Peak RSS of one in-process remux to Matroska (fresh process each)\n")
    print("Growth is the peak above the process's resident size before it read the input "
          "(the interpreter and the loaded libraries).\n")
    print("| input | input MiB | output MiB | korvel zero-copy growth MiB | PyAV growth MiB "
          "| bound: input + 1.2 x output + 40 MiB |")
    print("|---|---:|---:|---:|---:|---:|")
    rows = []
    for size in sizes:
        row = {}
        for tool in ("korvel", "pyav"):
            out = subprocess.run([sys.executable, __file__, "--rss-child", tool, str(cache / size)],
                                 check=True, stdout=subprocess.PIPE, env=os.environ).stdout
            row[tool] = json.loads(out)
        rows.append(row)
        k, p = row["korvel"], row["pyav"]
        bound = k["input"] + 1.2 * k["output"] + 40 * MIB
        print(f"| {size} | {k['input'] / MIB:.1f} | {k['output'] / MIB:.1f} "
              f"| {(k['peak'] - k['base']) / MIB:.1f} | {(p['peak'] - p['base']) / MIB:.1f} "
              f"| {bound / MIB:.1f} |", flush=True)
    print(f"\nBaselines: korvel {rows[0]['korvel']['base'] / MIB:.1f} MiB, "
          f"PyAV {rows[0]['pyav']['base'] / MIB:.1f} MiB.")


def cli_rss(build: Path, cache: Path, out: Path, sizes: List[str]) -> None:
    """Peak RSS of the command-line tool's convert above its footprint with
    every library loaded and nothing read (`korvel --version`)."""
    korvel = str(build / "korvel")
    _, base = run_process([korvel, "--version"], dict(os.environ))
    print("\n## Peak RSS of `korvel convert` to Matroska, above the tool's own footprint "
          f"({base / MIB:.1f} MiB with its libraries loaded)\n")
    print("| input | input MiB | output MiB | peak MiB | growth MiB | bound: input + output + 16 MiB |")
    print("|---|---:|---:|---:|---:|---:|")
    for size in sizes:
        src, dst = cache / size, out / "rss.mkv"
        _, peak = run_process([korvel, "convert", str(src), str(dst), "-y"], dict(os.environ))
        i, o = src.stat().st_size, dst.stat().st_size
        print(f"| {size} | {i / MIB:.1f} | {o / MIB:.1f} | {peak / MIB:.1f} "
              f"| {(peak - base) / MIB:.1f} | {(i + o + 16 * MIB) / MIB:.1f} |", flush=True)


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--rss-child":
        rss_child(sys.argv[2], sys.argv[3])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("cache", type=Path)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--only", choices=("process", "inprocess", "rss"), default=None)
    args = parser.parse_args()
    make_inputs(args.cache)
    out = args.cache / "out"
    out.mkdir(exist_ok=True)
    sizes = list(INPUTS)
    print(f"korvel benchmark, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; "
          f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.1f} at start; "
          f"{args.runs} alternating runs after one warm-up")
    if args.only in (None, "process"):
        whole_process(args.build, args.cache, out, args.runs, sizes)
        cli_rss(args.build, args.cache, out, sizes)
    if args.only in (None, "inprocess"):
        in_process(args.cache, args.runs, sizes)
    if args.only in (None, "rss"):
        peak_rss(args.build, args.cache, sizes)
    print(f"\nload average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
