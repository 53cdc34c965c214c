"""Shared fixtures: the library under test, tiny inputs made by the ffmpeg CLI,
and ffprobe / ffmpeg as the oracle."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from array import array
from pathlib import Path
from typing import Dict, List

import pytest

ROOT = Path(__file__).resolve().parents[2]

# In a source checkout the package is python/korvel and the library comes from
# $KORVEL_LIBRARY, by default the CMake build directory build/. With
# $KORVEL_TEST_INSTALLED the suite tests the korvel the interpreter imports
# (an installed wheel) instead.
if not os.environ.get("KORVEL_TEST_INSTALLED"):
    sys.path.insert(0, str(ROOT / "python"))
    os.environ.setdefault("KORVEL_LIBRARY", str(ROOT / "build" / "libkorvel.so"))


def cli_env() -> Dict[str, str]:
    """The ffmpeg and ffprobe CLIs are the system's, whatever library path the
    library under test is loaded with."""
    env = dict(os.environ)
    env.pop("LD_LIBRARY_PATH", None)
    return env


def ffmpeg(*args: str) -> bytes:
    return subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y", *args],
                          check=True, stdout=subprocess.PIPE, env=cli_env()).stdout


# name: ffmpeg arguments before the output file. Tiny, to keep the suite quick.
INPUTS = {
    "av.mp4": "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 "
              "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
              "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k -ac 2 "
              "-metadata title=Original -metadata artist=Someone -shortest",
    "av2.mp4": "-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 "
               "-f lavfi -i sine=frequency=880:sample_rate=44100:duration=1 "
               "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k -ac 2 -shortest",
    "video_only.mp4": "-f lavfi -i testsrc2=size=160x120:rate=25:duration=1 "
                      "-c:v libx264 -preset ultrafast -pix_fmt yuv420p",
    # Mono 48 kHz, so that extraction must resample to 44100 Hz stereo.
    "tone.wav": "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -c:a pcm_s16le",
    # Pictures whose mean brightness rises over time: order is measurable.
    "ramp.mp4": "-f lavfi -i color=c=black:size=160x120:rate=10:duration=2 "
                "-vf geq=lum='min(255\\,T*120)':cb=128:cr=128 "
                "-c:v libx264 -preset ultrafast -g 5 -pix_fmt yuv420p",
}


@pytest.fixture(scope="session")
def media_dir(tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("media")
    for name, args in INPUTS.items():
        ffmpeg(*args.split(), str(folder / name))
    return folder


@pytest.fixture(scope="session")
def media(media_dir) -> Dict[str, bytes]:
    return {name: (media_dir / name).read_bytes() for name in INPUTS}


class Oracle:
    """ffprobe and ffmpeg over bytes, through a temporary file (MP4 readers
    need to seek)."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.count = 0

    def _file(self, data: bytes) -> Path:
        self.count += 1
        path = self.folder / f"probe-{self.count}"
        path.write_bytes(bytes(data))
        return path

    def probe(self, data: bytes, packets: bool = False) -> dict:
        path = self._file(data)
        args = ["ffprobe", "-v", "error", "-of", "json", "-show_format", "-show_streams"]
        if packets:
            args.append("-show_packets")
        out = subprocess.run(args + [str(path)], check=True, stdout=subprocess.PIPE,
                             env=cli_env()).stdout
        path.unlink()
        return json.loads(out)

    def streams(self, data: bytes, kind: str) -> List[dict]:
        return [s for s in self.probe(data)["streams"] if s["codec_type"] == kind]

    def samples(self, data: bytes) -> array:
        """The first audio stream decoded as interleaved 32-bit floats."""
        path = self._file(data)
        raw = ffmpeg("-i", str(path), "-map", "0:a:0", "-f", "f32le", "-c:a", "pcm_f32le", "-")
        path.unlink()
        out = array("f")
        out.frombytes(raw)
        return out

    def frame_count(self, data: bytes) -> int:
        path = self._file(data)
        out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                              "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0",
                              str(path)], check=True, stdout=subprocess.PIPE,
                             env=cli_env()).stdout
        path.unlink()
        return int(out.decode().strip().rstrip(","))

    def first_gray(self, data: bytes, width: int, height: int, filters: str = "null") -> bytes:
        """The first picture as 8-bit gray at width x height, after `filters`."""
        path = self._file(data)
        raw = ffmpeg("-i", str(path), "-map", "0:v:0", "-frames:v", "1",
                     "-vf", f"{filters},scale={width}:{height},format=gray",
                     "-f", "rawvideo", "-")
        path.unlink()
        return raw

    def gray_means(self, data: bytes) -> List[float]:
        """Mean brightness of every picture of the first video stream."""
        path = self._file(data)
        raw = ffmpeg("-i", str(path), "-map", "0:v:0", "-vf", "scale=32:24,format=gray",
                     "-f", "rawvideo", "-")
        path.unlink()
        size = 32 * 24
        return [sum(raw[i:i + size]) / size for i in range(0, len(raw), size)]


@pytest.fixture(scope="session")
def oracle(tmp_path_factory) -> Oracle:
    return Oracle(tmp_path_factory.mktemp("probe"))


def mean_abs_diff(a: bytes, b: bytes) -> float:
    assert len(a) == len(b) and a
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def rms(samples) -> float:
    return (sum(x * x for x in samples) / max(1, len(samples))) ** 0.5
