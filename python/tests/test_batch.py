"""korvel.batch on the real engine: a LocalCluster over a folder of clips, a
real scheduler with two worker processes one of which is killed mid-batch,
a run killed and resumed, and the command line. Outputs are checked with
ffprobe, manifests against the files on disk."""

from __future__ import annotations

import json
import os
import pty
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Dict, List

import pytest

from conftest import ROOT, cli_env, ffmpeg

distributed = pytest.importorskip("distributed")
# Debian's tornado warns about the event loop the Dask client sets up.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

import korvel  # noqa: E402
import korvel.batch  # noqa: E402
from korvel.batch import _engine, _inputs, _verbs  # noqa: E402
from korvel.batch._worker import PART  # noqa: E402

# relative path: (width, height, seconds). Two files named clip.mp4 in
# different folders, told apart by their size and duration.
CLIPS = {
    "a/clip.mp4": (160, 120, 1),
    "b/clip.mp4": (128, 96, 2),
    "top.mp4": (96, 64, 1),
}


def make_clip(path: Path, width: int, height: int, seconds: float) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={width}x{height}:rate=10:duration={seconds}",
           "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=22050:duration={seconds}",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-b:a", "32k", "-shortest", str(path))


@pytest.fixture(scope="module")
def clips(tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("clips")
    for relative, (w, h, s) in CLIPS.items():
        make_clip(folder / relative, w, h, s)
    return folder


@pytest.fixture(scope="module")
def client():
    """One in-process cluster shared by the module's API tests (two threads,
    as on the machine the batch targets)."""
    cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                       dashboard_address=None, silence_logs=40)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def probe(path: Path) -> dict:
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_format",
                          "-show_streams", str(path)], check=True, stdout=subprocess.PIPE,
                         env=cli_env()).stdout
    return json.loads(out)


def manifest(folder: Path) -> List[dict]:
    records = []
    with open(folder / korvel.batch.MANIFEST) as file:
        for line in file:
            try:
                records.append(json.loads(line))
            except ValueError:
                pass          # a line cut short by a killed run
    return records


def parts(folder: Path) -> List[Path]:
    return [p for p in folder.rglob("*") if p.name.endswith(PART)]


# operation, arguments, output extension, check(ffprobe result, source size and seconds)
OPERATIONS = [
    ("to_gif", {"width": 64, "fps": 5}, ".gif",
     lambda p, w, h, s: p["streams"][0]["codec_name"] == "gif" and p["streams"][0]["width"] == 64),
    ("extract_audio", {"format": "mp3"}, ".mp3",
     lambda p, w, h, s: (p["streams"][0]["codec_name"], p["streams"][0]["sample_rate"],
                         p["streams"][0]["channels"]) == ("mp3", "44100", 2)),
    ("extract_frame", {"format": "png", "time": 0.5}, ".png",
     lambda p, w, h, s: (p["streams"][0]["codec_name"], p["streams"][0]["width"],
                         p["streams"][0]["height"]) == ("png", w, h)),
    ("convert", {"format": "matroska"}, ".mkv",
     lambda p, w, h, s: "matroska" in p["format"]["format_name"]
     and abs(float(p["format"]["duration"]) - s) < 0.15),
    ("mute", {}, ".mp4",
     lambda p, w, h, s: [x["codec_type"] for x in p["streams"]] == ["video"]
     and p["streams"][0]["width"] == w),
]


@pytest.mark.parametrize("operation,arguments,ext,check", OPERATIONS,
                         ids=[o[0] for o in OPERATIONS])
def test_folder_gives_one_checked_output_per_input(clips, client, tmp_path, operation,
                                                   arguments, ext, check):
    out = tmp_path / "out"
    seen: List[dict] = []
    summary = korvel.batch.run(operation, [clips], out, client=client, callback=seen.append,
                               **arguments)
    assert (summary.done, summary.skipped, summary.failed) == (len(CLIPS), 0, 0)
    records = {Path(r["input"]).relative_to(clips).as_posix(): r for r in manifest(out)}
    assert set(records) == set(CLIPS) and len(seen) == len(CLIPS)
    for relative, (w, h, s) in CLIPS.items():
        target = out / (os.path.splitext(relative)[0] + ext)   # the input tree, mirrored
        record = records[relative]
        assert record["status"] == "done" and record["reason"] is None
        assert Path(record["output"]) == target
        assert record["bytes_in"] == (clips / relative).stat().st_size
        assert record["bytes_out"] == target.stat().st_size
        assert check(probe(target), w, h, s), (relative, probe(target))
    assert summary.bytes_out == sum(r["bytes_out"] for r in records.values())
    assert not parts(out)


