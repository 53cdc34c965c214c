"""Why a call failed (exception categories with FFmpeg's own lines, kept per
thread), FFmpeg's log under the logging module, quiet standard error, inputs
given as paths and file objects, and the typed info report."""

from __future__ import annotations

import io
import json
import logging
import math
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from conftest import ROOT
import korvel

JUNK = b"no media file at all " * 200


@pytest.mark.parametrize("name, call, category, says", [
    ("unknown muxer", lambda m: korvel.convert(m["av.mp4"], "nosuchmuxer"),
     korvel.KorvelArgumentError, "nosuchmuxer"),
    ("unknown preset", lambda m: korvel.reencode(m["av.mp4"], preset="bogus"),
     korvel.KorvelArgumentError, "bogus"),
    ("crf above 51", lambda m: korvel.reencode(m["av.mp4"], crf=52),
     korvel.KorvelArgumentError, "0 to 51"),
    ("infinite speed", lambda m: korvel.change_speed(m["av.mp4"], math.inf),
     korvel.KorvelArgumentError, "0.001 to 1000"),
    ("tiny speed", lambda m: korvel.change_speed(m["av.mp4"], 1e-300),
     korvel.KorvelArgumentError, "factor"),
    ("huge speed", lambda m: korvel.change_speed(m["av.mp4"], 1e300),
     korvel.KorvelArgumentError, "factor"),
    ("nan speed", lambda m: korvel.change_speed(m["av.mp4"], math.nan),
     korvel.KorvelArgumentError, "factor"),
    ("nan time", lambda m: korvel.trim(m["av.mp4"], start=math.nan),
     korvel.KorvelArgumentError, "start"),
    ("junk input", lambda m: korvel.mute(JUNK), korvel.KorvelInputError, "not a media file"),
    ("junk report", lambda m: korvel.info(JUNK), korvel.KorvelInputError, "not a media file"),
    ("junk second input", lambda m: korvel.merge(m["av.mp4"], JUNK),
     korvel.KorvelInputError, "input 2"),
    ("no audio to extract", lambda m: korvel.extract_audio(m["video_only.mp4"], "wav"),
     korvel.KorvelMissingStreamError, "no audio stream"),
    ("no audio to scale", lambda m: korvel.adjust_volume(m["video_only.mp4"], 2.0),
     korvel.KorvelMissingStreamError, "no audio stream"),
    ("no video to encode", lambda m: korvel.reencode(m["tone.wav"]),
     korvel.KorvelMissingStreamError, "no video stream"),
    ("no picture", lambda m: korvel.extract_frame(m["tone.wav"]),
     korvel.KorvelMissingStreamError, "no video stream"),
    ("muxer refuses the codec", lambda m: korvel.convert(m["av.mp4"], "webm"),
     korvel.KorvelEncodingError, "WebM"),
])
def test_failures_say_why(media, name, call, category, says):
    with pytest.raises(korvel.KorvelError) as caught:
        call(media)
    error = caught.value
    assert type(error) is category, f"{name}: {error!r}"
    assert isinstance(error, ValueError) == (category is korvel.KorvelArgumentError)
    assert says in str(error)
    assert str(error).startswith(error.operation + ": ")


def test_encoding_errors_carry_ffmpegs_own_lines(media):
    with pytest.raises(korvel.KorvelEncodingError) as caught:
        korvel.convert(media["av.mp4"], "wav")
    # The WAV muxer's own refusal, without the context's address.
    assert any(line.startswith("wav: ") and "one stream" in line for line in caught.value.lines)
    assert not any("@ 0x" in line for line in caught.value.lines)


def test_concurrent_failures_never_mix_their_lines(media):
    data = media["av.mp4"]
    # Each muxer refuses the two-stream input with its own words.
    cases = {"wav": "WAVE", "gif": "GIF", "webm": "WebM"}
    seen = {fmt: [] for fmt in cases}

    def fail_repeatedly(fmt):
        for _ in range(25):
            with pytest.raises(korvel.KorvelEncodingError) as caught:
                korvel.convert(data, fmt)
            seen[fmt].append(caught.value.lines)

    threads = [threading.Thread(target=fail_repeatedly, args=(fmt,)) for fmt in cases]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for fmt, word in cases.items():
        assert len(seen[fmt]) == 25
        for lines in seen[fmt]:
            assert lines and all(word in line for line in lines), (fmt, lines)