def test_info_writes_one_json_lines_report(clips, client, tmp_path):
    out = tmp_path / "out"
    summary = korvel.batch.run("info", [str(clips / "**" / "*.mp4")], out, client=client)
    assert summary.done == len(CLIPS) and summary.report == str(out / "info.jsonl")
    with open(summary.report) as file:
        lines = [json.loads(line) for line in file]
    assert sorted(Path(x["input"]).relative_to(clips).as_posix() for x in lines) == sorted(CLIPS)
    for line in lines:
        video = probe(Path(line["input"]))["streams"][0]
        assert (line["width"], line["height"]) == (video["width"], video["height"])
    # Only the report and the manifest: no file per input.
    assert sorted(p.name for p in out.iterdir()) == ["info.jsonl", korvel.batch.MANIFEST]


def test_corrupt_input_is_reported_and_the_rest_done(clips, client, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for name in ("one.mp4", "two.mp4"):
        (folder / name).write_bytes((clips / "top.mp4").read_bytes())
    good = (clips / "top.mp4").read_bytes()
    (folder / "broken.mp4").write_bytes(good[: len(good) // 3][::-1])   # not a media file
    (folder / "tone.mp4").write_bytes(ffmpeg("-f", "lavfi", "-i", "sine=duration=0.5",
                                             "-c:a", "aac", "-f", "mp4", "-movflags",
                                             "frag_keyframe+empty_moov", "-"))  # no video
    out = tmp_path / "out"
    summary = korvel.batch.run("to_gif", folder, out, client=client)
    assert (summary.done, summary.failed) == (2, 2)
    status = {Path(r["input"]).name: r for r in manifest(out)}
    assert {n: r["status"] for n, r in status.items()} == {
        "one.mp4": "done", "two.mp4": "done", "broken.mp4": "failed", "tone.mp4": "failed"}
    for name in ("broken.mp4", "tone.mp4"):
        assert "video_to_gif" in status[name]["reason"]
        assert not Path(status[name]["output"]).exists()
    assert probe(out / "one.gif")["streams"][0]["codec_name"] == "gif"


def test_resume_skips_finished_inputs_and_redoes_the_rest(clips, client, tmp_path):
    out = tmp_path / "out"
    first = korvel.batch.run("extract_audio", clips, out, client=client, format="wav")
    assert first.done == len(CLIPS)
    stamps = {p: p.stat().st_mtime_ns for p in out.rglob("*.wav")}
    (out / "top.wav").unlink()
    (out / "a" / "clip.wav").write_bytes(b"cut short")

    again = korvel.batch.run("extract_audio", clips, out, client=client, format="wav")
    assert (again.done, again.skipped, again.failed) == (2, 1, 0)
    assert (out / "b" / "clip.wav").stat().st_mtime_ns == stamps[out / "b" / "clip.wav"]
    assert probe(out / "a" / "clip.wav")["streams"][0]["codec_name"] == "pcm_s16le"

    # Other arguments make another job: its outputs are redone, not skipped.
    mp3 = korvel.batch.run("extract_audio", clips, out, client=client, format="mp3")
    assert mp3.done == len(CLIPS)
    gifs = tmp_path / "gifs"
    korvel.batch.run("to_gif", clips / "top.mp4", gifs, client=client, width=32)
    wider = korvel.batch.run("to_gif", clips / "top.mp4", gifs, client=client, width=48)
    assert wider.done == 1 and probe(gifs / "top.gif")["streams"][0]["width"] == 48
    redo = korvel.batch.run("extract_audio", clips, out, client=client, format="wav",
                            overwrite=True)
    assert (redo.done, redo.skipped) == (len(CLIPS), 0)
    # Without resumption an existing output is never replaced silently.
    fresh = korvel.batch.run("extract_audio", clips, out, client=client, format="wav",
                             resume=False)
    assert fresh.failed == len(CLIPS)
    assert all("exists" in r["reason"] for r in manifest(out)[-len(CLIPS):])


def test_map_runs_a_chain_and_names_outputs_by_suffix(clips, client, tmp_path):
    def first_half_as_gif(data: bytes) -> bytes:
        return korvel.to_gif(korvel.trim(data, end=0.5), width=32)

    out = tmp_path / "out"
    summary = korvel.batch.map(first_half_as_gif, [clips / "top.mp4", clips / "b" / "clip.mp4"],
                               out, suffix=".gif", client=client)
    assert summary.done == 2
    # Two inputs named directly land at the top; the names do not meet here.
    gif = probe(out / "clip.gif")
    assert gif["streams"][0]["width"] == 32
    assert float(gif["format"]["duration"]) <= 0.6


# inputs (relative to a tree), expected outputs (relative to the output folder)
NAMING = [
    (["t/a/clip.mp4", "t/b/clip.mp4"], ["clip.gif", "clip~2.gif"]),
    (["t"], ["top.gif", "a/clip.gif", "b/clip.gif", "b/clip~2.gif"]),
    (["t/**/*.mp4"], ["a/clip.gif", "b/clip.gif", "top.gif"]),
    (["t/b/*"], ["clip.gif", "clip~2.gif"]),
    (["t/top.mp4", "t", "t/top.mp4"], ["top.gif", "a/clip.gif", "b/clip.gif", "b/clip~2.gif"]),
]


@pytest.mark.parametrize("inputs,expected", NAMING, ids=[str(i) for i, _ in NAMING])
def test_output_names_never_meet(tmp_path, inputs, expected):
    for name in ("t/a/clip.mp4", "t/b/clip.mp4", "t/b/clip.mov", "t/top.mp4", "t/.hidden.mp4"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"x")
    out = tmp_path / "t" / "out"                     # inside the walked tree: not walked
    (out / "old").mkdir(parents=True)
    (out / "old" / "clip.gif").write_bytes(b"x")
    found = _inputs.expand([str(tmp_path / i) for i in inputs], str(out))
    items = _inputs.plan(found, str(out), lambda ext: ".gif")
    assert [os.path.relpath(i.target, out) for i in items] == expected


def test_tasks_in_flight_stay_within_a_window(client, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    count = 600
    for i in range(count):
        (folder / f"{i:03}.bin").write_bytes(bytes([i % 256]) * 100)
    in_flight: List[int] = []
    summary = korvel.batch.map(lambda data: data[::-1], folder, tmp_path / "out", client=client,
                               callback=lambda record: in_flight.append(len(client.futures)))
    assert summary.done == count
    threads = sum(client.nthreads().values())
    # Quick inputs travel several to a task; all at once would still be more
    # tasks than three windows hold. Futures are released by the client's
    # event loop a moment after they are done, so the count may lag a little.
    window = max(_engine.MINIMUM_WINDOW, _engine.WINDOW_PER_THREAD * threads)
    assert max(in_flight) <= 3 * window < count // _engine.FILES_PER_TASK
    assert (tmp_path / "out" / "007.bin").read_bytes() == bytes([7]) * 100


def test_verb_options_take_their_kinds_from_the_functions_annotations():
    # The command line parses what the annotations say: merge's second input
    # is a file read where the call runs, times are numbers, not texts.
    kinds = {verb.verb: {o.name: o.kind for o in _verbs.options(verb)} for verb in _verbs.VERBS}
    assert kinds["merge"] == {"second": "media"}
    assert kinds["gif"] == {"fps": "int", "width": "int", "start": "float", "duration": "float"}
    assert kinds["trim"] == {"start": "float", "end": "float"}
    assert kinds["frame"] == {"time": "float", "format": "text"}
    assert kinds["speed"] == {"factor": "float"}


def test_output_over_its_own_input_is_refused(clips):
    with pytest.raises(ValueError, match="replace the input"):
        korvel.batch.run("mute", clips / "top.mp4", clips)
    # Outputs would become inputs of the next run.
    with pytest.raises(ValueError, match="output folder"):
        korvel.batch.run("to_gif", clips, clips)
    assert not (clips / korvel.batch.MANIFEST).exists()


def test_refused_arguments_fail_before_any_input(clips, tmp_path):
    for operation, arguments in [("extract_audio", {"format": "flac"}),
                                 ("rotate", {"degrees": 45}),
                                 ("change_speed", {"factor": 0})]:
        with pytest.raises(korvel.KorvelArgumentError):
            korvel.batch.run(operation, clips, tmp_path / "out", **arguments)
    with pytest.raises(TypeError):
        korvel.batch.run("set_metadata", clips, tmp_path / "out", key="title")
    assert not (tmp_path / "out").exists()


def python_env() -> Dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "python"),
                                                      env.get("PYTHONPATH")]))
    return env


def test_killed_run_resumes_without_redoing_finished_inputs(clips, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for i in range(8):
        (folder / f"c{i}.mp4").write_bytes((clips / "top.mp4").read_bytes())
    out = tmp_path / "out"
    script = textwrap.dedent(f"""
        import time, korvel, korvel.batch
        def slow_gif(data):
            time.sleep(0.4)
            return korvel.to_gif(data, width=32)
        if __name__ == "__main__":
            korvel.batch.map(slow_gif, {str(folder)!r}, {str(out)!r}, suffix=".gif",
                             threads=2, progress=False)
    """)
    run = subprocess.Popen([sys.executable, "-c", script], env=python_env())
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if (out / korvel.batch.MANIFEST).exists() and len(manifest(out)) >= 2:
                break
            time.sleep(0.05)
        run.send_signal(signal.SIGKILL)
    finally:
        run.kill()
        run.wait()
    before = {r["input"] for r in manifest(out) if r["status"] == "done"}
    assert 2 <= len(before) < 8, "the run was not stopped in the middle"

    resumed = subprocess.run([sys.executable, "-c", script], env=python_env())
    assert resumed.returncode == 0
    records = manifest(out)
    done = [r["input"] for r in records if r["status"] == "done"]
    assert sorted(done) == sorted(str(p) for p in folder.iterdir())   # each input done once
    assert not parts(out)
    for gif in out.glob("*.gif"):
        assert probe(gif)["streams"][0]["width"] == 32


class Cluster:
    """dask-scheduler and dask-worker processes on loopback, stopped on exit."""

    def __init__(self, folder: Path) -> None:
        self.file = folder / "scheduler.json"
        self.processes: List[subprocess.Popen] = []
        self.folder = folder

    def start(self, command: List[str], name: str) -> subprocess.Popen:
        log = open(self.folder / f"{name}.log", "wb")
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT,
                                   env=python_env())
        self.processes.append(process)
        return process

    def __enter__(self) -> "Cluster":
        bindir = os.path.dirname(sys.executable)
        scheduler = os.path.join(bindir, "dask-scheduler")
        worker = os.path.join(bindir, "dask-worker")
        if not os.path.exists(scheduler):
            scheduler, worker = "dask-scheduler", "dask-worker"
        self.start([scheduler, "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                    "--dashboard-address", "127.0.0.1:0",
                    "--scheduler-file", str(self.file)], "scheduler")
        deadline = time.monotonic() + 30
        while not self.file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.workers = [self.start([worker, "--scheduler-file", str(self.file), "--host",
                                    "127.0.0.1", "--nthreads", "1", "--no-nanny",
                                    "--no-dashboard"], f"worker{i}") for i in range(2)]
        return self

    def __exit__(self, *exc) -> None:
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def test_cluster_finishes_every_input_once_when_a_worker_dies(clips, tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for i in range(12):
        (folder / f"c{i:02}.mp4").write_bytes((clips / "top.mp4").read_bytes())
    out = tmp_path / "out"

    def slow_gif(data: bytes) -> bytes:
        import time as clock
        clock.sleep(0.3)
        return korvel.to_gif(data, width=32)

    with Cluster(tmp_path) as cluster:
        with distributed.Client(scheduler_file=str(cluster.file), timeout=30) as client:
            client.wait_for_workers(2, timeout=60)
            victim = cluster.workers[0]
            pids = client.run(os.getpid)           # worker address: its process id
            address = next(a for a, pid in pids.items() if pid == victim.pid)
            finished: List[dict] = []
            lost: List[int] = []

            def kill_one(record: dict) -> None:
                finished.append(record)
                if len(finished) == 2:
                    # Tasks the scheduler has handed to the victim: they die with it.
                    lost.append(len(client.processing([address])[address]))
                    victim.kill()

            summary = korvel.batch.map(slow_gif, folder, out, suffix=".gif", client=client,
                                       callback=kill_one)
        assert victim.poll() is not None and cluster.workers[1].poll() is None
        # The command line on the same cluster, by the scheduler's address.
        address = json.loads(cluster.file.read_text())["address"]
        info = cli("info", str(folder), "--out", str(tmp_path / "info"), "--scheduler", address)
        assert info.returncode == 0, info.stderr
        assert len((tmp_path / "info" / "info.jsonl").read_text().splitlines()) == 12
    assert lost and lost[0] > 0, "the killed worker had no task in hand"
    assert (summary.done, summary.failed) == (12, 0)
    records = manifest(out)
    assert sorted(r["input"] for r in records) == sorted(str(p) for p in folder.iterdir())
    assert all(r["status"] == "done" for r in records)
    assert not parts(out)
    assert sorted(p.name for p in out.glob("*.gif")) == [f"c{i:02}.gif" for i in range(12)]
    for gif in out.glob("*.gif"):
        assert probe(gif)["streams"][0]["codec_name"] == "gif"


def cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "korvel.batch", *args], env=python_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_command_line_passes_verb_options_and_reports_by_exit_status(clips, tmp_path):
    out = tmp_path / "out"
    done = cli("gif", str(clips / "a"), str(clips / "top.mp4"), "--out", str(out),
               "--width", "48", "--fps", "5", "--threads", "2")
    assert done.returncode == 0, done.stderr
    assert "2 done, 0 skipped, 0 failed" in done.stdout
    gif = probe(out / "clip.gif")["streams"][0]
    assert (gif["width"], gif["r_frame_rate"]) == (48, "5/1")

    again = cli("gif", str(clips / "a"), str(clips / "top.mp4"), "--out", str(out),
                "--width", "48", "--fps", "5")
    assert again.returncode == 0 and "0 done, 2 skipped" in again.stdout

    # Workers in processes of their own: the call and its arguments travel pickled.
    spawned = cli("extract-audio", str(clips / "top.mp4"), "--out", str(tmp_path / "wav"),
                  "--format", "wav", "--workers", "1", "--threads", "1")
    assert spawned.returncode == 0, spawned.stderr
    wav = probe(tmp_path / "wav" / "top.wav")["streams"][0]
    assert (wav["codec_name"], wav["sample_rate"], wav["channels"]) == ("pcm_s16le", "44100", 2)

    (tmp_path / "bad.mp4").write_bytes(b"\0" * 1000)
    failed = cli("frame", str(clips / "top.mp4"), str(tmp_path / "bad.mp4"), "--out",
                 str(tmp_path / "frames"), "--format", "png", "--no-progress")
    assert failed.returncode == 1 and "1 done, 0 skipped, 1 failed" in failed.stdout
    assert probe(tmp_path / "frames" / "top.png")["streams"][0]["codec_name"] == "png"

    # On a terminal: a bar with files done of total and the failures.
    master, slave = pty.openpty()
    bar = subprocess.Popen([sys.executable, "-m", "korvel.batch", "mute", str(clips),
                            str(tmp_path / "bad.mp4"), "--out", str(tmp_path / "muted")],
                           env=python_env(), stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    assert bar.wait() == 1
    assert b"4/4" in shown and b"failed=1" in shown and b"MB/s" in shown
    assert b"4/4" not in failed.stderr.encode()        # no bar without a terminal

    for usage in (["rotate", str(clips), "--out", str(out), "--degrees", "45"],
                  ["speed", str(clips), "--out", str(out)],            # --factor is required
                  ["gif", str(tmp_path / "missing"), "--out", str(out)],
                  ["nosuchverb", str(clips), "--out", str(out)]):
        assert cli(*usage).returncode == 2, usage