class Records(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def records():
    handler = Records()
    logger = logging.getLogger("korvel")
    old_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield handler.records
    logger.removeHandler(handler)
    logger.setLevel(old_level)
    korvel.set_log_level("warning")


def test_ffmpeg_messages_reach_the_logger_at_the_chosen_threshold(media, records):
    data = media["av.mp4"]
    korvel.set_log_level("info")
    korvel.reencode(data, preset="ultrafast", width=80)
    x264 = [r for r in records if r.getMessage().startswith("libx264: ")]
    assert x264, [r.getMessage() for r in records]
    assert {r.levelno for r in x264} == {logging.INFO}
    assert all(r.ffmpeg_level == 32 for r in x264)  # AV_LOG_INFO
    assert korvel.get_log_level() == 32

    records.clear()
    korvel.set_log_level("error")
    korvel.reencode(data, preset="ultrafast", width=80)
    assert records == []
    with pytest.raises(korvel.KorvelEncodingError):
        korvel.convert(data, "wav")
    assert [r.levelno for r in records] == [logging.ERROR]

    records.clear()
    korvel.set_log_level("quiet")
    with pytest.raises(korvel.KorvelEncodingError) as caught:
        korvel.convert(data, "wav")
    assert records == []
    assert caught.value.lines  # reasons do not depend on the threshold


def test_unwanted_levels_are_dropped_before_python_on_x86_64():
    import platform
    from korvel import _log
    if platform.machine() != "x86_64":
        pytest.skip("the level filter in front of the callback is x86-64 code")
    assert _log.FILTERED_IN_C


def test_an_unknown_log_level_is_refused():
    with pytest.raises(korvel.KorvelArgumentError):
        korvel.set_log_level("loud")


QUIET_RUN = r'''
import sys
import korvel
media = sys.argv[1]
av, tone = media + "/av.mp4", media + "/tone.wav"
korvel.info(av)
korvel.reencode(av, preset="ultrafast", width=80)   # libx264 statistics
korvel.rotate(av, 90)
korvel.adjust_volume(av, 0.5)                        # the AAC encoder's Qavg
korvel.to_gif(av, fps=5, width=80)                   # swscaler warnings
korvel.extract_frame(av, format="png")
korvel.extract_audio(tone, "mp3")
try:
    korvel.convert(av, "wav")                        # a failure is raised, not printed
except korvel.KorvelError:
    pass
'''


def test_successful_calls_print_nothing_on_standard_error(media_dir):
    env = dict(os.environ)
    if not os.environ.get("KORVEL_TEST_INSTALLED"):  # else the installed korvel
        env["PYTHONPATH"] = str(ROOT / "python")
    done = subprocess.run([sys.executable, "-c", QUIET_RUN, str(media_dir)], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert done.stdout == ""


LIGHT_IMPORT = r'''
import sys
import korvel
korvel.info(sys.argv[1])
heavy = sorted({"json", "logging", "typing", "threading", "weakref"} & set(sys.modules))
print(" ".join(heavy) or "-")
print(korvel.MediaInfo.__name__, sorted(korvel.MediaInfo.__required_keys__))
'''


def test_import_and_info_leave_heavy_modules_for_later_and_still_offer_the_types(media_dir):
    # Start-up of a cold process is part of the package's promise: json,
    # logging, typing, threading and weakref come only when something needs them.
    env = dict(os.environ)
    if not os.environ.get("KORVEL_TEST_INSTALLED"):
        env["PYTHONPATH"] = str(ROOT / "python")
    done = subprocess.run([sys.executable, "-c", LIGHT_IMPORT, str(media_dir / "av.mp4")],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    heavy, types = done.stdout.splitlines()
    assert heavy == "-"
    assert types == ("MediaInfo ['bitrate', 'duration', 'has_audio', 'has_video', "
                     "'num_streams']")


def test_info_reports_read_as_json_reads_them(media_dir):
    # The package reads the library's report without the json module: the
    # same keys, values and types as json, on every file the tests use.
    from korvel import _native
    fn = _native.function("get_video_info")
    checked = 0
    for path in sorted(media_dir.iterdir()):
        with _native.opened(str(path)) as view:
            block = fn(view[0], view[1])
        if not block:
            continue
        text = _native.take_text(block)
        ours, theirs = korvel._parse_report(text), json.loads(text)
        assert ours == theirs, path.name
        assert [type(v) for v in ours.values()] == [type(v) for v in theirs.values()], path.name
        checked += 1
    assert checked >= 5


class ReadOnce(io.BytesIO):
    def __init__(self, data: bytes) -> None:
        super().__init__(data)
        self.reads = 0

    def read(self, size=-1):
        self.reads += 1
        return super().read(size)


def test_paths_and_file_objects_are_inputs_like_bytes(media, media_dir, tmp_path):
    data = media["av.mp4"]
    path = media_dir / "av.mp4"
    expected = korvel.mute(data)
    assert korvel.mute(str(path)) == expected
    assert korvel.mute(path) == expected
    with open(path, "rb") as file:
        assert korvel.mute(file) == expected
    stream = ReadOnce(data)
    assert korvel.mute(stream) == expected
    assert stream.reads == 1
    assert korvel.merge(path, media_dir / "av2.mp4") == korvel.merge(data, media["av2.mp4"])
    assert korvel.info(path) == korvel.info(data)

    empty = tmp_path / "empty.mp4"
    empty.write_bytes(b"")
    with pytest.raises(korvel.KorvelInputError):
        korvel.mute(empty)
    with pytest.raises(FileNotFoundError):
        korvel.mute(tmp_path / "missing.mp4")
    with open(path, encoding="latin-1") as text_file:
        with pytest.raises(TypeError, match="binary mode"):
            korvel.mute(text_file)


@pytest.mark.parametrize("name, video, audio", [
    ("av.mp4", True, True), ("video_only.mp4", True, False), ("tone.wav", False, True)])
def test_info_has_exact_types_and_ffprobes_values(media, oracle, name, video, audio):
    report = korvel.info(media[name])
    probed = oracle.probe(media[name])
    types = {"duration": float, "bitrate": int, "num_streams": int, "has_video": bool,
             "has_audio": bool}
    if video:
        types.update(width=int, height=int, video_codec=str, fps=float)
    if audio:
        types.update(audio_codec=str, sample_rate=int, channels=int)
    assert {k: type(v) for k, v in report.items()} == types
    assert report["duration"] == pytest.approx(float(probed["format"]["duration"]), abs=0.05)
    assert report["num_streams"] == len(probed["streams"])
    if video:
        v = [s for s in probed["streams"] if s["codec_type"] == "video"][0]
        assert (report["width"], report["height"], report["video_codec"]) == (
            v["width"], v["height"], v["codec_name"])
    if audio:
        a = [s for s in probed["streams"] if s["codec_type"] == "audio"][0]
        assert (report["sample_rate"], report["channels"], report["audio_codec"]) == (
            int(a["sample_rate"]), a["channels"], a["codec_name"])


def test_log_bridge_uses_the_libavutil_libkorvel_loaded():
    # The loader's own answer for libkorvel's dependency, whatever it is named.
    from korvel import _log, _native
    listing = subprocess.run(["ldd", _native.PATH], check=True, stdout=subprocess.PIPE,
                             text=True).stdout
    resolved = [line.split()[2] for line in listing.splitlines() if "libavutil" in line]
    assert len(resolved) == 1
    assert os.path.realpath(_log.LIBAVUTIL_PATH) == os.path.realpath(resolved[0])


TYPED_USER = '''
from pathlib import Path
from typing import List
import korvel

def describe(path: Path) -> str:
    report: korvel.MediaInfo = korvel.info(path)
    width: int = report.get("width", 0)
    seconds: float = report["duration"]
    return f"{width} px, {seconds:.1f} s"

def shrink(data: bytes) -> bytes:
    try:
        return korvel.reencode(data, crf=28, preset="fast", width=320)
    except korvel.KorvelMissingStreamError as error:
        lines: List[str] = list(error.lines)
        raise RuntimeError(error.reason + "; ".join(lines)) from error

korvel.set_log_level("error")
'''


def test_mypy_strict_passes_on_the_package_and_a_typed_user(tmp_path):
    pytest.importorskip("mypy")
    user = tmp_path / "user.py"
    user.write_text(TYPED_USER)
    env = dict(os.environ, MYPYPATH=str(ROOT / "python"))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir", str(tmp_path / "cache"), "korvel", str(user)],
                          env=env, cwd=str(ROOT / "python"), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=600)
    assert done.returncode == 0, done.stdout
